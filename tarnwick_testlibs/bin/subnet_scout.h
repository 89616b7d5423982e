// The discovery program: finds the test subnets of a VPC and writes the test configuration.
#pragma once

namespace tarnwick::subnet_scout {

// The whole run flow; returns the process exit status (never calls exit).
int main(int argc, char** argv);

}  // namespace tarnwick::subnet_scout
