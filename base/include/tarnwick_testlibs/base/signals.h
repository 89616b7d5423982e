// The ending signals a program handles itself, so that a cancelled job can stop its work and
// write what it has before it ends.
#pragma once
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "tarnwick_testlibs/base/descriptor.h"

namespace tarnwick::signals {

// While it lives, SIGTERM and SIGINT no longer end the process at once. The first one is handed
// to `onFirst` (with its number) on a thread of this object's own; the handler itself only
// records the signal and writes to a pipe. The process ends at once, with 128 plus the first
// signal's number as a shell reports a process such a signal killed, on a second signal, or
// when it still runs `deadline` after the first. One at a time per process; the destructor
// restores the handlers there were before.
class StopOnSignals {
 public:
  // `program` names the process in the one line written to standard error when it is ended at once.
  StopOnSignals(const std::string& program, std::function<void(int signal)> onFirst,
                std::chrono::milliseconds deadline);
  ~StopOnSignals();
  StopOnSignals(const StopOnSignals&) = delete;
  StopOnSignals& operator=(const StopOnSignals&) = delete;

  // The first signal's number; 0 while none came.
  static int received() noexcept;
  // "SIGTERM" or "SIGINT".
  static const char* name(int signal) noexcept;

 private:
  void watch();

  std::function<void(int)> onFirst_;
  std::chrono::milliseconds deadline_;
  FileDescriptor readEnd_, writeEnd_;
  std::thread watcher_;
};

}  // namespace tarnwick::signals
