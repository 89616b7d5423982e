// Deployment resources and bucket transfers against the AWS emulator: what ends up in the
// account (tags, rules, IAM links), what lands on disk, reruns, dry runs and the error latch.
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "aws/session.h"
#include "capture.h"
#include "tarnwick_testlibs/bin/core/AppExitStatus.h"
#include "tarnwick_testlibs/bin/core/FailureLatch.h"
#include "tarnwick_testlibs/bin/core/Globals.h"
#include "tarnwick_testlibs/bin/lib/s3.h"
#include "tarnwick_testlibs/bin/probe_deployer.h"
#include "testbed/emulator.h"
#include "testbed/fake_server.h"
#include "testbed/process.h"

namespace fs = std::filesystem;
using namespace tarnwick;
using namespace tarnwick::probe_deployer;
using deploy_resources::Captured;
using logging::ERROR;
using logging::INFO;
using testbed::boto3;
using testbed::boto3Json;

namespace {

constexpr const char* kAccount = "123456789012";

class OnEmulator : public ::testing::Test {
 protected:
  void SetUp() override {
    testbed::moto().reset();
    Globals::dry_run = false;
    args.set("tag_resource", "Owner,qa,Team,net").set("backup_folder", (dir / "a/b").string());
  }
  std::string makeVpc(const std::string& cidr = "10.20.0.0/16") {
    return boto3Json("out(ec2.create_vpc(CidrBlock='" + cidr + "')['Vpc']['VpcId'])").get<std::string>();
  }

