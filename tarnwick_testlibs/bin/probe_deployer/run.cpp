// The run flow of probe_deployer: parse, set up logging, check the options, run a mode, exit.
#include "tarnwick_testlibs/bin/core/AppExitStatus.h"
#include "tarnwick_testlibs/bin/core/Globals.h"
#include "tarnwick_testlibs/bin/core/logging.h"
#include "tarnwick_testlibs/bin/lib/runkit.h"
#include "tarnwick_testlibs/bin/probe_deployer.h"
#include "tarnwick_testlibs/bin/program_options.h"

namespace tarnwick::probe_deployer {

namespace {

bool tagPairsComplete(const std::string& tag_resource) {
  return cli::splitAt(tag_resource, ',').size() % 2 == 0;
}

int run(int argc, char** argv) {
  const cli::Parser parser = makeParser();
  const std::vector<std::string> words = cli::argumentWords(argc, argv);
  const Args args = parser.parse(words);

  Common::initLogLocation(args.value("backup_folder"));
  Common::logCommandOptions("probe_deployer " + cli::joinWords(words));
  logging::Logger& log = logging::getLogger(kLogger);

  Globals::dry_run = args.flag("dry_run");

  if (auto tags = args.get("tag_resource"); tags && !tagPairsComplete(*tags)) {
    log.info("**Error** incomplete tag_resource pair");
    throw ProcessExit(kExitFatal, "");
  }

  return AppExitStatus().getStatus();
}

}  // namespace

int main(int argc, char** argv) {
  return cli::runProgram("probe_deployer", [&] { return run(argc, argv); });
}

}  // namespace tarnwick::probe_deployer
