// The revert run: removes what the deployment created.
#pragma once
#include <functional>
#include <optional>
#include <set>
#include <string>

#include "tarnwick_testlibs/aws/services.h"
#include "tarnwick_testlibs/bin/lib/testconfig.h"
#include "tarnwick_testlibs/bin/probe_deployer/common.h"
#include "tarnwick_testlibs/bin/probe_deployer/secgroup.h"

namespace tarnwick::probe_deployer {

namespace detail {
class Poller;  // the run's shared lookups and waits (probe_deployer/detail/poller.h)
}  // namespace detail

// Returns the VPC whose groups and key pair it cleaned (that of the first entry).
std::string terminateEc2s(aws::Ec2Client& ec2_client, aws::IamClient& iam_client, const Options& args);
// The same for a configuration already read, as a revert plans it (testconfig::Reader::kRevert).
std::string terminateEc2s(aws::Ec2Client& ec2_client, aws::IamClient& iam_client, const testconfig::Plan& plan,
                          const ChangeOptions& args);
// Whether test instances in this region but outside `vpc_id` (pending to stopped) still run with
// the default instance profile; logs an INFO alert naming how many and where when they do.
// Other regions are not looked at.
bool instanceProfileUsedOutside(aws::Ec2Client& ec2_client, const std::string& vpc_id);
// The same outside every VPC of `vpc_ids`.
bool instanceProfileUsedOutside(aws::Ec2Client& ec2_client, const std::set<std::string>& vpc_ids);
// Finds a test security group of a VPC by its name (getSgId's signature).
using GroupLookup =
    std::function<std::optional<std::string>(aws::Ec2Client&, const std::string& vpc_id, const std::string& name)>;
// The revert's last steps for `vpc_id`, once its workers have ended: its unassociated test
// addresses, then, when no test instance is left there, both security groups and the key pair.
void removeVpcCompanions(aws::Ec2Client& ec2_client, const std::string& vpc_id, const ChangeOptions& args,
                         const GroupLookup& findGroup = getSgId);
void deleteEc2(aws::Ec2Client& ec2_client, aws::IamClient& iam_client, const std::string& subnet_id,
               const ChangeOptions& args, detail::Poller* poller = nullptr);

}  // namespace tarnwick::probe_deployer
