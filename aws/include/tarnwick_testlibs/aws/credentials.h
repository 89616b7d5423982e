// Credentials and the default provider chain, in the order the vendor SDKs use.
#pragma once
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace tarnwick::aws {

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

// Credentials from `fetch` (`initial` until they near their end), fetched again before they
// expire: in the last 15 minutes one caller renews them while the others go on with the current
// ones, in the last 10 minutes every caller waits for the renewal (shorter windows for short-lived
// credentials). A renewal that fails (ServiceError, ClientError) while the current credentials
// are still valid leaves them in use and is tried again half a minute later. `fetch` is never
// called by two threads at once.
std::shared_ptr<CredentialsProvider> refreshingCredentials(std::function<Credentials()> fetch,
                                                           std::optional<Credentials> initial = std::nullopt);

// An expiration time as services write it ("2024-05-01T12:00:00Z", fraction and numeric offset
// allowed); absent when the text is not one.
std::optional<std::chrono::system_clock::time_point> parseExpiration(const std::string& text);

// The vendor SDKs' default chain. The profile is the explicit one, else AWS_DEFAULT_PROFILE, AWS_PROFILE, else
// "default"; an explicit profile skips the environment's keys and web identity settings.
//  1. AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY
//  2. the profile's role_arn (source_profile or credential_source; mfa_serial asks on the terminal)
//  3. web identity: AWS_WEB_IDENTITY_TOKEN_FILE/AWS_ROLE_ARN/AWS_ROLE_SESSION_NAME, else the
//     profile's web_identity_token_file/role_arn/role_session_name
//  4. the profile's SSO settings (sso_session, or sso_start_url and sso_region), with the token
//     that `aws sso login` left in ~/.aws/sso/cache
//  5. the profile's static keys, then its credential_process
//  6. container credentials, then the instance role from the metadata service
// The first source that is configured is used; when it fails, the failure is reported rather than
// the next source tried. A named profile that does not exist throws CredentialsError at
// construction. The sources that ask STS (2 and 3) ask it in AWS_REGION, AWS_DEFAULT_REGION or the
// profile's region, else at the global endpoint; a Session's chain asks in the region of its first
// client first (Session::fromProfile).
std::shared_ptr<CredentialsProvider> defaultChain(const std::optional<std::string>& profile);

}  // namespace tarnwick::aws
