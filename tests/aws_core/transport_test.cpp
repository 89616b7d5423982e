// Region and endpoint resolution, and the retry strategy against a local fake service.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>

#include "aws/clock.h"
#include "aws/errors.h"
#include "fake_http.h"
#include "transport.h"

namespace {

using awstest::FakeHttpServer;
using awstest::Reply;
using awstest::ScopedEnv;
using awstest::SeenRequest;

TEST(Region, ExplicitThenEnvironmentThenProfile) {
  auto config = std::filesystem::path(testing::TempDir()) / "region-config";
  std::ofstream(config) << "[default]\nregion = ap-south-1\n[profile p]\nregion = sa-east-1\n";
  ScopedEnv file("AWS_CONFIG_FILE", config.string());
  ScopedEnv profile("AWS_PROFILE", std::nullopt);
  ScopedEnv region("AWS_REGION", "eu-west-1");
  ScopedEnv defaultRegion("AWS_DEFAULT_REGION", "eu-central-1");

  EXPECT_EQ(aws::detail::resolveRegion(std::string("us-west-2"), std::nullopt), "us-west-2");
  EXPECT_EQ(aws::detail::resolveRegion(std::nullopt, std::nullopt), "eu-west-1");
  {
    ScopedEnv unset("AWS_REGION", std::nullopt);
    EXPECT_EQ(aws::detail::resolveRegion(std::nullopt, std::nullopt), "eu-central-1");
    ScopedEnv unset2("AWS_DEFAULT_REGION", std::nullopt);
    EXPECT_EQ(aws::detail::resolveRegion(std::nullopt, std::nullopt), "ap-south-1");
    EXPECT_EQ(aws::detail::resolveRegion(std::nullopt, std::string("p")), "sa-east-1");
    ScopedEnv none("AWS_CONFIG_FILE", "/nonexistent/config");
    EXPECT_FALSE(aws::detail::resolveRegion(std::nullopt, std::nullopt).has_value());
  }
}

TEST(Endpoint, StandardAndOverridden) {
  ScopedEnv all("AWS_ENDPOINT_URL", std::nullopt);
  ScopedEnv s3("AWS_ENDPOINT_URL_S3", std::nullopt);
  struct Row {
    const char* service;
    const char* region;
    const char* url;
  };
  for (const Row& row : {Row{"EC2", "eu-west-1", "https://ec2.eu-west-1.amazonaws.com"},
                         Row{"IAM", "eu-west-1", "https://iam.amazonaws.com"},
                         Row{"STS", "", "https://sts.amazonaws.com"},
                         Row{"STS", "eu-west-1", "https://sts.eu-west-1.amazonaws.com"},
                         Row{"S3", "us-east-1", "https://s3.us-east-1.amazonaws.com"},
                         Row{"SSM", "cn-north-1", "https://ssm.cn-north-1.amazonaws.com.cn"}})
    EXPECT_EQ(aws::detail::resolveEndpoint(row.service, row.region), row.url) << row.service << " " << row.region;
  EXPECT_THROW(aws::detail::resolveEndpoint("EC2", ""), aws::ClientError);
  EXPECT_FALSE(aws::detail::endpointOverridden("S3"));

  ScopedEnv general("AWS_ENDPOINT_URL", "http://127.0.0.1:5000/");
  ScopedEnv specific("AWS_ENDPOINT_URL_S3", "http://127.0.0.1:6000");
  EXPECT_EQ(aws::detail::resolveEndpoint("EC2", "eu-west-1"), "http://127.0.0.1:5000");
  EXPECT_EQ(aws::detail::resolveEndpoint("S3", "eu-west-1"), "http://127.0.0.1:6000");
  EXPECT_TRUE(aws::detail::endpointOverridden("S3"));
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
  aws::http::Request request(const FakeHttpServer& server) {
    aws::http::Request r;
    r.method = "POST";
    r.url = server.url() + "/";
    r.body = "Action=DescribeInstances";
    return r;
  }

  std::shared_ptr<aws::ManualClock> clock_ = std::make_shared<aws::ManualClock>();
};

TEST_F(Retries, TransientStatusIsRetriedAfterAJitteredPause) {
  std::atomic<int> n{0};
  FakeHttpServer server([&](const SeenRequest&) { return Reply{n++ == 0 ? 503L : 200L, "ok"}; });
  auto resp = transport(10).send(request(server), queryErrorCode);
  EXPECT_EQ(resp.status, 200);
  EXPECT_EQ(server.requests().size(), 2u);
  EXPECT_EQ(clock_->sleeps(), 1);
  EXPECT_LE(clock_->slept(), std::chrono::milliseconds(1000));
  // Each attempt is signed afresh.
  EXPECT_FALSE(server.requests()[1].header("authorization").empty());
}

TEST_F(Retries, ThrottlingCodeIsRetriedButOtherErrorsAreNot) {
  std::atomic<int> n{0};
  FakeHttpServer server([&](const SeenRequest&) {
    if (n++ == 0) return Reply{400, "<Response><Errors><Error><Code>RequestLimitExceeded</Code></Error></Errors></Response>"};
    return Reply{400, "<Response><Errors><Error><Code>InvalidParameterValue</Code></Error></Errors></Response>"};
  });
  auto resp = transport(10).send(request(server), queryErrorCode);
  EXPECT_EQ(resp.status, 400);
  EXPECT_EQ(queryErrorCode(resp), "InvalidParameterValue");
  EXPECT_EQ(server.requests().size(), 2u);
}

TEST_F(Retries, AttemptsAreLimitedAndBackoffIsCapped) {
  FakeHttpServer server([](const SeenRequest&) { return Reply{500, ""}; });
  auto resp = transport(8).send(request(server), queryErrorCode);
  EXPECT_EQ(resp.status, 500);
  EXPECT_EQ(server.requests().size(), 8u);
  EXPECT_EQ(clock_->sleeps(), 7);
  EXPECT_LE(clock_->slept(), std::chrono::milliseconds(1000 + 2000 + 4000 + 8000 + 16000 + 20000 + 20000));
}

TEST_F(Retries, ConnectionFailureIsRetriedThenReported) {
  std::string deadUrl;
  { FakeHttpServer gone([](const SeenRequest&) { return Reply{}; }); deadUrl = gone.url(); }
  aws::http::Request r;
  r.url = deadUrl + "/";
  EXPECT_THROW(transport(3).send(r, queryErrorCode), aws::ClientError);
  EXPECT_EQ(clock_->sleeps(), 2);
}

TEST_F(Retries, SharedQuotaStopsRetriesWhenSpent) {
  FakeHttpServer server([](const SeenRequest&) { return Reply{503, ""}; });
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
