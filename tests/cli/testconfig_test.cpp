// The test configuration file: byte-exact layout, reading errors, atomic replacement, logging.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <stdexcept>

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
                        Case{"", "is not valid JSON"}, Case{"[\n {\"a\": 1e999}]", "holds a number too large to read (1e999) at line 2, column 8"},
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
  EXPECT_EQ(capture.messages(tarnwick::logging::INFO), (std::vector<std::string>{"test.config:", text, "- Saved " + path}));
  EXPECT_EQ(testbed::readFile(path), kSpokeFile);
}

}  // namespace
