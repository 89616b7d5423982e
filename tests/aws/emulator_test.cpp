// Every operation of the client layer against the emulator, through our own clients; boto3
// only prepares and inspects state.
#include <gtest/gtest.h>

#include <filesystem>

#include <nlohmann/json.hpp>

#include "tarnwick_testlibs/aws/clock.h"
#include "tarnwick_testlibs/aws/errors.h"
#include "tarnwick_testlibs/aws/session.h"
#include "tarnwick_testlibs/aws/waiters.h"
#include "testbed/emulator.h"
#include "testbed/fake_server.h"
#include "testbed/process.h"

namespace {

using tarnwick::aws::Doc;

class Emulator : public ::testing::Test {
 protected:
  void SetUp() override { testbed::moto().reset(); }

  testbed::UseMoto env_;
  tarnwick::aws::Session session_ = tarnwick::aws::Session::fromProfile(std::nullopt);
};

template <class F>
tarnwick::aws::ServiceError serviceErrorOf(F&& f) {
  try {
    f();
  } catch (const tarnwick::aws::ServiceError& e) {
    return e;
  }
  ADD_FAILURE() << "no service error";
  return tarnwick::aws::ServiceError("", "", 0, "", "");
}

// A VPC with one subnet, made with boto3.
Doc makeVpc() {
  return testbed::boto3Json(R"PY(
vpc = ec2.create_vpc(CidrBlock="10.20.0.0/16")["Vpc"]["VpcId"]
sub = ec2.create_subnet(VpcId=vpc, CidrBlock="10.20.1.0/24")["Subnet"]["SubnetId"]
out({"vpc": vpc, "subnet": sub})
)PY");
}

TEST_F(Emulator, SecurityGroupsSubnetsAndRoutesRoundTrip) {
  const Doc net = makeVpc();
  auto ec2 = session_.ec2();
  const Doc sg =
      ec2->create_security_group({{"GroupName", "probe-sg"}, {"Description", "probe"}, {"VpcId", net["vpc"]}});
  const std::string sgId = sg.at("GroupId");
  ec2->authorize_security_group_ingress(
      {{"GroupId", sgId},
       {"IpPermissions",
        {{{"IpProtocol", "tcp"}, {"FromPort", 22}, {"ToPort", 22}, {"IpRanges", {{{"CidrIp", "10.0.0.0/8"}}}}}}}});

  const Doc found = ec2->describe_security_groups(
      {{"Filters",
        {{{"Name", "vpc-id"}, {"Values", {net["vpc"]}}}, {{"Name", "group-name"}, {"Values", {"probe-sg"}}}}}});
  ASSERT_EQ(found.at("SecurityGroups").size(), 1u);
  const Doc& perm = found["SecurityGroups"][0].at("IpPermissions").at(0);
  EXPECT_EQ(perm.at("FromPort"), 22);  // typed, not text
  EXPECT_EQ(perm.at("IpRanges").at(0).at("CidrIp"), "10.0.0.0/8");

  const Doc subnets = ec2->describe_subnets({{"SubnetIds", {net["subnet"]}}});
  ASSERT_EQ(subnets.at("Subnets").size(), 1u);
  EXPECT_EQ(subnets["Subnets"][0].at("CidrBlock"), "10.20.1.0/24");
  EXPECT_TRUE(subnets["Subnets"][0].at("AvailableIpAddressCount").is_number_integer());

  const Doc routes = ec2->describe_route_tables({{"Filters", {{{"Name", "vpc-id"}, {"Values", {net["vpc"]}}}}}});
  ASSERT_FALSE(routes.at("RouteTables").empty());
  EXPECT_EQ(routes["RouteTables"][0].at("VpcId"), net["vpc"]);

  const Doc nats = ec2->describe_nat_gateways({{"Filter", {{{"Name", "vpc-id"}, {"Values", {net["vpc"]}}}}}});
  EXPECT_TRUE(nats.at("NatGateways").empty());  // present and empty, not absent

  ec2->delete_security_group({{"GroupId", sgId}});
  const auto gone = serviceErrorOf([&] { ec2->describe_security_groups({{"GroupIds", {sgId}}}); });
  EXPECT_EQ(gone.code(), "InvalidGroup.NotFound");
  EXPECT_EQ(gone.httpStatus(), 400);
}

TEST_F(Emulator, KeyPairsAreCreatedDescribedAndDeleted) {
  auto ec2 = session_.ec2();
  const Doc key = ec2->create_key_pair({{"KeyName", "probe-key"}});
  EXPECT_EQ(key.at("KeyName"), "probe-key");
  EXPECT_EQ(key.at("KeyMaterial").get<std::string>().rfind("-----BEGIN", 0), 0u);
  EXPECT_EQ(ec2->describe_key_pairs({{"KeyNames", {"probe-key"}}}).at("KeyPairs").size(), 1u);
  ec2->delete_key_pair({{"KeyName", "probe-key"}});
  EXPECT_EQ(serviceErrorOf([&] {
              ec2->describe_key_pairs({{"KeyNames", {"probe-key"}}});
            }).code(),
            "InvalidKeyPair.NotFound");
}

TEST_F(Emulator, InstanceLifecycleWithAddressesAndWaiters) {
  const Doc net = makeVpc();
  auto ec2 = session_.ec2();
  const Doc images = ec2->describe_images(
      {{"ExecutableUsers", {"all"}},
       {"Filters", {{{"Name", "name"}, {"Values", {"al2023-ami-2023.3.20240108.0-kernel-6.1-x86_64"}}}}},
       {"Owners", {"amazon"}},
       {"IncludeDeprecated", false}});
  ASSERT_EQ(images.at("Images").size(), 1u);
  const std::string imageId = images["Images"][0].at("ImageId");

  const Doc reservation = ec2->run_instances(
      {{"ImageId", imageId},
       {"InstanceType", "t3.micro"},
       {"MinCount", 1},
       {"MaxCount", 1},
       {"NetworkInterfaces", {{{"DeviceIndex", 0}, {"SubnetId", net["subnet"]}}}},
       {"TagSpecifications", {{{"ResourceType", "instance"}, {"Tags", {{{"Key", "Name"}, {"Value", "probe"}}}}}}}});
  const std::string id = reservation.at("Instances").at(0).at("InstanceId");

  auto clock = std::make_shared<tarnwick::aws::ManualClock>();
  tarnwick::aws::setClock(clock);
  tarnwick::aws::wait(*ec2, "instance_status_ok", {{"InstanceIds", {id}}});
  tarnwick::aws::setClock(nullptr);

  const Doc described = ec2->describe_instances({{"Filters", {{{"Name", "tag:Name"}, {"Values", {"probe"}}}}}});
  const Doc& inst = described.at("Reservations").at(0).at("Instances").at(0);
  EXPECT_EQ(inst.at("InstanceId"), id);
  EXPECT_TRUE(inst.at("AmiLaunchIndex").is_number_integer());
  EXPECT_TRUE(inst.at("EbsOptimized").is_boolean());
  EXPECT_EQ(inst.at("Tags").at(0).at("Value"), "probe");
  EXPECT_EQ(ec2->describe_instance_status({{"InstanceIds", {id}}}).at("InstanceStatuses").size(), 1u);

  const Doc enis =
      ec2->describe_network_interfaces({{"Filters", {{{"Name", "attachment.instance-id"}, {"Values", {id}}}}}});
  const Doc& eni = enis.at("NetworkInterfaces").at(0);
  EXPECT_FALSE(eni.contains("Association"));  // no public address yet
  const Doc eip = ec2->allocate_address({{"Domain", "vpc"}});
  ec2->associate_address(
      {{"AllocationId", eip.at("AllocationId")}, {"NetworkInterfaceId", eni.at("NetworkInterfaceId")}});
  const Doc addresses = ec2->describe_addresses({{"PublicIps", {eip.at("PublicIp")}}});
  EXPECT_EQ(addresses.at("Addresses").at(0).at("NetworkInterfaceId"), eni.at("NetworkInterfaceId"));
  const Doc withAddress = ec2->describe_network_interfaces({{"NetworkInterfaceIds", {eni.at("NetworkInterfaceId")}}});
  EXPECT_EQ(withAddress.at("NetworkInterfaces").at(0).at("Association").at("PublicIp"), eip.at("PublicIp"));

  ec2->terminate_instances({{"InstanceIds", {id}}});
  tarnwick::aws::wait(*ec2, "instance_terminated", {{"InstanceIds", {id}}}, {.delaySeconds = 0, .maxAttempts = 40});
  ec2->release_address({{"AllocationId", eip.at("AllocationId")}});
  EXPECT_TRUE(ec2->describe_addresses({}).at("Addresses").empty());
}

TEST_F(Emulator, ServiceErrorsCarryCodeMessageStatusAndRequestId) {
  auto ec2 = session_.ec2();
  const auto e = serviceErrorOf([&] { ec2->describe_instances({{"InstanceIds", {"i-0123456789abcdef0"}}}); });
  EXPECT_EQ(e.code(), "InvalidInstanceID.NotFound");
  EXPECT_NE(e.message().find("i-0123456789abcdef0"), std::string::npos);
  EXPECT_EQ(e.httpStatus(), 400);
  EXPECT_FALSE(e.requestId().empty());
  EXPECT_EQ(e.operation(), "DescribeInstances");
}

TEST_F(Emulator, IamRolePolicyAndProfileCycle) {
  auto iam = session_.iam();
  const std::string doc = R"({"Version":"2012-10-17","Statement":[{"Effect":"Allow","Action":"s3:*","Resource":"*"}]})";
  const std::string trust =
      R"({"Version":"2012-10-17","Statement":[{"Effect":"Allow","Principal":{"Service":"ec2.amazonaws.com"},"Action":"sts:AssumeRole"}]})";
  const std::string arn =
      iam->create_policy({{"PolicyName", "probe-policy"}, {"PolicyDocument", doc}}).at("Policy").at("Arn");
  const Doc listed = iam->list_policies({{"Scope", "Local"}});
  ASSERT_EQ(listed.at("Policies").size(), 1u);
  EXPECT_EQ(listed["Policies"][0].at("Arn"), arn);
  EXPECT_FALSE(listed.at("IsTruncated").get<bool>());

  const Doc role = iam->create_role({{"RoleName", "probe-role"},
                                     {"AssumeRolePolicyDocument", trust},
                                     {"Tags", {{{"Key", "Name"}, {"Value", "probe"}}}}});
  EXPECT_EQ(role.at("Role").at("RoleName"), "probe-role");
  iam->attach_role_policy({{"RoleName", "probe-role"}, {"PolicyArn", arn}});
  iam->create_instance_profile({{"InstanceProfileName", "probe-profile"}});
  iam->add_role_to_instance_profile({{"InstanceProfileName", "probe-profile"}, {"RoleName", "probe-role"}});
  const Doc profile = iam->get_instance_profile({{"InstanceProfileName", "probe-profile"}});
  EXPECT_EQ(profile.at("InstanceProfile").at("Roles").at(0).at("RoleName"), "probe-role");
  const Doc forRole = iam->list_instance_profiles_for_role({{"RoleName", "probe-role"}});
  EXPECT_EQ(forRole.at("InstanceProfiles").at(0).at("InstanceProfileName"), "probe-profile");

  iam->remove_role_from_instance_profile({{"InstanceProfileName", "probe-profile"}, {"RoleName", "probe-role"}});
  iam->delete_instance_profile({{"InstanceProfileName", "probe-profile"}});
  iam->detach_role_policy({{"RoleName", "probe-role"}, {"PolicyArn", arn}});
  iam->delete_role({{"RoleName", "probe-role"}});
  iam->delete_policy({{"PolicyArn", arn}});
  const auto e = serviceErrorOf([&] { iam->get_instance_profile({{"InstanceProfileName", "probe-profile"}}); });
  EXPECT_EQ(e.code(), "NoSuchEntity");
  EXPECT_EQ(e.httpStatus(), 404);
}

TEST_F(Emulator, StsIdentityAndAssumedRole) {
  auto sts = session_.sts();
  EXPECT_EQ(sts->get_caller_identity({}).at("Account").get<std::string>().size(), 12u);
  const Doc assumed =
      sts->assume_role({{"RoleArn", "arn:aws:iam::123456789012:role/probe"}, {"RoleSessionName", "probe"}});
  const Doc& c = assumed.at("Credentials");
  EXPECT_FALSE(c.at("AccessKeyId").get<std::string>().empty());
  EXPECT_FALSE(c.at("SessionToken").get<std::string>().empty());
  EXPECT_NE(c.at("Expiration").get<std::string>().find('T'), std::string::npos);
}

TEST_F(Emulator, SsmParametersByNameAndPath) {
  testbed::boto3(R"PY(
ssm.put_parameter(Name="/probe/secrets/key", Value="s3cr3t", Type="SecureString")
ssm.put_parameter(Name="/probe/plain", Value="v1", Type="String")
)PY");
  auto ssm = session_.ssm();
  const Doc one = ssm->get_parameter({{"Name", "/probe/secrets/key"}, {"WithDecryption", true}});
  EXPECT_EQ(one.at("Parameter").at("Value"), "s3cr3t");
  EXPECT_TRUE(one["Parameter"].at("Version").is_number_integer());
  EXPECT_TRUE(one["Parameter"].at("LastModifiedDate").is_string());  // ISO text, not epoch
  const Doc byPath = ssm->get_parameters_by_path({{"Path", "/probe"}});
  ASSERT_EQ(byPath.at("Parameters").size(), 1u);  // no recursion
  EXPECT_EQ(byPath["Parameters"][0].at("Name"), "/probe/plain");
  EXPECT_EQ(serviceErrorOf([&] { ssm->get_parameter({{"Name", "/probe/none"}}); }).code(), "ParameterNotFound");
}

class Transfers : public Emulator {
 protected:
  void SetUp() override {
    Emulator::SetUp();
    testbed::boto3(R"PY(s3.create_bucket(Bucket="probe-bucket"))PY");
  }
  static std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 4096) % 26);
    return s;
  }
  testbed::TempDir dir_;
};

