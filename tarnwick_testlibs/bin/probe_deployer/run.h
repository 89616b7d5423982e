// The program.
#pragma once

namespace tarnwick::probe_deployer {

// The whole run flow; returns the process exit status (never calls exit).
int main(int argc, char** argv);

}  // namespace tarnwick::probe_deployer
