// The deploy mode: the resources every test instance of a run shares, one launch worker per
// entry, and the extended test configuration; also the tag rule that names a test's results.
#include "tarnwick_testlibs/bin/probe_deployer/deploy.h"

#include <iostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "tarnwick_testlibs/aws/clock.h"
#include "tarnwick_testlibs/bin/core/AppExitStatus.h"
#include "tarnwick_testlibs/bin/core/logging.h"
#include "tarnwick_testlibs/bin/core/messages.h"
#include "tarnwick_testlibs/bin/lib/testconfig.h"
#include "tarnwick_testlibs/bin/probe_deployer/common.h"
#include "tarnwick_testlibs/bin/probe_deployer/detail/denial.h"
#include "tarnwick_testlibs/bin/probe_deployer/detail/launch.h"
#include "tarnwick_testlibs/bin/probe_deployer/detail/poller.h"
#include "tarnwick_testlibs/bin/probe_deployer/detail/preflight.h"
#include "tarnwick_testlibs/bin/probe_deployer/detail/workers.h"
#include "tarnwick_testlibs/bin/probe_deployer/iam.h"
#include "tarnwick_testlibs/bin/probe_deployer/image.h"
#include "tarnwick_testlibs/bin/probe_deployer/keypair.h"
#include "tarnwick_testlibs/bin/probe_deployer/run_summary.h"
#include "tarnwick_testlibs/bin/probe_deployer/secgroup.h"
#include "tarnwick_testlibs/bin/probe_deployer/tags.h"

