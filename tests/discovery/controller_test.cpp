// Controller access: what the login sends and caches, on the recording controller, and what the
// HTTPS sender puts on the wire, on the loopback one.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "recording_controller.h"
#include "tarnwick_testlibs/aws/clock.h"
#include "tarnwick_testlibs/aws/errors.h"
#include "tarnwick_testlibs/bin/lib/gatepass.h"
#include "tarnwick_testlibs/bin/lib/twk_https.h"
#include "testbed/log_capture.h"

namespace {

using discovery::Doc;
using discovery::FakeController;
using discovery::RecordingController;
using namespace std::chrono_literals;
namespace gatepass = tarnwick::gatepass;
namespace twk_https = tarnwick::twk_https;

class ControllerAccess : public ::testing::Test {
 protected:
  void SetUp() override {
    twk_https::setController(controller);
    gatepass::clearCaches();
    tarnwick::aws::setClock(clock);
  }
  void TearDown() override {
    tarnwick::aws::setClock(nullptr);
    twk_https::setController(nullptr);
  }

  std::string cid(const std::string& password = "s3cret") {
    return gatepass::get_tarnwick_cid(controller->address(), "admin", password);
  }
  size_t sent(const std::string& action) { return controller->requests(action).size(); }

  std::shared_ptr<RecordingController> controller = std::make_shared<RecordingController>();
  std::shared_ptr<tarnwick::aws::ManualClock> clock = std::make_shared<tarnwick::aws::ManualClock>();
};

// The HTTPS sender itself, against the loopback controller.
class HttpsSender : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { controller = new FakeController(); }
  static void TearDownTestSuite() { delete controller; }
  void SetUp() override {
    controller->answerToken(nullptr);
    controller->clearRequests();
    gatepass::clearCaches();
  }
  std::string url(const std::string& path) const { return "https://" + controller->address() + path; }

  static FakeController* controller;
};

FakeController* HttpsSender::controller = nullptr;

TEST_F(ControllerAccess, TokenAndLoginRequestsAreSentExactlyAsTheControllerExpects) {
  EXPECT_EQ(cid(), "cid-7f3a");

  auto token = controller->requests("get_api_token");
  ASSERT_EQ(token.size(), 1u);
  EXPECT_EQ(token[0].method, "GET");
  EXPECT_EQ(token[0].path, "/v2/api");
  EXPECT_EQ(token[0].rawQuery, "");
  EXPECT_EQ(token[0].body, "action=get_api_token");
  EXPECT_EQ(token[0].header("x-access-key"), "");

  auto login = controller->requests("login");
  ASSERT_EQ(login.size(), 1u);
  EXPECT_EQ(login[0].method, "POST");
  EXPECT_EQ(login[0].path, "/v2/api");
  EXPECT_EQ(login[0].body, "action=login&username=admin&password=s3cret");
  EXPECT_EQ(login[0].header("x-access-key"), "tok-91b2");
}

TEST_F(ControllerAccess, LoginIsCachedForTwentyMinutesPerArguments) {
  cid();
  clock->advance(10min);
  cid();
  EXPECT_EQ(sent("get_api_token"), 1u);
  EXPECT_EQ(sent("login"), 1u);

  clock->advance(11min);  // 21 minutes after the first call
  cid();
  EXPECT_EQ(sent("get_api_token"), 2u);
  EXPECT_EQ(sent("login"), 2u);

  cid("other");  // other arguments replace the single cached entry
  cid();
  EXPECT_EQ(sent("login"), 4u);
}

TEST_F(ControllerAccess, AFailedLoginIsCachedAndLoggedOnce) {
  testbed::LogCapture log;
  EXPECT_EQ(cid("wrong"), "Login failed");
  EXPECT_EQ(cid("wrong"), "Login failed");
  EXPECT_EQ(sent("login"), 1u);
  EXPECT_EQ(log.messages(tarnwick::logging::INFO), std::vector<std::string>{"Login failed"});
  EXPECT_EQ(log.count(tarnwick::logging::WARNING), 0);
  EXPECT_FALSE(log.contains("wrong"));
}

TEST_F(ControllerAccess, AMissingTokenIsSentOnAsTheFailureText) {
  controller->answerToken(RecordingController::text("{\"return\": true}"));
  testbed::LogCapture log;
  cid();
  EXPECT_TRUE(log.contains(tarnwick::logging::INFO, "Failed to acquire token"));
  auto login = controller->requests("login");
  ASSERT_EQ(login.size(), 1u);
  EXPECT_EQ(login[0].header("x-access-key"), "Failed to acquire token");
}

