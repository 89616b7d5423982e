// The command line of collect_results and its options record: one field per option, named as
// the option without its leading dashes.
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "tarnwick_testlibs/bin/lib/cli.h"

namespace tarnwick::collect_results {

// Value options hold text or are absent. The defaults are the command line's.
struct Options {
  std::optional<std::string> test_config;
  std::optional<std::string> s3_bucket;
  // The tag the test instances uploaded under; empty for a deployment by the program.
  std::optional<std::string> tag = std::string();
  std::optional<std::string> junit;
  std::optional<std::string> summary_json;
  std::optional<std::string> region;
  std::optional<std::string> profile;
};

cli::Parser makeParser();
// The record of what `parser` (from makeParser) accepts in `words`; throws cli::UsageError or
// cli::HelpRequested as cli::Parser::parse does, and std::logic_error for a declared option that
// the record has no field for.
Options parseOptions(const cli::Parser& parser, const std::vector<std::string>& words);

}  // namespace tarnwick::collect_results
