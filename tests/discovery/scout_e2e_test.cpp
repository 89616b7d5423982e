// subnet_scout end to end: the real program against the emulator and the fake controller.
#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "fake_controller.h"
#include "testbed/emulator.h"
#include "testbed/fake_server.h"
#include "vpc_fixtures.h"

namespace {

using discovery::Doc;
using discovery::FakeController;

constexpr const char* kPrompt = "Enter Tarnwick Controller Password: ";
constexpr const char* kPasswordVariable = "TARNWICK_CONTROLLER_PASSWORD";

std::string gatewayAddress(const std::string& cidr) { return cidr.substr(0, cidr.rfind('.')) + ".1"; }

Doc entryOf(const discovery::SpokeVpc& vpc, size_t i) {
  const auto& g = vpc.gateways[i];
  return {{"gw_name", g.name},
          {"gw_private_ip", g.privateIp},
          {"gw_subnet_id", vpc.gatewaySubnet},
          {"gw_subnet_cidr", "10.40.0.0/24"},
          {"private_subnet_id", g.privateSubnet},
          {"private_subnet_cidr", g.privateCidr},
          {"private_subnet_gw_ip", gatewayAddress(g.privateCidr)}};
}

Doc natEntry(const discovery::NatGateway& g) {
  return {{"nat_gw_id", g.id},
          {"gw_private_ip", g.privateIp},
          {"gw_public_ip", g.publicIp},
          {"gw_subnet_id", g.subnet},
          {"gw_subnet_cidr", g.subnetCidr},
          {"private_subnet_id", g.testSubnet},
          {"private_subnet_cidr", g.testCidr},
          {"private_subnet_gw_ip", gatewayAddress(g.testCidr)}};
}

// The file's layout (two-space indent, a final newline) is proven byte by byte in the unit tests.
std::string fileOf(const std::vector<Doc>& entries) { return Doc(entries).dump(2) + "\n"; }

class SubnetScout : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { controller = new FakeController(); }
  static void TearDownTestSuite() { delete controller; }
  void SetUp() override {
    controller->clearRequests();
    controller->answerListing("/v1/api", FakeController::gateways(Doc::array()));
    controller->answerListing("/v2/api", FakeController::gateways(Doc::array()));
  }

  std::vector<std::string> common(const std::string& vpc) const {
    return {"--vpc",    vpc,         "--assume_role",   "arn:aws:iam::123456789012:role/workflow",
            "--region", "us-east-1", "--backup_folder", dir.str()};
  }
  std::vector<std::string> spokeArgs(const std::string& vpc, const std::string& gateway, bool scaling = false,
                                     const std::string& password = "s3cret") const {
    auto words = common(vpc);
    words.insert(words.end(), {"spoke", "--controller_ip", controller->address(), "--controller_user", "admin",
                               "--spoke_gw_name", gateway});
    if (!password.empty()) words.insert(words.end(), {"--controller_password", password});
    if (scaling) words.push_back("--horizontal_scaling");
    return words;
  }
  testbed::RunResult scout(const std::vector<std::string>& words, const std::string& input = "",
                           testbed::EnvChanges env = {}) const {
    testbed::RunOptions options;
    options.env = std::move(env);
    options.env.merge(testbed::motoEnv());  // keeps what `env` sets
    options.stdinText = input;
    return testbed::runProgram(TWK_SUBNET_SCOUT, words, options);
  }
  std::string output(const std::string& vpc) const { return (dir / (vpc + "/subnet.config")).string(); }
  std::string written(const std::string& vpc) const { return testbed::readFile(output(vpc)); }
  bool hasOutput(const std::string& vpc) const { return std::filesystem::exists(output(vpc)); }

  static FakeController* controller;
  testbed::TempDir dir;
};

FakeController* SubnetScout::controller = nullptr;

TEST_F(SubnetScout, ClassicSearchKeepsThePeerOnceInTheOrderItsInterfaceWasMet) {
  auto vpc = discovery::makeSpokeVpc({"spoke-a", "spoke-a-hagw"});
  Doc primary = vpc.record(0);
  primary["hagw_details"] = {
      {"private_ip", vpc.gateways[1].privateIp}, {"gw_name", "spoke-a-hagw"}, {"public_ip", vpc.gateways[1].publicIp}};
  controller->answerListing("/v1/api", FakeController::gateways(Doc::array({primary, vpc.record(1)})));

  auto r = scout(spokeArgs(vpc.vpc, "spoke-a"));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(written(vpc.vpc), fileOf({entryOf(vpc, 0), entryOf(vpc, 1)}));
  auto listings = controller->requests("list_vpcs_summary");
  ASSERT_EQ(listings.size(), 2u);
  EXPECT_EQ(listings[0].path, "/v1/api");
  EXPECT_EQ(listings[1].query.at("gateway_name"), "spoke-a-hagw");
  EXPECT_EQ(controller->requests("login").at(0).form.at("username"), "admin");
  EXPECT_EQ((r.out + r.err).find("s3cret"), std::string::npos);
  EXPECT_EQ((r.out + r.err).find("cid-7f3a"), std::string::npos);
}

