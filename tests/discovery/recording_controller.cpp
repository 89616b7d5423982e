// Answers by action and path, as the loopback controller's routes do.
#include "recording_controller.h"

#include "tarnwick_testlibs/base/text.h"

namespace discovery {
namespace twk_https = tarnwick::twk_https;

namespace {

RecordedRequest record(const twk_https::ControllerRequest& request) {
  RecordedRequest recorded;
  static_cast<twk_https::ControllerRequest&>(recorded) = request;
  twk_https::WireRequest wire = twk_https::wireRequest(request);
  size_t scheme = wire.url.find("://");
  size_t start = wire.url.find('/', scheme == std::string::npos ? 0 : scheme + 3);
  std::string target = start == std::string::npos ? "/" : wire.url.substr(start);
  size_t query = target.find('?');
  recorded.path = target.substr(0, query);
  recorded.rawQuery = query == std::string::npos ? "" : target.substr(query + 1);
  recorded.body = wire.body;
  return recorded;
}

twk_https::ApiResponse response(const Doc& answer) {
  twk_https::ApiResponse r{answer.value("status", 200L), ""};
  if (!answer.contains("body")) return r;
  const Doc& body = answer["body"];
  r.body = body.is_string() ? body.get<std::string>() : body.dump();
  return r;
}

}  // namespace

std::string RecordedRequest::header(const std::string& lowerName) const {
  for (const auto& [name, value] : headers)
    if (tarnwick::text::lower(name) == lowerName) return value;
  return "";
}

std::string RecordedRequest::param(const std::string& name) const {
  for (const auto& [key, value] : payload)
    if (key == name) return value;
  return "";
}

twk_https::ApiResponse RecordingController::send(const twk_https::ControllerRequest& request) {
  RecordedRequest recorded = record(request);
  std::lock_guard<std::mutex> guard(lock_);
  requests_.push_back(recorded);
  return response(answerTo(recorded));
}

Doc RecordingController::answerTo(const RecordedRequest& r) const {
  std::string action = r.param("action");
  bool inBody = r.payloadIn == twk_https::PayloadIn::Body;
  if (r.method == "GET" && r.path == "/v2/api" && inBody && action == "get_api_token")
    return tokenAnswer_.is_null() ? token() : tokenAnswer_;
  if (r.method == "POST" && r.path == "/v2/api" && inBody && action == "login")
    return r.param("username") == kUser && r.param("password") == kPassword ? loggedIn() : refusal(kLoginRefused);
  if (r.method == "GET" && (r.path == "/v1/api" || r.path == "/v2/api") && !inBody && action == "list_vpcs_summary") {
    if (r.param("CID") != kCid) return refusal(kCidRefused);
    return listingAnswers_.contains(r.path) ? listingAnswers_.at(r.path) : gateways(Doc::array());
  }
  return Doc{{"status", 404}, {"body", ""}};
}

void RecordingController::answerToken(const Doc& answer) {
  std::lock_guard<std::mutex> guard(lock_);
  tokenAnswer_ = answer;
}

void RecordingController::answerListing(const std::string& path, const Doc& answer) {
  std::lock_guard<std::mutex> guard(lock_);
  if (answer.is_null())
    listingAnswers_.erase(path);
  else
    listingAnswers_[path] = answer;
}

std::vector<RecordedRequest> RecordingController::requests() const {
  std::lock_guard<std::mutex> guard(lock_);
  return requests_;
}

std::vector<RecordedRequest> RecordingController::requests(const std::string& action) const {
  std::vector<RecordedRequest> matching;
  for (auto& r : requests())
    if (r.param("action") == action) matching.push_back(r);
  return matching;
}

void RecordingController::clearRequests() {
  std::lock_guard<std::mutex> guard(lock_);
  requests_.clear();
}

}  // namespace discovery
