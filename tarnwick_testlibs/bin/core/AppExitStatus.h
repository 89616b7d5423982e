// The process exit status holder, and the one exception type that ends the process with a status.
#pragma once
#include <stdexcept>
#include <string>

namespace tarnwick {

// Exit codes of both programs.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFatal = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitLoggedError = 40;

// Every instance sees the same process-wide status; it starts at success and, once set, stays set.
class AppExitStatus {
 public:
  AppExitStatus() = default;
  void setStatus(int status);
  int getStatus() const;  // 0, or 40 once any error was latched
};

// "This process ends now with status N": thrown by library code, caught only by a program's main,
// which prints the diagnostic (when not empty) on standard error and returns the status.
class ProcessExit : public std::runtime_error {
 public:
  ProcessExit(int status, const std::string& diagnostic) : std::runtime_error(diagnostic), status_(status) {}
  int status() const { return status_; }

 private:
  int status_;
};

// The one-line diagnostic that stands in for a call trace: the failure's own message, which the
// AWS layer writes as the vendor SDKs do ("An error occurred (Code) when calling ..."). Users read
// it, so it names no type of this program's code.
std::string describeFailure(const std::exception& e);

}  // namespace tarnwick
