// What the deployment's and the teardown's worker threads share: the edge at which a worker's
// unexpected failure is reported and stopped, and the report of an entry that gets no worker.
#pragma once
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tarnwick_testlibs/bin/lib/testconfig.h"
#include "tarnwick_testlibs/bin/probe_deployer/run_summary.h"

namespace tarnwick::probe_deployer::detail {

// Runs `body` with its reports going to `slot`; whatever escapes it is reported on standard
// error and logged at ERROR with `subnet_id`, and ends only this worker.
void runAtThreadEdge(const std::string& subnet_id, const std::function<void()>& body, report::Slot slot = {}) noexcept;

struct Worker {
  std::string subnet_id;
  std::function<void()> body;
  report::Slot slot = {};
};

// Runs every worker in a thread of its own, each behind runAtThreadEdge, and joins them all.
// When a thread cannot be started, no further one is, those already running are still joined,
// and the one-line diagnostic of that failure is returned.
std::optional<std::string> runWorkers(const std::vector<Worker>& workers);

// Logs at ERROR why `planned`, an entry of `plan` that is skipped, gets no worker: the entry
// that has its gateway subnet, or the missing test subnet.
void reportSkipped(const testconfig::Plan& plan, const testconfig::EntryPlan& planned);

}  // namespace tarnwick::probe_deployer::detail
