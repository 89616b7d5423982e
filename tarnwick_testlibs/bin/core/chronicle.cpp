// The logging configuration document and its application to the logger tree.
#include "tarnwick_testlibs/bin/core/chronicle.h"

#include <fmt/format.h>

#include <iostream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <stdexcept>

namespace tarnwick::chronicle {
namespace {

using json = nlohmann::ordered_json;

json makeDefaultConfig() {
  return json{
      {"version", 1},
      {"formatters",
       {{"extend", {{"format", "%(asctime)s - %(name)s - %(levelname)s - %(message)s"}}},
        {"simpleTime", {{"format", "%(asctime)s %(message)s"}}},
        {"simple", {{"format", "%(message)s"}}}}},
      {"handlers",
       {{"consoleHandler", {{"class", kStreamHandlerClass}, {"formatter", "simple"}, {"level", "INFO"}}},
        {"logConsoleHandler",
         {{"class", kFileHandlerClass},
          {"formatter", "simpleTime"},
          {"level", "INFO"},
          {"filename", "tarnwick_testlibs.log"},
          {"mode", "a"}}},
        {"failureLatch", {{"class", "tarnwick_testlibs.bin.core.FailureLatch.FailureLatch"}, {"level", "ERROR"}}}}},
      {"root", {{"handlers", {"consoleHandler"}}, {"level", "CRITICAL"}}},
      {"loggers",
       {{"tarnwick_testlibs",
         {{"handlers", {"consoleHandler", "logConsoleHandler", "failureLatch"}},
          {"level", "DEBUG"},
          {"propagate", 0}}}}}};
}

std::shared_ptr<logging::Handler> makeStreamHandler(const json& options) {
  const std::string stream = options.value("stream", "stderr");
  if (stream == "stdout") return std::make_shared<logging::StreamHandler>(std::cout);
  if (stream == "stderr") return std::make_shared<logging::StreamHandler>(std::cerr);
  throw std::runtime_error(fmt::format("unknown stream {}", stream));
}

std::shared_ptr<logging::Handler> makeFileHandler(const json& options) {
  if (!options.contains("filename")) throw std::runtime_error("file handler without filename");
  return std::make_shared<logging::FileHandler>(options.at("filename").get<std::string>(), options.value("mode", "a"));
}

struct HandlerTypes {
  std::mutex mutex;
  std::map<std::string, HandlerFactory> factories{{kStreamHandlerClass, makeStreamHandler},
                                                  {kFileHandlerClass, makeFileHandler}};
};

HandlerTypes& handlerTypes() {
  static HandlerTypes types;
  return types;
}

HandlerFactory factoryFor(const std::string& dottedName) {
  auto& types = handlerTypes();
  std::lock_guard guard(types.mutex);
  auto it = types.factories.find(dottedName);
  if (it == types.factories.end()) {
    throw std::runtime_error(fmt::format("unknown handler class {}", dottedName));
  }
  return it->second;
}

// Levels are written as names ("INFO", or a registered one such as "DETAIL") or as numbers.
int parseLevel(const json& value) {
  if (value.is_number_integer()) return value.get<int>();
  const auto name = value.get<std::string>();
  if (auto level = logging::levelNumber(name)) return *level;
  throw std::runtime_error(fmt::format("unknown level {}", name));
}

// A member of the document, or an empty object when it is missing; never a temporary, so the
// result can be iterated safely.
const json& section(const json& parent, const char* key) {
  static const json empty = json::object();
  auto it = parent.find(key);
  return it != parent.end() ? *it : empty;
}

using Formatters = std::map<std::string, std::shared_ptr<logging::Formatter>>;
using Handlers = std::map<std::string, std::shared_ptr<logging::Handler>>;

Formatters buildFormatters(const json& config) {
  Formatters out;
  for (const auto& [name, entry] : section(config, "formatters").items()) {
    out[name] = std::make_shared<logging::Formatter>(entry.value("format", "%(message)s"));
  }
  return out;
}

std::shared_ptr<logging::Handler> buildHandler(const std::string& name, const json& entry,
                                               const Formatters& formatters) {
  json options = entry;
  options.erase("class");
  options.erase("level");
  options.erase("formatter");
  auto handler = factoryFor(entry.value("class", kStreamHandlerClass))(options);
  if (entry.contains("level")) handler->setLevel(parseLevel(entry.at("level")));
  if (entry.contains("formatter")) {
    auto it = formatters.find(entry.at("formatter").get<std::string>());
    if (it == formatters.end()) {
      throw std::runtime_error(fmt::format("handler {} names an unknown formatter", name));
    }
    handler->setFormatter(it->second);
  }
  return handler;
}

Handlers buildHandlers(const json& config, const Formatters& formatters) {
  Handlers out;
  for (const auto& [name, entry] : section(config, "handlers").items()) {
    out[name] = buildHandler(name, entry, formatters);
  }
  return out;
}

void configureLogger(logging::Logger& logger, const json& entry, const Handlers& handlers) {
  if (entry.contains("level")) logger.setLevel(parseLevel(entry.at("level")));
  if (entry.contains("propagate")) {
    const auto& p = entry.at("propagate");
    logger.setPropagate(p.is_boolean() ? p.get<bool>() : p.get<int>() != 0);
  }
  static const json none = json::array();
  const auto it = entry.find("handlers");
  for (const auto& handlerName : it != entry.end() ? *it : none) {
    auto found = handlers.find(handlerName.get<std::string>());
    if (found == handlers.end()) {
      throw std::runtime_error(fmt::format("logger names an unknown handler {}", handlerName.get<std::string>()));
    }
    logger.addHandler(found->second);
  }
}

}  // namespace

json& logging_config() {
  static json config = makeDefaultConfig();
  return config;
}

void registerHandlerType(const std::string& dottedName, HandlerFactory factory) {
  auto& types = handlerTypes();
  std::lock_guard guard(types.mutex);
  types.factories[dottedName] = std::move(factory);
}

void applyConfig(const json& config) {
  // Handlers are built before anything is reset, so a log file that cannot be opened leaves the
  // configuration in force untouched.
  const Formatters formatters = buildFormatters(config);
  const Handlers handlers = buildHandlers(config, formatters);
  logging::resetLoggers();
  if (config.contains("root")) configureLogger(logging::getLogger(""), config.at("root"), handlers);
  for (const auto& [name, entry] : section(config, "loggers").items()) {
    configureLogger(logging::getLogger(name), entry, handlers);
  }
}

}  // namespace tarnwick::chronicle
