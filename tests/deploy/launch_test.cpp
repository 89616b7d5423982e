// The launch of one test instance against recording fakes, with a manual clock so that retry
// pauses and address waits take no time.
#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tarnwick_testlibs/aws/clock.h"
#include "tarnwick_testlibs/bin/probe_deployer.h"
#include "tarnwick_testlibs/bin/probe_deployer/detail/launch.h"
#include "tarnwick_testlibs/bin/probe_deployer/detail/poller.h"
#include "tarnwick_testlibs/bin/probe_deployer/detail/preflight.h"
#include "tarnwick_testlibs/bin/probe_deployer/detail/workers.h"
#include "testbed/fakes.h"
#include "testbed/log_capture.h"

namespace pd = tarnwick::probe_deployer;
using tarnwick::aws::Doc;

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
    list.push_back(
        {{"NetworkInterfaceId", "eni-" + std::to_string(n++)}, {"SubnetId", subnet}, {"PrivateIpAddress", address}});
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
    clock_ = std::make_shared<tarnwick::aws::ManualClock>();
    tarnwick::aws::setClock(clock_);
    entry_ = {{"gw_name", "gw-a"},
              {"gw_private_ip", "10.0.0.10"},
              {"gw_subnet_id", kGwSubnet},
              {"gw_subnet_cidr", "10.0.0.0/24"},
              {"private_subnet_id", kPrivSubnet},
              {"private_subnet_cidr", "10.0.1.0/24"},
              {"private_subnet_gw_ip", "10.0.1.1"}};
    ec2_.answer("RunInstances", {{"Instances", Doc::array({{{"InstanceId", "i-new"}}})}});
    ec2_.always("DescribeInstanceStatus", [](const Doc& p) {
      return Doc{{"InstanceStatuses", Doc::array({{{"InstanceId", p["InstanceIds"][0]},
                                                   {"InstanceState", {{"Name", "running"}}},
                                                   {"InstanceStatus", {{"Status", "ok"}}},
                                                   {"SystemStatus", {{"Status", "ok"}}}}})}};
    });
  }
  void TearDown() override { tarnwick::aws::setClock(nullptr); }

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

  pd::detail::LaunchArgs launchArgs() {
    pd::detail::LaunchArgs a;
    a.ec2_client = &ec2_;
    a.iam_client = &iam_;
    a.ami = "ami-1";
    a.gw_subnet_id = kGwSubnet;
    a.private_subnet_id = kPrivSubnet;
    a.spoke_gw_ip = "10.0.0.10";
    a.args = args_;
    a.test_config = &entry_;
    a.sg_id = "sg-1";
    a.key_name = "key-1";
    return a;
  }

  std::shared_ptr<tarnwick::aws::ManualClock> clock_;
  testbed::FakeEc2 ec2_;
  testbed::FakeIam iam_;
  pd::Options args_;
  Doc entry_;
  testbed::LogCapture logs_;
};

TEST_F(LaunchTest, NewInstanceGetsFullRequestAndRecordsAddressesAfterOriginalMembers) {
  args_.tag_resource = "Owner,qa";
  args_.expires_at = "2030-01-01T00:00:00Z";
  scriptInstances({}, {instanceRecord("i-new", "54.1.1.1", {{kGwSubnet, "10.0.0.20"}, {kPrivSubnet, "10.0.1.20"}})});
  auto a = launchArgs();
  a.instance_profile = pd::kInstanceProfile;
  pd::detail::createEc2(a);

  const Doc expected = Doc::parse(R"({
    "InstanceType": "t3.micro", "MinCount": 1, "MaxCount": 1, "ImageId": "ami-1",
    "TagSpecifications": [{"ResourceType": "instance", "Tags": [
      {"Key": "Name", "Value": "tarnwick-test-ec2"}, {"Key": "tarnwick:expires-at", "Value": "2030-01-01T00:00:00Z"},
      {"Key": "Owner", "Value": "qa"}]}, {"ResourceType": "volume", "Tags": [{"Key": "Name", "Value": "tarnwick-test-ec2"},
      {"Key": "tarnwick:expires-at", "Value": "2030-01-01T00:00:00Z"}, {"Key": "Owner", "Value": "qa"}]},
      {"ResourceType": "network-interface", "Tags": [{"Key": "Name", "Value": "tarnwick-test-ec2"},
      {"Key": "tarnwick:expires-at", "Value": "2030-01-01T00:00:00Z"}, {"Key": "Owner", "Value": "qa"}]}],
    "NetworkInterfaces": [{"DeviceIndex": 0, "SubnetId": "subnet-gw", "Groups": ["sg-1"]},
                          {"DeviceIndex": 1, "SubnetId": "subnet-priv"}],
    "IamInstanceProfile": {"Name": "tarnwick-test-ec2-instance-profile"},
    "KeyName": "key-1", "MetadataOptions": {"HttpTokens": "required", "HttpEndpoint": "enabled"}})");
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

