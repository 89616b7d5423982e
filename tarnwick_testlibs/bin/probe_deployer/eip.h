// Elastic IPs and instance lookup.
#pragma once
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tarnwick_testlibs/aws/services.h"
#include "tarnwick_testlibs/bin/probe_deployer/common.h"

namespace tarnwick::probe_deployer {

// Allocates an address tagged with `vpc_id` (the VPC of the interface's instance) and associates
// it; an address whose association fails is released at once and the failure passed on. A dry
// run only logs what it would do.
void associateEIP(aws::Ec2Client& ec2_client, const std::string& networkInfId, const std::string& vpc_id,
                  const CreateOptions& args);
void releaseEIP(aws::Ec2Client& ec2_client, const std::string& eip, const std::string& eipAllocIp,
                const std::string& insId, const ChangeOptions& args);
// Releases every test address of `vpc_id` that is associated with nothing, such as one left by a
// deployment that ended between allocation and association.
void releaseUnassociatedEIPs(aws::Ec2Client& ec2_client, const std::string& vpc_id, const ChangeOptions& args);
std::string getEipAllocationId(aws::Ec2Client& ec2_client, const std::string& insId, const std::string& public_ip);
// (instance id or nothing, public address or nothing)
std::pair<std::optional<std::string>, std::optional<std::string>> getEc2(aws::Ec2Client& ec2_client,
                                                                         const std::string& subnet_id);
std::optional<std::vector<std::string>> getAllEc2InVpc(aws::Ec2Client& ec2_client, const std::string& vpc_id);

}  // namespace tarnwick::probe_deployer
