// Files that are replaced whole or not at all, and never readable by others while written.
#pragma once
#include <sys/types.h>

#include <string>

namespace tarnwick::files {

// Writes `content` to a temporary file beside `path` (created with mode 0600), gives it `mode`,
// and renames it over `path`. Throws std::system_error naming the file; on failure `path` is
// untouched and no temporary file is left.
void writeAtomically(const std::string& path, const std::string& content, mode_t mode = 0600);

// The mode an existing `path` has, or the mode a newly created file would get under the umask.
mode_t modeForReplacing(const std::string& path);

}  // namespace tarnwick::files
