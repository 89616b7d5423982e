// The reports of a result collection: JUnit XML through pugixml, the summary through nlohmann-json.
#include "tarnwick_testlibs/bin/collect_results_report.h"

#include <algorithm>
#include <cstddef>
#include <sstream>
#include <string_view>

#include <nlohmann/json.hpp>
#include <pugixml.hpp>

#include "tarnwick_testlibs/base/text.h"
#include "tarnwick_testlibs/bin/core/version.h"

namespace tarnwick::collect_results {

namespace {

using probe_deployer::Verdict;

constexpr const char* kSuiteName = "ping and traceroute";
constexpr const char* kNotReported = "no result reported";
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// XML 1.0's Char production: no control characters but tab, line feed and carriage return, and
// neither U+FFFE nor U+FFFF. A character reference to any other one is no better than the
// character itself, so these cannot be escaped, only replaced.
bool allowedInXml(char32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
         (c >= 0x10000 && c <= 0x10FFFF);
}

// The length of the UTF-8 sequence that starts at `text[at]` and its character; 0 when the bytes
// there are no well-formed sequence (a stray continuation byte, a truncated or overlong sequence,
// a surrogate).
std::size_t decodeUtf8(std::string_view text, std::size_t at, char32_t& c) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  const std::size_t length = lead < 0x80           ? 1
                             : (lead >> 5) == 0x6  ? 2
                             : (lead >> 4) == 0xE  ? 3
                             : (lead >> 3) == 0x1E ? 4
                                                   : 0;
  if (length == 0 || at + length > text.size()) return 0;
  c = length == 1 ? lead : lead & (0x7F >> length);
  for (std::size_t i = at + 1; i < at + length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    c = (c << 6) | (byte(i) & 0x3F);
  }
  constexpr char32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (c < kShortest[length] || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  return length;
}

std::string xmlText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    char32_t c = 0;
    const std::size_t length = decodeUtf8(text, at, c);
    if (length > 0 && allowedInXml(c))
      out.append(text.substr(at, length));
    else
      out.append(kReplacement);
    at += std::max<std::size_t>(length, 1);
  }
  return out;
}

void setText(pugi::xml_node node, std::string_view text) {
  if (!text.empty()) node.append_child(pugi::node_pcdata).set_value(xmlText(text).c_str());
}

void setCounts(pugi::xml_node node, const std::vector<EntryResult>& results) {
  node.append_attribute("tests").set_value(static_cast<unsigned long long>(results.size()));
  node.append_attribute("failures").set_value(static_cast<unsigned long long>(count(results, Verdict::kFailed)));
  node.append_attribute("errors").set_value(static_cast<unsigned long long>(count(results, Verdict::kNotReported)));
}

void addTestCase(pugi::xml_node suite, const EntryResult& result) {
  pugi::xml_node testCase = suite.append_child("testcase");
  testCase.append_attribute("name").set_value(xmlText(result.subnet_id).c_str());
  testCase.append_attribute("classname").set_value(xmlText(result.gateway).c_str());
  if (result.test.verdict == Verdict::kPassed) return;
  const bool failed = result.test.verdict == Verdict::kFailed;
  pugi::xml_node problem = testCase.append_child(failed ? "failure" : "error");
  problem.append_attribute("message").set_value(failed ? xmlText(text::trim(result.test.result)).c_str()
                                                       : kNotReported);
  setText(problem, result.test.log);
}

}  // namespace

std::size_t count(const std::vector<EntryResult>& results, Verdict verdict) {
  return static_cast<std::size_t>(
      std::count_if(results.begin(), results.end(), [&](const EntryResult& r) { return r.test.verdict == verdict; }));
}

std::string verdictName(Verdict verdict) {
  switch (verdict) {
    case Verdict::kPassed:
      return "passed";
    case Verdict::kFailed:
      return "failed";
    case Verdict::kNotReported:
      break;
  }
  return "not_reported";
}

std::string junitXml(const std::vector<EntryResult>& results) {
  pugi::xml_document doc;
  pugi::xml_node declaration = doc.append_child(pugi::node_declaration);
  declaration.append_attribute("version").set_value("1.0");
  declaration.append_attribute("encoding").set_value("UTF-8");
  pugi::xml_node suites = doc.append_child("testsuites");
  setCounts(suites, results);
  pugi::xml_node suite = suites.append_child("testsuite");
  suite.append_attribute("name").set_value(kSuiteName);
  setCounts(suite, results);
  for (const EntryResult& result : results) addTestCase(suite, result);
  std::ostringstream out;
  doc.save(out, "  ", pugi::format_default, pugi::encoding_utf8);
  return out.str();
}

std::string summaryJson(const std::string& bucket, const std::string& tag, const std::vector<EntryResult>& results,
                        int exitStatus) {
  using Json = nlohmann::ordered_json;
  Json doc = {{"program", "collect_results"},
              {"version", kToolkitVersion},
              {"bucket", bucket},
              {"tag", tag},
              {"entries", Json::array()}};
  for (const EntryResult& r : results)
    doc["entries"].push_back({{"subnet_id", r.subnet_id},
                              {"gateway", r.gateway},
                              {"tag", r.tag},
                              {"verdict", verdictName(r.test.verdict)},
                              {"result", r.test.verdict == Verdict::kNotReported ? Json() : Json(r.test.result)}});
  doc["exit_status"] = exitStatus;
  return doc.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace tarnwick::collect_results
