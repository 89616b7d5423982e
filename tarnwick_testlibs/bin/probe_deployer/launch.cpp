// The launch of one test instance: reuse or launch it with two interfaces, wait for its status
// checks, give it a public address and record its addresses in the test configuration entry.
#include "tarnwick_testlibs/bin/probe_deployer/launch.h"

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "tarnwick_testlibs/aws/clock.h"
#include "tarnwick_testlibs/aws/errors.h"
#include "tarnwick_testlibs/aws/retry.h"
#include "tarnwick_testlibs/aws/views.h"
#include "tarnwick_testlibs/base/ipv4.h"
#include "tarnwick_testlibs/bin/core/AppExitStatus.h"
#include "tarnwick_testlibs/bin/core/logging.h"
#include "tarnwick_testlibs/bin/core/messages.h"
#include "tarnwick_testlibs/bin/lib/testconfig.h"
#include "tarnwick_testlibs/bin/probe_deployer/common.h"
#include "tarnwick_testlibs/bin/probe_deployer/detail/launch.h"
#include "tarnwick_testlibs/bin/probe_deployer/detail/poller.h"
#include "tarnwick_testlibs/bin/probe_deployer/detail/workers.h"
#include "tarnwick_testlibs/bin/probe_deployer/eip.h"
#include "tarnwick_testlibs/bin/probe_deployer/run_summary.h"
#include "tarnwick_testlibs/bin/probe_deployer/tags.h"

namespace tarnwick::probe_deployer {

const char* const user_data_tmp =
    "#!/bin/bash -x\n"
    "python3 -m venv /home/ec2-user/tarnwick-venv\n"
    "source /home/ec2-user/tarnwick-venv/bin/activate && pip install tarnwick-testlibs\n"
    "cd /home/ec2-user/tarnwick-venv/lib/python3*/site-packages/tarnwick_testlibs/reach_check\n"
    "cat << EOF > ./config.json\n"
    "{\"ping\": \"www.example.com\", \"traceroute\": \"example.com\", \"spoke_gw\": \"{{spoke_gw_ip}}\"}\n"
    "EOF\n"
    "source /home/ec2-user/tarnwick-venv/bin/activate && python3 -m unittest discover -v -s . 2> /tmp/log.txt\n"
    "aws s3 cp /tmp/result.txt s3://{{s3_bucket}}/result-{{tag}}.txt\n"
    "aws s3 cp /tmp/log.txt s3://{{s3_bucket}}/log-{{tag}}.txt\n";

namespace {

constexpr const char* kDefaultRole = "default";
constexpr const char* kNoSuchEntity = "NoSuchEntity";
constexpr const char* kRetryCode = "InvalidParameterValue";
constexpr int kLaunchAttempts = 6;
constexpr std::chrono::seconds kLaunchPause{10};
constexpr int kAddressRounds = 2;
constexpr std::chrono::seconds kAddressPause{5};

logging::Logger& log() { return logging::getLogger(kLogger); }

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (auto pos = text.find(from); pos != std::string::npos; pos = text.find(from, pos + to.size()))
    text.replace(pos, from.size(), to);
}

// Checks a named role and returns false when the worker has to end.
bool checkNamedRole(aws::IamClient& iam, const std::string& role) {
  Doc answer;
  try {
    answer = iam.list_instance_profiles_for_role(Doc{{"RoleName", role}});
  } catch (const aws::ServiceError& e) {
    if (e.code() != kNoSuchEntity) throw;
    log().error(messages::roleNotFound(role));
    return false;
  } catch (const aws::ClientError& e) {
    log().error(messages::error(e));
    return false;
  }
  const auto profiles = answer.find("InstanceProfiles");
  if (profiles == answer.end() || !profiles->is_array() || profiles->empty()) {
    log().error(messages::noInstanceProfile(role));
    return false;
  }
  log().info("- Assign role " + role + " to " + kEc2Name);
  return true;
}

// A reused instance takes this run's expiry, and so does its Elastic IP: the run may need them
// longer than the run that made them.
void extendExpiry(aws::Ec2Client& ec2, const std::string& instanceId, const std::optional<std::string>& publicIp,
                  const CreateOptions& args) {
  if (!args.expires_at) return;
  std::vector<std::string> ids = {instanceId};
  try {
    if (publicIp) ids.push_back(getEipAllocationId(ec2, instanceId, *publicIp));
  } catch (const aws::Error&) {
    // An address that is no Elastic IP of the account: there is nothing of ours to tag.
  }
  tagExpiry(ec2, ids, args);
}

}  // namespace

