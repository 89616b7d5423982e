// The deployment run: one worker per entry.
#pragma once
#include <string>

#include "tarnwick_testlibs/aws/services.h"
#include "tarnwick_testlibs/bin/probe_deployer/common.h"

namespace tarnwick::probe_deployer {

// A deployment must know where its extended configuration goes before it creates anything: logs
// the ERROR and throws ProcessExit(1) when --output_test_config is absent or empty.
void requireOutputTestConfig(const Args& args);
void deployEc2s(aws::Ec2Client& ec2_client, aws::S3Client* s3_client, aws::IamClient& iam_client,
                const std::string& ami, const Args& args);
std::string deduceTag(const Args& args, const Doc* test_config = nullptr);

}  // namespace tarnwick::probe_deployer
