// The retry and backoff policies, the program's preferred retry mode, and the retry strategy of
// service calls.
#include "tarnwick_testlibs/aws/retry.h"

#include <algorithm>
#include <array>
#include <limits>
#include <mutex>
#include <random>
#include <stdexcept>

#include "rate_limiter.h"
#include "retry_strategy.h"
#include "tarnwick_testlibs/aws/clock.h"

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

RetryPolicy RetryPolicy::limitedTime(std::chrono::milliseconds limit) {
  RetryPolicy policy(std::numeric_limits<int>::max());
  policy.deadline_ = clock().now() + limit;
  return policy;
}

bool RetryPolicy::allowsAnother(int attempt) const {
  return deadline_ ? clock().now() < *deadline_ : attempt < maxAttempts_;
}

std::chrono::milliseconds RetryPolicy::longestPause() const {
  if (!deadline_) return std::chrono::milliseconds::max();
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline_ - clock().now());
  return std::max(std::chrono::milliseconds(0), left);
}

BackoffPolicy::BackoffPolicy(Delay delay) : delay_(std::move(delay)) {}

BackoffPolicy BackoffPolicy::fixed(std::chrono::milliseconds delay) {
  return BackoffPolicy([delay](int) { return delay; });
}

BackoffPolicy BackoffPolicy::exponentialFullJitter(std::chrono::milliseconds base, std::chrono::milliseconds cap,
                                                   RandomSource random) {
  if (!random) random = threadRandom;
  return BackoffPolicy([base, cap, random = std::move(random)](int attempt) {
    const long long ceiling = std::min<long long>(base.count() << std::clamp(attempt - 1, 0, 20), cap.count());
    return std::chrono::milliseconds(static_cast<long long>(random() * static_cast<double>(ceiling)));
  });
}

BackoffPolicy BackoffPolicy::rounds(std::chrono::system_clock::time_point anchor, std::chrono::milliseconds shortest,
                                    std::chrono::milliseconds longest, int slowdown) {
  return BackoffPolicy([=](int) {
    const auto now = clock().now();
    auto round = anchor;
    while (round <= now)
      round += std::clamp(std::chrono::duration_cast<std::chrono::milliseconds>(round - anchor) / slowdown, shortest,
                          longest);
    return std::chrono::ceil<std::chrono::milliseconds>(round - now);
  });
}

std::chrono::milliseconds BackoffPolicy::delay(int attempt) const { return delay_(attempt); }

void BackoffPolicy::pause(int attempt) const { clock().sleepFor(delay(attempt)); }

RetryLoop::RetryLoop(RetryPolicy retry, BackoffPolicy backoff)
    : retry_(std::move(retry)), backoff_(std::move(backoff)) {}

bool RetryLoop::another() {
  if (!retry_.allowsAnother(attempt_)) return false;
  clock().sleepFor(std::min(backoff_.delay(attempt_), retry_.longestPause()));
  ++attempt_;
  return true;
}

namespace detail {
namespace {

const std::array<const char*, 14> kThrottlingCodes = {"Throttling",
                                                      "ThrottlingException",
                                                      "ThrottledException",
                                                      "RequestThrottledException",
                                                      "TooManyRequestsException",
                                                      "ProvisionedThroughputExceededException",
                                                      "TransactionInProgressException",
                                                      "RequestLimitExceeded",
                                                      "BandwidthLimitExceeded",
                                                      "LimitExceededException",
                                                      "RequestThrottled",
                                                      "SlowDown",
                                                      "PriorRequestNotComplete",
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
