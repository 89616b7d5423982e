// The test configuration file that joins the two programs: a JSON array of entry objects.
#pragma once
#include <string>

#include <nlohmann/json_fwd.hpp>

namespace tarnwick::testconfig {

// Parses the whole file; throws std::runtime_error naming the file when it is missing,
// unreadable, not JSON, not an array, or holds an entry that is not an object of text values.
nlohmann::ordered_json read(const std::string& path);

// As read(), for the file's `text`; `path` names the file in errors.
nlohmann::ordered_json parse(const std::string& text, const std::string& path);

// Two-blank indent, insertion order, ASCII-only with \u escapes; no final line end.
std::string serialize(const nlohmann::ordered_json& doc);

// Writes serialize(doc) and "\n" to a temporary file beside `path`, then renames it into place.
// Throws std::runtime_error when the file cannot be written; the target is then untouched.
void writeAtomically(const std::string& path, const nlohmann::ordered_json& doc);

// Logs "test.config:" and the serialised text at INFO on `loggerName`, then writes the file.
void logAndWrite(const std::string& loggerName, const nlohmann::ordered_json& doc, const std::string& path);

}  // namespace tarnwick::testconfig
