// The test instances' user data.
#pragma once
#include <string>

#include "tarnwick_testlibs/bin/probe_deployer/common.h"

namespace tarnwick::probe_deployer {

extern const char* const user_data_tmp;
// The template with {{spoke_gw_ip}}, {{s3_bucket}} and {{tag}} filled in for one entry.
std::string fillUserData(const std::string& spoke_gw_ip, const std::string& s3_bucket, const std::string& tag);

}  // namespace tarnwick::probe_deployer
