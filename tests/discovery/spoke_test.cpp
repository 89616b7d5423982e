// Spoke gateway queries against the recording controller, and the subnet search over scripted EC2.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "recording_controller.h"
#include "scripted_vpc.h"
#include "tarnwick_testlibs/bin/core/Globals.h"
#include "tarnwick_testlibs/bin/lib/spoke.h"
#include "testbed/log_capture.h"
#include "testbed/process.h"

namespace {

using discovery::Doc;
using discovery::RecordingController;
using tarnwick::spoke::Spoke;
namespace logging = tarnwick::logging;

Doc gatewayRecord(const std::string& name, const std::string& privateIp, const std::string& publicIp,
                  const Doc& transit = "tgw-1") {
  return Doc{{"gw_name", name},
             {"private_ip", privateIp},
             {"public_ip", publicIp},
             {"gw_subnet_id", "subnet-" + name},
             {"public_subnet", "10.1.0.0/24"},
             {"transit_gw_name", transit}};
}

class SpokeQueries : public ::testing::Test {
 protected:
  void SetUp() override { tarnwick::twk_https::setController(controller); }
  void TearDown() override { tarnwick::twk_https::setController(nullptr); }

  std::vector<Spoke> classic(const Doc& results, const std::string& name = "spoke-a") {
    controller->answerListing("/v1/api", RecordingController::gateways(results));
    return Spoke::getSpokeInfo(url("/v1/api"), "cid-7f3a", name);
  }
  std::vector<Spoke> scaling(const Doc& results, const std::string& name = "spoke-a") {
    controller->answerListing("/v2/api", RecordingController::gateways(results));
    return Spoke::getHsSpokeInfo(url("/v2/api"), "cid-7f3a", name);
  }
  std::string url(const std::string& path) const { return "https://" + controller->address() + path; }

  std::shared_ptr<RecordingController> controller = std::make_shared<RecordingController>();
  testbed::LogCapture log;
};

TEST_F(SpokeQueries, ClassicPeerFromHagwDetailsGetsThePrimarysTransitAndNoSubnetAndNeedsANonNullRecord) {
  Doc primary = gatewayRecord("spoke-a", "10.1.0.10", "3.3.3.1");
  primary["hagw_details"] = {{"private_ip", "10.1.0.20"}, {"gw_name", "spoke-a-hagw"}, {"public_ip", "3.3.3.3"}};
  Doc other = gatewayRecord("spoke-a", "10.9.9.9", "9.9.9.9");
  auto found = classic(Doc::array({gatewayRecord("spoke-b", "10.2.0.1", "4.4.4.4"), primary, other}));
  auto sent = controller->requests("list_vpcs_summary");
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].rawQuery,
            "action=list_vpcs_summary&CID=cid-7f3a&account_name=&acx_gw_only=no&gateway_name=spoke-a");
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].gw_subnet, "subnet-spoke-a");
  EXPECT_EQ(found[1].gw_private_ip, "10.1.0.20");
  EXPECT_EQ(found[1].transit_name, "tgw-1");
  EXPECT_EQ(found[1].gw_subnet, "");
  EXPECT_EQ(log.messages(logging::INFO), (std::vector<std::string>{"  found tgw-1", "  found tgw-1"}));

  primary["hagw_details"] = nullptr;  // no peer
  EXPECT_EQ(classic(Doc::array({primary})).size(), 1u);
  EXPECT_EQ(classic(Doc::array({gatewayRecord("spoke-a", "10.1.0.10", "3.3.3.1")})).size(), 1u);
  EXPECT_TRUE(classic(Doc::array({gatewayRecord("spoke-b", "10.1.0.10", "3.3.3.1")})).empty());
}

