// The programs run as a user runs them: exit statuses, usage and help texts, the command banner
// on the console and in the log file. Only runs that end before any AWS step assert a status.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "testbed/emulator.h"
#include "testbed/process.h"

namespace {

namespace fs = std::filesystem;
using Words = std::vector<std::string>;

const std::string kRule(45, '#');

class ProgramRun : public ::testing::Test {
 protected:
  testbed::TempDir dir;

  testbed::RunResult run(const std::string& program, const Words& args) {
    testbed::RunOptions options;
    options.env = testbed::awsEnv("http://127.0.0.1:9");  // a closed port: no AWS step gets far
    options.env["AWS_MAX_ATTEMPTS"] = "1";
    options.cwd = dir.str();
    options.timeout = std::chrono::seconds(90);
    return testbed::runProgram(program, args, options);
  }
  std::string logFile(const std::string& backup = "bk") const {
    return (dir / (backup + "/log/tarnwick_testlibs.log")).string();
  }
  bool folderEmpty() const { return fs::is_empty(dir.path()); }
};

std::vector<std::string> lines(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

TEST_F(ProgramRun, HelpPrintsUsageAndExitsZero) {
  for (const auto& [program, arg] : {std::pair{PROBE_DEPLOYER_BIN, "--help"}, std::pair{SUBNET_SCOUT_BIN, "-h"}}) {
    auto r = run(program, {arg});
    EXPECT_EQ(r.status, 0) << program << r.err;
    EXPECT_EQ(r.out.rfind("usage: ", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("--backup_folder"), std::string::npos);
    EXPECT_EQ(r.err, "");
  }
  EXPECT_TRUE(folderEmpty());
}

// Without any required option, and before a log folder or a session exists.
TEST_F(ProgramRun, VersionPrintsNameAndProjectVersion) {
  for (const auto& [program, name] :
       {std::pair{PROBE_DEPLOYER_BIN, "probe_deployer"}, std::pair{SUBNET_SCOUT_BIN, "subnet_scout"},
        std::pair{COLLECT_RESULTS_BIN, "collect_results"}}) {
    auto r = run(program, {"--version"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, std::string(name) + " " + TOOLKIT_VERSION + "\n");
    EXPECT_EQ(r.err, "");
  }
  EXPECT_TRUE(folderEmpty());
}

// The messages themselves are the parser's, proven in its own tests.
TEST_F(ProgramRun, UsageErrorsExitTwoBeforeAnythingIsCreated) {
  const std::vector<std::pair<std::string, Words>> cases = {
      {PROBE_DEPLOYER_BIN, {"--tag_resource", "a"}},
      {PROBE_DEPLOYER_BIN, {"--test_config", "t.json", "--bogus"}},
      {PROBE_DEPLOYER_BIN, {"--sweep", "--o", "6h"}},
      {PROBE_DEPLOYER_BIN, {"--sweep", "--older_than", "106752d"}},
      {PROBE_DEPLOYER_BIN, {"--revert", "--vpc_id", "foo"}},
      {PROBE_DEPLOYER_BIN, {"--revert", "--vpc_id", ""}},
      {COLLECT_RESULTS_BIN, {"--test_config", "t.json"}},
      {PROBE_DEPLOYER_BIN, {"--test_config", "t.json", "--ttl", "1w"}},
      {SUBNET_SCOUT_BIN, {"--vpc", "v", "--assume_role", "r", "--region", "x", "nat"}},
      {SUBNET_SCOUT_BIN,
       {"--vpc", "v", "--assume_role", "r", "--region", "x", "spoke", "--controller_ip", "127.0.0.1", "--spoke_gw_name",
        "gw"}},
  };
  for (const auto& [program, args] : cases) {
    auto r = run(program, args);
    std::string shown = fs::path(program).filename().string() + " " + testing::PrintToString(args);
    EXPECT_EQ(r.status, 2) << shown << "\n" << r.err;
    EXPECT_EQ(r.out, "") << shown;
    auto errLines = lines(r.err);
    ASSERT_GE(errLines.size(), 2u) << shown;
    EXPECT_EQ(errLines.front().rfind("usage: ", 0), 0u) << r.err;
    EXPECT_NE(errLines.back().find(": error: "), std::string::npos) << r.err;
    EXPECT_TRUE(folderEmpty()) << shown;
  }
}

TEST_F(ProgramRun, OnlyOddTagListsEndWithStatusOneAfterTheBanner) {
  for (const std::string tags : {"Owner", "Owner,qa,x", "Owner,qa,"}) {
    auto r = run(PROBE_DEPLOYER_BIN, {"--test_config", "t.json", "--tag_resource", tags, "--backup_folder", "bk"});
    EXPECT_EQ(r.status, 1) << tags << "\n" << r.err;
    EXPECT_EQ(r.err, "\n" + kRule + "\n\nprobe_deployer --test_config t.json --tag_resource " + tags +
                         " --backup_folder bk\n\n" + kRule + "\n\n**Error** incomplete tag_resource pair\n");
  }

  // Each run appended its banner to the same log file, every line with the time in front.
  std::string log = testbed::readFile(logFile());
  const std::regex timed(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} (.*))");
  std::vector<std::string> messages;
  for (const auto& line : lines(log)) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, timed)) << line;
    messages.push_back(m[1]);
  }
  ASSERT_EQ(messages.size(), 3u * 8u) << log;
  EXPECT_EQ(messages[8 + 3], "probe_deployer --test_config t.json --tag_resource Owner,qa,x --backup_folder bk");
  EXPECT_EQ(messages[23], "**Error** incomplete tag_resource pair");

  // An even list passes the check.
  auto r = run(PROBE_DEPLOYER_BIN, {"--test_config", "t.json", "--tag_resource", "Owner,qa", "--backup_folder", "bk"});
  EXPECT_EQ(r.err.find("incomplete tag_resource pair"), std::string::npos) << r.err;
}

TEST_F(ProgramRun, PasswordNeverReachesConsoleOrLogFile) {
  // A repeated option keeps its last value, so one run shows every spelling.
  auto r = run(SUBNET_SCOUT_BIN, {"--vpc",
                                  "vpc-0a1",
                                  "--assume_role",
                                  "arn:aws:iam::1:role/r",
                                  "--region",
                                  "us-east-1",
                                  "--backup_folder",
                                  "bk",
                                  "spoke",
                                  "--controller_ip",
                                  "127.0.0.1",
                                  "--controller_user",
                                  "admin",
                                  "--controller_password",
                                  "hunter2",
                                  "--controller_password=hunter2",
                                  "--spoke_gw_name",
                                  "gw",
                                  "--controller_pass",
                                  "hunter2"});
  const std::string banner =
      "subnet_scout --vpc vpc-0a1 --assume_role arn:aws:iam::1:role/r --region us-east-1 --backup_folder bk "
      "spoke --controller_ip 127.0.0.1 --controller_user admin --controller_password **** "
      "--controller_password=**** --spoke_gw_name gw --controller_pass ****";
  EXPECT_NE(r.err.find("\n" + banner + "\n"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("hunter2"), std::string::npos) << r.err;
  EXPECT_EQ(r.out.find("hunter2"), std::string::npos) << r.out;
  std::string log = testbed::readFile(logFile());
  EXPECT_NE(log.find(" " + banner + "\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("hunter2"), std::string::npos) << log;
}

}  // namespace
