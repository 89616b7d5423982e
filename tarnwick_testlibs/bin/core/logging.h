// A small hierarchical logging facility: dotted logger names, effective levels, handlers with
// their own level and lock, propagation to ancestors, and a root logger.
#pragma once
#include <chrono>
#include <fstream>
#include <functional>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tarnwick::logging {

// Built-in levels. DETAIL (15) is registered at run time by Common::initLogLocation.
inline constexpr int NOTSET = 0;
inline constexpr int DEBUG = 10;
inline constexpr int DETAIL = 15;
inline constexpr int INFO = 20;
inline constexpr int WARNING = 30;
inline constexpr int ERROR = 40;
inline constexpr int CRITICAL = 50;

struct Record {
  std::string name;  // logger the record was logged on
  int level = INFO;
  std::string message;  // already formatted
  std::chrono::system_clock::time_point created;
};

// Display name of a level ("INFO"; registered names; "Level N" otherwise).
std::string levelName(int level);

// %(asctime)s, %(name)s, %(levelname)s and %(message)s templates.
class Formatter {
 public:
  explicit Formatter(std::string fmt = "%(message)s");
  std::string format(const Record& record) const;

 private:
  std::string fmt_;
};

// "2024-05-01 13:45:10,123" in local time.
std::string formatTime(std::chrono::system_clock::time_point t);

class Handler {
 public:
  explicit Handler(int level = NOTSET) : level_(level) {}
  virtual ~Handler() = default;
  Handler(const Handler&) = delete;
  Handler& operator=(const Handler&) = delete;
  void setLevel(int level) { level_ = level; }
  int level() const { return level_; }
  void setFormatter(std::shared_ptr<Formatter> f) { formatter_ = std::move(f); }
  // Checks the handler's level, then calls emit with the handler's lock held.
  void handle(const Record& record);

 protected:
  virtual void emit(const Record& record) = 0;
  std::string format(const Record& record) const;

 private:
  int level_;
  std::shared_ptr<Formatter> formatter_;
  std::mutex lock_;
};

// Writes each formatted record and a line end to a stream (standard error by default).
class StreamHandler : public Handler {
 public:
  explicit StreamHandler(std::ostream& out);
  StreamHandler();

 protected:
  void emit(const Record& record) override;

 private:
  std::ostream& out_;
};

// Appends each formatted record and a line end to a file; the file is opened on construction
// and kept open. Throws std::runtime_error when the file cannot be opened.
class FileHandler : public Handler {
 public:
  explicit FileHandler(const std::string& filename, const std::string& mode = "a");

 protected:
  void emit(const Record& record) override;

 private:
  std::ofstream file_;
};

class Logger {
 public:
  explicit Logger(std::string name) : name_(std::move(name)) {}
  const std::string& name() const { return name_; }

  void log(int level, const std::string& message);
  void debug(const std::string& m) { log(DEBUG, m); }
  void detail(const std::string& m);  // logs at the registered DETAIL level
  void info(const std::string& m) { log(INFO, m); }
  void warning(const std::string& m) { log(WARNING, m); }
  void error(const std::string& m) { log(ERROR, m); }
  void critical(const std::string& m) { log(CRITICAL, m); }
  // Calls an operation installed at run time by defineLevelMethod; throws std::invalid_argument
  // when no such operation exists.
  void call(const std::string& methodName, const std::string& message);

  bool isEnabledFor(int level) const;
  int getEffectiveLevel() const;
  void setLevel(std::optional<int> level);
  std::optional<int> level() const;
  void addHandler(std::shared_ptr<Handler> h);
  void clearHandlers();
  std::vector<std::shared_ptr<Handler>> handlers() const;
  void setPropagate(bool p);
  bool propagate() const;

 private:
  friend class Registry;
  std::string name_;
  std::optional<int> level_;
  std::vector<std::shared_ptr<Handler>> handlers_;
  bool propagate_ = true;
};

// The logger with this dotted name ("" is the root); the same object for the same name.
Logger& getLogger(const std::string& name = "");

// Facility-level operation: logs at DETAIL on the root logger.
void detail(const std::string& message);
// Facility-level counterpart of Logger::call: logs on the root logger.
void call(const std::string& methodName, const std::string& message);

// Run-time names of the facility, consulted and extended when a level is registered.
bool facilityDefines(const std::string& name);     // level constants and facility operations
bool loggerClassDefines(const std::string& name);  // logger operations and members
std::optional<int> levelNumber(const std::string& levelName);
void addLevelName(int level, const std::string& name);
void defineLevelConstant(const std::string& levelName, int level);
// Installs `methodName` on the logger type and on the facility, logging at `level`.
void defineLevelMethod(const std::string& methodName, int level);

// Puts every existing logger back to its initial state (no handlers, no level, propagating;
// the root at WARNING), so that a new configuration replaces the old one.
void resetLoggers();

}  // namespace tarnwick::logging
