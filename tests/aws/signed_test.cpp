// Our signatures checked for real: the emulator with its authentication on recomputes every
// signature, so a wrong one fails. S3 keys stay plain here (it rejects encoded paths).
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tarnwick_testlibs/aws/errors.h"
#include "tarnwick_testlibs/aws/session.h"
#include "testbed/emulator.h"
#include "testbed/fake_server.h"
#include "testbed/process.h"

namespace {

using tarnwick::aws::Doc;

// The first unauthenticated calls make a user with an allow-all policy and its access key, which
// makes a VPC for a deployment and a bucket in another region.
constexpr const char* kBootstrap = R"PY(
import json, boto3
iam = boto3.client("iam")
iam.create_user(UserName="probe")
iam.put_user_policy(UserName="probe", PolicyName="all", PolicyDocument=json.dumps(
    {"Version": "2012-10-17", "Statement": [{"Effect": "Allow", "Action": "*", "Resource": "*"}]}))
key = iam.create_access_key(UserName="probe")["AccessKey"]
user = boto3.Session(aws_access_key_id=key["AccessKeyId"], aws_secret_access_key=key["SecretAccessKey"])
vpc = user.client("ec2").create_vpc(CidrBlock="10.30.0.0/16")["Vpc"]["VpcId"]
gw, priv = [user.client("ec2").create_subnet(VpcId=vpc, CidrBlock=f"10.30.{i}.0/24")["Subnet"]["SubnetId"] for i in (0, 1)]
user.client("s3").create_bucket(Bucket="far-keys", CreateBucketConfiguration={"LocationConstraint": "eu-west-2"})
print(json.dumps({"id": key["AccessKeyId"], "secret": key["SecretAccessKey"], "vpc": vpc, "config": [{"gw_name": "gw-a",
  "gw_private_ip": "10.30.0.10", "gw_subnet_id": gw, "gw_subnet_cidr": "10.30.0.0/24", "private_subnet_id": priv,
  "private_subnet_cidr": "10.30.1.0/24", "private_subnet_gw_ip": "10.30.1.1"}]}))
)PY";

class SignedCalls : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = new testbed::MotoServer(testbed::EnvChanges{{"INITIAL_NO_AUTH_ACTION_COUNT", "3"}});
    testbed::RunOptions o;
    o.env = testbed::awsEnv(server_->url());
    const auto r = testbed::runProgram(testbed::python(), {"-c", kBootstrap}, o);
    ASSERT_EQ(r.status, 0) << r.err;
    const Doc key = Doc::parse(r.out);
    id_ = key.at("id");
    secret_ = key.at("secret");
    bootstrap_ = key;
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }

  void SetUp() override {
    env_.apply(testbed::awsEnv(server_->url()))
        .set("AWS_ACCESS_KEY_ID", id_)
        .set("AWS_SECRET_ACCESS_KEY", secret_)
        .set("AWS_MAX_ATTEMPTS", "1");
  }

  static tarnwick::aws::Session sessionWith(const std::string& secret) {
    tarnwick::aws::Credentials c;
    c.accessKeyId = id_;
    c.secretAccessKey = secret;
    return tarnwick::aws::Session::fromCredentials(c);
  }

  static inline testbed::MotoServer* server_ = nullptr;
  static inline std::string id_, secret_;
  static inline Doc bootstrap_;
  testbed::ScopedEnv env_;
};

