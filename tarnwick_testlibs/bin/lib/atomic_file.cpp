#include "tarnwick_testlibs/bin/lib/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace tarnwick::files {

namespace fs = std::filesystem;

namespace {

std::system_error systemError(const std::string& what) { return {errno, std::generic_category(), what}; }

// The process umask without changing it: umask(2) can only be read by setting it, which would
// race with other threads creating files.
mode_t currentUmask() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Umask:", 0) == 0) {
      try {
        return static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8));
      } catch (const std::exception&) {
        break;
      }
    }
  }
  return 022;
}

// A temporary file beside the target; removed again unless it was renamed into place.
class TempFile {
 public:
  explicit TempFile(const std::string& target) {
    fs::path t(target);
    fs::path dir = t.parent_path().empty() ? fs::path(".") : t.parent_path();
    path_ = (dir / ("." + t.filename().string() + ".tmpXXXXXX")).string();
    fd_ = ::mkstemp(path_.data());  // mode 0600 from the start
    if (fd_ < 0) throw systemError("cannot create a temporary file beside " + target);
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    closeFd();
    if (!committed_) ::unlink(path_.c_str());
  }

  void write(const std::string& content, const std::string& target) {
    const char* data = content.data();
    std::size_t left = content.size();
    while (left > 0) {
      const ssize_t n = ::write(fd_, data, left);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) throw systemError("cannot write " + target);
      data += n;
      left -= static_cast<std::size_t>(n);
    }
  }

  void commitAs(const std::string& target, mode_t mode) {
    if (mode != 0600 && ::fchmod(fd_, mode) != 0) throw systemError("cannot set the mode of " + target);
    if (::fsync(fd_) != 0 || closeFd() != 0) throw systemError("cannot write " + target);
    if (::rename(path_.c_str(), target.c_str()) != 0) throw systemError("cannot replace " + target);
    committed_ = true;
  }

 private:
  int closeFd() {
    if (fd_ < 0) return 0;
    const int rc = ::close(fd_);
    fd_ = -1;
    return rc;
  }

  std::string path_;
  int fd_ = -1;
  bool committed_ = false;
};

}  // namespace

void writeAtomically(const std::string& path, const std::string& content, mode_t mode) {
  TempFile temp(path);
  temp.write(content, path);
  temp.commitAs(path, mode);
}

mode_t modeForReplacing(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return st.st_mode & 07777;
  return 0666 & ~currentUmask();
}

}  // namespace tarnwick::files
