#include "tarnwick_testlibs/base/terminal.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace tarnwick::terminal {

namespace {

// Switches echo off on a terminal for its lifetime; does nothing on anything else.
class EchoOff {
 public:
  explicit EchoOff(int fd) : fd_(fd) {
    if (::tcgetattr(fd_, &saved_) != 0) return;
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
  bool active_ = false;
};

}  // namespace

FileDescriptor open() { return FileDescriptor(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC)); }

std::string readHiddenLine(int fd) {
  EchoOff quiet(fd);
  std::string line;
  char c = 0;
  while (::read(fd, &c, 1) == 1 && c != '\n') line += c;
  return line;
}

void write(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n <= 0) return;
    text.remove_prefix(static_cast<size_t>(n));
  }
}

}  // namespace tarnwick::terminal
