#include "tarnwick_testlibs/base/files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace tarnwick::files {

namespace {

std::system_error systemError(const std::string& what) { return {errno, std::generic_category(), what}; }

// The process umask without changing it: umask(2) can only be read by setting it, which would
// race with other threads creating files.
mode_t currentUmask() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Umask:", 0) != 0) continue;
    try {
      return static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8));
    } catch (const std::exception&) {
      break;
    }
  }
  return 022;
}

}  // namespace

void requireReplaceable(const std::string& path) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec))
    throw std::system_error(std::make_error_code(std::errc::is_a_directory), "cannot replace " + path);
  const TempFile probe(path);  // removed again at once
}

TempFile::TempFile(const std::string& target) : target_(target) {
  std::filesystem::path t(target);
  std::filesystem::path dir = t.parent_path().empty() ? std::filesystem::path(".") : t.parent_path();
  path_ = (dir / ("." + t.filename().string() + ".tmpXXXXXX")).string();
  fd_ = ::mkstemp(path_.data());
  if (fd_ < 0) throw systemError("cannot create a temporary file beside " + target);
}

TempFile::~TempFile() {
  closeFile();
  if (!committed_) ::unlink(path_.c_str());
}

void TempFile::write(const std::string& content) {
  if (stream_ && std::fflush(stream_) != 0) throw systemError("cannot write " + target_);
  const char* data = content.data();
  std::size_t left = content.size();
  while (left > 0) {
    const ssize_t n = ::write(fd_, data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw systemError("cannot write " + target_);
    data += n;
    left -= static_cast<std::size_t>(n);
  }
}

std::FILE* TempFile::stream() {
  if (!stream_) {
    stream_ = ::fdopen(fd_, "wb");
    if (!stream_) throw systemError("cannot write " + target_);
  }
  return stream_;
}

void TempFile::truncate() {
  if (stream_ && std::fflush(stream_) != 0) throw systemError("cannot write " + target_);
  if (::ftruncate(fd_, 0) != 0 || ::lseek(fd_, 0, SEEK_SET) != 0) throw systemError("cannot truncate " + target_);
  if (stream_) std::rewind(stream_);
}

void TempFile::commit(mode_t mode) {
  if (stream_ && (std::fflush(stream_) != 0 || std::ferror(stream_))) throw systemError("cannot write " + target_);
  if (mode != 0600 && ::fchmod(fd_, mode) != 0) throw systemError("cannot set the mode of " + target_);
  if (::fsync(fd_) != 0 || closeFile() != 0) throw systemError("cannot write " + target_);
  if (::rename(path_.c_str(), target_.c_str()) != 0) throw systemError("cannot replace " + target_);
  committed_ = true;
}

int TempFile::closeFile() {
  int rc = 0;
  if (stream_) {
    rc = std::fclose(stream_);  // closes fd_ too
  } else if (fd_ >= 0) {
    rc = ::close(fd_);
  }
  stream_ = nullptr;
  fd_ = -1;
  return rc;
}

void writeAtomically(const std::string& path, const std::string& content, mode_t mode) {
  TempFile temp(path);
  temp.write(content);
  temp.commit(mode);
}

mode_t modeForReplacing(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return st.st_mode & 07777;
  return 0666 & ~currentUmask();
}

}  // namespace tarnwick::files
