// The run flow of probe_deployer: parse, set up logging, check the options, run a mode, exit.
#include "tarnwick_testlibs/bin/probe_deployer/run.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "tarnwick_testlibs/aws/clock.h"
#include "tarnwick_testlibs/aws/session.h"
#include "tarnwick_testlibs/aws/views.h"
#include "tarnwick_testlibs/base/files.h"
#include "tarnwick_testlibs/base/signals.h"
#include "tarnwick_testlibs/bin/core/AppExitStatus.h"
#include "tarnwick_testlibs/bin/core/Globals.h"
#include "tarnwick_testlibs/bin/core/logging.h"
#include "tarnwick_testlibs/bin/core/messages.h"
#include "tarnwick_testlibs/bin/lib/aws_session.h"
#include "tarnwick_testlibs/bin/lib/runkit.h"
#include "tarnwick_testlibs/bin/lib/testconfig.h"
#include "tarnwick_testlibs/bin/probe_deployer/command_line.h"
#include "tarnwick_testlibs/bin/probe_deployer/common.h"
#include "tarnwick_testlibs/bin/probe_deployer/deploy.h"
#include "tarnwick_testlibs/bin/probe_deployer/detail/denial.h"
#include "tarnwick_testlibs/bin/probe_deployer/detail/workers.h"
#include "tarnwick_testlibs/bin/probe_deployer/iam.h"
#include "tarnwick_testlibs/bin/probe_deployer/image.h"
#include "tarnwick_testlibs/bin/probe_deployer/keypair.h"
#include "tarnwick_testlibs/bin/probe_deployer/run_summary.h"
#include "tarnwick_testlibs/bin/probe_deployer/sweep.h"
#include "tarnwick_testlibs/bin/probe_deployer/teardown.h"

namespace tarnwick::probe_deployer {

namespace {

bool tagPairsComplete(const std::string& tag_resource) { return cli::splitAt(tag_resource, ',').size() % 2 == 0; }

struct WorkflowRole {
  std::string name;
  std::string account;
  std::string region;
};

// "<role>,<number>,<region>": number and region count only together; otherwise this host's
// instance identity gives both.
WorkflowRole workflowRole(const std::string& value) {
  const std::vector<std::string> fields = cli::splitAt(value, ',');
  WorkflowRole role{fields.at(0), "", ""};
  if (fields.size() > 2) {
    role.account = fields[1];
    role.region = fields[2];
  } else {
    const nlohmann::ordered_json identity = get_aws_metadata();
    const aws::view::Record document(identity, "the instance identity document");
    role.account = document.text("accountId");
    role.region = document.text("region");
  }
  return role;
}

// The workflow side of a deployment: the stored private key and the bucket client. The workflow
// role's SSM, S3 and STS belong to the workflow region's partition.
std::shared_ptr<aws::S3Client> openWorkflowSide(const Options& args, logging::Logger& log) {
  const std::optional<std::string>& profile = args.profile;
  if (!cli::nonEmpty(args.workflow_account_role))
    return aws::Session::fromProfile(profile, args.region).s3(startRegion(args.region));

  const WorkflowRole role = workflowRole(cli::text(args.workflow_account_role));
  const std::string arn = iamArn(role.region, role.account, "role/" + role.name);
  log.info("- Use role " + arn + " for SSM access");
  const std::optional<std::string> region =
      role.region.empty() ? std::nullopt : std::optional<std::string>(role.region);
  const aws::Session session = start_aws_session(arn, profile, region);
  const std::shared_ptr<aws::SsmClient> ssm = session.ssm(region);
  std::shared_ptr<aws::S3Client> s3 = session.s3(startRegion(region));
  if (cli::nonEmpty(args.key_name)) getPemKeyFromSSM(*ssm, kSecretsPrefix + cli::text(args.key_name), args);
  return s3;
}

// Everything a run reads or writes locally is checked before its first AWS call: a bad input file
// or an unwritable output must not surface after the run has created or removed things. The input
// file is read here, once, into `entries`; returns their plan, or nothing for a run without one.
std::optional<testconfig::Plan> requireInputsAndOutputs(const Options& args, nlohmann::ordered_json& entries) {
  std::optional<testconfig::Plan> plan;
  // A revert by VPC and a sweep find their objects by names and tags: they have no input file.
  if (args.test_config) {
    entries = testconfig::readEntries(*args.test_config);
    plan.emplace(entries, args.revert ? testconfig::Reader::kRevert : testconfig::Reader::kDeploy);
  }
  if (!args.revert && !args.sweep) files::requireReplaceable(cli::text(args.output_test_config));
  if (cli::nonEmpty(args.summary_json)) files::requireReplaceable(*args.summary_json);
  return plan;
}

// With --account a run acts in that account only: other credentials would create or remove test
// objects of somebody else's account. Ends the run with status 1 before anything changes.
void requireAccount(aws::StsClient& sts, const Options& args, logging::Logger& log) {
  if (!cli::nonEmpty(args.account)) return;
  const std::string caller =
      aws::view::Record(sts.get_caller_identity(nlohmann::ordered_json::object()), "GetCallerIdentity").text("Account");
  if (caller == *args.account) return;
  log.error(messages::otherAccount(caller, *args.account));
  throw ProcessExit(kExitFatal, "");
}

// A cancelled job's status comes within this of its first signal, whatever its calls are doing.
constexpr std::chrono::seconds kStopDeadline{9};

// Text as one word for a shell: as it stands when it needs no quotes.
std::string shellWord(const std::string& text) {
  const bool plain = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) ||
           std::string_view("_-./:,=@+").find(c) != std::string_view::npos;
  });
  if (plain) return text;
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// The command line that removes what an interrupted run made or left: the revert of its input
// file, the revert of its VPC, or the same sweep again, in the same account and region.
std::string revertCommand(const Options& args) {
  std::vector<std::string> words = {"probe_deployer"};
  if (args.sweep) {
    words.push_back("--sweep");
    if (args.older_than) words.insert(words.end(), {"--older_than", *args.older_than});
  } else if (args.vpc_id) {
    words.insert(words.end(), {"--revert", "--vpc_id", *args.vpc_id});
  } else {
    words.insert(words.end(), {"--revert", "--test_config", cli::text(args.test_config)});
  }
  for (const auto& [option, value] : {std::pair{"--ec2_role", args.ec2_role}, std::pair{"--account", args.account},
                                      std::pair{"--region", args.region}, std::pair{"--profile", args.profile},
                                      std::pair{"--assume_role", args.assume_role}})
    if (cli::nonEmpty(value) && (std::string_view(option) != "--ec2_role" || *value == "default"))
      words.insert(words.end(), {option, *value});
  std::string line;
  for (const std::string& word : words) line += (line.empty() ? "" : " ") + shellWord(word);
  return line;
}

