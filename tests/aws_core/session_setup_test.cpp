// The host's instance identity document through a fake metadata service.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tarnwick_testlibs/aws/clock.h"
#include "tarnwick_testlibs/bin/core/AppExitStatus.h"
#include "tarnwick_testlibs/bin/lib/aws_session.h"
#include "testbed/fake_server.h"
#include "testbed/log_capture.h"

namespace {

using Json = nlohmann::ordered_json;
using testbed::FakeServer;
constexpr const char* kDocumentPath = "/latest/dynamic/instance-identity/document";

struct Host {
  const char* name;
  long tokenStatus;    // answer to PUT /latest/api/token
  bool requiresToken;  // GETs without a token get 401
  long documentStatus;
};

Json fixtureFor(const Host& h) {
  Json f = {{"requireToken", h.requiresToken},
            {"token", "T-" + std::string(h.name)},
            {"identity", {{"accountId", "123456789012"}, {"region", "eu-west-1"}, {"instanceId", "i-1"}}}};
  if (h.tokenStatus != 200) f["tokenStatus"] = h.tokenStatus;
  if (h.documentStatus == 404) f["routes"] = {{{"path", kDocumentPath}, {"status", 404}}};
  if (h.tokenStatus == 0) f["routes"] = {{{"method", "PUT"}, {"delay", 5}}};  // an answer that never arrives
  return f;
}

// The exit's message, after checking the run ended with status 1.
std::string exitOfDocumentRead() {
  try {
    tarnwick::get_aws_metadata();
    ADD_FAILURE() << "a failed document read did not end the run";
  } catch (const tarnwick::ProcessExit& e) {
    EXPECT_EQ(e.status(), 1);
    return e.what();
  }
  return "";
}

class InstanceIdentity : public testing::TestWithParam<Host> {
 protected:
  FakeServer server_{FakeServer::Mode::Metadata, fixtureFor(GetParam())};
  // The environment's proxy (a closed port) must not be used for the link-local service.
  testbed::ScopedEnv env_{{"AWS_EC2_METADATA_DISABLED", "false"},
                          {"AWS_EC2_METADATA_SERVICE_ENDPOINT", server_.url()},
                          {"http_proxy", "http://127.0.0.1:9"},
                          {"no_proxy", std::nullopt},
                          {"NO_PROXY", std::nullopt}};
};

TEST_P(InstanceIdentity, ReadsDocumentOrEndsWithStatusOne) {
  const Host& h = GetParam();
  testbed::LogCapture log;
  if (h.documentStatus == 200) {
    auto doc = tarnwick::get_aws_metadata();
    EXPECT_EQ(doc["accountId"], "123456789012");
    EXPECT_EQ(doc["region"], "eu-west-1");
    EXPECT_EQ(log.count(tarnwick::logging::DEBUG), 0);
  } else {
    exitOfDocumentRead();
    EXPECT_TRUE(
        log.contains(tarnwick::logging::INFO, "  **Error** failed to deduce workflow account number from meta data"))
        << log.text();
    EXPECT_EQ(log.count(tarnwick::logging::WARNING), 0);
  }
  auto requests = server_.requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests.front().method, "PUT");
  EXPECT_EQ(requests.back().path, kDocumentPath);
  EXPECT_EQ(requests.back().header("x-aws-ec2-metadata-token"), h.tokenStatus == 200 ? "T-" + std::string(h.name) : "");
}

INSTANTIATE_TEST_SUITE_P(Hosts, InstanceIdentity,
                         testing::Values(Host{"TokenHost", 200, false, 200}, Host{"TokenOnlyHost", 200, true, 200},
                                         Host{"TokenRefused", 403, false, 200},
                                         Host{"TokenUnsupported", 405, false, 200},
                                         Host{"TokenTimesOut", 0, false, 200},
                                         Host{"TokenOnlyHostRefusingTokens", 403, true, 401},
                                         Host{"NoDocument", 200, false, 404}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(InstanceIdentityUnreachable, EndsWithStatusOneWithoutLogging) {
  testbed::ScopedEnv env{{"AWS_EC2_METADATA_DISABLED", "false"},
                         {"AWS_EC2_METADATA_SERVICE_ENDPOINT", "http://127.0.0.1:1"}};
  testbed::LogCapture log;
  EXPECT_FALSE(exitOfDocumentRead().empty());
  EXPECT_EQ(log.count(tarnwick::logging::DEBUG), 0);
}

TEST(AssumedRoleSession, AssumesTheRoleAgainBeforeItsCredentialsRunOut) {
  auto clock =
      std::make_shared<tarnwick::aws::ManualClock>(std::chrono::system_clock::from_time_t(1714566645));  // 12:30:45
  tarnwick::aws::setClock(clock);
  FakeServer sts(FakeServer::Mode::Generic,
                 {{"routes",
                   {{{"body",
                      "<AssumeRoleResponse><AssumeRoleResult><Credentials><AccessKeyId>ROLEKEY</AccessKeyId>"
                      "<SecretAccessKey>S</SecretAccessKey><SessionToken>T</SessionToken>"
                      "<Expiration>2024-05-01T13:30:45Z</Expiration></Credentials></AssumeRoleResult>"
                      "</AssumeRoleResponse>"}}}}});
  testbed::ScopedEnv env{{"AWS_ENDPOINT_URL_STS", sts.url()}, {"AWS_PROFILE", std::nullopt},
                         {"AWS_ACCESS_KEY_ID", "testing"},    {"AWS_SECRET_ACCESS_KEY", "testing"},
                         {"AWS_CONFIG_FILE", "/dev/null"},    {"AWS_SHARED_CREDENTIALS_FILE", "/dev/null"}};
  tarnwick::aws::Session session = tarnwick::start_aws_session("arn:aws:iam::111122223333:role/deployer");
  EXPECT_EQ(session.credentials()->get().accessKeyId, "ROLEKEY");
  EXPECT_EQ(sts.requests().size(), 1u);
  clock->advance(std::chrono::minutes(55));
  EXPECT_EQ(session.credentials()->get().accessKeyId, "ROLEKEY");
  ASSERT_EQ(sts.requests().size(), 2u);
  EXPECT_EQ(sts.requests()[1].form.at("RoleSessionName"), "Tarnwick_Workflow");
  tarnwick::aws::setClock(nullptr);
}

}  // namespace
