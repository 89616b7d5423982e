// Resource tags.
#pragma once
#include <chrono>
#include <string>
#include <vector>

#include "tarnwick_testlibs/aws/services.h"
#include "tarnwick_testlibs/bin/probe_deployer/common.h"

namespace tarnwick::probe_deployer {

// Appends the key,value pairs of `rt_tags` to the Tags of the first TagSpecifications element.
void populateTags(Doc& data, const std::string& rt_tags);
// The same with the pairs parsed (CreateOptions::tags).
void addTags(Doc& data, const TagPairs& tags);

// "2026-12-09T11:50:47Z": `t` in UTC, to the second, as the toolkit's time tags hold it.
std::string utcText(std::chrono::system_clock::time_point t);

// Dates the objects whose creation time the service keeps no record of (security groups and
// Elastic IPs), so that a sweep can tell an old deployment from a running one.
inline constexpr const char* kCreatedAtTagKey = "tarnwick:created-at";
// {"Key": "tarnwick:created-at", "Value": `now` in UTC as 2026-12-09T11:50:47Z}
Doc createdAtTag(std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

// When a deployment made with --ttl may be swept, whatever its age.
inline constexpr const char* kExpiresAtTagKey = "tarnwick:expires-at";
// `args` with `expires_at` set to `now` plus its `ttl`, unless it has one already or no `ttl`.
// Throws std::invalid_argument for a `ttl` that parseDuration refuses.
Options withExpiry(const Options& args, std::chrono::system_clock::time_point now);
// Appends {"Key": "tarnwick:expires-at", "Value": args.expires_at} to the Tags of the first
// TagSpecifications element of a creation request, when the deployment expires.
void addExpiryTag(Doc& request, const CreateOptions& args);
// Sets the deployment's expiry on objects it reuses (instance, group, key pair or allocation
// ids), so that an earlier run's expiry does not end it early; in a dry run only says so. A
// failure is logged at ERROR: the objects then keep the expiry they had.
void tagExpiry(aws::Ec2Client& ec2_client, const std::vector<std::string>& resource_ids, const CreateOptions& args);

}  // namespace tarnwick::probe_deployer
