// Where records go once initLogLocation has applied the configuration: console, log file and
// failure latch. Cases that log run in a child process, so that each sees a fresh exit status.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

#include "tarnwick_testlibs/bin/core/AppExitStatus.h"
#include "tarnwick_testlibs/bin/core/chronicle.h"
#include "tarnwick_testlibs/bin/core/logging.h"
#include "tarnwick_testlibs/bin/lib/runkit.h"

namespace lg = tarnwick::logging;
using tarnwick::Common;
namespace fs = std::filesystem;

namespace {

const std::string kTime = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3})";

fs::path g_scratch;  // removed by the parent process only, once all tests ran

class ScratchCleanup : public testing::Environment {
 public:
  void TearDown() override {
    if (!g_scratch.empty()) fs::remove_all(g_scratch);
  }
};
const auto* const kCleanup = testing::AddGlobalTestEnvironment(new ScratchCleanup);

// The run folder, set up once per process with an earlier run's log file already in place.
const fs::path& runFolder() {
  static const fs::path folder = [] {
    std::string tmpl = (fs::temp_directory_path() / "core_wiring_XXXXXX").string();
    g_scratch = mkdtemp(tmpl.data());
    fs::path dir = g_scratch / "nested" / "run";
    fs::create_directories(dir / "log");
    std::ofstream(dir / "log" / "tarnwick_testlibs.log") << "earlier run\n";
    Common::initLogLocation(dir.string());
    return dir;
  }();
  return folder;
}

fs::path logFile() { return runFolder() / "log" / "tarnwick_testlibs.log"; }

std::vector<std::string> fileLines() {
  std::ifstream in(logFile());
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

void exitWithStatus() { std::exit(tarnwick::AppExitStatus().getStatus()); }

class Wiring : public testing::Test {
 protected:
  void SetUp() override { before_ = fileLines().size(); }

  // Lines the log file gained since the test started.
  std::vector<std::string> newFileLines() const {
    auto all = fileLines();
    return {all.begin() + static_cast<long>(before_), all.end()};
  }

 private:
  size_t before_ = 0;
};

struct Route {
  std::string logger;
  int level;
  bool console;
  bool file;
  int status;
};

class RecordRouting : public Wiring, public testing::WithParamInterface<Route> {};

TEST_P(RecordRouting, ReachesExactlyTheConfiguredDestinations) {
  const Route& r = GetParam();
  SCOPED_TRACE(r.logger + " at " + std::to_string(r.level));
  const std::string message = fmt::format("message at {}", r.level);
  EXPECT_EXIT(
      {
        lg::getLogger(r.logger).log(r.level, message);
        exitWithStatus();
      },
      testing::ExitedWithCode(r.status), testing::Eq(r.console ? message + "\n" : ""));
  const auto lines = newFileLines();
  if (r.file) {
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(kTime + " " + message))) << lines[0];
  } else {
    EXPECT_TRUE(lines.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(Table, RecordRouting,
                         testing::Values(Route{"tarnwick_testlibs.bin.lib.s3", lg::DEBUG, false, false, 0},
                                         Route{"tarnwick_testlibs.bin.lib.s3", lg::DETAIL, true, true, 0},
                                         Route{"tarnwick_testlibs", lg::INFO, true, true, 0},
                                         Route{"tarnwick_testlibs.bin.lib.nat", lg::WARNING, true, true, 0},
                                         Route{"tarnwick_testlibs.bin.lib.s3", lg::ERROR, true, true, 40},
                                         Route{"tarnwick_testlibs", lg::CRITICAL, true, true, 40},
                                         Route{"elsewhere.module", lg::ERROR, false, false, 0},
                                         Route{"elsewhere.module", lg::CRITICAL, true, false, 0},
                                         Route{"", lg::CRITICAL, true, false, 0},
                                         Route{"tarnwick_testlibsX", lg::ERROR, false, false, 0}));

TEST_F(Wiring, DetailOperationsUseTheRegisteredLevel) {
  EXPECT_EQ(lg::levelName(lg::DETAIL), "DETAIL");
  EXPECT_EXIT(
      {
        lg::getLogger("tarnwick_testlibs.bin.lib.spoke").detail("via member");
        lg::getLogger("tarnwick_testlibs").call("detail", "via name");
        lg::detail("on the root, below its level");
        exitWithStatus();
      },
      testing::ExitedWithCode(0), testing::Eq("via member\nvia name\n"));
  EXPECT_EQ(newFileLines().size(), 2u);
}

TEST_F(Wiring, CommandBannerIsSevenLines) {
  const std::string rule(45, '#');
  EXPECT_EXIT(
      {
        Common::logCommandOptions("probe_deployer --vpc_id vpc-1");
        exitWithStatus();
      },
      testing::ExitedWithCode(0), testing::Eq("\n" + rule + "\n\nprobe_deployer --vpc_id vpc-1\n\n" + rule + "\n\n"));
  const auto lines = newFileLines();
  ASSERT_EQ(lines.size(), 7u);
  const std::vector<std::string> texts{"", rule, "", "probe_deployer --vpc_id vpc-1", "", rule, ""};
  for (size_t i = 0; i < 7; ++i) {
    EXPECT_TRUE(std::regex_match(lines[i], std::regex(kTime + " " + texts[i]))) << lines[i];
  }
}

TEST_F(Wiring, ErrorsFromManyThreadsLatchOnceAndKeepLinesWhole) {
  constexpr int kThreads = 6, kErrors = 40;
  EXPECT_EXIT(
      {
        std::vector<std::jthread> workers;
        for (int t = 0; t < kThreads; ++t) {
          workers.emplace_back([t] {
            auto& log = lg::getLogger(fmt::format("tarnwick_testlibs.worker{}", t));
            for (int i = 0; i < kErrors; ++i) log.error(fmt::format("  **Error** {} {}", t, i));
          });
        }
        workers.clear();
        exitWithStatus();
      },
      testing::ExitedWithCode(tarnwick::kExitLoggedError), testing::_);
  const auto lines = newFileLines();
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kErrors));
  const std::regex whole(kTime + R"(   \*\*Error\*\* \d \d+)");
  for (const auto& line : lines) EXPECT_TRUE(std::regex_match(line, whole)) << line;
}

