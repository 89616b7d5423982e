// Result collection and the tag rule, against an in-memory bucket and, through collect_results,
// the emulator; and the worker edges.
#include <filesystem>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <pugixml.hpp>

#include "tarnwick_testlibs/aws/clock.h"
#include "tarnwick_testlibs/bin/probe_deployer.h"
#include "tarnwick_testlibs/bin/probe_deployer/detail/workers.h"
#include "testbed/emulator.h"
#include "testbed/fakes.h"
#include "testbed/log_capture.h"
#include "testbed/process.h"

namespace pd = tarnwick::probe_deployer;
using tarnwick::aws::Doc;

namespace {

// Name only ("gw-a-") and tag only ("-nightly") are shown by the result collection below.
TEST(DeduceTag, JoinsGatewayNameOrNatIdAndTag) {
  const Doc spoke{{"gw_name", "gw-a"}}, nat{{"nat_gw_id", "nat-1"}};
  EXPECT_EQ(pd::deduceTag("nightly", &spoke), "gw-a-nightly");
  EXPECT_EQ(pd::deduceTag("nightly", &nat), "nat-1-nightly");
}

class ResultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    s3_.createBucket("bkt");
    args_.s3_bucket = "bkt";
  }
  void writeConfig(const std::vector<std::string>& gateways) {
    Doc entries = Doc::array();
    for (const auto& gw : gateways) entries.push_back({{"gw_name", gw}, {"private_subnet_id", "subnet-" + gw}});
    args_.test_config = dir_.write("subnet.config", entries.dump());
  }
  void putResult(const std::string& tag, const std::string& verdict) {
    s3_.put("bkt", "log-" + tag + ".txt", "log of " + tag);
    s3_.put("bkt", "result-" + tag + ".txt", verdict);
  }

  // Runs collect_results against the emulator, after copying the fake bucket's objects there.
  testbed::RunResult collectResults(const std::string& bucket = "bkt") {
    testbed::moto().reset();
    std::string upload = "s3.create_bucket(Bucket='bkt')\n";
    for (const auto& key : s3_.keys("bkt")) {
      std::string hex;
      for (const unsigned char c : s3_.get("bkt", key)) hex += fmt::format("{:02x}", c);
      upload += fmt::format("s3.put_object(Bucket='bkt', Key='{}', Body=bytes.fromhex('{}'))\n", key, hex);
    }
    testbed::boto3(upload);
    testbed::RunOptions options{testbed::motoEnv(), "", dir_.str()};
    return testbed::runProgram(TWK_COLLECT_RESULTS,
                               {"--test_config", *args_.test_config, "--s3_bucket", bucket, "--junit", "junit.xml",
                                "--summary_json", "summary.json"},
                               options);
  }

  testbed::TempDir dir_;
  testbed::FakeS3 s3_;
  pd::Options args_;
  testbed::LogCapture logs_;
};

TEST_F(ResultsTest, OnlyAMissingResultIsNotReportedAndOtherServiceErrorsAreThrown) {
  s3_.put("bkt", "result-a.txt", "PASS");  // its log was never uploaded
  s3_.put("bkt", "log-b.txt", "started");
  EXPECT_EQ(pd::collectTestResult(s3_, "bkt", "subnet-a", "a").verdict, pd::Verdict::kPassed);
  const pd::TestResult unreported = pd::collectTestResult(s3_, "bkt", "subnet-b", "b");
  EXPECT_EQ(unreported.verdict, pd::Verdict::kNotReported);
  EXPECT_EQ(unreported.log, "started");
  EXPECT_THROW(pd::collectTestResult(s3_, "gone", "subnet-a", "a"), tarnwick::aws::ServiceError);
  args_.s3_bucket = "gone";
  EXPECT_EQ(pd::getS3TestResults(s3_, args_), 1);
}