TEST_F(Transfers, SmallAndMultipartFilesRoundTrip) {
  auto s3 = session_.s3();
  for (size_t size : {size_t(0), size_t(1000), size_t(17) * 1024 * 1024 + 5}) {
    const std::string body = pattern(size);
    const std::string src = dir_.write("src.bin", body);
    const std::string key = "backups/vpc-1/f" + std::to_string(size);
    s3->upload_file(src, "probe-bucket", key);
    const std::string dst = (dir_ / "dst.bin").string();
    s3->download_file("probe-bucket", key, dst);
    EXPECT_EQ(testbed::readFile(dst), body) << size;
  }
  const Doc uploads =
      testbed::boto3Json(R"PY(out(s3.list_multipart_uploads(Bucket="probe-bucket").get("Uploads", [])))PY");
  EXPECT_TRUE(uploads.empty());
  const Doc parts = testbed::boto3Json(R"PY(
h = s3.head_object(Bucket="probe-bucket", Key="backups/vpc-1/f17825797", PartNumber=1)
out(h["PartsCount"]))PY");
  EXPECT_EQ(parts, 3);  // 8 MiB + 8 MiB + the rest
}

TEST_F(Transfers, ListingFollowsContinuationTokensAndDeletes) {
  auto s3 = session_.s3();
  const std::string src = dir_.write("a.txt", "x");
  for (const char* k : {"backups/a", "backups/b", "backups/c", "other/d"}) s3->upload_file(src, "probe-bucket", k);
  std::vector<std::string> keys;
  Doc req = {{"Bucket", "probe-bucket"}, {"Prefix", "backups/"}, {"MaxKeys", 2}};
  for (int pages = 0; pages < 5; ++pages) {
    const Doc page = s3->list_objects_v2(req);
    for (const auto& o : page.value("Contents", Doc::array())) {
      keys.push_back(o.at("Key"));
      EXPECT_TRUE(o.at("Size").is_number_integer());
      EXPECT_TRUE(o.at("LastModified").is_string());
    }
    if (!page.contains("NextContinuationToken")) break;
    req["ContinuationToken"] = page["NextContinuationToken"];
  }
  EXPECT_EQ(keys, (std::vector<std::string>{"backups/a", "backups/b", "backups/c"}));
  s3->delete_object({{"Bucket", "probe-bucket"}, {"Key", "backups/b"}});
  const Doc rest = s3->list_objects_v2({{"Bucket", "probe-bucket"}, {"Prefix", "backups/b"}});
  EXPECT_FALSE(rest.contains("Contents"));
}

