// The test configuration file that joins the two programs: a JSON array of entry objects.
#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace tarnwick::testconfig {

// Parses the whole file; throws std::runtime_error naming the file when it is missing,
// unreadable, not JSON, not an array, or holds an entry that is not an object of text values.
nlohmann::ordered_json read(const std::string& path);

// As read(), for a run that needs at least one entry: an empty array throws std::runtime_error.
nlohmann::ordered_json readEntries(const std::string& path);

// As read(), for the file's `text`; `path` names the file in errors.
nlohmann::ordered_json parse(const std::string& text, const std::string& path);

// Two-blank indent, insertion order, ASCII-only with \u escapes; no final line end.
std::string serialize(const nlohmann::ordered_json& doc);

// Writes serialize(doc) and "\n" to a temporary file beside `path`, then renames it into place.
// Throws std::runtime_error when the file cannot be written; the target is then untouched.
void writeAtomically(const std::string& path, const nlohmann::ordered_json& doc);

// Logs "test.config:" and the serialised text at INFO on `loggerName`, then writes the file.
void logAndWrite(const std::string& loggerName, const nlohmann::ordered_json& doc, const std::string& path);

// One entry, read by its members' names. It refers to the entry, which must outlive it. A member
// that a reader needs and the entry lacks, or holds as other than text, throws std::runtime_error
// "test configuration entry without "gw_subnet_id": {...}".
class Entry {
 public:
  explicit Entry(const nlohmann::ordered_json& entry) : doc_(&entry) {}

  const nlohmann::ordered_json& doc() const { return *doc_; }

  std::string gwSubnetId() const { return text("gw_subnet_id"); }
  // Empty text: the entry has no test subnet.
  std::string privateSubnetId() const { return text("private_subnet_id"); }
  std::string privateSubnetCidr() const { return text("private_subnet_cidr"); }
  std::string gwPrivateIp() const { return text("gw_private_ip"); }
  std::string natGwId() const { return text("nat_gw_id"); }
  // The gateway that names the entry's test results: its gw_name, a NAT entry's nat_gw_id.
  std::string gateway() const;
  // Its gw_name or nat_gw_id when it has either as text: what messages call it.
  std::optional<std::string> name() const;
  // The address a deploy recorded in the test subnet (see setEc2SecondPrivateIp), or "".
  std::string ec2SecondPrivateIp() const;

 private:
  std::string text(const char* member) const;

  const nlohmann::ordered_json* doc_;
};

// What a deploy adds to an entry it launched for, after the members the entry was read with:
// the instance's public address, and its address inside the test subnet.
void setEc2Ip(nlohmann::ordered_json& entry, const std::string& address);
void setEc2SecondPrivateIp(nlohmann::ordered_json& entry, const std::string& address);

// The run that reads a configuration: a deploy reads more of each entry than a revert.
enum class Reader { kDeploy, kRevert };

// Why a run gives an entry no test instance.
enum class Skip {
  kNone,
  kNoTestSubnet,  // an empty private_subnet_id
  // An earlier entry with a test subnet has the same gw_subnet_id: two instances there would each
  // find the other and leave both unfindable.
  kSubnetTaken,
};

// One entry as a run plans it.
struct EntryPlan {
  std::size_t index;  // in the file, from 0
  Entry entry;
  std::string gw_subnet_id;  // "" for an entry without a test subnet that has none
  std::string private_subnet_id;
  Skip skip;
  std::size_t taken_by;  // with kSubnetTaken: the index of the entry that has the gateway subnet

  bool skipped() const { return skip != Skip::kNone; }
  // "gw-a", a NAT entry's "nat-1", or "entry 3".
  std::string name() const;
  // "entry 3 (gw-a)" or "entry 3".
  std::string label() const;
};

// What a deploy or revert does with each entry of its configuration, decided once for the run
// and for the checks before it. It refers to the entries, which must outlive it; a deploy extends
// them in place and writes them back.
class Plan {
 public:
  // Checks the entries, in file order, for each member `reader` reads, and throws as Entry does
  // at the first one missing, so that an invalid file fails before anything is created or
  // removed. Throws std::runtime_error for an empty array too.
  Plan(nlohmann::ordered_json& entries, Reader reader);

  const std::vector<EntryPlan>& entries() const { return entries_; }
  // The entry whose gw_subnet_id gives the run its VPC.
  const EntryPlan& first() const { return entries_.front(); }
  // The whole array, as the deploy writes it back.
  nlohmann::ordered_json& doc() const { return *doc_; }
  // The entry of `planned`, for the worker that extends it.
  nlohmann::ordered_json& doc(const EntryPlan& planned) const;

 private:
  nlohmann::ordered_json* doc_;
  std::vector<EntryPlan> entries_;
};

}  // namespace tarnwick::testconfig
