// Fuzz target: both programs' command lines, one word per input line, parsed and masked for the
// command banner.
#include <cstdint>
#include <string_view>

#include "tarnwick_testlibs/bin/program_options.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace cli = tarnwick::cli;
  static const cli::Parser parsers[] = {tarnwick::probe_deployer::makeParser(), tarnwick::subnet_scout::makeParser()};
  const auto words = cli::splitAt(std::string_view(reinterpret_cast<const char*>(data), size), '\n');
  for (const auto& parser : parsers) {
    try {
      parser.parse(words);
      parser.maskSecrets(words);
    } catch (const cli::UsageError&) {
    } catch (const cli::HelpRequested&) {
    }
  }
  return 0;
}
