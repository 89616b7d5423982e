// How loops that wait and try again behave: a retry policy says whether a loop may make another
// attempt (a count of attempts, or a limit of time), a backoff policy how long it pauses before
// it. A RetryLoop holds one loop's pair; the waiters, the credential endpoints' blips and the
// deployment's own loops run on one. The service clients ask their pair's two questions apart,
// since the retry quota decides between them. Pauses go through aws::clock(), so that a test's
// manual clock drives them and a stop request ends them. Not loops of this kind: the adaptive
// mode's rate limiter, which waits for a token; the deployer's poller, which spaces its merged
// calls; and the metadata service's few attempts, which follow one another without a pause.
#pragma once
#include <chrono>
#include <functional>
#include <optional>
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
  // Attempts for `limit` from now, however many: another may follow as long as the limit has not
  // passed, and no pause before it goes past the limit, so that a last attempt falls on the limit
  // itself. The time counts from the policy's making: one policy per loop.
  static RetryPolicy limitedTime(std::chrono::milliseconds limit);

  // The attempts allowed; the largest int for a limit of time.
  int maxAttempts() const { return maxAttempts_; }
  // Whether attempt `attempt`, which did not settle the matter, may be followed by another.
  bool allowsAnother(int attempt) const;
  // The longest pause that still ends within the limit of time (no bound without one).
  std::chrono::milliseconds longestPause() const;

 private:
  int maxAttempts_;
  std::optional<std::chrono::system_clock::time_point> deadline_;
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
  // Rounds that begin at `anchor`, each as long as the time from `anchor` to its start divided by
  // `slowdown` (at least 1), within [shortest, longest] (0 < shortest <= longest). The pause lasts
  // until the first round after now, whatever the attempt, so that loops anchored alike attempt at
  // the same instants however long their calls took.
  static BackoffPolicy rounds(std::chrono::system_clock::time_point anchor, std::chrono::milliseconds shortest,
                              std::chrono::milliseconds longest, int slowdown);

  std::chrono::milliseconds delay(int attempt) const;
  // Sleeps delay(attempt) through aws::clock().
  void pause(int attempt) const;

 private:
  using Delay = std::function<std::chrono::milliseconds(int attempt)>;
  explicit BackoffPolicy(Delay delay);
  Delay delay_;
};

// One loop's pair, and the attempt it is at.
class RetryLoop {
 public:
  RetryLoop(RetryPolicy retry, BackoffPolicy backoff);
  // After an attempt that did not settle the matter: false when the retry policy allows no
  // other; else pauses as long as the backoff policy says, but not past the retry policy's limit
  // of time, and returns true. A stop request ends the pause by throwing Interrupted.
  bool another();
  int attempt() const { return attempt_; }  // from 1

 private:
  RetryPolicy retry_;
  BackoffPolicy backoff_;
  int attempt_ = 1;
};

}  // namespace tarnwick::aws
