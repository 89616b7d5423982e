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

#include "tarnwick_testlibs/aws/services.h"

namespace tarnwick::probe_deployer {

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
  static constexpr std::chrono::seconds kProgressEvery{30};

  explicit Poller(aws::Ec2Client& ec2, std::chrono::milliseconds roundSpacing = kRoundSpacing);
  ~Poller() override;
  Poller(const Poller&) = delete;
  Poller& operator=(const Poller&) = delete;

  aws::Doc call(const std::string& operation, const aws::Doc& params) override;
  // Queues a lookup for the next round of its kind without waiting; that round runs on the
  // next call() of the same kind, from any thread. Other calls are sent at once.
  std::shared_future<aws::Doc> submit(const std::string& operation, const aws::Doc& params);
  // The published waiter `waiterName` for one instance, with its acceptors, delay and attempts;
  // its calls are shared with the other workers' waits. While waits run, a DETAIL line tells at
  // most once every 30 s for the whole run how many instances are still waited for.
  void wait(const std::string& waiterName, const std::string& instanceId);

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
  std::chrono::system_clock::time_point waitStart_, lastReport_;
};

}  // namespace tarnwick::probe_deployer
