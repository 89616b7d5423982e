// Class-level helpers shared by both programs: log levels, log location, command banner, prefixes.
#include "tarnwick_testlibs/bin/lib/runkit.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "tarnwick_testlibs/base/text.h"
#include "tarnwick_testlibs/bin/core/FailureLatch.h"
#include "tarnwick_testlibs/bin/core/chronicle.h"
#include "tarnwick_testlibs/bin/core/logging.h"

namespace tarnwick {
namespace {

constexpr const char* kLogger = "tarnwick_testlibs.bin.lib.runkit";
constexpr const char* kLogFileName = "/tarnwick_testlibs.log";

LevelNameClash moduleClash(const std::string& name) {
  return LevelNameClash(fmt::format("{} already defined in logging module", name));
}

// The configuration names the latch only by its dotted class; linking it in happens here.
void registerFailureLatch() {
  chronicle::registerHandlerType(FailureLatch::kClassName,
                                 [](const nlohmann::ordered_json&) { return std::make_shared<FailureLatch>(); });
}

}  // namespace

void Common::addLoggingLevel(const std::string& levelName, int levelNum, const std::optional<std::string>& methodName) {
  const std::string method = methodName && !methodName->empty() ? *methodName : text::lower(levelName);
  // Every check runs before anything is registered, so a clash leaves the facility unchanged.
  if (logging::facilityDefines(levelName)) throw moduleClash(levelName);
  if (logging::facilityDefines(method)) throw moduleClash(method);
  if (logging::loggerClassDefines(method)) {
    throw LevelNameClash(fmt::format("{} already defined in logger class", method));
  }
  logging::addLevelName(levelNum, levelName);
  logging::defineLevelConstant(levelName, levelNum);
  logging::defineLevelMethod(method, levelNum);
}

void Common::initLogLocation(const std::string& log_output_path) {
  addLoggingLevel("DETAIL", logging::INFO - 5, "detail");
  const std::string logFolder = log_output_path + "/log";
  std::filesystem::create_directories(logFolder);
  auto& config = chronicle::logging_config();
  config["handlers"]["logConsoleHandler"]["filename"] = logFolder + kLogFileName;
  config["handlers"]["logConsoleHandler"]["level"] = "DETAIL";
  config["handlers"]["consoleHandler"]["level"] = "DETAIL";
  registerFailureLatch();
  chronicle::applyConfig(config);
}

void Common::logCommandOptions(const std::string& command) {
  auto& log = logging::getLogger(kLogger);
  const std::string rule = fmt::format("{:#<45}", "");
  const std::string blank;
  for (const std::string& line : {blank, rule, blank, command, blank, rule, blank}) {
    log.info(line);
  }
}

std::string Common::remove_prefix(const std::string& text, const std::string& prefix) {
  return text.starts_with(prefix) ? text.substr(prefix.size()) : text;
}

}  // namespace tarnwick
