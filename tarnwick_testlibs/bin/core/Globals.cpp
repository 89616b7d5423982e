#include "tarnwick_testlibs/bin/core/Globals.h"

namespace tarnwick {

bool Globals::dry_run = false;
std::string Globals::TEST_CONFIG;

}  // namespace tarnwick
