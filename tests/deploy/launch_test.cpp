// The launch of one test instance against recording fakes, with a manual clock so that retry
// pauses and address waits take no time.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "aws/clock.h"
#include "tarnwick_testlibs/bin/probe_deployer.h"
#include "testbed/fakes.h"
#include "testbed/log_capture.h"

namespace pd = tarnwick::probe_deployer;
using aws::Doc;

namespace {

constexpr const char* kGwSubnet = "subnet-gw";
constexpr const char* kPrivSubnet = "subnet-priv";
const Doc kRequest{{"NetworkInterfaces", Doc::array({{{"DeviceIndex", 0}, {"SubnetId", kGwSubnet}}})}};

Doc instanceRecord(const std::string& id, const std::string& publicIp,
                   const std::vector<std::pair<std::string, std::string>>& nics) {
  Doc rec{{"InstanceId", id}};
  if (!publicIp.empty()) rec["PublicIpAddress"] = publicIp;
  Doc list = Doc::array();
  int n = 0;
  for (const auto& [subnet, address] : nics)
    list.push_back({{"NetworkInterfaceId", "eni-" + std::to_string(n++)}, {"SubnetId", subnet}, {"PrivateIpAddress", address}});
  rec["NetworkInterfaces"] = list;
  return rec;
}

Doc reservationsOf(const std::vector<Doc>& instances) {
  Doc res = Doc::array();
  for (const auto& i : instances) res.push_back({{"Instances", Doc::array({i})}});
  return {{"Reservations", res}};
}

class LaunchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clock_ = std::make_shared<aws::ManualClock>();
    aws::setClock(clock_);
    entry_ = {{"gw_name", "gw-a"},         {"gw_private_ip", "10.0.0.10"},
              {"gw_subnet_id", kGwSubnet}, {"gw_subnet_cidr", "10.0.0.0/24"},
              {"private_subnet_id", kPrivSubnet}, {"private_subnet_cidr", "10.0.1.0/24"},
              {"private_subnet_gw_ip", "10.0.1.1"}};
    ec2_.answer("RunInstances", {{"Instances", Doc::array({{{"InstanceId", "i-new"}}})}});
    ec2_.always("DescribeInstanceStatus", [](const Doc& p) {
      return Doc{{"InstanceStatuses", Doc::array({{{"InstanceId", p["InstanceIds"][0]},
                                                   {"InstanceState", {{"Name", "running"}}},
                                                   {"InstanceStatus", {{"Status", "ok"}}},
                                                   {"SystemStatus", {{"Status", "ok"}}}}})}};
    });
  }
  void TearDown() override { aws::setClock(nullptr); }

  // DescribeInstances: the Name/subnet search finds `existing`; a lookup by id answers `byId`
  // in turn (the last one repeating).
  void scriptInstances(std::vector<Doc> existing, std::vector<Doc> byId) {
    ec2_.always("DescribeInstances", [existing, byId, n = std::make_shared<size_t>(0)](const Doc& p) {
      if (p.contains("Filters")) return reservationsOf(existing);
      const Doc& rec = byId.at(std::min(*n, byId.size() - 1));
      ++*n;
      return reservationsOf({rec});
    });
  }

  pd::LaunchArgs launchArgs() {
    pd::LaunchArgs a;
    a.ec2_client = &ec2_;
    a.iam_client = &iam_;
    a.ami = "ami-1";
    a.gw_subnet_id = kGwSubnet;
    a.private_subnet_id = kPrivSubnet;
    a.spoke_gw_ip = "10.0.0.10";
    a.args = &args_;
    a.test_config = &entry_;
    a.sg_id = "sg-1";
    a.key_name = "key-1";
    return a;
  }

  std::shared_ptr<aws::ManualClock> clock_;
  testbed::FakeEc2 ec2_;
  testbed::FakeIam iam_;
  pd::Args args_;
  Doc entry_;
  testbed::LogCapture logs_;
};

