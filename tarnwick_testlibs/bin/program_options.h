// The command lines of the two programs and their conversion into each program's options record.
#pragma once
#include <string>
#include <vector>

#include "tarnwick_testlibs/bin/lib/cli.h"
#include "tarnwick_testlibs/bin/probe_deployer/options.h"
#include "tarnwick_testlibs/bin/subnet_scout_options.h"

namespace tarnwick::probe_deployer {
cli::Parser makeParser();
// The record of what `parser` (from makeParser) accepts in `words`; throws cli::UsageError or
// cli::HelpRequested as cli::Parser::parse does, and std::logic_error for a declared option that
// the record has no field for.
Options parseOptions(const cli::Parser& parser, const std::vector<std::string>& words);
}  // namespace tarnwick::probe_deployer

namespace tarnwick::subnet_scout {
cli::Parser makeParser();
// As probe_deployer::parseOptions; the spoke options are present only after "spoke".
Options parseOptions(const cli::Parser& parser, const std::vector<std::string>& words);
}  // namespace tarnwick::subnet_scout
