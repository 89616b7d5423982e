// A loopback stand-in for the Tarnwick controller: HTTPS with a certificate made for the run,
// answering the token, login and gateway-listing actions and recording every request. Only
// admin/s3cret logs in (CID cid-7f3a, token tok-91b2); only that CID lists gateways.
#pragma once
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "testbed/fake_server.h"

namespace discovery {

using Doc = nlohmann::ordered_json;

// The answers ({"status", "body"}) of the controller stand-ins.
struct ControllerAnswers {
  static constexpr const char* kUser = "admin";
  static constexpr const char* kPassword = "s3cret";
  static constexpr const char* kCid = "cid-7f3a";
  static constexpr const char* kToken = "tok-91b2";
  static constexpr const char* kLoginRefused = "Invalid username or password";
  static constexpr const char* kCidRefused = "CID is invalid or expired.";

  static Doc gateways(const Doc& results);  // {"return": true, "results": [...]}
  static Doc refusal(const std::string& reason);
  static Doc text(const std::string& body);  // a body that is not JSON, or ""
  static Doc token();                        // the regular answer to get_api_token
  static Doc loggedIn();                     // to a login as kUser with kPassword
};

class FakeController : public ControllerAnswers {
 public:
  FakeController();

  // "127.0.0.1:<port>", as --controller_ip takes it.
  std::string address() const { return server_.host(); }
  // Its self-signed certificate, which serves as the CA bundle that vouches for it.
  std::string certPath() const { return server_.certPath(); }

  // Answers ({"status", "body", "delay"}) replacing the regular one; null restores it.
  void answerToken(const Doc& answer);
  void answerListing(const std::string& path, const Doc& answer);  // path "/v1/api" or "/v2/api"

  std::vector<testbed::FakeRequest> requests() const { return server_.requests(); }
  // The requests whose "action" (query or form) is `action`.
  std::vector<testbed::FakeRequest> requests(const std::string& action) const;
  void clearRequests() { server_.clearRequests(); }

 private:
  void publish();

  testbed::FakeServer server_;
  Doc tokenAnswer_;
  Doc listingAnswers_ = Doc::object();
};

}  // namespace discovery
