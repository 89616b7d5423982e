// The one process-wide exit status behind every AppExitStatus instance.
#include "tarnwick_testlibs/bin/core/AppExitStatus.h"

#include <cxxabi.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <typeinfo>

namespace tarnwick {
namespace {
std::atomic<int> g_status{kExitOk};
}

// A failure mark is one-way: a later success value must not hide an earlier error.
void AppExitStatus::setStatus(int status) {
  if (status != kExitOk) g_status.store(status);
}

int AppExitStatus::getStatus() const {
  return g_status.load() == kExitOk ? kExitOk : kExitLoggedError;
}

std::string describeFailure(const std::exception& e) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> name(abi::__cxa_demangle(typeid(e).name(), nullptr, nullptr, &status),
                                              std::free);
  return std::string(status == 0 && name ? name.get() : typeid(e).name()) + ": " + e.what();
}

}  // namespace tarnwick
