// The launch of one test instance: its arguments and the retry of RunInstances. Internal to the
// module.
#pragma once
#include <optional>
#include <stdexcept>
#include <string>

#include "tarnwick_testlibs/aws/services.h"
#include "tarnwick_testlibs/bin/probe_deployer/common.h"
#include "tarnwick_testlibs/bin/probe_deployer/run_summary.h"

namespace tarnwick::probe_deployer::detail {

class Poller;  // the run's shared lookups and waits (probe_deployer/detail/poller.h)

// Asks the launch's retry policy for another attempt.
class InvalidParameterValueException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct LaunchArgs {
  aws::Ec2Client* ec2_client = nullptr;
  aws::IamClient* iam_client = nullptr;
  std::string ami;
  std::string gw_subnet_id;
  std::string private_subnet_id;
  std::string spoke_gw_ip;
  LaunchOptions args;          // what the launch reads of the options record
  Doc* test_config = nullptr;  // the entry, extended in place
  std::optional<std::string> sg_id;
  std::optional<std::string> sg_id_private_inf;
  std::optional<std::string> instance_profile;
  std::optional<std::string> key_name;
  report::Slot summary_slot;  // where the worker's reports go (by default nowhere)
  Poller* poller = nullptr;   // the run's; none: the worker's lookups are its own
};

void createEc2(const LaunchArgs& a);
// The RunInstances request of a launch with `instance_profile` (the launch's own, or the named role).
Doc buildLaunchRequest(const LaunchArgs& a, const std::optional<std::string>& instance_profile);
std::optional<std::string> createEc2WithRetry(aws::Ec2Client& ec2_client, const Doc& data);

}  // namespace tarnwick::probe_deployer::detail