TEST_F(SubnetScout, HorizontalScalingSearchWritesTheGatewayAndThreePeers) {
  auto vpc = discovery::makeSpokeVpc({"spoke-h", "spoke-h-1", "spoke-h-2", "spoke-h-3"});
  Doc element = vpc.record(0);
  element["hagw_details"] = Doc::object();
  element["hagw_details_list"] = {vpc.record(1), vpc.record(2), vpc.record(3)};
  controller->answerListing("/v2/api", FakeController::gateways(Doc::array({element})));

  auto r = scout(spokeArgs(vpc.vpc, "spoke-h", true));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(written(vpc.vpc), fileOf({entryOf(vpc, 0), entryOf(vpc, 1), entryOf(vpc, 2), entryOf(vpc, 3)}));
  auto listings = controller->requests("list_vpcs_summary");
  ASSERT_EQ(listings.size(), 1u);
  EXPECT_EQ(listings[0].path, "/v2/api");
}

// A failed or empty search leaves no file, so the rerun searches again instead of saying "- Found".
TEST_F(SubnetScout, FailedAndEmptySearchesWriteNoFileAndTheRerunSearchesAgain) {
  auto vpc = discovery::makeSpokeVpc({"spoke-a", "spoke-a-hagw"});
  const Doc good = FakeController::gateways(Doc::array({vpc.record(0)}));
  struct Case {
    std::string gateway, password;
    Doc listing;
    int status;
    std::string says;
  };
  for (const Case& c :
       {Case{"spoke-x", "s3cret", good, 40,
             "  **Error** no test subnet found behind spoke gateway spoke-x or spoke-x-hagw"},
        Case{"spoke-a", "s3cret", Doc{{"sequence", {good, FakeController::refusal(FakeController::kCidRefused)}}}, 40,
             "  **Error** Failed to get gateway info from controller. CID is invalid or expired."},
        Case{"spoke-a", "wrong", FakeController::text("<html>"), 40, "Login failed"},
        Case{"spoke-a", "", good, 2,
             "spoke: error: no controller password: pipe it to standard input, set TARNWICK_CONTROLLER_PASSWORD or "
             "give --controller_password"}}) {
    controller->answerListing("/v1/api", c.listing);
    auto r = scout(spokeArgs(vpc.vpc, c.gateway, false, c.password));
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    EXPECT_NE((r.out + r.err).find(c.says), std::string::npos) << r.out << r.err;
    EXPECT_FALSE(hasOutput(vpc.vpc));
    controller->answerListing("/v1/api", good);
    r = scout(spokeArgs(vpc.vpc, "spoke-a"));
    EXPECT_NE(r.err.find("- Saved " + output(vpc.vpc)), std::string::npos) << r.err;
    std::filesystem::remove(output(vpc.vpc));
  }
}

// An opted-in certificate check that fails ends the run before the password leaves the host; one
// that cannot work is a usage error before any call and any password (there is neither here).
TEST_F(SubnetScout, AControllerCertificateThatDoesNotMatchEndsTheRunBeforeTheLogin) {
  auto vpc = discovery::makeSpokeVpc({"spoke-a"});
  controller->answerListing("/v1/api", FakeController::gateways(Doc::array({vpc.record(0)})));
  const std::string notPem = dir.write("notes.txt", "not a certificate\n");
  struct Case {
    std::vector<std::string> check;
    int status;
    std::string says;
  };
  for (const Case& c :
       {Case{{"--controller_fingerprint", std::string(64, 'a')}, 1, "expected SHA-256 fingerprint AA:AA:"},
        Case{{"--controller_ca", "/etc/ssl/certs/ca-certificates.crt"}, 1, "issued through"},
        Case{{"--controller_fingerprint", "AB:CD:EF"},
             2,
             "error: --controller_fingerprint is not a SHA-256 fingerprint"},
        Case{{"--controller_ca", dir.str() + "/none.pem"}, 2, "none.pem cannot be read: No such file or directory"},
        Case{{"--controller_ca", notPem}, 2, "notes.txt holds no PEM certificate"},
        Case{{"--controller_ca", controller->certPath()}, 0, "- Saved "}}) {
    controller->clearRequests();
    const bool usage = c.status == 2;
    auto words = spokeArgs(vpc.vpc, "spoke-a", false, usage ? "" : "s3cret");
    words.insert(words.end(), c.check.begin(), c.check.end());
    auto r = scout(words, "", usage ? testbed::awsEnv("http://127.0.0.1:9") : testbed::EnvChanges{});
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(controller->requests("login").size(), c.status == 0 ? 1u : 0u) << c.check[0];
    EXPECT_EQ(hasOutput(vpc.vpc), c.status == 0);
  }
}

