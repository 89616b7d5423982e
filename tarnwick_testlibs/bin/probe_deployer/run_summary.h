// What a deploy or revert run did, reported by the code that did it at the moment it happened:
// the closing INFO line and the JSON document of --summary_json.
#pragma once
#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tarnwick_testlibs/bin/probe_deployer/options.h"

namespace tarnwick::probe_deployer {

class RunSummary;

// The reports of the deployment and teardown code. Each goes to the summary, or the summary's
// entry, that the calling thread reports to, and is dropped when there is none (a workflow that
// calls the operations directly).
namespace report {

enum class Kind { kInstance, kElasticIp, kSecurityGroup, kKeyPair, kIamPolicy, kIamRole, kInstanceProfile };

// How one test configuration entry ended. An entry whose worker reported none counts as failed.
enum class Outcome { kPending, kLaunched, kReused, kDryRun, kRemoved, kNotFound, kInterrupted };

// One entry of a summary, handed to the worker that reports on it; the default reports nowhere.
struct Slot {
  RunSummary* summary = nullptr;
  std::optional<std::size_t> index;
};

// While it lives, this thread's reports go to `slot`; restores the earlier target when it ends.
class Scope {
 public:
  explicit Scope(Slot slot);
  explicit Scope(RunSummary& summary) : Scope(Slot{&summary, std::nullopt}) {}
  ~Scope();
  Scope(const Scope&) = delete;
  Scope& operator=(const Scope&) = delete;

 private:
  Slot previous_;
};

// A new entry in this thread's summary, for the worker of one test configuration entry.
Slot entry(const std::string& subnet_id);

void created(Kind kind, const std::string& id);
void reused(Kind kind, const std::string& id);
void removed(Kind kind, const std::string& id);
// The reporting entry's instance has its addresses; the entry counts as launched or reused, as
// its instance was. `privateIp` may be empty.
void deployed(const std::string& publicIp, const std::string& privateIp);
void outcome(Outcome outcome);
// A revert by names and tags found this object in `vpc_id` ("" for the region's IAM set), and
// removes it unless the run is a dry run.
void found(Kind kind, const std::string& id, const std::string& vpc_id);
// The deployment's objects expire at `when` (ISO 8601), or in a dry run would.
void expires(const std::string& when);

}  // namespace report

// Collects the reports of one run; safe for concurrent reports from the workers.
class RunSummary {
 public:
  // Takes the mode, the dry run and the --summary_json path from the options.
  void start(const Options& args);

  // "- Deployed 18 of 20 entries (3 reused, 15 launched), 2 failed" or
  // "- Removed 20 test instances and 20 Elastic IPs".
  std::string line() const;
  std::string json(int exitStatus) const;
  // Writes the document, when one was asked for, atomically; returns `exitStatus`, or throws
  // ProcessExit(1) when the document cannot be written.
  int finish(int exitStatus) const;

  // What the report functions record; `entry` is the reporting worker's entry, if any.
  enum class Event { kCreated, kReused, kRemoved };
  std::size_t addEntry(const std::string& subnet_id);
  void object(Event event, report::Kind kind, const std::string& id, std::optional<std::size_t> entry);
  void deployed(std::size_t entry, const std::string& publicIp, const std::string& privateIp);
  void outcome(std::size_t entry, report::Outcome outcome);
  void found(report::Kind kind, const std::string& id, const std::string& vpc_id);
  void expires(const std::string& when);
  // The run was asked to stop by `signal` ("SIGTERM"): the document names it.
  void interrupted(const std::string& signal);

 private:
  struct Entry {
    std::string subnetId;
    std::string instanceId;
    std::string publicIp;
    std::string privateIp;
    report::Outcome instance = report::Outcome::kPending;  // launched or reused
    report::Outcome outcome = report::Outcome::kPending;
  };
  using Objects = std::map<report::Kind, std::vector<std::string>>;

  std::size_t count(report::Outcome outcome) const;
  std::size_t count(Event event, report::Kind kind) const;
  struct Listed {
    report::Kind kind;
    std::string id;
    std::string vpcId;
  };
  // A revert by names and tags: what it removed, or in a dry run what it found, with the VPCs.
  std::vector<Listed> listed() const;

  mutable std::mutex mutex_;
  bool revert_ = false;
  bool byNames_ = false;  // --sweep or --revert --vpc_id
  std::string mode_ = "deploy";
  std::vector<Listed> found_;
  bool dryRun_ = false;
  std::string jsonPath_;
  std::string expiresAt_, interrupted_;
  std::vector<Entry> entries_;
  std::map<Event, Objects> objects_;
};

}  // namespace tarnwick::probe_deployer
