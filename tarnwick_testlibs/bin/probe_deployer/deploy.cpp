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

void runAtThreadEdge(const std::string& subnet_id, const std::function<void()>& body,
                     report::Slot slot) noexcept {
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

std::string requireText(const nlohmann::ordered_json& entry, const char* key) {
  const auto it = entry.is_object() ? entry.find(key) : entry.end();
  if (it == entry.end() || !it->is_string())
    throw std::runtime_error(fmt::format("test configuration entry without \"{}\": {}", key, entry.dump()));
  return it->get<std::string>();
}

namespace {

std::string entryLabel(const nlohmann::ordered_json& entry, size_t index) {
  for (const char* key : {"gw_name", "nat_gw_id"})
    if (const auto it = entry.find(key); it != entry.end() && it->is_string())
      return fmt::format("entry {} ({})", index + 1, it->get<std::string>());
  return fmt::format("entry {}", index + 1);
}

}  // namespace

bool firstForItsSubnet(const nlohmann::ordered_json& entries, size_t index) {
  const std::string subnet = requireText(entries.at(index), "gw_subnet_id");
  for (size_t i = 0; i < index; ++i) {
    const auto& earlier = entries[i];
    if (requireText(earlier, "private_subnet_id").empty() || requireText(earlier, "gw_subnet_id") != subnet) continue;
    logging::getLogger(kLogger).error(
        messages::sameGatewaySubnet(entryLabel(entries[index], index), subnet, entryLabel(earlier, i)));
    return false;
  }
  return true;
}

nlohmann::ordered_json readEntries(const std::string& path, bool requireEntries) {
  nlohmann::ordered_json doc = testconfig::read(path);
  if (requireEntries && doc.empty()) throw std::runtime_error(fmt::format("test configuration {} has no entry", path));
  return doc;
}

void checkEntries(const nlohmann::ordered_json& entries, bool revert) {
  if (!entries.empty()) requireText(entries.at(0), "gw_subnet_id");
  for (const auto& entry : entries) {
    if (requireText(entry, "private_subnet_id").empty()) {
      if (!revert) requireText(entry, "nat_gw_id");  // named in the skip message
      continue;
    }
    requireText(entry, "gw_subnet_id");
    if (!revert) requireText(entry, "gw_private_ip");
  }
}

}  // namespace detail

