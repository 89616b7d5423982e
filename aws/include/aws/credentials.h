// Credentials and the default provider chain, in the order the vendor SDKs use.
#pragma once
#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace aws {

struct Credentials {
  std::string accessKeyId;
  std::string secretAccessKey;
  std::string sessionToken;  // empty when none
  std::optional<std::chrono::system_clock::time_point> expiration;
};

class CredentialsProvider {
 public:
  virtual ~CredentialsProvider() = default;
  // Current credentials, refreshed before they expire. Throws CredentialsError.
  virtual Credentials get() = 0;
};

std::shared_ptr<CredentialsProvider> staticCredentials(Credentials c);

// Environment, shared credentials/config files (profile: explicit, else AWS_PROFILE, else
// "default"; role_arn with source_profile, credential_process), container credentials, then the
// instance role from the metadata service. A named profile that does not exist throws
// CredentialsError at construction.
std::shared_ptr<CredentialsProvider> defaultChain(const std::optional<std::string>& profile);

}  // namespace aws
