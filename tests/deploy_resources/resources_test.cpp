// Deployment resources against recording fakes, for what the emulator cannot show: member
// order of the requests, and the handling of service answers it never gives.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tarnwick_testlibs/aws/clock.h"
#include "tarnwick_testlibs/bin/core/AppExitStatus.h"
#include "tarnwick_testlibs/bin/probe_deployer.h"
#include "tarnwick_testlibs/bin/probe_deployer/detail/resource_support.h"
#include "testbed/fake_server.h"
#include "testbed/fakes.h"
#include "testbed/log_capture.h"
#include "testbed/process.h"

using namespace tarnwick;
using namespace tarnwick::probe_deployer;
using logging::ERROR;
using logging::INFO;
using testbed::serviceError;
using Keys = std::vector<std::string>;

namespace {

Keys keysOf(const Doc& object) {
  Keys keys;
  for (const auto& item : object.items()) keys.push_back(item.key());
  return keys;
}

class Resources : public ::testing::Test {
 protected:
  testbed::FakeEc2 ec2;
  testbed::FakeIam iam;
  testbed::FakeServer ipService{testbed::FakeServer::Mode::PublicIp, {{"ip", "203.0.113.7"}}};
  testbed::ScopedEnv env{{"TARNWICK_PUBLIC_IP_URL", ipService.url()}};
  Options args;
  testbed::LogCapture log;
};

TEST_F(Resources, CreationRequestsKeepTheirMemberOrder) {
  ec2.answer("CreateSecurityGroup", {{"GroupId", "sg-9"}});
  ec2.answer("CreateKeyPair", {{"KeyMaterial", "k"}});
  ec2.answer("AllocateAddress", Doc::object());
  iam.answer("CreatePolicy", {{"Policy", {{"Arn", "arn:p"}}}});
  testbed::TempDir dir;
  args.backup_folder = dir.str();
  createSG(ec2, "vpc-1", args);
  createKeyPair(ec2, nullptr, "vpc-1", args);
  associateEIP(ec2, "eni-1", "vpc-1", args);
  createS3Policy(iam, args);
  createEc2Role(iam, "arn:p");

  EXPECT_EQ(keysOf(ec2.params("CreateSecurityGroup")),
            (Keys{"Description", "GroupName", "VpcId", "TagSpecifications"}));
  EXPECT_EQ(keysOf(ec2.params("AuthorizeSecurityGroupIngress")["IpPermissions"][0]),
            (Keys{"FromPort", "IpProtocol", "IpRanges", "ToPort"}));
  EXPECT_EQ(keysOf(ec2.params("CreateKeyPair")), (Keys{"KeyName", "KeyType", "TagSpecifications", "KeyFormat"}));
  EXPECT_EQ(keysOf(ec2.params("AllocateAddress")), (Keys{"Domain", "TagSpecifications"}));
  EXPECT_EQ(keysOf(iam.params("CreatePolicy")), (Keys{"PolicyName", "PolicyDocument", "Description", "Tags"}));
  // Documents: separate statements with one-element lists; the trust action is a plain string.
  EXPECT_EQ(Doc::parse(iam.params("CreatePolicy")["PolicyDocument"].get<std::string>()).dump(),
            R"({"Version":"2012-10-17","Statement":[)"
            R"({"Effect":"Allow","Action":["s3:ListBucket"],"Resource":["arn:aws:s3:::*"]},)"
            R"({"Effect":"Allow","Action":["s3:GetObject"],"Resource":["arn:aws:s3:::*"]},)"
            R"({"Effect":"Allow","Action":["s3:PutObject"],"Resource":["arn:aws:s3:::*"]}]})");
  EXPECT_EQ(Doc::parse(iam.params("CreateRole")["AssumeRolePolicyDocument"].get<std::string>()).dump(),
            R"({"Version":"2012-10-17","Statement":[{"Effect":"Allow","Principal":{"Service":"ec2.amazonaws.com"},)"
            R"("Action":"sts:AssumeRole"}]})");
  EXPECT_TRUE(log.contains(INFO, "  **Error** fail to allocate EIP"));
  EXPECT_EQ(ec2.count("AssociateAddress"), 0);
}

TEST_F(Resources, GroupCreationFailureEndsTheProcessWithoutAnErrorRecord) {
  ec2.answer("CreateSecurityGroup", {{"GroupId", "sg-9"}});
  ec2.fail("AuthorizeSecurityGroupIngress", serviceError("InvalidPermission.Malformed", "bad"));
  try {
    createSG(ec2, "vpc-1", args);
    FAIL() << "the process should end";
  } catch (const ProcessExit& e) {
    EXPECT_EQ(e.status(), kExitFatal);
    EXPECT_NE(std::string(e.what()).find("InvalidPermission.Malformed"), std::string::npos);
  }
  EXPECT_EQ(log.count(ERROR), 0);
}

TEST_F(Resources, GroupLookupFailuresCountAsNotFoundExceptCallFailures) {
  ec2.fail("DescribeSecurityGroups", serviceError("InvalidGroup.NotFound", "gone"));
  ec2.fail("DescribeSecurityGroups", serviceError("UnauthorizedOperation", "no"));
  ec2.fail("DescribeSecurityGroups", tarnwick::aws::ClientError("connection refused"));
  EXPECT_EQ(getSgId(ec2, "vpc-1", "g"), std::nullopt);
  EXPECT_EQ(getSgId(ec2, "vpc-1", "g"), std::nullopt);
  EXPECT_THROW(getSgId(ec2, "vpc-1", "g"), tarnwick::aws::ClientError);
  EXPECT_EQ(log.messages(ERROR), Keys{"  **Error** SG not found g in vpc-1"});
}

// An interface of an instance just terminated holds its group a while: the deletion asks again
// on short rounds, and gives up with its report only after the waiters' limit of 585 s.
TEST_F(Resources, GroupHeldByATerminatedInstanceIsDeletedOnALaterRound) {
  auto clock = std::make_shared<tarnwick::aws::ManualClock>();
  tarnwick::aws::setClock(clock);
  for (int i = 0; i < 2; ++i) ec2.fail("DeleteSecurityGroup", serviceError("DependencyViolation", "in use"));
  deleteSG(ec2, "sg-1", args);
  EXPECT_EQ(ec2.count("DeleteSecurityGroup"), 3);
  EXPECT_EQ(clock->slept(), std::chrono::seconds(4));
  ec2.always("DeleteSecurityGroup", [](const Doc&) -> Doc { throw serviceError("DependencyViolation", "in use"); });
  testing::internal::CaptureStderr();
  deleteSG(ec2, "sg-1", args);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("DependencyViolation"), std::string::npos);
  EXPECT_EQ(clock->slept(), std::chrono::seconds(4 + 585));
  EXPECT_LT(ec2.count("DeleteSecurityGroup"), 3 + 80);
  tarnwick::aws::setClock(nullptr);
}