TEST_F(ResultsTest, OnlyTheExactWordPassAroundWhiteSpacePasses) {
  struct Case {
    std::string verdict;
    int expected;
  };
  for (const Case& c :
       std::vector<Case>{{"PASS", 0}, {"PASS\n", 0}, {" \tPASS \r\n", 0}, {"pass", 1}, {"FAIL", 1}, {"", 1}}) {
    SCOPED_TRACE("verdict '" + c.verdict + "'");
    putResult("-", c.verdict);
    EXPECT_EQ(pd::getS3TestResults(s3_, args_), c.expected);
  }
}

TEST_F(ResultsTest, ConfigurationModeLogsEachSubnetInOrderAndGoesOnAfterAMissingObject) {
  writeConfig({"gw-a", "gw-b", "gw-c"});
  putResult("gw-a-", "PASS\n");
  s3_.put("bkt", "log-gw-b-.txt", "log of gw-b-");  // its verdict was never uploaded
  putResult("gw-c-", "PASS");
  EXPECT_EQ(pd::getS3TestResults(s3_, args_), 1);

  const auto m = logs_.messages();
  ASSERT_EQ(m.size(), 9u);
  EXPECT_EQ(m[0], "- Test ping and traceroute in subnet-gw-a");
  EXPECT_EQ(m[1], "log of gw-a-");
  EXPECT_EQ(m[2], "PASS\n");
  EXPECT_EQ(m[3], "- Test ping and traceroute in subnet-gw-b");
  EXPECT_EQ(m[4], "log of gw-b-");
  EXPECT_NE(m[5].find("404"), std::string::npos) << m[5];
  EXPECT_EQ(m[6], "- Test ping and traceroute in subnet-gw-c");
  EXPECT_EQ(logs_.count(tarnwick::logging::ERROR), 0);
}

TEST_F(ResultsTest, SingleModeNamesThePrivateSubnetOptionAndATagWithoutEntry) {
  args_.private_subnet_id = "subnet-9";
  putResult("-nightly", "PASS");
  EXPECT_EQ(pd::getS3TestResults(s3_, args_, "nightly"), 0);
  EXPECT_TRUE(logs_.contains("- Test ping and traceroute in subnet-9"));
  EXPECT_EQ(s3_.params("download_file", 0)["Key"], "log--nightly.txt");
  // Each download went to a private folder that is gone again.
  const std::string local = s3_.params("download_file", 0)["Filename"];
  EXPECT_NE(local, "/tmp/log.txt");
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(local).parent_path()));
}

TEST_F(ResultsTest, CollectResultsShowsEachEntryToACiServerWhateverItsLogHolds) {
  writeConfig({"gw-a", "gw-b", "gw-c"});
  putResult("gw-a-", "PASS\n");
  s3_.put("bkt", "log-gw-b-.txt", "ok\x01\x1b[0m ]]></failure><x>&\xff\xc3 end\n");
  s3_.put("bkt", "result-gw-b-.txt", "FAIL\n");
  s3_.put("bkt", "log-gw-c-.txt", "started");
  auto r = collectResults();
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("- Collected 3 entries: 1 passed, 1 failed, 1 not reported"), std::string::npos) << r.err;

  pugi::xml_document xml;
  ASSERT_TRUE(xml.load_file((dir_ / "junit.xml").c_str())) << testbed::readFile(dir_ / "junit.xml");
  const pugi::xml_node suite = xml.child("testsuites").child("testsuite");
  for (const pugi::xml_node counted : {xml.child("testsuites"), suite})
    EXPECT_EQ(fmt::format("{} {} {}", counted.attribute("tests").value(), counted.attribute("failures").value(),
                          counted.attribute("errors").value()),
              "3 1 1");
  std::vector<std::string> cases;
  for (const pugi::xml_node c : suite.children("testcase"))
    cases.push_back(
        fmt::format("{} {} {}", c.attribute("name").value(), c.attribute("classname").value(), c.first_child().name()));
  EXPECT_EQ(cases,
            (std::vector<std::string>{"subnet-gw-a gw-a ", "subnet-gw-b gw-b failure", "subnet-gw-c gw-c error"}));
  const pugi::xml_node failure = suite.find_child_by_attribute("testcase", "name", "subnet-gw-b").child("failure");
  EXPECT_STREQ(failure.attribute("message").value(), "FAIL");
  EXPECT_STREQ(failure.text().get(), "ok\uFFFD\uFFFD[0m ]]></failure><x>&\uFFFD\uFFFD end\n");
  const pugi::xml_node error = suite.find_child_by_attribute("testcase", "name", "subnet-gw-c").child("error");
  EXPECT_STREQ(error.attribute("message").value(), "no result reported");
  EXPECT_STREQ(error.text().get(), "started");
  const Doc summary = Doc::parse(testbed::readFile(dir_ / "summary.json"));
  EXPECT_EQ(summary["entries"][1], Doc({{"subnet_id", "subnet-gw-b"},
                                        {"gateway", "gw-b"},
                                        {"tag", "gw-b-"},
                                        {"verdict", "failed"},
                                        {"result", "FAIL\n"}}));
  EXPECT_EQ(summary["entries"][2]["verdict"], "not_reported");
  EXPECT_EQ(summary["exit_status"], 1);

  putResult("gw-b-", "PASS");
  putResult("gw-c-", " PASS ");
  EXPECT_EQ(collectResults().status, 0);
  EXPECT_NE(testbed::readFile(dir_ / "junit.xml").find("tests=\"3\" failures=\"0\" errors=\"0\""), std::string::npos);

  // A bucket that cannot be read says nothing about the test instances: the run itself fails.
  r = collectResults("gone");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("  **Error** cannot read the test results of subnet-gw-a"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("NoSuchBucket"), std::string::npos) << r.err;
  EXPECT_EQ(Doc::parse(testbed::readFile(dir_ / "summary.json"))["entries"], Doc::array());
}

