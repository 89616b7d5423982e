// Builds the generic fake server's routes from the controller's few actions.
#include "fake_controller.h"

namespace discovery {

FakeController::FakeController() : server_(testbed::FakeServer::Mode::Generic, Doc::object(), true) { publish(); }

void FakeController::answerToken(const Doc& answer) {
  tokenAnswer_ = answer;
  publish();
}

void FakeController::answerListing(const std::string& path, const Doc& answer) {
  listingAnswers_[path] = answer;
  publish();
}

Doc ControllerAnswers::gateways(const Doc& results) {
  return Doc{{"body", Doc{{"return", true}, {"results", results}}}};
}

Doc ControllerAnswers::refusal(const std::string& reason) {
  return Doc{{"body", Doc{{"return", false}, {"reason", reason}}}};
}

Doc ControllerAnswers::text(const std::string& body) { return Doc{{"body", body}}; }

Doc ControllerAnswers::token() { return Doc{{"body", Doc{{"return", true}, {"results", {{"api_token", kToken}}}}}}; }

Doc ControllerAnswers::loggedIn() { return Doc{{"body", Doc{{"return", true}, {"CID", kCid}}}}; }

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

Doc route(const std::string& method, const std::string& path, const Doc& match, const Doc& answer) {
  Doc r = answer;
  r["method"] = method;
  r["path"] = path;
  r.update(match);
  return r;
}

}  // namespace

void FakeController::publish() {
  Doc routes = Doc::array();
  Doc token = tokenAnswer_.is_null() ? ControllerAnswers::token() : tokenAnswer_;
  routes.push_back(route("GET", "/v2/api", Doc{{"form", {{"action", "get_api_token"}}}}, token));
  Doc credentials{{"action", "login"}, {"username", kUser}, {"password", kPassword}};
  routes.push_back(route("POST", "/v2/api", Doc{{"form", credentials}}, loggedIn()));
  routes.push_back(route("POST", "/v2/api", Doc{{"form", {{"action", "login"}}}}, refusal(kLoginRefused)));
  for (const char* path : {"/v1/api", "/v2/api"}) {
    Doc listing = listingAnswers_.contains(path) ? listingAnswers_[path] : gateways(Doc::array());
    routes.push_back(route("GET", path, Doc{{"query", {{"action", "list_vpcs_summary"}, {"CID", kCid}}}}, listing));
    routes.push_back(route("GET", path, Doc{{"query", {{"action", "list_vpcs_summary"}}}}, refusal(kCidRefused)));
  }
  server_.setFixture(Doc{{"routes", routes}});
}

}  // namespace discovery
