// Sends one signed service call with the standard retry strategy: throttling and transient
// failures are retried with capped, fully jittered exponential back-off, and a retry quota shared
// by every thread of a client stops retry storms when a service is down. The adaptive mode adds
// the client's rate limiter, which paces the sends after throttling.
#include "transport.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <ctime>
#include <mutex>
#include <optional>
#include <random>
#include <regex>

#include <fmt/format.h>

#include "tarnwick_testlibs/aws/clock.h"
#include "tarnwick_testlibs/aws/errors.h"
#include "tarnwick_testlibs/aws/sigv4.h"
#include "rate_limiter.h"

namespace aws::detail {
namespace {

constexpr int kInitialQuota = 500;
constexpr int kRetryCost = 5;
constexpr int kTimeoutRetryCost = 10;
constexpr int kNoRetryIncrement = 1;
constexpr auto kMaxBackoff = std::chrono::milliseconds(20000);

const std::array<const char*, 14> kThrottlingCodes = {
    "Throttling", "ThrottlingException", "ThrottledException", "RequestThrottledException",
    "TooManyRequestsException", "ProvisionedThroughputExceededException",
    "TransactionInProgressException", "RequestLimitExceeded", "BandwidthLimitExceeded",
    "LimitExceededException", "RequestThrottled", "SlowDown", "PriorRequestNotComplete",
    "EC2ThrottledException"};
const std::array<const char*, 2> kTransientCodes = {"RequestTimeout", "RequestTimeoutException"};

template <size_t N>
bool oneOf(const std::array<const char*, N>& codes, const std::string& code) {
  return std::any_of(codes.begin(), codes.end(), [&](const char* c) { return code == c; });
}

bool throttlingCode(const std::string& code) { return oneOf(kThrottlingCodes, code); }
bool retryableCode(const std::string& code) { return throttlingCode(code) || oneOf(kTransientCodes, code); }

bool retryableStatus(long status) {
  return status == 500 || status == 502 || status == 503 || status == 504;
}

double jitter() {
  thread_local std::mt19937_64 gen{std::random_device{}()};
  return std::uniform_real_distribution<double>(0.0, 1.0)(gen);
}

// Full jitter: a random share of min(2^(retry-1) s, 20 s).
std::chrono::milliseconds backoff(int retry) {
  long long cap = std::min<long long>(1000LL << std::min(retry - 1, 20), kMaxBackoff.count());
  return std::chrono::milliseconds(static_cast<long long>(jitter() * static_cast<double>(cap)));
}

// Answers that mean the request's time stamp was off, by the codes the services use for it.
const std::array<const char*, 6> kClockSkewCodes = {"RequestTimeTooSkewed", "RequestExpired", "RequestInTheFuture",
                                                    "InvalidSignatureException", "SignatureDoesNotMatch",
                                                    "AuthFailure"};
// Services accept a few minutes of difference; beyond this our clock is taken to be wrong.
constexpr auto kSkewTolerance = std::chrono::minutes(5);

bool clockSkewCode(const std::string& code) {
  return std::any_of(kClockSkewCodes.begin(), kClockSkewCodes.end(), [&](const char* c) { return code == c; });
}

// An HTTP Date header ("Tue, 07 May 2024 12:00:00 GMT").
std::optional<std::chrono::system_clock::time_point> httpDate(const std::string& text) {
  std::tm tm{};
  const char* end = strptime(text.c_str(), "%a, %d %b %Y %H:%M:%S", &tm);
  if (!end) return std::nullopt;
  return std::chrono::system_clock::from_time_t(timegm(&tm));
}

// A random (version 4) UUID naming one call across all of its attempts.
std::string invocationId() {
  thread_local std::mt19937_64 gen{std::random_device{}()};
  const unsigned long long hi = gen(), lo = gen();
  return fmt::format("{:08x}-{:04x}-4{:03x}-{:04x}-{:012x}", hi >> 32, (hi >> 16) & 0xffff, hi & 0xfff,
                     0x8000 | (lo >> 48 & 0x3fff), lo & 0xffffffffffffULL);
}

// Who is calling, and which attempt of which call this is, as the vendor SDKs tell the services.
void stampSdkHeaders(http::Request& r, const std::string& retryMode, const std::string& invocation, int attempt,
                     int maxAttempts) {
  r.headers.emplace_back("User-Agent", fmt::format("tarnwick_testlibs/{} ua/2.0 os/linux lang/cpp cfg/retry-mode#{}",
                                                   TARNWICK_TOOLKIT_VERSION, retryMode));
  r.headers.emplace_back("amz-sdk-invocation-id", invocation);
  r.headers.emplace_back("amz-sdk-request", fmt::format("attempt={}; max={}", attempt, maxAttempts));
}

// S3 reports some failures (of CompleteMultipartUpload, for one) in a 200 answer whose root
// element is Error; they are retried as a 500 would be.
bool errorInSuccess(const http::Response& r) {
  static const std::regex errorRoot(R"(\s*(<\?xml[^>]*\?>\s*)?<Error[\s>])");
  return r.status == 200 &&
         std::regex_search(r.body.substr(0, 512), errorRoot, std::regex_constants::match_continuous);
}

}  // namespace

// The difference between our clock and the services', learnt from their answers, so that a host
// with a wrong clock still signs with a time the services accept.
struct Transport::ClockSkew {
  std::atomic<long long> offsetMs{0};