// Only a repeat's refusal with the call's own code stands for its lost attempt's work; a first
// attempt's refusal is someone else's object, and a repeat's other refusals are failures.
TEST_F(Resources, RepeatIsTakenForItsLostAttemptsWorkOnlyWithItsOwnCode) {
  using tarnwick::aws::ServiceError;
  const auto repeated = [](ServiceError e) {
    e.markAfterLostAnswer();
    return e;
  };
  const std::vector<std::pair<ServiceError, bool>> refusals = {
      {serviceError("InvalidGroup.Duplicate"), false},
      {repeated(serviceError("InvalidGroup.Duplicate")), true},
      {ServiceError(repeated(serviceError("InvalidGroup.Duplicate")), "in other words"), true},
      {repeated(serviceError("InvalidGroup.NotFound")), false}};
  const auto create = [&] {
    return detail::repeatTolerant([&] { return ec2.create_security_group({}); }, "InvalidGroup.Duplicate");
  };
  for (const auto& [refusal, taken] : refusals) {
    ec2.fail("CreateSecurityGroup", refusal);
    if (taken) {
      EXPECT_EQ(create(), std::nullopt) << refusal.what();
    } else {
      EXPECT_THROW(create(), ServiceError) << refusal.what();
    }
  }
  ec2.answer("CreateSecurityGroup", {{"GroupId", "sg-9"}});
  EXPECT_EQ(create(), Doc({{"GroupId", "sg-9"}}));
}

