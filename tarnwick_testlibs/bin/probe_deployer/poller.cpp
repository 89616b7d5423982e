// The run's shared poller: lookups of one kind are merged into one call per round, whose answer
// is cut back into the answer each worker would have got alone.
#include "tarnwick_testlibs/bin/probe_deployer/detail/poller.h"

#include <algorithm>
#include <exception>
#include <set>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "tarnwick_testlibs/aws/clock.h"
#include "tarnwick_testlibs/aws/errors.h"
#include "tarnwick_testlibs/aws/paginator.h"
#include "tarnwick_testlibs/aws/waiters.h"
#include "tarnwick_testlibs/bin/core/logging.h"
#include "tarnwick_testlibs/bin/probe_deployer/common.h"

namespace tarnwick::probe_deployer::detail {

namespace {

// Where a lookup's one value sits: a list parameter or a filter, and the record member it names.
struct Slot {
  const char* name;
  bool filter;
  const char* member;
};

// A kind of lookup that can be merged. EC2 takes at most 200 ids and filter values in one call,
// and DescribeInstanceStatus at most 100 instance ids.
struct Shape {
  const char* operation;
  const char* records;  // the answer's list; "Reservations" holds the instances
  std::vector<Slot> slots;
  size_t maxValues;
  bool pages;  // whether its answers come in pages
};

const std::vector<Shape>& shapes() {
  static const std::vector<Shape> all = {
      {"DescribeInstanceStatus", "InstanceStatuses", {{"InstanceIds", false, "InstanceId"}}, 100, true},
      {"DescribeInstances", "Reservations", {{"InstanceIds", false, "InstanceId"}}, 200, true},
      {"DescribeInstances", "Reservations", {{"subnet-id", true, "SubnetId"}}, 200, true},
      {"DescribeAddresses",
       "Addresses",
       {{"instance-id", true, "InstanceId"}, {"PublicIps", false, "PublicIp"}},
       200,
       false},
  };
  return all;
}

template <class D>
D* slotList(D& params, const Slot& slot) {
  if (!slot.filter) {
    const auto list = params.find(slot.name);
    return list == params.end() ? nullptr : &*list;
  }
  const auto filters = params.find("Filters");
  if (filters == params.end() || !filters->is_array()) return nullptr;
  for (auto& f : *filters) {
    const auto values = f.find("Values");
    if (f.value("Name", "") == slot.name && values != f.end()) return &*values;
  }
  return nullptr;
}

// The lookup's values, one per slot, when `params` is a lookup of `shape`.
std::optional<std::vector<std::string>> valuesOf(const Shape& shape, const Doc& params) {
  if (params.contains("MaxResults") || params.contains("NextToken")) return std::nullopt;
  std::vector<std::string> values;
  for (const auto& slot : shape.slots) {
    const Doc* list = slotList(params, slot);
    if (!list || !list->is_array() || list->size() != 1 || !(*list)[0].is_string()) return std::nullopt;
    values.push_back((*list)[0].get<std::string>());
  }
  return values;
}

// Filter values that every lookup of a kind carries alike.
size_t fixedValues(const Shape& shape, const Doc& params) {
  size_t n = 0;
  for (const auto& f : params.value("Filters", Doc::array())) {
    const std::string name = f.value("Name", "");
    const bool slot =
        std::any_of(shape.slots.begin(), shape.slots.end(), [&](const Slot& s) { return s.filter && name == s.name; });
    if (!slot) n += f.value("Values", Doc::array()).size();
  }
  return n;
}

bool matches(const Shape& shape, const Doc& record, const std::vector<std::string>& values) {
  for (size_t i = 0; i < shape.slots.size(); ++i)
    if (record.value(shape.slots[i].member, "") != values[i]) return false;
  return true;
}

// The answer a lookup of `values` would have got alone.
Doc cutBack(const Shape& shape, const Doc& answer, const std::vector<std::string>& values) {
  Doc own = answer;
  own.erase("NextToken");
  if (!answer.contains(shape.records)) return own;
  Doc kept = Doc::array();
  for (const auto& record : answer[shape.records]) {
    if (std::string(shape.records) != "Reservations") {
      if (matches(shape, record, values)) kept.push_back(record);
      continue;
    }
    Doc reservation = record;
    reservation["Instances"] = Doc::array();
    for (const auto& instance : record.value("Instances", Doc::array()))
      if (matches(shape, instance, values)) reservation["Instances"].push_back(instance);
    if (!reservation["Instances"].empty()) kept.push_back(std::move(reservation));
  }
  own[shape.records] = std::move(kept);
  return own;
}

logging::Logger& log() { return logging::getLogger(kLogger); }

}  // namespace

namespace rounds {

aws::BackoffPolicy backoff(std::chrono::system_clock::time_point anchor) {
  return aws::BackoffPolicy::rounds(anchor, kShortest, kLongest, kSlowdown);
}

}  // namespace rounds

struct Poller::Lookup {
  std::vector<std::string> values;
  std::promise<Doc> promise;
  std::shared_future<Doc> answer = promise.get_future().share();
  bool done = false;
};

struct Poller::Queue {
  const Shape* shape = nullptr;
  Doc params;  // the first lookup's parameters, into which a round puts its values
  size_t fixed = 0;
  std::vector<std::shared_ptr<Lookup>> pending;
  bool inRound = false;
  std::optional<std::chrono::system_clock::time_point> lastRound;

