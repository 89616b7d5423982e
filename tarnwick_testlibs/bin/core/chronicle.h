// The process-wide logging configuration document and the code that applies it.
#pragma once
#include <functional>
#include <memory>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "tarnwick_testlibs/bin/core/logging.h"

namespace tarnwick::chronicle {

// Dotted "class" names of the stock handler types.
inline constexpr const char* kStreamHandlerClass = "tarnwick_testlibs.bin.core.logging.StreamHandler";
inline constexpr const char* kFileHandlerClass = "tarnwick_testlibs.bin.core.logging.FileHandler";

// Builds a handler from its entry in the document, without the "class", "level" and "formatter"
// entries (those are applied afterwards, as for every handler).
using HandlerFactory = std::function<std::shared_ptr<logging::Handler>(const nlohmann::ordered_json& options)>;

// The one configuration document of the process; mutable, changed in place before it is applied.
nlohmann::ordered_json& logging_config();

// Makes `dottedName` usable as a handler "class"; a later registration replaces an earlier one.
void registerHandlerType(const std::string& dottedName, HandlerFactory factory);

// Builds formatters and handlers, wires them to the loggers, and replaces whatever configuration
// was in force. Throws std::runtime_error for an unknown class, formatter, handler or level, and
// whatever a handler's construction throws (a log file that cannot be opened).
void applyConfig(const nlohmann::ordered_json& config);

}  // namespace tarnwick::chronicle
