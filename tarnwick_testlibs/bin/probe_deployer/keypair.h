// Key pairs and their private keys.
#pragma once
#include <string>

#include "tarnwick_testlibs/aws/services.h"
#include "tarnwick_testlibs/bin/probe_deployer/common.h"

namespace tarnwick::probe_deployer {

std::string createKeyPair(aws::Ec2Client& ec2_client, aws::S3Client* s3_client, const std::string& vpcId,
                          const Options& args);
void deleteKeyPair(aws::Ec2Client& ec2_client, const std::string& keyname, const Options& args);
void getPemKeyFromSSM(aws::SsmClient& ssm_client, const std::string& pemkey, const Options& args);

}  // namespace tarnwick::probe_deployer
