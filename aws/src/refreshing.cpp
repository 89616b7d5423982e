// Temporary credentials that renew themselves before they expire, without stalling the threads
// that share them.
#include <algorithm>
#include <mutex>

#include "config.h"
#include "tarnwick_testlibs/aws/clock.h"
#include "tarnwick_testlibs/aws/credentials.h"
#include "tarnwick_testlibs/aws/errors.h"

namespace tarnwick::aws {
namespace {

using TimePoint = std::chrono::system_clock::time_point;
using Duration = std::chrono::system_clock::duration;

// The vendor SDKs' windows: from 15 minutes before the end one caller renews while the others
// go on; from 10 minutes before it every caller waits for fresh credentials.
constexpr Duration kAdvisoryWindow = std::chrono::minutes(15);
constexpr Duration kMandatoryWindow = std::chrono::minutes(10);
// After a failed renewal the current credentials serve this long before the next attempt, so
// that a throttled service is not asked again by every call.
constexpr Duration kRetryPause = std::chrono::seconds(30);

enum class Need { None, Advisory, Mandatory };

class RefreshingProvider : public CredentialsProvider {
 public:
  RefreshingProvider(std::function<Credentials()> fetch, std::optional<Credentials> initial)
      : fetch_(std::move(fetch)) {
    if (initial) keep(*initial, aws::clock().now());
  }

  Credentials get() override {
    auto [current, need] = look();
    if (need == Need::None) return *current;
    if (need == Need::Advisory) {
      std::unique_lock<std::mutex> refreshing(refreshLock_, std::try_to_lock);
      // Another caller is renewing them; the current ones are still good for a while.
      if (!refreshing.owns_lock()) return *current;
      return renew(Need::Advisory);
    }
    std::lock_guard<std::mutex> refreshing(refreshLock_);
    return renew(Need::Mandatory);
  }

 private:
  std::pair<std::optional<Credentials>, Need> look() {
    std::lock_guard<std::mutex> g(stateLock_);
    return {current_, needAt(aws::clock().now())};
  }

  Need needAt(TimePoint now) const {
    if (!current_) return Need::Mandatory;
    if (!current_->expiration) return Need::None;
    const Duration left = *current_->expiration - now;
    if (left <= Duration::zero()) return Need::Mandatory;
    if (now < retryAfter_) return Need::None;
    if (left <= mandatory_) return Need::Mandatory;
    return left <= advisory_ ? Need::Advisory : Need::None;
  }

  // Short-lived credentials get proportionally shorter windows, or every call would renew them.
  void keep(const Credentials& c, TimePoint fetchedAt) {
    std::lock_guard<std::mutex> g(stateLock_);
    current_ = c;
    retryAfter_ = TimePoint{};
    if (!c.expiration) return;
    const Duration lifetime = *c.expiration - fetchedAt;
    advisory_ = std::min(kAdvisoryWindow, lifetime / 2);
    mandatory_ = std::min(kMandatoryWindow, lifetime / 4);
  }

  // Called holding refreshLock_.
  Credentials renew(Need reason) {
    auto [current, need] = look();
    // Whoever held the lock before may have renewed them already.
    if (need < reason) return *current;
    const TimePoint now = aws::clock().now();
    try {
      Credentials fresh = fetch_();
      keep(fresh, now);
      return fresh;
    } catch (const ServiceError&) {
      return fallBack(now);
    } catch (const ClientError&) {
      return fallBack(now);
    }
  }

  // Inside a catch: rethrows unless the current credentials are still valid.
  Credentials fallBack(TimePoint now) {
    std::lock_guard<std::mutex> g(stateLock_);
    if (!current_ || !current_->expiration || now >= *current_->expiration) throw;
    retryAfter_ = now + kRetryPause;
    return *current_;
  }

  std::function<Credentials()> fetch_;
  std::mutex refreshLock_;  // held by the one caller that renews
  std::mutex stateLock_;    // guards what follows
  std::optional<Credentials> current_;
  Duration advisory_ = kAdvisoryWindow, mandatory_ = kMandatoryWindow;
  TimePoint retryAfter_{};
};

}  // namespace

std::optional<std::chrono::system_clock::time_point> parseExpiration(const std::string& text) {
  return detail::parseIso8601(text);
}

std::shared_ptr<CredentialsProvider> refreshingCredentials(std::function<Credentials()> fetch,
                                                           std::optional<Credentials> initial) {
  return std::make_shared<RefreshingProvider>(std::move(fetch), std::move(initial));
}

}  // namespace tarnwick::aws
