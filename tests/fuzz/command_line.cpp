// Fuzz target: both programs' command lines, one word per input line, parsed into their options
// records and masked for the command banner.
#include <cstdint>
#include <string_view>

#include "tarnwick_testlibs/bin/probe_deployer/command_line.h"
#include "tarnwick_testlibs/bin/subnet_scout_options.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace cli = tarnwick::cli;
  static const cli::Parser deployer = tarnwick::probe_deployer::makeParser();
  static const cli::Parser scout = tarnwick::subnet_scout::makeParser();
  const auto words = cli::splitAt(std::string_view(reinterpret_cast<const char*>(data), size), '\n');
  try {
    tarnwick::probe_deployer::parseOptions(deployer, words);
    deployer.maskSecrets(words);
  } catch (const cli::UsageError&) {
  } catch (const cli::HelpRequested&) {
  }
  try {
    tarnwick::subnet_scout::parseOptions(scout, words);
    scout.maskSecrets(words);
  } catch (const cli::UsageError&) {
  } catch (const cli::HelpRequested&) {
  }
  return 0;
}
