// The one process-wide exit status behind every AppExitStatus instance.
#include "tarnwick_testlibs/bin/core/AppExitStatus.h"

#include <atomic>

namespace tarnwick {
namespace {
std::atomic<int> g_status{kExitOk};
}

// A failure mark is one-way: a later success value must not hide an earlier error.
void AppExitStatus::setStatus(int status) {
  if (status != kExitOk) g_status.store(status);
}

int AppExitStatus::getStatus() const { return g_status.load() == kExitOk ? kExitOk : kExitLoggedError; }

std::string describeFailure(const std::exception& e) {
  const std::string what = e.what();
  return what.empty() ? "unexpected failure" : what;
}

}  // namespace tarnwick