namespace {

constexpr const char* kDefaultRole = "default";

logging::Logger& log() { return logging::getLogger(kLogger); }

std::optional<std::string> createDefaultIamSet(aws::IamClient& iam, const Options& args) {
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
std::vector<detail::LaunchArgs> planLaunches(Doc& entries, aws::Ec2Client& ec2, aws::IamClient& iam,
                                             const std::string& ami, const Options& args,
                                             const std::optional<std::string>& sgId,
                                             const std::optional<std::string>& instanceProfile,
                                             const std::optional<std::string>& keyName) {
  std::vector<detail::LaunchArgs> plan;
  for (size_t i = 0; i < entries.size(); ++i) {
    Doc& entry = entries[i];
    const report::Slot slot = report::entry(entry);  // a skipped entry never reports: it counts as failed
    if (detail::requireText(entry, "private_subnet_id").empty()) {
      log().error(messages::privateSubnetMissing(detail::requireText(entry, "nat_gw_id")));
      continue;
    }
    if (!detail::firstForItsSubnet(entries, i)) continue;
    detail::LaunchArgs a;
    a.ec2_client = &ec2;
    a.iam_client = &iam;
    a.ami = ami;
    a.gw_subnet_id = detail::requireText(entry, "gw_subnet_id");
    a.private_subnet_id = detail::requireText(entry, "private_subnet_id");
    a.spoke_gw_ip = detail::requireText(entry, "gw_private_ip");
    a.args = &args;
    a.test_config = &entry;
    a.sg_id = sgId;
    a.instance_profile = instanceProfile;
    a.key_name = keyName;
    a.summary_slot = slot;
    plan.push_back(std::move(a));
  }
  return plan;
}

std::optional<std::string> runLaunches(const std::vector<detail::LaunchArgs>& plan) {
  std::vector<detail::Worker> workers;
  for (const auto& a : plan) workers.push_back({a.gw_subnet_id, [&a] { detail::createEc2(a); }, a.summary_slot});
  return detail::runWorkers(workers);
}

// What every instance shares, then one launch worker per entry; the diagnostic of a worker that
// could not be started, if any.
std::optional<std::string> deployEntries(aws::Ec2Client& ec2_client, aws::S3Client* s3_client, aws::IamClient& iam_client,
                                         const ImageInfo& image, const Options& args, aws::StsClient* sts_client,
                                         Doc& entries) {
  // The checks' lookups of the group and the key pair are the deploy's own: it takes their answers.
  detail::KeptAnswers kept(ec2_client);
  const std::string vpcId = args.skip_preflight
                                ? getVpcId(kept, detail::requireText(entries.at(0), "gw_subnet_id"))
                                : detail::runPreflight(kept, sts_client, entries, image, args);
  // The checks say themselves why a call would be denied; from here every failed call does.
  detail::ExplainedDenials ec2(kept, sts_client);
  const std::optional<std::string> sgId = createSG(ec2, vpcId, args);
  const std::optional<std::string> keyName =
      args.key_name ? args.key_name : std::optional(createKeyPair(ec2, s3_client, vpcId, args));
  std::optional<std::string> instanceProfile;
  if (args.ec2_role == kDefaultRole) instanceProfile = createDefaultIamSet(iam_client, args);

  detail::Poller poller(ec2);
  std::vector<detail::LaunchArgs> plan =
      planLaunches(entries, ec2, iam_client, image.id, args, sgId, instanceProfile, keyName);
  for (auto& a : plan) a.poller = &poller;
  return runLaunches(plan);
}

}  // namespace

void requireOutputTestConfig(const Options& args) {
  if (cli::nonEmpty(args.output_test_config)) return;
  log().error(messages::outputConfigRequired());
  throw ProcessExit(kExitFatal, "");
}

void deployEc2s(aws::Ec2Client& ec2_client, aws::S3Client* s3_client, aws::IamClient& iam_client,
                const std::string& ami, const Options& args) {
  deployEc2s(ec2_client, s3_client, iam_client, ImageInfo{ami, ""}, args, nullptr);
}

void deployEc2s(aws::Ec2Client& ec2_client, aws::S3Client* s3_client, aws::IamClient& iam_client,
                const ImageInfo& image, const Options& options, aws::StsClient* sts_client) {
  requireOutputTestConfig(options);
  Doc entries = detail::readEntries(cli::text(options.test_config), true);
  detail::checkEntries(entries, false);
  const Options args = withExpiry(options, aws::clock().now());
  if (args.expires_at) {
    log().info(fmt::format("- {} what the deploy creates or reuses with {}={}", args.dry_run ? "Would tag" : "Tag",
                           kExpiresAtTagKey, *args.expires_at));
    report::expires(*args.expires_at);
  }

  std::optional<std::string> unstarted;
  try {
    unstarted = deployEntries(ec2_client, s3_client, iam_client, image, args, sts_client, entries);
  } catch (...) {
    // A run asked to stop still leaves its output, with the entries as far as they got.
    if (aws::stopRequest().raised()) testconfig::writeAtomically(cli::text(args.output_test_config), entries);
    throw;
  }
  // Whatever the started workers deployed must be findable in the output, even when the run fails.
  testconfig::writeAtomically(cli::text(args.output_test_config), entries);
  if (unstarted) throw ProcessExit(kExitFatal, *unstarted);
}

std::string gatewayOf(const Doc& test_config) {
  // NAT entries have no gateway name; their gateway identifier names their results instead.
  return detail::requireText(test_config, test_config.contains("gw_name") ? "gw_name" : "nat_gw_id");
}

std::string deduceTag(std::string_view tag, const Doc* test_config) {
  if (!test_config) return "-" + std::string(tag);
  return gatewayOf(*test_config) + "-" + std::string(tag);
}

}  // namespace tarnwick::probe_deployer