TEST_F(LaunchTest, NewInstanceGetsFullRequestAndRecordsAddressesAfterOriginalMembers) {
  args_.set("tag_resource", "Owner,qa");
  scriptInstances({}, {instanceRecord("i-new", "54.1.1.1", {{kGwSubnet, "10.0.0.20"}, {kPrivSubnet, "10.0.1.20"}})});
  auto a = launchArgs();
  a.instance_profile = pd::kInstanceProfile;
  pd::createEc2(a);

  const Doc expected = Doc::parse(R"({
    "InstanceType": "t3.micro", "MinCount": 1, "MaxCount": 1, "ImageId": "ami-1",
    "TagSpecifications": [{"ResourceType": "instance", "Tags": [
      {"Key": "Name", "Value": "tarnwick-test-ec2"}, {"Key": "Owner", "Value": "qa"}]}],
    "NetworkInterfaces": [{"DeviceIndex": 0, "SubnetId": "subnet-gw", "Groups": ["sg-1"]},
                          {"DeviceIndex": 1, "SubnetId": "subnet-priv"}],
    "IamInstanceProfile": {"Name": "tarnwick-test-ec2-instance-profile"},
    "KeyName": "key-1"})");
  EXPECT_EQ(ec2_.params("RunInstances").dump(), expected.dump());
  EXPECT_EQ(ec2_.count("AllocateAddress"), 0);
  std::vector<std::string> keys;
  for (const auto& [k, v] : entry_.items()) keys.push_back(k);
  ASSERT_EQ(keys.size(), 9u);
  EXPECT_EQ(keys[7], "ec2_ip");
  EXPECT_EQ(keys[8], "ec2_2nd_private_ip");
  EXPECT_EQ(entry_["ec2_ip"], "54.1.1.1");
  EXPECT_EQ(entry_["ec2_2nd_private_ip"], "10.0.1.20");
  EXPECT_TRUE(logs_.contains("  Instance tarnwick-test-ec2 i-new created in subnet-gw"));
  EXPECT_TRUE(logs_.contains("  public ip: 54.1.1.1"));
}

TEST_F(LaunchTest, NamedRoleProblemsEndTheWorkerBeforeAnyLaunch) {
  args_.set("ec2_role", "probe-role");
  iam_.fail("ListInstanceProfilesForRole", testbed::serviceError("NoSuchEntity", "no role", 404));
  pd::createEc2(launchArgs());
  EXPECT_TRUE(logs_.contains(tarnwick::logging::ERROR, "  **Error** role not found probe-role"));

  iam_.answer("ListInstanceProfilesForRole", {{"InstanceProfiles", Doc::array()}});
  pd::createEc2(launchArgs());
  EXPECT_TRUE(logs_.contains(tarnwick::logging::ERROR, "  **Error** no instance profile found for role probe-role"));

  // Any other service error is not this operation's to handle: it reaches the worker's edge.
  iam_.fail("ListInstanceProfilesForRole", testbed::serviceError("AccessDenied", "denied", 403));
  EXPECT_THROW(pd::createEc2(launchArgs()), aws::ServiceError);

  EXPECT_EQ(ec2_.count("DescribeInstances"), 0);
  EXPECT_EQ(ec2_.count("RunInstances"), 0);
  EXPECT_FALSE(entry_.contains("ec2_ip"));
}

TEST_F(LaunchTest, ProfileNotReadyIsRetriedUpToSixTimesTenSecondsApart) {
  testbed::FakeEc2 ec2;
  ec2.always("RunInstances", [](const Doc&) -> Doc {
    throw testbed::serviceError("InvalidParameterValue", "Invalid IAM Instance Profile name");
  });
  EXPECT_THROW(pd::createEc2WithRetry(ec2, kRequest), pd::InvalidParameterValueException);
  EXPECT_EQ(ec2.count("RunInstances"), 6);
  const auto m = logs_.messages();
  EXPECT_EQ(std::count(m.begin(), m.end(), "  Instance profile tarnwick-test-ec2-instance-profile is not ready, retry in 10 sec"), 6);
  EXPECT_EQ(clock_->sleeps(), 5);
  EXPECT_EQ(clock_->slept(), std::chrono::seconds(50));

  testbed::FakeEc2 later;  // ready at the third attempt
  later.fail("RunInstances", testbed::serviceError("InvalidParameterValue", "not ready"));
  later.fail("RunInstances", testbed::serviceError("InvalidParameterValue", "not ready"));
  later.answer("RunInstances", {{"Instances", Doc::array({{{"InstanceId", "i-3"}}})}});
  EXPECT_EQ(pd::createEc2WithRetry(later, kRequest), "i-3");
  EXPECT_EQ(clock_->sleeps(), 7);
}

TEST_F(LaunchTest, OtherLaunchFailuresAreLoggedAndNotRetried) {
  testbed::FakeEc2 ec2;
  ec2.fail("RunInstances", testbed::serviceError("InsufficientInstanceCapacity", "none left"));
  ec2.fail("RunInstances", aws::ClientError("connection reset"));
  EXPECT_EQ(pd::createEc2WithRetry(ec2, kRequest), std::nullopt);
  EXPECT_EQ(pd::createEc2WithRetry(ec2, kRequest), std::nullopt);
  EXPECT_EQ(ec2.count("RunInstances"), 2);
  EXPECT_EQ(clock_->sleeps(), 0);
  EXPECT_EQ(logs_.count(tarnwick::logging::ERROR), 2);
  EXPECT_TRUE(logs_.contains(tarnwick::logging::ERROR, "  **Error** connection reset"));
}

