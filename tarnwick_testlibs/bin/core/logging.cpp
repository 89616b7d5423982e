// The logging facility: logger tree, level names, formatters and the two stock handlers.
#include "tarnwick_testlibs/bin/core/logging.h"

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <iostream>
#include <map>
#include <set>
#include <stdexcept>

namespace tarnwick::logging {

// Owns every logger and the run-time names. One mutex guards the tree: loggers are created
// lazily from any thread, while configuration happens on the main thread only.
class Registry {
 public:
  static Registry& instance() {
    static Registry r;
    return r;
  }

  std::recursive_mutex mutex;
  std::map<std::string, std::unique_ptr<Logger>> loggers;
  std::map<int, std::string> levelNames{{NOTSET, "NOTSET"},   {DEBUG, "DEBUG"}, {INFO, "INFO"},
                                        {WARNING, "WARNING"}, {ERROR, "ERROR"}, {CRITICAL, "CRITICAL"}};
  std::map<std::string, int> levelConstants{{"NOTSET", NOTSET},     {"DEBUG", DEBUG},   {"INFO", INFO},
                                            {"WARNING", WARNING},   {"WARN", WARNING},  {"ERROR", ERROR},
                                            {"CRITICAL", CRITICAL}, {"FATAL", CRITICAL}};
  std::set<std::string> facilityOperations{"getLogger",     "log",         "debug",     "info",      "warning",
                                           "error",         "critical",    "levelName", "Formatter", "Handler",
                                           "StreamHandler", "FileHandler", "Logger"};
  std::set<std::string> loggerMembers{"name",         "log",      "debug",      "info",          "warning",
                                      "error",        "critical", "call",       "isEnabledFor",  "getEffectiveLevel",
                                      "setLevel",     "level",    "addHandler", "clearHandlers", "handlers",
                                      "setPropagate", "propagate"};
  std::map<std::string, int> levelMethods;

  Logger& get(const std::string& name) {
    std::lock_guard guard(mutex);
    auto& slot = loggers[name];
    if (!slot) {
      slot = std::make_unique<Logger>(name);
      if (name.empty()) slot->level_ = WARNING;
    }
    return *slot;
  }

  // The logger itself, then its existing ancestors up to the root, nearest first.
  std::vector<Logger*> chain(const Logger& start) {
    std::lock_guard guard(mutex);
    std::vector<Logger*> out{const_cast<Logger*>(&start)};
    std::string name = start.name_;
    while (!name.empty()) {
      auto dot = name.rfind('.');
      name = dot == std::string::npos ? std::string() : name.substr(0, dot);
      if (name.empty()) {
        out.push_back(&get(""));
      } else if (auto it = loggers.find(name); it != loggers.end()) {
        out.push_back(it->second.get());
      }
    }
    return out;
  }

  int effectiveLevel(const Logger& logger) {
    std::lock_guard guard(mutex);
    for (Logger* l : chain(logger)) {
      if (l->level_) return *l->level_;
    }
    return NOTSET;
  }

  // Handlers a record reaches: those of the logger and of each ancestor while propagating.
  std::vector<std::shared_ptr<Handler>> handlersFor(const Logger& logger) {
    std::lock_guard guard(mutex);
    std::vector<std::shared_ptr<Handler>> out;
    for (Logger* l : chain(logger)) {
      out.insert(out.end(), l->handlers_.begin(), l->handlers_.end());
      if (!l->propagate_) break;
    }
    return out;
  }

  void reset() {
    std::lock_guard guard(mutex);
    for (auto& [name, logger] : loggers) {
      logger->handlers_.clear();
      logger->level_ = name.empty() ? std::optional<int>(WARNING) : std::nullopt;
      logger->propagate_ = true;
    }
  }
};

namespace {

Registry& registry() { return Registry::instance(); }

// Without any configured handler, warnings and worse still reach standard error.
void lastResort(const Record& record) {
  if (record.level < WARNING) return;
  static std::mutex lock;
  std::lock_guard guard(lock);
  std::cerr << record.message << '\n' << std::flush;
}

}  // namespace

std::string levelName(int level) {
  std::lock_guard guard(registry().mutex);
  auto it = registry().levelNames.find(level);
  return it != registry().levelNames.end() ? it->second : fmt::format("Level {}", level);
}

std::string formatTime(std::chrono::system_clock::time_point t) {
  using namespace std::chrono;
  const auto ms = duration_cast<milliseconds>(t.time_since_epoch()).count() % 1000;
  const std::time_t secs = system_clock::to_time_t(t);
  std::tm local{};
  localtime_r(&secs, &local);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &local);
  return fmt::format("{},{:03}", buf, ms);
}

Formatter::Formatter(std::string fmt) : fmt_(std::move(fmt)) {}

