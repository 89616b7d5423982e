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
// Returns the answer that met the success state. Throws WaiterError on a failure state or after
// the last attempt; unknown names throw std::invalid_argument.
Doc wait(Ec2Client& ec2, const std::string& waiterName, const Doc& params, WaiterConfig cfg = {});

// The same waiter on a loop of the caller's own: another attempt as long as `retry` allows, after
// the pause `backoff` says ("Max attempts exceeded" when the retry policy allows no other).
Doc wait(Ec2Client& ec2, const std::string& waiterName, const Doc& params, RetryPolicy retry, BackoffPolicy backoff);

}  // namespace tarnwick::aws
