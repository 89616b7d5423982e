// The options record of probe_deployer: one field per option of its command line, named as the
// option without its leading dashes. The program fills it from the command line; a workflow that
// calls the module's operations fills one itself.
#pragma once
#include <chrono>
#include <optional>
#include <string>

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

}  // namespace tarnwick::probe_deployer
