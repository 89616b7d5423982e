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

// Only where the text stops being JSON, and why, in words of our own: the library's messages
// name its internals ("[json.exception.out_of_range.406] ...").
struct FirstFault : nlohmann::json_sax<nlohmann::ordered_json> {
  size_t position = 0;
  std::string why;
  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override { return true; }
  bool key(string_t&) override { return true; }
  bool end_object() override { return true; }
  bool start_array(std::size_t) override { return true; }
  bool end_array() override { return true; }
  bool parse_error(std::size_t at, const std::string& token, const nlohmann::detail::exception& e) override {
    // `at` counts the bytes read, up to the end of the faulty token: its first byte is the place.
    position = at >= token.size() ? at - token.size() + 1 : 1;
    why = e.id == 406 ? "holds a number too large to read (" + token + ")" : "is not valid JSON";
    return false;
  }
};

// "line 3, column 14" of the byte at `position` (counted from 1).
std::string placeOf(const std::string& text, size_t position) {
  size_t line = 1, column = 1;
  for (size_t i = 0; i + 1 < position && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  return fmt::format("line {}, column {}", line, column);
}

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
  FirstFault fault;
  if (!nlohmann::ordered_json::sax_parse(text, &fault))
    throw fileError(path, fmt::format("{} at {}", fault.why, placeOf(text, fault.position)));
  nlohmann::ordered_json doc = nlohmann::ordered_json::parse(text);
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
