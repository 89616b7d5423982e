// How loops that wait and try again behave: a retry policy says how many attempts a loop makes,
// a backoff policy how long it pauses before the next. The service clients, the waiters and
// the deployment's own loops all take such a pair; their pauses go through aws::clock().
#pragma once
#include <chrono>
#include <functional>
#include <string>

namespace tarnwick::aws {

// Clients opened afterwards use `mode` ("standard", "legacy" or "adaptive") unless the user
// chose one (AWS_RETRY_MODE, or the profile's retry_mode). Unknown modes throw
// std::invalid_argument. Meant for a program's start, before any client exists.
void setDefaultRetryMode(const std::string& mode);

// A limit on the attempts of one loop, counted from 1. Which failures are worth another attempt
// is the loop's to say; a loop over service calls asks its client's retry strategy.
class RetryPolicy {
 public:
  // At least one attempt, whatever `maxAttempts` says.
  explicit RetryPolicy(int maxAttempts);
  int maxAttempts() const { return maxAttempts_; }
  // Whether attempt `attempt`, which did not settle the matter, may be followed by another.
  bool allowsAnother(int attempt) const { return attempt < maxAttempts_; }

 private:
  int maxAttempts_;
};

// The pause after attempt `attempt` (from 1), before the next one.
class BackoffPolicy {
 public:
  // A random share in [0, 1).
  using RandomSource = std::function<double()>;

  // The same pause after every attempt.
  static BackoffPolicy fixed(std::chrono::milliseconds delay);
  // Full jitter: a random share of min(base * 2^(attempt-1), cap). Without a random source,
  // the share comes from a generator of the calling thread's own.
  static BackoffPolicy exponentialFullJitter(std::chrono::milliseconds base, std::chrono::milliseconds cap,
                                             RandomSource random = {});

  std::chrono::milliseconds delay(int attempt) const;
  // Sleeps delay(attempt) through aws::clock().
  void pause(int attempt) const;

 private:
  BackoffPolicy(std::chrono::milliseconds base, std::chrono::milliseconds cap, bool jitter, RandomSource random);
  std::chrono::milliseconds base_, cap_;
  bool jitter_;
  RandomSource random_;
};

}  // namespace tarnwick::aws
