// Fuzz target: the shared config and credentials files, read for the default profile. Each input
// is written to one scratch file that serves as both.
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "config.h"

namespace {

struct ScratchFile {
  std::string path = (std::filesystem::temp_directory_path() / "fuzz-profile-XXXXXX").string();
  ScratchFile() {
    ::close(::mkstemp(path.data()));
    ::setenv("AWS_CONFIG_FILE", path.c_str(), 1);
    ::setenv("AWS_SHARED_CREDENTIALS_FILE", path.c_str(), 1);
  }
  ~ScratchFile() { ::unlink(path.c_str()); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const ScratchFile file;
  std::ofstream(file.path, std::ios::binary).write(reinterpret_cast<const char*>(data), static_cast<long>(size));
  tarnwick::aws::detail::loadProfile("default");
  return 0;
}
