// Fuzz target: the credentials document of credential_process and the container and instance
// endpoints, expiry time included.
#include <cstdint>
#include <string>

#include "credentials_document.h"
#include "tarnwick_testlibs/aws/errors.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    tarnwick::aws::detail::parseCredentialsDocument(std::string(reinterpret_cast<const char*>(data), size), "Token",
                                                    "fuzz");
  } catch (const tarnwick::aws::CredentialsError&) {
  }
  return 0;
}
