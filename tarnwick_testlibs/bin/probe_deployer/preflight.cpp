// The checks a deploy makes before it creates anything: every reason it would fail that EC2 tells
// without side effects, all of them reported in one run, in a handful of calls for all entries.
#include "tarnwick_testlibs/bin/probe_deployer/detail/preflight.h"

#include <algorithm>
#include <exception>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "tarnwick_testlibs/aws/errors.h"
#include "tarnwick_testlibs/aws/views.h"
#include "tarnwick_testlibs/base/ipv4.h"
#include "tarnwick_testlibs/bin/core/AppExitStatus.h"
#include "tarnwick_testlibs/bin/core/messages.h"
#include "tarnwick_testlibs/bin/probe_deployer/common.h"
#include "tarnwick_testlibs/bin/probe_deployer/detail/denial.h"
#include "tarnwick_testlibs/bin/probe_deployer/detail/launch.h"
#include "tarnwick_testlibs/bin/probe_deployer/detail/resource_support.h"
#include "tarnwick_testlibs/bin/probe_deployer/detail/workers.h"
#include "tarnwick_testlibs/bin/probe_deployer/image.h"
#include "tarnwick_testlibs/bin/probe_deployer/keypair.h"
#include "tarnwick_testlibs/bin/probe_deployer/secgroup.h"

namespace tarnwick::probe_deployer::detail {

aws::Doc KeptAnswers::call(const std::string& operation, const aws::Doc& params) {
  // Every call of the deploy passes here; once the few kept answers are taken, it costs a look.
  {
    const std::lock_guard<std::mutex> hold(lock_);
    if (!kept_.empty()) {
      if (const auto it = kept_.find(operation + params.dump()); it != kept_.end()) {
        aws::Doc answer = std::move(it->second);
        kept_.erase(it);
        return answer;
      }
    }
  }
  ++sent_;
  aws::Doc answer = ec2_.call(operation, params);
  if (keeping_) {
    const std::lock_guard<std::mutex> hold(lock_);
    kept_[operation + params.dump()] = answer;
    ++keptCount_;
  }
  return answer;
}

std::vector<const PlannedEntry*> entriesNeedingAddress(const std::vector<PlannedEntry>& planned,
                                                       const aws::Doc& describeAddresses) {
  // Only this toolkit's addresses count: a gateway's own address lies in the same subnet.
  std::vector<std::string> heldAt;
  for (const auto& address : describeAddresses.value("Addresses", aws::Doc::array())) {
    const auto tags = address.value("Tags", aws::Doc::array());
    const bool ours = std::any_of(tags.begin(), tags.end(), [](const aws::Doc& t) {
      return t.value("Key", "") == "Name" && t.value("Value", "") == kEipName;
    });
    if (ours && address.contains("AssociationId")) heldAt.push_back(address.value("PrivateIpAddress", ""));
  }
  std::vector<const PlannedEntry*> needing;
  for (const auto& p : planned) {
    bool held = false;
    if (!p.gw_subnet_cidr.empty()) {
      const ipv4::Network network = ipv4::Network::parse(p.gw_subnet_cidr);
      held = std::any_of(heldAt.begin(), heldAt.end(), [&](const std::string& ip) { return network.contains(ip); });
    }
    if (!held) needing.push_back(&p);
  }
  return needing;
}

namespace {

constexpr const char* kQuotaAttribute = "vpc-max-elastic-ips";

// The answer's record of the quota, whichever place it has among the records.
aws::view::Record quotaRecord(const Doc& answer) {
  for (const auto& record : aws::view::Record(answer, "DescribeAccountAttributes").list("AccountAttributes"))
    if (record.textOr("AttributeName") == kQuotaAttribute) return record;
  throw aws::ClientError(std::string("DescribeAccountAttributes: no record ") + kQuotaAttribute,
                         aws::FailureKind::kMalformedAnswer);
}

std::string labels(const std::vector<const PlannedEntry*>& entries) {
  std::vector<std::string> names;
  for (const auto* p : entries) names.push_back(p->label);
  return fmt::format("{}", fmt::join(names, ", "));
}

}  // namespace

std::optional<std::string> addressShortage(const std::vector<const PlannedEntry*>& needing,
                                           const aws::Doc& describeAddresses,
                                           const aws::Doc& describeAccountAttributes) {
  // Needing no address is never a problem, however many the account holds beyond its quota.
  if (needing.empty()) return std::nullopt;
  const long quota = std::stol(quotaRecord(describeAccountAttributes).first("AttributeValues").text("AttributeValue"));
  const size_t allocated = describeAddresses.value("Addresses", Doc::array()).size();
  const long free = quota - static_cast<long>(allocated);
  if (static_cast<long>(needing.size()) <= free) return std::nullopt;
  return messages::preflightAddresses(labels(needing), needing.size(), free, quota, allocated);
}

namespace {

// Problems fail the run once every check has been made; a check that cannot be made fails nothing.
class Findings {
 public:
  void problem(const std::string& text) {
    log().error(text);
    ++problems_;
  }
  void notChecked(const char* check, const std::exception& e) {
    log().warning(fmt::format("  **Alert** Pre-flight {}: not checked: {}", check, describeFailure(e)));
  }
  int problems() const { return problems_; }

