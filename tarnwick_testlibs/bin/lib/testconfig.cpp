// Reading, serialising and writing the test configuration file.
#include "tarnwick_testlibs/bin/lib/testconfig.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "tarnwick_testlibs/bin/core/logging.h"

namespace tarnwick::testconfig {

namespace fs = std::filesystem;

namespace {

std::runtime_error fileError(const std::string& path, const std::string& what) {
  return std::runtime_error(fmt::format("test configuration file {}: {}", path, what));
}

std::string systemError() { return std::strerror(errno); }

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
    fd_ = ::mkstemp(path_.data());
    if (fd_ < 0) throw fileError(target, "cannot create a temporary file: " + systemError());
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!committed_) ::unlink(path_.c_str());
  }

  bool write(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
      ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  bool chmod(mode_t mode) { return ::fchmod(fd_, mode) == 0; }
  bool close() {
    int rc = ::fsync(fd_);
    rc |= ::close(fd_);
    fd_ = -1;
    return rc == 0;
  }
  bool renameTo(const std::string& target) {
    committed_ = ::rename(path_.c_str(), target.c_str()) == 0;
    return committed_;
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool committed_ = false;
};

// A replaced file keeps its mode; a new one gets the mode an ordinary create would give it.
mode_t targetMode(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return st.st_mode & 07777;
  return 0666 & ~currentUmask();
}

}  // namespace

nlohmann::ordered_json read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw fileError(path, "cannot be opened: " + systemError());
  std::stringstream text;
  text << in.rdbuf();
  if (in.bad()) throw fileError(path, "cannot be read");

  nlohmann::ordered_json doc;
  try {
    doc = nlohmann::ordered_json::parse(text.str());
  } catch (const nlohmann::json::parse_error& e) {
    throw fileError(path, std::string("is not valid JSON: ") + e.what());
  }
  if (!doc.is_array()) throw fileError(path, "is not a JSON array");
  for (const auto& entry : doc) {
    if (!entry.is_object()) throw fileError(path, "holds an entry that is not a JSON object");
  }
  return doc;
}

std::string serialize(const nlohmann::ordered_json& doc) { return doc.dump(2, ' ', true); }

void writeAtomically(const std::string& path, const nlohmann::ordered_json& doc) {
  std::string text = serialize(doc) + "\n";
  TempFile tmp(path);
  if (!tmp.write(text)) throw fileError(path, "cannot be written: " + systemError());
  if (!tmp.chmod(targetMode(path))) throw fileError(path, "cannot set the file mode: " + systemError());
  if (!tmp.close()) throw fileError(path, "cannot be written: " + systemError());
  if (!tmp.renameTo(path)) throw fileError(path, "cannot be replaced: " + systemError());
}

void logAndWrite(const std::string& loggerName, const nlohmann::ordered_json& doc, const std::string& path) {
  auto& log = logging::getLogger(loggerName);
  log.info("test.config:");
  log.info(serialize(doc));
  writeAtomically(path, doc);
}

}  // namespace tarnwick::testconfig
