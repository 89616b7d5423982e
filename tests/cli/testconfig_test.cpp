// The test configuration file: byte-exact layout, reading errors, atomic replacement, logging.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <iterator>
#include <optional>
#include <stdexcept>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "tarnwick_testlibs/bin/core/logging.h"
#include "tarnwick_testlibs/bin/lib/testconfig.h"
#include "testbed/log_capture.h"
#include "testbed/process.h"

namespace {

namespace fs = std::filesystem;
namespace tc = tarnwick::testconfig;
using Doc = nlohmann::ordered_json;

Doc spokeEntry() {
  return Doc::parse(R"({"gw_name": "gw-1", "gw_private_ip": "10.0.0.5", "gw_subnet_id": "subnet-pub",
      "gw_subnet_cidr": "10.0.0.0/24", "private_subnet_id": "subnet-priv", "private_subnet_cidr": "10.20.1.0/24",
      "private_subnet_gw_ip": "10.20.1.1"})");
}

const char* const kSpokeFile =
    "[\n"
    "  {\n"
    "    \"gw_name\": \"gw-1\",\n"
    "    \"gw_private_ip\": \"10.0.0.5\",\n"
    "    \"gw_subnet_id\": \"subnet-pub\",\n"
    "    \"gw_subnet_cidr\": \"10.0.0.0/24\",\n"
    "    \"private_subnet_id\": \"subnet-priv\",\n"
    "    \"private_subnet_cidr\": \"10.20.1.0/24\",\n"
    "    \"private_subnet_gw_ip\": \"10.20.1.1\"\n"
    "  }\n"
    "]\n";

std::vector<std::string> folderEntries(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class TestConfigFile : public ::testing::Test {
 protected:
  testbed::TempDir dir;
  std::string path = (dir / "subnet.config").string();
};

TEST_F(TestConfigFile, OutputIsPureAscii) {
  Doc e;
  e["gw_name"] = "caf\xC3\xA9 \xF0\x9F\x98\x80";  // U+00E9 and U+1F600, as UTF-8
  e["ctl"] = std::string("a\x01\tb\"\\\n", 7);
  EXPECT_EQ(tc::serialize(Doc::array({e})),
            "[\n"
            "  {\n"
            "    \"gw_name\": \"caf\\u00e9 \\ud83d\\ude00\",\n"
            "    \"ctl\": \"a\\u0001\\tb\\\"\\\\\\n\"\n"
            "  }\n"
            "]");
}

TEST_F(TestConfigFile, ReadRoundTripsAndKeepsOrder) {
  Doc doc = Doc::array({spokeEntry(), spokeEntry()});
  tc::writeAtomically(path, doc);
  Doc back = tc::read(path);
  EXPECT_EQ(back, doc);
  EXPECT_EQ(back[0].begin().key(), "gw_name");
  // Readers do not depend on the layout.
  testbed::writeFile(path, R"([{"gw_subnet_id":"s"}])");
  EXPECT_EQ(tc::read(path)[0]["gw_subnet_id"], "s");
}

TEST_F(TestConfigFile, ReadErrorsNameTheFile) {
  struct Case {
    std::optional<std::string> text;  // none: no file at all
    const char* fragment;
  };
  // Nested entries would be written back as deep as they came in.
  const std::string deep = "[{\"a\": " + std::string(100000, '[') + std::string(100000, ']') + "}]";
  for (const Case& c : {Case{std::nullopt, "cannot be opened"}, Case{"[{\"a\": ", "is not valid JSON"},
                        Case{"{\"a\": \"b\"}", "is not a JSON array"}, Case{"[\"x\"]", "not a JSON object"},
                        Case{"", "is not valid JSON"},
                        Case{"[\n {\"a\": 1e999}]", "holds a number too large to read (1e999) at line 2, column 8"},
                        Case{"[{\"a\": \"b\"}, {\"c\": null}]", "entry 2 has a member \"c\" that is not text"},
                        Case{deep, "entry 1 has a member \"a\" that is not text"}}) {
    fs::remove(path);
    if (c.text) testbed::writeFile(path, *c.text);
    try {
      tc::read(path);
      ADD_FAILURE() << "accepted " << c.text.value_or("a missing file").substr(0, 200);
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find(c.fragment), std::string::npos) << e.what();
    }
  }
}

TEST_F(TestConfigFile, ARunNeedsAnEntry) {
  testbed::writeFile(path, "[]");
  EXPECT_TRUE(tc::read(path).empty());
  try {
    tc::readEntries(path);
    ADD_FAILURE() << "accepted an empty configuration";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "test configuration " + path + " has no entry");
  }
}

