// The options record of probe_deployer: one field per option of its command line, named as the
// option without its leading dashes. The program fills it from the command line; a workflow that
// calls the module's operations fills one itself. Beside it, what each operation reads of it,
// converted once.
#pragma once
#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tarnwick::probe_deployer {

inline constexpr const char* kDefaultInstanceType = "t3.micro";
inline constexpr const char* kDefaultImage = "al2023-ami-2023.3.20240108.0-kernel-6.1-x86_64";
inline constexpr const char* kDefaultBackupFolder = "./backups";
inline constexpr const char* kDefaultMetadataTokens = "required";

// Value options hold text or are absent; flags hold booleans. The defaults are the command line's.
struct Options {
  bool revert = false;
  bool dry_run = false;
  std::optional<std::string> account;
  std::optional<std::string> region;
  std::optional<std::string> private_subnet_id;
  std::optional<std::string> key_name;
  std::optional<std::string> s3_bucket;
  std::optional<std::string> assume_role;
  std::optional<std::string> profile;
  std::optional<std::string> ec2_role;
  std::optional<std::string> test_config;
  std::optional<std::string> output_test_config;
  std::optional<std::string> tag_resource;
  std::optional<std::string> instance_type = kDefaultInstanceType;
  std::optional<std::string> image = kDefaultImage;
  std::optional<std::string> workflow_account_role;
  std::optional<std::string> backup_folder = kDefaultBackupFolder;
  std::optional<std::string> summary_json;
  // Without an input file: the VPC to revert (with `revert`), or every VPC of the region.
  std::optional<std::string> vpc_id;
  bool sweep = false;
  std::optional<std::string> older_than;  // with `sweep`: "90m", "6h", "2d", "0s"
  // A deploy then creates without first checking that every entry can be deployed.
  bool skip_preflight = false;
  // The launch's MetadataOptions.HttpTokens: "required" (IMDSv2 only) or "optional".
  std::optional<std::string> metadata_tokens = kDefaultMetadataTokens;
  // Deploy: how long its objects may stay, in the syntax of `older_than` ("8h").
  std::optional<std::string> ttl;
  // Not an option: when the deployment's objects expire, as tagged on them ("2026-12-09T19:50:47Z").
  // A deploy with `ttl` sets it once, as it starts; a workflow that calls the creating operations
  // itself may set it instead.
  std::optional<std::string> expires_at;
};

// The longest --older_than, 100 years: no deployment is older, and a clock of nanoseconds ends
// at about 292 years.
inline constexpr std::chrono::hours kLongestOlderThan{24 * 36500};

// A --older_than or --ttl value: "90m", "6h", "2d", "0s", a whole number and one of s, m, h, d,
// at most kLongestOlderThan; nothing for anything else.
std::optional<std::chrono::seconds> parseDuration(const std::string& text);

// What each operation reads of the options, with values converted once: durations as durations,
// the tags as pairs, the token choice as a choice. Each converts from the options record, so that
// a workflow calls an operation with the record it filled, as the searches take subnet_scout's
// options for their SearchOptions; the run converts once and hands each operation its own.

// --tag_resource as key and value pairs, in their order; a key may repeat.
using TagPairs = std::vector<std::pair<std::string, std::string>>;
// "k1,v1,k2,v2": pieces used as they stand; a last key without a value (which the run refuses
// before any request is built) is left out, so empty text gives no pair.
TagPairs parseTagPairs(const std::string& text);

// The test instances' MetadataOptions.HttpTokens.
enum class MetadataTokens { kRequired, kOptional };

// Whether an operation changes anything: a dry run still looks up, and says what it would do.
struct ChangeOptions {
  bool dry_run = false;

  ChangeOptions() = default;
  ChangeOptions(const Options& args);  // NOLINT(google-explicit-constructor): see above
};

// What a creation marks its object with besides its Name: the operator's tags and the
// deployment's expiry (also set on the objects it reuses).
struct CreateOptions : ChangeOptions {
  TagPairs tags;
  std::optional<std::string> expires_at;  // "2026-12-09T19:50:47Z"

  CreateOptions() = default;
  CreateOptions(const Options& args);  // NOLINT(google-explicit-constructor)
};

// The key pair's: where its private key is kept.
struct KeyPairOptions : CreateOptions {
  std::string backup_folder = kDefaultBackupFolder;  // below it, <vpc>/<key name>.pem
  std::optional<std::string> s3_bucket;              // and, when given, a copy in this bucket

  KeyPairOptions() = default;
  KeyPairOptions(const Options& args);  // NOLINT(google-explicit-constructor)
};

// The launch's. Throws std::invalid_argument for a metadata_tokens other than the two choices.
struct LaunchOptions : CreateOptions {
  std::string instance_type = kDefaultInstanceType;
  // A role of the user's ("default" is the deploy's own set, which it passes as the profile).
  std::optional<std::string> ec2_role;
  MetadataTokens metadata_tokens = MetadataTokens::kRequired;

  LaunchOptions() = default;
  LaunchOptions(const Options& args);  // NOLINT(google-explicit-constructor)
};

// The IAM set's: the ARNs are in the partition of `region`; with `account` the policy's ARN needs
// no listing.
struct IamOptions : ChangeOptions {
  std::optional<std::string> account;
  std::optional<std::string> region;

  IamOptions() = default;
  IamOptions(const Options& args);  // NOLINT(google-explicit-constructor)
};

// A revert by names and tags, and a sweep.
struct SweepOptions : IamOptions {
  bool default_role = false;  // --ec2_role default: the IAM set goes too, when nothing else uses it
  std::optional<std::chrono::seconds> older_than;
  std::string older_than_text;  // as given, for the messages

  SweepOptions() = default;
  SweepOptions(const Options& args);  // NOLINT(google-explicit-constructor)
};

// A deploy's: those of the operations it calls, and its own choices.
struct DeployOptions {
  CreateOptions create;  // the security group, and the expiry of what it reuses
  KeyPairOptions key_pair;
  LaunchOptions launch;  // also the Elastic IPs'
  IamOptions iam;
  std::string output_test_config;
  std::optional<std::string> key_name;  // given: the launches use it and no key pair is made
  bool skip_preflight = false;
  bool default_role = false;  // --ec2_role default: the deploy makes the IAM set

  DeployOptions() = default;
  // Everything the deploy creates or reuses expires `args.ttl` after `now`, unless `args` has its
  // expires_at already. Throws std::invalid_argument for a ttl that parseDuration refuses.
  DeployOptions(const Options& args, std::chrono::system_clock::time_point now);
};

}  // namespace tarnwick::probe_deployer
