// Region and endpoint resolution, and the retry strategy against a local fake service.
#include <gtest/gtest.h>

#include <map>
#include <vector>

#include <fmt/format.h>

#include "connection.h"
#include "endpoints.h"
#include "rate_limiter.h"
#include "region.h"
#include "tarnwick_testlibs/aws/clock.h"
#include "tarnwick_testlibs/aws/errors.h"
#include "tarnwick_testlibs/aws/partition.h"
#include "tarnwick_testlibs/aws/retry.h"
#include "testbed/fake_server.h"
#include "transport.h"

namespace {

using Json = nlohmann::ordered_json;
using testbed::FakeServer;
using testbed::ScopedEnv;

TEST(Region, ExplicitThenEnvironmentThenProfile) {
  testbed::TempDir dir;
  ScopedEnv env{
      {"AWS_CONFIG_FILE", dir.write("config", "[default]\nregion = ap-south-1\n[profile p]\nregion = sa-east-1\n")},
      {"AWS_PROFILE", std::nullopt},
      {"AWS_REGION", "eu-west-1"},
      {"AWS_DEFAULT_REGION", "eu-central-1"}};

  EXPECT_EQ(tarnwick::aws::detail::resolveRegion(std::string("us-west-2"), std::nullopt), "us-west-2");
  EXPECT_EQ(tarnwick::aws::detail::resolveRegion(std::nullopt, std::nullopt), "eu-west-1");
  env.unset("AWS_REGION");
  EXPECT_EQ(tarnwick::aws::detail::resolveRegion(std::nullopt, std::nullopt), "eu-central-1");
  env.unset("AWS_DEFAULT_REGION");
  EXPECT_EQ(tarnwick::aws::detail::resolveRegion(std::nullopt, std::nullopt), "ap-south-1");
  EXPECT_EQ(tarnwick::aws::detail::resolveRegion(std::nullopt, std::string("p")), "sa-east-1");
  env.set("AWS_CONFIG_FILE", "/nonexistent/config");
  EXPECT_FALSE(tarnwick::aws::detail::resolveRegion(std::nullopt, std::nullopt).has_value());
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
  for (const Row& row :
       {Row{"EC2", "eu-west-1", "", "", "https://ec2.eu-west-1.amazonaws.com", "eu-west-1"},
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
        Row{"IAM", "cn-north-1", "true", "", "", ""}, Row{"EC2", "us-iso-east-1", "", "true", "", ""},
        Row{"EC2", "eu-west-1", "yes", "", "", ""}}) {
    SCOPED_TRACE(fmt::format("{} {} fips={} dualstack={}", row.service, row.region, row.fips, row.dual));
    env.apply({{"AWS_USE_FIPS_ENDPOINT", *row.fips ? std::optional<std::string>(row.fips) : std::nullopt},
               {"AWS_USE_DUALSTACK_ENDPOINT", *row.dual ? std::optional<std::string>(row.dual) : std::nullopt}});
    if (!*row.url) {
      EXPECT_THROW(tarnwick::aws::detail::serviceEndpoint(row.service, row.region), tarnwick::aws::ClientError);
      continue;
    }
    auto e = tarnwick::aws::detail::serviceEndpoint(row.service, row.region);
    EXPECT_EQ(e.url, row.url);
    EXPECT_EQ(e.signingRegion, row.signingRegion);
  }
  env.unset("AWS_USE_FIPS_ENDPOINT").unset("AWS_USE_DUALSTACK_ENDPOINT");
  EXPECT_THROW(tarnwick::aws::detail::resolveEndpoint("EC2", ""), tarnwick::aws::ClientError);
  EXPECT_EQ(tarnwick::aws::detail::resolveEndpoint("EC2", "eu-west-1", std::string("fips")),
            "https://ec2-fips.eu-west-1.amazonaws.com");
  EXPECT_FALSE(tarnwick::aws::detail::endpointOverridden("S3"));

  // An override keeps its address; IAM is still signed for its partition's region.
  env.set("AWS_ENDPOINT_URL", "http://127.0.0.1:5000/").set("AWS_ENDPOINT_URL_S3", "http://127.0.0.1:6000");
  EXPECT_EQ(tarnwick::aws::detail::resolveEndpoint("EC2", "eu-west-1"), "http://127.0.0.1:5000");
  EXPECT_EQ(tarnwick::aws::detail::resolveEndpoint("S3", "eu-west-1"), "http://127.0.0.1:6000");
  EXPECT_EQ(tarnwick::aws::detail::serviceEndpoint("IAM", "us-gov-east-1").signingRegion, "us-gov-west-1");
  EXPECT_TRUE(tarnwick::aws::detail::endpointOverridden("S3"));

  // ARNs name the partition of their region, whatever endpoint the calls go to.
  for (const auto& [region, partition] : std::map<std::string, std::string>{{"eu-west-1", "aws"},
                                                                            {"cn-northwest-1", "aws-cn"},
                                                                            {"us-gov-west-1", "aws-us-gov"},
                                                                            {"us-isob-east-1", "aws-iso-b"},
                                                                            {"", "aws"},
                                                                            {"nowhere", "aws"}})
    EXPECT_EQ(tarnwick::aws::partitionOf(region), partition) << region;
}

// Endpoints, certificates and time-outs that a profile configures, in the vendor's precedence.
TEST(ConfiguredSettings, ProfileEndpointsServicesSectionsCaBundleAndTimeouts) {
  testbed::TempDir dir;
  ScopedEnv env{{"AWS_CONFIG_FILE", dir.write("config",
                                              "[profile dev]\nendpoint_url = http://127.0.0.1:7000\n"
                                              "services = local\nconnect_timeout = 2.5\nread_timeout = 30\n"
                                              "[services local]\nsts =\n  endpoint_url = http://127.0.0.1:7001\n"
                                              "[profile lost]\nservices = missing\n"
                                              "[profile off]\nendpoint_url = http://127.0.0.1:7000\n"
                                              "ignore_configured_endpoint_urls = true\n"
                                              "[profile slow]\nread_timeout = never\n")},
                {"AWS_PROFILE", "off"},
                {"AWS_DEFAULT_PROFILE", "dev"},
                {"AWS_ENDPOINT_URL", std::nullopt},
                {"AWS_ENDPOINT_URL_STS", std::nullopt},
                {"AWS_IGNORE_CONFIGURED_ENDPOINT_URLS", std::nullopt},
                {"AWS_CA_BUNDLE", std::nullopt},
                {"AWS_CONNECT_TIMEOUT", std::nullopt},
                {"AWS_READ_TIMEOUT", std::nullopt}};
  struct Row {
    const char* service;
    std::optional<std::string> profile, globalEnv, serviceEnv;
    const char* url;  // "" when the configuration is refused
  };
  for (const Row& row :
       {Row{"EC2", std::nullopt, {}, {}, "http://127.0.0.1:7000"},  // AWS_DEFAULT_PROFILE wins
        Row{"STS", "dev", {}, {}, "http://127.0.0.1:7001"},
        Row{"STS", "dev", "http://127.0.0.1:7002", {}, "http://127.0.0.1:7002"},
        Row{"EC2", "dev", "http://127.0.0.1:7002", "http://127.0.0.1:7003", "http://127.0.0.1:7002"},
        Row{"STS", "dev", "http://127.0.0.1:7002", "http://127.0.0.1:7003", "http://127.0.0.1:7003"},
        Row{"EC2", "off", {}, {}, "https://ec2.eu-west-1.amazonaws.com"}, Row{"EC2", "lost", {}, {}, ""}}) {
    env.apply({{"AWS_ENDPOINT_URL", row.globalEnv}, {"AWS_ENDPOINT_URL_STS", row.serviceEnv}});
    SCOPED_TRACE(fmt::format("{} {}", row.service, row.profile.value_or("-")));
    if (!*row.url)
      EXPECT_THROW(tarnwick::aws::detail::resolveEndpoint(row.service, "eu-west-1", row.profile),
                   tarnwick::aws::ClientError);
    else
      EXPECT_EQ(tarnwick::aws::detail::resolveEndpoint(row.service, "eu-west-1", row.profile), row.url);
  }
  const auto dev = tarnwick::aws::detail::ConnectionSettings::resolve(std::string("dev"));
  EXPECT_EQ(std::tie(dev.connectTimeoutMs, dev.readTimeoutSec), std::tuple(2500L, std::optional<long>(30)));
  EXPECT_THROW(tarnwick::aws::detail::ConnectionSettings::resolve(std::string("slow")), tarnwick::aws::ClientError);

  // A service behind a certificate of its own: refused until the profile's ca_bundle names it.
  FakeServer service(FakeServer::Mode::Generic, {{"routes", {{{"body", "<ok/>"}}}}}, true);
  tarnwick::aws::http::Request r;
  r.url = service.url() + "/";
  auto send = [&](const std::optional<std::string>& profile) {
    return tarnwick::aws::detail::Transport("ec2", "eu-west-1", tarnwick::aws::staticCredentials({"AK", "SK", "", {}}),
                                            tarnwick::aws::detail::RetryConfig{1, "standard"},
                                            tarnwick::aws::detail::ConnectionSettings::resolve(profile))
        .send(r, {});
  };
  EXPECT_THROW(send(std::string("dev")), tarnwick::aws::ClientError);
  env.set("AWS_CONFIG_FILE", dir.write("config", "[profile corp]\nca_bundle = " + service.certPath() + "\n"));
  EXPECT_EQ(send(std::string("corp")).status, 200);
}

TEST(RetrySettings, EnvironmentThenProfileAndBadValuesFail) {
  testbed::TempDir dir;
  ScopedEnv env{{"AWS_CONFIG_FILE", dir.write("config",
                                              "[default]\nretry_mode = adaptive\nmax_attempts = 4\n"
                                              "[profile  \"bad\" ]\nmax_attempts = many\n")},
                {"AWS_PROFILE", std::nullopt},
                {"AWS_RETRY_MODE", std::nullopt},
                {"AWS_MAX_ATTEMPTS", std::nullopt}};
  auto fromFile = tarnwick::aws::detail::RetryConfig::resolve(std::nullopt);
  EXPECT_EQ(std::tie(fromFile.mode, fromFile.maxAttempts, fromFile.modeSetByUser), std::tuple("adaptive", 4, true));
  EXPECT_THROW(tarnwick::aws::detail::RetryConfig::resolve(std::string("bad")), tarnwick::aws::ClientError);
  env.set("AWS_RETRY_MODE", "legacy").set("AWS_MAX_ATTEMPTS", "2");
  auto fromEnv = tarnwick::aws::detail::RetryConfig::resolve(std::nullopt);
  EXPECT_EQ(std::tie(fromEnv.mode, fromEnv.maxAttempts), std::tuple("legacy", 2));
  env.set("AWS_CONFIG_FILE", "/nonexistent").unset("AWS_RETRY_MODE");
  EXPECT_FALSE(tarnwick::aws::detail::RetryConfig::resolve(std::nullopt).modeSetByUser);
  // A program's preferred mode applies only where the user chose none.
  tarnwick::aws::setDefaultRetryMode("adaptive");
  EXPECT_EQ(tarnwick::aws::detail::RetryConfig::resolve(std::nullopt).mode, "adaptive");
  env.set("AWS_RETRY_MODE", "standard");
  EXPECT_EQ(tarnwick::aws::detail::RetryConfig::resolve(std::nullopt).mode, "standard");
  tarnwick::aws::setDefaultRetryMode("standard");
  EXPECT_THROW(tarnwick::aws::setDefaultRetryMode("eager"), std::invalid_argument);
  env.set("AWS_RETRY_MODE", "fast");
  EXPECT_THROW(tarnwick::aws::detail::RetryConfig::resolve(std::nullopt), tarnwick::aws::ClientError);
}

std::string queryErrorCode(const tarnwick::aws::http::Response& r) {
  auto b = r.body.find("<Code>"), e = r.body.find("</Code>");
  return b == std::string::npos ? "" : r.body.substr(b + 6, e - b - 6);
}

class Retries : public testing::Test {
 protected:
  void SetUp() override { tarnwick::aws::setClock(clock_); }
  void TearDown() override { tarnwick::aws::setClock(nullptr); }

