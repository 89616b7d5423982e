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

class FakeController {
 public:
  FakeController();

  // "127.0.0.1:<port>", as --controller_ip takes it.
  std::string address() const { return server_.host(); }

  // Answers ({"status", "body", "delay"}) replacing the regular one; null restores it.
  void answerToken(const Doc& answer);
  void answerListing(const std::string& path, const Doc& answer);  // path "/v1/api" or "/v2/api"

  static Doc gateways(const Doc& results);  // {"return": true, "results": [...]}
  static Doc refusal(const std::string& reason);
  static Doc text(const std::string& body);  // a body that is not JSON, or ""

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
