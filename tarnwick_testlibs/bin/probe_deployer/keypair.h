// Key pairs and their private keys.
#pragma once
#include <string>

#include "tarnwick_testlibs/aws/services.h"
#include "tarnwick_testlibs/bin/probe_deployer/common.h"

namespace tarnwick::probe_deployer {

std::string createKeyPair(aws::Ec2Client& ec2_client, aws::S3Client* s3_client, const std::string& vpcId,
                          const KeyPairOptions& args);
// The name of the key pair a deploy creates or reuses in `vpcId` when no key name is given.
std::string vpcKeyPairName(const std::string& vpcId);
// The CreateKeyPair request with which createKeyPair makes that pair.
Doc createKeyPairRequest(const std::string& vpcId, const CreateOptions& args);
bool vpcKeyPairFound(aws::Ec2Client& ec2_client, const std::string& vpcId);
void deleteKeyPair(aws::Ec2Client& ec2_client, const std::string& keyname, const ChangeOptions& args);
void getPemKeyFromSSM(aws::SsmClient& ssm_client, const std::string& pemkey, const Options& args);

}  // namespace tarnwick::probe_deployer
