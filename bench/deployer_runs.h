// What the deploy benchmarks share: a VPC with a gateway and a test subnet per entry, a run of the
// real probe_deployer behind the test bed's front, and the front's call counts printed alike.
#pragma once
#include <algorithm>
#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "testbed/emulator.h"
#include "testbed/fake_server.h"
#include "testbed/process.h"

namespace bench {

using Json = nlohmann::ordered_json;

// The test configuration of a new VPC with a gateway and a test subnet per entry.
inline Json makeNetwork(const testbed::MotoServer& server, int entries, std::chrono::seconds timeout) {
  return Json::parse(testbed::boto3(fmt::format(R"PY(
import ipaddress
n = {0}
prefix = 27 if 2 * n <= 2048 else 28
nets = list(ipaddress.ip_network("10.0.0.0/16").subnets(new_prefix=prefix))
vpc = ec2.create_vpc(CidrBlock="10.0.0.0/16")["Vpc"]["VpcId"]
entries = []
for i in range(n):
    gw, priv = nets[2 * i], nets[2 * i + 1]
    gw_id = ec2.create_subnet(VpcId=vpc, CidrBlock=str(gw))["Subnet"]["SubnetId"]
    priv_id = ec2.create_subnet(VpcId=vpc, CidrBlock=str(priv))["Subnet"]["SubnetId"]
    entries.append({{"gw_name": f"gw-{{i}}", "gw_private_ip": str(gw[10]), "gw_subnet_id": gw_id,
                    "gw_subnet_cidr": str(gw), "private_subnet_id": priv_id, "private_subnet_cidr": str(priv),
                    "private_subnet_gw_ip": str(priv[1])}})
out(entries)
)PY",
                                                entries),
                                    server, timeout));
}

struct DeployerRun {
  int status = -1;
  double seconds = 0;  // wall time
  double endedAt = 0;  // seconds since the epoch, to compare with the front's lifecycle times
  Json stats;          // the front's, after the run
  std::string tail;    // the end of the program's log when it failed
};

inline double epochSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

inline DeployerRun runDeployer(const testbed::MotoServer& server, const testbed::FakeServer& ipEcho,
                               const testbed::TempDir& dir, const std::vector<std::string>& args,
                               std::chrono::seconds timeout) {
  testbed::RunOptions options;
  options.env = testbed::awsEnv(server.url());
  options.env["TARNWICK_PUBLIC_IP_URL"] = ipEcho.url() + "/";
  options.cwd = dir.str();
  options.timeout = timeout;
  const double start = epochSeconds();
  const testbed::RunResult r = testbed::runProgram(TWK_PROBE_DEPLOYER, args, options);
  DeployerRun run;
  run.endedAt = epochSeconds();
  run.seconds = run.endedAt - start;
  run.status = r.status;
  run.stats = server.frontStats();
  if (r.status != 0) run.tail = r.err.substr(r.err.size() > 3000 ? r.err.size() - 3000 : 0);
  return run;
}

inline int sumOf(const Json& counts) {
  int total = 0;
  for (const auto& [op, n] : counts.items()) total += n.get<int>();
  return total;
}

// "calls per entry 4.10 (82 calls): Op 1.00 Other 0.25": each operation's calls per entry, the
// most called first.
inline void printCalls(const Json& counts, int entries) {
  const int total = sumOf(counts);
  fmt::print("          calls per entry {:.2f} ({} calls):", static_cast<double>(total) / entries, total);
  std::vector<std::pair<std::string, int>> calls;
  for (const auto& [op, n] : counts.items()) calls.emplace_back(op, n.get<int>());
  std::sort(calls.begin(), calls.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
  for (const auto& [op, n] : calls) fmt::print(" {} {:.2f}", op, static_cast<double>(n) / entries);
  fmt::print("\n");
}

inline void printTail(const DeployerRun& run) {
  if (!run.tail.empty()) fmt::print("          end of its log:\n{}\n", run.tail);
}

}  // namespace bench
