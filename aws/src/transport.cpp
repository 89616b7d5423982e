// Sends one signed service call with the standard retry strategy: throttling and transient
// failures are retried with capped, fully jittered exponential back-off, and a retry quota shared
// by every thread of a client stops retry storms when a service is down. The adaptive mode adds
// the client's rate limiter, which paces the sends after throttling.
#include "transport.h"

#include <algorithm>
#include <array>
#include <mutex>
#include <random>

#include "aws/clock.h"
#include "aws/errors.h"
#include "aws/sigv4.h"
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

}  // namespace

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
      limiter_(retry_.mode == "adaptive" ? std::make_shared<RateLimiter>() : nullptr) {}

http::Response Transport::send(http::Request request, const ErrorCodeOf& errorCodeOf, bool s3,
                               const std::function<void()>& rewind) {
  sigv4::Options opts{region_, signingName_, s3, ""};
  bool canResend = !(request.uploadFrom || request.downloadTo) || static_cast<bool>(rewind);
  int maxAttempts = canResend ? std::max(1, retry_.maxAttempts) : 1;
  bool useQuota = retry_.mode != "legacy";
  int lastCost = 0;

  for (int attempt = 1;; ++attempt) {
    if (attempt > 1 && rewind) rewind();
    http::Request signedRequest = request;
    sigv4::sign(signedRequest, creds_->get(), opts, aws::clock().now());

    int cost = 0;
    if (limiter_) limiter_->beforeSend();
    try {
      http::Response resp = http::send(signedRequest);
      bool failed = resp.status >= 300;
      const std::string code = failed && errorCodeOf ? errorCodeOf(resp) : "";
      if (limiter_) limiter_->afterResponse(throttlingCode(code));
      if (!failed || !(retryableStatus(resp.status) || retryableCode(code))) {
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