// Asked to stop while it waits for its instance's checks, a worker gives the wait up at once, makes
// no further call and logs nothing at ERROR: its entry counts as interrupted.
TEST_F(LaunchTest, AStopEndsTheWaitAndTheWorkerWithoutAnotherCall) {
  scriptInstances({}, {instanceRecord("i-new", "", {{kGwSubnet, "10.0.0.20"}})});
  ec2_.always("DescribeInstanceStatus", [](const Doc&) {
    tarnwick::aws::stopRequest().raise("SIGTERM");
    return Doc{{"InstanceStatuses", Doc::array()}};
  });
  pd::RunSummary summary;
  summary.start(args_);
  pd::detail::runAtThreadEdge(kGwSubnet, [this] { pd::detail::createEc2(launchArgs()); },
                              {&summary, summary.addEntry(kGwSubnet)});
  tarnwick::aws::stopRequest().reset();
  EXPECT_EQ(ec2_.count("DescribeInstanceStatus"), 1);
  EXPECT_EQ(ec2_.count("AllocateAddress") + ec2_.count("DescribeInstances"), 1);  // the subnet's lookup only
  EXPECT_FALSE(logs_.contains(tarnwick::logging::ERROR, ""));
  EXPECT_NE(summary.json(143).find("\"outcome\": \"interrupted\""), std::string::npos);
}

TEST_F(LaunchTest, NamedRoleProblemsEndTheWorkerBeforeAnyLaunch) {
  args_.ec2_role = "probe-role";
  iam_.fail("ListInstanceProfilesForRole", testbed::serviceError("NoSuchEntity", "no role", 404));
  pd::detail::createEc2(launchArgs());
  EXPECT_TRUE(logs_.contains(tarnwick::logging::ERROR, "  **Error** role not found probe-role"));

  iam_.answer("ListInstanceProfilesForRole", {{"InstanceProfiles", Doc::array()}});
  pd::detail::createEc2(launchArgs());
  EXPECT_TRUE(logs_.contains(tarnwick::logging::ERROR, "  **Error** no instance profile found for role probe-role"));

  // Any other service error is not this operation's to handle: it reaches the worker's edge.
  iam_.fail("ListInstanceProfilesForRole", testbed::serviceError("AccessDenied", "denied", 403));
  EXPECT_THROW(pd::detail::createEc2(launchArgs()), tarnwick::aws::ServiceError);

  EXPECT_EQ(ec2_.count("DescribeInstances"), 0);
  EXPECT_EQ(ec2_.count("RunInstances"), 0);
  EXPECT_FALSE(entry_.contains("ec2_ip"));
}

