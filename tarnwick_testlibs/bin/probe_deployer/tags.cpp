// The operator's extra tags from --tag_resource, added to a creation request.
#include <ctime>
#include <stdexcept>

#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "tarnwick_testlibs/bin/probe_deployer.h"

namespace tarnwick::probe_deployer {

void populateTags(Doc& data, const std::string& rt_tags) {
  auto tagSpecifications = data.find("TagSpecifications");
  if (tagSpecifications == data.end() || !tagSpecifications->is_array() || tagSpecifications->empty()) {
    throw std::invalid_argument("populateTags: the request has no TagSpecifications element");
  }
  Doc& tags = (*tagSpecifications)[0]["Tags"];
  if (tags.is_null()) tags = Doc::array();

  // Pieces are used as they stand; a trailing key without a value (which the run flow rejects
  // before any request is built) adds nothing, so empty text adds nothing either.
  auto pieces = cli::splitAt(rt_tags, ',');
  for (size_t i = 0; i + 1 < pieces.size(); i += 2) {
    tags.push_back(Doc{{"Key", pieces[i]}, {"Value", pieces[i + 1]}});
  }
}

Doc createdAtTag(std::chrono::system_clock::time_point now) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  return Doc{{"Key", kCreatedAtTagKey},
             {"Value", fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}Z", utc.tm_year + 1900, utc.tm_mon + 1,
                                   utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec)}};
}

}  // namespace tarnwick::probe_deployer
