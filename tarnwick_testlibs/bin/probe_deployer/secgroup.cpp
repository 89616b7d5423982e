// Security groups of a VPC: the SSH group for the workflow host, the permissive private-interface
// group, their lookup and deletion, and the VPC of a subnet.
#include "tarnwick_testlibs/bin/probe_deployer/secgroup.h"

#include <cstdlib>
#include <exception>

#include <nlohmann/json.hpp>

#include "tarnwick_testlibs/aws/clock.h"
#include "tarnwick_testlibs/aws/errors.h"
#include "tarnwick_testlibs/aws/http.h"
#include "tarnwick_testlibs/aws/retry.h"
#include "tarnwick_testlibs/aws/views.h"
#include "tarnwick_testlibs/bin/core/AppExitStatus.h"
#include "tarnwick_testlibs/bin/core/messages.h"
#include "tarnwick_testlibs/bin/probe_deployer/common.h"
#include "tarnwick_testlibs/bin/probe_deployer/detail/poller.h"
#include "tarnwick_testlibs/bin/probe_deployer/detail/resource_support.h"
#include "tarnwick_testlibs/bin/probe_deployer/run_summary.h"
#include "tarnwick_testlibs/bin/probe_deployer/tags.h"

namespace tarnwick::probe_deployer {

using detail::filter;
using detail::log;

namespace {

constexpr const char* kSgDescription = "Tarnwick test ec2";
constexpr const char* kDefaultPublicIpUrl = "https://api.ipify.org";
constexpr long kPublicIpConnectTimeoutMs = 10000;
constexpr long kPublicIpTotalTimeoutMs = 30000;
constexpr const char* kGroupInUse = "DependencyViolation";

// What differs between the two groups this system creates.
struct GroupKind {
  const char* name;
  bool needsHostAddress;
  Doc (*permissions)(const std::string& hostAddress);
};

Doc sshFromHost(const std::string& hostAddress) {
  return Doc::array({{{"FromPort", 22},
                      {"IpProtocol", "tcp"},
                      {"IpRanges", Doc::array({{{"CidrIp", hostAddress + "/32"},
                                                {"Description", "SSH access from the workflow engine"}}})},
                      {"ToPort", 22}}});
}

Doc everythingFromAnywhere(const std::string&) {
  return Doc::array({{{"IpProtocol", "-1"}, {"IpRanges", Doc::array({{{"CidrIp", "0.0.0.0/0"}}})}}});
}

constexpr GroupKind kMainGroup{kSgName, true, sshFromHost};
constexpr GroupKind kPrivateGroup{kPrivateSgName, false, everythingFromAnywhere};

Doc creationRequest(const GroupKind& kind, const std::string& vpc_id, const CreateOptions& args) {
  Doc request = {{"Description", kSgDescription},
                 {"GroupName", kind.name},
                 {"VpcId", vpc_id},
                 {"TagSpecifications", detail::nameTagSpecs("security-group", kind.name)}};
  request["TagSpecifications"][0]["Tags"].push_back(createdAtTag());
  addExpiryTag(request, args);
  addTags(request, args.tags);
  return request;
}

// A repeat that meets the group made by its own lost attempt takes that group.
std::string createGroupOnce(aws::Ec2Client& ec2_client, const Doc& request) {
  const auto madeByThisCall = [&] {
    const Doc reply = ec2_client.create_security_group(request);
    return aws::view::SecurityGroup(reply, "CreateSecurityGroup").id();
  };
  const auto madeByTheLostAttempt = [&](const aws::ServiceError& refusal) {
    const std::string vpc_id = request.at("VpcId").get<std::string>();
    const std::string name = request.at("GroupName").get<std::string>();
    if (auto made = getSgId(ec2_client, vpc_id, name)) return *made;
    throw refusal;
  };
  return detail::repeatTolerant(madeByThisCall, "InvalidGroup.Duplicate", madeByTheLostAttempt);
}

// A repeat that meets the rule set by its own lost attempt finds the rule in place.
void authorizeOnce(aws::Ec2Client& ec2_client, const std::string& groupId, const Doc& permissions) {
  const Doc request = {{"GroupId", groupId}, {"IpPermissions", permissions}};
  detail::repeatTolerant([&] { return ec2_client.authorize_security_group_ingress(request); },
                         "InvalidPermission.Duplicate");
}

// The part of a creation whose every failure ends the run: a half-made group is worse than none.
std::optional<std::string> createGroup(aws::Ec2Client& ec2_client, const GroupKind& kind, const Doc& request,
                                       const ChangeOptions& args) {
  try {
    const std::string hostAddress = kind.needsHostAddress ? lookupPublicIp() : std::string();
    if (args.dry_run) return std::nullopt;
    const std::string groupId = createGroupOnce(ec2_client, request);
    log().info("  " + groupId);
    report::created(report::Kind::kSecurityGroup, groupId);
    authorizeOnce(ec2_client, groupId, kind.permissions(hostAddress));
    return groupId;
  } catch (const aws::Interrupted&) {
    throw;
  } catch (const std::exception& e) {
    throw ProcessExit(kExitFatal, describeFailure(e));
  }
}

std::optional<std::string> createOrReuse(aws::Ec2Client& ec2_client, const GroupKind& kind, const std::string& vpc_id,
                                         const CreateOptions& args) {
  const std::string name = kind.name;
  if (auto existing = getSgId(ec2_client, vpc_id, name)) {
    log().info("- Reuse existing SG " + name + " " + *existing + " in " + vpc_id);
    report::reused(report::Kind::kSecurityGroup, *existing);
    tagExpiry(ec2_client, {*existing}, args);
    return existing;
  }
  const Doc request = creationRequest(kind, vpc_id, args);
  log().info("- Create SG " + name + " in " + vpc_id);
  return createGroup(ec2_client, kind, request, args);
}

std::string publicIpUrl() {
  const char* configured = std::getenv("TARNWICK_PUBLIC_IP_URL");
  return configured && *configured ? configured : kDefaultPublicIpUrl;
}

}  // namespace

std::string lookupPublicIp() {
  const std::string base = publicIpUrl();
  aws::http::Request request;
  request.url = base + (base.find('?') == std::string::npos ? "?" : "&") + "format=json";
  request.connectTimeoutMs = kPublicIpConnectTimeoutMs;
  request.totalTimeoutMs = kPublicIpTotalTimeoutMs;
  const aws::http::Response response = aws::http::send(request);
  if (response.status < 200 || response.status >= 300)
    throw aws::ClientError("public address lookup at " + base + " answered HTTP " + std::to_string(response.status));
  const Doc answer = Doc::parse(response.body, nullptr, false);
  if (!answer.is_object() || !answer.contains("ip") || !answer["ip"].is_string())
    throw aws::ClientError("public address lookup at " + base + " gave no \"ip\" in its answer");
  return answer["ip"].get<std::string>();
}

std::optional<std::string> getSgId(aws::Ec2Client& ec2_client, const std::string& vpc_id, const std::string& sg_name) {
  try {
    const Doc reply = ec2_client.describe_security_groups(
        {{"Filters", Doc::array({filter("vpc-id", {vpc_id}), filter("group-name", {sg_name})})}});
    const auto groups = aws::view::securityGroups(reply);
    if (groups.empty()) return std::nullopt;
    return groups.front().id();
  } catch (const aws::ServiceError& e) {
    if (e.code() == "InvalidGroup.NotFound") log().error(messages::securityGroupNotFound(sg_name, vpc_id));
    return std::nullopt;
  }
}

Doc createSGRequest(const std::string& vpc_id, const CreateOptions& args) {
  return creationRequest(kMainGroup, vpc_id, args);
}

std::optional<std::string> createSG(aws::Ec2Client& ec2_client, const std::string& vpc_id, const CreateOptions& args) {
  return createOrReuse(ec2_client, kMainGroup, vpc_id, args);
}

std::optional<std::string> createPrivateInfSG(aws::Ec2Client& ec2_client, const std::string& vpc_id,
                                              const CreateOptions& args) {
  return createOrReuse(ec2_client, kPrivateGroup, vpc_id, args);
}

void deleteSG(aws::Ec2Client& ec2_client, const std::string& sgId, const ChangeOptions& args) {
  if (args.dry_run) return;
  aws::RetryLoop inUse(aws::RetryPolicy::limitedTime(detail::rounds::kLimit),
                       detail::rounds::backoff(aws::clock().now()));
  for (;;) {
    try {
      // A repeat finds the group its lost attempt deleted.
      detail::repeatTolerant(
          [&] {
            return ec2_client.delete_security_group({{"GroupId", sgId}});
          },
          "InvalidGroup.NotFound");
      return report::removed(report::Kind::kSecurityGroup, sgId);
    } catch (const aws::ServiceError& e) {
      // An interface of an instance that has just been terminated holds the group a little longer.
      if (e.code() == kGroupInUse && inUse.another()) continue;
      return detail::reportFailure(e);
    } catch (const aws::Error& e) {
      return detail::reportFailure(e);
    }
  }
}

std::string getVpcId(aws::Ec2Client& ec2_client, const std::string& subnet_id) {
  try {
    const Doc reply = ec2_client.describe_subnets({{"SubnetIds", Doc::array({subnet_id})}});
    const auto subnets = aws::view::subnets(reply);
    if (subnets.empty()) throw aws::ClientError("no subnet " + subnet_id + " in the reply");
    return subnets.front().vpcId();
  } catch (const aws::Interrupted&) {
    throw;
  } catch (const std::exception& e) {
    log().info(messages::subnetNotFound(subnet_id));
    throw ProcessExit(kExitFatal, describeFailure(e));
  }
}

}  // namespace tarnwick::probe_deployer
