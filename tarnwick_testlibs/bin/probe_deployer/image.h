// Image lookup.
#pragma once
#include <string>

#include "tarnwick_testlibs/aws/services.h"
#include "tarnwick_testlibs/bin/probe_deployer/common.h"

namespace tarnwick::probe_deployer {

std::string getAMIByName(aws::Ec2Client& ec2_client, const Options& args);
std::string getAMI(aws::SsmClient& ssm_client, const Options& args);

}  // namespace tarnwick::probe_deployer
