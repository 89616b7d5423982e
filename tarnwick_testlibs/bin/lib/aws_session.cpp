// Session set-up shared by both programs: role assumption and the host's instance identity.
#include "tarnwick_testlibs/bin/lib/aws_session.h"

#include <nlohmann/json.hpp>

#include <fmt/format.h>

#include "tarnwick_testlibs/aws/assume_role.h"
#include "tarnwick_testlibs/aws/errors.h"
#include "tarnwick_testlibs/aws/imds.h"
#include "tarnwick_testlibs/aws/partition.h"
#include "tarnwick_testlibs/bin/core/AppExitStatus.h"
#include "tarnwick_testlibs/bin/core/logging.h"
#include "tarnwick_testlibs/bin/core/messages.h"

namespace tarnwick {
namespace {

constexpr const char* kIdentityPath = "/latest/dynamic/instance-identity/document";
constexpr long kExpectedStatus = 200;

logging::Logger& logger() { return logging::getLogger("tarnwick_testlibs"); }

// The profile session, its STS client and the first AssumeRole call: any failure here ends the run.
struct FirstAssumption {
  std::shared_ptr<aws::StsClient> sts;
  aws::Doc answer;
};

FirstAssumption assumeFirst(const aws::RoleToAssume& role, const std::optional<std::string>& profile,
                            const std::optional<std::string>& region) {
  try {
    aws::Session base = aws::Session::fromProfile(profile, region);
    auto sts = base.sts(startRegion(region));
    aws::Doc answer = aws::assumeRole(*sts, role);
    if (!answer.contains("Credentials")) throw ProcessExit(kExitFatal, "AssumeRole answered without credentials");
    return {sts, answer};
  } catch (const aws::ServiceError& e) {
    throw ProcessExit(kExitFatal, e.what());
  } catch (const aws::ClientError& e) {
    throw ProcessExit(kExitFatal, e.what());
  }
}

}  // namespace

std::optional<std::string> startRegion(const std::optional<std::string>& runRegion) {
  if (!runRegion || runRegion->empty() || aws::partitionOf(*runRegion) == "aws") return std::nullopt;
  return runRegion;
}

aws::Session start_aws_session(const std::string& assume_role, const std::optional<std::string>& profile,
                               const std::optional<std::string>& region) {
  aws::RoleToAssume role;
  role.roleArn = assume_role;
  role.sessionName = kRoleSessionName;
  FirstAssumption first = assumeFirst(role, profile, region);
  aws::Credentials initial;
  try {
    initial = aws::assumedRoleCredentials(first.answer);
  } catch (const std::exception&) {
    // No session object can stand in for a failed one, so the run ends here instead of at the
    // caller's first use of it.
    logger().error(messages::sessionFailed());
    throw ProcessExit(kExitFatal, messages::kSessionFailure);
  }
  // Long runs outlive the role's credentials: the session assumes the role again before they end.
  return aws::Session::fromProvider(aws::assumeRoleCredentials(first.sts, role, initial));
}

nlohmann::ordered_json get_aws_metadata() {
  aws::http::Response answer;
  try {
    answer = aws::imds::get(kIdentityPath);
  } catch (const aws::ClientError& e) {
    throw ProcessExit(kExitFatal, fmt::format("instance metadata service: {}", e.what()));
  }
  if (answer.status != kExpectedStatus) {
    logger().info(messages::accountNotDeduced());
    throw ProcessExit(kExitFatal, "");
  }
  auto doc = nlohmann::ordered_json::parse(answer.body, nullptr, false);
  if (doc.is_discarded()) throw ProcessExit(kExitFatal, "the instance identity document is not JSON");
  return doc;
}

}  // namespace tarnwick
