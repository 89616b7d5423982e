// The controller API sender: the HTTPS controller over the AWS layer's HTTP client, without
// certificate checks unless the user asks for them, and the process's choice of controller.
#include "tarnwick_testlibs/bin/lib/twk_https.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "tarnwick_testlibs/aws/http.h"
#include "tarnwick_testlibs/base/descriptor.h"
#include "tarnwick_testlibs/bin/core/logging.h"

namespace tarnwick::twk_https {
namespace {

std::mutex timeoutsLock;
Timeouts currentTimeouts;

Verification currentVerification;

std::mutex controllerLock;
std::shared_ptr<Controller> currentController;  // null until first use or after a reset

std::string actionOf(const Payload& payload) {
  for (const auto& [name, value] : payload)
    if (name == "action") return value;
  return "";
}

std::string withQuery(const std::string& url, const std::string& query) {
  if (query.empty()) return url;
  return url + (url.find('?') == std::string::npos ? "?" : "&") + query;
}

// 0 with the file's content in `out`, else the errno of the open or read that failed.
int readWhole(const std::string& path, std::string& out) {
  const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.valid()) return errno;
  char buffer[16384];
  for (;;) {
    const ssize_t n = ::read(file.get(), buffer, sizeof buffer);
    if (n == 0) return 0;
    if (n < 0 && errno != EINTR) return errno;
    if (n > 0) out.append(buffer, static_cast<size_t>(n));
  }
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

Verification verification() {
  std::lock_guard<std::mutex> guard(timeoutsLock);
  return currentVerification;
}

void setVerification(Verification v) {
  std::lock_guard<std::mutex> guard(timeoutsLock);
  currentVerification = std::move(v);
}

std::optional<std::string> verificationProblem(const Verification& v) {
  if (!v.fingerprint.empty() && aws::http::normalFingerprint(v.fingerprint).empty())
    return "--controller_fingerprint is not a SHA-256 fingerprint (64 hex digits, colons optional): " + v.fingerprint;
  if (v.caFile.empty()) return std::nullopt;
  // Read whole, as the TLS library will read it, so that a bundle it cannot use is named here
  // rather than in the first handshake.
  std::string bundle;
  if (const int error = readWhole(v.caFile, bundle))
    return "--controller_ca " + v.caFile + " cannot be read: " + std::strerror(error);
  if (bundle.find("-----BEGIN CERTIFICATE-----") == std::string::npos)
    return "--controller_ca " + v.caFile + " holds no PEM certificate";
  return std::nullopt;
}

namespace {

std::string refusedCertificate(const Verification& v, const aws::http::PeerCertificateError& e) {
  std::string expected, found = "a certificate for " + e.subject() + " with SHA-256 fingerprint " + e.sha256();
  if (!v.fingerprint.empty()) expected = "SHA-256 fingerprint " + aws::http::normalFingerprint(v.fingerprint);
  if (!v.caFile.empty())
    expected += (expected.empty() ? "" : " and ") + std::string("a certificate issued through ") + v.caFile;
  if (!e.problem().empty()) found += " (" + e.problem() + ")";
  return "the controller's certificate does not match: expected " + expected + ", found " + found +
         "; nothing was sent to it";
}

}  // namespace

WireRequest wireRequest(const ControllerRequest& request) {
  WireRequest wire{request.method, request.url, request.headers, ""};
  if (request.payloadIn == PayloadIn::Query) {
    wire.url = withQuery(request.url, aws::http::queryString(request.payload));
  } else {
    wire.body = aws::http::formEncode(request.payload);
    wire.headers.emplace_back("Content-Type", "application/x-www-form-urlencoded");
  }
  return wire;
}

ApiResponse HttpsController::send(const ControllerRequest& request) {
  WireRequest wire = wireRequest(request);
  aws::http::Request http;
  http.method = std::move(wire.method);
  http.url = std::move(wire.url);
  http.headers = std::move(wire.headers);
  http.body = std::move(wire.body);
  const Verification checks = verification();
  if (auto problem = verificationProblem(checks)) throw aws::ClientError(*problem);
  http.verifyTls = !checks.caFile.empty();
  http.caBundle = checks.caFile;
  http.pinnedSha256 = checks.fingerprint;
  http.describePeer = http.verifyTls;
  Timeouts limits = timeouts();
  http.connectTimeoutMs = limits.connectMs;
  http.totalTimeoutMs = limits.totalMs;
  try {
    aws::http::Response response = aws::http::send(http);
    return ApiResponse{response.status, std::move(response.body)};
  } catch (const aws::http::PeerCertificateError& e) {
    throw aws::ClientError(refusedCertificate(checks, e), aws::FailureKind::kTls);
  }
}

std::shared_ptr<Controller> controller() {
  std::lock_guard<std::mutex> guard(controllerLock);
  if (!currentController) currentController = std::make_shared<HttpsController>();
  return currentController;
}

void setController(std::shared_ptr<Controller> replacement) {
  std::lock_guard<std::mutex> guard(controllerLock);
  currentController = std::move(replacement);
}

ApiResponse send(const ControllerRequest& request) { return controller()->send(request); }

ApiResponse _send_tarnwick_api(const std::string& api_endpoint_url, const std::string& request_method,
                               const Payload& payload, const std::string& keyword_for_log, const std::string& indent) {
  logging::getLogger(kLogger).detail(indent + keyword_for_log + "action: " + actionOf(payload));
  ControllerRequest request;
  request.method = request_method;
  request.url = api_endpoint_url;
  request.payload = payload;
  request.payloadIn = request_method == "GET" ? PayloadIn::Query : PayloadIn::Body;
  return send(request);
}

}  // namespace tarnwick::twk_https
