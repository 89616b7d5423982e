// Security groups, and the addresses they admit.
#pragma once
#include <optional>
#include <string>

#include "tarnwick_testlibs/aws/services.h"
#include "tarnwick_testlibs/bin/probe_deployer/common.h"

namespace tarnwick::probe_deployer {

std::optional<std::string> getSgId(aws::Ec2Client& ec2_client, const std::string& vpc_id, const std::string& sg_name);
// The CreateSecurityGroup request with which createSG makes the group.
Doc createSGRequest(const std::string& vpc_id, const CreateOptions& args);
std::optional<std::string> createSG(aws::Ec2Client& ec2_client, const std::string& vpc_id, const CreateOptions& args);
std::optional<std::string> createPrivateInfSG(aws::Ec2Client& ec2_client, const std::string& vpc_id,
                                              const CreateOptions& args);
void deleteSG(aws::Ec2Client& ec2_client, const std::string& sgId, const ChangeOptions& args);
std::string getVpcId(aws::Ec2Client& ec2_client, const std::string& subnet_id);
// The workflow host's public address from TARNWICK_PUBLIC_IP_URL (default https://api.ipify.org).
std::string lookupPublicIp();

}  // namespace tarnwick::probe_deployer