TEST_F(HttpsSender, AnUnreachableControllerFailsTheCallAndCachesNothing) {
  auto cid = [] { return gatepass::get_tarnwick_cid(controller->address(), "admin", "s3cret"); };
  controller->answerToken(Doc{{"body", ""}, {"delay", 3}});
  twk_https::setTimeouts({1000, 1000});
  EXPECT_THROW(cid(), tarnwick::aws::ClientError);
  twk_https::setTimeouts({});
  controller->answerToken(nullptr);
  EXPECT_EQ(cid(), "cid-7f3a");
}

TEST_F(HttpsSender, GetPayloadsTravelInTheQueryAndOnlyTheActionIsLogged) {
  testbed::LogCapture log;
  twk_https::_send_tarnwick_api(url("/v1/api"), "GET",
                                {{"action", "list_vpcs_summary"}, {"CID", "cid-7f3a"}, {"gateway_name", "a b"}}, "kw-",
                                "    ");
  auto listing = controller->requests("list_vpcs_summary");
  ASSERT_EQ(listing.size(), 1u);
  EXPECT_EQ(listing[0].rawQuery, "action=list_vpcs_summary&CID=cid-7f3a&gateway_name=a%20b");
  EXPECT_EQ(listing[0].body, "");
  EXPECT_TRUE(log.contains(tarnwick::logging::DETAIL, "list_vpcs_summary"));
  EXPECT_FALSE(log.contains("cid-7f3a"));
}

TEST_F(HttpsSender, BodyPayloadsTravelFormEncodedWithTheCallersHeaders) {
  twk_https::send({"GET",
                   url("/v2/api"),
                   {{"action", "get_api_token"}, {"note", "a b"}},
                   twk_https::PayloadIn::Body,
                   {{"X-Access-Key", "tok-91b2"}}});
  twk_https::_send_tarnwick_api(url("/v2/api"), "POST",
                                {{"action", "login"}, {"username", "admin"}, {"password", "s3cret"}});
  auto token = controller->requests("get_api_token");
  ASSERT_EQ(token.size(), 1u);
  EXPECT_EQ(token[0].method, "GET");
  EXPECT_EQ(token[0].rawQuery, "");
  EXPECT_EQ(token[0].body, "action=get_api_token&note=a+b");
  EXPECT_EQ(token[0].header("x-access-key"), "tok-91b2");
  EXPECT_EQ(token[0].header("content-type"), "application/x-www-form-urlencoded");
  auto login = controller->requests("login");
  ASSERT_EQ(login.size(), 1u);
  EXPECT_EQ(login[0].method, "POST");
  EXPECT_EQ(login[0].body, "action=login&username=admin&password=s3cret");
}

// Opted-in checks refuse a controller whose certificate does not match before the login is sent.
TEST_F(HttpsSender, AMismatchedCertificateEndsTheLoginBeforeThePasswordIsSent) {
  auto failure = [&](const twk_https::Verification& v) {
    twk_https::setVerification(v);
    try {
      gatepass::get_tarnwick_cid(controller->address(), "admin", "s3cret");
    } catch (const tarnwick::aws::ClientError& e) {
      return std::string(e.what());
    }
    return std::string();
  };
  const std::string wrongPin(64, 'a');
  const std::string pinned = failure({"", wrongPin});
  EXPECT_NE(pinned.find("expected SHA-256 fingerprint AA:AA:"), std::string::npos) << pinned;
  const auto found = pinned.find("with SHA-256 fingerprint ");
  ASSERT_NE(found, std::string::npos) << pinned;
  const std::string actual = pinned.substr(found + 25, 95);
  EXPECT_NE(failure({"/etc/ssl/certs/ca-certificates.crt", ""}).find("issued through"), std::string::npos);
  EXPECT_TRUE(controller->requests("get_api_token").empty() && controller->requests("login").empty());
  EXPECT_EQ(failure({"", actual}), "");  // the right pin logs in, and so does the right CA
  gatepass::clearCaches();
  EXPECT_EQ(failure({controller->certPath(), ""}), "");
  EXPECT_EQ(controller->requests("login").size(), 2u);
  twk_https::setVerification({});
}

}  // namespace
