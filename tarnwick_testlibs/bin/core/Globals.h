// Process-wide run settings that the run flows write and the library modules read.
#pragma once
#include <string>

namespace tarnwick {

// One process-wide record; written on the main thread before any worker starts.
struct Globals {
  static bool dry_run;             // bucket transfers are logged but not performed when true
  static std::string TEST_CONFIG;  // where the searches write the test configuration
};

}  // namespace tarnwick
