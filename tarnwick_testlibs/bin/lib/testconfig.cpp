// Reading, serialising and writing the test configuration file.
#include "tarnwick_testlibs/bin/lib/testconfig.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
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

nlohmann::ordered_json readEntries(const std::string& path) {
  nlohmann::ordered_json doc = read(path);
  if (doc.empty()) throw std::runtime_error(fmt::format("test configuration {} has no entry", path));
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

namespace {

// The member when the entry holds it as text.
std::optional<std::string> textIfAny(const nlohmann::ordered_json& entry, const char* member) {
  const auto it = entry.is_object() ? entry.find(member) : entry.end();
  if (it == entry.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

}  // namespace

std::string Entry::text(const char* member) const {
  if (auto value = textIfAny(*doc_, member)) return *value;
  throw std::runtime_error(fmt::format("test configuration entry without \"{}\": {}", member, doc_->dump()));
}

std::string Entry::gateway() const {
  // NAT entries have no gateway name; their gateway identifier names their results instead.
  return text(doc_->contains("gw_name") ? "gw_name" : "nat_gw_id");
}

std::optional<std::string> Entry::name() const {
  if (auto name = textIfAny(*doc_, "gw_name")) return name;
  return textIfAny(*doc_, "nat_gw_id");
}

std::string Entry::ec2SecondPrivateIp() const { return textIfAny(*doc_, "ec2_2nd_private_ip").value_or(""); }

void setEc2Ip(nlohmann::ordered_json& entry, const std::string& address) { entry["ec2_ip"] = address; }

void setEc2SecondPrivateIp(nlohmann::ordered_json& entry, const std::string& address) {
  entry["ec2_2nd_private_ip"] = address;
}

std::string EntryPlan::name() const { return entry.name().value_or(fmt::format("entry {}", index + 1)); }

std::string EntryPlan::label() const {
  const std::optional<std::string> name = entry.name();
  return name ? fmt::format("entry {} ({})", index + 1, *name) : fmt::format("entry {}", index + 1);
}

namespace {

// The members `reader` reads of an entry without a test subnet, and the plan of it.
EntryPlan withoutTestSubnet(const Entry& entry, std::size_t index, Reader reader) {
  if (reader == Reader::kDeploy) entry.natGwId();  // named in the skip message
  return {index, entry, textIfAny(entry.doc(), "gw_subnet_id").value_or(""), "", Skip::kNoTestSubnet, 0};
}

}  // namespace

Plan::Plan(nlohmann::ordered_json& entries, Reader reader) : doc_(&entries) {
  if (entries.empty()) throw std::runtime_error("test configuration has no entry");
  Entry(entries.at(0)).gwSubnetId();           // the run's VPC
  std::map<std::string, std::size_t> holders;  // gateway subnet -> the first entry deployed there
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const Entry entry(entries[i]);
    const std::string testSubnet = entry.privateSubnetId();
    if (testSubnet.empty()) {
      entries_.push_back(withoutTestSubnet(entry, i, reader));
      continue;
    }
    const std::string subnet = entry.gwSubnetId();
    if (reader == Reader::kDeploy) entry.gwPrivateIp();  // the launch's gateway address
    const auto [holder, first] = holders.emplace(subnet, i);
    entries_.push_back({i, entry, subnet, testSubnet, first ? Skip::kNone : Skip::kSubnetTaken, holder->second});
  }
}

nlohmann::ordered_json& Plan::doc(const EntryPlan& planned) const { return doc_->at(planned.index); }

}  // namespace tarnwick::testconfig
