// The region a session's calls go to when the caller names none.
#include "region.h"

#include "config.h"

namespace tarnwick::aws::detail {

std::optional<std::string> resolveRegion(const std::optional<std::string>& explicitRegion,
                                         const std::optional<std::string>& profile) {
  if (explicitRegion && !explicitRegion->empty()) return explicitRegion;
  if (auto r = env("AWS_REGION")) return r;
  if (auto r = env("AWS_DEFAULT_REGION")) return r;
  if (auto p = loadProfile(profileName(profile))) {
    auto it = p->find("region");
    if (it != p->end() && !it->second.empty()) return it->second;
  }
  return std::nullopt;
}

}  // namespace tarnwick::aws::detail
