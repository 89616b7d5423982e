// The revert mode: removes the test instances with their Elastic IPs in parallel, then, when no
// test instance is left in the VPC, its security groups and key pair.
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "aws/waiters.h"
#include "tarnwick_testlibs/bin/core/logging.h"
#include "tarnwick_testlibs/bin/probe_deployer.h"
#include "tarnwick_testlibs/bin/probe_deployer/workers.h"

namespace tarnwick::probe_deployer {

namespace {

logging::Logger& log() { return logging::getLogger(kLogger); }

void deleteGroupByName(aws::Ec2Client& ec2, const std::string& vpcId, const std::string& name, const Args& args) {
  log().info("- Delete SG " + name);
  const std::optional<std::string> sgId = getSgId(ec2, vpcId, name);
  if (!sgId) {
    log().info("  not found");
    return;
  }
  log().info("  delete SG " + *sgId);
  deleteSG(ec2, *sgId, args);
}

}  // namespace

void deleteEc2(aws::Ec2Client& ec2_client, aws::IamClient& /*iam_client*/, const std::string& subnet_id,
               const Args& args) {
  log().info("- Delete " + std::string(kEc2Name) + " in " + subnet_id);
  const auto [insId, publicIp] = getEc2(ec2_client, subnet_id);
  if (!insId) return report::outcome(report::Outcome::kNotFound);
  std::optional<std::string> eipAllocId;
  if (publicIp) eipAllocId = getEipAllocationId(ec2_client, *insId, *publicIp);

  log().info("  terminate " + *insId + " in " + subnet_id);
  if (!args.flag("dry_run")) {
    const Doc ids{{"InstanceIds", Doc::array({*insId})}};
    ec2_client.terminate_instances(ids);
    aws::wait(ec2_client, "instance_terminated", ids);
    report::removed(report::Kind::kInstance, *insId);
  }
  // Only once the instance is gone is the address free to be released.
  if (eipAllocId) releaseEIP(ec2_client, *publicIp, *eipAllocId, *insId, args);
  report::outcome(args.flag("dry_run") ? report::Outcome::kDryRun : report::Outcome::kRemoved);
}

void terminateEc2s(aws::Ec2Client& ec2_client, aws::IamClient& iam_client, const Args& args) {
  const Doc entries = detail::readEntries(args.value("test_config"), false);

  std::vector<std::string> subnets;
  for (const auto& entry : entries)
    if (!detail::requireText(entry, "private_subnet_id").empty())
      subnets.push_back(detail::requireText(entry, "gw_subnet_id"));

  std::vector<std::thread> workers;
  workers.reserve(subnets.size());
  for (const auto& subnet : subnets)
    workers.emplace_back([&, subnet, slot = report::entry(subnet)] {
      detail::runAtThreadEdge(subnet, [&] { deleteEc2(ec2_client, iam_client, subnet, args); }, slot);
    });
  for (auto& w : workers) w.join();

  if (entries.empty()) throw std::runtime_error("test configuration " + args.value("test_config") + " has no entry");
  const std::string vpcId = getVpcId(ec2_client, detail::requireText(entries.at(0), "gw_subnet_id"));
  const auto remaining = getAllEc2InVpc(ec2_client, vpcId);
  if (remaining && !remaining->empty()) return;

  deleteGroupByName(ec2_client, vpcId, kSgName, args);
  deleteGroupByName(ec2_client, vpcId, kPrivateSgName, args);
  deleteKeyPair(ec2_client, kKeyPairPrefix + vpcId, args);
}

}  // namespace tarnwick::probe_deployer
