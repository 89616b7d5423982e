// Session set-up shared by both programs: role assumption and the host's instance identity.
#include "tarnwick_testlibs/bin/lib/aws_session.h"

#include <nlohmann/json.hpp>

#include <fmt/format.h>

#include "aws/errors.h"
#include "aws/imds.h"
#include "tarnwick_testlibs/bin/core/AppExitStatus.h"
#include "tarnwick_testlibs/bin/core/logging.h"

namespace tarnwick {
namespace {

constexpr const char* kErrorPrefix = "  **Error** ";
constexpr const char* kSessionFailure = "The AWS new session attempt has failed";
constexpr const char* kIdentityPath = "/latest/dynamic/instance-identity/document";
constexpr long kExpectedStatus = 200;
constexpr const char* kMetadataFailure = "  **Error** failed to deduce workflow account number from meta data";

logging::Logger& logger() { return logging::getLogger("tarnwick_testlibs"); }

// The profile session, its STS client and the AssumeRole call: any failure here ends the run.
aws::Doc assumedRoleCredentials(const std::string& assume_role, const std::optional<std::string>& profile) {
  try {
    aws::Session base = aws::Session::fromProfile(profile);
    aws::Doc answer = base.sts()->assume_role(
        aws::Doc{{"RoleArn", assume_role}, {"RoleSessionName", kRoleSessionName}});
    return answer.at("Credentials");
  } catch (const aws::ServiceError& e) {
    throw ProcessExit(kExitFatal, e.what());
  } catch (const aws::ClientError& e) {
    throw ProcessExit(kExitFatal, e.what());
  } catch (const nlohmann::json::exception& e) {
    throw ProcessExit(kExitFatal, fmt::format("AssumeRole answered without credentials: {}", e.what()));
  }
}

aws::Session sessionFrom(const aws::Doc& credentials) {
  aws::Credentials c;
  c.accessKeyId = credentials.at("AccessKeyId").get<std::string>();
  c.secretAccessKey = credentials.at("SecretAccessKey").get<std::string>();
  c.sessionToken = credentials.at("SessionToken").get<std::string>();
  return aws::Session::fromCredentials(c);
}

}  // namespace

aws::Session start_aws_session(const std::string& assume_role, const std::optional<std::string>& profile) {
  aws::Doc credentials = assumedRoleCredentials(assume_role, profile);
  try {
    return sessionFrom(credentials);
  } catch (const std::exception&) {
    // No session object can stand in for a failed one, so the run ends here instead of at the
    // caller's first use of it.
    logger().error(std::string(kErrorPrefix) + kSessionFailure);
    throw ProcessExit(kExitFatal, kSessionFailure);
  }
}

nlohmann::ordered_json get_aws_metadata() {
  aws::http::Response answer;
  try {
    answer = aws::imds::get(kIdentityPath);
  } catch (const aws::ClientError& e) {
    throw ProcessExit(kExitFatal, fmt::format("instance metadata service: {}", e.what()));
  }
  if (answer.status != kExpectedStatus) {
    logger().info(kMetadataFailure);
    throw ProcessExit(kExitFatal, "");
  }
  auto doc = nlohmann::ordered_json::parse(answer.body, nullptr, false);
  if (doc.is_discarded())
    throw ProcessExit(kExitFatal, "the instance identity document is not JSON");
  return doc;
}

}  // namespace tarnwick
