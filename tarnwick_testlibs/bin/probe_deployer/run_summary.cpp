// The run summary: the reports of a deploy or revert run, its closing line and its JSON document.
#include "tarnwick_testlibs/bin/probe_deployer/run_summary.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "tarnwick_testlibs/base/files.h"
#include "tarnwick_testlibs/bin/core/AppExitStatus.h"
#include "tarnwick_testlibs/bin/core/version.h"
#include "tarnwick_testlibs/bin/lib/cli.h"

namespace tarnwick::probe_deployer {

namespace report {

namespace {

// Where this thread's reports go: set by the worker edge for a worker, by the run flow for the
// main thread.
thread_local Slot target;

std::string text(Kind kind) {
  switch (kind) {
    case Kind::kInstance:
      return "instances";
    case Kind::kElasticIp:
      return "elastic_ips";
    case Kind::kSecurityGroup:
      return "security_groups";
    case Kind::kKeyPair:
      return "key_pairs";
    case Kind::kIamPolicy:
      return "iam_policies";
    case Kind::kIamRole:
      return "iam_roles";
    case Kind::kInstanceProfile:
      break;
  }
  return "instance_profiles";
}

std::string text(Outcome outcome) {
  switch (outcome) {
    case Outcome::kLaunched:
      return "launched";
    case Outcome::kReused:
      return "reused";
    case Outcome::kDryRun:
      return "dry_run";
    case Outcome::kRemoved:
      return "removed";
    case Outcome::kNotFound:
      return "not_found";
    case Outcome::kInterrupted:
      return "interrupted";
    case Outcome::kPending:
      break;
  }
  return "failed";
}

void object(RunSummary::Event event, Kind kind, const std::string& id) {
  if (target.summary) target.summary->object(event, kind, id, target.index);
}

}  // namespace

Scope::Scope(Slot slot) : previous_(target) { target = slot; }

Scope::~Scope() { target = previous_; }

Slot entry(const std::string& subnet_id) {
  if (!target.summary) return {};
  return {target.summary, target.summary->addEntry(subnet_id)};
}

void created(Kind kind, const std::string& id) { object(RunSummary::Event::kCreated, kind, id); }
void reused(Kind kind, const std::string& id) { object(RunSummary::Event::kReused, kind, id); }
void removed(Kind kind, const std::string& id) { object(RunSummary::Event::kRemoved, kind, id); }

void deployed(const std::string& publicIp, const std::string& privateIp) {
  if (target.summary && target.index) target.summary->deployed(*target.index, publicIp, privateIp);
}

void outcome(Outcome outcome) {
  if (target.summary && target.index) target.summary->outcome(*target.index, outcome);
}

void found(Kind kind, const std::string& id, const std::string& vpc_id) {
  if (target.summary) target.summary->found(kind, id, vpc_id);
}

void expires(const std::string& when) {
  if (target.summary) target.summary->expires(when);
}

}  // namespace report

namespace {

using report::Kind;
using report::Outcome;

constexpr Kind kKinds[] = {Kind::kInstance,  Kind::kElasticIp, Kind::kSecurityGroup,  Kind::kKeyPair,
                           Kind::kIamPolicy, Kind::kIamRole,   Kind::kInstanceProfile};

std::string plural(std::size_t n, const char* one, const char* many) {
  return fmt::format("{} {}", n, n == 1 ? one : many);
}

nlohmann::ordered_json textOrNull(const std::string& value) {
  return value.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(value);
}

}  // namespace

void RunSummary::start(const Options& args) {
  const std::lock_guard lock(mutex_);
  revert_ = args.revert || args.sweep;
  byNames_ = args.sweep || args.vpc_id;
  mode_ = args.sweep ? "sweep" : revert_ ? "revert" : "deploy";
  dryRun_ = args.dry_run;
  jsonPath_ = cli::text(args.summary_json);
}

std::size_t RunSummary::addEntry(const std::string& subnet_id) {
  const std::lock_guard lock(mutex_);
  entries_.push_back(Entry{subnet_id, "", "", "", Outcome::kPending, Outcome::kPending});
  return entries_.size() - 1;
}

void RunSummary::object(Event event, Kind kind, const std::string& id, std::optional<std::size_t> entry) {
  const std::lock_guard lock(mutex_);
  objects_[event][kind].push_back(id);
  if (!entry) return;
  Entry& e = entries_.at(*entry);
  if (kind == Kind::kElasticIp) e.publicIp = id;
  if (kind != Kind::kInstance) return;
  e.instanceId = id;
  if (event != Event::kRemoved) e.instance = event == Event::kCreated ? Outcome::kLaunched : Outcome::kReused;
}

void RunSummary::deployed(std::size_t entry, const std::string& publicIp, const std::string& privateIp) {
  const std::lock_guard lock(mutex_);
  Entry& e = entries_.at(entry);
  e.publicIp = publicIp;
  e.privateIp = privateIp;
  e.outcome = e.instance;
}

void RunSummary::outcome(std::size_t entry, Outcome outcome) {
  const std::lock_guard lock(mutex_);
  entries_.at(entry).outcome = outcome;
}

void RunSummary::found(Kind kind, const std::string& id, const std::string& vpc_id) {
  const std::lock_guard lock(mutex_);
  found_.push_back({kind, id, vpc_id});
}

void RunSummary::expires(const std::string& when) {
  const std::lock_guard lock(mutex_);
  expiresAt_ = when;
}

void RunSummary::interrupted(const std::string& signal) {
  const std::lock_guard lock(mutex_);
  interrupted_ = signal;
}

// The three functions below expect the lock to be held.
std::vector<RunSummary::Listed> RunSummary::listed() const {
  if (dryRun_) return found_;
  std::map<std::string, std::string> vpcOf;
  for (const Listed& f : found_) vpcOf[f.id] = f.vpcId;
  std::vector<Listed> removed;
  if (const auto objects = objects_.find(Event::kRemoved); objects != objects_.end())
    for (const auto& [kind, ids] : objects->second)
      for (const std::string& id : ids) removed.push_back({kind, id, vpcOf[id]});
  return removed;
}

std::size_t RunSummary::count(Outcome outcome) const {
  return static_cast<std::size_t>(
      std::count_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.outcome == outcome; }));
}