TEST_F(Transfers, FailedDownloadLeavesNoFileAndFailedUploadNoParts) {
  auto s3 = session_.s3();
  const std::string dst = (dir_ / "missing.bin").string();
  EXPECT_EQ(serviceErrorOf([&] { s3->download_file("probe-bucket", "no/such/key", dst); }).code(), "NoSuchKey");
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
  const std::string big = dir_.write("big.bin", pattern(9 * 1024 * 1024));
  EXPECT_THROW(s3->upload_file(big, "no-such-bucket", "k"), tarnwick::aws::ServiceError);
  EXPECT_THROW(s3->upload_file((dir_ / "absent").string(), "probe-bucket", "k"), tarnwick::aws::ClientError);
}

// Through a front that checks every signature from the bytes that arrive, as AWS does.
TEST_F(Transfers, ABucketElsewhereIsLearntOnceAndOddKeysAreSignedAsAwsChecksThem) {
  testbed::boto3("s3.create_bucket(Bucket='far-away', CreateBucketConfiguration={'LocationConstraint': 'eu-west-2'})");
  testbed::FakeServer front(testbed::FakeServer::Mode::AwsFront,
                            {{"upstream", testbed::moto().url()}, {"buckets", {{"far-away", "eu-west-2"}}}});
  testbed::ScopedEnv viaFront{{"AWS_ENDPOINT_URL", front.url()}};
  const std::string src = dir_.write("in.txt", "far"), dst = (dir_ / "out.txt").string();
  const std::vector<std::string> odd = {"dots/./x/../y", "odd dir/a b+c~d=e*f/\xc3\xbc.txt", "plus+"};
  for (const auto& key : odd) tarnwick::aws::Session::fromProfile(std::nullopt).s3()->upload_file(src, "far-away", key);
  EXPECT_EQ(session_.s3()
                ->list_objects_v2({{"Bucket", "far-away"}, {"Prefix", "odd dir/a b+c"}})
                .at("Contents")
                .at(0)
                .at("Key"),
            odd[1]);
  for (const auto& key : odd) session_.s3()->download_file("far-away", key, dst);
  EXPECT_EQ(front.requests().size(), 8u);  // one refusal, then every client goes straight to eu-west-2
}

