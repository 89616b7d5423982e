// The operator's extra tags from --tag_resource, added to a creation request, and the toolkit's
// own time tags.
#include "tarnwick_testlibs/bin/probe_deployer/tags.h"

#include <ctime>
#include <stdexcept>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <nlohmann/json.hpp>

#include "tarnwick_testlibs/aws/errors.h"
#include "tarnwick_testlibs/bin/core/messages.h"
#include "tarnwick_testlibs/bin/probe_deployer/common.h"
#include "tarnwick_testlibs/bin/probe_deployer/detail/resource_support.h"

namespace tarnwick::probe_deployer {

namespace {

Doc& firstTags(Doc& data, const char* caller) {
  auto tagSpecifications = data.find("TagSpecifications");
  if (tagSpecifications == data.end() || !tagSpecifications->is_array() || tagSpecifications->empty()) {
    throw std::invalid_argument(std::string(caller) + ": the request has no TagSpecifications element");
  }
  Doc& tags = (*tagSpecifications)[0]["Tags"];
  if (tags.is_null()) tags = Doc::array();
  return tags;
}

}  // namespace

void populateTags(Doc& data, const std::string& rt_tags) { addTags(data, parseTagPairs(rt_tags)); }

void addTags(Doc& data, const TagPairs& tags) {
  Doc& list = firstTags(data, "populateTags");
  for (const auto& [key, value] : tags) list.push_back(Doc{{"Key", key}, {"Value", value}});
}

std::string utcText(std::chrono::system_clock::time_point t) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(t);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}Z", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                     utc.tm_hour, utc.tm_min, utc.tm_sec);
}

Doc createdAtTag(std::chrono::system_clock::time_point now) {
  return Doc{{"Key", kCreatedAtTagKey}, {"Value", utcText(now)}};
}

Options withExpiry(const Options& args, std::chrono::system_clock::time_point now) {
  Options expiring = args;
  if (!args.ttl || args.expires_at) return expiring;
  const std::optional<std::chrono::seconds> ttl = parseDuration(*args.ttl);
  if (!ttl) throw std::invalid_argument("invalid --ttl '" + *args.ttl + "'");
  expiring.expires_at = utcText(now + *ttl);
  return expiring;
}

void addExpiryTag(Doc& request, const CreateOptions& args) {
  if (args.expires_at)
    firstTags(request, "addExpiryTag").push_back(Doc{{"Key", kExpiresAtTagKey}, {"Value", *args.expires_at}});
}

void tagExpiry(aws::Ec2Client& ec2_client, const std::vector<std::string>& resource_ids, const CreateOptions& args) {
  if (!args.expires_at || resource_ids.empty()) return;
  const std::string what =
      fmt::format("{} with {}={}", fmt::join(resource_ids, ", "), kExpiresAtTagKey, *args.expires_at);
  if (args.dry_run) return detail::log().info("  would tag " + what);
  detail::log().info("  tag " + what);
  try {
    ec2_client.create_tags({{"Resources", Doc(resource_ids)},
                            {"Tags", Doc::array({Doc{{"Key", kExpiresAtTagKey}, {"Value", *args.expires_at}}})}});
  } catch (const aws::Error& e) {
    detail::log().error(messages::error(e));
  }
}

}  // namespace tarnwick::probe_deployer