  // The pending lookups that fit into one call, oldest first; they leave the queue.
  std::vector<std::shared_ptr<Lookup>> takeRound() {
    std::vector<std::set<std::string>> seen(shape->slots.size());
    size_t count = fixed;
    size_t taken = 0;
    for (; taken < pending.size(); ++taken) {
      size_t added = 0;
      for (size_t i = 0; i < seen.size(); ++i) added += seen[i].count(pending[taken]->values[i]) ? 0 : 1;
      if (taken > 0 && count + added > shape->maxValues) break;
      count += added;
      for (size_t i = 0; i < seen.size(); ++i) seen[i].insert(pending[taken]->values[i]);
    }
    std::vector<std::shared_ptr<Lookup>> round(pending.begin(), pending.begin() + static_cast<long>(taken));
    pending.erase(pending.begin(), pending.begin() + static_cast<long>(taken));
    return round;
  }
};

namespace {

// Asks for every value of `lookups` in one call and settles each lookup. A service error of a
// merged call may belong to one value only (an instance that does not exist yet), so the
// lookups are split until each error lands where a lone call would have met it.
void runRound(aws::Ec2Client& ec2, const Shape& shape, const Doc& templ,
              const std::vector<std::shared_ptr<Poller::Lookup>>& lookups);

}  // namespace

Poller::Poller(aws::Ec2Client& ec2, std::chrono::milliseconds roundSpacing)
    : ec2_(ec2), spacing_(roundSpacing), stopped_(aws::stopRequest(), [this] {
        std::lock_guard<std::mutex> g(lock_);
        roundEnded_.notify_all();
      }) {}

Poller::~Poller() = default;

std::shared_ptr<Poller::Lookup> Poller::enqueue(const std::string& operation, const Doc& params, Queue*& queue) {
  for (size_t s = 0; s < shapes().size(); ++s) {
    const Shape& shape = shapes()[s];
    if (shape.operation != operation) continue;
    auto values = valuesOf(shape, params);
    if (!values) continue;
    Doc key = params;
    for (const auto& slot : shape.slots) *slotList(key, slot) = Doc::array();
    auto lookup = std::make_shared<Lookup>();
    lookup->values = std::move(*values);
    std::lock_guard<std::mutex> g(lock_);
    auto& q = queues_[std::to_string(s) + key.dump()];
    if (!q) {
      q = std::make_unique<Queue>();
      q->shape = &shape;
      q->params = params;
      q->fixed = fixedValues(shape, params);
    }
    q->pending.push_back(lookup);
    queue = q.get();
    return lookup;
  }
  return nullptr;
}

std::shared_future<Doc> Poller::submit(const std::string& operation, const Doc& params) {
  Queue* queue = nullptr;
  if (auto lookup = enqueue(operation, params, queue)) return lookup->answer;
  std::promise<Doc> direct;
  try {
    direct.set_value(ec2_.call(operation, params));
  } catch (...) {
    direct.set_exception(std::current_exception());
  }
  return direct.get_future().share();
}

Doc Poller::call(const std::string& operation, const Doc& params) {
  Queue* queue = nullptr;
  const auto lookup = enqueue(operation, params, queue);
  if (!lookup) return ec2_.call(operation, params);
  serve(*queue, lookup);
  return lookup->answer.get();
}

// Until `mine` is settled: leads the next round when none is running, else waits for one to end.
void Poller::serve(Queue& queue, const std::shared_ptr<Lookup>& mine) {
  std::unique_lock<std::mutex> g(lock_);
  while (!mine->done) {
    if (aws::stopRequest().raised()) {
      g.unlock();
      aws::stopRequest().check("a lookup");
    }
    if (queue.inRound) {
      roundEnded_.wait(g);
      continue;
    }
    queue.inRound = true;
    const auto now = aws::clock().now();
    const auto due = queue.lastRound ? *queue.lastRound + spacing_ : now;
    const auto gather = std::min(spacing_, kGather);
    if (now < due || gather.count() > 0) {
      g.unlock();
      try {
        aws::clock().sleepFor(now < due ? std::chrono::ceil<std::chrono::milliseconds>(due - now) : gather);
      } catch (const aws::Interrupted&) {
        // The run was asked to stop: no round follows, and whoever waits for one hears so.
        g.lock();
        queue.inRound = false;
        roundEnded_.notify_all();
        throw;
      }
      g.lock();
    }
    queue.lastRound = aws::clock().now();
    const auto round = queue.takeRound();
    g.unlock();
    try {
      runRound(ec2_, *queue.shape, queue.params, round);
    } catch (...) {
      // Whatever went wrong outside the call itself still ends every lookup of the round.
      for (const auto& lookup : round) {
        try {
          lookup->promise.set_exception(std::current_exception());
        } catch (const std::future_error&) {
        }
      }
    }
    g.lock();
    for (const auto& lookup : round) lookup->done = true;
    queue.inRound = false;
    reportProgressLocked();
    roundEnded_.notify_all();
  }
}

Doc Poller::wait(const std::string& waiterName, const std::string& instanceId) {
  const auto limit = aws::RetryPolicy::limitedTime(rounds::kLimit);
  const auto start = aws::clock().now();
  std::chrono::system_clock::time_point anchor;
  {
    std::lock_guard<std::mutex> g(lock_);
    if (waiting_++ == 0) waitStart_ = lastReport_ = start;
    Rounds& r = rounds_[waiterName];
    if (r.waiting++ == 0) r.anchor = start;
    anchor = r.anchor;
  }
  struct Done {
    Poller& poller;
    const std::string& name;
    ~Done() {
      std::lock_guard<std::mutex> g(poller.lock_);
      --poller.waiting_;
      --poller.rounds_[name].waiting;
    }
  } done{*this, waiterName};
  // Every wait of the name pauses to the same rounds, so their attempts meet in one call.
  return aws::wait(*this, waiterName, Doc{{"InstanceIds", Doc::array({instanceId})}}, limit, rounds::backoff(anchor));
}

void Poller::reportProgressLocked() {
  const auto now = aws::clock().now();
  if (waiting_ == 0 || now - lastReport_ < kProgressEvery) return;
  lastReport_ = now;
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - waitStart_).count();
  log().detail(
      fmt::format("  still waiting for {} instance{} after {} s", waiting_, waiting_ == 1 ? "" : "s", seconds));
}

