// The process's clock, the manual clock that tests install in its place, and the stop request
// that ends every sleep of either.
#include "tarnwick_testlibs/aws/clock.h"

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>

namespace tarnwick::aws {
namespace {

class RealClock : public Clock {
 public:
  std::chrono::system_clock::time_point now() override { return std::chrono::system_clock::now(); }

 protected:
  void pause(std::chrono::milliseconds d) override { stopRequest().waitFor(d); }
};

std::shared_ptr<Clock>& installed() {
  static std::shared_ptr<Clock> c = std::make_shared<RealClock>();
  return c;
}

}  // namespace

void Clock::sleepFor(std::chrono::milliseconds d) {
  stopRequest().check("a wait");
  pause(d);
  stopRequest().check("a wait");
}

Clock& clock() { return *installed(); }

void setClock(std::shared_ptr<Clock> c) { installed() = c ? std::move(c) : std::make_shared<RealClock>(); }

struct ManualClock::State {
  std::mutex lock;
  std::chrono::system_clock::time_point now;
  std::chrono::milliseconds slept{0};
  int sleeps = 0;
};

ManualClock::ManualClock(std::chrono::system_clock::time_point start) : state_(std::make_shared<State>()) {
  state_->now = start;
}

std::chrono::system_clock::time_point ManualClock::now() {
  std::lock_guard<std::mutex> g(state_->lock);
  return state_->now;
}

void ManualClock::pause(std::chrono::milliseconds d) {
  std::lock_guard<std::mutex> g(state_->lock);
  state_->now += d;
  state_->slept += d;
  ++state_->sleeps;
}

void ManualClock::advance(std::chrono::milliseconds d) {
  std::lock_guard<std::mutex> g(state_->lock);
  state_->now += d;
}

std::chrono::milliseconds ManualClock::slept() const {
  std::lock_guard<std::mutex> g(state_->lock);
  return state_->slept;
}

int ManualClock::sleeps() const {
  std::lock_guard<std::mutex> g(state_->lock);
  return state_->sleeps;
}

struct StopRequest::State {
  // Set last when raised: whoever sees it set may read `reason` and `at` without the lock, so that
  // a waiter holding a lock of its own can check the request while a subscriber wants that lock.
  std::atomic<bool> raised{false};
  std::string reason;
  std::chrono::steady_clock::time_point at;
  std::mutex lock;  // guards what follows, and the writes of the members above
  std::condition_variable raisedNow;
  std::map<long, std::function<void()>> subscribers;
  long nextId = 0;
};

StopRequest::StopRequest() : state_(std::make_unique<State>()) {}

StopRequest::~StopRequest() = default;

void StopRequest::raise(const std::string& reason) {
  std::lock_guard<std::mutex> g(state_->lock);
  if (state_->raised) return;
  state_->reason = reason;
  state_->at = std::chrono::steady_clock::now();
  state_->raised = true;
  state_->raisedNow.notify_all();
  // Under the lock, so that no subscriber can go away while it is called.
  for (const auto& [id, wake] : state_->subscribers) wake();
}

bool StopRequest::raised() const noexcept { return state_->raised.load(); }

std::string StopRequest::reason() const { return raised() ? state_->reason : std::string(); }

std::chrono::milliseconds StopRequest::age() const {
  if (!raised()) return std::chrono::milliseconds(0);
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - state_->at);
}

void StopRequest::check(const std::string& what) const {
  if (raised()) throw Interrupted("the run was asked to stop (" + reason() + "): " + what + " gives up");
}

void StopRequest::waitFor(std::chrono::milliseconds d) {
  std::unique_lock<std::mutex> g(state_->lock);
  state_->raisedNow.wait_for(g, d, [this] { return state_->raised.load(); });
}

void StopRequest::reset() {
  std::lock_guard<std::mutex> g(state_->lock);
  state_->raised = false;
  state_->reason.clear();
}

StopRequest::Subscription::Subscription(StopRequest& stop, std::function<void()> wake) : stop_(stop) {
  std::lock_guard<std::mutex> g(stop_.state_->lock);
  id_ = stop_.state_->nextId++;
  stop_.state_->subscribers.emplace(id_, std::move(wake));
}

StopRequest::Subscription::~Subscription() {
  std::lock_guard<std::mutex> g(stop_.state_->lock);
  stop_.state_->subscribers.erase(id_);
}

StopRequest& stopRequest() {
  static StopRequest stop;
  return stop;
}

}  // namespace tarnwick::aws