  testbed::UseMoto useMoto;
  aws::Session session = aws::Session::fromProfile(std::nullopt);
  std::shared_ptr<aws::Ec2Client> ec2 = session.ec2();
  std::shared_ptr<aws::IamClient> iam = session.iam();
  std::shared_ptr<aws::S3Client> s3 = session.s3();
  testbed::TempDir dir;
  Args args;
  Captured log{kLogger};
};

const std::string kRunTags = R"([{"Key":"Name","Value":"%s"},{"Key":"Owner","Value":"qa"},{"Key":"Team","Value":"net"}])";

std::string expectedTags(const std::string& name) {
  std::string t = kRunTags;
  return t.replace(t.find("%s"), 2, name);
}

class SecurityGroupsOnEmulator : public OnEmulator {
 protected:
  testbed::FakeServer ipService{testbed::FakeServer::Mode::PublicIp, {{"ip", "203.0.113.7"}}};
  testbed::ScopedEnv ipEnv{{"TARNWICK_PUBLIC_IP_URL", ipService.url()}};
};

TEST_F(SecurityGroupsOnEmulator, CreatedGroupIsTaggedAndAdmitsSshFromTheHostOnlyAndIsReused) {
  const std::string vpc = makeVpc();
  const auto id = createSG(*ec2, vpc, args);
  ASSERT_TRUE(id);
  const auto group = boto3Json("out(ec2.describe_security_groups(GroupIds=['" + *id + "'])['SecurityGroups'][0])");
  EXPECT_EQ(group["GroupName"], kSgName);
  EXPECT_EQ(group["Description"], "Tarnwick test ec2");
  EXPECT_EQ(group["Tags"].dump(), expectedTags(kSgName));
  ASSERT_EQ(group["IpPermissions"].size(), 1u);
  const auto& rule = group["IpPermissions"][0];
  EXPECT_EQ(rule["IpProtocol"], "tcp");
  EXPECT_EQ(rule["FromPort"], 22);
  EXPECT_EQ(rule["ToPort"], 22);
  EXPECT_EQ(nlohmann::json::parse(rule["IpRanges"].dump()),
            nlohmann::json::parse(R"([{"CidrIp":"203.0.113.7/32","Description":"SSH access from the workflow engine"}])"));

  EXPECT_EQ(createSG(*ec2, vpc, args), id);
  EXPECT_TRUE(log.has("- Reuse existing SG tarnwick-test-ec2-sg " + *id + " in " + vpc, INFO));
  EXPECT_EQ(ipService.requests().size(), 1u) << "a reused group needs no address";

  deleteSG(*ec2, *id, args);
  EXPECT_EQ(getSgId(*ec2, vpc, kSgName), std::nullopt);
}

TEST_F(SecurityGroupsOnEmulator, DryRunCreatesNoGroup) {
  const std::string vpc = makeVpc();
  args.setFlag("dry_run");
  EXPECT_EQ(createSG(*ec2, vpc, args), std::nullopt);
  EXPECT_EQ(createPrivateInfSG(*ec2, vpc, args), std::nullopt);
  EXPECT_EQ(boto3Json("out(len(ec2.describe_security_groups(Filters=[{'Name':'vpc-id','Values':['" + vpc +
                      "']}])['SecurityGroups']))"),
            1) << "only the VPC's default group";
}

TEST_F(SecurityGroupsOnEmulator, UnknownSubnetEndsTheProcess) {
  EXPECT_THROW(getVpcId(*ec2, "subnet-0000000000000dead"), ProcessExit);
  EXPECT_TRUE(log.has("  **Error** cannot find subnet subnet-0000000000000dead", INFO));
}

TEST_F(OnEmulator, KeyPairIsStoredPrivatelyCopiedToTheBucketAndReusedThenDeleted) {
  boto3("s3.create_bucket(Bucket='bkt')");
  args.set("s3_bucket", "bkt");
  const std::string name = createKeyPair(*ec2, s3.get(), "vpc-1", args);
  EXPECT_EQ(name, "tarnwick-test-ec2-key-pair-vpc-1");

  const fs::path file = dir / "a/b/vpc-1/tarnwick-test-ec2-key-pair-vpc-1.pem";
  const std::string content = testbed::readFile(file);
  ASSERT_FALSE(content.empty());
  EXPECT_EQ(content.rfind("-----BEGIN", 0), 0u);
  EXPECT_EQ(content.back(), '\n');
  struct stat st {};
  ::stat(file.c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(boto3Json("out(s3.get_object(Bucket='bkt', Key='backups/vpc-1/" + name + ".pem')['Body'].read().decode())"),
            content);
  const auto pair = boto3Json("out(ec2.describe_key_pairs(KeyNames=['" + name + "'])['KeyPairs'][0])");
  EXPECT_EQ(pair["Tags"].dump(), expectedTags("tarnwick-test-ec2-key-pair"));

  testbed::writeFile(file, "kept");
  EXPECT_EQ(createKeyPair(*ec2, s3.get(), "vpc-1", args), name);
  EXPECT_TRUE(log.has("  Key " + name + " already exist", INFO));
  EXPECT_EQ(testbed::readFile(file), "kept");

  deleteKeyPair(*ec2, name, args);
  EXPECT_EQ(boto3Json("out(len(ec2.describe_key_pairs()['KeyPairs']))"), 0);
  deleteKeyPair(*ec2, name, args);
  EXPECT_TRUE(log.has("  Key not found: " + name, INFO));
}

TEST_F(OnEmulator, DryRunCreatesNoKeyPairAndWritesNoFile) {
  args.setFlag("dry_run");
  createKeyPair(*ec2, s3.get(), "vpc-1", args);
  EXPECT_EQ(boto3Json("out(len(ec2.describe_key_pairs()['KeyPairs']))"), 0);
  EXPECT_FALSE(fs::exists(dir / "a"));
}

TEST_F(OnEmulator, UntaggedKeyOfTheSameNameEndsTheRunAndLatchesTheExitStatus) {
  auto latch = std::make_shared<FailureLatch>(ERROR);
  logging::getLogger(kLogger).addHandler(latch);
  boto3("ec2.create_key_pair(KeyName='tarnwick-test-ec2-key-pair-vpc-9')");
  EXPECT_THROW(createKeyPair(*ec2, s3.get(), "vpc-9", args), ProcessExit);
  EXPECT_TRUE(log.has("  Key pair tarnwick-test-ec2-key-pair-vpc-9 already existed", INFO));
  EXPECT_TRUE(log.has("  Failed to create private key", ERROR));
  EXPECT_EQ(AppExitStatus().getStatus(), kExitLoggedError);
}

TEST_F(OnEmulator, IamSetIsCreatedTwiceAndRemovedInOrder) {
  for (int run = 0; run < 2; ++run) {
    if (run == 1) args.set("account", kAccount);
    const std::string arn = createS3Policy(*iam, args);
    EXPECT_EQ(arn, std::string("arn:aws:iam::") + kAccount + ":policy/tarnwick-test-ec2-policy");
    createEc2Role(*iam, arn);
    createInstanceProfile(*iam);
  }
  EXPECT_TRUE(log.has(std::string("- Create instance profile ") + kInstanceProfile, INFO));
  EXPECT_GE(log.count(INFO), 12);
  EXPECT_TRUE(log.messages(ERROR).empty());
  const auto state = boto3Json(R"(
p = iam.get_instance_profile(InstanceProfileName='tarnwick-test-ec2-instance-profile')['InstanceProfile']
out({'roles': [r['RoleName'] for r in p['Roles']],
     'attached': [a['PolicyName'] for a in iam.list_attached_role_policies(RoleName='tarnwick-test-ec2-role')['AttachedPolicies']],
     'profileTags': p.get('Tags', [])})
)");
  EXPECT_EQ(state["roles"].dump(), R"(["tarnwick-test-ec2-role"])");
  EXPECT_EQ(state["attached"].dump(), R"(["tarnwick-test-ec2-policy"])");

  deleteInstanceProfile(*iam);
  EXPECT_TRUE(log.messages(ERROR).empty());
  const auto after = boto3Json(R"(
out({'profiles': len(iam.list_instance_profiles()['InstanceProfiles']),
     'roles': [r['RoleName'] for r in iam.list_roles()['Roles']],
     'policies': [p['PolicyName'] for p in iam.list_policies(Scope='Local')['Policies']]})
)");
  EXPECT_EQ(after["profiles"], 0);
  EXPECT_EQ(after["roles"].dump(), "[]");
  EXPECT_EQ(after["policies"].dump(), "[]");
}

TEST_F(OnEmulator, RevertOfAnEmptyAccountLogsBothProfileFailuresAndStops) {
  deleteInstanceProfile(*iam);
  EXPECT_EQ(log.count(ERROR), 2);
}

TEST_F(OnEmulator, ElasticIpIsTaggedAssociatedFoundAndReleased) {
  const std::string vpc = makeVpc();
  const auto ids = boto3Json(
      "sn = ec2.create_subnet(VpcId='" + vpc + "', CidrBlock='10.20.1.0/24')['Subnet']['SubnetId']\n"
      "eni = ec2.create_network_interface(SubnetId=sn)['NetworkInterface']['NetworkInterfaceId']\n"
      "out({'subnet': sn, 'eni': eni})");
  associateEIP(*ec2, ids["eni"].get<std::string>(), args);
  const auto address = boto3Json("out(ec2.describe_addresses()['Addresses'][0])");
  EXPECT_EQ(address["NetworkInterfaceId"], ids["eni"]);
  EXPECT_EQ(address["Tags"].dump(), expectedTags("tarnwick-test-ec2-eip"));

  releaseEIP(*ec2, address["PublicIp"].get<std::string>(), address["AllocationId"].get<std::string>(), "i-1", args);
  EXPECT_EQ(boto3Json("out(len(ec2.describe_addresses()['Addresses']))"), 0);
}

TEST_F(OnEmulator, BackupFolderRoundTripsThroughTheBucket) {
  boto3("s3.create_bucket(Bucket='bkt')");
  const std::string src = (dir / "src").string();
  testbed::writeFile(dir / "src/vpc-1/a.pem", "key\n");
  testbed::writeFile(dir / "src/vpc-1/sub/deeper/c.json", "{\"x\":1}");
  testbed::writeFile(dir / "src/vpc-1/run.log", "l");
  testbed::writeFile(dir / "src/vpc-1/t.tfstate", "t");
  s3::S3BackupCmd(s3.get(), src, std::string("bkt"), std::string("vpc-1")).upload();
  EXPECT_EQ(boto3Json("out(sorted(o['Key'] for o in s3.list_objects_v2(Bucket='bkt')['Contents']))").dump(),
            R"(["backups/vpc-1/a.pem","backups/vpc-1/run.log","backups/vpc-1/sub/deeper/c.json","backups/vpc-1/t.tfstate"])");

  s3::S3BackupCmd(s3.get(), (dir / "dst").string(), std::string("bkt"), std::string("vpc-1")).download();
  EXPECT_EQ(testbed::readFile(dir / "dst/vpc-1/a.pem"), "key\n");
  EXPECT_EQ(testbed::readFile(dir / "dst/vpc-1/sub/deeper/c.json"), "{\"x\":1}");
  EXPECT_FALSE(fs::exists(dir / "dst/vpc-1/run.log"));
  EXPECT_FALSE(fs::exists(dir / "dst/vpc-1/t.tfstate"));

  Globals::dry_run = true;
  s3::deleteFolder(s3.get(), std::string("bkt"), "backups/");
  s3::S3BackupCmd(s3.get(), (dir / "dry").string(), std::string("bkt"), std::string("vpc-1")).download();
  Globals::dry_run = false;
  EXPECT_EQ(boto3Json("out(s3.list_objects_v2(Bucket='bkt')['KeyCount'])"), 4);
  EXPECT_FALSE(fs::exists(dir / "dry"));
  s3::deleteFolder(s3.get(), std::string("bkt"), "backups/vpc-1/");
  EXPECT_EQ(boto3Json("out(s3.list_objects_v2(Bucket='bkt')['KeyCount'])"), 0);
}

TEST_F(OnEmulator, ListingOf2500ObjectsYieldsThemAllInKeyOrder) {
  boto3("s3.create_bucket(Bucket='big')\nfor i in range(2500): s3.put_object(Bucket='big', Key='k%04d' % i, Body=b'')");
  int n = 0;
  bool ordered = true;
  std::string last;
  for (const auto& [key, modified] : s3::listAllFiles(s3.get(), std::string("big"))) {
    ordered = ordered && key > last && !modified.empty();
    last = key;
    ++n;
  }
  EXPECT_EQ(n, 2500);
  EXPECT_TRUE(ordered);
}

}  // namespace
