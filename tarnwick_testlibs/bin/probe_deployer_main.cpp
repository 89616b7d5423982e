// probe_deployer: deploys test instances into the test subnets of a test configuration, or
// removes them again.
#include "tarnwick_testlibs/bin/probe_deployer.h"

int main(int argc, char** argv) { return tarnwick::probe_deployer::main(argc, argv); }
