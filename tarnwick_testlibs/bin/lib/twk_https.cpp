// The controller API sender over the AWS layer's HTTP client, without certificate checks.
#include "tarnwick_testlibs/bin/lib/twk_https.h"

#include <mutex>

#include "tarnwick_testlibs/aws/http.h"
#include "tarnwick_testlibs/bin/core/logging.h"

namespace tarnwick::twk_https {
namespace {

std::mutex timeoutsLock;
Timeouts currentTimeouts;

std::string actionOf(const Payload& payload) {
  for (const auto& [name, value] : payload)
    if (name == "action") return value;
  return "";
}

std::string withQuery(const std::string& url, const std::string& query) {
  if (query.empty()) return url;
  return url + (url.find('?') == std::string::npos ? "?" : "&") + query;
}

}  // namespace

Timeouts timeouts() {
  std::lock_guard<std::mutex> guard(timeoutsLock);
  return currentTimeouts;
}

void setTimeouts(Timeouts t) {
  std::lock_guard<std::mutex> guard(timeoutsLock);
  currentTimeouts = t;
}

ApiResponse send(const ControllerRequest& request) {
  aws::http::Request http;
  http.method = request.method;
  http.verifyTls = false;
  Timeouts limits = timeouts();
  http.connectTimeoutMs = limits.connectMs;
  http.totalTimeoutMs = limits.totalMs;
  http.headers = request.headers;
  if (request.payloadIn == PayloadIn::Query) {
    http.url = withQuery(request.url, aws::http::queryString(request.payload));
  } else {
    http.url = request.url;
    http.body = aws::http::formEncode(request.payload);
    http.headers.emplace_back("Content-Type", "application/x-www-form-urlencoded");
  }
  aws::http::Response response = aws::http::send(http);
  return ApiResponse{response.status, std::move(response.body)};
}

ApiResponse _send_tarnwick_api(const std::string& api_endpoint_url, const std::string& request_method,
                               const Payload& payload, const std::string& keyword_for_log,
                               const std::string& indent) {
  logging::getLogger(kLogger).detail(indent + keyword_for_log + "action: " + actionOf(payload));
  ControllerRequest request;
  request.method = request_method;
  request.url = api_endpoint_url;
  request.payload = payload;
  request.payloadIn = request_method == "GET" ? PayloadIn::Query : PayloadIn::Body;
  return send(request);
}

}  // namespace tarnwick::twk_https
