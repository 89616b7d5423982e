// Captures the records that reach one logger (and, through propagation, its descendants).
#pragma once
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tarnwick_testlibs/bin/core/logging.h"

namespace testbed {

struct LogRecord {
  int level;
  std::string logger;
  std::string message;
};

class LogCapture {
 public:
  // `level` is set on the logger for the capture's lifetime so that records below the usual
  // threshold reach it too; nullopt leaves the logger's level alone.
  explicit LogCapture(const std::string& logger = "tarnwick_testlibs",
                      std::optional<int> level = tarnwick::logging::DEBUG);
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<LogRecord> records() const;
  std::vector<std::string> messages() const;
  std::vector<std::string> messages(int level) const;
  // All messages, one per line, for readable assertion failures.
  std::string text() const;
  bool contains(const std::string& fragment) const;
  bool contains(int level, const std::string& fragment) const;
  int count(int minLevel) const;  // records at `minLevel` or above
  void clear();

 private:
  class Sink;
  std::string name_;
  std::optional<int> savedLevel_;
  bool changedLevel_;
  std::shared_ptr<Sink> sink_;
};

}  // namespace testbed
