// Deploys and reverts N test configuration entries with the real probe_deployer against the
// emulator behind the test bed's throttling front, and prints what it took: entries deployed and
// removed, calls per entry by operation, throttled answers and wall time, with EC2's published
// request buckets and without them.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "call_counts.h"
#include "testbed/emulator.h"
#include "testbed/fake_server.h"
#include "testbed/process.h"

namespace {

using Json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

constexpr auto kRunTimeout = std::chrono::hours(3);
constexpr auto kSetupTimeout = std::chrono::seconds(1800);

struct Options {
  int entries = 200;
  bool withBuckets = true;
  bool withoutBuckets = true;
  std::vector<std::string> lifecycle;  // the front's options for instances as slow as EC2's
};

struct Step {
  int status = -1;
  double seconds = 0;
  int done = 0;  // entries deployed or removed
  Json stats;
  std::string tail;  // the end of the program's log when it failed
};

struct Round {
  Step deploy, revert;
};

void usage() {
  std::cerr << "usage: deploy_at_scale [--entries N] [--buckets-only | --no-buckets-only] [--ready-after S]\n"
               "                       [--shutting-down-for S] [--latency S]\n";
  std::exit(2);
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--entries" && i + 1 < argc) {
      o.entries = std::atoi(argv[++i]);
      if (o.entries < 1) usage();
    } else if (a == "--buckets-only") {
      o.withoutBuckets = false;
    } else if (a == "--no-buckets-only") {
      o.withBuckets = false;
    } else if ((a == "--ready-after" || a == "--shutting-down-for" || a == "--latency") && i + 1 < argc) {
      o.lifecycle.insert(o.lifecycle.end(), {a, argv[++i]});
    } else {
      usage();
    }
  }
  return o;
}

// A VPC with a gateway and a test subnet per entry, and the test configuration naming them.
Json makeNetwork(const testbed::MotoServer& server, int entries) {
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
                                                 server, kSetupTimeout));
}

// Gateway subnets that still hold a test instance that is not terminated.
std::vector<std::string> occupiedSubnets(const testbed::MotoServer& server) {
  return Json::parse(testbed::boto3(R"PY(
pages = ec2.get_paginator("describe_instances").paginate(Filters=[
    {"Name": "tag:Name", "Values": ["tarnwick-test-ec2"]},
    {"Name": "instance-state-name", "Values": ["pending", "running", "stopping", "stopped", "shutting-down"]}])
out(sorted({i["SubnetId"] for p in pages for r in p["Reservations"] for i in r["Instances"]}))
)PY",
                                    server, kSetupTimeout))
      .get<std::vector<std::string>>();
}

Step runDeployer(const testbed::MotoServer& server, const testbed::FakeServer& ipEcho, const testbed::TempDir& dir,
                 const std::vector<std::string>& args) {
  testbed::RunOptions options;
  options.env = testbed::awsEnv(server.url());
  options.env["TARNWICK_PUBLIC_IP_URL"] = ipEcho.url() + "/";
  options.cwd = dir.str();
  options.timeout = kRunTimeout;
  const auto start = Clock::now();
  const testbed::RunResult r = testbed::runProgram(TWK_PROBE_DEPLOYER, args, options);
  Step step;
  step.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  step.status = r.status;
  step.stats = server.frontStats();
  if (r.status != 0) step.tail = r.err.substr(r.err.size() > 3000 ? r.err.size() - 3000 : 0);
  return step;
}

Round runRound(testbed::MotoServer& server, const testbed::FakeServer& ipEcho, int entries, bool buckets) {
  server.reset();
  server.resetFront(false);
  testbed::TempDir dir;
  const Json config = makeNetwork(server, entries);
  const std::string in = dir.write("in.config", config.dump(2));

  Round round;
  server.resetFront(buckets);
  // Hundreds of entries exceed the emulator's quota of five addresses, which the checks would refuse.
  round.deploy = runDeployer(server, ipEcho, dir, {"--test_config", in, "--output_test_config", "out.config", "--skip_preflight"});
  server.resetFront(false);
  const Json out = Json::parse(testbed::readFile(dir / "out.config"));
  round.deploy.done = static_cast<int>(
      std::count_if(out.begin(), out.end(), [](const Json& e) { return e.contains("ec2_ip"); }));

  server.resetFront(buckets);
  round.revert = runDeployer(server, ipEcho, dir, {"--revert", "--test_config", in});
  server.resetFront(false);
  const std::vector<std::string> occupied = occupiedSubnets(server);
  round.revert.done = static_cast<int>(std::count_if(config.begin(), config.end(), [&](const Json& e) {
    return !std::binary_search(occupied.begin(), occupied.end(), e["gw_subnet_id"].get<std::string>());
  }));
  return round;
}

void printStep(const char* name, const Step& s, int entries) {
  const char* verb = std::string(name) == "deploy" ? "deployed" : "removed";
  fmt::print("  {:<7} exit {:<3} {} of {} entries {}, wall {:.1f} s\n", name, s.status, s.done, entries, verb,
             s.seconds);
  const int total = bench::sumOf(s.stats["calls"]);
  fmt::print("          calls per entry {:.2f} ({} calls):", static_cast<double>(total) / entries, total);
  bench::printPerEntry(s.stats["calls"], entries);
  fmt::print("\n          throttled answers {}", bench::sumOf(s.stats["throttled"]));
  for (const auto& [op, n] : s.stats["throttled"].items()) fmt::print(" {} {}", op, n.get<int>());
  fmt::print("\n");
  if (!s.tail.empty()) fmt::print("          end of its log:\n{}\n", s.tail);
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse(argc, argv);
  testbed::FakeServer ipEcho(testbed::FakeServer::Mode::PublicIp, Json{{"ip", "203.0.113.7"}});
  std::vector<std::string> frontArgs{"--lifetime", "21600"};
  frontArgs.insert(frontArgs.end(), o.lifecycle.begin(), o.lifecycle.end());
  testbed::MotoServer server({}, frontArgs);

  std::map<bool, Round> rounds;
  for (bool buckets : {true, false}) {
    if (buckets ? !o.withBuckets : !o.withoutBuckets) continue;
    rounds[buckets] = runRound(server, ipEcho, o.entries, buckets);
    fmt::print("{} entries, {}\n", o.entries, buckets ? "EC2's request buckets" : "no buckets");
    printStep("deploy", rounds[buckets].deploy, o.entries);
    printStep("revert", rounds[buckets].revert, o.entries);
    std::fflush(stdout);
  }
  if (rounds.size() == 2)
    fmt::print("wall time with buckets / without: deploy {:.2f}, revert {:.2f}\n",
               rounds[true].deploy.seconds / rounds[false].deploy.seconds,
               rounds[true].revert.seconds / rounds[false].revert.seconds);
  return 0;
}