TEST_F(TestConfigFile, ReplacementKeepsModeAndLeavesNoTemporaryFile) {
  testbed::writeFile(path, "old");
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  tc::writeAtomically(path, Doc::array());
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(folderEntries(dir.path()), std::vector<std::string>{"subnet.config"});

  mode_t old = ::umask(022);
  std::string fresh = (dir / "new.config").string();
  tc::writeAtomically(fresh, Doc::array());
  ::umask(old);
  ASSERT_EQ(::stat(fresh.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST_F(TestConfigFile, FailedWriteLeavesTargetAndFolderUntouched) {
  fs::create_directory(path);  // a folder in the way cannot be replaced by a file
  testbed::writeFile(fs::path(path) / "keep", "k");
  EXPECT_THROW(tc::writeAtomically(path, Doc::array()), std::runtime_error);
  EXPECT_EQ(testbed::readFile(fs::path(path) / "keep"), "k");
  EXPECT_EQ(folderEntries(dir.path()), std::vector<std::string>{"subnet.config"});

  std::string missing = (dir / "no" / "such" / "subnet.config").string();
  try {
    tc::writeAtomically(missing, Doc::array());
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(missing), std::string::npos) << e.what();
  }
}

// The byte-exact layout in insertion order; an empty list is "[]\n" (seen end to end).
TEST_F(TestConfigFile, LogAndWriteLogsHeaderTheExactTextAndWhereItWent) {
  testbed::LogCapture capture("tarnwick_testlibs");
  tc::logAndWrite("tarnwick_testlibs.bin.lib.spoke", Doc::array({spokeEntry()}), path);
  std::string text = kSpokeFile;
  text.pop_back();
  EXPECT_EQ(capture.messages(tarnwick::logging::INFO),
            (std::vector<std::string>{"test.config:", text, "- Saved " + path}));
  EXPECT_EQ(testbed::readFile(path), kSpokeFile);
}

// A deploy of the first entry; a NAT entry without a test subnet, which holds no gateway subnet;
// a later entry in the first one's gateway subnet; one without a name in the NAT entry's subnet.
TEST(EntryPlan, SkipsEntriesWithoutTestSubnetAndRepeatsOfAGatewaySubnet) {
  const Doc nat = Doc::parse(
      R"({"nat_gw_id": "nat-1", "gw_subnet_id": "subnet-x", "gw_private_ip": "10.0.9.9", "private_subnet_id": ""})");
  Doc entries = Doc::array({spokeEntry(), nat, spokeEntry(), spokeEntry()});
  entries[2]["gw_name"] = "gw-2";
  entries[3].erase("gw_name");
  entries[3]["gw_subnet_id"] = "subnet-x";
  const tc::Plan plan(entries, tc::Reader::kDeploy);
  struct Row {
    tc::Skip skip;
    std::size_t takenBy;
    const char* name;
    const char* label;
  };
  const std::vector<Row> rows = {{tc::Skip::kNone, 0, "gw-1", "entry 1 (gw-1)"},
                                 {tc::Skip::kNoTestSubnet, 0, "nat-1", "entry 2 (nat-1)"},
                                 {tc::Skip::kSubnetTaken, 0, "gw-2", "entry 3 (gw-2)"},
                                 {tc::Skip::kNone, 0, "entry 4", "entry 4"}};
  ASSERT_EQ(plan.entries().size(), rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const tc::EntryPlan& p = plan.entries()[i];
    EXPECT_EQ(p.skip, rows[i].skip) << i;
    if (p.skip == tc::Skip::kSubnetTaken) {
      EXPECT_EQ(p.taken_by, rows[i].takenBy) << i;
    }
    EXPECT_EQ(p.name(), rows[i].name);
    EXPECT_EQ(p.label(), rows[i].label);
    EXPECT_EQ(&plan.doc(p), &entries[i]);  // the worker extends the entry that is written back
  }
  EXPECT_EQ(plan.first().gw_subnet_id, "subnet-pub");
  EXPECT_EQ(plan.entries()[1].entry.gateway(), "nat-1");
  EXPECT_EQ(plan.entries()[2].entry.gateway(), "gw-2");
  EXPECT_EQ(tc::Entry(entries[0]).ec2SecondPrivateIp(), "");
  tc::setEc2Ip(entries[0], "54.0.0.1");
  tc::setEc2SecondPrivateIp(entries[0], "10.20.1.7");
  EXPECT_EQ(tc::Entry(entries[0]).ec2SecondPrivateIp(), "10.20.1.7");
  EXPECT_EQ(std::prev(entries[0].end()).key(), "ec2_2nd_private_ip");  // after the members read
}

// What a deploy needs of each entry and a revert does not; the first missing member fails, by name.
TEST(EntryPlan, AMissingOrNonTextMemberFailsBeforeTheRun) {
  struct Case {
    const char* entry;
    std::optional<std::string> deployMissing, revertMissing;  // none: accepted
  };
  const std::vector<Case> cases = {
      {R"({"gw_subnet_id": "s", "private_subnet_id": "p"})", "gw_private_ip", std::nullopt},
      {R"({"gw_subnet_id": "s", "private_subnet_id": ""})", "nat_gw_id", std::nullopt},
      {R"({"gw_subnet_id": "s", "gw_private_ip": "1.2.3.4"})", "private_subnet_id", "private_subnet_id"},
      {R"({"private_subnet_id": "", "nat_gw_id": "n"})", "gw_subnet_id", "gw_subnet_id"},
      {R"({"gw_subnet_id": 7, "private_subnet_id": "p"})", "gw_subnet_id", "gw_subnet_id"},
  };
  for (const Case& c : cases) {
    Doc entries = Doc::array({Doc::parse(c.entry)});
    for (const auto& [reader, missing] :
         {std::pair{tc::Reader::kDeploy, c.deployMissing}, std::pair{tc::Reader::kRevert, c.revertMissing}}) {
      try {
        const tc::Plan plan(entries, reader);
        EXPECT_FALSE(missing) << c.entry;
      } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), fmt::format("test configuration entry without \"{}\": {}",
                                                     missing.value_or("(none)"), entries[0].dump()));
      }
    }
  }
  Doc none = Doc::array();
  EXPECT_THROW(tc::Plan(none, tc::Reader::kRevert), std::runtime_error);
}

}  // namespace
