// The one injectable place every long wait takes its time from (retry pauses, waiters, caches),
// and the one place that says the run was asked to stop, which every such wait observes.
#pragma once
#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

namespace tarnwick::aws {

// The run was asked to stop: thrown by every sleep through a Clock and by every HTTP request
// started afterwards (or still running a while afterwards), so that the loop that waited, or the
// call, gives up. Not an aws::Error: the handlers of a failed call let it pass to the edge of
// the thread or the program.
class Interrupted : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::chrono::system_clock::time_point now() = 0;
  // Sleeps for `d`, or less when the run is asked to stop meanwhile; throws Interrupted when it
  // was asked to stop before or during the sleep.
  void sleepFor(std::chrono::milliseconds d);

 protected:
  // The sleep itself. The real clock's ends as soon as the run is asked to stop.
  virtual void pause(std::chrono::milliseconds d) = 0;
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
  void advance(std::chrono::milliseconds d);
  std::chrono::milliseconds slept() const;  // total of all sleeps
  int sleeps() const;                       // number of sleeps

 protected:
  void pause(std::chrono::milliseconds d) override;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// "The run was asked to stop": raised once by the program (on a signal) or by a test, never by
// the layer itself. Raising it ends every sleep through the clock and refuses every new HTTP
// request; requests already under way get kCallsInFlight to end, then they are aborted too.
class StopRequest {
 public:
  static constexpr std::chrono::seconds kCallsInFlight{5};

  // While it lives, `wake` is called on the raising thread when the request is raised, so that a
  // condition variable's waiters can look at the request. Subscribers must not raise it.
  class Subscription {
   public:
    Subscription(StopRequest& stop, std::function<void()> wake);
    ~Subscription();
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;

   private:
    StopRequest& stop_;
    long id_;
  };

  StopRequest();
  ~StopRequest();
  StopRequest(const StopRequest&) = delete;
  StopRequest& operator=(const StopRequest&) = delete;

  // The first call wins; `reason` names it ("SIGTERM"). Not async-signal-safe: a signal handler
  // hands the signal to a thread that calls this.
  void raise(const std::string& reason);
  bool raised() const noexcept;
  std::string reason() const;  // "" while not raised
  // How long ago it was raised, by the steady clock; zero while it is not.
  std::chrono::milliseconds age() const;
  // Throws Interrupted, naming the reason and `what` gives up, once raised.
  void check(const std::string& what) const;
  // Waits up to `d` of real time; returns early once raised.
  void waitFor(std::chrono::milliseconds d);
  // Lowers it again: for tests, between runs in one process, while nothing looks at it.
  void reset();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The process's stop request.
StopRequest& stopRequest();

}  // namespace tarnwick::aws
