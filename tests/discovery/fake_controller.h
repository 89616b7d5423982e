// A loopback stand-in for the Tarnwick controller: HTTPS with a certificate made for the run,
// answering the token, login and gateway-listing actions from what a test gives it, and
// recording every request.
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

  // Only these credentials log in; only this CID lists gateways.
  void accept(const std::string& user, const std::string& password, const std::string& cid);
  void issueToken(const std::string& token);
  // Answer specs ({"status", "body", "delay"}) replacing the regular answer of an action.
  void answerToken(const Doc& spec);
  void answerLogin(const Doc& spec);
  void answerListing(const std::string& path, const Doc& spec);  // path "/v1/api" or "/v2/api"

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
  std::string user_ = "admin", password_ = "s3cret", cid_ = "cid-7f3a", token_ = "tok-91b2";
  Doc tokenSpec_, loginSpec_;
  Doc listingSpecs_ = Doc::object();
};

}  // namespace discovery
