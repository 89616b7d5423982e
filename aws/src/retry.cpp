// The retry and backoff policies, the program's preferred retry mode, and the retry strategy of
// service calls.
#include "tarnwick_testlibs/aws/retry.h"

#include <algorithm>
#include <array>
#include <mutex>
#include <random>
#include <stdexcept>

#include "tarnwick_testlibs/aws/clock.h"
#include "rate_limiter.h"
#include "retry_strategy.h"

namespace tarnwick::aws {
namespace {

std::mutex& modeLock() {
  static std::mutex m;
  return m;
}

std::string& defaultMode() {
  static std::string mode = "standard";
  return mode;
}

double threadRandom() {
  thread_local std::mt19937_64 gen{std::random_device{}()};
  return std::uniform_real_distribution<double>(0.0, 1.0)(gen);
}

}  // namespace

void setDefaultRetryMode(const std::string& mode) {
  if (mode != "standard" && mode != "legacy" && mode != "adaptive")
    throw std::invalid_argument("unknown retry mode " + mode);
  std::lock_guard<std::mutex> g(modeLock());
  defaultMode() = mode;
}

std::string detail::RetryConfig::programDefaultMode() {
  std::lock_guard<std::mutex> g(modeLock());
  return defaultMode();
}

RetryPolicy::RetryPolicy(int maxAttempts) : maxAttempts_(std::max(1, maxAttempts)) {}

BackoffPolicy::BackoffPolicy(std::chrono::milliseconds base, std::chrono::milliseconds cap, bool jitter,
                             RandomSource random)
    : base_(base), cap_(cap), jitter_(jitter), random_(random ? std::move(random) : RandomSource(threadRandom)) {}

BackoffPolicy BackoffPolicy::fixed(std::chrono::milliseconds delay) { return BackoffPolicy(delay, delay, false, {}); }

BackoffPolicy BackoffPolicy::exponentialFullJitter(std::chrono::milliseconds base, std::chrono::milliseconds cap,
                                                   RandomSource random) {
  return BackoffPolicy(base, cap, true, std::move(random));
}

std::chrono::milliseconds BackoffPolicy::delay(int attempt) const {
  if (!jitter_) return base_;
  const long long ceiling = std::min<long long>(base_.count() << std::clamp(attempt - 1, 0, 20), cap_.count());
  return std::chrono::milliseconds(static_cast<long long>(random_() * static_cast<double>(ceiling)));
}

void BackoffPolicy::pause(int attempt) const { clock().sleepFor(delay(attempt)); }

namespace detail {
namespace {

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

constexpr auto kBackoffBase = std::chrono::milliseconds(1000);
constexpr auto kMaxBackoff = std::chrono::milliseconds(20000);

}  // namespace

struct ServiceRetryPolicy::Quota {
  std::mutex lock;
  int available = kInitialQuota;
};

ServiceRetryPolicy::ServiceRetryPolicy(RetryConfig config, std::optional<BackoffPolicy> backoff)
    : config_(std::move(config)),
      backoff_(backoff ? std::move(*backoff) : BackoffPolicy::exponentialFullJitter(kBackoffBase, kMaxBackoff)),
      quota_(config_.mode != "legacy" ? std::make_unique<Quota>() : nullptr),
      limiter_(config_.mode == "adaptive" ? std::make_unique<RateLimiter>() : nullptr) {}

ServiceRetryPolicy::~ServiceRetryPolicy() = default;

RetryPolicy ServiceRetryPolicy::attempts(bool canResend) const {
  return RetryPolicy(canResend ? config_.maxAttempts : 1);
}

bool ServiceRetryPolicy::throttling(const std::string& code) { return oneOf(kThrottlingCodes, code); }

bool ServiceRetryPolicy::retryable(long status, const std::string& code) {
  return status == 500 || status == 502 || status == 503 || status == 504 || throttling(code) ||
         oneOf(kTransientCodes, code);
}

bool ServiceRetryPolicy::retryable(const ClientError& failure) {
  switch (failure.kind()) {
    case FailureKind::kConnection:
    case FailureKind::kTimeout:
    case FailureKind::kTls:
    case FailureKind::kTransfer:
      return true;
    default:
      return false;
  }
}

int ServiceRetryPolicy::retryCost(const std::string& code) const {
  return limiter_ && throttling(code) ? 0 : kRetryCost;
}

int ServiceRetryPolicy::retryCost(const ClientError& failure) {
  return failure.kind() == FailureKind::kTimeout ? kTimeoutRetryCost : kRetryCost;
}

bool ServiceRetryPolicy::acquire(int cost) {
  if (!quota_ || cost == 0) return true;
  std::lock_guard<std::mutex> g(quota_->lock);
  if (quota_->available < cost) return false;
  quota_->available -= cost;
  return true;
}

void ServiceRetryPolicy::succeeded(int lastCost) {
  if (!quota_) return;
  std::lock_guard<std::mutex> g(quota_->lock);
  quota_->available = std::min(kInitialQuota, quota_->available + (lastCost > 0 ? lastCost : kNoRetryIncrement));
}

void ServiceRetryPolicy::beforeSend() {
  if (limiter_) limiter_->beforeSend();
}

void ServiceRetryPolicy::afterAnswer(const std::string& code) {
  if (limiter_) limiter_->afterResponse(throttling(code));
}

void ServiceRetryPolicy::afterFailure() {
  if (limiter_) limiter_->afterResponse(false);
}

}  // namespace detail
}  // namespace tarnwick::aws
