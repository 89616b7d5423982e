// The program's preferred retry mode, which the user's own choice overrides.
#include "tarnwick_testlibs/aws/retry.h"

#include <mutex>
#include <stdexcept>

#include "transport.h"

namespace aws {
namespace {

std::mutex& modeLock() {
  static std::mutex m;
  return m;
}

std::string& defaultMode() {
  static std::string mode = "standard";
  return mode;
}

}  // namespace

void setDefaultRetryMode(const std::string& mode) {
  if (mode != "standard" && mode != "legacy" && mode != "adaptive")
    throw std::invalid_argument("unknown retry mode " + mode);
  std::lock_guard<std::mutex> g(modeLock());
  defaultMode() = mode;
}

std::string detail::RetryConfig::programDefaultMode() {
  std::lock_guard<std::mutex> g(modeLock());
  return defaultMode();
}

}  // namespace aws
