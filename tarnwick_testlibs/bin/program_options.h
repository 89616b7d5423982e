// The command lines of the two programs.
#pragma once
#include "tarnwick_testlibs/bin/lib/cli.h"

namespace tarnwick::probe_deployer {
cli::Parser makeParser();
}  // namespace tarnwick::probe_deployer

namespace tarnwick::subnet_scout {
cli::Parser makeParser();
}  // namespace tarnwick::subnet_scout