namespace tarnwick::probe_deployer {

namespace detail {

void runAtThreadEdge(const std::string& subnet_id, const std::function<void()>& body, report::Slot slot) noexcept {
  const report::Scope reporting(slot);
  std::string failure;
  try {
    body();
    return;
  } catch (const aws::Interrupted&) {
    // The run was asked to stop: the run flow says so once, for every worker.
    return report::outcome(report::Outcome::kInterrupted);
  } catch (const std::exception& e) {
    failure = tarnwick::describeFailure(e);
  } catch (...) {
    failure = "unknown failure";
  }
  // The entry is lost: the run must not end as a success. The record is the one report of the
  // failure; only when it cannot be logged does it go to standard error on its own.
  try {
    logging::getLogger(kLogger).error(messages::workerEnded(subnet_id, failure));
  } catch (...) {
    // One write, so that reports of concurrent workers do not mix within a line.
    std::cerr << fmt::format("worker for {} ended: {}\n", subnet_id, failure) << std::flush;
  }
}

std::optional<std::string> runWorkers(const std::vector<Worker>& workers) {
  std::vector<std::thread> threads;
  threads.reserve(workers.size());
  std::optional<std::string> unstarted;
  for (const auto& w : workers) {
    try {
      threads.emplace_back([&w] { runAtThreadEdge(w.subnet_id, w.body, w.slot); });
    } catch (const std::system_error& e) {
      unstarted = fmt::format("cannot start the worker for {}: {}", w.subnet_id, e.what());
      break;
    }
  }
  for (auto& t : threads) t.join();
  return unstarted;
}

void reportSkipped(const testconfig::Plan& plan, const testconfig::EntryPlan& planned) {
  logging::Logger& log = logging::getLogger(kLogger);
  if (planned.skip == testconfig::Skip::kNoTestSubnet)
    return log.error(messages::privateSubnetMissing(planned.entry.natGwId()));
  const std::string holder = plan.entries().at(planned.taken_by).label();
  log.error(messages::sameGatewaySubnet(planned.label(), planned.gw_subnet_id, holder));
}

}  // namespace detail

namespace {

logging::Logger& log() { return logging::getLogger(kLogger); }

std::optional<std::string> createDefaultIamSet(aws::IamClient& iam, const IamOptions& args) {
  // A dry run leaves no role with bucket access behind, so it only says what it would create.
  if (args.dry_run) {
    planDefaultIamSet(iam);
    return std::string(kInstanceProfile);
  }
  const std::string policyArn = createS3Policy(iam, args);
  // Without a policy there is nothing to attach; the failure has been reported where it happened.
  if (!policyArn.empty()) createEc2Role(iam, policyArn);
  createInstanceProfile(iam);
  return std::string(kInstanceProfile);
}

// Every worker's arguments, read on this thread before any worker starts.
std::vector<detail::LaunchArgs> planLaunches(const testconfig::Plan& plan, aws::Ec2Client& ec2, aws::IamClient& iam,
                                             const std::string& ami, const LaunchOptions& options,
                                             const std::optional<std::string>& sgId,
                                             const std::optional<std::string>& instanceProfile,
                                             const std::optional<std::string>& keyName) {
  std::vector<detail::LaunchArgs> launches;
  for (const testconfig::EntryPlan& p : plan.entries()) {
    const report::Slot slot = report::entry(p.gw_subnet_id);  // a skipped entry never reports: it counts as failed
    if (p.skipped()) {
      detail::reportSkipped(plan, p);
      continue;
    }
    detail::LaunchArgs a;
    a.ec2_client = &ec2;
    a.iam_client = &iam;
    a.ami = ami;
    a.gw_subnet_id = p.gw_subnet_id;
    a.private_subnet_id = p.private_subnet_id;
    a.spoke_gw_ip = p.entry.gwPrivateIp();
    a.args = options;
    a.test_config = &plan.doc(p);
    a.sg_id = sgId;
    a.instance_profile = instanceProfile;
    a.key_name = keyName;
    a.summary_slot = slot;
    launches.push_back(std::move(a));
  }
  return launches;
}

std::optional<std::string> runLaunches(const std::vector<detail::LaunchArgs>& plan) {
  std::vector<detail::Worker> workers;
  for (const auto& a : plan) workers.push_back({a.gw_subnet_id, [&a] { detail::createEc2(a); }, a.summary_slot});
  return detail::runWorkers(workers);
}

// What every instance shares, then one launch worker per entry; the diagnostic of a worker that
// could not be started, if any.
std::optional<std::string> deployPlanned(aws::Ec2Client& ec2_client, aws::S3Client* s3_client,
                                         aws::IamClient& iam_client, const ImageInfo& image, const DeployOptions& args,
                                         aws::StsClient* sts_client, const testconfig::Plan& plan) {
  // The checks' lookups of the group and the key pair are the deploy's own: it takes their answers.
  detail::KeptAnswers kept(ec2_client);
  const std::string vpcId = args.skip_preflight ? getVpcId(kept, plan.first().gw_subnet_id)
                                                : detail::runPreflight(kept, sts_client, plan, image, args);
  // The checks say themselves why a call would be denied; from here every failed call does.
  detail::ExplainedDenials ec2(kept, sts_client);
  const std::optional<std::string> sgId = createSG(ec2, vpcId, args.create);
  const std::optional<std::string> keyName =
      args.key_name ? args.key_name : std::optional(createKeyPair(ec2, s3_client, vpcId, args.key_pair));
  std::optional<std::string> instanceProfile;
  if (args.default_role) instanceProfile = createDefaultIamSet(iam_client, args.iam);

  detail::Poller poller(ec2);
  std::vector<detail::LaunchArgs> launches =
      planLaunches(plan, ec2, iam_client, image.id, args.launch, sgId, instanceProfile, keyName);
  for (auto& a : launches) a.poller = &poller;
  return runLaunches(launches);
}

void requireOutput(const std::string& output_test_config) {
  if (!output_test_config.empty()) return;
  log().error(messages::outputConfigRequired());
  throw ProcessExit(kExitFatal, "");
}

}  // namespace

void requireOutputTestConfig(const Options& args) { requireOutput(cli::text(args.output_test_config)); }

void deployEc2s(aws::Ec2Client& ec2_client, aws::S3Client* s3_client, aws::IamClient& iam_client,
                const std::string& ami, const Options& args) {
  deployEc2s(ec2_client, s3_client, iam_client, ImageInfo{ami, ""}, args, nullptr);
}

void deployEc2s(aws::Ec2Client& ec2_client, aws::S3Client* s3_client, aws::IamClient& iam_client,
                const ImageInfo& image, const Options& options, aws::StsClient* sts_client) {
  requireOutputTestConfig(options);
  Doc entries = testconfig::readEntries(cli::text(options.test_config));
  const testconfig::Plan plan(entries, testconfig::Reader::kDeploy);
  deployEc2s(ec2_client, s3_client, iam_client, image, DeployOptions(options, aws::clock().now()), sts_client, plan);
}

void deployEc2s(aws::Ec2Client& ec2_client, aws::S3Client* s3_client, aws::IamClient& iam_client,
                const ImageInfo& image, const DeployOptions& args, aws::StsClient* sts_client,
                const testconfig::Plan& plan) {
  requireOutput(args.output_test_config);
  if (const std::optional<std::string>& expiresAt = args.create.expires_at) {
    log().info(fmt::format("- {} what the deploy creates or reuses with {}={}",
                           args.create.dry_run ? "Would tag" : "Tag", kExpiresAtTagKey, *expiresAt));
    report::expires(*expiresAt);
  }

  std::optional<std::string> unstarted;
  try {
    unstarted = deployPlanned(ec2_client, s3_client, iam_client, image, args, sts_client, plan);
  } catch (...) {
    // A run asked to stop still leaves its output, with the entries as far as they got.
    if (aws::stopRequest().raised()) testconfig::writeAtomically(args.output_test_config, plan.doc());
    throw;
  }
  // Whatever the started workers deployed must be findable in the output, even when the run fails.
  testconfig::writeAtomically(args.output_test_config, plan.doc());
  if (unstarted) throw ProcessExit(kExitFatal, *unstarted);
}

std::string deduceTag(std::string_view tag, const Doc* test_config) {
  if (!test_config) return "-" + std::string(tag);
  return testconfig::Entry(*test_config).gateway() + "-" + std::string(tag);
}

}  // namespace tarnwick::probe_deployer
