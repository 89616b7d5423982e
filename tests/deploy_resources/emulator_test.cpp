// Deployment resources and bucket transfers against the AWS emulator: what ends up in the
// account (tags, rules, IAM links) and on disk, reruns, dry runs and the error latch.
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "tarnwick_testlibs/aws/session.h"
#include "tarnwick_testlibs/bin/core/AppExitStatus.h"
#include "tarnwick_testlibs/bin/core/FailureLatch.h"
#include "tarnwick_testlibs/bin/core/Globals.h"
#include "tarnwick_testlibs/bin/lib/s3.h"
#include "tarnwick_testlibs/bin/probe_deployer.h"
#include "testbed/emulator.h"
#include "testbed/fake_server.h"
#include "testbed/log_capture.h"
#include "testbed/process.h"

namespace fs = std::filesystem;
using namespace tarnwick;
using namespace tarnwick::probe_deployer;
using logging::ERROR;
using logging::INFO;
using testbed::boto3;
using testbed::boto3Json;
using Json = nlohmann::json;  // unordered: the emulator's member order is its own

namespace {

int modeOf(const fs::path& p) {
  struct stat st {};
  ::stat(p.c_str(), &st);
  return st.st_mode & 0777;
}

// The Name tag first, then the run's tags in the order given.
std::string runTags(const std::string& name) {
  return R"([{"Key":"Name","Value":")" + name + R"("},{"Key":"Owner","Value":"qa"},{"Key":"Team","Value":"net"}])";
}

class OnEmulator : public ::testing::Test {
 protected:
  void SetUp() override {
    testbed::moto().reset();
    args.tag_resource = "Owner,qa,Team,net";
    args.backup_folder = (dir / "a/b").string();
  }
  int count(const std::string& listing) { return boto3Json("out(len(" + listing + "))").get<int>(); }

  testbed::UseMoto useMoto;
  tarnwick::aws::Session session = tarnwick::aws::Session::fromProfile(std::nullopt);
  std::shared_ptr<tarnwick::aws::Ec2Client> ec2 = session.ec2();
  std::shared_ptr<tarnwick::aws::IamClient> iam = session.iam();
  std::shared_ptr<tarnwick::aws::S3Client> s3 = session.s3();
  testbed::FakeServer ipService{testbed::FakeServer::Mode::PublicIp, {{"ip", "203.0.113.7"}}};
  testbed::ScopedEnv ipEnv{{"TARNWICK_PUBLIC_IP_URL", ipService.url()}};
  testbed::TempDir dir;
  Options args;
  testbed::LogCapture log;
};

TEST_F(OnEmulator, SecurityGroupAdmitsSshFromTheHostOnlyAndIsReused) {
  const std::string vpc = boto3Json("out(ec2.create_vpc(CidrBlock='10.20.0.0/16')['Vpc']['VpcId'])");
  const auto id = createSG(*ec2, vpc, args);
  ASSERT_TRUE(id);
  auto group = boto3Json("out(ec2.describe_security_groups(GroupIds=['" + *id + "'])['SecurityGroups'][0])");
  EXPECT_EQ(group["Tags"][1]["Key"], "tarnwick:created-at");  // dates the group for a sweep
  group["Tags"].erase(1);
  EXPECT_EQ(group["Tags"].dump(), runTags(kSgName));
  EXPECT_EQ(Json::parse(group["IpPermissions"].dump()),
            Json::parse(R"([{"IpProtocol":"tcp","FromPort":22,"ToPort":22,"IpRanges":[{"CidrIp":"203.0.113.7/32",
              "Description":"SSH access from the workflow engine"}],"Ipv6Ranges":[],"PrefixListIds":[],"UserIdGroupPairs":[]}])"));

  EXPECT_EQ(createSG(*ec2, vpc, args), id);
  EXPECT_TRUE(log.contains(INFO, "- Reuse existing SG tarnwick-test-ec2-sg " + *id + " in " + vpc));
  deleteSG(*ec2, *id, args);
  EXPECT_EQ(getSgId(*ec2, vpc, kSgName), std::nullopt);

  args.dry_run = true;
  EXPECT_EQ(createSG(*ec2, vpc, args), std::nullopt);
  EXPECT_EQ(
      count("ec2.describe_security_groups(Filters=[{'Name':'vpc-id','Values':['" + vpc + "']}])['SecurityGroups']"), 1);
  EXPECT_EQ(ipService.requests().size(), 2u) << "the first creation and the dry run ask; the reuse does not";
  EXPECT_THROW(getVpcId(*ec2, "subnet-0000000000000dead"), ProcessExit);
}

TEST_F(OnEmulator, KeyPairIsStoredPrivatelyCopiedToTheBucketReusedAndDeleted) {
  boto3("s3.create_bucket(Bucket='bkt')");
  args.s3_bucket = "bkt";
  const std::string name = createKeyPair(*ec2, s3.get(), "vpc-1", args);
  const fs::path file = dir / "a/b/vpc-1" / (name + ".pem");
  const std::string content = testbed::readFile(file);
  EXPECT_EQ(content.rfind("-----BEGIN", 0), 0u);
  EXPECT_EQ(content.back(), '\n');
  EXPECT_EQ(modeOf(file), 0600);
  EXPECT_EQ(boto3Json("out(s3.get_object(Bucket='bkt', Key='backups/vpc-1/" + name + ".pem')['Body'].read().decode())"),
            content);
  EXPECT_EQ(boto3Json("out(ec2.describe_key_pairs(KeyNames=['" + name + "'])['KeyPairs'][0]['Tags'])").dump(),
            runTags("tarnwick-test-ec2-key-pair"));

  testbed::writeFile(file, "kept");
  EXPECT_EQ(createKeyPair(*ec2, s3.get(), "vpc-1", args), name);
  EXPECT_TRUE(log.contains(INFO, "  Key " + name + " already exist"));
  EXPECT_EQ(testbed::readFile(file), "kept");

  args.dry_run = true;
  deleteKeyPair(*ec2, name, args);
  EXPECT_EQ(createKeyPair(*ec2, s3.get(), "vpc-2", args), "tarnwick-test-ec2-key-pair-vpc-2");
  EXPECT_EQ(count("ec2.describe_key_pairs()['KeyPairs']"), 1);
  EXPECT_FALSE(fs::exists(dir / "a/b/vpc-2"));
  args.dry_run = false;
  deleteKeyPair(*ec2, name, args);
  EXPECT_EQ(count("ec2.describe_key_pairs()['KeyPairs']"), 0);
}

