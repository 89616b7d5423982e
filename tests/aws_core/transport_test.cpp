// Region and endpoint resolution, and the retry strategy against a local fake service.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include "aws/clock.h"
#include "aws/errors.h"
#include "testbed/fake_server.h"
#include "transport.h"

namespace {

using Json = nlohmann::ordered_json;
using testbed::FakeServer;
using testbed::ScopedEnv;

TEST(Region, ExplicitThenEnvironmentThenProfile) {
  testbed::TempDir dir;
  ScopedEnv env{{"AWS_CONFIG_FILE", dir.write("config", "[default]\nregion = ap-south-1\n[profile p]\nregion = sa-east-1\n")},
                {"AWS_PROFILE", std::nullopt},
                {"AWS_REGION", "eu-west-1"},
                {"AWS_DEFAULT_REGION", "eu-central-1"}};

  EXPECT_EQ(aws::detail::resolveRegion(std::string("us-west-2"), std::nullopt), "us-west-2");
  EXPECT_EQ(aws::detail::resolveRegion(std::nullopt, std::nullopt), "eu-west-1");
  env.unset("AWS_REGION");
  EXPECT_EQ(aws::detail::resolveRegion(std::nullopt, std::nullopt), "eu-central-1");
  env.unset("AWS_DEFAULT_REGION");
  EXPECT_EQ(aws::detail::resolveRegion(std::nullopt, std::nullopt), "ap-south-1");
  EXPECT_EQ(aws::detail::resolveRegion(std::nullopt, std::string("p")), "sa-east-1");
  env.set("AWS_CONFIG_FILE", "/nonexistent/config");
  EXPECT_FALSE(aws::detail::resolveRegion(std::nullopt, std::nullopt).has_value());
}

TEST(Endpoint, PartitionHostsVariantsAndOverrides) {
  testbed::TempDir dir;
  ScopedEnv env{{"AWS_ENDPOINT_URL", std::nullopt},
                {"AWS_ENDPOINT_URL_S3", std::nullopt},
                {"AWS_PROFILE", std::nullopt},
                {"AWS_CONFIG_FILE", dir.write("config", "[profile fips]\nuse_fips_endpoint = TRUE\n")}};
  struct Row {
    const char* service;
    const char* region;
    const char* fips;  // AWS_USE_FIPS_ENDPOINT
    const char* dual;  // AWS_USE_DUALSTACK_ENDPOINT
    const char* url;   // "" when no such endpoint exists
    const char* signingRegion;
  };
  for (const Row& row : {
           Row{"EC2", "eu-west-1", "", "", "https://ec2.eu-west-1.amazonaws.com", "eu-west-1"},
           Row{"IAM", "eu-west-1", "", "", "https://iam.amazonaws.com", "us-east-1"},
           Row{"IAM", "cn-northwest-1", "", "", "https://iam.cn-north-1.amazonaws.com.cn", "cn-north-1"},
           Row{"IAM", "us-gov-east-1", "", "", "https://iam.us-gov.amazonaws.com", "us-gov-west-1"},
           Row{"STS", "", "", "", "https://sts.amazonaws.com", "us-east-1"},
           Row{"SSO", "eu-west-1", "", "", "https://portal.sso.eu-west-1.amazonaws.com", "eu-west-1"},
           Row{"EC2", "us-east-1", "true", "", "https://ec2-fips.us-east-1.amazonaws.com", "us-east-1"},
           Row{"EC2", "us-gov-west-1", "true", "", "https://ec2.us-gov-west-1.amazonaws.com", "us-gov-west-1"},
           Row{"STS", "ca-central-1", "true", "true", "https://sts-fips.ca-central-1.api.aws", "ca-central-1"},
           Row{"SSM", "cn-north-1", "", "true", "https://ssm.cn-north-1.api.amazonwebservices.com.cn", "cn-north-1"},
           Row{"S3", "eu-west-1", "false", "true", "https://s3.dualstack.eu-west-1.amazonaws.com", "eu-west-1"},
           Row{"IAM", "eu-west-1", "true", "", "https://iam-fips.amazonaws.com", "us-east-1"},
           Row{"IAM", "cn-north-1", "true", "", "", ""},
           Row{"EC2", "us-iso-east-1", "", "true", "", ""},
           Row{"EC2", "eu-west-1", "yes", "", "", ""}}) {
    SCOPED_TRACE(fmt::format("{} {} fips={} dualstack={}", row.service, row.region, row.fips, row.dual));
    env.apply({{"AWS_USE_FIPS_ENDPOINT", *row.fips ? std::optional<std::string>(row.fips) : std::nullopt},
               {"AWS_USE_DUALSTACK_ENDPOINT", *row.dual ? std::optional<std::string>(row.dual) : std::nullopt}});
    if (!*row.url) {
      EXPECT_THROW(aws::detail::serviceEndpoint(row.service, row.region), aws::ClientError);
      continue;
    }
    auto e = aws::detail::serviceEndpoint(row.service, row.region);
    EXPECT_EQ(e.url, row.url);
    EXPECT_EQ(e.signingRegion, row.signingRegion);
  }
  env.unset("AWS_USE_FIPS_ENDPOINT").unset("AWS_USE_DUALSTACK_ENDPOINT");
  EXPECT_THROW(aws::detail::resolveEndpoint("EC2", ""), aws::ClientError);
  EXPECT_EQ(aws::detail::resolveEndpoint("EC2", "eu-west-1", std::string("fips")), "https://ec2-fips.eu-west-1.amazonaws.com");
  EXPECT_FALSE(aws::detail::endpointOverridden("S3"));

  // An override keeps its address; IAM is still signed for its partition's region.
  env.set("AWS_ENDPOINT_URL", "http://127.0.0.1:5000/").set("AWS_ENDPOINT_URL_S3", "http://127.0.0.1:6000");
  EXPECT_EQ(aws::detail::resolveEndpoint("EC2", "eu-west-1"), "http://127.0.0.1:5000");
  EXPECT_EQ(aws::detail::resolveEndpoint("S3", "eu-west-1"), "http://127.0.0.1:6000");
  EXPECT_EQ(aws::detail::serviceEndpoint("IAM", "us-gov-east-1").signingRegion, "us-gov-west-1");
  EXPECT_TRUE(aws::detail::endpointOverridden("S3"));
}

TEST(RetrySettings, EnvironmentThenProfileAndBadValuesFail) {
  testbed::TempDir dir;
  ScopedEnv env{{"AWS_CONFIG_FILE", dir.write("config", "[default]\nretry_mode = adaptive\nmax_attempts = 4\n"
                                                        "[profile  \"bad\" ]\nmax_attempts = many\n")},
                {"AWS_PROFILE", std::nullopt},
                {"AWS_RETRY_MODE", std::nullopt},
                {"AWS_MAX_ATTEMPTS", std::nullopt}};
  auto fromFile = aws::detail::RetryConfig::resolve(std::nullopt);
  EXPECT_EQ(std::tie(fromFile.mode, fromFile.maxAttempts, fromFile.modeSetByUser), std::tuple("adaptive", 4, true));
  EXPECT_THROW(aws::detail::RetryConfig::resolve(std::string("bad")), aws::ClientError);
  env.set("AWS_RETRY_MODE", "legacy").set("AWS_MAX_ATTEMPTS", "2");
  auto fromEnv = aws::detail::RetryConfig::resolve(std::nullopt);
  EXPECT_EQ(std::tie(fromEnv.mode, fromEnv.maxAttempts), std::tuple("legacy", 2));
  env.set("AWS_CONFIG_FILE", "/nonexistent").unset("AWS_RETRY_MODE");
  EXPECT_FALSE(aws::detail::RetryConfig::resolve(std::nullopt).modeSetByUser);
  env.set("AWS_RETRY_MODE", "fast");
  EXPECT_THROW(aws::detail::RetryConfig::resolve(std::nullopt), aws::ClientError);
}

std::string queryErrorCode(const aws::http::Response& r) {
  auto b = r.body.find("<Code>"), e = r.body.find("</Code>");
  return b == std::string::npos ? "" : r.body.substr(b + 6, e - b - 6);
}

class Retries : public testing::Test {
 protected:
  void SetUp() override { aws::setClock(clock_); }
  void TearDown() override { aws::setClock(nullptr); }