  tarnwick::aws::detail::Transport transport(int maxAttempts, const std::string& mode = "standard") {
    return tarnwick::aws::detail::Transport("ec2", "eu-west-1", tarnwick::aws::staticCredentials({"AK", "SK", "", {}}),
                                            tarnwick::aws::detail::RetryConfig{maxAttempts, mode});
  }
  // A service answering every request from `answers` in turn, the last one repeating.
  static FakeServer service(const Json& answers) {
    return FakeServer(FakeServer::Mode::Generic, {{"routes", {{{"sequence", answers}}}}});
  }
  tarnwick::aws::http::Request request(const FakeServer& server) {
    tarnwick::aws::http::Request r;
    r.method = "POST";
    r.url = server.url() + "/";
    r.body = "Action=DescribeInstances";
    return r;
  }

  std::shared_ptr<tarnwick::aws::ManualClock> clock_ = std::make_shared<tarnwick::aws::ManualClock>();
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
  auto server =
      service({{{"status", 400},
                {"body", "<Response><Errors><Error><Code>RequestLimitExceeded</Code></Error></Errors></Response>"}},
               {{"status", 400},
                {"body", "<Response><Errors><Error><Code>InvalidParameterValue</Code></Error></Errors></Response>"}}});
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
  tarnwick::aws::http::Request r;
  r.url = "http://127.0.0.1:1/";
  EXPECT_THROW(transport(3).send(r, queryErrorCode), tarnwick::aws::ClientError);
  EXPECT_EQ(clock_->sleeps(), 2);
}

TEST_F(Retries, AttemptsNameTheirCallAndASkewedClockOrAnS3ErrorInsideA200AnswerIsRetried) {
  clock_->advance(-std::chrono::hours(2));
  auto server = service({{{"status", 403}, {"body", "<Error><Code>RequestTimeTooSkewed</Code></Error>"}},
                         {{"body", "<?xml version=\"1.0\"?>\n<Error><Code>InternalError</Code></Error>"}},
                         {{"body", "ok"}}});
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

TEST_F(Retries, SharedQuotaStopsRetriesWhenSpentButNotAdaptiveThrottling) {
  const Json throttled = {
      {"status", 503},
      {"body", "<Response><Errors><Error><Code>RequestLimitExceeded</Code></Error></Errors></Response>"}};
  struct Row {
    const char* mode;
    Json answer;
    size_t sent;
  };
  // 500 tokens at 5 per retry allow 100 retries in all, after which each call is tried once;
  // in adaptive mode the limiter, not the quota, answers throttling.
  auto server = service(Json::array({throttled}));
  for (const Row& row : {Row{"standard", throttled, 110 + 2}, Row{"adaptive", {{"status", 500}}, 110 + 2},
                         Row{"adaptive", throttled, 12 * 11}}) {
    server.setFixture({{"routes", {{{"sequence", Json::array({row.answer})}}}}});
    server.clearRequests();
    auto t = transport(11, row.mode);
    for (int i = 0; i < 12; ++i) t.send(request(server), queryErrorCode);
    EXPECT_EQ(server.requests().size(), row.sent) << row.mode << " " << row.answer.dump();
  }
}

TEST(FailureKinds, CurlResultsGiveTheKindTheRetryDecisionFollows) {
  using K = tarnwick::aws::FailureKind;
  struct Row {
    int curlCode;
    K kind;
    bool retried;
    int cost;
  };
  // 6 no such host, 7 refused, 52 nothing, 56 reset, 28 time-out, 35 handshake, 60 certificate,
  // 3 bad URL, 26 body file unreadable.
  for (const Row& row :
       {Row{6, K::kConnection, true, 5}, Row{7, K::kConnection, true, 5}, Row{52, K::kConnection, true, 5},
        Row{56, K::kConnection, true, 5}, Row{28, K::kTimeout, true, 10}, Row{35, K::kTls, true, 5},
        Row{60, K::kTls, true, 5}, Row{3, K::kTransfer, true, 5}, Row{26, K::kTransfer, true, 5}}) {
    const tarnwick::aws::ClientError failure("POST http://127.0.0.1/: failed",
                                             tarnwick::aws::http::failureKindOf(row.curlCode));
    EXPECT_EQ(failure.kind(), row.kind) << row.curlCode;
    EXPECT_EQ(tarnwick::aws::detail::ServiceRetryPolicy::retryable(failure), row.retried) << row.curlCode;
    EXPECT_EQ(tarnwick::aws::detail::ServiceRetryPolicy::retryCost(failure), row.cost) << row.curlCode;
  }
  // The text plays no part: a time-out is one by its kind alone, and an answer that cannot be
  // read or missing credentials are never sent again.
  EXPECT_EQ(tarnwick::aws::detail::ServiceRetryPolicy::retryCost(tarnwick::aws::ClientError("stalled", K::kTimeout)),
            10);
  EXPECT_EQ(
      tarnwick::aws::detail::ServiceRetryPolicy::retryCost(tarnwick::aws::ClientError("timed out", K::kConnection)), 5);
  for (K kind : {K::kMalformedAnswer, K::kCredentials, K::kOther})
    EXPECT_FALSE(tarnwick::aws::detail::ServiceRetryPolicy::retryable(tarnwick::aws::ClientError("x", kind)));
}

TEST(RetryPolicies, AttemptLimitsAndDelays) {
  EXPECT_EQ(tarnwick::aws::RetryPolicy(0).maxAttempts(), 1);
  const tarnwick::aws::RetryPolicy six(6);
  EXPECT_TRUE(six.allowsAnother(5));
  EXPECT_FALSE(six.allowsAnother(6));
  const tarnwick::aws::detail::ServiceRetryPolicy standard(tarnwick::aws::detail::RetryConfig{4, "standard"});
  EXPECT_EQ(standard.attempts(true).maxAttempts(), 4);
  EXPECT_EQ(standard.attempts(false).maxAttempts(), 1);  // a body that cannot be sent again

  const auto fixed = tarnwick::aws::BackoffPolicy::fixed(std::chrono::seconds(15));
  EXPECT_EQ(fixed.delay(1), std::chrono::seconds(15));
  EXPECT_EQ(fixed.delay(39), std::chrono::seconds(15));

  // Full jitter: the random share of 1 s doubling per attempt, capped at 20 s.
  double share = 0.5;
  const auto jitter = tarnwick::aws::BackoffPolicy::exponentialFullJitter(
      std::chrono::seconds(1), std::chrono::seconds(20), [&share] { return share; });
  std::vector<long long> delays;
  for (int attempt = 1; attempt <= 7; ++attempt) delays.push_back(jitter.delay(attempt).count());
  EXPECT_EQ(delays, (std::vector<long long>{500, 1000, 2000, 4000, 8000, 10000, 10000}));
  EXPECT_EQ(jitter.delay(100), std::chrono::seconds(10));
  share = 0;
  EXPECT_EQ(jitter.delay(3), std::chrono::milliseconds(0));
  share = 0.9999;
  EXPECT_EQ(jitter.delay(3), std::chrono::milliseconds(3999));
}

// The deployer's timetable on the manual clock: 2 s rounds for the first 30 s, then a fifteenth of
// the time waited, up to 15 s; the last pause ends on the limit of time itself.
TEST(RetryPolicies, TimeLimitAndRounds) {
  using ms = std::chrono::milliseconds;
  const auto start = std::chrono::system_clock::time_point(std::chrono::seconds(1700000000));
  auto clock = std::make_shared<tarnwick::aws::ManualClock>(start);
  tarnwick::aws::setClock(clock);
  const auto rounds = tarnwick::aws::BackoffPolicy::rounds(start, ms(2000), ms(15000), 15);
  for (const auto& [at, pause] : std::vector<std::pair<int, int>>{
           {0, 2000}, {1500, 500}, {29999, 1}, {30000, 2000}, {32000, 2133}, {300000, 11573}}) {
    clock->advance(ms(at) - std::chrono::duration_cast<ms>(clock->now() - start));
    EXPECT_EQ(rounds.delay(1), ms(pause)) << at;
  }
  const auto begun = clock->now();
  tarnwick::aws::RetryLoop loop(tarnwick::aws::RetryPolicy::limitedTime(ms(585000)),
                                tarnwick::aws::BackoffPolicy::rounds(begun, ms(2000), ms(15000), 15));
  while (loop.another()) {
  }
  EXPECT_EQ(loop.attempt(), 72);  // 71 rounds, the last at 581.573 s, and one on the limit
  EXPECT_EQ(clock->now() - begun, ms(585000));
  tarnwick::aws::RetryLoop stopped(tarnwick::aws::RetryPolicy(3), tarnwick::aws::BackoffPolicy::fixed(ms(1)));
  tarnwick::aws::stopRequest().raise("SIGTERM");
  EXPECT_THROW(stopped.another(), tarnwick::aws::Interrupted);
  tarnwick::aws::stopRequest().reset();
  tarnwick::aws::setClock(nullptr);
}

// The limiter against figures computed with the SDKs' published algorithm: answers every 0.1 s,
// throttling at the 9th, 10th and 21st.
TEST(AdaptiveLimiter, SendRateFollowsThePublishedCubicRule) {
  const auto start = std::chrono::system_clock::time_point(std::chrono::seconds(1700000000));
  auto clock = std::make_shared<tarnwick::aws::ManualClock>(start);
  tarnwick::aws::setClock(clock);
  tarnwick::aws::detail::RateLimiter limiter;
  const std::map<int, double> expected = {{4, 0.5},
                                          {8, 5.6},
                                          {9, 3.92},
                                          {10, 4.213416833622137},
                                          {14, 5.047862603680192},
                                          {19, 5.507668019745658},
                                          {20, 3.8553676138219606},
                                          {29, 5.36779780246396}};
  for (int i = 0; i < 30; ++i) {
    clock->advance(std::chrono::milliseconds(100));
    limiter.afterResponse(i == 8 || i == 9 || i == 20);
    if (auto e = expected.find(i); e != expected.end()) {
      EXPECT_NEAR(limiter.sendRate(), e->second, 1e-6) << i;
    }
  }

  tarnwick::aws::detail::CubicCalculator cubic(10, 0);
  EXPECT_NEAR(cubic.successReceived(0), 7.0, 1e-9);
  EXPECT_NEAR(cubic.successReceived(2), 10.000030849917364, 1e-9);
  EXPECT_NEAR(cubic.errorReceived(12, 4), 8.4, 1e-9);
  EXPECT_NEAR(cubic.successReceived(5), 11.495997865444386, 1e-9);
  tarnwick::aws::setClock(nullptr);
}

TEST(AdaptiveLimiter, SendsWaitForTokensOnlyAfterThrottling) {
  // Whole seconds, so that the token arithmetic in seconds comes out in whole milliseconds.
  auto clock = std::make_shared<tarnwick::aws::ManualClock>(
      std::chrono::system_clock::time_point(std::chrono::seconds(1700000000)));
  tarnwick::aws::setClock(clock);
  tarnwick::aws::detail::RateLimiter limiter;
  for (int i = 0; i < 5; ++i) limiter.beforeSend();
  EXPECT_EQ(clock->sleeps(), 0);

  // A bucket at 4 a second: the first token after 250 ms, then one every 250 ms; below one a
  // second the capacity stays one token and the rate no less than 0.5.
  tarnwick::aws::detail::TokenBucket bucket(4);
  for (int i = 0; i < 4; ++i) bucket.acquire();
  EXPECT_EQ(clock->slept(), std::chrono::milliseconds(1000));
  bucket.setMaxRate(0.2);
  EXPECT_DOUBLE_EQ(bucket.maxRate(), 0.5);
  bucket.acquire();
  EXPECT_EQ(clock->slept(), std::chrono::milliseconds(3000));
  tarnwick::aws::setClock(nullptr);
}

}  // namespace