// The last word of a run that was asked to stop: at ERROR, what removes what it made.
void reportInterruption(const Options& args, logging::Logger& log) {
  const std::string signal = aws::stopRequest().reason();
  log.error(args.dry_run ? messages::interruptedDryRun(signal) : messages::interrupted(signal, revertCommand(args)));
}

aws::Session deploymentSession(const Options& args) {
  if (cli::nonEmpty(args.assume_role)) return start_aws_session(cli::text(args.assume_role), args.profile, args.region);
  return aws::Session::fromProfile(args.profile, args.region);
}

// The run's sessions and clients, then its mode: everything a stop can interrupt. `plan` is the
// input file's, for a deploy and a revert by it.
void runMode(Options& args, const testconfig::Plan* plan, logging::Logger& log) {
  const bool revert = args.revert || args.sweep;
  std::shared_ptr<aws::S3Client> s3;
  if (!revert) s3 = openWorkflowSide(args, log);

  const aws::Session session = deploymentSession(args);
  // The session's default region, when it is the deployment's, names the partition of its ARNs too.
  if (!cli::nonEmpty(args.region)) args.region = session.defaultRegion();
  const std::shared_ptr<aws::Ec2Client> ec2 = session.ec2(args.region);
  const std::shared_ptr<aws::IamClient> iam = session.iam(args.region);
  const std::shared_ptr<aws::StsClient> sts = session.sts(args.region);  // the caller, and why a call was denied
  requireAccount(*sts, args, log);
  // A denied call says what denied it. The deploy's checks say so themselves, from the plain client.
  detail::ExplainedDenials explained(*ec2, sts.get());

  if (!revert) {
    const ImageInfo image = lookupImage(explained, cli::text(args.image));
    deployEc2s(*ec2, s3.get(), *iam, image, DeployOptions(args, aws::clock().now()), sts.get(), *plan);
  } else if (args.sweep) {
    sweepRegion(explained, *iam, args, aws::clock().now());
  } else if (args.vpc_id) {
    requireVpc(explained, *args.vpc_id, args.region.value_or(""));
    revertVpc(explained, *iam, *args.vpc_id, args);
  } else {
    const std::string vpcId = terminateEc2s(explained, *iam, *plan, args);
    // One IAM set serves every VPC of the account: it goes only with its last user.
    if (args.ec2_role == "default" && !instanceProfileUsedOutside(explained, vpcId)) deleteInstanceProfile(*iam, args);
  }
}

int run(int argc, char** argv, RunSummary& summary) {
  const cli::Parser parser = makeParser();
  const std::vector<std::string> words = cli::argumentWords(argc, argv);
  Options args = parseOptions(parser, words);
  summary.start(args);
  const report::Scope reporting(summary);

  Common::initLogLocation(cli::text(args.backup_folder));
  Common::logCommandOptions("probe_deployer " + cli::joinWords(words));
  logging::Logger& log = logging::getLogger(kLogger);

  // The bucket transfers' dry run; the deployer's own operations read it from their options.
  Globals::dry_run = args.dry_run;

  if (args.tag_resource && !tagPairsComplete(*args.tag_resource)) {
    log.info(messages::incompleteTagPair());
    throw ProcessExit(kExitFatal, "");
  }

  const bool revert = args.revert || args.sweep;
  if (!revert) requireOutputTestConfig(args);
  nlohmann::ordered_json entries;
  const std::optional<testconfig::Plan> plan = requireInputsAndOutputs(args, entries);

  try {
    runMode(args, plan ? &*plan : nullptr, log);
  } catch (...) {
    // Whatever failure the stop caused (a refused call, a wait given up), the run was interrupted.
    if (!aws::stopRequest().raised()) throw;
  }
  log.info(summary.line());
  if (aws::stopRequest().raised()) reportInterruption(args, log);
  return AppExitStatus().getStatus();
}

}  // namespace

int main(int argc, char** argv) {
  // A cancelled CI job sends SIGTERM (or SIGINT), then kills: the run stops its work and writes
  // what it has, then ends as the signal would have ended it.
  const signals::StopOnSignals stopOnSignals(
      "probe_deployer", [](int signal) { aws::stopRequest().raise(signals::StopOnSignals::name(signal)); },
      kStopDeadline);
  RunSummary summary;
  int status = cli::runProgram("probe_deployer", [&] { return run(argc, argv, summary); });
  if (const int signal = signals::StopOnSignals::received()) {
    summary.interrupted(signals::StopOnSignals::name(signal));
    status = 128 + signal;
  }
  // Written last, so that the document carries the status the process really ends with.
  return cli::runProgram("probe_deployer", [&] { return summary.finish(status); });
}

}  // namespace tarnwick::probe_deployer
