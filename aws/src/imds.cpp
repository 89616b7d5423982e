// The instance metadata client: a session token first, cached until shortly before it expires,
// and short time-outs so that a host off EC2 gives up quickly.
#include "tarnwick_testlibs/aws/imds.h"

#include <charconv>
#include <mutex>
#include <optional>

#include <fmt/format.h>

#include "config.h"
#include "tarnwick_testlibs/aws/clock.h"
#include "tarnwick_testlibs/aws/errors.h"
#include "tarnwick_testlibs/base/text.h"

namespace tarnwick::aws::imds {
namespace {

constexpr const char* kDefaultEndpoint = "http://169.254.169.254";
// Per attempt: the connection within the configured time-out, the whole answer within three.
constexpr long kTotalTimeoutFactor = 3;
constexpr int kTokenTtlSeconds = 21600;
// A token this close to its end is not used any more.
constexpr auto kTokenMargin = std::chrono::minutes(5);

struct Settings {
  long timeoutMs = 1000;
  int attempts = 1;
  bool v1Disabled = false;
};

// A setting of whole seconds or attempts, at least 1.
int positiveSetting(const char* envName, const char* key, const std::optional<std::string>& profile, int fallback) {
  auto setting = detail::userSetting(envName, key, profile);
  if (!setting) return fallback;
  int n = 0;
  const char* end = setting->value.data() + setting->value.size();
  const auto [stop, error] = std::from_chars(setting->value.data(), end, n);
  if (error == std::errc() && stop == end && n >= 1 && n <= 3600) return n;
  throw ClientError(
      fmt::format("{} must be a whole number from 1 to 3600, not \"{}\"", setting->source, setting->value));
}

Settings settingsOf(const std::optional<std::string>& profile) {
  Settings s;
  s.timeoutMs = 1000L * positiveSetting("AWS_METADATA_SERVICE_TIMEOUT", "metadata_service_timeout", profile, 1);
  s.attempts = positiveSetting("AWS_METADATA_SERVICE_NUM_ATTEMPTS", "metadata_service_num_attempts", profile, 1);
  s.v1Disabled = detail::flagSetting("AWS_EC2_METADATA_V1_DISABLED", "ec2_metadata_v1_disabled", profile);
  return s;
}

// Only a token the service handed out is kept: a refusal or a lost answer is asked again next
// time, so that a host that requires tokens is not left without one for the token's lifetime.
struct TokenCache {
  std::mutex lock;
  std::string endpoint;
  std::optional<std::string> token;
  std::chrono::system_clock::time_point expires;
};

TokenCache& cache() {
  static TokenCache c;
  return c;
}

http::Request baseRequest(const std::string& method, const std::string& url, const Settings& s) {
  http::Request r;
  r.method = method;
  r.url = url;
  r.verifyTls = false;
  r.bypassProxy = true;
  r.connectTimeoutMs = s.timeoutMs;
  r.totalTimeoutMs = s.timeoutMs * kTotalTimeoutFactor;
  return r;
}

// A token, or "" when the service refuses tokens (and plain requests are the way to go).
std::string fetchToken(const std::string& base, const Settings& s) {
  http::Request r = baseRequest("PUT", base + "/latest/api/token", s);
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

std::string token(const std::string& base, bool renew, const Settings& s) {
  TokenCache& c = cache();
  std::lock_guard<std::mutex> g(c.lock);
  auto now = aws::clock().now();
  if (renew || c.endpoint != base || !c.token || now + kTokenMargin >= c.expires) {
    c.token.reset();
    std::string fetched = fetchToken(base, s);
    if (fetched.empty()) {
      if (s.v1Disabled)
        throw ClientError(
            "the instance metadata service gave no session token and IMDSv1 is disabled "
            "(AWS_EC2_METADATA_V1_DISABLED or ec2_metadata_v1_disabled)");
      return "";
    }
    c.token = std::move(fetched);
    c.endpoint = base;
    c.expires = now + std::chrono::seconds(kTokenTtlSeconds);
  }
  return *c.token;
}

http::Response getWith(const std::string& url, const std::string& tok, const Settings& s) {
  http::Request r = baseRequest("GET", url, s);
  if (!tok.empty()) r.headers.emplace_back("x-aws-ec2-metadata-token", tok);
  return http::send(r);
}

// One GET, with its token renewed once when the service no longer accepts it (after a restart).
http::Response getOnce(const std::string& base, const std::string& url, const Settings& s) {
  std::string tok = token(base, false, s);
  http::Response resp = getWith(url, tok, s);
  if (resp.status == 401 && !tok.empty()) resp = getWith(url, token(base, true, s), s);
  return resp;
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

http::Response get(const std::string& path, const std::optional<std::string>& profile) {
  if (disabled()) throw ClientError("the instance metadata service is disabled (AWS_EC2_METADATA_DISABLED)");
  const Settings s = settingsOf(profile);
  std::string base = endpoint();
  std::string url = base + (path.empty() || path[0] != '/' ? "/" : "") + path;
  for (int attempt = 1;; ++attempt) {
    const bool last = attempt >= s.attempts;
    try {
      http::Response resp = getOnce(base, url, s);
      if (last || (resp.status == 200 && !resp.body.empty())) return resp;
    } catch (const ClientError& e) {
      if (last || e.kind() == FailureKind::kOther) throw;
    }
  }
}

}  // namespace tarnwick::aws::imds
