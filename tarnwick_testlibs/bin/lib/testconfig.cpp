// Reading, serialising and writing the test configuration file.
#include "tarnwick_testlibs/bin/lib/testconfig.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "tarnwick_testlibs/base/files.h"
#include "tarnwick_testlibs/bin/core/logging.h"

namespace tarnwick::testconfig {

namespace {

std::runtime_error fileError(const std::string& path, const std::string& what) {
  return std::runtime_error(fmt::format("test configuration file {}: {}", path, what));
}

std::string systemError() { return std::strerror(errno); }

}  // namespace

nlohmann::ordered_json read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw fileError(path, "cannot be opened: " + systemError());
  std::stringstream text;
  text << in.rdbuf();
  if (in.bad()) throw fileError(path, "cannot be read");
  return parse(text.str(), path);
}

nlohmann::ordered_json parse(const std::string& text, const std::string& path) {
  nlohmann::ordered_json doc;
  try {
    doc = nlohmann::ordered_json::parse(text);
  } catch (const nlohmann::json::exception& e) {  // also a number out of range, such as 1e999
    throw fileError(path, std::string("is not valid JSON: ") + e.what());
  }
  if (!doc.is_array()) throw fileError(path, "is not a JSON array");
  // Entries are flat: anything nested would be written back as deep as it came in.
  for (size_t i = 0; i < doc.size(); ++i) {
    if (!doc[i].is_object()) throw fileError(path, "holds an entry that is not a JSON object");
    for (const auto& [key, value] : doc[i].items()) {
      if (!value.is_string())
        throw fileError(path, fmt::format("entry {} has a member {} that is not text", i + 1,
                                          nlohmann::ordered_json(key).dump(-1, ' ', true)));
    }
  }
  return doc;
}

std::string serialize(const nlohmann::ordered_json& doc) { return doc.dump(2, ' ', true); }

void writeAtomically(const std::string& path, const nlohmann::ordered_json& doc) {
  try {
    files::writeAtomically(path, serialize(doc) + "\n", files::modeForReplacing(path));
  } catch (const std::system_error& e) {
    throw fileError(path, e.what());
  }
}

void logAndWrite(const std::string& loggerName, const nlohmann::ordered_json& doc, const std::string& path) {
  auto& log = logging::getLogger(loggerName);
  log.info("test.config:");
  log.info(serialize(doc));
  writeAtomically(path, doc);
  log.info("- Saved " + path);
}

}  // namespace tarnwick::testconfig
