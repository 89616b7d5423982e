// The result collection program: one verdict per test configuration entry, for a CI server.
#pragma once

namespace tarnwick::collect_results {

// The whole run flow; returns the process exit status (never calls exit).
int main(int argc, char** argv);

}  // namespace tarnwick::collect_results
