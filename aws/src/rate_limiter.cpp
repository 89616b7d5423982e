// The adaptive retry mode's rate limiter; the arithmetic follows the SDKs' published algorithm
// step by step, so that a client here backs off exactly as a client of the SDKs would.
#include "rate_limiter.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "tarnwick_testlibs/aws/clock.h"

namespace tarnwick::aws::detail {

double clockSeconds() { return std::chrono::duration<double>(aws::clock().now().time_since_epoch()).count(); }

CubicCalculator::CubicCalculator(double startingMaxRate, double startTime)
    : wMax_(startingMaxRate), k_(0), lastFail_(startTime) {
  k_ = zeroPoint();
}

double CubicCalculator::zeroPoint() const { return std::cbrt(wMax_ * (1 - kBeta) / kScale); }

double CubicCalculator::successReceived(double timestamp) const {
  return kScale * std::pow(timestamp - lastFail_ - k_, 3) + wMax_;
}

double CubicCalculator::errorReceived(double currentRate, double timestamp) {
  wMax_ = currentRate;
  k_ = zeroPoint();
  lastFail_ = timestamp;
  return currentRate * kBeta;
}

RateClocker::RateClocker(double now) : lastBucket_(std::floor(now)) {}

double RateClocker::record(double now) {
  std::lock_guard<std::mutex> g(lock_);
  const double scale = 1 / kBucketRange;
  const double bucket = std::floor(now * scale) / scale;
  ++count_;
  if (bucket > lastBucket_) {
    const double currentRate = count_ / (bucket - lastBucket_);
    measuredRate_ = currentRate * kSmoothing + measuredRate_ * (1 - kSmoothing);
    count_ = 0;
    lastBucket_ = bucket;
  }
  return measuredRate_;
}

TokenBucket::TokenBucket(double maxRate) { setMaxRate(maxRate); }

double TokenBucket::maxRate() {
  std::lock_guard<std::mutex> g(lock_);
  return fillRate_;
}

double TokenBucket::capacity() {
  std::lock_guard<std::mutex> g(lock_);
  return capacity_;
}

void TokenBucket::setMaxRate(double rate) {
  std::lock_guard<std::mutex> g(lock_);
  // Tokens earned at the old rate are counted before the new rate applies.
  refillLocked();
  fillRate_ = std::max(rate, kMinRate);
  maxCapacity_ = rate >= 1 ? rate : 1;
  capacity_ = std::min(capacity_, maxCapacity_);
}

void TokenBucket::refillLocked() {
  const double now = clockSeconds();
  if (lastTimestamp_ < 0) {
    lastTimestamp_ = now;
    return;
  }
  capacity_ = std::min(maxCapacity_, capacity_ + (now - lastTimestamp_) * fillRate_);
  lastTimestamp_ = now;
}

double TokenBucket::sleepAmountLocked() const { return (1 - capacity_) / fillRate_; }

void TokenBucket::acquire() {
  std::unique_lock<std::mutex> g(lock_);
  refillLocked();
  while (capacity_ < 1) {
    // Sleep outside the lock: other senders, and rate changes, must not wait behind a sleeper.
    const auto pause = std::chrono::milliseconds(static_cast<long long>(std::ceil(sleepAmountLocked() * 1000)));
    g.unlock();
    aws::clock().sleepFor(pause);
    g.lock();
    refillLocked();
  }
  capacity_ -= 1;
}

RateLimiter::RateLimiter() : cubic_(0, clockSeconds()), clocker_(clockSeconds()), bucket_(1) {}

void RateLimiter::beforeSend() {
  {
    std::lock_guard<std::mutex> g(lock_);
    if (!enabled_) return;
  }
  bucket_.acquire();
}

void RateLimiter::afterResponse(bool throttled) {
  const double measuredRate = clocker_.record(clockSeconds());
  const double timestamp = clockSeconds();
  std::lock_guard<std::mutex> g(lock_);
  double newRate;
  if (!throttled) {
    newRate = cubic_.successReceived(timestamp);
  } else {
    const double rateToUse = enabled_ ? std::min(measuredRate, bucket_.maxRate()) : measuredRate;
    newRate = cubic_.errorReceived(rateToUse, timestamp);
    enabled_ = true;
  }
  bucket_.setMaxRate(std::min(newRate, kMaxRateAdjustScale * measuredRate));
}

double RateLimiter::sendRate() { return bucket_.maxRate(); }

}  // namespace tarnwick::aws::detail
