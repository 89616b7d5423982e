// Internal: the JSON credentials document that credential_process and the container and instance
// endpoints answer with.
#pragma once
#include <string>

#include "tarnwick_testlibs/aws/credentials.h"

namespace tarnwick::aws::detail {

// Keys, token (from the member `tokenMember`) and expiration of `body`; throws CredentialsError
// naming `source` when it is not a JSON object with text keys. No value is ever echoed.
Credentials parseCredentialsDocument(const std::string& body, const char* tokenMember, const std::string& source);

}  // namespace tarnwick::aws::detail