Doc detail::buildLaunchRequest(const LaunchArgs& a, const std::optional<std::string>& instance_profile) {
  Doc request;
  request["InstanceType"] = a.args.instance_type;
  request["MinCount"] = 1;
  request["MaxCount"] = 1;
  request["ImageId"] = a.ami;
  request["TagSpecifications"] = Doc::array(
      {Doc{{"ResourceType", "instance"}, {"Tags", Doc::array({Doc{{"Key", "Name"}, {"Value", kEc2Name}}})}}});
  Doc gwInterface{{"DeviceIndex", 0}, {"SubnetId", a.gw_subnet_id}};
  Doc privateInterface{{"DeviceIndex", 1}, {"SubnetId", a.private_subnet_id}};
  request["NetworkInterfaces"] = Doc::array({gwInterface, privateInterface});
  addExpiryTag(request, a.args);
  addTags(request, a.args.tags);
  // Governed accounts refuse launches whose volumes and interfaces are not tagged as they are made.
  Doc& tagSets = request["TagSpecifications"];
  for (const char* resourceType : {"volume", "network-interface"})
    tagSets.push_back(Doc{{"ResourceType", resourceType}, {"Tags", tagSets[0]["Tags"]}});
  if (a.sg_id) request["NetworkInterfaces"][0]["Groups"] = Doc::array({*a.sg_id});
  if (a.sg_id_private_inf) request["NetworkInterfaces"][1]["Groups"] = Doc::array({*a.sg_id_private_inf});
  if (instance_profile) request["IamInstanceProfile"] = Doc{{"Name", *instance_profile}};
  if (a.key_name) request["KeyName"] = *a.key_name;
  // With IMDSv1 a request forgery on the instance could read the instance profile's credentials.
  const bool required = a.args.metadata_tokens == MetadataTokens::kRequired;
  request["MetadataOptions"] = Doc{{"HttpTokens", required ? "required" : "optional"}, {"HttpEndpoint", "enabled"}};
  return request;
}

namespace {

// The instance record of a DescribeInstances answer for one instance.
Doc describeInstance(aws::Ec2Client& ec2, const std::string& instanceId) {
  const Doc answer = ec2.describe_instances(Doc{{"InstanceIds", Doc::array({instanceId})}});
  return aws::view::Record(answer, "DescribeInstances").first("Reservations").first("Instances").doc();
}

aws::view::Instance instanceView(const Doc& instance) { return aws::view::Instance(instance, "DescribeInstances"); }

bool hasPublicAddress(const Doc& instance) { return !instanceView(instance).publicIp().empty(); }

// After the first look at `instance`, short rounds until its address shows, for as long as the
// published rounds of 5 s would have waited.
bool awaitPublicAddress(aws::Ec2Client& ec2, const std::string& instanceId, Doc& instance) {
  const auto limit = aws::RetryPolicy::limitedTime(kAddressRounds * kAddressPause);
  aws::RetryLoop loop(limit, detail::rounds::backoff(aws::clock().now()));
  while (!hasPublicAddress(instance) && loop.another()) instance = describeInstance(ec2, instanceId);
  return hasPublicAddress(instance);
}

std::vector<std::string> interfacesInSubnet(const Doc& instance, const std::string& subnet_id) {
  std::vector<std::string> ids;
  for (const auto& ni : instanceView(instance).interfaces())
    if (ni.subnetId() == subnet_id) ids.push_back(ni.id());
  return ids;
}

void recordPrivateAddress(const Doc& instance, Doc& entry) {
  const std::string cidr = testconfig::Entry(entry).privateSubnetCidr();
  const ipv4::Network network = ipv4::Network::parse(cidr, /*allowHostBits=*/false);
  for (const auto& ni : instanceView(instance).interfaces()) {
    const std::string address = ni.privateIp();
    if (!network.contains(address)) continue;
    log().info("  ip in private subnet: " + address);
    testconfig::setEc2SecondPrivateIp(entry, address);
  }
}

// The instance's addresses, logged and added to its entry (when it has one) after the members read.
void recordAddresses(const Doc& instance, Doc* entry) {
  const std::string publicIp = instanceView(instance).publicIp();
  log().info("  public ip: " + publicIp);
  if (!entry) return;
  testconfig::setEc2Ip(*entry, publicIp);
  recordPrivateAddress(instance, *entry);
  report::deployed(publicIp, testconfig::Entry(*entry).ec2SecondPrivateIp());
}

// One RunInstances attempt; throws InvalidParameterValueException to ask for another.
std::optional<std::string> launchOnce(aws::Ec2Client& ec2, const Doc& data) {
  std::optional<std::string> result;
  try {
    const Doc answer = ec2.run_instances(data);
    result = aws::view::Record(answer, "RunInstances").first("Instances").as<aws::view::Instance>().id();
    log().info(fmt::format("  Instance {} {} created in {}", kEc2Name, *result,
                           data.at("NetworkInterfaces").at(0).value("SubnetId", "")));
    report::created(report::Kind::kInstance, *result);
  } catch (const aws::ServiceError& e) {
    if (e.code() == kRetryCode) {
      log().info(fmt::format("  Instance profile {} is not ready, retry in 10 sec", kInstanceProfile));
      throw detail::InvalidParameterValueException(e.what());
    }
    log().error(messages::error(e));
  } catch (const aws::Interrupted&) {
    throw;
  } catch (const std::exception& e) {
    log().error(messages::error(e));
  }
  return result;
}

}  // namespace

