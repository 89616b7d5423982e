#include "tarnwick_testlibs/bin/core/AppExitStatus.h"

#include <atomic>

namespace tarnwick {
namespace {
std::atomic<int> g_status{kExitOk};
}

void AppExitStatus::setStatus(int status) { g_status.store(status); }

int AppExitStatus::getStatus() const { return g_status.load() == kExitOk ? kExitOk : kExitLoggedError; }

}  // namespace tarnwick
