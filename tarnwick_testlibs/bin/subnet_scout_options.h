// The options record of subnet_scout: one field per option of its command line, named as the
// option without its leading dashes, and the sub-command with its own options. The searches of
// the spoke and nat modules read it; a workflow that calls them fills one itself.
#pragma once
#include <optional>
#include <string>

namespace tarnwick::subnet_scout {

inline constexpr const char* kSpokeCommand = "spoke";
inline constexpr const char* kNatgwCommand = "natgw";
inline constexpr const char* kDefaultOutputTestConfig = "subnet.config";
inline constexpr const char* kDefaultBackupFolder = "backups";

// The options of the sub-command "spoke".
struct SpokeOptions {
  std::optional<std::string> controller_ip;
  std::optional<std::string> controller_user;
  std::optional<std::string> controller_password;
  std::optional<std::string> spoke_gw_name;
  std::optional<std::string> controller_ca;
  std::optional<std::string> controller_fingerprint;
  bool horizontal_scaling = false;
};

// Value options hold text or are absent; flags hold booleans. The defaults are the command line's.
struct Options {
  std::optional<std::string> vpc;
  std::optional<std::string> profile;
  std::optional<std::string> assume_role;
  std::optional<std::string> region;
  std::optional<std::string> output_test_config = kDefaultOutputTestConfig;
  std::optional<std::string> backup_folder = kDefaultBackupFolder;
  std::optional<std::string> s3_bucket;
  // The sub-command given, kSpokeCommand or kNatgwCommand.
  std::optional<std::string> subparser_name;
  // Present exactly when the sub-command is "spoke".
  std::optional<SpokeOptions> spoke;
};

}  // namespace tarnwick::subnet_scout