 private:
  int problems_ = 0;
};

struct SubnetFacts {
  std::string vpc, zone, cidr;
  long free = 0;
};
using Subnets = std::map<std::string, SubnetFacts>;

// The entries the deploy launches for: those its plan does not skip.
std::vector<PlannedEntry> launchedEntries(const testconfig::Plan& plan) {
  std::vector<PlannedEntry> planned;
  for (const testconfig::EntryPlan& p : plan.entries())
    if (!p.skipped()) planned.push_back({p.name(), p.gw_subnet_id, p.private_subnet_id, ""});
  return planned;
}

// A filter rather than a list of ids: one missing subnet must not hide the others.
std::optional<Subnets> describeSubnets(aws::Ec2Client& ec2, const std::set<std::string>& ids, Findings& f) {
  Subnets found;
  try {
    const Doc answer = ec2.describe_subnets({{"Filters", Doc::array({filter("subnet-id", ids)})}});
    for (const auto& s : aws::view::subnets(answer))
      found[s.id()] = {s.vpcId(), s.zone(), s.cidr(), s.doc().value("AvailableIpAddressCount", 0L)};
  } catch (const aws::Error& e) {
    f.notChecked("subnets", e);
    return std::nullopt;
  }
  return found;
}

void checkSubnetsFound(const testconfig::Plan& plan, const std::vector<PlannedEntry>& planned, const Subnets& subnets,
                       Findings& f) {
  std::set<std::string> reported;
  const auto require = [&](const std::string& id, const std::string& label) {
    if (!subnets.contains(id) && reported.insert(id).second) f.problem(messages::preflightSubnetMissing(id, label));
  };
  require(plan.first().gw_subnet_id, plan.first().name());
  for (const auto& p : planned) {
    require(p.gw_subnet_id, p.label);
    require(p.private_subnet_id, p.label);
  }
}

// The entries that need a new Elastic IP; all of them when the addresses cannot be listed.
std::vector<const PlannedEntry*> checkAddresses(aws::Ec2Client& ec2, const std::vector<PlannedEntry>& planned,
                                                Findings& f) {
  Doc addresses;
  try {
    addresses = ec2.describe_addresses(Doc::object());
  } catch (const aws::Error& e) {
    f.notChecked("addresses", e);
    std::vector<const PlannedEntry*> all;
    for (const auto& p : planned) all.push_back(&p);
    return all;
  }
  const std::vector<const PlannedEntry*> needing = entriesNeedingAddress(planned, addresses);
  if (needing.empty()) return needing;
  try {
    const Doc answer = ec2.describe_account_attributes({{"AttributeNames", Doc::array({kQuotaAttribute})}});
    if (const auto shortage = addressShortage(needing, addresses, answer)) f.problem(*shortage);
  } catch (const std::logic_error& e) {  // a quota that is not a number
    f.notChecked("addresses", e);
  } catch (const aws::Error& e) {
    f.notChecked("addresses", e);
  }
  return needing;
}

void checkOffering(aws::Ec2Client& ec2, const std::vector<PlannedEntry>& planned, const Subnets& subnets,
                   const std::string& type, Findings& f) {
  std::set<std::string> zones;
  for (const auto& p : planned)
    if (subnets.contains(p.gw_subnet_id)) zones.insert(subnets.at(p.gw_subnet_id).zone);
  if (zones.empty()) return;
  std::set<std::string> offered;
  try {
    const Doc answer = ec2.describe_instance_type_offerings(
        {{"LocationType", "availability-zone"},
         {"Filters", Doc::array({filter("instance-type", {type}), filter("location", zones)})}});
    for (const auto& o : aws::view::Record(answer, "DescribeInstanceTypeOfferings").list("InstanceTypeOfferings"))
      offered.insert(o.text("Location"));
  } catch (const aws::Error& e) {
    return f.notChecked("offering", e);
  }
  for (const auto& p : planned) {
    if (!subnets.contains(p.gw_subnet_id)) continue;
    const std::string& zone = subnets.at(p.gw_subnet_id).zone;
    if (!offered.contains(zone)) f.problem(messages::preflightNotOffered(type, zone, p.gw_subnet_id, p.label));
  }
}

void checkZonesAgree(const std::vector<PlannedEntry>& planned, const Subnets& subnets, Findings& f) {
  for (const auto& p : planned) {
    if (!subnets.contains(p.gw_subnet_id) || !subnets.contains(p.private_subnet_id)) continue;
    const std::string& gwZone = subnets.at(p.gw_subnet_id).zone;
    const std::string& testZone = subnets.at(p.private_subnet_id).zone;
    if (gwZone != testZone)
      f.problem(messages::preflightZones(p.label, p.private_subnet_id, testZone, p.gw_subnet_id, gwZone));
  }
}

// Each launch puts one interface into its gateway subnet and one into its test subnet.
void checkRoom(const std::vector<const PlannedEntry*>& launching, const Subnets& subnets, Findings& f) {
  std::map<std::string, std::vector<const PlannedEntry*>> users;
  for (const auto* p : launching) {
    users[p->gw_subnet_id].push_back(p);
    users[p->private_subnet_id].push_back(p);
  }
  for (const auto& [subnet, entries] : users) {
    if (!subnets.contains(subnet)) continue;
    const long free = subnets.at(subnet).free;
    if (free < static_cast<long>(entries.size()))
      f.problem(messages::preflightRoom(subnet, free, labels(entries), entries.size()));
  }
}

void checkArchitecture(aws::Ec2Client& ec2, const ImageInfo& image, const std::string& type, Findings& f) {
  try {
    std::string architecture = image.architecture;
    if (architecture.empty()) {
      const Doc images = ec2.describe_images({{"ImageIds", Doc::array({image.id})}});
      architecture = aws::view::Record(images, "DescribeImages").first("Images").text("Architecture");
    }
    const Doc types = ec2.describe_instance_types({{"InstanceTypes", Doc::array({type})}});
    const Doc supported = aws::view::Record(types, "DescribeInstanceTypes")
                              .first("InstanceTypes")
                              .object("ProcessorInfo")
                              .doc()
                              .value("SupportedArchitectures", Doc::array());
    if (std::find(supported.begin(), supported.end(), architecture) == supported.end())
      f.problem(
          messages::preflightArchitecture(image.id, architecture, type, fmt::format("{}", fmt::join(supported, ", "))));
  } catch (const aws::Error& e) {
    f.notChecked("architecture", e);
  }
}

// Whose credentials a denial concerns, asked of STS once, at the first denial.
class Identity {
 public:
  explicit Identity(aws::StsClient* sts) : sts_(sts) {}
  const std::string& name() {
    if (name_) return *name_;
    name_ = "these credentials";
    if (!sts_) return *name_;
    try {
      ++calls_;
      name_ = aws::view::Record(sts_->get_caller_identity(Doc::object()), "GetCallerIdentity").text("Arn");
    } catch (const aws::Error&) {
      // The denial is still reported, naming no identity: it is the finding, the name only a help.
    }
    return *name_;
  }
  // What denied a call and what to change (see explainDenial); "" when the denial does not say.
  std::string reason(const aws::ServiceError& denial) {
    std::string why = explainDenial(sts_, denial);
    if (!why.empty()) ++calls_;  // only a decode gives a reason
    return why;
  }
  int calls() const { return calls_; }

