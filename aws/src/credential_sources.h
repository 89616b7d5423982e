// Internal: the credential sources of the default chain that ask a service for credentials
// (STS role assumption, web identity, the SSO portal).
#pragma once
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "config.h"
#include "tarnwick_testlibs/aws/credentials.h"

namespace tarnwick::aws::detail {

using ProviderPtr = std::shared_ptr<CredentialsProvider>;

// The region a chain asks STS in (a profile's role, web identity), chosen as the vendor's Python
// SDK chooses it: the region of the first client made from the session, else the environment's
// or the profile's, else the region the run works in; "" (the global endpoint) when none is known.
// The global endpoint cannot issue credentials for the other partitions, and private runners
// often cannot reach it.
class StsRegion {
 public:
  explicit StsRegion(std::optional<std::string> runRegion = std::nullopt) : runRegion_(std::move(runRegion)) {}
  // A client is being made in `region` (absent: the session's default); only the first counts,
  // so that renewals keep asking where the first credentials came from.
  void clientMade(const std::optional<std::string>& region);
  // Read at every call, so that a renewal hours later sees what the files and environment say then.
  std::string forProfile(const std::string& profile) const;

 private:
  mutable std::mutex lock_;
  bool made_ = false;
  std::optional<std::string> clientRegion_;
  std::optional<std::string> runRegion_;
};
using StsRegionPtr = std::shared_ptr<const StsRegion>;

// The default chain whose STS calls go to `region`'s choice.
ProviderPtr defaultChain(const std::optional<std::string>& profile, StsRegionPtr region);

// A profile's value for `key`, "" when it has none.
std::string valueOf(const Profile& p, const std::string& key);

// Signs nothing: for the calls that carry their own proof (web identity token, SSO token).
ProviderPtr anonymousCredentials();

// "tarnwick-session-<epoch seconds>", for role assumptions that name no session.
std::string generatedSessionName();

// AssumeRole (assumeRoleCredentials) for profile `profile` (its role_arn, role_session_name,
// external_id, duration_seconds, mfa_serial) with the credentials of `source`, at STS in `region`.
// With mfa_serial every assumption, renewals included, reads a code from the terminal.
ProviderPtr assumeRoleProvider(const std::string& profile, const Profile& settings, ProviderPtr source,
                               StsRegionPtr region);

// AssumeRoleWithWebIdentity at STS in `region`, each setting from the environment (when
// `useEnvironment`) else from `settings` (may be null). nullptr when no token file is configured;
// CredentialsError when one is but no role is. The token file is read again for every renewal
// (it rotates).
ProviderPtr webIdentityProvider(const std::string& profile, const Profile* settings, bool useEnvironment,
                                StsRegionPtr region);

// GetRoleCredentials of the SSO portal with the token `aws sso login` cached. nullptr when the
// profile has neither sso_account_id nor sso_role_name; CredentialsError when its SSO settings
// are incomplete.
ProviderPtr ssoProvider(const std::string& profile, const Profile& settings);

}  // namespace tarnwick::aws::detail
