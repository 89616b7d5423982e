// The one injectable place every long wait takes its time from (retry pauses, waiters, caches).
#pragma once
#include <chrono>
#include <memory>

namespace tarnwick::aws {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::chrono::system_clock::time_point now() = 0;
  virtual void sleep_for(std::chrono::milliseconds d) = 0;
};

// The process's clock: the real one unless a test installed another.
Clock& clock();
// Installs `c` (nullptr restores the real clock). Not thread-safe against concurrent use.
void setClock(std::shared_ptr<Clock> c);

// A clock for tests: sleeping advances its time at once, and the sleeps are recorded.
class ManualClock : public Clock {
 public:
  explicit ManualClock(std::chrono::system_clock::time_point start = std::chrono::system_clock::now());
  std::chrono::system_clock::time_point now() override;
  void sleep_for(std::chrono::milliseconds d) override;
  void advance(std::chrono::milliseconds d);
  std::chrono::milliseconds slept() const;  // total of all sleeps
  int sleeps() const;                       // number of sleeps

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace tarnwick::aws
