// The revert mode: removes the test instances with their Elastic IPs in parallel, then, when no
// test instance is left in the VPC, its security groups and key pair.
#include "tarnwick_testlibs/bin/probe_deployer/teardown.h"

#include <chrono>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <nlohmann/json.hpp>

#include "tarnwick_testlibs/aws/paginator.h"
#include "tarnwick_testlibs/aws/views.h"
#include "tarnwick_testlibs/bin/core/AppExitStatus.h"
#include "tarnwick_testlibs/bin/core/logging.h"
#include "tarnwick_testlibs/bin/lib/testconfig.h"
#include "tarnwick_testlibs/bin/probe_deployer/common.h"
#include "tarnwick_testlibs/bin/probe_deployer/detail/poller.h"
#include "tarnwick_testlibs/bin/probe_deployer/detail/resource_support.h"
#include "tarnwick_testlibs/bin/probe_deployer/detail/workers.h"
#include "tarnwick_testlibs/bin/probe_deployer/eip.h"
#include "tarnwick_testlibs/bin/probe_deployer/keypair.h"
#include "tarnwick_testlibs/bin/probe_deployer/run_summary.h"
#include "tarnwick_testlibs/bin/probe_deployer/secgroup.h"

namespace tarnwick::probe_deployer {

namespace {

logging::Logger& log() { return logging::getLogger(kLogger); }

void deleteGroupByName(aws::Ec2Client& ec2, const std::string& vpcId, const std::string& name,
                       const ChangeOptions& args, const GroupLookup& findGroup) {
  log().info("- Delete SG " + name);
  const std::optional<std::string> sgId = findGroup(ec2, vpcId, name);
  if (!sgId) {
    log().info("  not found");
    return;
  }
  log().info("  delete SG " + *sgId);
  deleteSG(ec2, *sgId, args);
}

// The test instances of this region, outside `vpcIds`, that run with the default instance profile.
std::map<std::string, int> profileUsersOutside(aws::Ec2Client& ec2, const std::set<std::string>& vpcIds) {
  std::map<std::string, int> perVpc;
  aws::Paginator pages(
      ec2, "DescribeInstances",
      Doc{{"Filters", Doc::array({detail::filter("tag:Name", {kEc2Name}), detail::liveInstanceStates()})}});
  for (Doc page; pages.next(page);)
    for (const auto& instance : aws::view::instances(page)) {
      const std::string vpc = instance.vpcId();
      if (!vpcIds.contains(vpc) && instance.instanceProfileArn().ends_with(std::string("/") + kInstanceProfile))
        ++perVpc[vpc];
    }
  return perVpc;
}

// A repeat that no longer finds the instance meets the termination of its own lost attempt.
void terminateOnce(aws::Ec2Client& ec2, const std::string& instanceId) {
  detail::repeatTolerant(
      [&] {
        return ec2.terminate_instances({{"InstanceIds", Doc::array({instanceId})}});
      },
      "InvalidInstanceID.NotFound");
}

// Test instances that an interrupted revert left shutting down hold their addresses and their
// groups until they are terminated: the revert that finishes the job waits for them first.
void awaitShutdowns(aws::Ec2Client& ec2, const std::string& vpcId, const ChangeOptions& args) {
  if (args.dry_run) return;
  const Doc reply =
      aws::allPages(ec2, "DescribeInstances",
                    {{"Filters", Doc::array({detail::filter("tag:Name", {kEc2Name}), detail::filter("vpc-id", {vpcId}),
                                             detail::filter("instance-state-name", {"shutting-down"})})}});
  detail::Poller poller(ec2);
  for (const auto& instance : aws::view::instances(reply)) {
    log().info("  wait for " + instance.id() + " to shut down");
    poller.wait("instance_terminated", instance.id());
  }
}

}  // namespace

bool instanceProfileUsedOutside(aws::Ec2Client& ec2_client, const std::string& vpc_id) {
  return instanceProfileUsedOutside(ec2_client, std::set<std::string>{vpc_id});
}

bool instanceProfileUsedOutside(aws::Ec2Client& ec2_client, const std::set<std::string>& vpc_ids) {
  const std::map<std::string, int> perVpc = profileUsersOutside(ec2_client, vpc_ids);
  if (perVpc.empty()) return false;
  int instances = 0;
  std::vector<std::string> vpcs;
  for (const auto& [vpc, count] : perVpc) {
    instances += count;
    vpcs.push_back(vpc);
  }
  log().info(fmt::format("  **Alert** Keep {}, its role and policy: still used by {} test instance(s) in {}",
                         kInstanceProfile, instances, fmt::join(vpcs, ", ")));
  return true;
}

void deleteEc2(aws::Ec2Client& client, aws::IamClient& /*iam_client*/, const std::string& subnet_id,
               const ChangeOptions& args, detail::Poller* poller) {
  // The run's poller shares the lookups and the wait; without one they are this worker's own.
  detail::Poller own(client, std::chrono::milliseconds(0));
  detail::Poller& ec2_client = poller ? *poller : own;
  log().info("- Delete " + std::string(kEc2Name) + " in " + subnet_id);
  const auto [insId, publicIp] = getEc2(ec2_client, subnet_id);
  if (!insId) return report::outcome(report::Outcome::kNotFound);
  std::optional<std::string> eipAllocId;
  if (publicIp) eipAllocId = getEipAllocationId(ec2_client, *insId, *publicIp);

  log().info("  terminate " + *insId + " in " + subnet_id);
  if (!args.dry_run) {
    terminateOnce(ec2_client, *insId);
    ec2_client.wait("instance_terminated", *insId);
    report::removed(report::Kind::kInstance, *insId);
  }
  // Only once the instance is gone is the address free to be released.
  if (eipAllocId) releaseEIP(ec2_client, *publicIp, *eipAllocId, *insId, args);
  report::outcome(args.dry_run ? report::Outcome::kDryRun : report::Outcome::kRemoved);
}

std::string terminateEc2s(aws::Ec2Client& ec2_client, aws::IamClient& iam_client, const Options& args) {
  Doc entries = testconfig::readEntries(cli::text(args.test_config));
  return terminateEc2s(ec2_client, iam_client, testconfig::Plan(entries, testconfig::Reader::kRevert), args);
}

std::string terminateEc2s(aws::Ec2Client& ec2_client, aws::IamClient& iam_client, const testconfig::Plan& plan,
                          const ChangeOptions& args) {
  detail::Poller poller(ec2_client);
  std::vector<detail::Worker> workers;
  for (const testconfig::EntryPlan& p : plan.entries()) {
    if (p.skip == testconfig::Skip::kNoTestSubnet) continue;
    const report::Slot slot = report::entry(p.gw_subnet_id);  // a skipped duplicate never reports: it counts as failed
    if (p.skipped()) {
      detail::reportSkipped(plan, p);
      continue;
    }
    const std::string subnet = p.gw_subnet_id;
    workers.push_back({subnet, [&, subnet] { deleteEc2(ec2_client, iam_client, subnet, args, &poller); }, slot});
  }
  if (const auto unstarted = detail::runWorkers(workers)) throw ProcessExit(kExitFatal, *unstarted);

  const std::string vpcId = getVpcId(ec2_client, plan.first().gw_subnet_id);
  removeVpcCompanions(ec2_client, vpcId, args);
  return vpcId;
}

void removeVpcCompanions(aws::Ec2Client& ec2_client, const std::string& vpc_id, const ChangeOptions& args,
                         const GroupLookup& findGroup) {
  awaitShutdowns(ec2_client, vpc_id, args);
  releaseUnassociatedEIPs(ec2_client, vpc_id, args);
  const auto remaining = getAllEc2InVpc(ec2_client, vpc_id);
  if (remaining && !remaining->empty()) return;

  deleteGroupByName(ec2_client, vpc_id, kSgName, args, findGroup);
  deleteGroupByName(ec2_client, vpc_id, kPrivateSgName, args, findGroup);
  deleteKeyPair(ec2_client, vpcKeyPairName(vpc_id), args);
}

}  // namespace tarnwick::probe_deployer
