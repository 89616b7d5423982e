// Fuzz target: the credentials document of credential_process and the container and instance
// endpoints, expiry time included.
#include <cstdint>
#include <string>

#include "tarnwick_testlibs/aws/errors.h"
#include "credentials_document.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    tarnwick::aws::detail::parseCredentialsDocument(std::string(reinterpret_cast<const char*>(data), size), "Token", "fuzz");
  } catch (const tarnwick::aws::CredentialsError&) {
  }
  return 0;
}
