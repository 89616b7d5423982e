// probe_deployer: deploys test instances into the test subnets of a test configuration, or
// removes them again.
#include "tarnwick_testlibs/aws/retry.h"
#include "tarnwick_testlibs/bin/probe_deployer/run.h"

int main(int argc, char** argv) {
  // Hundreds of workers share one account's request limits: pace the calls after throttling.
  tarnwick::aws::setDefaultRetryMode("adaptive");
  return tarnwick::probe_deployer::main(argc, argv);
}
