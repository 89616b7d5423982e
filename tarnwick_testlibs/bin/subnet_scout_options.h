// The options record of subnet_scout: one field per option of its command line, named as the
// option without its leading dashes, and the sub-command with its own options. What the searches
// read of it is their own SearchOptions, which it extends.
#pragma once
#include <optional>
#include <string>

#include "tarnwick_testlibs/bin/lib/search_options.h"

namespace tarnwick::subnet_scout {

inline constexpr const char* kSpokeCommand = "spoke";
inline constexpr const char* kNatgwCommand = "natgw";
inline constexpr const char* kDefaultOutputTestConfig = SearchOptions::kDefaultOutputTestConfig;
inline constexpr const char* kDefaultBackupFolder = SearchOptions::kDefaultBackupFolder;

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
// vpc, output_test_config, backup_folder and s3_bucket are those of SearchOptions.
struct Options : SearchOptions {
  std::optional<std::string> profile;
  std::optional<std::string> assume_role;
  std::optional<std::string> region;
  // The sub-command given, kSpokeCommand or kNatgwCommand.
  std::optional<std::string> subparser_name;
  // Present exactly when the sub-command is "spoke".
  std::optional<SpokeOptions> spoke;
};

}  // namespace tarnwick::subnet_scout
