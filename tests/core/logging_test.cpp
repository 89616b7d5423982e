// The logging facility, level registration, the failure latch and the run settings, without the
// process-wide configuration applied.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "tarnwick_testlibs/bin/core/AppExitStatus.h"
#include "tarnwick_testlibs/bin/core/FailureLatch.h"
#include "tarnwick_testlibs/bin/core/Globals.h"
#include "tarnwick_testlibs/bin/core/logging.h"
#include "tarnwick_testlibs/bin/lib/runkit.h"

namespace lg = tarnwick::logging;
using tarnwick::Common;
using testing::ElementsAre;

namespace {

// Remembers "logger:LEVEL:message" of every record it is handed.
class Collector : public lg::Handler {
 public:
  using lg::Handler::Handler;
  std::vector<std::string> seen;

 protected:
  void emit(const lg::Record& r) override {
    seen.push_back(r.name + ":" + lg::levelName(r.level) + ":" + r.message);
  }
};

std::vector<std::string> readLines(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

struct TempDir {
  std::filesystem::path path;
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "core_test_XXXXXX").string();
    path = mkdtemp(tmpl.data());
  }
  ~TempDir() { std::filesystem::remove_all(path); }
};

// Each test works in its own branch of the tree, so loggers left behind by others do not matter.
class LoggerTree : public testing::Test {
 protected:
  void TearDown() override { lg::getLogger().clearHandlers(); }

  std::shared_ptr<Collector> attach(const std::string& name, int level = lg::NOTSET) {
    auto c = std::make_shared<Collector>(level);
    lg::getLogger(name).addHandler(c);
    return c;
  }
};

TEST_F(LoggerTree, RecordReachesEveryAncestorHandlerOnce) {
  auto root = attach("");
  auto top = attach("prop");
  auto mid = attach("prop.mid");
  lg::getLogger("prop").setLevel(lg::DEBUG);
  // "prop.mid.leaf.x" has an ancestor "prop.mid.leaf" that was never created.
  lg::getLogger("prop.mid.leaf.x").info("hello");
  EXPECT_THAT(mid->seen, ElementsAre("prop.mid.leaf.x:INFO:hello"));
  EXPECT_THAT(top->seen, ElementsAre("prop.mid.leaf.x:INFO:hello"));
  EXPECT_THAT(root->seen, ElementsAre("prop.mid.leaf.x:INFO:hello"));
  EXPECT_EQ(&lg::getLogger("prop.mid"), &lg::getLogger("prop.mid"));
}

TEST_F(LoggerTree, PropagationStopsAfterTheFirstLoggerThatDoesNotPropagate) {
  auto root = attach("");
  auto top = attach("stop");
  auto mid = attach("stop.mid");
  lg::getLogger("stop").setLevel(lg::DEBUG);
  lg::getLogger("stop.mid").setPropagate(false);
  lg::getLogger("stop.mid.leaf").warning("w");
  lg::getLogger("stop").warning("direct");
  EXPECT_THAT(mid->seen, ElementsAre("stop.mid.leaf:WARNING:w"));
  EXPECT_THAT(top->seen, ElementsAre("stop:WARNING:direct"));
  EXPECT_THAT(root->seen, ElementsAre("stop:WARNING:direct"));
}

TEST_F(LoggerTree, EffectiveLevelComesFromTheNearestAncestorWithALevel) {
  auto c = attach("lvl");
  lg::getLogger("lvl").setLevel(lg::ERROR);
  auto& leaf = lg::getLogger("lvl.a.b");
  EXPECT_EQ(leaf.getEffectiveLevel(), lg::ERROR);
  leaf.warning("dropped");
  lg::getLogger("lvl.a").setLevel(lg::DEBUG);
  EXPECT_EQ(leaf.getEffectiveLevel(), lg::DEBUG);
  leaf.debug("kept");
  lg::getLogger("lvl.a").setLevel(std::nullopt);
  leaf.info("dropped again");
  EXPECT_THAT(c->seen, ElementsAre("lvl.a.b:DEBUG:kept"));
  EXPECT_EQ(lg::getLogger("nolevel.anywhere").getEffectiveLevel(), lg::WARNING);  // the root's
}

TEST_F(LoggerTree, EachHandlerFiltersByItsOwnLevel) {
  auto all = attach("hl", lg::NOTSET);
  auto errors = attach("hl", lg::ERROR);
  lg::getLogger("hl").setLevel(lg::DEBUG);
  auto& log = lg::getLogger("hl");
  log.debug("d");
  log.error("e");
  log.critical("c");
  EXPECT_THAT(all->seen, ElementsAre("hl:DEBUG:d", "hl:ERROR:e", "hl:CRITICAL:c"));
  EXPECT_THAT(errors->seen, ElementsAre("hl:ERROR:e", "hl:CRITICAL:c"));
}