TEST_F(SpokeQueries, HorizontalScalingListsTheGatewayThenItsPeersInOrder) {
  Doc element = gatewayRecord("spoke-a", "10.1.0.10", "3.3.3.1");
  element["hagw_details"] = Doc::object();
  element["hagw_details_list"] = {gatewayRecord("spoke-a-hagw", "10.1.0.11", "3.3.3.2", nullptr),
                                  gatewayRecord("spoke-a-hagw-2", "10.1.0.12", "3.3.3.3"),
                                  gatewayRecord("spoke-a-hagw-3", "", "3.3.3.4")};
  auto found = scaling(Doc::array({element}));
  ASSERT_EQ(found.size(), 4u);
  EXPECT_EQ(found[0].gw_name, "spoke-a");
  EXPECT_EQ(found[3].gw_name, "spoke-a-hagw-3");
  EXPECT_EQ(found[2].gw_subnet, "subnet-spoke-a-hagw-2");
  EXPECT_TRUE(log.contains(logging::INFO, "  spoke spoke-a-hagw is not attached to a transit"));
  EXPECT_EQ(log.messages(logging::ERROR),
            std::vector<std::string>{"  **Error** spoke spoke-a-hagw-3 private_ip not found"});
  EXPECT_FALSE(log.contains("spoke-a-hagw-3 is not attached"));

  element.erase("hagw_details");
  EXPECT_EQ(scaling(Doc::array({element})).size(), 1u);
}

struct FailingAnswer {
  const char* name;
  Doc answer;
  const char* logged;
};

class SpokeQueryFailures : public SpokeQueries, public ::testing::WithParamInterface<FailingAnswer> {};

