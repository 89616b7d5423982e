// subnet_scout: finds the subnets behind a VPC's spoke or NAT gateways and writes them as a
// test configuration file.
#include "tarnwick_testlibs/aws/retry.h"
#include "tarnwick_testlibs/bin/subnet_scout.h"

int main(int argc, char** argv) {
  // Other tools of the account draw on the same request limits: pace the calls after throttling.
  tarnwick::aws::setDefaultRetryMode("adaptive");
  return tarnwick::subnet_scout::main(argc, argv);
}
