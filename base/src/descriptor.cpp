#include "tarnwick_testlibs/base/descriptor.h"

#include <unistd.h>

namespace tarnwick {

void FileDescriptor::reset(int fd) noexcept {
  // Not retried on EINTR: on Linux the descriptor is released even then, and a second close could
  // hit one that another thread has just been given.
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

}  // namespace tarnwick