TEST_F(SubnetScout, AGatewayWithoutARoutedSubnetLeavesNoFileAndTheStatusAlone) {
  auto vpc = discovery::makeSpokeVpc({"spoke-a"}, {"spoke-a"});
  controller->answerListing("/v1/api", FakeController::gateways(Doc::array({vpc.record(0)})));
  auto r = scout(spokeArgs(vpc.vpc, "spoke-a"));
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("spoke subnet search failed"), std::string::npos) << r.err;
  EXPECT_FALSE(hasOutput(vpc.vpc));
}

// Also before the password is looked for: there is none, and nothing to ask it on.
TEST_F(SubnetScout, AnExistingOutputEndsTheRunBeforeAnyLogin) {
  auto vpc = discovery::makeSpokeVpc({"spoke-a"});
  std::filesystem::create_directories(dir / vpc.vpc / "subnet.config");  // a folder counts too
  auto r = scout(spokeArgs(vpc.vpc, "spoke-a", false, ""));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE((r.out + r.err).find("- Found " + output(vpc.vpc)), std::string::npos) << r.out << r.err;
  EXPECT_TRUE(controller->requests().empty());
}

// After the option come the variable and standard input's first line (line end and CR removed,
// no prompt); only the source that should win holds the right password.
TEST_F(SubnetScout, ThePasswordComesFromTheOptionTheVariableOrStandardInputInThatOrder) {
  auto vpc = discovery::makeSpokeVpc({"spoke-a"});
  controller->answerListing("/v1/api", FakeController::gateways(Doc::array({vpc.record(0)})));
  struct Case {
    std::string option, variable, input;
  };
  for (const Case& c : {Case{"s3cret", "from-variable", "from-pipe\n"}, Case{"", "s3cret", "from-pipe\n"},
                        Case{"", "", "s3cret\r\nnext line\n"}, Case{"", "", "s3cret"}}) {
    auto r = scout(spokeArgs(vpc.vpc, "spoke-a", false, c.option), c.input, {{kPasswordVariable, c.variable}});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(controller->requests("login").back().form.at("password"), "s3cret");
    for (const char* hidden : {"s3cret", kPrompt}) EXPECT_EQ((r.out + r.err).find(hidden), std::string::npos) << r.err;
    std::filesystem::remove(output(vpc.vpc));
  }
}

// Runs subnet_scout on a pseudo-terminal, answering the prompt with `password`, or with `signal`
// (Ctrl-C typed for SIGINT).
struct TerminalRun {
  int status = -1;  // 128 + the signal that ended it, as a shell tells it
  std::string screen;
  bool echoAtPrompt = true, echoAtEnd = false;
};

TerminalRun onTerminal(const std::vector<std::string>& words, const std::string& password, int signal = 0) {
  std::vector<std::string> env = testbed::environmentWith(testbed::motoEnv());
  int master = -1;
  pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid == 0) {
    std::vector<char*> argv{const_cast<char*>(TWK_SUBNET_SCOUT)};
    for (auto& w : words) argv.push_back(const_cast<char*>(w.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    execve(TWK_SUBNET_SCOUT, argv.data(), envp.data());
    _exit(127);
  }
  TerminalRun run;
  auto echoing = [master] {
    termios tty{};
    return tcgetattr(master, &tty) == 0 && (tty.c_lflag & ECHO) != 0;
  };
  bool answered = false;
  char buffer[4096];
  for (;;) {
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, 60000) <= 0) break;
    ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) break;
    run.screen.append(buffer, static_cast<size_t>(n));
    if (!answered && run.screen.find(kPrompt) != std::string::npos) {
      answered = true;
      run.echoAtPrompt = echoing();  // echo goes off before the prompt shows
      const std::string keys = signal == SIGINT ? "\x03" : password + "\n";
      if (signal != 0 && signal != SIGINT)
        kill(pid, signal);
      else if (write(master, keys.data(), keys.size()) < 0)
        break;
    }
  }
  run.echoAtEnd = echoing();
  close(master);
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : WIFSIGNALED(wstatus) ? 128 + WTERMSIG(wstatus) : -1;
  return run;
}