TEST_F(Wiring, EarlierLogFileIsAppendedTo) {
  const auto lines = fileLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), "earlier run");
}

TEST_F(Wiring, SecondInitLogLocationFailsAndChangesNothing) {
  const auto configBefore = tarnwick::chronicle::logging_config().dump();
  const auto other = runFolder().parent_path() / "other";
  try {
    Common::initLogLocation(other.string());
    FAIL() << "second initLogLocation succeeded";
  } catch (const tarnwick::LevelNameClash& e) {
    EXPECT_STREQ(e.what(), "DETAIL already defined in logging module");
  }
  EXPECT_FALSE(fs::exists(other));
  EXPECT_EQ(tarnwick::chronicle::logging_config().dump(), configBefore);
}

TEST_F(Wiring, DocumentKeepsItsLayoutWithTheThreeValuesChanged) {
  const auto& config = tarnwick::chronicle::logging_config();
  std::vector<std::string> keys;
  for (const auto& [k, v] : config.items()) keys.push_back(k);
  EXPECT_THAT(keys, testing::ElementsAre("version", "formatters", "handlers", "root", "loggers"));
  const auto& handlers = config.at("handlers");
  EXPECT_EQ(handlers.at("logConsoleHandler").at("filename"), logFile().string());
  EXPECT_EQ(handlers.at("logConsoleHandler").at("level"), "DETAIL");
  EXPECT_EQ(handlers.at("consoleHandler").at("level"), "DETAIL");
  EXPECT_EQ(handlers.at("failureLatch").at("class"), "tarnwick_testlibs.bin.core.FailureLatch.FailureLatch");
  EXPECT_EQ(config.at("loggers").at("tarnwick_testlibs").at("handlers"),
            nlohmann::ordered_json({"consoleHandler", "logConsoleHandler", "failureLatch"}));
}

}  // namespace
