// Deploys and reverts a few entries with the real probe_deployer against instances as slow as
// EC2's (the throttling front's lifecycle: status checks pass some seconds after launch, a
// terminated instance shuts down for some seconds, every call takes its time), and prints how long
// each run went on after the last instance was ready or gone, and its calls per entry.
#include <chrono>
#include <cstdlib>
#include <iostream>
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

struct Options {
  int entries = 20;
  double readyAfter = 20;
  double shuttingDownFor = 20;
  double latencyMs = 100;
};

struct Step {
  int status = -1;
  double wall = 0;
  double pastLast = 0;  // from the last instance ready (or gone) to the run's end
  Json calls;
  std::string tail;
};

[[noreturn]] void usage() {
  std::cerr << "usage: readiness [--entries N] [--ready-after S] [--shutting-down-for S] [--latency-ms MS]\n";
  std::exit(2);
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 >= argc) usage();
    const double v = std::atof(argv[++i]);
    if (a == "--entries" && v >= 1) {
      o.entries = static_cast<int>(v);
    } else if (a == "--ready-after" && v >= 0) {
      o.readyAfter = v;
    } else if (a == "--shutting-down-for" && v >= 0) {
      o.shuttingDownFor = v;
    } else if (a == "--latency-ms" && v >= 0) {
      o.latencyMs = v;
    } else {
      usage();
    }
  }
  return o;
}

double epochSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

Json makeNetwork(const testbed::MotoServer& server, int entries) {
  return Json::parse(testbed::boto3(fmt::format(R"PY(
vpc = ec2.create_vpc(CidrBlock="10.0.0.0/16")["Vpc"]["VpcId"]
def sn(cidr): return ec2.create_subnet(VpcId=vpc, CidrBlock=cidr)["Subnet"]["SubnetId"]
out([{{"gw_name": f"gw-{{i}}", "gw_private_ip": f"10.0.{{2 * i}}.10", "gw_subnet_id": sn(f"10.0.{{2 * i}}.0/24"),
      "gw_subnet_cidr": f"10.0.{{2 * i}}.0/24", "private_subnet_id": sn(f"10.0.{{2 * i + 1}}.0/24"),
      "private_subnet_cidr": f"10.0.{{2 * i + 1}}.0/24", "private_subnet_gw_ip": f"10.0.{{2 * i + 1}}.1"}}
     for i in range({0})])
)PY",
                                                             entries),
                                                 server, std::chrono::seconds(600)));
}

Step run(testbed::MotoServer& server, const testbed::FakeServer& ipEcho, const testbed::TempDir& dir,
         const std::vector<std::string>& args, const char* lastKey) {
  server.resetFront(true);
  testbed::RunOptions options;
  options.env = testbed::awsEnv(server.url());
  options.env["TARNWICK_PUBLIC_IP_URL"] = ipEcho.url() + "/";
  options.cwd = dir.str();
  options.timeout = std::chrono::minutes(30);
  const double start = epochSeconds();
  const testbed::RunResult r = testbed::runProgram(TWK_PROBE_DEPLOYER, args, options);
  const double end = epochSeconds();
  const Json stats = server.frontStats();
  Step step;
  step.status = r.status;
  step.wall = end - start;
  step.pastLast = end - stats["lifecycle"][lastKey].get<double>();
  step.calls = stats["calls"];
  if (r.status != 0) step.tail = r.err.substr(r.err.size() > 3000 ? r.err.size() - 3000 : 0);
  return step;
}

void print(const char* name, const char* past, const Step& s, int entries) {
  const int total = bench::sumOf(s.calls);
  fmt::print("  {:<7} exit {}, wall {:.1f} s, {} {:.1f} s, calls per entry {:.2f} ({} calls)\n", name, s.status,
             s.wall, past, s.pastLast, static_cast<double>(total) / entries, total);
  fmt::print("         ");
  bench::printPerEntry(s.calls, entries);
  fmt::print("\n");
  if (!s.tail.empty()) fmt::print("          end of its log:\n{}\n", s.tail);
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse(argc, argv);
  testbed::FakeServer ipEcho(testbed::FakeServer::Mode::PublicIp, Json{{"ip", "203.0.113.7"}});
  testbed::MotoServer server({}, std::vector<std::string>{"--lifetime", "7200", "--latency", fmt::format("{}", o.latencyMs / 1000),
                                                          "--ready-after", fmt::format("{}", o.readyAfter),
                                                          "--shutting-down-for", fmt::format("{}", o.shuttingDownFor)});
  testbed::TempDir dir;
  const std::string in = dir.write("in.config", makeNetwork(server, o.entries).dump(2));
  // More entries than the emulator's quota of five addresses, which the checks would refuse.
  const Step deploy = run(server, ipEcho, dir, {"--test_config", in, "--output_test_config", "out.config", "--skip_preflight"},
                          "lastReady");
  const Step revert = run(server, ipEcho, dir, {"--revert", "--test_config", in}, "lastGone");
  fmt::print("{} entries, ready {} s after launch, terminated {} s after the request, {} ms per call\n", o.entries,
             o.readyAfter, o.shuttingDownFor, o.latencyMs);
  print("deploy", "past readiness", deploy, o.entries);
  print("revert", "past termination", revert, o.entries);
  return deploy.status == 0 && revert.status == 0 ? 0 : 1;
}
