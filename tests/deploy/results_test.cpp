// Result collection and the tag rule, against an in-memory bucket; and the worker edges.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tarnwick_testlibs/aws/clock.h"
#include "tarnwick_testlibs/bin/probe_deployer.h"
#include "tarnwick_testlibs/bin/probe_deployer/detail/workers.h"
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
  for (const Case& c : std::vector<Case>{{"PASS", 0}, {"PASS\n", 0}, {" \tPASS \r\n", 0}, {"pass", 1}, {"FAIL", 1}, {"", 1}}) {
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

TEST(WorkerEdge, ReportsTheEscapedFailureWithTheSubnetAndSwallowsIt) {
  testing::internal::CaptureStderr();
  pd::detail::runAtThreadEdge("subnet-7", [] { throw tarnwick::aws::ClientError("waiter gave up"); });
  pd::detail::runAtThreadEdge("subnet-8", [] { throw testbed::serviceError("UnauthorizedOperation", "no"); });
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("subnet-7"), std::string::npos);
  EXPECT_NE(err.find("tarnwick::aws::ClientError: waiter gave up"), std::string::npos);
  EXPECT_NE(err.find("subnet-8"), std::string::npos);
  EXPECT_NE(err.find("tarnwick::aws::ServiceError"), std::string::npos);
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
