// Internal: the credential sources of the default chain that ask a service for credentials
// (STS role assumption, web identity, the SSO portal).
#pragma once
#include <memory>
#include <string>

#include "tarnwick_testlibs/aws/credentials.h"
#include "config.h"

namespace tarnwick::aws::detail {

using ProviderPtr = std::shared_ptr<CredentialsProvider>;

// A profile's value for `key`, "" when it has none.
std::string valueOf(const Profile& p, const std::string& key);

// Signs nothing: for the calls that carry their own proof (web identity token, SSO token).
ProviderPtr anonymousCredentials();

// "tarnwick-session-<epoch seconds>", for role assumptions that name no session.
std::string generatedSessionName();

// AssumeRole (assumeRoleCredentials) for profile `profile` (its role_arn, role_session_name,
// external_id, duration_seconds, mfa_serial) with the credentials of `source`. With mfa_serial
// every assumption, renewals included, reads a code from the terminal.
ProviderPtr assumeRoleProvider(const std::string& profile, const Profile& settings, ProviderPtr source);

// AssumeRoleWithWebIdentity, each setting from the environment (when `useEnvironment`) else from
// `settings` (may be null). nullptr when no token file is configured; CredentialsError when one is
// but no role is. The token file is read again for every renewal (it rotates).
ProviderPtr webIdentityProvider(const std::string& profile, const Profile* settings, bool useEnvironment);

// GetRoleCredentials of the SSO portal with the token `aws sso login` cached. nullptr when the
// profile has neither sso_account_id nor sso_role_name; CredentialsError when its SSO settings
// are incomplete.
ProviderPtr ssoProvider(const std::string& profile, const Profile& settings);

}  // namespace tarnwick::aws::detail
