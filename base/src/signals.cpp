// SIGTERM and SIGINT handled by the program: the handler records the signal and wakes a watcher
// thread, which does what a handler may not (locks, allocation) and ends the process when the run
// outlives its deadline.
#include "tarnwick_testlibs/base/signals.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <iterator>
#include <stdexcept>

namespace tarnwick::signals {

namespace {

constexpr int kHandled[] = {SIGTERM, SIGINT};
// What the destructor writes to the pipe; a signal writes its own number.
constexpr unsigned char kClosing = 0;

// All the handler reads or writes: lock-free atomics, which a handler may use.
std::atomic<int> firstSignal{0};
std::atomic<int> wakeFd{-1};
std::atomic<bool> installed{false};
static_assert(std::atomic<int>::is_always_lock_free);
char endingLine[160];  // written once, before the handlers are installed
size_t endingLength = 0;
struct sigaction previous[std::size(kHandled)];

void say(const char* text, size_t length) {
  if (::write(STDERR_FILENO, text, length) < 0) {
    // Nowhere left to tell.
  }
}

[[noreturn]] void endNow(int signal) {
  say(endingLine, endingLength);
  ::_exit(128 + signal);
}

extern "C" void onSignal(int signal) {
  int none = 0;
  if (!firstSignal.compare_exchange_strong(none, signal)) endNow(none);  // `none` now holds the first
  const unsigned char byte = static_cast<unsigned char>(signal);
  const int fd = wakeFd.load();
  if (fd >= 0 && ::write(fd, &byte, 1) < 0) {
    // The watcher is gone: the run is ending anyway.
  }
}

// One byte from `fd`, retried when a signal interrupted the read; kClosing at end of file.
unsigned char readByte(int fd) {
  unsigned char byte = kClosing;
  for (;;) {
    const ssize_t n = ::read(fd, &byte, 1);
    if (n >= 0 || errno != EINTR) return n == 1 ? byte : kClosing;
  }
}

}  // namespace

StopOnSignals::StopOnSignals(const std::string& program, std::function<void(int)> onFirst,
                             std::chrono::milliseconds deadline)
    : onFirst_(std::move(onFirst)), deadline_(deadline) {
  if (installed.exchange(true)) throw std::logic_error("signals are handled by another StopOnSignals already");
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    installed = false;
    throw std::runtime_error(std::string("cannot make a pipe for the signals: ") + std::strerror(errno));
  }
  readEnd_.reset(fds[0]);
  writeEnd_.reset(fds[1]);
  const std::string line = program + ": stopping took too long or was asked again: ending now\n";
  endingLength = std::min(line.size(), sizeof endingLine);
  std::memcpy(endingLine, line.data(), endingLength);
  firstSignal = 0;
  wakeFd = writeEnd_.get();
  watcher_ = std::thread([this] { watch(); });
  for (size_t i = 0; i < std::size(kHandled); ++i) {
    struct sigaction mine {};
    mine.sa_handler = onSignal;
    mine.sa_flags = SA_RESTART;
    ::sigemptyset(&mine.sa_mask);
    ::sigaction(kHandled[i], &mine, &previous[i]);
  }
}

StopOnSignals::~StopOnSignals() {
  for (size_t i = 0; i < std::size(kHandled); ++i) ::sigaction(kHandled[i], &previous[i], nullptr);
  wakeFd = -1;
  const unsigned char closing = kClosing;
  if (::write(writeEnd_.get(), &closing, 1) < 0) {
    // The watcher then ends when the write end closes.
    writeEnd_.reset();
  }
  watcher_.join();
  installed = false;
}

int StopOnSignals::received() noexcept { return firstSignal.load(); }

const char* StopOnSignals::name(int signal) noexcept { return signal == SIGINT ? "SIGINT" : "SIGTERM"; }

void StopOnSignals::watch() {
  const unsigned char signal = readByte(readEnd_.get());
  if (signal == kClosing) return;
  onFirst_(signal);
  const auto deadline = std::chrono::steady_clock::now() + deadline_;
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) endNow(signal);
    pollfd wake{readEnd_.get(), POLLIN, 0};
    const int ready = ::poll(&wake, 1, static_cast<int>(left.count()));
    if (ready > 0 && readByte(readEnd_.get()) == kClosing) return;
  }
}

}  // namespace tarnwick::signals
