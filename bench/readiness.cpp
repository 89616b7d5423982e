// Deploys and reverts a few entries with the real probe_deployer against instances as slow as
// EC2's (the throttling front's lifecycle: status checks pass some seconds after launch, a
// terminated instance shuts down for some seconds, every call takes its time), and prints how long
// each run went on after the last instance was ready or gone, and its calls per entry.
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "deployer_runs.h"

namespace {

using bench::Json;

struct Options {
  int entries = 20;
  double readyAfter = 20;
  double shuttingDownFor = 20;
  double latencyMs = 100;
};

struct Step : bench::DeployerRun {
  double pastLast = 0;  // from the last instance ready (or gone) to the run's end
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

Step run(testbed::MotoServer& server, const testbed::FakeServer& ipEcho, const testbed::TempDir& dir,
         const std::vector<std::string>& args, const char* lastKey) {
  server.resetFront(true);
  Step step{bench::runDeployer(server, ipEcho, dir, args, std::chrono::minutes(30))};
  step.pastLast = step.endedAt - step.stats["lifecycle"][lastKey].get<double>();
  return step;
}

void print(const char* name, const char* past, const Step& s, int entries) {
  fmt::print("  {:<7} exit {}, wall {:.1f} s, {} {:.1f} s\n", name, s.status, s.seconds, past, s.pastLast);
  bench::printCalls(s.stats["calls"], entries);
  bench::printTail(s);
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse(argc, argv);
  testbed::FakeServer ipEcho(testbed::FakeServer::Mode::PublicIp, Json{{"ip", "203.0.113.7"}});
  testbed::MotoServer server(
      {}, std::vector<std::string>{"--lifetime", "7200", "--latency", fmt::format("{}", o.latencyMs / 1000),
                                   "--ready-after", fmt::format("{}", o.readyAfter), "--shutting-down-for",
                                   fmt::format("{}", o.shuttingDownFor)});
  testbed::TempDir dir;
  const std::string in =
      dir.write("in.config", bench::makeNetwork(server, o.entries, std::chrono::seconds(600)).dump(2));
  // More entries than the emulator's quota of five addresses, which the checks would refuse.
  const Step deploy = run(server, ipEcho, dir,
                          {"--test_config", in, "--output_test_config", "out.config", "--skip_preflight"}, "lastReady");
  const Step revert = run(server, ipEcho, dir, {"--revert", "--test_config", in}, "lastGone");
  fmt::print("{} entries, ready {} s after launch, terminated {} s after the request, {} ms per call\n", o.entries,
             o.readyAfter, o.shuttingDownFor, o.latencyMs);
  print("deploy", "past readiness", deploy, o.entries);
  print("revert", "past termination", revert, o.entries);
  return deploy.status == 0 && revert.status == 0 ? 0 : 1;
}