namespace {

void settle(const std::vector<std::shared_ptr<Poller::Lookup>>& lookups, const std::exception_ptr& error) {
  for (const auto& lookup : lookups) lookup->promise.set_exception(error);
}

void runRound(aws::Ec2Client& ec2, const Shape& shape, const Doc& templ,
              const std::vector<std::shared_ptr<Poller::Lookup>>& lookups) {
  std::vector<std::vector<std::string>> distinct;
  for (const auto& lookup : lookups)
    if (std::find(distinct.begin(), distinct.end(), lookup->values) == distinct.end())
      distinct.push_back(lookup->values);
  Doc params = templ;
  for (size_t i = 0; i < shape.slots.size(); ++i) {
    Doc list = Doc::array();
    for (const auto& values : distinct)
      if (std::find(list.begin(), list.end(), values[i]) == list.end()) list.push_back(values[i]);
    *slotList(params, shape.slots[i]) = std::move(list);
  }
  const bool alone = distinct.size() == 1;
  try {
    if (alone) {
      const Doc answer = ec2.call(shape.operation, params);
      for (const auto& lookup : lookups) lookup->promise.set_value(answer);
      return;
    }
    // A merged answer may run to pages that no lone lookup would have needed.
    const Doc answer = shape.pages ? aws::allPages(ec2, shape.operation, params) : ec2.call(shape.operation, params);
    for (const auto& lookup : lookups) lookup->promise.set_value(cutBack(shape, answer, lookup->values));
  } catch (const aws::ServiceError&) {
    if (alone) return settle(lookups, std::current_exception());
    const auto middle = distinct.begin() + static_cast<long>(distinct.size() / 2);
    const std::vector<std::vector<std::string>> first(distinct.begin(), middle);
    std::vector<std::shared_ptr<Poller::Lookup>> halves[2];
    for (const auto& lookup : lookups)
      halves[std::find(first.begin(), first.end(), lookup->values) == first.end() ? 1 : 0].push_back(lookup);
    runRound(ec2, shape, templ, halves[0]);
    runRound(ec2, shape, templ, halves[1]);
  } catch (...) {
    settle(lookups, std::current_exception());
  }
}

}  // namespace

}  // namespace tarnwick::probe_deployer::detail
