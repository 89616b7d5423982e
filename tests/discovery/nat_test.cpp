// The NAT gateway search over scripted EC2 and an in-memory bucket.
#include <gtest/gtest.h>

#include <filesystem>

#include "scripted_vpc.h"
#include "tarnwick_testlibs/bin/core/AppExitStatus.h"
#include "tarnwick_testlibs/bin/core/Globals.h"
#include "tarnwick_testlibs/bin/lib/nat.h"
#include "testbed/log_capture.h"
#include "testbed/process.h"

namespace {

using tarnwick::aws::Doc;
using tarnwick::nat::Nat;
namespace logging = tarnwick::logging;

class NatSearch : public ::testing::Test {
 protected:
  void SetUp() override {
    vpc.install(ec2);
    s3.createBucket("bucket-1");
    args.vpc = "vpc-0a1";
    args.backup_folder = dir.str();
    args.output_test_config = "subnet.config";
    tarnwick::Globals::TEST_CONFIG = (dir / "vpc-0a1/subnet.config").string();
    std::filesystem::create_directories(dir / "vpc-0a1");
    vpc.subnets["pub-a"] = {"10.30.0.0/24", "us-east-1a"};
    vpc.subnets["pub-b"] = {"10.30.1.0/24", "us-east-1b"};
    vpc.subnets["priv-a"] = {"10.30.4.0/24", "us-east-1a"};
    vpc.subnets["priv-a2"] = {"10.30.5.0/24", "us-east-1a"};
    vpc.subnets["priv-b"] = {"10.30.6.0/24", "us-east-1b"};
  }
  void run() { Nat::findNatGws(args, ec2, &s3); }
  // Runs the search expecting it to end the program with status 1.
  void runExpectingExit() {
    try {
      run();
      ADD_FAILURE() << "the search returned";
    } catch (const tarnwick::ProcessExit& e) {
      EXPECT_EQ(e.status(), 1);
    }
  }
  bool fileExists() const { return std::filesystem::exists(tarnwick::Globals::TEST_CONFIG); }
  Doc written() const { return Doc::parse(testbed::readFile(tarnwick::Globals::TEST_CONFIG)); }

  testbed::TempDir dir;
  testbed::FakeEc2 ec2;
  testbed::FakeS3 s3;
  discovery::ScriptedVpc vpc;
  tarnwick::SearchOptions args;
  testbed::LogCapture log;
};

TEST_F(NatSearch, OneEntryPerPublicNatGatewayInListingOrderWithATestSubnetOfItsZone) {
  vpc.addNatGateway("nat-b", "pub-b");
  vpc.addNatGateway("nat-p", "pub-a", "private");
  vpc.addNatGateway("nat-a", "pub-a");
  vpc.addRouteTable({"nat-p"}, {"priv-b"});
  vpc.addRouteTable({"nat-a"}, {"", "priv-b", "priv-a2", "priv-a"});  // main table marker skipped
  vpc.addRouteTable({"nat-b"}, {"priv-b"});
  run();

  Doc entries = written();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0]["nat_gw_id"], "nat-b");
  EXPECT_EQ(entries[1].dump(), Doc({{"nat_gw_id", "nat-a"},
                                    {"gw_private_ip", "10.0.9.3"},
                                    {"gw_public_ip", "52.0.0.3"},
                                    {"gw_subnet_id", "pub-a"},
                                    {"gw_subnet_cidr", "10.30.0.0/24"},
                                    {"private_subnet_id", "priv-a2"},
                                    {"private_subnet_cidr", "10.30.5.0/24"},
                                    {"private_subnet_gw_ip", "10.30.5.1"}})
                                   .dump());
  EXPECT_EQ(ec2.params("DescribeNatGateways", 0),
            Doc({{"Filter",
                  {{{"Name", "vpc-id"}, {"Values", {"vpc-0a1"}}}, {{"Name", "state"}, {"Values", {"available"}}}}}}));
  EXPECT_EQ(ec2.params("DescribeSubnets", 0), Doc({{"SubnetIds", {"pub-b", "pub-a"}}}));
  EXPECT_EQ(ec2.params("DescribeSubnets", 2), Doc({{"SubnetIds", {"priv-b", "priv-a2", "priv-a"}}}));
  EXPECT_EQ(s3.count("upload_file"), 0);
}

TEST_F(NatSearch, ALaterNatGatewayInTheSameSubnetTakesTheEarliersPlace) {
  vpc.addNatGateway("nat-1", "pub-a");
  vpc.addNatGateway("nat-b", "pub-b");
  vpc.addNatGateway("nat-2", "pub-a");
  vpc.addRouteTable({"nat-1", "nat-2", "nat-b"}, {"priv-a", "priv-b"});
  run();
  Doc entries = written();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0]["nat_gw_id"], "nat-2");
  EXPECT_EQ(entries[1]["private_subnet_id"], "priv-b");
}

TEST_F(NatSearch, ANatGatewayNoRouteTablePointsToEndsTheProgramWithoutAFile) {
  vpc.addNatGateway("nat-a", "pub-a");
  vpc.addNatGateway("nat-b", "pub-b");
  vpc.addRouteTable({"nat-b"}, {"priv-b"});
  runExpectingExit();
  EXPECT_EQ(log.messages(logging::ERROR),
            std::vector<std::string>{"  **Error** cannot find a private subnet that points to NAT gw nat-a"});
  EXPECT_FALSE(fileExists());
}

TEST_F(NatSearch, ABucketGetsOneCopyAfterTheFileIsWritten) {
  vpc.addNatGateway("nat-a", "pub-a");
  vpc.addRouteTable({"nat-a"}, {"priv-a"});
  s3.respond("upload_file", [&](const Doc& p) {
    EXPECT_TRUE(std::filesystem::exists(p["Filename"].get<std::string>()));
    EXPECT_TRUE(log.contains("test.config:"));
    return Doc::object();
  });
  args.s3_bucket = "bucket-1";
  run();
  ASSERT_EQ(s3.count("upload_file"), 1);
  EXPECT_EQ(s3.params("upload_file")["Filename"], tarnwick::Globals::TEST_CONFIG);

  args.s3_bucket = "";
  std::filesystem::remove(tarnwick::Globals::TEST_CONFIG);
  run();
  EXPECT_EQ(s3.count("upload_file"), 1);
}

TEST_F(NatSearch, ATagAddsAThirdFilter) {
  vpc.addNatGateway("nat-a", "pub-a");
  Nat::get_existing_natgws(ec2, "team:blue", "vpc-0a1");
  EXPECT_EQ(ec2.params("DescribeNatGateways")["Filter"][2], Doc({{"Name", "tag:team"}, {"Values", {"blue"}}}));
  EXPECT_TRUE(log.contains(logging::INFO, "NAT gateway tag specified team:blue"));
}

}  // namespace
