// One poller per deploy or revert run: the workers' lookups of their own instance, subnet or
// Elastic IP, and their waits, share its calls instead of each worker sending its own.
#pragma once
#include <chrono>
#include <condition_variable>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "tarnwick_testlibs/aws/clock.h"
#include "tarnwick_testlibs/aws/retry.h"
#include "tarnwick_testlibs/aws/services.h"

namespace tarnwick::probe_deployer::detail {

// How often the run's waits ask. A wait that ends within a round of its instance being ready
// needs short rounds; a wait of minutes needs no more than the published waiters' 15 s. The
// rounds are shared by every waiting worker, so short ones cost calls per run, not per instance.
namespace rounds {
inline constexpr std::chrono::milliseconds kShortest{2000};
inline constexpr std::chrono::milliseconds kLongest{15000};
// A round lasts a fifteenth of the time waited when it begins: 2 s for the first 30 s.
inline constexpr int kSlowdown = 15;
// The published waiters' 40 attempts 15 s apart: 585 s from the first attempt to the last.
inline constexpr std::chrono::milliseconds kLimit{39 * 15000};

// The rounds of the waits that began at `anchor`, or of a retry loop of its own that did.
aws::BackoffPolicy backoff(std::chrono::system_clock::time_point anchor);
}  // namespace rounds

// The run's EC2 client as its workers see it. A lookup of one instance, subnet or address
// (DescribeInstances, DescribeInstanceStatus, DescribeAddresses with one value where the value
// varies) waits for the next round of its kind, which asks about every waiting worker's value in
// one call, up to the API's limit of values per call, and hands each worker the answer it would
// have got alone: the same records, or the same service error. Every other call goes straight to
// the client. Safe to share between threads; nothing escapes a round but into the lookups' own
// answers.
class Poller : public aws::Ec2Client {
 public:
  // Rounds of one kind start at most this often, so that lookups arriving meanwhile share one.
  static constexpr std::chrono::milliseconds kRoundSpacing{1000};
  // A round that could start at once still waits this long (no longer than the spacing), for
  // the workers that one event released together: a wait's round, a shared answer.
  static constexpr std::chrono::milliseconds kGather{100};
  static constexpr std::chrono::seconds kProgressEvery{30};

  explicit Poller(aws::Ec2Client& ec2, std::chrono::milliseconds roundSpacing = kRoundSpacing);
  ~Poller() override;
  Poller(const Poller&) = delete;
  Poller& operator=(const Poller&) = delete;

  aws::Doc call(const std::string& operation, const aws::Doc& params) override;
  // Queues a lookup for the next round of its kind without waiting; that round runs on the
  // next call() of the same kind, from any thread. Other calls are sent at once.
  std::shared_future<aws::Doc> submit(const std::string& operation, const aws::Doc& params);
  // The published waiter `waiterName` for one instance, with its acceptors, messages and limit of
  // time, on the short rounds above, which all waits of that name share: a first attempt at once,
  // as the published waiters make it, then one at every round. Returns the instance's answer that
  // ended the wait. While waits run, a DETAIL line tells at most once every 30 s for the whole run
  // how many instances are still waited for.
  aws::Doc wait(const std::string& waiterName, const std::string& instanceId);

  struct Lookup;  // one worker's lookup, settled by a round

 private:
  struct Queue;
  std::shared_ptr<Lookup> enqueue(const std::string& operation, const aws::Doc& params, Queue*& queue);
  void serve(Queue& queue, const std::shared_ptr<Lookup>& mine);
  void reportProgressLocked();

  aws::Ec2Client& ec2_;
  std::chrono::milliseconds spacing_;
  std::mutex lock_;
  std::condition_variable roundEnded_;
  std::map<std::string, std::unique_ptr<Queue>> queues_;
  int waiting_ = 0;  // instances in a wait
  struct Rounds {
    int waiting = 0;
    std::chrono::system_clock::time_point anchor;  // when the first of the present waits began
  };
  std::map<std::string, Rounds> rounds_;  // by waiter name
  std::chrono::system_clock::time_point waitStart_, lastReport_;
  // Wakes the lookups waiting for a round when the run is asked to stop.
  aws::StopRequest::Subscription stopped_;
};

}  // namespace tarnwick::probe_deployer::detail