TEST_F(LaunchTest, ProfileNotReadyIsRetriedUpToSixTimesTenSecondsApart) {
  testbed::FakeEc2 ec2;
  ec2.always("RunInstances", [](const Doc&) -> Doc {
    throw testbed::serviceError("InvalidParameterValue", "Invalid IAM Instance Profile name");
  });
  EXPECT_THROW(pd::detail::createEc2WithRetry(ec2, kRequest), pd::detail::InvalidParameterValueException);
  EXPECT_EQ(ec2.count("RunInstances"), 6);
  const auto m = logs_.messages();
  EXPECT_EQ(std::count(m.begin(), m.end(),
                       "  Instance profile tarnwick-test-ec2-instance-profile is not ready, retry in 10 sec"),
            6);
  EXPECT_EQ(clock_->sleeps(), 5);
  EXPECT_EQ(clock_->slept(), std::chrono::seconds(50));

  testbed::FakeEc2 later;  // ready at the third attempt
  later.fail("RunInstances", testbed::serviceError("InvalidParameterValue", "not ready"));
  later.fail("RunInstances", testbed::serviceError("InvalidParameterValue", "not ready"));
  later.answer("RunInstances", {{"Instances", Doc::array({{{"InstanceId", "i-3"}}})}});
  EXPECT_EQ(pd::detail::createEc2WithRetry(later, kRequest), "i-3");
  EXPECT_EQ(clock_->sleeps(), 7);
}

TEST_F(LaunchTest, OtherLaunchFailuresAreLoggedAndNotRetried) {
  testbed::FakeEc2 ec2;
  ec2.fail("RunInstances", testbed::serviceError("InsufficientInstanceCapacity", "none left"));
  ec2.fail("RunInstances", tarnwick::aws::ClientError("connection reset"));
  EXPECT_EQ(pd::detail::createEc2WithRetry(ec2, kRequest), std::nullopt);
  EXPECT_EQ(pd::detail::createEc2WithRetry(ec2, kRequest), std::nullopt);
  EXPECT_EQ(ec2.count("RunInstances"), 2);
  EXPECT_EQ(clock_->sleeps(), 0);
  EXPECT_EQ(logs_.count(tarnwick::logging::ERROR), 2);
  EXPECT_TRUE(logs_.contains(tarnwick::logging::ERROR, "  **Error** connection reset"));
}

TEST_F(LaunchTest, ReusedInstanceWithoutAddressGetsAnElasticIpOnItsGatewayInterface) {
  const Doc bare = instanceRecord("i-old", "", {{kPrivSubnet, "10.0.1.5"}, {kGwSubnet, "10.0.0.5"}});
  scriptInstances({bare},
                  {bare, instanceRecord("i-old", "3.3.3.3", {{kPrivSubnet, "10.0.1.5"}, {kGwSubnet, "10.0.0.5"}})});
  ec2_.answer("AllocateAddress", {{"AllocationId", "eipalloc-1"}, {"PublicIp", "3.3.3.3"}});
  pd::detail::createEc2(launchArgs());
  EXPECT_EQ(ec2_.count("RunInstances"), 0);
  EXPECT_EQ(ec2_.count("DescribeInstanceStatus"), 1);  // the status query only, no waiter
  EXPECT_EQ(ec2_.params("AssociateAddress")["NetworkInterfaceId"], "eni-1");
  EXPECT_EQ(entry_["ec2_ip"], "3.3.3.3");
  EXPECT_EQ(entry_["ec2_2nd_private_ip"], "10.0.1.5");
}

TEST_F(LaunchTest, AddressThatNeverAppearsIsAnErrorAfterTenSecondsOfShortRounds) {
  const Doc bare = instanceRecord("i-old", "", {{kGwSubnet, "10.0.0.5"}});
  scriptInstances({bare}, {bare});
  ec2_.answer("AllocateAddress", {{"AllocationId", "eipalloc-1"}, {"PublicIp", "3.3.3.3"}});
  pd::detail::createEc2(launchArgs());
  EXPECT_EQ(clock_->sleeps(), 5);
  EXPECT_EQ(clock_->slept(), std::chrono::seconds(10));
  EXPECT_TRUE(logs_.contains(tarnwick::logging::ERROR, "  Failed to allocate and associate EIP to i-old"));
  EXPECT_FALSE(entry_.contains("ec2_ip"));
}

