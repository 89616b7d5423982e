// Resource tags.
#pragma once
#include <chrono>
#include <string>

#include "tarnwick_testlibs/bin/probe_deployer/common.h"

namespace tarnwick::probe_deployer {

// Appends the key,value pairs of `rt_tags` to the Tags of the first TagSpecifications element.
void populateTags(Doc& data, const std::string& rt_tags);

// Dates the objects whose creation time the service keeps no record of (security groups and
// Elastic IPs), so that a sweep can tell an old deployment from a running one.
inline constexpr const char* kCreatedAtTagKey = "tarnwick:created-at";
// {"Key": "tarnwick:created-at", "Value": `now` in UTC as 2026-12-09T11:50:47Z}
Doc createdAtTag(std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

}  // namespace tarnwick::probe_deployer