  std::chrono::system_clock::time_point now() const {
    return aws::clock().now() + std::chrono::milliseconds(offsetMs.load());
  }
  // After an answer with a clock-skew code: true when the server's Date shows our time off by
  // more than the tolerance, which is then corrected (so the call is worth repeating).
  bool corrected(const http::Response& r, const std::string& code) {
    if (!clockSkewCode(code)) return false;
    const auto server = httpDate(r.header("date"));
    if (!server) return false;
    const auto ours = now();
    if (*server - ours < kSkewTolerance && ours - *server < kSkewTolerance) return false;
    offsetMs = std::chrono::duration_cast<std::chrono::milliseconds>(*server - aws::clock().now()).count();
    return true;
  }
};

struct Transport::Quota {
  std::mutex lock;
  int available = kInitialQuota;

  // Takes the cost of a retry; false when the quota is spent.
  bool acquire(int cost) {
    std::lock_guard<std::mutex> g(lock);
    if (available < cost) return false;
    available -= cost;
    return true;
  }
  void release(int amount) {
    std::lock_guard<std::mutex> g(lock);
    available = std::min(kInitialQuota, available + amount);
  }
};

Transport::Transport(std::string signingName, std::string region,
                     std::shared_ptr<CredentialsProvider> creds, RetryConfig retry)
    : signingName_(std::move(signingName)),
      region_(std::move(region)),
      creds_(std::move(creds)),
      retry_(std::move(retry)),
      quota_(std::make_shared<Quota>()),
      skew_(std::make_shared<ClockSkew>()),
      limiter_(retry_.mode == "adaptive" ? std::make_shared<RateLimiter>() : nullptr) {}

http::Response Transport::send(http::Request request, const ErrorCodeOf& errorCodeOf, bool s3,
                               const std::function<void()>& rewind) {
  sigv4::Options opts{region_, signingName_, s3, ""};
  bool canResend = !(request.uploadFrom || request.downloadTo) || static_cast<bool>(rewind);
  int maxAttempts = canResend ? std::max(1, retry_.maxAttempts) : 1;
  bool useQuota = retry_.mode != "legacy";
  int lastCost = 0;
  const std::string invocation = invocationId();

  for (int attempt = 1;; ++attempt) {
    if (attempt > 1 && rewind) rewind();
    http::Request signedRequest = request;
    stampSdkHeaders(signedRequest, retry_.mode, invocation, attempt, maxAttempts);
    sigv4::sign(signedRequest, creds_->get(), opts, skew_->now());

    int cost = 0;
    if (limiter_) limiter_->beforeSend();
    try {
      http::Response resp = http::send(signedRequest);
      if (s3 && errorInSuccess(resp)) resp.status = 500;
      bool failed = resp.status >= 300;
      const std::string code = failed && errorCodeOf ? errorCodeOf(resp) : "";
      if (limiter_) limiter_->afterResponse(throttlingCode(code));
      if (!failed || !(retryableStatus(resp.status) || retryableCode(code) || skew_->corrected(resp, code))) {
        if (!failed && useQuota) quota_->release(lastCost > 0 ? lastCost : kNoRetryIncrement);
        return resp;
      }
      // In adaptive mode the limiter answers throttling; the quota is kept for a service that fails.
      cost = limiter_ && throttlingCode(code) ? 0 : kRetryCost;
      if (attempt >= maxAttempts || (useQuota && cost > 0 && !quota_->acquire(cost))) return resp;
    } catch (const ClientError& e) {
      if (limiter_) limiter_->afterResponse(false);
      std::string text = e.what();
      cost = text.find("imed out") != std::string::npos ? kTimeoutRetryCost : kRetryCost;
      if (attempt >= maxAttempts || (useQuota && !quota_->acquire(cost))) throw;
    }
    lastCost = cost;
    aws::clock().sleep_for(backoff(attempt));
  }
}

}  // namespace aws::detail
