// Role assumption through STS: a role's credentials, assumed again before they run out. The one
// path for every role this layer or a workflow assumes, so that renewal and MFA behave alike.
#pragma once
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "tarnwick_testlibs/aws/credentials.h"
#include "tarnwick_testlibs/aws/services.h"

namespace tarnwick::aws {

struct RoleToAssume {
  std::string roleArn;
  std::string sessionName;
  std::string externalId;              // not sent when empty
  std::optional<int> durationSeconds;  // the role's own default when absent
  // With a device named, every assumption sends a fresh code from `mfaCode` (a code is good for
  // one assumption only); `renewal` tells it that earlier credentials are being renewed, when
  // whoever typed the first code may be gone.
  std::string mfaSerial;
  std::function<std::string(bool renewal)> mfaCode;
};

// One AssumeRole call for `role` through `sts`: the answer as the client gives it. Failures are
// the client's (ServiceError, ClientError), and those of `mfaCode`.
Doc assumeRole(StsClient& sts, const RoleToAssume& role, bool renewal = false);

// The credentials of an AssumeRole answer. ClientError(kMalformedAnswer) when it carries none or
// they lack a key; an Expiration that is not a time reads as none.
Credentials assumedRoleCredentials(const Doc& answer);

// The credentials of `role`, assumed through `sts` when first asked for (or taken from `initial`,
// the result of a first assumption the caller made itself) and again before they expire, as
// refreshingCredentials renews.
std::shared_ptr<CredentialsProvider> assumeRoleCredentials(std::shared_ptr<StsClient> sts, RoleToAssume role,
                                                           std::optional<Credentials> initial = std::nullopt);

}  // namespace tarnwick::aws
