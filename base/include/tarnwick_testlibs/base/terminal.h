// Secrets typed at a terminal (passwords, MFA codes): prompted for on the terminal itself and
// read without echo, so that they appear neither on screen nor in a captured output stream.
#pragma once
#include <string>
#include <string_view>

#include "tarnwick_testlibs/base/descriptor.h"

namespace tarnwick::terminal {

// The process's controlling terminal, open for reading and writing and closed on exec; holds
// nothing when the process has none (a CI runner, a service).
FileDescriptor open();

// One line from `fd` without its "\n" (nor anything else removed), read byte by byte so that
// nothing after it is consumed. When `fd` is a terminal, what is typed is not echoed; the
// terminal's settings are restored before it returns, and also when SIGINT, SIGTERM or SIGHUP
// (at their default handling) end the process meanwhile, as they then still do.
std::string readHiddenLine(int fd);

// Shows `prompt` on the terminal `fd`, reads the answer as readHiddenLine does and then ends the
// line that the hidden answer left open.
std::string askHidden(int fd, std::string_view prompt);

// Writes all of `text` to `fd`; gives up quietly, since a prompt that cannot be shown is no
// reason to fail.
void write(int fd, std::string_view text);

}  // namespace tarnwick::terminal
