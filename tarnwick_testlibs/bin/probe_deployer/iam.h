// The test instances' IAM role, policy and instance profile.
#pragma once

#include "tarnwick_testlibs/aws/services.h"
#include "tarnwick_testlibs/bin/probe_deployer/common.h"

namespace tarnwick::probe_deployer {

std::string createS3Policy(aws::IamClient& iam_client, const Options& args);
Doc createEc2Role(aws::IamClient& iam_client, const std::string& policy_arn);
void createInstanceProfile(aws::IamClient& iam_client);
// Removes whatever part of the IAM set exists; a part already gone is logged at INFO. The policy
// is found by the ARN built from `account` when given, otherwise by listing the local policies.
// With `dry_run` it only looks the set up and logs what it would remove.
void deleteInstanceProfile(aws::IamClient& iam_client, const Options& args = {});
// A dry run's deploy of the IAM set: looks each part up and logs whether it would be created or
// reused; changes nothing.
void planDefaultIamSet(aws::IamClient& iam_client);

}  // namespace tarnwick::probe_deployer