TEST_F(LaunchTest, StoppedReusedInstanceEndsTheWorkerWithAnError) {
  scriptInstances({instanceRecord("i-old", "", {{kGwSubnet, "10.0.0.5"}})}, {});
  ec2_.always("DescribeInstanceStatus", [](const Doc&) { return Doc{{"InstanceStatuses", Doc::array()}}; });
  pd::detail::createEc2(launchArgs());
  EXPECT_EQ(ec2_.count("AllocateAddress"), 0);
  EXPECT_FALSE(entry_.contains("ec2_ip"));
  EXPECT_EQ(logs_.messages(tarnwick::logging::ERROR),
            std::vector<std::string>{"  **Error** tarnwick-test-ec2 i-old in subnet-gw is not running"});
}

TEST_F(LaunchTest, LaterInterfaceInsideTheTestNetworkWins) {
  scriptInstances({},
                  {instanceRecord("i-new", "54.1.1.1",
                                  {{kGwSubnet, "10.0.0.20"}, {kPrivSubnet, "10.0.1.20"}, {kPrivSubnet, "10.0.1.30"}})});
  pd::detail::createEc2(launchArgs());
  EXPECT_EQ(entry_["ec2_2nd_private_ip"], "10.0.1.30");
  EXPECT_TRUE(logs_.contains("  ip in private subnet: 10.0.1.20"));
}

// The run's poller: several workers' lookups in one call, and each worker's own answer.
using PollerTest = LaunchTest;

Doc ids(const std::string& id) { return {{"InstanceIds", Doc::array({id})}}; }

