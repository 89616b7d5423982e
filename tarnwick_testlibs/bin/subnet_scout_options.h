// The command line of subnet_scout and its options record: one field per option, named as the
// option without its leading dashes, and the sub-command with its own options. What the searches
// read of it is their own SearchOptions, which it extends.
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "tarnwick_testlibs/bin/lib/cli.h"
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

cli::Parser makeParser();
// The record of what `parser` (from makeParser) accepts in `words`, the spoke options only after
// "spoke"; throws cli::UsageError or cli::HelpRequested as cli::Parser::parse does, and
// std::logic_error for a declared option that the record has no field for.
Options parseOptions(const cli::Parser& parser, const std::vector<std::string>& words);

}  // namespace tarnwick::subnet_scout
