// Builds the generic fake server's routes from the controller's few actions.
#include "fake_controller.h"

namespace discovery {

FakeController::FakeController() : server_(testbed::FakeServer::Mode::Generic, Doc::object(), true) { publish(); }

void FakeController::accept(const std::string& user, const std::string& password, const std::string& cid) {
  user_ = user;
  password_ = password;
  cid_ = cid;
  publish();
}

void FakeController::issueToken(const std::string& token) {
  token_ = token;
  publish();
}

void FakeController::answerToken(const Doc& spec) {
  tokenSpec_ = spec;
  publish();
}

void FakeController::answerLogin(const Doc& spec) {
  loginSpec_ = spec;
  publish();
}

void FakeController::answerListing(const std::string& path, const Doc& spec) {
  listingSpecs_[path] = spec;
  publish();
}

Doc FakeController::gateways(const Doc& results) {
  return Doc{{"body", Doc{{"return", true}, {"results", results}}}};
}

Doc FakeController::refusal(const std::string& reason) {
  return Doc{{"body", Doc{{"return", false}, {"reason", reason}}}};
}

Doc FakeController::text(const std::string& body) { return Doc{{"body", body}}; }

std::vector<testbed::FakeRequest> FakeController::requests(const std::string& action) const {
  std::vector<testbed::FakeRequest> matching;
  for (auto& r : server_.requests()) {
    auto q = r.query.find("action");
    auto f = r.form.find("action");
    if ((q != r.query.end() && q->second == action) || (f != r.form.end() && f->second == action))
      matching.push_back(r);
  }
  return matching;
}

namespace {

Doc route(const std::string& method, const std::string& path, const Doc& match, const Doc& spec) {
  Doc r = spec;
  r["method"] = method;
  r["path"] = path;
  r.update(match);
  return r;
}

}  // namespace

void FakeController::publish() {
  Doc routes = Doc::array();
  Doc token = tokenSpec_.is_null() ? Doc{{"body", Doc{{"return", true}, {"results", {{"api_token", token_}}}}}}
                                   : tokenSpec_;
  routes.push_back(route("GET", "/v2/api", Doc{{"form", {{"action", "get_api_token"}}}}, token));

  Doc login = loginSpec_.is_null() ? Doc{{"body", Doc{{"return", true}, {"CID", cid_}}}} : loginSpec_;
  Doc credentials{{"action", "login"}, {"username", user_}, {"password", password_}};
  routes.push_back(route("POST", "/v2/api", Doc{{"form", credentials}}, login));
  routes.push_back(route("POST", "/v2/api", Doc{{"form", {{"action", "login"}}}},
                         refusal("Invalid username or password")));

  for (const char* path : {"/v1/api", "/v2/api"}) {
    Doc listing = listingSpecs_.contains(path) ? listingSpecs_[path] : gateways(Doc::array());
    routes.push_back(route("GET", path, Doc{{"query", {{"action", "list_vpcs_summary"}, {"CID", cid_}}}}, listing));
    routes.push_back(route("GET", path, Doc{{"query", {{"action", "list_vpcs_summary"}}}},
                           refusal("CID is invalid or expired.")));
  }
  server_.setFixture(Doc{{"routes", routes}});
}

}  // namespace discovery
