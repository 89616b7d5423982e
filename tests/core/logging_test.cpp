// The logging facility, level registration, the failure latch and the run settings, without the
// process-wide configuration applied.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <ctime>

#include "tarnwick_testlibs/bin/core/AppExitStatus.h"
#include "tarnwick_testlibs/bin/core/FailureLatch.h"
#include "tarnwick_testlibs/bin/core/Globals.h"
#include "tarnwick_testlibs/bin/core/logging.h"
#include "tarnwick_testlibs/bin/lib/runkit.h"
#include "testbed/process.h"

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
  void emit(const lg::Record& r) override { seen.push_back(r.name + ":" + lg::levelName(r.level) + ":" + r.message); }
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
  EXPECT_EQ(f.format(recordAt("a.b", lg::WARNING, "says %(name)s")), "[a.b] WARNING says %(name)s %(process)d");
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
}

// Appending and whole lines under many threads are shown through the configured handler.
TEST(FileHandler, FailsLoudlyWhenItCannotOpen) {
  testbed::TempDir dir;
  EXPECT_THROW(lg::FileHandler((dir / "missing/x.log").string()), std::runtime_error);
}

struct Clash {
  std::string level;
  std::optional<std::string> method;
  std::string message;
};

class LevelClash : public testing::TestWithParam<Clash> {};

TEST_P(LevelClash, FailsWithItsMessageAndRegistersNothing) {
  const auto& c = GetParam();
  try {
    Common::addLoggingLevel(c.level, 7, c.method);
    FAIL() << "no error for " << c.level;
  } catch (const tarnwick::LevelNameClash& e) {
    EXPECT_STREQ(e.what(), c.message.c_str());
  }
  EXPECT_EQ(lg::levelName(7), "Level 7");
}

INSTANTIATE_TEST_SUITE_P(Names, LevelClash,
                         testing::Values(Clash{"INFO", std::nullopt, "INFO already defined in logging module"},
                                         Clash{"CRITICAL", "shout", "CRITICAL already defined in logging module"},
                                         Clash{"LOUDER", "warning", "warning already defined in logging module"},
                                         Clash{"LOUDEST", "getLogger", "getLogger already defined in logging module"},
                                         Clash{"QUIETER", "setPropagate",
                                               "setPropagate already defined in logger class"},
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
  EXPECT_THROW(Common::addLoggingLevel("NOTICE", 26), tarnwick::LevelNameClash);
  EXPECT_THROW(Common::addLoggingLevel("OTHER", 26, "notice"), tarnwick::LevelNameClash);
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

// Which levels latch is shown by the configured routing table; here: the mark is one-way.
TEST(FailureLatchDeathTest, ALaterSuccessDoesNotClearTheMark) {
  EXPECT_FALSE(tarnwick::Globals::dry_run);
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
  testbed::TempDir dir;
  dir.write("blocker", "x");
  EXPECT_EXIT(
      {
        try {
          Common::initLogLocation((dir / "blocker").string());
        } catch (const std::exception&) {
          std::exit(3);
        }
        std::exit(0);
      },
      testing::ExitedWithCode(3), "");
}

}  // namespace
