// What the deployment's and the teardown's worker threads share: the edge at which a worker's
// unexpected failure is reported and stopped, and the entry fields every run flow requires.
#pragma once
#include <cstddef>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "tarnwick_testlibs/bin/probe_deployer/run_summary.h"

namespace tarnwick::probe_deployer::detail {

// Runs `body` with its reports going to `slot`; whatever escapes it is reported on standard
// error and logged at ERROR with `subnet_id`, and ends only this worker.
void runAtThreadEdge(const std::string& subnet_id, const std::function<void()>& body,
                     report::Slot slot = {}) noexcept;

struct Worker {
  std::string subnet_id;
  std::function<void()> body;
  report::Slot slot = {};
};

// Runs every worker in a thread of its own, each behind runAtThreadEdge, and joins them all.
// When a thread cannot be started, no further one is, those already running are still joined,
// and the one-line diagnostic of that failure is returned.
std::optional<std::string> runWorkers(const std::vector<Worker>& workers);

// The text member `key` of a test configuration entry; throws std::runtime_error when the entry
// lacks it or it is not text.
std::string requireText(const nlohmann::ordered_json& entry, const char* key);

// Whether entries[index], an entry with a test subnet, is the first such entry for its
// `gw_subnet_id`. Two workers in one subnet would each launch an instance and leave both
// unfindable, so a later duplicate is logged at ERROR, naming both entries, and gets no worker.
bool firstForItsSubnet(const nlohmann::ordered_json& entries, size_t index);

// The entries of the test configuration named by `path`, which must be a non-empty array when
// `requireEntries` is set.
nlohmann::ordered_json readEntries(const std::string& path, bool requireEntries);

// Throws what the run would throw later, at the first entry that lacks a member that a deploy
// (or, with `revert`, a revert) reads from it, so that an invalid file fails before anything is
// created or removed.
void checkEntries(const nlohmann::ordered_json& entries, bool revert);

}  // namespace tarnwick::probe_deployer::detail
