// What the deployment's and the teardown's worker threads share: the edge at which a worker's
// unexpected failure is reported and stopped, and the entry fields every run flow requires.
#pragma once
#include <exception>
#include <functional>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "tarnwick_testlibs/bin/probe_deployer/run_summary.h"

namespace tarnwick::probe_deployer::detail {

// Runs `body` with its reports going to `slot`; whatever escapes it is reported on standard
// error with `subnet_id` and ends only this worker.
void runAtThreadEdge(const std::string& subnet_id, const std::function<void()>& body,
                     report::Slot slot = {}) noexcept;

// The text member `key` of a test configuration entry; throws std::runtime_error when the entry
// lacks it or it is not text.
std::string requireText(const nlohmann::ordered_json& entry, const char* key);

// The entries of the test configuration named by `path`, which must be a non-empty array when
// `requireEntries` is set.
nlohmann::ordered_json readEntries(const std::string& path, bool requireEntries);

}  // namespace tarnwick::probe_deployer::detail