TEST(WorkerEdge, ReportsTheEscapedFailureOnceWithTheSubnetAndSwallowsIt) {
  testbed::LogCapture logs;
  testing::internal::CaptureStderr();
  pd::detail::runAtThreadEdge("subnet-7", [] { throw tarnwick::aws::ClientError("waiter gave up"); });
  pd::detail::runAtThreadEdge("subnet-8", [] { throw testbed::serviceError("UnauthorizedOperation", "no"); });
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");  // the error record is the one report
  EXPECT_TRUE(logs.contains(tarnwick::logging::ERROR, "  **Error** worker for subnet-7 ended: waiter gave up"));
  EXPECT_TRUE(logs.contains(tarnwick::logging::ERROR,
                            "  **Error** worker for subnet-8 ended: An error occurred (UnauthorizedOperation)"));
}

class DeleteEc2Test : public ::testing::Test {
 protected:
  void SetUp() override {
    tarnwick::aws::setClock(std::make_shared<tarnwick::aws::ManualClock>());
    ec2_.always("DescribeInstances", [](const Doc&) {
      Doc inst{{"InstanceId", "i-1"},
               {"State", {{"Name", "terminated"}}},
               {"NetworkInterfaces", Doc::array({{{"Association", {{"PublicIp", "3.3.3.3"}}}}})}};
      return Doc{{"Reservations", Doc::array({{{"Instances", Doc::array({inst})}}})}};
    });
    ec2_.answer("DescribeAddresses", {{"Addresses", Doc::array({{{"AllocationId", "eipalloc-1"}}})}});
  }
  void TearDown() override { tarnwick::aws::setClock(nullptr); }

  testbed::FakeEc2 ec2_;
  testbed::FakeIam iam_;
  pd::Options args_;
  testbed::LogCapture logs_;
};

TEST_F(DeleteEc2Test, TerminatesWaitsAndThenReleasesTheAddress) {
  pd::deleteEc2(ec2_, iam_, "subnet-gw", args_);
  const auto ops = ec2_.operations();
  const auto at = [&](const std::string& op) { return std::find(ops.begin(), ops.end(), op) - ops.begin(); };
  EXPECT_LT(at("DescribeAddresses"), at("TerminateInstances"));
  EXPECT_LT(at("TerminateInstances"), at("ReleaseAddress"));
  EXPECT_EQ(ec2_.params("ReleaseAddress")["AllocationId"], "eipalloc-1");
  EXPECT_TRUE(logs_.contains("  terminate i-1 in subnet-gw"));
}

}  // namespace
