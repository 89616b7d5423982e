// The run flow of subnet_scout: parse, set up logging, open sessions, run one search, exit.
#include "tarnwick_testlibs/bin/subnet_scout.h"

#include "tarnwick_testlibs/bin/core/AppExitStatus.h"
#include "tarnwick_testlibs/bin/core/logging.h"
#include "tarnwick_testlibs/bin/lib/runkit.h"
#include "tarnwick_testlibs/bin/program_options.h"

namespace tarnwick::subnet_scout {

namespace {

constexpr const char* kLogger = "tarnwick_testlibs";

int run(int argc, char** argv) {
  const cli::Parser parser = makeParser();
  const std::vector<std::string> words = cli::argumentWords(argc, argv);
  const cli::Args args = parser.parse(words);

  Common::initLogLocation(args.value("backup_folder"));
  // The controller password may stand on the command line; it never reaches a log.
  Common::logCommandOptions("subnet_scout " + cli::joinWords(parser.maskSecrets(words)));
  [[maybe_unused]] logging::Logger& log = logging::getLogger(kLogger);

  return AppExitStatus().getStatus();
}

}  // namespace

int main(int argc, char** argv) {
  return cli::runProgram("subnet_scout", [&] { return run(argc, argv); });
}

}  // namespace tarnwick::subnet_scout