TEST_F(Resources, FailedKeyLookupIsLoggedAndNoPairIsCreatedOnAGuess) {
  ec2.fail("DescribeKeyPairs", serviceError("RequestLimitExceeded", "slow down"));
  EXPECT_THROW(createKeyPair(ec2, nullptr, "vpc-1", args), tarnwick::aws::ServiceError);
  EXPECT_EQ(ec2.count("CreateKeyPair"), 0);
  EXPECT_TRUE(log.contains(ERROR, "  **Error** "));
}

TEST_F(Resources, PolicyWithoutArnIsPassedOnAndNothingIsAttached) {
  iam.fail("CreatePolicy", serviceError("LimitExceeded", "too many"));
  EXPECT_THROW(createS3Policy(iam, args), tarnwick::aws::ServiceError);
  EXPECT_EQ(log.count(ERROR), 0);
  iam.fail("CreatePolicy", tarnwick::aws::ClientError("no route"));
  EXPECT_THROW(createS3Policy(iam, args), tarnwick::aws::ClientError);
  EXPECT_EQ(log.count(ERROR), 0);  // passed on, and reported once, by whoever catches it
}

TEST_F(Resources, FullProfileIsAcceptedOnlyWhenItHoldsOurRole) {
  iam.always("AddRoleToInstanceProfile", [](const Doc&) -> Doc { throw serviceError("LimitExceeded", "quota"); });
  iam.answer("GetInstanceProfile", {{"InstanceProfile", {{"Roles", {{{"RoleName", kRoleName}}}}}}});
  iam.answer("GetInstanceProfile", {{"InstanceProfile", {{"Roles", {{{"RoleName", "someone-else"}}}}}}});
  EXPECT_NO_THROW(createInstanceProfile(iam));
  EXPECT_TRUE(log.contains(INFO, "  **Alert** "));
  EXPECT_THROW(createInstanceProfile(iam), tarnwick::aws::ServiceError);
}

Doc reservationsOf(const std::vector<std::vector<std::string>>& publicIpsPerInstance) {
  Doc reservations = Doc::array();
  for (const auto& ips : publicIpsPerInstance) {
    Doc nics = Doc::array({{{"NetworkInterfaceId", "eni-bare"}}});
    for (const auto& ip : ips) nics.push_back({{"Association", {{"PublicIp", ip}}}});
    reservations.push_back({{"Instances", {{{"InstanceId", "i-1"}, {"NetworkInterfaces", nics}}}}});
  }
  return {{"Reservations", reservations}};
}

TEST_F(Resources, SubnetLookupGivesTheInstanceAndItsSoleAssociatedAddress) {
  using Result = std::pair<std::optional<std::string>, std::optional<std::string>>;
  const std::vector<std::pair<Doc, Result>> cases = {
      {reservationsOf({{}, {}}), {std::nullopt, std::nullopt}},
      {reservationsOf({{"1.1.1.1", "2.2.2.2"}}), {"i-1", std::nullopt}},
      {reservationsOf({{"1.1.1.1"}}), {"i-1", "1.1.1.1"}},
      {reservationsOf({}), {std::nullopt, std::nullopt}},
  };
  for (const auto& [answer, expected] : cases) {
    ec2.answer("DescribeInstances", answer);
    EXPECT_EQ(getEc2(ec2, "subnet-1"), expected) << answer.dump();
  }
  ec2.answer("DescribeInstances", {{"Reservations", Doc::array()}, {"NextToken", "p2"}});
  ec2.answer("DescribeInstances", reservationsOf({{"1.1.1.1"}}));
  EXPECT_EQ(getEc2(ec2, "subnet-1"), (Result{"i-1", "1.1.1.1"}));
  EXPECT_TRUE(log.contains(INFO, "  **Alert** More than one ec2 with tag Name:tarnwick-test-ec2 found in subnet-1"));
  EXPECT_TRUE(log.contains(INFO, "  No ec2 with tag Name:tarnwick-test-ec2 found in subnet-1"));
}

}  // namespace
