// Internal: the client-side rate limiter of the adaptive retry mode, as the AWS SDKs define it.
// A token bucket paces the sends once a throttling answer has been seen; its rate follows a
// CUBIC curve that is cut on every throttling answer and grows back while calls succeed.
#pragma once
#include <mutex>

namespace tarnwick::aws::detail {

// aws::clock() in seconds, as the rate arithmetic wants it.
double clockSeconds();

// The CUBIC rule: after a throttling answer at rate W the rate drops to W * beta and then grows
// back along scale * (t - k)^3 + W, reaching W again after k seconds.
class CubicCalculator {
 public:
  static constexpr double kScale = 0.4;
  static constexpr double kBeta = 0.7;

  CubicCalculator(double startingMaxRate, double startTime);
  double successReceived(double timestamp) const;
  double errorReceived(double currentRate, double timestamp);

 private:
  double zeroPoint() const;
  double wMax_;
  double k_;
  double lastFail_;
};

// The rate of answers, measured in half-second steps and smoothed.
class RateClocker {
 public:
  static constexpr double kSmoothing = 0.8;
  static constexpr double kBucketRange = 0.5;

  explicit RateClocker(double now);
  double record(double now);  // counts one answer; returns the measured rate

 private:
  std::mutex lock_;
  double measuredRate_ = 0;
  double lastBucket_;
  int count_ = 0;
};

// Tokens refill at the fill rate up to a capacity of max(rate, 1); a send takes one.
class TokenBucket {
 public:
  static constexpr double kMinRate = 0.5;

  explicit TokenBucket(double maxRate);
  double maxRate();
  void setMaxRate(double rate);
  double capacity();
  // Takes a token, sleeping through aws::clock() until one is there.
  void acquire();

 private:
  void refillLocked();
  double sleepAmountLocked() const;
  std::mutex lock_;
  double fillRate_ = 0;
  double maxCapacity_ = 0;
  double capacity_ = 0;
  double lastTimestamp_ = -1;  // none yet
};

// One per client, shared by every thread that sends through it.
class RateLimiter {
 public:
  static constexpr double kMaxRateAdjustScale = 2.0;

  RateLimiter();
  // Before every send: waits for a token once throttling has been seen.
  void beforeSend();
  // After every answer (or failed connection, which counts as no throttling).
  void afterResponse(bool throttled);
  double sendRate();  // the bucket's current fill rate

 private:
  CubicCalculator cubic_;
  RateClocker clocker_;
  TokenBucket bucket_;
  std::mutex lock_;
  bool enabled_ = false;
};

}  // namespace tarnwick::aws::detail
