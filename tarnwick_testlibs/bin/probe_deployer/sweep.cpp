// Clean-up without the input file. A lost CI runner takes the test configuration with it; what its
// deployment created is found again by the fixed names and Name tags, grouped by VPC, and removed
// through the revert's own steps, so order, messages and statuses stay those of a revert.
#include "tarnwick_testlibs/bin/probe_deployer/sweep.h"

#include <algorithm>
#include <set>

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <nlohmann/json.hpp>

#include "tarnwick_testlibs/aws/credentials.h"
#include "tarnwick_testlibs/aws/errors.h"
#include "tarnwick_testlibs/aws/paginator.h"
#include "tarnwick_testlibs/aws/views.h"
#include "tarnwick_testlibs/bin/core/AppExitStatus.h"
#include "tarnwick_testlibs/bin/core/messages.h"
#include "tarnwick_testlibs/bin/probe_deployer/common.h"
#include "tarnwick_testlibs/bin/probe_deployer/detail/poller.h"
#include "tarnwick_testlibs/bin/probe_deployer/detail/resource_support.h"
#include "tarnwick_testlibs/bin/probe_deployer/detail/workers.h"
#include "tarnwick_testlibs/bin/probe_deployer/iam.h"
#include "tarnwick_testlibs/bin/probe_deployer/keypair.h"
#include "tarnwick_testlibs/bin/probe_deployer/run_summary.h"
#include "tarnwick_testlibs/bin/probe_deployer/tags.h"
#include "tarnwick_testlibs/bin/probe_deployer/teardown.h"

