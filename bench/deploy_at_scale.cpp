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

#include "deployer_runs.h"

namespace {

using bench::Json;

constexpr auto kRunTimeout = std::chrono::hours(3);
constexpr auto kSetupTimeout = std::chrono::seconds(1800);

struct Options {
  int entries = 200;
  bool withBuckets = true;
  bool withoutBuckets = true;
  std::vector<std::string> lifecycle;  // the front's options for instances as slow as EC2's
};

struct Step : bench::DeployerRun {
  int done = 0;  // entries deployed or removed
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
  return Step{bench::runDeployer(server, ipEcho, dir, args, kRunTimeout)};
}

Round runRound(testbed::MotoServer& server, const testbed::FakeServer& ipEcho, int entries, bool buckets) {
  server.reset();
  server.resetFront(false);
  testbed::TempDir dir;
  const Json config = bench::makeNetwork(server, entries, kSetupTimeout);
  const std::string in = dir.write("in.config", config.dump(2));

  Round round;
  server.resetFront(buckets);
  // Hundreds of entries exceed the emulator's quota of five addresses, which the checks would refuse.
  round.deploy =
      runDeployer(server, ipEcho, dir, {"--test_config", in, "--output_test_config", "out.config", "--skip_preflight"});
  server.resetFront(false);
  const Json out = Json::parse(testbed::readFile(dir / "out.config"));
  round.deploy.done =
      static_cast<int>(std::count_if(out.begin(), out.end(), [](const Json& e) { return e.contains("ec2_ip"); }));

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
  bench::printCalls(s.stats["calls"], entries);
  fmt::print("          throttled answers {}", bench::sumOf(s.stats["throttled"]));
  for (const auto& [op, n] : s.stats["throttled"].items()) fmt::print(" {} {}", op, n.get<int>());
  fmt::print("\n");
  bench::printTail(s);
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
