// Internal: the region a session's calls go to when the caller names none.
#pragma once
#include <optional>
#include <string>

namespace tarnwick::aws::detail {

// Region, AWS_REGION, AWS_DEFAULT_REGION, the profile's region (shared config file).
std::optional<std::string> resolveRegion(const std::optional<std::string>& explicitRegion,
                                         const std::optional<std::string>& profile);

}  // namespace tarnwick::aws::detail