namespace tarnwick::probe_deployer {

using detail::filter;
using detail::log;
using Findings = std::map<std::string, VpcFindings>;

namespace {

// The tags the deployment puts on addresses and key pairs (eip.cpp, keypair.cpp).

std::string tagValue(const aws::view::Record& record, const std::string& key) {
  for (const auto& tag : record.list("Tags"))
    if (tag.textOr("Key") == key) return tag.textOr("Value");
  return "";
}

// Seconds since the epoch as a time point, held to the clock's range: a time stamp beyond it
// must not wrap round into a plausible age.
SweepClock::time_point fromSeconds(double seconds) {
  constexpr auto limit = std::chrono::floor<std::chrono::seconds>(SweepClock::duration::max()).count();
  if (!(seconds > -static_cast<double>(limit))) return SweepClock::time_point::min();
  if (seconds >= static_cast<double>(limit)) return SweepClock::time_point::max();
  return SweepClock::time_point(std::chrono::seconds(static_cast<long long>(seconds)));
}

// An answer's time stamp: ISO 8601 text or seconds since the epoch. Nothing for anything else.
std::optional<SweepClock::time_point> timeOf(const Doc& value) {
  if (value.is_number()) return fromSeconds(value.get<double>());
  if (!value.is_string()) return std::nullopt;
  return aws::parseExpiration(value.get<std::string>());
}

std::optional<SweepClock::time_point> memberTime(const aws::view::Record& record, const char* member) {
  return record.has(member) ? timeOf(record.doc()[member]) : std::nullopt;
}

std::optional<SweepClock::time_point> tagTime(const aws::view::Record& record, const char* key = kCreatedAtTagKey) {
  const std::string value = tagValue(record, key);
  return value.empty() ? std::nullopt : timeOf(Doc(value));
}

std::optional<SweepClock::time_point> expiryOf(const aws::view::Record& record) {
  return tagTime(record, kExpiresAtTagKey);
}

Doc filters(std::vector<Doc> wanted, const std::optional<std::string>& vpcFilter, const char* vpcFilterName) {
  if (vpcFilter) wanted.push_back(filter(vpcFilterName, {*vpcFilter}));
  return Doc{{"Filters", Doc(wanted)}};
}

void add(Findings& found, const std::string& vpc, TestObject object) {
  VpcFindings& mine = found[vpc];
  mine.vpcId = vpc;
  (object.kind == report::Kind::kInstance ? mine.instances : mine.others).push_back(std::move(object));
}

void findInstances(aws::Ec2Client& ec2, const std::optional<std::string>& vpc, Findings& found) {
  aws::Paginator pages(ec2, "DescribeInstances",
                       filters({filter("tag:Name", {kEc2Name}), detail::liveInstanceStates()}, vpc, "vpc-id"));
  for (Doc page; pages.next(page);)
    for (const auto& instance : aws::view::instances(page))
      if (!instance.vpcId().empty())
        add(found, instance.vpcId(),
            {report::Kind::kInstance, instance.id(), instance.textOr("SubnetId"), memberTime(instance, "LaunchTime"),
             expiryOf(instance)});
}

// Addresses name their VPC in a tag; older ones without it are found through their instance.
void findAddresses(aws::Ec2Client& ec2, const std::optional<std::string>& vpc, Findings& found) {
  std::map<std::string, std::string> vpcOfInstance;
  for (const auto& [vpcId, findings] : found)
    for (const auto& instance : findings.instances) vpcOfInstance[instance.id] = vpcId;
  const Doc reply = ec2.describe_addresses(filters({filter("tag:Name", {kEipName})}, std::nullopt, ""));
  for (const auto& address : aws::view::addresses(reply)) {
    std::string owner = tagValue(address, kEipVpcTagKey);
    if (owner.empty()) owner = vpcOfInstance[address.textOr("InstanceId")];
    if (owner.empty() || (vpc && owner != *vpc)) continue;
    add(found, owner,
        {report::Kind::kElasticIp, address.publicIp(), address.allocationId(), tagTime(address), expiryOf(address)});
  }
}

// A group counts only when its Name tag is its own name, as the deployment made it.
void findGroups(aws::Ec2Client& ec2, const std::optional<std::string>& vpc, Findings& found) {
  const Doc reply = ec2.describe_security_groups(filters(
      {filter("group-name", {kSgName, kPrivateSgName}), filter("tag:Name", {kSgName, kPrivateSgName})}, vpc, "vpc-id"));
  for (const auto& group : aws::view::securityGroups(reply)) {
    const std::string name = group.textOr("GroupName");
    if (tagValue(group, "Name") != name || group.textOr("VpcId").empty()) continue;
    add(found, group.textOr("VpcId"),
        {report::Kind::kSecurityGroup, group.id(), name, tagTime(group), expiryOf(group)});
  }
}

void findKeyPairs(aws::Ec2Client& ec2, const std::optional<std::string>& vpc, Findings& found) {
  const std::optional<std::string> keyName = vpc ? std::optional(vpcKeyPairName(*vpc)) : std::nullopt;
  const Doc reply = ec2.describe_key_pairs(filters({filter("tag:Name", {kKeyPairTag})}, keyName, "key-name"));
  for (const auto& key : aws::view::Record(reply, "DescribeKeyPairs").list("KeyPairs")) {
    const std::string name = key.textOr("KeyName");
    if (!name.starts_with(kKeyPairPrefix) || name.size() == std::string(kKeyPairPrefix).size()) continue;
    add(found, name.substr(std::string(kKeyPairPrefix).size()),
        {report::Kind::kKeyPair, name, "", memberTime(key, "CreateTime"), expiryOf(key)});
  }
}

std::optional<SweepClock::time_point> newest(const std::vector<TestObject>& objects) {
  std::optional<SweepClock::time_point> last;
  for (const auto& object : objects)
    if (object.created && (!last || *object.created > *last)) last = object.created;
  return last;
}

std::string ageText(const VpcFindings& found, SweepClock::time_point now) {
  const auto last = found.lastDeployed();
  std::string text = last ? fmt::format("last deployed {} s ago", ageAt(*last, now).count()) : "age unknown";
  if (const auto expiry = found.expiresAt()) text += ", expires at " + utcText(*expiry);
  return text;
}

// Why a sweep keeps a deployment that is not due.
std::string keptBecause(const VpcFindings& found, const SweepOptions& args) {
  return found.expiresAt() ? "keep: not expired" : "keep: younger than " + args.older_than_text;
}

// The instance workers of a revert, one per subnet holding test instances, then the revert's
// last steps, with the groups as found here: only those that carry their Name tag.
void removeDeployment(aws::Ec2Client& ec2, aws::IamClient& iam, const VpcFindings& found, const ChangeOptions& args) {
  for (const auto* list : {&found.instances, &found.others})
    for (const TestObject& object : *list) report::found(object.kind, object.id, found.vpcId);
  detail::Poller poller(ec2);
  std::vector<detail::Worker> workers;
  std::set<std::string> subnets;
  for (const TestObject& instance : found.instances) {
    if (!subnets.insert(instance.detail).second) continue;
    const std::string subnet = instance.detail;
    workers.push_back({subnet, [&, subnet] { deleteEc2(ec2, iam, subnet, args, &poller); }, report::entry(subnet)});
  }
  if (const auto unstarted = detail::runWorkers(workers)) throw ProcessExit(kExitFatal, *unstarted);
  removeVpcCompanions(
      ec2, found.vpcId, args,
      [&found](aws::Ec2Client&, const std::string&, const std::string& name) -> std::optional<std::string> {
        for (const TestObject& object : found.others)
          if (object.kind == report::Kind::kSecurityGroup && object.detail == name) return object.id;
        return std::nullopt;
      });
}

// The parts of the IAM set that exist, for a dry run to name. The role is seen through the profile.
std::vector<std::pair<report::Kind, std::string>> existingIamSet(aws::IamClient& iam) {
  std::vector<std::pair<report::Kind, std::string>> parts;
  try {
    const Doc reply = iam.get_instance_profile({{"InstanceProfileName", kInstanceProfile}});
    parts.emplace_back(report::Kind::kInstanceProfile, kInstanceProfile);
    for (const auto& role : aws::view::Record(reply, "GetInstanceProfile").object("InstanceProfile").list("Roles"))
      if (role.textOr("RoleName") == kRoleName) parts.emplace_back(report::Kind::kIamRole, kRoleName);
  } catch (const aws::ServiceError& e) {
    if (e.code() != "NoSuchEntity") throw;
  }
  aws::Paginator pages(iam, "ListPolicies", Doc{{"Scope", "Local"}});
  for (Doc page; pages.next(page);)
    for (const auto& policy : aws::view::Record(page, "ListPolicies").list("Policies"))
      if (policy.textOr("PolicyName") == kPolicyName) parts.emplace_back(report::Kind::kIamPolicy, kPolicyName);
  return parts;
}

// One IAM set serves every VPC of the account: it goes only when nothing outside `swept` uses it.
void removeIamSet(aws::Ec2Client& ec2, aws::IamClient& iam, const std::set<std::string>& swept,
                  const SweepOptions& args) {
  if (!args.default_role || instanceProfileUsedOutside(ec2, swept)) return;
  if (!args.dry_run) return deleteInstanceProfile(iam, args);
  for (const auto& [kind, name] : existingIamSet(iam)) {
    log().info("- Would delete " + name);
    report::found(kind, name, "");
  }
}

}  // namespace

std::optional<SweepClock::time_point> VpcFindings::lastDeployed() const {
  return instances.empty() ? newest(others) : newest(instances);
}

std::chrono::seconds ageAt(SweepClock::time_point then, SweepClock::time_point now) {
  // In whole seconds each side stays within a few billion, so neither the difference nor a
  // comparison with any age can overflow, as one in the clock's nanoseconds can.
  return std::chrono::floor<std::chrono::seconds>(now.time_since_epoch()) -
         std::chrono::floor<std::chrono::seconds>(then.time_since_epoch());
}

bool VpcFindings::isOld(std::chrono::seconds olderThan, SweepClock::time_point now) const {
  const auto last = lastDeployed();
  return !last || ageAt(*last, now) >= olderThan;
}

std::optional<SweepClock::time_point> VpcFindings::expiresAt() const {
  std::optional<SweepClock::time_point> latest;
  for (const auto* list : {&instances, &others})
    for (const TestObject& object : *list)
      if (object.expires && (!latest || *object.expires > *latest)) latest = object.expires;
  return latest;
}

bool VpcFindings::isDue(std::optional<std::chrono::seconds> olderThan, SweepClock::time_point now) const {
  if (const auto expiry = expiresAt()) return ageAt(*expiry, now) >= std::chrono::seconds(0);
  return !olderThan || isOld(*olderThan, now);
}

std::string VpcFindings::describe() const {
  std::vector<std::string> parts;
  const auto add = [&](report::Kind kind, const char* one, const char* many) {
    std::vector<std::string> ids;
    for (const auto* list : {&instances, &others})
      for (const TestObject& object : *list)
        if (object.kind == kind) ids.push_back(object.id);
    if (!ids.empty())
      parts.push_back(fmt::format("{} {} ({})", ids.size(), ids.size() == 1 ? one : many, fmt::join(ids, ", ")));
  };
  add(report::Kind::kInstance, "test instance", "test instances");
  add(report::Kind::kElasticIp, "Elastic IP", "Elastic IPs");
  add(report::Kind::kSecurityGroup, "security group", "security groups");
  add(report::Kind::kKeyPair, "key pair", "key pairs");
  return parts.empty() ? "nothing" : fmt::format("{}", fmt::join(parts, ", "));
}

Findings findTestObjects(aws::Ec2Client& ec2_client, const std::optional<std::string>& vpc_id) {
  Findings found;
  findInstances(ec2_client, vpc_id, found);
  findAddresses(ec2_client, vpc_id, found);
  findGroups(ec2_client, vpc_id, found);
  findKeyPairs(ec2_client, vpc_id, found);
  return found;
}

void revertVpc(aws::Ec2Client& ec2_client, aws::IamClient& iam_client, const std::string& vpc_id,
               const SweepOptions& args) {
  Findings found = findTestObjects(ec2_client, vpc_id);
  VpcFindings& mine = found[vpc_id];
  mine.vpcId = vpc_id;
  log().info("- Found in " + vpc_id + ": " + mine.describe());
  removeDeployment(ec2_client, iam_client, mine, args);
  removeIamSet(ec2_client, iam_client, {vpc_id}, args);
}

void sweepRegion(aws::Ec2Client& ec2_client, aws::IamClient& iam_client, const SweepOptions& args,
                 SweepClock::time_point now) {
  const Findings found = findTestObjects(ec2_client, std::nullopt);
  if (found.empty()) log().info("- Found no test objects in this region");
  std::set<std::string> swept;
  std::vector<std::string> kept;
  for (const auto& [vpc, findings] : found) {
    const bool old = findings.isDue(args.older_than, now);
    log().info(fmt::format("- Found in {}: {}; {}, {}", vpc, findings.describe(), ageText(findings, now),
                           old ? "remove" : keptBecause(findings, args)));
    if (old)
      swept.insert(vpc);
    else
      kept.push_back(vpc);
  }
  for (const std::string& vpc : swept) removeDeployment(ec2_client, iam_client, found.at(vpc), args);
  // A deployment kept as young may be one still under way: its instances may not be launched yet.
  if (args.default_role && !kept.empty())
    return log().info(fmt::format("  **Alert** Keep {}, its role and policy: the deployments kept in {} may use them",
                                  kInstanceProfile, fmt::join(kept, ", ")));
  removeIamSet(ec2_client, iam_client, swept, args);
}

void requireVpc(aws::Ec2Client& ec2_client, const std::string& vpc_id, const std::string& region) {
  try {
    const Doc reply = ec2_client.describe_vpcs({{"VpcIds", Doc::array({vpc_id})}});
    if (!aws::view::Record(reply, "DescribeVpcs").list("Vpcs").empty()) return;
  } catch (const aws::ServiceError& e) {
    if (e.code() != "InvalidVpcID.NotFound") throw;
  }
  log().error(messages::vpcNotFound(vpc_id, region));
  throw ProcessExit(kExitFatal, "");
}

}  // namespace tarnwick::probe_deployer
