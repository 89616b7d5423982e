#include "tarnwick_testlibs/aws/assume_role.h"

#include <nlohmann/json.hpp>

#include "tarnwick_testlibs/aws/errors.h"
#include "tarnwick_testlibs/aws/views.h"

namespace tarnwick::aws {

namespace {
constexpr const char* kOperation = "AssumeRole";
}  // namespace

Doc assumeRole(StsClient& sts, const RoleToAssume& role, bool renewal) {
  Doc request{{"RoleArn", role.roleArn}, {"RoleSessionName", role.sessionName}};
  if (!role.externalId.empty()) request["ExternalId"] = role.externalId;
  if (role.durationSeconds) request["DurationSeconds"] = *role.durationSeconds;
  if (!role.mfaSerial.empty() && role.mfaCode) {
    request["SerialNumber"] = role.mfaSerial;
    request["TokenCode"] = role.mfaCode(renewal);
  }
  return sts.assume_role(request);
}

Credentials assumedRoleCredentials(const Doc& answer) {
  if (!answer.contains("Credentials"))
    throw ClientError("AssumeRole answered without credentials", FailureKind::kMalformedAnswer);
  const view::Record credentials = view::Record(answer, kOperation).object("Credentials");
  Credentials c;
  c.accessKeyId = credentials.text("AccessKeyId");
  c.secretAccessKey = credentials.text("SecretAccessKey");
  c.sessionToken = credentials.text("SessionToken");
  if (credentials.has("Expiration") && credentials.doc()["Expiration"].is_string())
    c.expiration = parseExpiration(credentials.text("Expiration"));
  return c;
}

std::shared_ptr<CredentialsProvider> assumeRoleCredentials(std::shared_ptr<StsClient> sts, RoleToAssume role,
                                                           std::optional<Credentials> initial) {
  // refreshingCredentials never calls the fetch from two threads at once, so the flag needs no lock.
  auto renewal = std::make_shared<bool>(initial.has_value());
  return refreshingCredentials(
      [sts = std::move(sts), role = std::move(role), renewal] {
        Credentials c = assumedRoleCredentials(assumeRole(*sts, role, *renewal));
        *renewal = true;
        return c;
      },
      std::move(initial));
}

}  // namespace tarnwick::aws
