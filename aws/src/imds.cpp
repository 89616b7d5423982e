// The instance metadata client: a session token first, cached until shortly before it expires,
// and short time-outs so that a host off EC2 gives up quickly.
#include "tarnwick_testlibs/aws/imds.h"

#include <mutex>
#include <optional>

#include <fmt/format.h>

#include "tarnwick_testlibs/aws/clock.h"
#include "tarnwick_testlibs/aws/errors.h"
#include "tarnwick_testlibs/base/text.h"
#include "config.h"

namespace aws::imds {
namespace {

constexpr const char* kDefaultEndpoint = "http://169.254.169.254";
constexpr long kConnectTimeoutMs = 1000;
constexpr long kTotalTimeoutMs = 3000;
constexpr int kTokenTtlSeconds = 21600;
// A token this close to its end is not used any more.
constexpr auto kTokenMargin = std::chrono::minutes(5);

struct TokenCache {
  std::mutex lock;
  std::string endpoint;
  std::optional<std::string> token;  // empty string: the service does not hand out tokens
  std::chrono::system_clock::time_point expires;
};

TokenCache& cache() {
  static TokenCache c;
  return c;
}

http::Request baseRequest(const std::string& method, const std::string& url) {
  http::Request r;
  r.method = method;
  r.url = url;
  r.verifyTls = false;
  r.bypassProxy = true;
  r.connectTimeoutMs = kConnectTimeoutMs;
  r.totalTimeoutMs = kTotalTimeoutMs;
  return r;
}

// A token, or "" when the service refuses tokens (and plain requests are the way to go).
std::string fetchToken(const std::string& base) {
  http::Request r = baseRequest("PUT", base + "/latest/api/token");
  r.headers.emplace_back("x-aws-ec2-metadata-token-ttl-seconds", std::to_string(kTokenTtlSeconds));
  http::Response resp;
  try {
    resp = http::send(r);
  } catch (const ClientError&) {
    // As the SDKs do: a token request that gets no answer (a container behind a hop limit of 1
    // never sees it) falls back to plain requests, which then fail on their own if the service
    // cannot be reached at all.
    return "";
  }
  if (resp.status == 200) return resp.body;
  if (resp.status == 403 || resp.status == 404 || resp.status == 405) return "";
  throw ClientError(fmt::format("the instance metadata service refused a session token (status {})", resp.status));
}

std::string token(const std::string& base, bool renew) {
  TokenCache& c = cache();
  std::lock_guard<std::mutex> g(c.lock);
  auto now = aws::clock().now();
  if (renew || c.endpoint != base || !c.token || now + kTokenMargin >= c.expires) {
    c.token = fetchToken(base);
    c.endpoint = base;
    c.expires = now + std::chrono::seconds(kTokenTtlSeconds);
  }
  return *c.token;
}

http::Response getWith(const std::string& url, const std::string& tok) {
  http::Request r = baseRequest("GET", url);
  if (!tok.empty()) r.headers.emplace_back("x-aws-ec2-metadata-token", tok);
  return http::send(r);
}

}  // namespace

std::string endpoint() {
  std::string e = detail::env("AWS_EC2_METADATA_SERVICE_ENDPOINT").value_or(kDefaultEndpoint);
  while (!e.empty() && e.back() == '/') e.pop_back();
  return e;
}

bool disabled() {
  auto v = detail::env("AWS_EC2_METADATA_DISABLED");
  if (!v) return false;
  return tarnwick::text::lower(*v) == "true";
}

http::Response get(const std::string& path) {
  if (disabled()) throw ClientError("the instance metadata service is disabled (AWS_EC2_METADATA_DISABLED)");
  std::string base = endpoint();
  std::string url = base + (path.empty() || path[0] != '/' ? "/" : "") + path;
  std::string tok = token(base, false);
  http::Response resp = getWith(url, tok);
  // A token the service no longer accepts (for example after a restart) is renewed once.
  if (resp.status == 401 && !tok.empty()) resp = getWith(url, token(base, true));
  return resp;
}

}  // namespace aws::imds
