#include "tarnwick_testlibs/base/terminal.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <iterator>
#include <optional>

namespace tarnwick::terminal {

namespace {

// The signals that end a process whose user gives up at a prompt (Ctrl-C, a closed terminal
// window, a kill); left at their default they would leave the terminal without echo.
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};

// What the handler needs to give the terminal back. Only the first prompt of the process that
// is waiting owns it; a handler can read nothing but plain data.
std::atomic<bool> promptWaiting{false};
volatile sig_atomic_t waitingFd = -1;
termios waitingSettings{};

extern "C" void restoreAndEnd(int sig) {
  const int fd = waitingFd;
  if (fd >= 0) {
    ::tcsetattr(fd, TCSAFLUSH, &waitingSettings);
    if (::write(fd, "\n", 1) < 0) {
    }
  }
  // Ends the process as the signal would have, so that the caller sees 128 + sig.
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  ::sigaction(sig, &fallback, nullptr);
  ::raise(sig);
}

// While it lives, the ending signals that are at their default first restore `settings` on `fd`.
// Signals the process ignores or handles itself are left alone.
class RestoreOnSignal {
 public:
  RestoreOnSignal(int fd, const termios& settings) : owner_(!promptWaiting.exchange(true)) {
    if (!owner_) return;
    waitingSettings = settings;
    waitingFd = fd;
    for (size_t i = 0; i < std::size(kEndingSignals); ++i) {
      struct sigaction mine {};
      mine.sa_handler = restoreAndEnd;
      ::sigemptyset(&mine.sa_mask);
      installed_[i] = ::sigaction(kEndingSignals[i], nullptr, &previous_[i]) == 0 &&
                      previous_[i].sa_handler == SIG_DFL && ::sigaction(kEndingSignals[i], &mine, nullptr) == 0;
    }
  }
  ~RestoreOnSignal() {
    if (!owner_) return;
    for (size_t i = 0; i < std::size(kEndingSignals); ++i)
      if (installed_[i]) ::sigaction(kEndingSignals[i], &previous_[i], nullptr);
    waitingFd = -1;
    promptWaiting = false;
  }
  RestoreOnSignal(const RestoreOnSignal&) = delete;
  RestoreOnSignal& operator=(const RestoreOnSignal&) = delete;

 private:
  bool owner_;
  bool installed_[std::size(kEndingSignals)] = {};
  struct sigaction previous_[std::size(kEndingSignals)] = {};
};

// Switches echo off on a terminal for its lifetime; does nothing on anything else.
class EchoOff {
 public:
  explicit EchoOff(int fd) : fd_(fd) {
    if (::tcgetattr(fd_, &saved_) != 0) return;
    restore_.emplace(fd_, saved_);
    termios quiet = saved_;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    active_ = ::tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
  }
  ~EchoOff() {
    if (active_) ::tcsetattr(fd_, TCSAFLUSH, &saved_);
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

 private:
  int fd_;
  termios saved_{};
  std::optional<RestoreOnSignal> restore_;
  bool active_ = false;
};

std::string readLine(int fd) {
  std::string line;
  char c = 0;
  for (;;) {
    const ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n != 1 || c == '\n') return line;
    line += c;
  }
}

}  // namespace

FileDescriptor open() { return FileDescriptor(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC)); }

std::string readHiddenLine(int fd) {
  EchoOff quiet(fd);
  return readLine(fd);
}

std::string askHidden(int fd, std::string_view prompt) {
  std::string answer;
  {
    // Echo goes off before the prompt shows, so that nothing typed at once is echoed.
    EchoOff quiet(fd);
    write(fd, prompt);
    answer = readLine(fd);
  }
  write(fd, "\n");
  return answer;
}

void write(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<size_t>(n));
  }
}

}  // namespace tarnwick::terminal
