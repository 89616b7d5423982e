// Class-level helpers shared by both programs: log levels, log location, command banner, prefixes.
#pragma once
#include <optional>
#include <stdexcept>
#include <string>

namespace tarnwick {

// A name clash when registering a log level ("X already defined in logging module").
class LevelNameClash : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Operations only: there is nothing to construct.
class Common {
 public:
  Common() = delete;

  static void addLoggingLevel(const std::string& levelName, int levelNum,
                              const std::optional<std::string>& methodName = std::nullopt);
  // Registers DETAIL, creates <path>/log, points the log file there and applies the configuration.
  static void initLogLocation(const std::string& log_output_path);
  // Seven INFO records: blank, rule, blank, command, blank, rule, blank.
  static void logCommandOptions(const std::string& command);
  static std::string remove_prefix(const std::string& text, const std::string& prefix);
};

}  // namespace tarnwick
