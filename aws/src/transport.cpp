// Sends one signed service call with the standard retry strategy: throttling and transient
// failures are retried with capped, fully jittered exponential back-off, and a retry quota shared
// by every thread of a client stops retry storms when a service is down.
#include "transport.h"

#include <algorithm>
#include <array>
#include <mutex>
#include <random>

#include "aws/clock.h"
#include "aws/errors.h"
#include "aws/sigv4.h"

namespace aws::detail {
namespace {

constexpr int kInitialQuota = 500;
constexpr int kRetryCost = 5;
constexpr int kTimeoutRetryCost = 10;
constexpr int kNoRetryIncrement = 1;
constexpr auto kMaxBackoff = std::chrono::milliseconds(20000);

const std::array<const char*, 16> kThrottlingCodes = {
    "Throttling", "ThrottlingException", "ThrottledException", "RequestThrottledException",
    "TooManyRequestsException", "ProvisionedThroughputExceededException",
    "TransactionInProgressException", "RequestLimitExceeded", "BandwidthLimitExceeded",
    "LimitExceededException", "RequestThrottled", "SlowDown", "PriorRequestNotComplete",
    "EC2ThrottledException", "RequestTimeout", "RequestTimeoutException"};

bool retryableCode(const std::string& code) {
  return std::any_of(kThrottlingCodes.begin(), kThrottlingCodes.end(),
                     [&](const char* c) { return code == c; });
}

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
      quota_(std::make_shared<Quota>()) {}

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
    try {
      http::Response resp = http::send(signedRequest);
      bool failed = resp.status >= 300;
      if (!failed || !(retryableStatus(resp.status) || retryableCode(errorCodeOf ? errorCodeOf(resp) : ""))) {
        if (!failed && useQuota) quota_->release(attempt == 1 ? kNoRetryIncrement : lastCost);
        return resp;
      }
      cost = kRetryCost;
      if (attempt >= maxAttempts || (useQuota && !quota_->acquire(cost))) return resp;
    } catch (const ClientError& e) {
      std::string text = e.what();
      cost = text.find("imed out") != std::string::npos ? kTimeoutRetryCost : kRetryCost;
      if (attempt >= maxAttempts || (useQuota && !quota_->acquire(cost))) throw;
    }
    lastCost = cost;
    aws::clock().sleep_for(backoff(attempt));
  }
}

}  // namespace aws::detail
