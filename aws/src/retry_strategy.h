// Internal: the retry strategy of service calls. Which answers and failures are worth another
// attempt, how many attempts a call makes and how long it pauses between them, the retry quota
// that every thread of a client shares, and in adaptive mode the client's rate limiter.
#pragma once
#include <memory>
#include <optional>
#include <string>

#include "tarnwick_testlibs/aws/errors.h"
#include "tarnwick_testlibs/aws/retry.h"

namespace tarnwick::aws::detail {

struct RetryConfig {
  int maxAttempts = 10;           // AWS_MAX_ATTEMPTS, else the profile's max_attempts
  std::string mode = "standard";  // AWS_RETRY_MODE, else the profile's retry_mode
  bool modeSetByUser = false;     // false: `mode` is the program's default, nobody chose it
  // The environment first, then the shared config file's profile (explicit, else AWS_PROFILE,
  // else "default"). Values that are not valid throw ClientError.
  static RetryConfig resolve(const std::optional<std::string>& profile);
  static RetryConfig fromEnvironment() { return resolve(std::nullopt); }
  // What a program prefers when its user chose no mode (aws::setDefaultRetryMode).
  static std::string programDefaultMode();
};

class RateLimiter;

// One per client, shared by every thread that calls through it.
class ServiceRetryPolicy {
 public:
  static constexpr int kInitialQuota = 500;
  static constexpr int kRetryCost = 5;
  static constexpr int kTimeoutRetryCost = 10;
  static constexpr int kNoRetryIncrement = 1;

  // `backoff` defaults to full jitter from 1 s, capped at 20 s.
  explicit ServiceRetryPolicy(RetryConfig config, std::optional<BackoffPolicy> backoff = std::nullopt);
  ~ServiceRetryPolicy();
  ServiceRetryPolicy(const ServiceRetryPolicy&) = delete;
  ServiceRetryPolicy& operator=(const ServiceRetryPolicy&) = delete;

  const RetryConfig& config() const { return config_; }
  // The attempts of one call: as configured, or one when its body cannot be sent again.
  RetryPolicy attempts(bool canResend) const;
  const BackoffPolicy& backoff() const { return backoff_; }

  static bool throttling(const std::string& code);
  // An error answer worth another attempt: a throttling or transient code, or 500/502/503/504.
  static bool retryable(long status, const std::string& code);
  // A call that failed without an answer is worth another attempt when the connection failed,
  // timed out or broke in TLS, or the transfer failed on this side.
  static bool retryable(const ClientError& failure);
  // What a retry takes from the quota: nothing after throttling in adaptive mode (the limiter
  // paces the calls instead), more after a time-out than after anything else.
  int retryCost(const std::string& code) const;
  static int retryCost(const ClientError& failure);
  // Takes `cost` from the quota; false when it is spent. Legacy mode keeps no quota.
  bool acquire(int cost);
  // After a successful call: gives back what its last retry took, or a little when none.
  void succeeded(int lastCost);

  // The adaptive mode's pacing (nothing in the other modes): before each send, and after each
  // answer or send that got none.
  void beforeSend();
  void afterAnswer(const std::string& code);
  void afterFailure();

 private:
  struct Quota;
  RetryConfig config_;
  BackoffPolicy backoff_;
  std::unique_ptr<Quota> quota_;          // none in legacy mode
  std::unique_ptr<RateLimiter> limiter_;  // adaptive mode only
};

}  // namespace tarnwick::aws::detail
