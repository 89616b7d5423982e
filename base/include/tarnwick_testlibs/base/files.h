// Files that are replaced whole or not at all, and never readable by others while written.
#pragma once
#include <sys/types.h>

#include <cstdio>
#include <string>

namespace tarnwick::files {

// Created with an unguessable name, O_EXCL and mode 0600 (mkstemp), in the target's folder so
// that the final rename stays on one file system. Removed again unless it was committed.
// Failures throw std::system_error naming the target.
class TempFile {
 public:
  explicit TempFile(const std::string& target);
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile();

  const std::string& path() const { return path_; }
  const std::string& target() const { return target_; }

  void write(const std::string& content);
  // A stdio stream over the file, for writers that want one; owned by this object.
  std::FILE* stream();
  // Empties the file again (a transfer that starts over).
  void truncate();
  // Flushes and syncs the file, gives it `mode` and renames it over the target.
  void commit(mode_t mode = 0600);

 private:
  int closeFile();

  std::string target_;
  std::string path_;
  int fd_ = -1;
  std::FILE* stream_ = nullptr;
  bool committed_ = false;
};

// Writes `content` to a TempFile beside `path`, gives it `mode`, and renames it over `path`.
// Throws std::system_error naming the file; on failure `path` is untouched and no temporary
// file is left.
void writeAtomically(const std::string& path, const std::string& content, mode_t mode = 0600);

// Throws std::system_error naming `path` when writeAtomically could not replace it: its folder
// takes no new file, or `path` is a folder. Lets a run refuse an unwritable output before it
// changes anything rather than after.
void requireReplaceable(const std::string& path);

// The mode an existing `path` has, or the mode a newly created file would get under the umask.
mode_t modeForReplacing(const std::string& path);

}  // namespace tarnwick::files
