// How the service clients retry: the mode a program prefers when its user chose none.
#pragma once
#include <string>

namespace aws {

// Clients opened afterwards use `mode` ("standard", "legacy" or "adaptive") unless the user
// chose one (AWS_RETRY_MODE, or the profile's retry_mode). Unknown modes throw
// std::invalid_argument. Meant for a program's start, before any client exists.
void setDefaultRetryMode(const std::string& mode);

}  // namespace aws