TEST_F(OnEmulator, StoredKeyFromParameterStoreIsWrittenVerbatimAndPrivately) {
  boto3("ssm.put_parameter(Name='/tarnwick/workflow/secrets/k', Value='PEM', Type='SecureString')");
  const std::string target = (dir / "k.pem").string();
  args.key_name = target;
  getPemKeyFromSSM(*session.ssm(), "/tarnwick/workflow/secrets/k", args);
  EXPECT_EQ(testbed::readFile(target), "PEM");
  EXPECT_EQ(modeOf(target), 0600);
}

TEST_F(OnEmulator, UntaggedKeyOfTheSameNameEndsTheRunAndLatchesTheExitStatus) {
  logging::getLogger(kLogger).addHandler(std::make_shared<FailureLatch>(ERROR));
  boto3("ec2.create_key_pair(KeyName='tarnwick-test-ec2-key-pair-vpc-9')");
  EXPECT_THROW(createKeyPair(*ec2, s3.get(), "vpc-9", args), ProcessExit);
  EXPECT_TRUE(log.contains(INFO, "  Key pair tarnwick-test-ec2-key-pair-vpc-9 already existed"));
  EXPECT_EQ(log.messages(ERROR), std::vector<std::string>{"  Failed to create private key"});
  EXPECT_EQ(AppExitStatus().getStatus(), kExitLoggedError);
}

TEST_F(OnEmulator, IamSetIsCreatedThriceAndRemovedInOrder) {
  const std::string expectedArn = "arn:aws:iam::123456789012:policy/tarnwick-test-ec2-policy";
  for (const char* account : {"", "", "123456789012"}) {  // new; existing found by listing; by option
    if (*account) args.account = account;
    const std::string arn = createS3Policy(*iam, args);
    EXPECT_EQ(arn, expectedArn);
    createEc2Role(*iam, arn);
    createInstanceProfile(*iam);
  }
  EXPECT_TRUE(log.messages(ERROR).empty()) << log.text();
  EXPECT_EQ(boto3Json(R"(out([r['RoleName'] for r in iam.get_instance_profile(
      InstanceProfileName='tarnwick-test-ec2-instance-profile')['InstanceProfile']['Roles']]))")
                .dump(),
            R"(["tarnwick-test-ec2-role"])");
  EXPECT_EQ(count("iam.list_attached_role_policies(RoleName='tarnwick-test-ec2-role')['AttachedPolicies']"), 1);

  deleteInstanceProfile(*iam);
  EXPECT_TRUE(log.messages(ERROR).empty()) << log.text();
  EXPECT_EQ(count("iam.list_instance_profiles()['InstanceProfiles']") + count("iam.list_roles()['Roles']") +
                count("iam.list_policies(Scope='Local')['Policies']"),
            0);
  deleteInstanceProfile(*iam);
  EXPECT_TRUE(log.messages(ERROR).empty()) << "parts already gone are no error: " << log.text();
}

// The Elastic IP's tags, association and release are shown by the deployment runs end to end.
TEST_F(OnEmulator, BackupFolderRoundTripsThroughTheBucketAndDryRunTouchesNothing) {
  boto3(
      "s3.create_bucket(Bucket='bkt')\nfor i in range(2500): s3.put_object(Bucket='bkt', Key='many/k%04d' % i, "
      "Body=b'')");
  for (const char* rel : {"a.pem", "sub/deeper/c.json", "run.log", "t.tfstate", "x.backup"})
    testbed::writeFile(dir / "src/vpc-1" / rel, rel);
  const std::optional<std::string> bucket = "bkt";
  s3::S3BackupCmd(s3.get(), (dir / "src").string(), bucket, "vpc-1").upload();
  s3::S3BackupCmd(s3.get(), (dir / "dst").string(), bucket, "vpc-1").download();
  EXPECT_EQ(testbed::readFile(dir / "dst/vpc-1/a.pem"), "a.pem");
  EXPECT_EQ(testbed::readFile(dir / "dst/vpc-1/sub/deeper/c.json"), "sub/deeper/c.json");
  EXPECT_EQ(std::distance(fs::recursive_directory_iterator(dir / "dst"), fs::recursive_directory_iterator()), 5)
      << "vpc-1, sub, deeper and the two files";

  Globals::dry_run = true;
  s3::deleteFolder(s3.get(), bucket, "");
  s3::S3BackupCmd(s3.get(), (dir / "dry").string(), bucket, "vpc-1").download();
  s3::S3BackupCmd(s3.get(), (dir / "src").string(), bucket, "vpc-2").upload();
  Globals::dry_run = false;
  EXPECT_FALSE(fs::exists(dir / "dry"));

  int listed = 0;
  std::string last;
  for (const auto& [key, modified] : s3::listAllFiles(s3.get(), bucket)) {
    EXPECT_LT(last, key);
    last = key;
    ++listed;
  }
  EXPECT_EQ(listed, 2505);
}

}  // namespace