// A queued lookup's answer, which the round of a later call of its kind must have settled.
Doc settled(const std::shared_future<Doc>& lookup) {
  if (lookup.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
    throw std::logic_error("the lookup was left waiting for a round");
  return lookup.get();
}

// Answers each requested id with an instance record (or status) of its own; "i-gone" does not exist.
Doc describeEach(const Doc& p, const char* records) {
  Doc list = Doc::array();
  for (const auto& id : p["InstanceIds"]) {
    if (id == "i-gone")
      throw testbed::serviceError("InvalidInstanceID.NotFound", "The instance ID 'i-gone' does not exist");
    const std::string state = id == "i-stuck" ? "stopping" : "terminated";
    list.push_back({{"InstanceId", id}, {"State", {{"Name", state}}}, {"InstanceStatus", {{"Status", "ok"}}}});
  }
  if (std::string(records) == "InstanceStatuses") return {{"InstanceStatuses", list}};
  return {{"Reservations", Doc::array({{{"ReservationId", "r-1"}, {"Instances", list}}})}};
}

TEST_F(PollerTest, WaitingLookupsShareOneCallPerRoundWithinTheIdLimit) {
  ec2_.always("DescribeInstanceStatus", [](const Doc& p) { return describeEach(p, "InstanceStatuses"); });
  pd::detail::Poller poller(ec2_);
  std::vector<std::shared_future<Doc>> others;
  for (int i = 0; i < 150; ++i)
    others.push_back(poller.submit("DescribeInstanceStatus", ids("i-" + std::to_string(i))));
  const Doc mine = poller.describe_instance_status(ids("i-mine"));

  // At most 100 instance ids per call: two rounds, the first after the gathering pause, the
  // second a round's spacing after the first.
  ASSERT_EQ(ec2_.count("DescribeInstanceStatus"), 2);
  EXPECT_EQ(ec2_.params("DescribeInstanceStatus", 0)["InstanceIds"].size(), 100u);
  EXPECT_EQ(ec2_.params("DescribeInstanceStatus", 1)["InstanceIds"].size(), 51u);
  EXPECT_EQ(clock_->slept(), pd::detail::Poller::kGather + pd::detail::Poller::kRoundSpacing);
  EXPECT_EQ(mine, describeEach(ids("i-mine"), "InstanceStatuses"));
  for (int i : {0, 99, 149})
    EXPECT_EQ(settled(others[i]), describeEach(ids("i-" + std::to_string(i)), "InstanceStatuses"));
}

TEST_F(PollerTest, ServiceErrorOfAMergedCallReachesOnlyTheLookupThatCausedIt) {
  ec2_.always("DescribeInstances", [](const Doc& p) { return describeEach(p, "Reservations"); });
  pd::detail::Poller poller(ec2_, std::chrono::milliseconds(0));
  auto one = poller.submit("DescribeInstances", ids("i-1"));
  auto gone = poller.submit("DescribeInstances", ids("i-gone"));
  auto three = poller.submit("DescribeInstances", ids("i-3"));
  EXPECT_EQ(poller.describe_instances(ids("i-4")), describeEach(ids("i-4"), "Reservations"));
  EXPECT_EQ(settled(one), describeEach(ids("i-1"), "Reservations"));
  EXPECT_EQ(settled(three), describeEach(ids("i-3"), "Reservations"));
  EXPECT_THROW(settled(gone), tarnwick::aws::ServiceError);
  // [1 gone 3 4] fails, then [1 gone] fails, [1] answers, [gone] fails, [3 4] answers.
  EXPECT_EQ(ec2_.count("DescribeInstances"), 5);
}

TEST_F(PollerTest, SubnetAndAddressLookupsMergeOnlyTheirVaryingValues) {
  ec2_.always("DescribeInstances", [](const Doc&) {
    Doc a = instanceRecord("i-a", "", {}), b = instanceRecord("i-b", "", {}), b2 = instanceRecord("i-b2", "", {});
    a["SubnetId"] = "subnet-a";
    b["SubnetId"] = b2["SubnetId"] = "subnet-b";
    return Doc{{"Reservations", Doc::array({{{"Instances", Doc::array({a, b})}}, {{"Instances", Doc::array({b2})}}})}};
  });
  ec2_.answer(
      "DescribeAddresses",
      {{"Addresses", Doc::array({{{"InstanceId", "i-a"}, {"PublicIp", "3.3.3.3"}, {"AllocationId", "eipalloc-a"}},
                                 {{"InstanceId", "i-b"}, {"PublicIp", "4.4.4.4"}, {"AllocationId", "eipalloc-b"}}})}});
  pd::detail::Poller poller(ec2_, std::chrono::milliseconds(0));
  testbed::FakeEc2 probe;  // what another worker's getEc2 asks for subnet-b
  pd::getEc2(probe, "subnet-b");
  const Doc bLookup = probe.params("DescribeInstances");
  auto b = poller.submit("DescribeInstances", bLookup);
  EXPECT_EQ(pd::getEc2(poller, "subnet-a").first, "i-a");
  Doc merged = bLookup;
  for (auto& f : merged["Filters"])
    if (f["Name"] == "subnet-id") f["Values"] = Doc::array({"subnet-b", "subnet-a"});
  EXPECT_EQ(ec2_.params("DescribeInstances"), merged);
  EXPECT_EQ(settled(b)["Reservations"].size(), 2u);  // what subnet-b's own lookup finds: two reservations

  auto a = poller.submit("DescribeAddresses",
                         {{"Filters", Doc::array({{{"Name", "instance-id"}, {"Values", Doc::array({"i-a"})}}})},
                          {"PublicIps", Doc::array({"3.3.3.3"})}});
  EXPECT_EQ(pd::getEipAllocationId(poller, "i-b", "4.4.4.4"), "eipalloc-b");
  EXPECT_EQ(ec2_.params("DescribeAddresses")["PublicIps"], Doc::array({"3.3.3.3", "4.4.4.4"}));
  EXPECT_EQ(settled(a)["Addresses"].size(), 1u);
  EXPECT_EQ(ec2_.count("DescribeInstances") + ec2_.count("DescribeAddresses"), 2);
}

TEST_F(PollerTest, WaitsKeepTheirOwnOutcomeAndTellProgressEveryThirtySeconds) {
  ec2_.always("DescribeInstances", [](const Doc& p) { return describeEach(p, "Reservations"); });
  pd::detail::Poller poller(ec2_);
  bool stuckFailed = false;
  std::thread stuck([&] {
    try {
      poller.wait("instance_terminated", "i-stuck");
    } catch (const tarnwick::aws::WaiterError&) {
      stuckFailed = true;
    }
  });
  poller.wait("instance_terminated", "i-done");
  stuck.join();
  EXPECT_TRUE(stuckFailed);

  logs_.clear();
  clock_ = std::make_shared<tarnwick::aws::ManualClock>();
  tarnwick::aws::setClock(clock_);
  const auto start = clock_->now();
  std::vector<double> asked;  // seconds after the start
  ec2_.always("DescribeInstanceStatus", [&](const Doc&) {
    asked.push_back(std::chrono::duration<double>(clock_->now() - start).count());
    return Doc{{"InstanceStatuses", Doc::array({{{"InstanceStatus", {{"Status", "initializing"}}}}})}};
  });
  EXPECT_THROW(poller.wait("instance_status_ok", "i-slow"), tarnwick::aws::WaiterError);
  // The published limit of 585 s; rounds 2 s apart for the first 30 s, then further apart, up to 15 s.
  EXPECT_EQ(clock_->slept(), std::chrono::seconds(39 * 15) + pd::detail::Poller::kGather);
  for (size_t i = 1; i + 1 < asked.size(); ++i) {
    EXPECT_GE(asked[i] - asked[i - 1], 1.99) << i;
    EXPECT_LE(asked[i] - asked[i - 1], asked[i] <= 30.2 ? 2.01 : 15.01) << i;
  }
  EXPECT_LT(asked.size(), 80u);
  // A line at 30 s, then one at the first round 30 s after the last, and nothing at INFO or above.
  const auto lines = logs_.messages(tarnwick::logging::DETAIL);
  ASSERT_EQ(lines.size(), 18u) << logs_.text();
  EXPECT_EQ(lines.front(), "  still waiting for 1 instance after 30 s");
  EXPECT_EQ(logs_.count(tarnwick::logging::INFO), 0);
}

// Instances ready 20 s after their launch: the wait ends within a round and hands back the answer
// that ended it, which the launch takes as the instance's status instead of asking again.
TEST_F(PollerTest, WaitEndsWithinARoundOfReadiness) {
  const auto ready = clock_->now() + std::chrono::seconds(20);
  ec2_.always("DescribeInstanceStatus", [&](const Doc& p) {
    const char* status = clock_->now() >= ready ? "ok" : "initializing";
    return Doc{{"InstanceStatuses",
                Doc::array({{{"InstanceId", p["InstanceIds"][0]}, {"InstanceStatus", {{"Status", status}}}}})}};
  });
  scriptInstances({}, {instanceRecord("i-new", "54.1.1.1", {{kGwSubnet, "10.0.0.20"}})});
  pd::detail::createEc2(launchArgs());
  EXPECT_EQ(entry_["ec2_ip"], "54.1.1.1");
  EXPECT_LE(clock_->now() - ready, pd::detail::rounds::kShortest);
  EXPECT_LE(ec2_.count("DescribeInstanceStatus"), 12);
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

namespace {

// Only an associated address of the toolkit inside an entry's gateway subnet spares it one: not an
// unassociated one, nor the gateway's own address in the same subnet.
TEST(PreflightAddresses, EntriesWhoseInstanceHoldsItsAddressNeedNone) {
  const auto address = [](const std::string& privateIp, bool associated, const std::string& name) {
    Doc a{{"PrivateIpAddress", privateIp}, {"Tags", Doc::array({{{"Key", "Name"}, {"Value", name}}})}};
    if (associated) a["AssociationId"] = "eipassoc-" + privateIp;
    return a;
  };
  const std::vector<pd::detail::PlannedEntry> planned{{"reused", "s-a", "p-a", "10.0.0.0/24"},
                                                      {"unassociated", "s-b", "p-b", "10.0.1.0/24"},
                                                      {"gateway's", "s-c", "p-c", "10.0.2.0/24"},
                                                      {"unknown subnet", "s-d", "p-d", ""}};
  const Doc addresses{
      {"Addresses", Doc::array({address("10.0.0.7", true, pd::kEipName), address("10.0.1.7", false, pd::kEipName),
                                address("10.0.2.7", true, "spoke-gw")})}};
  std::vector<std::string> needing;
  for (const auto* p : pd::detail::entriesNeedingAddress(planned, addresses)) needing.push_back(p->label);
  EXPECT_EQ(needing, (std::vector<std::string>{"unassociated", "gateway's", "unknown subnet"}));
}

// The quota is the record named vpc-max-elastic-ips wherever it stands; needing no new address
// is never a problem, however many the account holds beyond the quota.
TEST(PreflightAddresses, QuotaIsItsNamedRecordAndNeedingNoneIsNeverAProblem) {
  const Doc quota = Doc::parse(
      R"({"AccountAttributes": [{"AttributeName": "max-instances", "AttributeValues": [{"AttributeValue": "20"}]},
                                   {"AttributeName": "vpc-max-elastic-ips", "AttributeValues": [{"AttributeValue": "1"}]}]})");
  const pd::detail::PlannedEntry a{"gw-a", "s-a", "p-a", ""}, b{"gw-b", "s-b", "p-b", ""};
  EXPECT_NE(pd::detail::addressShortage({&a, &b}, Doc::object(), quota)
                .value_or("")
                .find("gw-a, gw-b need 2 new Elastic IPs, only 1 are free"),
            std::string::npos);
  EXPECT_FALSE(pd::detail::addressShortage({}, Doc::parse(R"({"Addresses": [{}, {}, {}]})"), quota));
}

// A deployment seconds old is never old, whatever the ages and clocks at their limits.
TEST(SweepAge, ArithmeticHoldsAtTheClocksLimits) {
  using std::chrono::seconds;
  const auto now = pd::SweepClock::now(), min = pd::SweepClock::time_point::min(),
             max = pd::SweepClock::time_point::max();
  pd::VpcFindings found;
  found.instances.push_back({pd::report::Kind::kInstance, "i-1", "subnet-1", now - seconds(10)});
  for (const seconds olderThan : {seconds(11), seconds(24 * 3600 * 106752LL), seconds::max()})
    EXPECT_FALSE(found.isOld(olderThan, now));
  EXPECT_TRUE(found.isOld(seconds(10), now) && found.isOld(pd::kLongestOlderThan, max));
  found.instances[0].created = max;
  EXPECT_FALSE(found.isOld(seconds(0), min));
}

// An expiry decides alone, and the latest of a deployment's expiries counts: a rerun with a longer
// --ttl keeps the whole deployment.
TEST(SweepAge, ExpiryDecidesWhateverTheAge) {
  using std::chrono::hours;
  const auto now = pd::SweepClock::now();
  struct Row {
    std::optional<hours> expiresIn, laterExpiresIn;
    std::optional<std::chrono::seconds> olderThan;
    bool due;
  };
  for (const Row& row :
       {Row{hours(-1), std::nullopt, hours(48), true}, Row{hours(1), std::nullopt, std::nullopt, false},
        Row{hours(1), std::nullopt, hours(0), false}, Row{hours(-1), hours(1), std::nullopt, false},
        Row{hours(0), std::nullopt, hours(48), true}, Row{std::nullopt, std::nullopt, hours(48), false},
        Row{std::nullopt, std::nullopt, std::nullopt, true}}) {
    pd::VpcFindings found;  // launched a day ago
    found.instances.push_back({pd::report::Kind::kInstance, "i-1", "subnet-1", now - hours(24)});
    if (row.expiresIn) found.instances[0].expires = now + *row.expiresIn;
    if (row.laterExpiresIn)
      found.others.push_back({pd::report::Kind::kSecurityGroup, "sg-1", "", std::nullopt, now + *row.laterExpiresIn});
    EXPECT_EQ(found.isDue(row.olderThan, now), row.due) << found.expiresAt().has_value() << row.olderThan.has_value();
  }
}

}  // namespace