TEST_F(LoggerTree, WarningsStillReachStandardErrorWithoutAnyHandler) {
  testing::internal::CaptureStderr();
  lg::getLogger("unwired.x").info("quiet");
  lg::getLogger("unwired.x").warning("loud");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "loud\n");
}

lg::Record recordAt(const std::string& name, int level, const std::string& message) {
  return {name, level, message, std::chrono::system_clock::now()};
}

TEST(Formatter, SubstitutesPlaceholdersOnceAndLeavesOthersAlone) {
  const lg::Formatter f("[%(name)s] %(levelname)s %(message)s %(process)d");
  EXPECT_EQ(f.format(recordAt("a.b", lg::WARNING, "says %(name)s")),
            "[a.b] WARNING says %(name)s %(process)d");
  EXPECT_EQ(lg::Formatter().format(recordAt("x", 12, "bare")), "bare");
  EXPECT_EQ(lg::Formatter("%(levelname)s").format(recordAt("x", 12, "")), "Level 12");
  EXPECT_EQ(lg::Formatter("100% %(message)s").format(recordAt("x", 12, "m")), "100% m");
}

TEST(Formatter, AsctimeIsLocalTimeWithCommaAndMilliseconds) {
  setenv("TZ", "UTC", 1);
  tzset();
  // 2024-05-01 13:45:10 UTC
  const auto base = std::chrono::system_clock::from_time_t(1714571110);
  EXPECT_EQ(lg::formatTime(base + std::chrono::milliseconds(123)), "2024-05-01 13:45:10,123");
  EXPECT_EQ(lg::formatTime(base + std::chrono::milliseconds(5)), "2024-05-01 13:45:10,005");
  setenv("TZ", "UTC-2", 1);
  tzset();
  EXPECT_EQ(lg::formatTime(base), "2024-05-01 15:45:10,000");
  unsetenv("TZ");
  tzset();
  const lg::Record r{"n", lg::INFO, "m", std::chrono::system_clock::now()};
  EXPECT_TRUE(std::regex_match(lg::Formatter("%(asctime)s %(message)s").format(r),
                               std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} m)")));
}

TEST(FileHandler, AppendsToAnExistingFileAndFailsLoudlyWhenItCannotOpen) {
  TempDir dir;
  const auto file = dir.path / "out.log";
  std::ofstream(file) << "earlier\n";
  {
    lg::FileHandler h(file.string());
    h.handle(recordAt("n", lg::INFO, "later"));
  }
  EXPECT_THAT(readLines(file), ElementsAre("earlier", "later"));
  EXPECT_THROW(lg::FileHandler((dir.path / "missing" / "x.log").string()), std::runtime_error);
}

TEST(FileHandler, LinesFromManyThreadsNeverInterleave) {
  TempDir dir;
  const auto file = dir.path / "threads.log";
  auto handler = std::make_shared<lg::FileHandler>(file.string());
  lg::getLogger("threads").addHandler(handler);
  lg::getLogger("threads").setLevel(lg::INFO);
  lg::getLogger("threads").setPropagate(false);
  constexpr int kThreads = 8, kLines = 200;
  {
    std::vector<std::jthread> workers;
    for (int t = 0; t < kThreads; ++t) {
      workers.emplace_back([t] {
        const std::string payload(300, static_cast<char>('a' + t));
        for (int i = 0; i < kLines; ++i) lg::getLogger("threads.w").info(payload);
      });
    }
  }
  const auto lines = readLines(file);
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
  for (const auto& line : lines) {
    ASSERT_EQ(line.size(), 300u);
    ASSERT_EQ(line.find_first_not_of(line[0]), std::string::npos) << line;
  }
}

struct Clash {
  std::string level;
  std::optional<std::string> method;
  std::string message;
};

void PrintTo(const Clash& c, std::ostream* os) { *os << c.level << "/" << c.method.value_or(""); }

class LevelClash : public testing::TestWithParam<Clash> {};

TEST_P(LevelClash, FailsWithItsMessageAndRegistersNothing) {
  const auto& c = GetParam();
  try {
    Common::addLoggingLevel(c.level, 7, c.method);
    FAIL() << "no error for " << c.level;
  } catch (const tarnwick::AttributeError& e) {
    EXPECT_STREQ(e.what(), c.message.c_str());
  }
  EXPECT_EQ(lg::levelName(7), "Level 7");
}