std::string fillUserData(const std::string& spoke_gw_ip, const std::string& s3_bucket, const std::string& tag) {
  std::string script = user_data_tmp;
  replaceAll(script, "{{spoke_gw_ip}}", spoke_gw_ip);
  replaceAll(script, "{{s3_bucket}}", s3_bucket);
  replaceAll(script, "{{tag}}", tag);
  return script;
}

std::optional<std::string> detail::createEc2WithRetry(aws::Ec2Client& ec2_client, const Doc& data) {
  aws::RetryLoop loop(aws::RetryPolicy(kLaunchAttempts), aws::BackoffPolicy::fixed(kLaunchPause));
  for (;;) {
    try {
      return launchOnce(ec2_client, data);
    } catch (const InvalidParameterValueException&) {
      if (!loop.another()) throw;
    }
  }
}

void detail::createEc2(const LaunchArgs& a) {
  if (!a.ec2_client) throw std::invalid_argument("createEc2 needs an EC2 client");
  // The run's poller shares the lookups and the wait; without one they are this worker's own.
  Poller own(*a.ec2_client, std::chrono::milliseconds(0));
  Poller& ec2 = a.poller ? *a.poller : own;
  const LaunchOptions& args = a.args;
  std::optional<std::string> instance_profile = a.instance_profile;

  const std::optional<std::string>& role = args.ec2_role;
  if (role && *role != kDefaultRole) {
    instance_profile = *role;
    if (!a.iam_client) throw std::invalid_argument("createEc2 needs an IAM client for a named role");
    if (!checkNamedRole(*a.iam_client, *role)) return;
  }

  log().info("- Create " + std::string(kEc2Name) + " in private " + a.private_subnet_id);
  auto [instanceId, foundAddress] = getEc2(ec2, a.gw_subnet_id);
  if (instanceId) {
    report::reused(report::Kind::kInstance, *instanceId);
    extendExpiry(ec2, *instanceId, foundAddress, args);
  }
  Doc status;  // the wait's last answer is the status a new instance has now
  if (!instanceId) {
    const Doc request = buildLaunchRequest(a, instance_profile);
    if (args.dry_run) return report::outcome(report::Outcome::kDryRun);
    instanceId = createEc2WithRetry(ec2, request);
    if (!instanceId) return;
    status = ec2.wait("instance_status_ok", *instanceId);
  }

  if (status.is_null()) status = ec2.describe_instance_status(Doc{{"InstanceIds", Doc::array({*instanceId})}});
  if (aws::view::Record(status, "DescribeInstanceStatus").list("InstanceStatuses").empty()) {
    // Only running instances report a status; a stopped one would leave the entry without addresses.
    log().error(messages::instanceNotRunning(kEc2Name, *instanceId, a.gw_subnet_id));
    return;
  }

  Doc instance = describeInstance(ec2, *instanceId);
  if (!hasPublicAddress(instance)) {
    associateEIP(ec2, interfacesInSubnet(instance, a.gw_subnet_id).at(0), instanceView(instance).vpcId(), args);
    // A dry run only said what it would do: no address comes to wait for.
    if (args.dry_run) return report::outcome(report::Outcome::kDryRun);
    instance = describeInstance(ec2, *instanceId);
  }
  log().info("- Created " + std::string(kEc2Name) + " in " + a.private_subnet_id);
  if (!awaitPublicAddress(ec2, *instanceId, instance)) {
    log().error("  Failed to allocate and associate EIP to " + *instanceId);
    return;
  }

  recordAddresses(instance, a.test_config);
}

}  // namespace tarnwick::probe_deployer
