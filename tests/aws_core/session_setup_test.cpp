// The host's instance identity document through a fake metadata service.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "fake_http.h"
#include "tarnwick_testlibs/bin/core/AppExitStatus.h"
#include "tarnwick_testlibs/bin/lib/aws_session.h"
#include "testbed/log_capture.h"

namespace {

using awstest::FakeHttpServer;
using awstest::Reply;
using awstest::ScopedEnv;
using awstest::SeenRequest;

constexpr const char* kDocument = R"({"accountId":"123456789012","region":"eu-west-1","instanceId":"i-1"})";
constexpr const char* kDocumentPath = "/latest/dynamic/instance-identity/document";

struct Host {
  const char* name;
  long tokenStatus;      // answer to PUT /latest/api/token
  bool requiresToken;    // GETs without a token get 401
  long documentStatus;
};

class InstanceIdentity : public testing::TestWithParam<Host> {
 protected:
  InstanceIdentity()
      : server_([this](const SeenRequest& r) { return answer(r); }),
        disabled_("AWS_EC2_METADATA_DISABLED", "false"),
        endpoint_("AWS_EC2_METADATA_SERVICE_ENDPOINT", server_.url()) {}

  Reply answer(const SeenRequest& r) {
    const Host& h = GetParam();
    if (r.method == "PUT") return Reply{h.tokenStatus, h.tokenStatus == 200 ? "T-" + std::string(h.name) : ""};
    if (h.requiresToken && r.header("x-aws-ec2-metadata-token").empty()) return Reply{401, ""};
    if (r.path != kDocumentPath) return Reply{404, ""};
    return Reply{h.documentStatus, h.documentStatus == 200 ? kDocument : ""};
  }

  FakeHttpServer server_;
  ScopedEnv disabled_, endpoint_;
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
    try {
      tarnwick::get_aws_metadata();
      FAIL() << "a failed document read did not end the run";
    } catch (const tarnwick::ProcessExit& e) {
      EXPECT_EQ(e.status(), 1);
    }
    EXPECT_TRUE(log.contains(tarnwick::logging::INFO,
                             "  **Error** failed to deduce workflow account number from meta data"))
        << log.text();
    EXPECT_EQ(log.count(tarnwick::logging::WARNING), 0);
  }
  auto requests = server_.requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests.front().method, "PUT");
  EXPECT_EQ(requests.back().path, kDocumentPath);
  EXPECT_EQ(requests.back().header("x-aws-ec2-metadata-token"),
            h.tokenStatus == 200 ? "T-" + std::string(h.name) : "");
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, InstanceIdentity,
    testing::Values(Host{"TokenHost", 200, false, 200}, Host{"TokenOnlyHost", 200, true, 200},
                    Host{"TokenRefused", 403, false, 200}, Host{"TokenUnsupported", 405, false, 200},
                    Host{"TokenOnlyHostRefusingTokens", 403, true, 401}, Host{"NoDocument", 200, false, 404}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(InstanceIdentityUnreachable, EndsWithStatusOneWithoutLogging) {
  std::string deadUrl;
  { FakeHttpServer gone([](const SeenRequest&) { return Reply{}; }); deadUrl = gone.url(); }
  ScopedEnv disabled("AWS_EC2_METADATA_DISABLED", "false");
  ScopedEnv endpoint("AWS_EC2_METADATA_SERVICE_ENDPOINT", deadUrl);
  testbed::LogCapture log;
  try {
    tarnwick::get_aws_metadata();
    FAIL() << "an unreachable metadata service did not end the run";
  } catch (const tarnwick::ProcessExit& e) {
    EXPECT_EQ(e.status(), 1);
    EXPECT_FALSE(std::string(e.what()).empty());
  }
  EXPECT_EQ(log.count(tarnwick::logging::DEBUG), 0);
}

}  // namespace