TEST_P(SpokeQueryFailures, LogOneErrorAndYieldNothingInBothVariants) {
  for (const char* path : {"/v1/api", "/v2/api"}) {
    log.clear();
    controller->answerListing(path, GetParam().answer);
    testing::internal::CaptureStderr();
    auto found = std::string(path) == "/v1/api" ? Spoke::getSpokeInfo(url(path), "cid-7f3a", "spoke-a")
                                                : Spoke::getHsSpokeInfo(url(path), "cid-7f3a", "spoke-a");
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(found.empty()) << path;
    EXPECT_EQ(log.messages(logging::ERROR), std::vector<std::string>{GetParam().logged}) << path;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, SpokeQueryFailures,
    ::testing::Values(
        FailingAnswer{"Refused", RecordingController::refusal("CID is invalid or expired."),
                      "  **Error** Failed to get gateway info from controller. CID is invalid or expired."},
        FailingAnswer{"NotJson", RecordingController::text("<html>busy</html>"),
                      "  **Error** Failed to receive transit gateway info for spoke spoke-a. "
                      "the controller's answer is not JSON"},
        FailingAnswer{"Empty", RecordingController::text(""),
                      "  **Error** Failed to receive transit gateway info for spoke spoke-a. "
                      "the controller's answer is not JSON"},
        FailingAnswer{"MissingMember",
                      RecordingController::gateways(Doc::array(
                          {{{"gw_name", "spoke-a"}, {"private_ip", "10.1.0.1"}, {"transit_gw_name", "tgw-1"}}})),
                      "  **Error** Failed to receive transit gateway info for spoke spoke-a. "
                      "gateway record without \"public_ip\""}),
    [](const auto& info) { return std::string(info.param.name); });

// The search proper, with the controller answering and EC2 scripted.
class SpokeSearch : public SpokeQueries {
 protected:
  void SetUp() override {
    SpokeQueries::SetUp();
    vpc.install(ec2);
    tarnwick::Globals::TEST_CONFIG = (dir / "subnet.config").string();
    args.vpc = "vpc-0a1";
  }
  void runClassic(const Doc& results) {
    controller->answerListing("/v1/api", RecordingController::gateways(results));
    Spoke::findClassicSpokes(args, ec2, url("/v1/api"), "cid-7f3a", "spoke-a");
  }
  std::string written() const { return testbed::readFile(tarnwick::Globals::TEST_CONFIG); }
  bool fileExists() const { return std::filesystem::exists(tarnwick::Globals::TEST_CONFIG); }

  testbed::TempDir dir;
  testbed::FakeEc2 ec2;
  discovery::ScriptedVpc vpc;
  tarnwick::SearchOptions args;
};

TEST_F(SpokeSearch, TestSubnetIsTheFirstAssociationOfTheFirstRoutingTable) {
  vpc.interfacesByPublicIp["3.3.3.1"] = {"eni-a", "eni-other"};
  vpc.subnets["s3"] = {"10.20.1.64/26"};
  vpc.addRouteTable({"eni-other"}, {"s9"});
  vpc.addRouteTable({"eni-a"}, {"s3"});
  vpc.addRouteTable({"eni-a"}, {"s1", "s2"});
  runClassic(Doc::array({gatewayRecord("spoke-a", "10.1.0.10", "3.3.3.1")}));

  EXPECT_EQ(written(),
            "[\n  {\n    \"gw_name\": \"spoke-a\",\n    \"gw_private_ip\": \"10.1.0.10\",\n"
            "    \"gw_subnet_id\": \"subnet-spoke-a\",\n    \"gw_subnet_cidr\": \"10.1.0.0/24\",\n"
            "    \"private_subnet_id\": \"s3\",\n    \"private_subnet_cidr\": \"10.20.1.64/26\",\n"
            "    \"private_subnet_gw_ip\": \"10.20.1.65\"\n  }\n]\n");
  EXPECT_EQ(ec2.params("DescribeRouteTables", 0), Doc({{"Filters", {{{"Name", "vpc-id"}, {"Values", {"vpc-0a1"}}}}}}));
  EXPECT_EQ(ec2.params("DescribeSubnets"), Doc({{"SubnetIds", {"s3"}}}));
}

struct BrokenVpc {
  const char* name;
  std::vector<std::string> association;  // of the table routing to eni-a
  const char* publicIp;                  // the gateway's
};

class SpokeSearchFailures : public SpokeSearch, public ::testing::WithParamInterface<BrokenVpc> {};

TEST_P(SpokeSearchFailures, EndTheSearchOnStandardErrorWithoutFileOrErrorLog) {
  vpc.interfacesByPublicIp["3.3.3.1"] = {"eni-a"};
  vpc.subnets["s1"] = {"10.20.1.0/24"};
  vpc.addRouteTable({"eni-a"}, GetParam().association);
  testing::internal::CaptureStderr();
  runClassic(Doc::array({gatewayRecord("spoke-a", "10.1.0.10", GetParam().publicIp)}));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("spoke subnet search failed"), std::string::npos) << err;
  EXPECT_FALSE(fileExists());
  EXPECT_EQ(log.count(logging::ERROR), 0);
  EXPECT_FALSE(log.contains("test.config:"));
}

INSTANTIATE_TEST_SUITE_P(Vpcs, SpokeSearchFailures,
                         ::testing::Values(BrokenVpc{"MainTableAssociation", {""}, "3.3.3.1"},
                                           BrokenVpc{"NoInterface", {"s1"}, "7.7.7.7"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SpokeRecord, DefinedByPrivateAddressOrTransitAndEntryNeedsASubnet) {
  Spoke fresh;
  EXPECT_FALSE(fresh.isDefined());
  fresh.transit_name = "tgw-1";
  EXPECT_TRUE(fresh.isDefined());
  EXPECT_THROW(fresh.toDict(), std::out_of_range);
  EXPECT_EQ(tarnwick::spoke::firstHostAddress("10.20.1.0/24"), "10.20.1.1");
  EXPECT_EQ(tarnwick::spoke::firstHostAddress("10.20.1.77/26"), "10.20.1.65");
  EXPECT_THROW(tarnwick::spoke::firstHostAddress("10.20.1/24"), std::invalid_argument);
}

}  // namespace