TEST_F(LaunchTest, ReusedInstanceWithoutAddressGetsAnElasticIpOnItsGatewayInterface) {
  const Doc bare = instanceRecord("i-old", "", {{kPrivSubnet, "10.0.1.5"}, {kGwSubnet, "10.0.0.5"}});
  scriptInstances({bare}, {bare, instanceRecord("i-old", "3.3.3.3", {{kPrivSubnet, "10.0.1.5"}, {kGwSubnet, "10.0.0.5"}})});
  ec2_.answer("AllocateAddress", {{"AllocationId", "eipalloc-1"}, {"PublicIp", "3.3.3.3"}});
  pd::createEc2(launchArgs());
  EXPECT_EQ(ec2_.count("RunInstances"), 0);
  EXPECT_EQ(ec2_.count("DescribeInstanceStatus"), 1);  // the status query only, no waiter
  EXPECT_EQ(ec2_.params("AssociateAddress")["NetworkInterfaceId"], "eni-1");
  EXPECT_EQ(entry_["ec2_ip"], "3.3.3.3");
  EXPECT_EQ(entry_["ec2_2nd_private_ip"], "10.0.1.5");
}

TEST_F(LaunchTest, AddressThatNeverAppearsIsAnErrorAfterTwoMoreRounds) {
  const Doc bare = instanceRecord("i-old", "", {{kGwSubnet, "10.0.0.5"}});
  scriptInstances({bare}, {bare});
  ec2_.answer("AllocateAddress", {{"AllocationId", "eipalloc-1"}, {"PublicIp", "3.3.3.3"}});
  pd::createEc2(launchArgs());
  EXPECT_EQ(clock_->sleeps(), 2);
  EXPECT_EQ(clock_->slept(), std::chrono::seconds(10));
  EXPECT_TRUE(logs_.contains(tarnwick::logging::ERROR, "  Failed to allocate and associate EIP to i-old"));
  EXPECT_FALSE(entry_.contains("ec2_ip"));
}

TEST_F(LaunchTest, StoppedReusedInstanceEndsTheWorkerWithAnError) {
  scriptInstances({instanceRecord("i-old", "", {{kGwSubnet, "10.0.0.5"}})}, {});
  ec2_.always("DescribeInstanceStatus", [](const Doc&) { return Doc{{"InstanceStatuses", Doc::array()}}; });
  pd::createEc2(launchArgs());
  EXPECT_EQ(ec2_.count("AllocateAddress"), 0);
  EXPECT_FALSE(entry_.contains("ec2_ip"));
  EXPECT_EQ(logs_.messages(tarnwick::logging::ERROR), std::vector<std::string>{"  **Error** tarnwick-test-ec2 i-old in subnet-gw is not running"});
}

TEST_F(LaunchTest, LaterInterfaceInsideTheTestNetworkWins) {
  scriptInstances({}, {instanceRecord("i-new", "54.1.1.1",
                                      {{kGwSubnet, "10.0.0.20"}, {kPrivSubnet, "10.0.1.20"}, {kPrivSubnet, "10.0.1.30"}})});
  pd::createEc2(launchArgs());
  EXPECT_EQ(entry_["ec2_2nd_private_ip"], "10.0.1.30");
  EXPECT_TRUE(logs_.contains("  ip in private subnet: 10.0.1.20"));
}

TEST(UserDataTemplate, FillsItsThreePlaceholders) {
  const std::string filled = pd::fillUserData("10.0.0.10", "bkt", "gw-a-nightly");
  EXPECT_EQ(filled.rfind("#!/bin/bash -x\n", 0), 0u);
  EXPECT_EQ(filled.find("{{"), std::string::npos);
  EXPECT_NE(filled.find("\"spoke_gw\": \"10.0.0.10\"}\n"), std::string::npos);
  EXPECT_NE(filled.find("aws s3 cp /tmp/result.txt s3://bkt/result-gw-a-nightly.txt\n"), std::string::npos);
  EXPECT_NE(filled.find("aws s3 cp /tmp/log.txt s3://bkt/log-gw-a-nightly.txt\n"), std::string::npos);
}

}  // namespace
