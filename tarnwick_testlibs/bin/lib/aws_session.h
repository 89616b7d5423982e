// Session set-up shared by both programs: role assumption and the host's instance identity.
#pragma once
#include <optional>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "tarnwick_testlibs/aws/session.h"

namespace tarnwick {

inline constexpr const char* kRoleSessionName = "Tarnwick_Workflow";

// The region for a client that is opened without one: none in the partition "aws" (the session's
// default region decides), `runRegion` in any other, whose credentials the hosts of "aws" refuse.
std::optional<std::string> startRegion(const std::optional<std::string>& runRegion);

// Assumes `assume_role` from a profile session (named profile, or the default chain) and returns
// a session acting as that role, which assumes it again before its credentials expire. `region`
// is the run's region: STS is asked in it outside the partition "aws" (startRegion), and the
// profile session's own STS calls fall back to it (Session::fromProfile). A missing profile,
// missing credentials or a refused first AssumeRole end the process (ProcessExit(1) with a
// diagnostic); a failed later renewal is a failure of the call that needed it.
aws::Session start_aws_session(const std::string& assume_role, const std::optional<std::string>& profile = std::nullopt,
                               const std::optional<std::string>& region = std::nullopt);

// The instance identity document of this host. A status other than 200 logs the INFO message
// and throws ProcessExit(1).
nlohmann::ordered_json get_aws_metadata();

}  // namespace tarnwick