 private:
  aws::StsClient* sts_;
  std::optional<std::string> name_;
  int calls_ = 0;
};

// EC2 answers a request marked DryRun with DryRunOperation when it would be allowed.
void dryRun(aws::Ec2Client& ec2, const std::string& operation, Doc request, const std::string& forWhat,
            Identity& identity, Findings& f) {
  request["DryRun"] = true;
  try {
    ec2.call(operation, request);
  } catch (const aws::ServiceError& e) {
    if (e.code() == "DryRunOperation") return;
    if (e.code() == "UnauthorizedOperation")
      return f.problem(messages::preflightDenied(operation, forWhat, identity.name(), identity.reason(e)));
    if (e.httpStatus() >= 500) return f.notChecked("permission", e);
    f.problem(messages::preflightRefused(operation, forWhat, e.code() + ": " + e.message()));
  } catch (const aws::Error& e) {
    f.notChecked("permission", e);
  }
}

struct Existing {
  std::optional<std::string> sgId;
  bool group = true, keyPair = true;  // what cannot be looked up counts as there: no call to check
};

// The deploy's own lookups, made here first and kept for it.
Existing lookUpShared(KeptAnswers& ec2, const std::string& vpcId, const DeployOptions& args, Findings& f) {
  Existing found;
  try {
    found.sgId = ec2.keeping([&] { return getSgId(ec2, vpcId, kSgName); });
    found.group = found.sgId.has_value();
  } catch (const aws::Error& e) {
    f.notChecked("permission", e);
  }
  if (cli::nonEmpty(args.key_name)) return found;
  try {
    found.keyPair = ec2.keeping([&] { return vpcKeyPairFound(ec2, vpcId); });
  } catch (const aws::Error& e) {
    f.notChecked("permission", e);
  }
  return found;
}

void checkPermissions(KeptAnswers& ec2, Identity& identity, const std::vector<const PlannedEntry*>& launching,
                      const std::string& vpcId, const ImageInfo& image, const DeployOptions& args, Findings& f) {
  const Existing found = lookUpShared(ec2, vpcId, args, f);
  if (!launching.empty()) {
    LaunchArgs a;
    a.ami = image.id;
    a.gw_subnet_id = launching.front()->gw_subnet_id;
    a.private_subnet_id = launching.front()->private_subnet_id;
    a.args = args.launch;
    a.sg_id = found.sgId;
    // Only what exists already: the run makes the rest before it launches.
    a.key_name = cli::nonEmpty(args.key_name) ? args.key_name
                 : found.keyPair              ? std::optional(vpcKeyPairName(vpcId))
                                              : std::nullopt;
    const std::optional<std::string>& role = args.launch.ec2_role;
    const std::optional<std::string> namedRole = cli::nonEmpty(role) && *role != "default" ? role : std::nullopt;
    dryRun(ec2, "RunInstances", buildLaunchRequest(a, namedRole), launching.front()->label, identity, f);
    dryRun(ec2, "AllocateAddress", {{"Domain", "vpc"}, {"TagSpecifications", nameTagSpecs("elastic-ip", kEipName)}},
           labels(launching), identity, f);
  }
  if (!found.group) dryRun(ec2, "CreateSecurityGroup", createSGRequest(vpcId, args.create), kSgName, identity, f);
  if (!found.keyPair)
    dryRun(ec2, "CreateKeyPair", createKeyPairRequest(vpcId, args.key_pair), vpcKeyPairName(vpcId), identity, f);
}

}  // namespace

std::string runPreflight(KeptAnswers& ec2, aws::StsClient* sts, const testconfig::Plan& plan, const ImageInfo& image,
                         const DeployOptions& args) {
  std::vector<PlannedEntry> planned = launchedEntries(plan);
  log().info(fmt::format("- Pre-flight checks for {} entries", planned.size()));
  const int sentBefore = ec2.sent(), keptBefore = ec2.kept();
  const std::string firstSubnet = plan.first().gw_subnet_id;
  const std::string type = args.launch.instance_type;
  Findings f;

  std::set<std::string> ids{firstSubnet};
  for (const auto& p : planned) ids.insert({p.gw_subnet_id, p.private_subnet_id});
  const std::optional<Subnets> subnets = describeSubnets(ec2, ids, f);
  const Subnets known = subnets.value_or(Subnets());
  for (auto& p : planned)
    if (known.contains(p.gw_subnet_id)) p.gw_subnet_cidr = known.at(p.gw_subnet_id).cidr;
  if (subnets) checkSubnetsFound(plan, planned, known, f);
  // Without the subnets the VPC comes from the deploy's own lookup, which ends the run when it fails.
  const std::string vpcId = !subnets                      ? getVpcId(ec2, firstSubnet)
                            : known.contains(firstSubnet) ? known.at(firstSubnet).vpc
                                                          : "";

  const std::vector<const PlannedEntry*> launching = checkAddresses(ec2, planned, f);
  checkOffering(ec2, planned, known, type, f);
  checkZonesAgree(planned, known, f);
  checkRoom(launching, known, f);
  checkArchitecture(ec2, image, type, f);
  Identity identity(sts);
  if (!vpcId.empty()) checkPermissions(ec2, identity, launching, vpcId, image, args, f);

  const int calls = ec2.sent() - sentBefore + identity.calls();
  // The subnets' answer gave the VPC, which the deploy would have looked up itself.
  const int own = ec2.kept() - keptBefore + (subnets ? 1 : 0);
  const std::string cost = fmt::format("{} calls, {} of them lookups the deploy then leaves out", calls, own);
  if (f.problems() > 0) {
    log().info(fmt::format("- Pre-flight found {} problem(s) in {}; nothing was created", f.problems(), cost));
    throw ProcessExit(kExitFatal, "");
  }
  log().info(fmt::format("- Pre-flight passed in {}", cost));
  return vpcId;
}

}  // namespace tarnwick::probe_deployer::detail
