// The test instances' IAM role, policy and instance profile.
#pragma once
#include <optional>
#include <string>

#include "tarnwick_testlibs/aws/services.h"
#include "tarnwick_testlibs/bin/probe_deployer/common.h"

namespace tarnwick::probe_deployer {

// "arn:PARTITION:iam::ACCOUNT:RESOURCE" in the partition of `region` ("aws" without one), so that
// the ARN exists in the China, GovCloud and ISO partitions too.
std::string iamArn(const std::optional<std::string>& region, const std::string& account, const std::string& resource);

// The bucket ARNs of its document and the ARN of an existing policy are in the partition of
// `args.region`.
std::string createS3Policy(aws::IamClient& iam_client, const IamOptions& args);
Doc createEc2Role(aws::IamClient& iam_client, const std::string& policy_arn);
void createInstanceProfile(aws::IamClient& iam_client);
// Removes whatever part of the IAM set exists; a part already gone is logged at INFO. The policy
// is found by the ARN built from `account` (in the partition of `region`) when given, otherwise by
// listing the local policies.
// With `dry_run` it only looks the set up and logs what it would remove.
void deleteInstanceProfile(aws::IamClient& iam_client, const IamOptions& args = {});
// A dry run's deploy of the IAM set: looks each part up and logs whether it would be created or
// reused; changes nothing.
void planDefaultIamSet(aws::IamClient& iam_client);

}  // namespace tarnwick::probe_deployer