// A bucket created moments ago: S3 sends the first request on with a 307, and it goes there once.
TEST_F(Transfers, ATemporaryRedirectIsFollowedOnceToItsNewAddress) {
  testbed::boto3("s3.create_bucket(Bucket='brand-new')");
  testbed::FakeServer front(
      testbed::FakeServer::Mode::AwsFront,
      {{"upstream", testbed::moto().url()}, {"newBuckets", {"brand-new"}}, {"redirectTo", testbed::moto().url()}});
  testbed::ScopedEnv viaFront{{"AWS_ENDPOINT_URL", front.url()}};
  tarnwick::aws::Session::fromProfile(std::nullopt).s3()->upload_file(dir_.write("in.txt", "new"), "brand-new", "k");
  EXPECT_EQ(session_.s3()->list_objects_v2({{"Bucket", "brand-new"}}).at("KeyCount"), 1);
  EXPECT_EQ(front.requests().size(), 2u);  // the upload's one, answered 307, and the listing
}

TEST_F(Emulator, RegionalClientsNeedARegionGlobalOnesDefault) {
  testbed::ScopedEnv noRegion;
  noRegion.unset("AWS_DEFAULT_REGION").unset("AWS_REGION");
  const auto s = tarnwick::aws::Session::fromProfile(std::nullopt);
  EXPECT_FALSE(s.defaultRegion());
  try {
    s.ec2();
    ADD_FAILURE() << "no error";
  } catch (const tarnwick::aws::ClientError& e) {
    EXPECT_STREQ(e.what(), "You must specify a region");
  }
  EXPECT_EQ(s.sts()->get_caller_identity({}).at("Account").get<std::string>().size(), 12u);
  EXPECT_NO_THROW(s.iam()->list_policies({{"Scope", "Local"}}));
  EXPECT_NO_THROW(s.ec2("eu-west-1")->describe_subnets({}));
}

}  // namespace
