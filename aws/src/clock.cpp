// The process's clock, and the manual clock that tests install in its place.
#include "tarnwick_testlibs/aws/clock.h"

#include <mutex>
#include <thread>

namespace tarnwick::aws {
namespace {

class RealClock : public Clock {
 public:
  std::chrono::system_clock::time_point now() override { return std::chrono::system_clock::now(); }
  void sleep_for(std::chrono::milliseconds d) override { std::this_thread::sleep_for(d); }
};

std::shared_ptr<Clock>& installed() {
  static std::shared_ptr<Clock> c = std::make_shared<RealClock>();
  return c;
}

}  // namespace

Clock& clock() { return *installed(); }

void setClock(std::shared_ptr<Clock> c) {
  installed() = c ? std::move(c) : std::make_shared<RealClock>();
}

struct ManualClock::State {
  std::mutex lock;
  std::chrono::system_clock::time_point now;
  std::chrono::milliseconds slept{0};
  int sleeps = 0;
};

ManualClock::ManualClock(std::chrono::system_clock::time_point start)
    : state_(std::make_shared<State>()) {
  state_->now = start;
}

std::chrono::system_clock::time_point ManualClock::now() {
  std::lock_guard<std::mutex> g(state_->lock);
  return state_->now;
}

void ManualClock::sleep_for(std::chrono::milliseconds d) {
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

}  // namespace tarnwick::aws