  aws::detail::Transport transport(int maxAttempts, const std::string& mode = "standard") {
    return aws::detail::Transport("ec2", "eu-west-1", aws::staticCredentials({"AK", "SK", "", {}}),
                                  aws::detail::RetryConfig{maxAttempts, mode});
  }
  // A service answering every request from `answers` in turn, the last one repeating.
  static FakeServer service(const Json& answers) {
    return FakeServer(FakeServer::Mode::Generic, {{"routes", {{{"sequence", answers}}}}});
  }
  aws::http::Request request(const FakeServer& server) {
    aws::http::Request r;
    r.method = "POST";
    r.url = server.url() + "/";
    r.body = "Action=DescribeInstances";
    return r;
  }

  std::shared_ptr<aws::ManualClock> clock_ = std::make_shared<aws::ManualClock>();
};

TEST_F(Retries, TransientStatusIsRetriedAfterAJitteredPause) {
  auto server = service({{{"status", 503}}, {{"body", "ok"}}});
  auto resp = transport(10).send(request(server), queryErrorCode);
  EXPECT_EQ(resp.status, 200);
  EXPECT_EQ(server.requests().size(), 2u);
  EXPECT_EQ(clock_->sleeps(), 1);
  EXPECT_LE(clock_->slept(), std::chrono::milliseconds(1000));
  // Each attempt is signed afresh.
  EXPECT_FALSE(server.requests()[1].header("authorization").empty());
}

TEST_F(Retries, ThrottlingCodeIsRetriedButOtherErrorsAreNot) {
  auto server = service(
      {{{"status", 400}, {"body", "<Response><Errors><Error><Code>RequestLimitExceeded</Code></Error></Errors></Response>"}},
       {{"status", 400}, {"body", "<Response><Errors><Error><Code>InvalidParameterValue</Code></Error></Errors></Response>"}}});
  auto resp = transport(10).send(request(server), queryErrorCode);
  EXPECT_EQ(resp.status, 400);
  EXPECT_EQ(queryErrorCode(resp), "InvalidParameterValue");
  EXPECT_EQ(server.requests().size(), 2u);
}

TEST_F(Retries, AttemptsAreLimitedAndBackoffIsCapped) {
  auto server = service({{{"status", 500}}});
  auto resp = transport(8).send(request(server), queryErrorCode);
  EXPECT_EQ(resp.status, 500);
  EXPECT_EQ(server.requests().size(), 8u);
  EXPECT_EQ(clock_->sleeps(), 7);
  EXPECT_LE(clock_->slept(), std::chrono::milliseconds(1000 + 2000 + 4000 + 8000 + 16000 + 20000 + 20000));
}

TEST_F(Retries, ConnectionFailureIsRetriedThenReported) {
  aws::http::Request r;
  r.url = "http://127.0.0.1:1/";
  EXPECT_THROW(transport(3).send(r, queryErrorCode), aws::ClientError);
  EXPECT_EQ(clock_->sleeps(), 2);
}

TEST_F(Retries, AttemptsNameTheirCallAndASkewedClockOrAnS3ErrorInsideA200AnswerIsRetried) {
  clock_->advance(-std::chrono::hours(2));
  auto server = service({{{"status", 403}, {"body", "<Error><Code>RequestTimeTooSkewed</Code></Error>"}},
                         {{"body", "<?xml version=\"1.0\"?>\n<Error><Code>InternalError</Code></Error>"}}, {{"body", "ok"}}});
  EXPECT_EQ(transport(3).send(request(server), queryErrorCode, true).status, 200);
  const auto seen = server.requests();
  ASSERT_EQ(seen.size(), 3u);
  std::tm first{}, last{};  // signing times: two hours off at first, then the server's
  strptime(seen[0].header("x-amz-date").c_str(), "%Y%m%dT%H%M%SZ", &first);
  strptime(seen[2].header("x-amz-date").c_str(), "%Y%m%dT%H%M%SZ", &last);
  EXPECT_NEAR(static_cast<double>(timegm(&last) - timegm(&first)), 7200, 60);
  EXPECT_EQ(seen[2].header("amz-sdk-request"), "attempt=3; max=3");
  EXPECT_EQ(seen[0].header("amz-sdk-invocation-id"), seen[2].header("amz-sdk-invocation-id"));
  EXPECT_EQ(seen[0].header("user-agent").rfind("tarnwick_testlibs/", 0), 0u);
}

TEST_F(Retries, SharedQuotaStopsRetriesWhenSpent) {
  auto server = service({{{"status", 503}}});
  auto t = transport(3);
  int sent = 0;
  for (int i = 0; i < 60; ++i) {
    t.send(request(server), queryErrorCode);
    sent = static_cast<int>(server.requests().size());
  }
  // 500 tokens at 5 per retry allow 100 retries in all, after which each call is tried once.
  EXPECT_EQ(sent, 60 + 100);
}

}  // namespace
