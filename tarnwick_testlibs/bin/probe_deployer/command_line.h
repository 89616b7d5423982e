// The command line of probe_deployer and its conversion into the options record. The program's
// own: a workflow fills the record itself.
#pragma once
#include <string>
#include <vector>

#include "tarnwick_testlibs/bin/lib/cli.h"
#include "tarnwick_testlibs/bin/probe_deployer/options.h"

namespace tarnwick::probe_deployer {

cli::Parser makeParser();
// The record of what `parser` (from makeParser) accepts in `words`; throws cli::UsageError or
// cli::HelpRequested as cli::Parser::parse does, and std::logic_error for a declared option that
// the record has no field for.
Options parseOptions(const cli::Parser& parser, const std::vector<std::string>& words);

}  // namespace tarnwick::probe_deployer