TEST_F(SignedCalls, EveryProtocolIsAccepted) {
  const auto s = sessionWith(secret_);
  EXPECT_TRUE(s.ec2()
                  ->describe_subnets({{"Filters", {{{"Name", "default-for-az"}, {"Values", {"true"}}}}}})
                  .contains("Subnets"));
  EXPECT_EQ(s.ec2()->describe_images({{"Owners", {"amazon"}}, {"IncludeDeprecated", false}}).count("Images"), 1u);
  EXPECT_TRUE(s.iam()->list_policies({{"Scope", "Local"}}).contains("Policies"));
  EXPECT_FALSE(s.sts()->get_caller_identity({}).at("Arn").get<std::string>().empty());
  EXPECT_TRUE(s.ssm()->get_parameters_by_path({{"Path", "/probe"}}).contains("Parameters"));

  testbed::RunOptions o;
  o.env = testbed::awsEnv(server_->url());
  o.env["AWS_ACCESS_KEY_ID"] = id_;
  o.env["AWS_SECRET_ACCESS_KEY"] = secret_;
  const char* createBucket = "import boto3; boto3.client('s3').create_bucket(Bucket='signed')";
  ASSERT_EQ(testbed::runProgram(testbed::python(), {"-c", createBucket}, o).status, 0);
  testbed::TempDir dir;
  auto s3 = s.s3();
  s3->upload_file(dir.write("in.txt", "signed body"), "signed", "backups/vpc-1/in.txt");
  const Doc listed = s3->list_objects_v2({{"Bucket", "signed"}, {"Prefix", "backups"}});  // a "/" would be encoded
  EXPECT_EQ(listed.at("Contents").at(0).at("Key"), "backups/vpc-1/in.txt");
  s3->download_file("signed", "backups/vpc-1/in.txt", (dir / "out.txt").string());
  EXPECT_EQ(testbed::readFile(dir / "out.txt"), "signed body");
  s3->delete_object({{"Bucket", "signed"}, {"Key", "backups/vpc-1/in.txt"}});
}

TEST_F(SignedCalls, AWrongSecretIsRefusedAsAServiceError) {
  const auto s = sessionWith(secret_ + "x");
  auto refused = [](auto&& f) {
    try {
      f();
    } catch (const tarnwick::aws::ServiceError& e) {
      EXPECT_FALSE(e.code().empty());
      EXPECT_GE(e.httpStatus(), 400);
      return true;
    }
    return false;
  };
  EXPECT_TRUE(refused([&] { s.ec2()->describe_subnets({}); }));
  EXPECT_TRUE(refused([&] { s.iam()->list_policies({}); }));
  EXPECT_TRUE(refused([&] { s.sts()->get_caller_identity({}); }));
  EXPECT_TRUE(refused([&] { s.ssm()->get_parameter({{"Name", "/x"}}); }));  // XML error on a JSON service
  EXPECT_TRUE(refused([&] { s.s3()->list_objects_v2({{"Bucket", "signed"}}); }));
}

// Under the emulator's authentication and behind the checking front, with odd tag values.
TEST_F(SignedCalls, ADeployWithOddTagValuesStoresItsKeyInABucketElsewhere) {
  testbed::TempDir dir;
  dir.write("in.config", bootstrap_["config"].dump());
  testbed::FakeServer ipEcho(testbed::FakeServer::Mode::PublicIp);
  testbed::FakeServer front(testbed::FakeServer::Mode::AwsFront, {{"upstream", server_->url()},
                                                                  {"wrongRegion", "malformed"},
                                                                  {"buckets", {{"far-keys", "eu-west-2"}}},
                                                                  {"secrets", {{id_, secret_}}}});
  testbed::RunOptions o{testbed::awsEnv(front.url()), "", dir.str()};
  for (auto [name, value] : {std::pair{"AWS_ACCESS_KEY_ID", id_},
                             {"AWS_SECRET_ACCESS_KEY", secret_},
                             {"TARNWICK_PUBLIC_IP_URL", ipEcho.url() + "/"}})
    o.env[name] = value;
  const std::string odd = "a+b ~*=/ \xc3\xa9";
  EXPECT_EQ(testbed::runProgram(TWK_PROBE_DEPLOYER,
                                {"--test_config", "in.config", "--output_test_config", "out.config", "--s3_bucket",
                                 "far-keys", "--tag_resource", "Owner,qa team,Note," + odd},
                                o)
                .status,
            0);
  const Doc tags =
      sessionWith(secret_).ec2()->describe_instances({}).at("Reservations").at(0).at("Instances").at(0).at("Tags");
  EXPECT_EQ(tags.at(1).at("Value").get<std::string>() + "|" + tags.at(2).at("Value").get<std::string>(),
            "qa team|" + odd);
  const std::string vpc = bootstrap_["vpc"], key = "backups/" + vpc + "/tarnwick-test-ec2-key-pair-" + vpc + ".pem";
  EXPECT_EQ(sessionWith(secret_).s3()->list_objects_v2({{"Bucket", "far-keys"}}).at("Contents").at(0).at("Key"), key);
}

}  // namespace
