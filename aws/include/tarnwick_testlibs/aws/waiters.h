// EC2 waiters with the vendor SDKs' published definitions; delays go through aws::clock().
#pragma once
#include <string>

#include "tarnwick_testlibs/aws/retry.h"
#include "tarnwick_testlibs/aws/services.h"

namespace tarnwick::aws {

struct WaiterConfig {
  int delaySeconds = 15;
  int maxAttempts = 40;

  RetryPolicy attempts() const { return RetryPolicy(maxAttempts); }
  BackoffPolicy backoff() const { return BackoffPolicy::fixed(std::chrono::seconds(delaySeconds)); }
};

// "instance_status_ok" (DescribeInstanceStatus) or "instance_terminated" (DescribeInstances).
// Throws WaiterError on a failure state or after the last attempt; unknown names throw
// std::invalid_argument.
void wait(Ec2Client& ec2, const std::string& waiterName, const Doc& params, WaiterConfig cfg = {});

}  // namespace tarnwick::aws