INSTANTIATE_TEST_SUITE_P(
    Names, LevelClash,
    testing::Values(Clash{"INFO", std::nullopt, "INFO already defined in logging module"},
                    Clash{"CRITICAL", "shout", "CRITICAL already defined in logging module"},
                    Clash{"LOUDER", "warning", "warning already defined in logging module"},
                    Clash{"LOUDEST", "getLogger", "getLogger already defined in logging module"},
                    Clash{"QUIETER", "setPropagate", "setPropagate already defined in logger class"},
                    Clash{"QUIETEST", "handlers", "handlers already defined in logger class"}),
    [](const testing::TestParamInfo<Clash>& info) { return info.param.level; });

TEST(AddLoggingLevel, InstallsNameConstantAndOperationsUnderTheLowerCaseName) {
  auto c = std::make_shared<Collector>();
  lg::getLogger("notice").addHandler(c);
  lg::getLogger("notice").setLevel(lg::DEBUG);
  Common::addLoggingLevel("NOTICE", 25, "");
  EXPECT_EQ(lg::levelNumber("NOTICE"), 25);
  EXPECT_EQ(lg::levelName(25), "NOTICE");
  lg::getLogger("notice.sub").call("notice", "n1");
  lg::getLogger("notice").setLevel(lg::ERROR);
  lg::getLogger("notice.sub").call("notice", "disabled, so dropped");
  EXPECT_THAT(c->seen, ElementsAre("notice.sub:NOTICE:n1"));
  EXPECT_THROW(lg::getLogger("notice").call("nosuch", "x"), std::invalid_argument);

  auto root = std::make_shared<Collector>();
  lg::getLogger().addHandler(root);
  lg::getLogger().setLevel(lg::DEBUG);
  lg::call("notice", "on the root");
  lg::getLogger().setLevel(lg::WARNING);
  lg::getLogger().clearHandlers();
  EXPECT_THAT(root->seen, ElementsAre(":NOTICE:on the root"));

  // Both the level name and the operation name are now taken.
  EXPECT_THROW(Common::addLoggingLevel("NOTICE", 26), tarnwick::AttributeError);
  EXPECT_THROW(Common::addLoggingLevel("OTHER", 26, "notice"), tarnwick::AttributeError);
}

TEST(RemovePrefix, StripsOnlyALeadingPrefix) {
  const std::vector<std::array<std::string, 3>> cases = {
      {"/data/backup/a.txt", "/data/backup", "/a.txt"},
      {"/data/backup/a.txt", "/data/backup/", "a.txt"},
      {"/other/a.txt", "/data/backup", "/other/a.txt"},
      {"x/data/backup", "/data/backup", "x/data/backup"},
      {"/data/backup/a.txt", "", "/data/backup/a.txt"},
      {"/data", "/data/backup", "/data"},
      {"/data/backup", "/data/backup", ""},
  };
  for (const auto& [text, prefix, expected] : cases) {
    EXPECT_EQ(Common::remove_prefix(text, prefix), expected) << text << " - " << prefix;
  }
}

// The exit status is process-wide and one-way, so each case runs in a child process.
void exitWithStatus() { std::exit(tarnwick::AppExitStatus().getStatus()); }

TEST(FailureLatchDeathTest, MarksTheStatusOnlyForRecordsThatPassItsLevel) {
  EXPECT_FALSE(tarnwick::Globals::dry_run);
  EXPECT_EXIT(
      {
        tarnwick::FailureLatch latch(lg::ERROR);
        for (int level : {lg::DEBUG, lg::DETAIL, lg::INFO, lg::WARNING}) {
          latch.handle(recordAt("tarnwick_testlibs", level, "fine"));
        }
        exitWithStatus();
      },
      testing::ExitedWithCode(0), "");
  EXPECT_EXIT(
      {
        tarnwick::FailureLatch latch(lg::ERROR);
        latch.handle(recordAt("anything", lg::CRITICAL, "bad"));
        tarnwick::AppExitStatus().setStatus(0);  // a later success does not clear the mark
        exitWithStatus();
      },
      testing::ExitedWithCode(tarnwick::kExitLoggedError), "");
}

TEST(InitLogLocationDeathTest, AFileInTheWayOfTheLogFolderThrows) {
  TempDir dir;
  std::ofstream(dir.path / "blocker") << "x";
  EXPECT_EXIT(
      {
        try {
          Common::initLogLocation((dir.path / "blocker").string());
        } catch (const std::exception&) {
          std::exit(3);
        }
        std::exit(0);
      },
      testing::ExitedWithCode(3), "");
}

}  // namespace