// Echo is back after the answer, and after giving up (Ctrl-C, SIGTERM, SIGHUP: the run ends as
// the signal does).
TEST_F(SubnetScout, WithoutAPasswordItPromptsOnceOnTheTerminalWithoutEcho) {
  auto vpc = discovery::makeSpokeVpc({"spoke-a"});
  controller->answerListing("/v1/api", FakeController::gateways(Doc::array({vpc.record(0)})));
  TerminalRun run;
  for (int signal : {SIGINT, SIGTERM, SIGHUP, 0}) {
    run = onTerminal(spokeArgs(vpc.vpc, "spoke-a", false, ""), "s3cret", signal);
    EXPECT_EQ(run.status, signal ? 128 + signal : 0) << run.screen;
    EXPECT_FALSE(run.echoAtPrompt) << signal;
    EXPECT_TRUE(run.echoAtEnd) << signal;
    EXPECT_EQ(hasOutput(vpc.vpc), signal == 0);
  }
  size_t first = run.screen.find(kPrompt);
  ASSERT_NE(first, std::string::npos) << run.screen;
  EXPECT_EQ(run.screen.find(kPrompt, first + 1), std::string::npos);
  EXPECT_EQ(run.screen.find("s3cret"), std::string::npos) << run.screen;
  EXPECT_EQ(controller->requests("login").at(0).form.at("password"), "s3cret");
  EXPECT_EQ(written(vpc.vpc), fileOf({entryOf(vpc, 0)}));
}

class NatScout : public SubnetScout {
 protected:
  std::vector<std::string> natArgs(const std::string& vpc, const std::string& bucket = "") const {
    auto words = common(vpc);
    if (!bucket.empty()) words.insert(words.end(), {"--s3_bucket", bucket});
    words.push_back("natgw");
    return words;
  }
};

TEST_F(NatScout, TwoZonesGiveTwoEntriesAndTheBucketGetsTheFile) {
  auto vpc = discovery::makeNatVpc(discovery::NatLayout::TwoZones);
  testbed::boto3("s3.create_bucket(Bucket='scout-bucket')");
  auto r = scout(natArgs(vpc.vpc, "scout-bucket"));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  std::string expected = fileOf({natEntry(vpc.gateways[0]), natEntry(vpc.gateways[1])});
  EXPECT_EQ(written(vpc.vpc), expected);
  Doc keys =
      testbed::boto3Json("out([o['Key'] for o in s3.list_objects_v2(Bucket='scout-bucket').get('Contents', [])])");
  ASSERT_EQ(keys.size(), 1u) << keys.dump();
  std::string stored =
      testbed::boto3("import sys; sys.stdout.write(s3.get_object(Bucket='scout-bucket', Key=" + Doc(keys[0]).dump() +
                     ")['Body'].read().decode())");
  EXPECT_EQ(stored, expected);
}

TEST_F(NatScout, TheCopyReachesABucketInAnotherRegionWithEveryRequestSignedAsAwsChecks) {
  auto vpc = discovery::makeNatVpc(discovery::NatLayout::TwoZones);
  testbed::boto3("s3.create_bucket(Bucket='far-scout', CreateBucketConfiguration={'LocationConstraint': 'eu-west-2'})");
  testbed::FakeServer front(testbed::FakeServer::Mode::AwsFront, {{"upstream", testbed::moto().url()},
                                                                  {"buckets", {{"far-scout", "eu-west-2"}}},
                                                                  {"wrongRegion", "bare"}});  // only HeadBucket tells
  const testbed::RunOptions viaFront{testbed::awsEnv(front.url()), "", ""};
  EXPECT_EQ(testbed::runProgram(TWK_SUBNET_SCOUT, natArgs(vpc.vpc, "far-scout"), viaFront).status, 0);
  std::string calls;  // the role, the EC2 queries and the copy all went through the checks
  for (const auto& q : front.requests()) calls += q.method + " " + q.path + "\n";
  const std::string put = "PUT /far-scout/backups/" + vpc.vpc + "/subnet.config\n";
  EXPECT_NE(calls.find(put + "HEAD /far-scout\n" + put), std::string::npos) << calls;
}

TEST_F(NatScout, UnusableNatGatewaysOrAFailedCopyEndTheRunWithStatusOneAndNoFile) {
  struct Case {
    discovery::NatLayout layout;
    std::string message, bucket;
  };
  for (const Case& c :
       {Case{discovery::NatLayout::WrongZone, " in the same AZ", ""},
        Case{discovery::NatLayout::PrivateOnly, "  **Error** No available public NAT gateway found in ", ""},
        Case{discovery::NatLayout::TwoZones, "NoSuchBucket", "no-such-bucket"}}) {
    auto vpc = discovery::makeNatVpc(c.layout);
    auto r = scout(natArgs(vpc.vpc, c.bucket));
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE((r.out + r.err).find(c.message), std::string::npos) << r.out << r.err;
    EXPECT_FALSE(hasOutput(vpc.vpc));
  }
}

}  // namespace
