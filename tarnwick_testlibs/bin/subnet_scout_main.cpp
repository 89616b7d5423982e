// subnet_scout: finds the subnets behind a VPC's spoke or NAT gateways and writes them as a
// test configuration file.
#include "tarnwick_testlibs/bin/subnet_scout.h"

int main(int argc, char** argv) { return tarnwick::subnet_scout::main(argc, argv); }
