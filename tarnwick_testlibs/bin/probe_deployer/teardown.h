// The revert run: removes what the deployment created.
#pragma once
#include <string>

#include "tarnwick_testlibs/aws/services.h"
#include "tarnwick_testlibs/bin/probe_deployer/common.h"

namespace tarnwick::probe_deployer {

class Poller;  // the run's shared lookups and waits (probe_deployer/detail/poller.h)

// Returns the VPC whose groups and key pair it cleaned (that of the first entry).
std::string terminateEc2s(aws::Ec2Client& ec2_client, aws::IamClient& iam_client, const Options& args);
// Whether test instances in this region but outside `vpc_id` (pending to stopped) still run with
// the default instance profile; logs an INFO alert naming how many and where when they do.
// Other regions are not looked at.
bool instanceProfileUsedOutside(aws::Ec2Client& ec2_client, const std::string& vpc_id);
void deleteEc2(aws::Ec2Client& ec2_client, aws::IamClient& iam_client, const std::string& subnet_id,
               const Options& args, Poller* poller = nullptr);

}  // namespace tarnwick::probe_deployer