std::string Formatter::format(const Record& record) const {
  // One pass over the template, so text inside a substituted value is never read as a placeholder.
  std::string out;
  std::size_t pos = 0;
  while (pos < fmt_.size()) {
    const auto open = fmt_.find("%(", pos);
    const auto close = open == std::string::npos ? open : fmt_.find(")s", open);
    if (close == std::string::npos) break;
    out.append(fmt_, pos, open - pos);
    const std::string key = fmt_.substr(open + 2, close - open - 2);
    if (key == "asctime") {
      out += formatTime(record.created);
    } else if (key == "name") {
      out += record.name;
    } else if (key == "levelname") {
      out += levelName(record.level);
    } else if (key == "message") {
      out += record.message;
    } else {
      out.append(fmt_, open, close + 2 - open);
    }
    pos = close + 2;
  }
  out.append(fmt_, std::min(pos, fmt_.size()));
  return out;
}

void Handler::handle(const Record& record) {
  if (record.level < level_) return;
  std::lock_guard guard(lock_);
  emit(record);
}

std::string Handler::format(const Record& record) const {
  return formatter_ ? formatter_->format(record) : record.message;
}

StreamHandler::StreamHandler(std::ostream& out) : out_(out) {}
StreamHandler::StreamHandler() : out_(std::cerr) {}

void StreamHandler::emit(const Record& record) { out_ << format(record) << '\n' << std::flush; }

FileHandler::FileHandler(const std::string& filename, const std::string& mode) {
  const auto openMode = mode == "w" ? std::ios::out | std::ios::trunc : std::ios::out | std::ios::app;
  file_.open(filename, openMode);
  if (!file_.is_open()) {
    throw std::runtime_error(fmt::format("cannot open log file {}: {}", filename, std::strerror(errno)));
  }
}

void FileHandler::emit(const Record& record) { file_ << format(record) << '\n' << std::flush; }

void Logger::log(int level, const std::string& message) {
  if (!isEnabledFor(level)) return;
  Record record{name_, level, message, std::chrono::system_clock::now()};
  const auto targets = registry().handlersFor(*this);
  if (targets.empty()) {
    lastResort(record);
    return;
  }
  for (const auto& h : targets) h->handle(record);
}

void Logger::detail(const std::string& m) {
  int level = DETAIL;
  {
    std::lock_guard guard(registry().mutex);
    auto it = registry().levelMethods.find("detail");
    if (it != registry().levelMethods.end()) level = it->second;
  }
  log(level, m);
}

void Logger::call(const std::string& methodName, const std::string& message) {
  int level;
  {
    std::lock_guard guard(registry().mutex);
    auto it = registry().levelMethods.find(methodName);
    if (it == registry().levelMethods.end()) {
      throw std::invalid_argument(fmt::format("logger has no operation {}", methodName));
    }
    level = it->second;
  }
  log(level, message);
}

bool Logger::isEnabledFor(int level) const { return level >= getEffectiveLevel(); }

int Logger::getEffectiveLevel() const { return registry().effectiveLevel(*this); }

void Logger::setLevel(std::optional<int> level) {
  std::lock_guard guard(registry().mutex);
  level_ = name_.empty() && !level ? std::optional<int>(NOTSET) : level;
}

std::optional<int> Logger::level() const {
  std::lock_guard guard(registry().mutex);
  return level_;
}

void Logger::addHandler(std::shared_ptr<Handler> h) {
  std::lock_guard guard(registry().mutex);
  handlers_.push_back(std::move(h));
}

void Logger::clearHandlers() {
  std::lock_guard guard(registry().mutex);
  handlers_.clear();
}

std::vector<std::shared_ptr<Handler>> Logger::handlers() const {
  std::lock_guard guard(registry().mutex);
  return handlers_;
}

void Logger::setPropagate(bool p) {
  std::lock_guard guard(registry().mutex);
  propagate_ = p;
}

bool Logger::propagate() const {
  std::lock_guard guard(registry().mutex);
  return propagate_;
}

Logger& getLogger(const std::string& name) { return registry().get(name); }

void detail(const std::string& message) { getLogger().detail(message); }

void call(const std::string& methodName, const std::string& message) { getLogger().call(methodName, message); }

bool facilityDefines(const std::string& name) {
  std::lock_guard guard(registry().mutex);
  auto& r = registry();
  return r.levelConstants.count(name) || r.facilityOperations.count(name) || r.levelMethods.count(name);
}

bool loggerClassDefines(const std::string& name) {
  std::lock_guard guard(registry().mutex);
  return registry().loggerMembers.count(name) || registry().levelMethods.count(name);
}

std::optional<int> levelNumber(const std::string& levelName) {
  std::lock_guard guard(registry().mutex);
  auto it = registry().levelConstants.find(levelName);
  if (it == registry().levelConstants.end()) return std::nullopt;
  return it->second;
}

void addLevelName(int level, const std::string& name) {
  std::lock_guard guard(registry().mutex);
  registry().levelNames[level] = name;
}

void defineLevelConstant(const std::string& levelName, int level) {
  std::lock_guard guard(registry().mutex);
  registry().levelConstants[levelName] = level;
}

void defineLevelMethod(const std::string& methodName, int level) {
  std::lock_guard guard(registry().mutex);
  registry().levelMethods[methodName] = level;
}

void resetLoggers() { registry().reset(); }

}  // namespace tarnwick::logging
