// The command line of probe_deployer, in the order of its help output, and its options record.
#include "tarnwick_testlibs/bin/probe_deployer/command_line.h"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <string_view>

#include "tarnwick_testlibs/bin/core/version.h"

namespace tarnwick::probe_deployer {

namespace {

const cli::FieldTable<Options>& fields() {
  static const cli::FieldTable<Options> table(
      {
          {"account", &Options::account},
          {"region", &Options::region},
          {"private_subnet_id", &Options::private_subnet_id},
          {"key_name", &Options::key_name},
          {"s3_bucket", &Options::s3_bucket},
          {"assume_role", &Options::assume_role},
          {"profile", &Options::profile},
          {"ec2_role", &Options::ec2_role},
          {"test_config", &Options::test_config},
          {"output_test_config", &Options::output_test_config},
          {"tag_resource", &Options::tag_resource},
          {"instance_type", &Options::instance_type},
          {"image", &Options::image},
          {"workflow_account_role", &Options::workflow_account_role},
          {"backup_folder", &Options::backup_folder},
          {"summary_json", &Options::summary_json},
          {"vpc_id", &Options::vpc_id},
          {"older_than", &Options::older_than},
          {"metadata_tokens", &Options::metadata_tokens},
          {"ttl", &Options::ttl},
      },
      {{"revert", &Options::revert},
       {"dry_run", &Options::dry_run},
       {"sweep", &Options::sweep},
       {"skip_preflight", &Options::skip_preflight}});
  return table;
}

// The option of record field `field` as the user wrote it, and what it was read as when that
// differs: "--o (read as --output_test_config)".
std::string spelled(const cli::OptionMap& parsed, const std::string& field) {
  const std::string full = "--" + field;
  const std::string typed = parsed.typed(field).value_or(full);
  return typed == full ? full : typed + " (read as " + full + ")";
}

// What the runs without an input file (--sweep, --revert --vpc_id) never read. Given to them, each
// is refused: a typo or a prefix read as another option must not pass for an instruction to a
// clean-up, which would then remove more than the user meant.
constexpr std::array<const char*, 10> kUnreadByCleanUps = {
    "output_test_config", "private_subnet_id", "key_name", "s3_bucket",
    "tag_resource",       "instance_type",     "image",    "workflow_account_role",
    "skip_preflight",     "metadata_tokens"};

// "vpc-" and 8 or 17 lower-case hex digits, as EC2 writes a VPC id.
bool isVpcId(const std::string& id) {
  constexpr std::string_view prefix = "vpc-";
  const size_t digits = id.size() - std::min(id.size(), prefix.size());
  return id.starts_with(prefix) && (digits == 8 || digits == 17) &&
         std::all_of(id.begin() + prefix.size(), id.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// Which input a run works from (the test configuration, or the names and tags of one VPC or all),
// and that the mode reads every option it was given.
void checkInput(const cli::Parser& parser, const cli::OptionMap& parsed, const Options& o) {
  const auto refuse = [&](const std::string& message) { throw parser.usageError(message); };
  const auto argument = [&](const char* field) { return "argument " + spelled(parsed, field); };
  if (o.vpc_id && o.test_config)
    refuse(argument("vpc_id") + ": not allowed with argument " + spelled(parsed, "test_config"));
  if (o.sweep && o.test_config)
    refuse(argument("sweep") + ": not allowed with argument " + spelled(parsed, "test_config"));
  if (o.sweep && o.vpc_id) refuse(argument("sweep") + ": not allowed with argument " + spelled(parsed, "vpc_id"));
  if (o.sweep && o.revert) refuse(argument("revert") + ": not allowed with argument " + spelled(parsed, "sweep"));
  if (o.vpc_id && !o.revert) refuse(argument("vpc_id") + ": only with --revert");
  if (o.vpc_id && !isVpcId(*o.vpc_id))
    refuse(argument("vpc_id") + ": invalid VPC id '" + *o.vpc_id + "' (vpc- and 8 or 17 hex digits)");
  const auto requireDuration = [&](const char* field, const std::string& value) {
    if (!parseDuration(value))
      refuse(argument(field) + ": invalid duration '" + value + "' (a whole number and s, m, h or d, at most " +
             std::to_string(kLongestOlderThan.count() / 24) + "d)");
  };
  if (o.older_than && !o.sweep) refuse(argument("older_than") + ": only with --sweep");
  if (o.older_than) requireDuration("older_than", *o.older_than);
  const char* cleanUp = o.sweep ? "--sweep" : o.vpc_id ? "--revert --vpc_id" : "--revert";
  if (o.ttl && (o.revert || o.sweep)) refuse(argument("ttl") + ": not used by " + cleanUp);
  if (o.ttl) requireDuration("ttl", *o.ttl);
  if (!o.test_config && !o.sweep && !o.vpc_id) refuse("the following arguments are required: --test_config");
  if (o.sweep || o.vpc_id) {
    for (const char* field : kUnreadByCleanUps)
      if (parsed.typed(field)) refuse(argument(field) + ": not used by " + cleanUp);
  }
}

// A sweep removes every toolkit object of a region: it must be told whose. The test instances
// require IMDSv2 unless told otherwise, and only in these two words.
void checkGuards(const cli::Parser& parser, const Options& o) {
  const std::string tokens = cli::text(o.metadata_tokens);
  if (tokens != "required" && tokens != "optional")
    throw parser.usageError("argument --metadata_tokens: invalid choice: '" + tokens +
                            "' (choose from 'required', 'optional')");
  if (o.sweep && !cli::nonEmpty(o.account)) throw parser.usageError("argument --sweep: requires --account");
}

}  // namespace

cli::Parser makeParser() {
  cli::Parser p("probe_deployer", "Deploy test EC2 in test subnets");
  p.addFlag("--revert", "revert the operation");
  p.addFlag("--dry_run", "Dry run deploy test ec2 logic and show what will be done");
  p.addValue("--account", "account");
  p.addValue("--region", "region");
  p.addValue("--private_subnet_id", "private subnet ID");
  p.addValue("--key_name", "key name");
  p.addValue("--s3_bucket", "s3 bucket name");
  p.addValue("--assume_role", "Specify the role used to deploy EC2 in the account");
  p.addValue("--profile", "Specify the AWS Credentials profile used to deploy EC2 in the account");
  p.addValue("--ec2_role", "Specify the role to assign to the EC2");
  p.addValue("--test_config", "specify input test config file (not with --sweep or --revert --vpc_id)");
  p.addValue("--output_test_config", "specify output test config file");
  p.addValue("--tag_resource", "tag created resources, e.g., sg, vm");
  p.addValue("--instance_type", "instance type, default to t3.micro", {.defaultValue = kDefaultInstanceType});
  p.addValue("--image", "VM image name, default to al2023-ami-2023.3.20240108.0-kernel-6.1-x86_64",
             {.defaultValue = kDefaultImage});
  p.addValue("--workflow_account_role",
             "specify workflow account <role>,<number>,<region> where account number and region are optional");
  p.addValue("--backup_folder", "specify the folder for storing the VPC specific key-pair",
             {.defaultValue = kDefaultBackupFolder});
  p.laterOptionsFollow();
  p.addValue("--summary_json", "write what the run did, with its exit status, to this JSON file");
  p.addValue("--vpc_id",
             "with --revert and no --test_config: remove what the toolkit created in this VPC, "
             "found by its names and tags");
  p.addFlag("--sweep", "remove what the toolkit created in every VPC of the region, found by its names and tags");
  p.addValue("--older_than", "with --sweep: only deployments older than this, e.g. 90m, 6h, 2d (at most 36500d)");
  p.addFlag("--skip_preflight", "deploy without first checking quotas, zones, free addresses, image and permissions");
  p.addValue("--metadata_tokens", "deploy: whether the test instances require IMDSv2 tokens, required or optional",
             {.defaultValue = kDefaultMetadataTokens});
  p.addValue("--ttl",
             "deploy: tag what the deploy creates or reuses with tarnwick:expires-at, now plus this, e.g. 8h; "
             "a sweep removes it once that has passed");
  p.addVersion(std::string("probe_deployer ") + kToolkitVersion);
  return p;
}

std::optional<std::chrono::seconds> parseDuration(const std::string& text) {
  // At most 12 digits, so that even days stay far inside the range of seconds before the limit.
  if (text.size() < 2 || text.size() > 13) return std::nullopt;
  const std::string number = text.substr(0, text.size() - 1);
  if (!std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; })) return std::nullopt;
  const long long n = std::stoll(number);
  std::chrono::seconds duration;
  switch (text.back()) {
    case 's':
      duration = std::chrono::seconds(n);
      break;
    case 'm':
      duration = std::chrono::minutes(n);
      break;
    case 'h':
      duration = std::chrono::hours(n);
      break;
    case 'd':
      duration = std::chrono::hours(24 * n);
      break;
    default:
      return std::nullopt;
  }
  if (duration > kLongestOlderThan) return std::nullopt;
  return duration;
}

Options parseOptions(const cli::Parser& parser, const std::vector<std::string>& words) {
  fields().requireAll(parser, "probe_deployer::Options");
  Options options;
  const cli::OptionMap parsed = parser.parse(words);
  fields().fill(parsed, options);
  checkInput(parser, parsed, options);
  checkGuards(parser, options);
  return options;
}

}  // namespace tarnwick::probe_deployer