std::size_t RunSummary::count(Event event, Kind kind) const {
  const auto objects = objects_.find(event);
  if (objects == objects_.end()) return 0;
  const auto ids = objects->second.find(kind);
  return ids == objects->second.end() ? 0 : ids->second.size();
}

std::string RunSummary::line() const {
  const std::lock_guard lock(mutex_);
  const std::size_t dry = count(Outcome::kDryRun);
  const std::size_t stopped = count(Outcome::kInterrupted);
  std::string text;
  if (revert_) {
    const std::size_t instances = count(Event::kRemoved, Kind::kInstance);
    const std::size_t addresses = count(Event::kRemoved, Kind::kElasticIp);
    const std::size_t failed = count(Outcome::kPending);
    text = fmt::format("- Removed {} and {}", plural(instances, "test instance", "test instances"),
                       plural(addresses, "Elastic IP", "Elastic IPs"));
    if (failed) text += fmt::format(", {} failed", plural(failed, "entry", "entries"));
  } else {
    const std::size_t reused = count(Outcome::kReused);
    const std::size_t launched = count(Outcome::kLaunched);
    const std::size_t failed = entries_.size() - reused - launched - dry - stopped;
    text = fmt::format("- Deployed {} of {} ({} reused, {} launched), {} failed", reused + launched,
                       plural(entries_.size(), "entry", "entries"), reused, launched, failed);
  }
  if (dry) text += fmt::format(", {} not {} in a dry run", dry, revert_ ? "removed" : "launched");
  if (stopped) text += fmt::format(", {} interrupted", stopped);
  if (!byNames_) return text;
  std::vector<std::string> objects;
  for (const Listed& l : listed()) objects.push_back(l.vpcId.empty() ? l.id : l.id + " in " + l.vpcId);
  if (objects.empty()) objects.push_back("nothing");
  return text + fmt::format("; {}: {}", dryRun_ ? "would remove" : "removed", fmt::join(objects, ", "));
}

std::string RunSummary::json(int exitStatus) const {
  using Json = nlohmann::ordered_json;
  const std::lock_guard lock(mutex_);
  Json doc = {{"program", "probe_deployer"},
              {"version", kToolkitVersion},
              {"mode", mode_},
              {"dry_run", dryRun_},
              {"entries", Json::array()}};
  for (const Entry& e : entries_)
    doc["entries"].push_back({{"subnet_id", e.subnetId},
                              {"instance_id", textOrNull(e.instanceId)},
                              {"public_ip", textOrNull(e.publicIp)},
                              {"private_ip", textOrNull(e.privateIp)},
                              {"outcome", report::text(e.outcome)}});
  for (const auto& [event, name] : {std::pair{Event::kCreated, "created"}, std::pair{Event::kReused, "reused"},
                                    std::pair{Event::kRemoved, "removed"}}) {
    Json& group = doc[name] = Json::object();
    for (Kind kind : kKinds) group[report::text(kind)] = Json::array();
    if (const auto objects = objects_.find(event); objects != objects_.end())
      for (const auto& [kind, ids] : objects->second) group[report::text(kind)] = ids;
  }
  if (byNames_) {
    Json& swept = doc["swept"] = Json::array();
    for (const Listed& l : listed())
      swept.push_back({{"kind", report::text(l.kind)}, {"id", l.id}, {"vpc_id", textOrNull(l.vpcId)}});
  }
  if (!revert_) doc["expires_at"] = textOrNull(expiresAt_);
  doc["interrupted"] = textOrNull(interrupted_);
  doc["exit_status"] = exitStatus;
  return doc.dump(2) + "\n";
}

int RunSummary::finish(int exitStatus) const {
  if (jsonPath_.empty()) return exitStatus;
  try {
    files::writeAtomically(jsonPath_, json(exitStatus), files::modeForReplacing(jsonPath_));
  } catch (const std::exception& e) {
    throw ProcessExit(kExitFatal, "cannot write the run summary: " + describeFailure(e));
  }
  return exitStatus;
}

}  // namespace tarnwick::probe_deployer
