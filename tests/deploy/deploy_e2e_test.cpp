// probe_deployer's deploy and revert runs, end to end against the emulator: what the user sees
// (exit status, messages, the output configuration) and what is left in the cloud.
#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "testbed/emulator.h"
#include "testbed/fake_server.h"
#include "testbed/process.h"

using Json = nlohmann::ordered_json;

namespace {
const Json kNothingLeft = Json::parse(
    R"({"instances": 0, "groups": [], "keys": [], "addresses": [], "profiles": [], "roles": [], "policies": []})");

class DeployE2E : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ipEcho_ = new testbed::FakeServer(testbed::FakeServer::Mode::PublicIp, Json{{"ip", "203.0.113.7"}});
  }
  static void TearDownTestSuite() {
    delete ipEcho_;
    ipEcho_ = nullptr;
  }

  void SetUp() override {
    testbed::moto().reset();
    net_ = testbed::boto3Json(R"(
vpc = ec2.create_vpc(CidrBlock="10.20.0.0/16")["Vpc"]["VpcId"]
def sn(cidr, v=None): return ec2.create_subnet(VpcId=v or vpc, CidrBlock=cidr)["Subnet"]["SubnetId"]
vpc2 = ec2.create_vpc(CidrBlock="10.30.0.0/16")["Vpc"]["VpcId"]
out({"vpc": vpc, "gwA": sn("10.20.0.0/24"), "privA": sn("10.20.1.0/24"), "gwB": sn("10.20.2.0/24"), "privB": sn("10.20.3.0/24"),
     "gwC": sn("10.20.4.0/24"), "vpc2": vpc2, "gwD": sn("10.30.0.0/24", vpc2), "privD": sn("10.30.1.0/24", vpc2)})
)");
    spoke_ = {{"gw_name", "gw-a"},
              {"gw_private_ip", "10.20.0.10"},
              {"gw_subnet_id", net_["gwA"]},
              {"gw_subnet_cidr", "10.20.0.0/24"},
              {"private_subnet_id", net_["privA"]},
              {"private_subnet_cidr", "10.20.1.0/24"},
              {"private_subnet_gw_ip", "10.20.1.1"}};
    nat_ = {{"nat_gw_id", "nat-b"},
            {"gw_private_ip", "10.20.2.10"},
            {"gw_public_ip", "198.51.100.2"},
            {"gw_subnet_id", net_["gwB"]},
            {"gw_subnet_cidr", "10.20.2.0/24"},
            {"private_subnet_id", net_["privB"]},
            {"private_subnet_cidr", "10.20.3.0/24"},
            {"private_subnet_gw_ip", "10.20.3.1"}};
    unplaced_ = nat_;
    unplaced_["nat_gw_id"] = "nat-c";
    unplaced_["gw_subnet_id"] = net_["gwC"];
    unplaced_["private_subnet_id"] = "";
  }

  std::string writeConfig(const Json& entries) { return dir_.write("in.config", entries.dump(2)); }

  // `proxy`: the kill proxy's WHEN (kill_proxy.py); "": the program alone.
  testbed::RunResult run(std::vector<std::string> args, const std::string& proxy = "",
                         const testbed::MotoServer& server = testbed::moto()) {
    args.insert(args.end(), {"--summary_json", "summary.json"});
    testbed::RunOptions options;
    options.env = testbed::awsEnv(server.url());
    options.env["TARNWICK_PUBLIC_IP_URL"] = ipEcho_->url() + "/";
    for (const auto& [name, value] : env_) options.env[name] = value;
    options.cwd = dir_.str();
    if (proxy.empty()) return testbed::runProgram(TWK_PROBE_DEPLOYER, args, options);
    args.insert(args.begin(), {testbed::testbedDir() + "/kill_proxy.py", proxy, TWK_PROBE_DEPLOYER});
    return testbed::runProgram(testbed::python(), args, options);
  }
  testbed::RunResult deploy(const Json& entries, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--test_config", writeConfig(entries), "--output_test_config", "out.config"};
    args.insert(args.end(), extra.begin(), extra.end());
    return run(args);
  }
  testbed::RunResult revert(const Json& entries, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--revert", "--test_config", writeConfig(entries)};
    args.insert(args.end(), extra.begin(), extra.end());
    return run(args);
  }
  Json output() { return Json::parse(testbed::readFile(dir_ / "out.config")); }
  Json summary() { return Json::parse(testbed::readFile(dir_ / "summary.json")); }

  // Test instances that are not terminated, in launch order.
  Json liveInstances() {
    return testbed::boto3Json(R"(
r = ec2.describe_instances(Filters=[{"Name": "tag:Name", "Values": ["tarnwick-test-ec2"]},
    {"Name": "instance-state-name", "Values": ["pending", "running", "stopped", "stopping"]}])
out(sorted([i for res in r["Reservations"] for i in res["Instances"]], key=lambda i: i["LaunchTime"]))
)");
  }
  Json leftovers(const testbed::MotoServer& server = testbed::moto()) {
    return Json::parse(testbed::boto3(R"(
groups = ec2.describe_security_groups(Filters=[{"Name": "vpc-id", "Values": [")" +
                                          net_["vpc"].get<std::string>() + R"("]}])
live = ec2.describe_instances(Filters=[{"Name": "instance-state-name", "Values": ["pending", "running", "stopping", "stopped"]}])
out({"instances": sum(len(r["Instances"]) for r in live["Reservations"]), "groups": sorted(g["GroupName"] for g in groups["SecurityGroups"] if g["GroupName"] != "default"),
     "keys": [k["KeyName"] for k in ec2.describe_key_pairs()["KeyPairs"]],
     "addresses": [a["PublicIp"] for a in ec2.describe_addresses()["Addresses"]],
     "profiles": [p["InstanceProfileName"] for p in iam.list_instance_profiles()["InstanceProfiles"]],
     "roles": [r["RoleName"] for r in iam.list_roles()["Roles"]],
     "policies": [p["PolicyName"] for p in iam.list_policies(Scope="Local")["Policies"]]})
)",
                                      server));
  }
  std::string keyName() const { return "tarnwick-test-ec2-key-pair-" + net_["vpc"].get<std::string>(); }

  static testbed::FakeServer* ipEcho_;
  testbed::TempDir dir_;
  testbed::EnvChanges env_;  // on top of the emulator's environment
  Json net_, spoke_, nat_, unplaced_;
};

testbed::FakeServer* DeployE2E::ipEcho_ = nullptr;

Json sorted(Json list) {
  std::sort(list.begin(), list.end());
  return list;
}

Json idsOf(const Json& instances) {
  Json ids = Json::array();
  for (const auto& instance : instances) ids.push_back(instance["InstanceId"]);
  return sorted(ids);
}

std::vector<std::string> keysOf(const Json& object) {
  std::vector<std::string> keys;
  for (const auto& [k, v] : object.items()) keys.push_back(k);
  return keys;
}

TEST_F(DeployE2E, DeployPlacesOneInstancePerTestSubnetAndExtendsTheConfiguration) {
  const auto r = deploy(Json::array({spoke_, nat_, unplaced_}), {"--tag_resource", "Owner,qa"});
  EXPECT_EQ(r.status, 40) << r.err;
  EXPECT_NE(r.err.find("  **Error** Skip nat-c -- private_subnet_id not defined"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("\n- Deployed 2 of 3 entries (0 reused, 2 launched), 1 failed\n"), std::string::npos);
  const Json doc = summary();
  EXPECT_EQ(doc["exit_status"], 40);
  ASSERT_EQ(doc["entries"].size(), 3u);
  EXPECT_EQ(doc["entries"][2], Json({{"subnet_id", net_["gwC"]},
                                     {"instance_id", nullptr},
                                     {"public_ip", nullptr},
                                     {"private_ip", nullptr},
                                     {"outcome", "failed"}}));

  const Json out = output();
  ASSERT_EQ(out.size(), 3u);
  for (int i = 0; i < 2; ++i) {
    const Json& original = i == 0 ? spoke_ : nat_;
    std::vector<std::string> expected = keysOf(original);
    expected.push_back("ec2_ip");
    expected.push_back("ec2_2nd_private_ip");
    EXPECT_EQ(keysOf(out[i]), expected) << out[i].dump();
  }
  EXPECT_EQ(out[2], unplaced_);

  const Json instances = liveInstances();
  ASSERT_EQ(instances.size(), 2u) << instances.dump();
  const Json groups = testbed::boto3Json(R"(
out({g["GroupName"]: g["GroupId"] for g in ec2.describe_security_groups()["SecurityGroups"]}))");
  for (size_t i = 0; i < 2; ++i) {
    const Json& entry = out[i];
    SCOPED_TRACE(entry["gw_subnet_id"].get<std::string>());
    const auto inst = std::find_if(instances.begin(), instances.end(),
                                   [&](const Json& in) { return in["SubnetId"] == entry["gw_subnet_id"]; });
    ASSERT_NE(inst, instances.end());
    Json nics = (*inst)["NetworkInterfaces"];
    std::sort(nics.begin(), nics.end(), [](const Json& a, const Json& b) {
      return a["Attachment"]["DeviceIndex"] < b["Attachment"]["DeviceIndex"];
    });
    ASSERT_EQ(nics.size(), 2u);
    EXPECT_EQ(nics[0]["SubnetId"], entry["gw_subnet_id"]);
    EXPECT_EQ(nics[1]["SubnetId"], entry["private_subnet_id"]);
    EXPECT_EQ(nics[0]["Groups"][0]["GroupId"], groups["tarnwick-test-ec2-sg"]);
    EXPECT_EQ(nics[1]["PrivateIpAddress"], entry["ec2_2nd_private_ip"]);
    EXPECT_EQ((*inst)["PublicIpAddress"], entry["ec2_ip"]);
    EXPECT_EQ((*inst)["KeyName"], keyName());
    EXPECT_EQ((*inst)["Tags"],
              Json::parse(R"([{"Key": "Name", "Value": "tarnwick-test-ec2"}, {"Key": "Owner", "Value": "qa"}])"));
    EXPECT_EQ(doc["entries"][i], Json({{"subnet_id", entry["gw_subnet_id"]},
                                       {"instance_id", (*inst)["InstanceId"]},
                                       {"public_ip", entry["ec2_ip"]},
                                       {"private_ip", entry["ec2_2nd_private_ip"]},
                                       {"outcome", "launched"}}));
  }
  // The instances came up without a public address: each got an Elastic IP on its gateway side.
  const Json eips = testbed::boto3Json(R"(
out(sorted(a["PublicIp"] for a in ec2.describe_addresses(Filters=[{"Name": "tag:Name", "Values": ["tarnwick-test-ec2-eip"]}])["Addresses"]))
)");
  EXPECT_EQ(eips,
            Json::array({std::min(out[0]["ec2_ip"], out[1]["ec2_ip"]), std::max(out[0]["ec2_ip"], out[1]["ec2_ip"])}));
  const Json& created = doc["created"];
  EXPECT_EQ(sorted(created["instances"]), idsOf(instances));
  EXPECT_EQ(sorted(created["elastic_ips"]), eips);
  EXPECT_EQ(created["security_groups"], Json::array({groups["tarnwick-test-ec2-sg"]}));
  EXPECT_EQ(created["key_pairs"], Json::array({keyName()}));
  EXPECT_TRUE(std::filesystem::exists(dir_ / ("backups/" + net_["vpc"].get<std::string>() + "/" + keyName() + ".pem")));
}

TEST_F(DeployE2E, GivenKeyNameIsUsedAndNoKeyPairIsMade) {
  testbed::boto3(R"(ec2.create_key_pair(KeyName="ops-key"))");
  EXPECT_EQ(deploy(Json::array({spoke_}), {"--key_name", "ops-key"}).status, 0);
  EXPECT_EQ(liveInstances()[0]["KeyName"], "ops-key");
  EXPECT_EQ(leftovers()["keys"], Json::array({"ops-key"}));
}

TEST_F(DeployE2E, DefaultRoleBringsTheIamSetWhichRevertRemoves) {
  const Json entries = Json::array({spoke_});
  const auto r = deploy(entries, {"--ec2_role", "default", "--account", "123456789012"});
  EXPECT_EQ(r.status, 0) << r.err;
  const Json inst = liveInstances().at(0);
  EXPECT_NE(inst["IamInstanceProfile"]["Arn"].get<std::string>().find("tarnwick-test-ec2-instance-profile"),
            std::string::npos);
  Json left = leftovers();
  EXPECT_EQ(left["profiles"], Json::array({"tarnwick-test-ec2-instance-profile"}));
  EXPECT_EQ(left["policies"], Json::array({"tarnwick-test-ec2-policy"}));

  const auto back = revert(entries, {"--ec2_role", "default"});
  EXPECT_EQ(back.status, 0) << back.err;
  left = leftovers();
  EXPECT_EQ(left["profiles"], Json::array());
  EXPECT_EQ(left["policies"], Json::array());
  for (const auto& role : left["roles"]) EXPECT_NE(role, "tarnwick-test-ec2-role");
}

TEST_F(DeployE2E, NamedRoleLaunchesWithItsProfileAndOneWithoutProfileEndsThatWorker) {
  testbed::boto3(R"(
trust = '{"Version": "2012-10-17", "Statement": [{"Effect": "Allow", "Principal": {"Service": "ec2.amazonaws.com"}, "Action": "sts:AssumeRole"}]}'
iam.create_role(RoleName="bare-role", AssumeRolePolicyDocument=trust)
iam.create_role(RoleName="probe-role", AssumeRolePolicyDocument=trust)
iam.create_instance_profile(InstanceProfileName="probe-role")
iam.add_role_to_instance_profile(InstanceProfileName="probe-role", RoleName="probe-role")
)");
  // The checks would find the missing profile first: the worker's own check is what is proven here.
  const auto bare = deploy(Json::array({spoke_}), {"--ec2_role", "bare-role", "--skip_preflight"});
  EXPECT_EQ(bare.status, 40);
  EXPECT_NE(bare.err.find("  **Error** no instance profile found for role bare-role"), std::string::npos) << bare.err;
  EXPECT_EQ(liveInstances().size(), 0u);
  EXPECT_FALSE(output()[0].contains("ec2_ip"));

  const auto named = deploy(Json::array({spoke_}), {"--ec2_role", "probe-role"});
  EXPECT_EQ(named.status, 0) << named.err;
  EXPECT_NE(named.err.find("- Assign role probe-role to tarnwick-test-ec2"), std::string::npos);
  const std::string arn = liveInstances().at(0)["IamInstanceProfile"]["Arn"];
  EXPECT_EQ(arn.substr(arn.rfind('/') + 1), "probe-role");
}

TEST_F(DeployE2E, DryRunDeployChangesNothing) {
  const Json entries = Json::array({spoke_, nat_});
  const auto dry = deploy(entries, {"--dry_run"});
  EXPECT_EQ(dry.status, 0) << dry.err;
  EXPECT_EQ(liveInstances().size(), 0u);
  const Json empty = leftovers();
  EXPECT_EQ(empty["groups"], Json::array());
  EXPECT_EQ(empty["keys"], Json::array());
  EXPECT_EQ(output(), entries);
}

TEST_F(DeployE2E, DryRunDeployWorksWithWebIdentityAndWithAnSsoProfileAndNoStaticKeys) {
  const Json entries = Json::array({spoke_});
  env_ = {{"AWS_ACCESS_KEY_ID", std::nullopt},
          {"AWS_SECRET_ACCESS_KEY", std::nullopt},
          {"AWS_WEB_IDENTITY_TOKEN_FILE", dir_.write("oidc-token", "ci-oidc-token")},
          {"AWS_ROLE_ARN", "arn:aws:iam::123456789012:role/ci"}};
  const auto web = deploy(entries, {"--dry_run"});
  EXPECT_EQ(web.status, 0) << web.err;
  EXPECT_EQ(web.err.find("ci-oidc-token"), std::string::npos);

  testbed::FakeServer portal(testbed::FakeServer::Mode::SsoPortal,
                             Json{{"token", "sso-access-token"}, {"account", "123456789012"}, {"role", "Deployer"}});
  testbed::cacheSsoToken(dir_.path(), "corp", "sso-access-token", "2200-01-01T00:00:00Z");
  env_ = {{"AWS_ACCESS_KEY_ID", std::nullopt},
          {"AWS_SECRET_ACCESS_KEY", std::nullopt},
          {"HOME", dir_.str()},
          {"AWS_ENDPOINT_URL_SSO", portal.url()},
          {"AWS_CONFIG_FILE", dir_.write("config",
                                         "[profile sso]\nsso_session = corp\nsso_account_id = 123456789012\n"
                                         "sso_role_name = Deployer\n[sso-session corp]\n"
                                         "sso_start_url = https://corp.awsapps.com/start\nsso_region = us-east-1\n")}};
  const auto sso = deploy(entries, {"--dry_run", "--profile", "sso"});
  EXPECT_EQ(sso.status, 0) << sso.err;
  EXPECT_FALSE(portal.requests().empty());
  EXPECT_EQ(sso.err.find("sso-access-token"), std::string::npos);
}

// STS alone keeps its real host, behind a proxy that records and refuses each tunnel: web identity asks
// in --region, and outside "aws" so do the role assumptions (the workflow role's in its own region).
TEST_F(DeployE2E, WithOnlyARegionStsIsAskedInThatRegion) {
  testbed::FakeServer proxy(testbed::FakeServer::Mode::Generic);
  struct Row {
    const char* region;
    std::vector<std::string> args;
    std::string host;
  };
  for (const Row& row :
       {Row{"eu-west-1", {}, "sts.eu-west-1.amazonaws.com:443"},
        Row{"cn-north-1", {}, "sts.cn-north-1.amazonaws.com.cn:443"},
        Row{"cn-north-1", {"--assume_role", "arn:aws-cn:iam::1:role/r"}, "sts.cn-north-1.amazonaws.com.cn:443"},
        Row{"eu-west-1", {"--workflow_account_role", "wf,1,cn-north-1"}, "sts.cn-north-1.amazonaws.com.cn:443"}}) {
    const std::optional<std::string> key = row.args.empty() ? std::nullopt : std::optional<std::string>("testing");
    env_ = {{"AWS_ACCESS_KEY_ID", key},
            {"AWS_SECRET_ACCESS_KEY", key},
            {"AWS_DEFAULT_REGION", std::nullopt},
            {"AWS_ENDPOINT_URL", std::nullopt},
            {"AWS_WEB_IDENTITY_TOKEN_FILE", dir_.write("oidc-token", "t")},
            {"AWS_ROLE_ARN", "arn:aws:iam::123456789012:role/ci"},
            {"HTTPS_PROXY", proxy.url()},
            {"AWS_MAX_ATTEMPTS", "1"}};
    for (const char* service : {"EC2", "IAM", "S3", "SSM"})
      env_[std::string("AWS_ENDPOINT_URL_") + service] = testbed::moto().url();
    proxy.clearRequests();
    std::vector<std::string> args = {"--dry_run", "--region", row.region};
    args.insert(args.end(), row.args.begin(), row.args.end());
    const auto r = deploy(Json::array({spoke_}), args);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("CONNECT tunnel failed"), std::string::npos) << r.err;
    EXPECT_EQ(proxy.requests().at(0).header("host"), row.host) << row.region;
  }
}

TEST_F(DeployE2E, RerunReusesEverythingDryRevertKeepsItAndRevertRemovesIt) {
  const Json entries = Json::array({spoke_, nat_, unplaced_});
  testbed::boto3(R"(ec2.create_security_group(GroupName="tarnwick-test-ec2-private-interface-sg",
    Description="x", VpcId=")" +
                 net_["vpc"].get<std::string>() + R"("))");
  deploy(entries);
  const Json first = liveInstances();
  ASSERT_EQ(first.size(), 2u);
  const auto again = deploy(entries);
  EXPECT_NE(again.err.find("  Key " + keyName() + " already exist"), std::string::npos) << again.err;
  EXPECT_NE(again.err.find("\n- Deployed 2 of 3 entries (2 reused, 0 launched), 1 failed\n"), std::string::npos);
  EXPECT_EQ(sorted(summary()["reused"]["instances"]), idsOf(first));
  EXPECT_EQ(summary()["created"]["instances"], Json::array());
  const Json second = liveInstances();
  ASSERT_EQ(second.size(), 2u);
  EXPECT_EQ(second[0]["InstanceId"], first[0]["InstanceId"]);
  EXPECT_EQ(second[1]["InstanceId"], first[1]["InstanceId"]);
  const Json before = leftovers();
  EXPECT_EQ(before["groups"], Json::array({"tarnwick-test-ec2-private-interface-sg", "tarnwick-test-ec2-sg"}));
  const Json& spokeInstance = first[0]["SubnetId"] == spoke_["gw_subnet_id"] ? first[0] : first[1];
  EXPECT_EQ(output()[0]["ec2_ip"], spokeInstance["PublicIpAddress"]);

  const auto dry = revert(entries, {"--dry_run"});
  EXPECT_EQ(dry.status, 0);
  EXPECT_NE(dry.err.find("\n- Removed 0 test instances and 0 Elastic IPs, 2 not removed in a dry run\n"),
            std::string::npos)
      << dry.err;
  EXPECT_EQ(liveInstances().size(), 2u);
  EXPECT_EQ(leftovers(), before);

  const auto r = revert(entries);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(liveInstances().size(), 0u);
  const Json left = leftovers();
  EXPECT_EQ(left["groups"], Json::array());
  EXPECT_EQ(left["keys"], Json::array());
  EXPECT_EQ(left["addresses"], Json::array());
  EXPECT_NE(r.err.find("\n- Removed 2 test instances and 2 Elastic IPs\n"), std::string::npos) << r.err;
  const Json removed = summary()["removed"];
  EXPECT_EQ(sorted(removed["instances"]), idsOf(first));
  EXPECT_EQ(sorted(removed["elastic_ips"]), sorted(before["addresses"]));
  EXPECT_EQ(removed["security_groups"].size(), 2u);
  EXPECT_EQ(removed["key_pairs"], Json::array({keyName()}));
  EXPECT_EQ(summary()["entries"][1]["outcome"], "removed");
}

TEST_F(DeployE2E, RevertKeepsGroupsAndKeyWhileATestInstanceRemains) {
  ASSERT_EQ(deploy(Json::array({spoke_, nat_})).status, 0);
  // Only the spoke entry is reverted: the NAT entry's instance stays in the VPC.
  EXPECT_EQ(revert(Json::array({spoke_})).status, 0);
  EXPECT_EQ(liveInstances().size(), 1u);
  const Json left = leftovers();
  EXPECT_EQ(left["groups"], Json::array({"tarnwick-test-ec2-sg"}));
  EXPECT_EQ(left["keys"], Json::array({keyName()}));
}

// Dry runs both ways, before and after a deploy with the IAM set and once its address is gone, and runs refused for
// their input or output: the kill proxy, told never to kill, lists every AWS action they sent (the checks' dry runs
// among them, which change nothing).
TEST_F(DeployE2E, DryRunsAndRefusedRunsSendNoChangingCall) {
  Json invalid = spoke_;
  invalid["private_subnet_id"] = "";  // a spoke entry: its skip message would need a nat_gw_id
  const std::string in = writeConfig(Json::array({spoke_})), bad = dir_.write("bad", Json::array({invalid}).dump());
  for (const int deployed : {0, 1, 2}) {
    if (deployed) {
      ASSERT_EQ(run({"--test_config", in, "--output_test_config", "o", "--ec2_role", "default"}).status, 0);
    }
    if (deployed == 2)
      testbed::boto3(
          R"(for a in ec2.describe_addresses()["Addresses"]: ec2.disassociate_address(AssociationId=a["AssociationId"]); ec2.release_address(AllocationId=a["AllocationId"]))");
    const Json before = leftovers();
    for (const auto& [args, says] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--dry_run", "--test_config", in, "--output_test_config", "o"},
              deployed == 2 ? "  would allocate an EIP and associate it with eni-"
              : deployed    ? "- Reuse existing policy"
                            : "- Create policy"},
             {{"--dry_run", "--revert", "--test_config", in},
              deployed ? "\n  Delete instance profile" : "  **Alert** tarnwick-test-ec2-policy not found"},
             {{"--test_config", bad, "--output_test_config", "o"}, "without \"nat_gw_id\""},
             {{"--test_config", in, "--output_test_config", "no/such/o"}, "beside no/such/o"}}) {
      std::vector<std::string> words = args;
      words.insert(words.end(), {"--ec2_role", "default"});
      const auto r = run(words, "1000");
      EXPECT_EQ(r.status, args[0] == "--dry_run" ? 0 : 1) << r.err;
      EXPECT_NE(r.err.find(says), std::string::npos) << r.err;
      std::istringstream actions(r.out);
      for (std::string action; std::getline(actions, action);)
        EXPECT_TRUE(args[0] == "--dry_run" && (action.starts_with("Describe") || action.starts_with("List") ||
                                               action.starts_with("Get") || action.ends_with(" DryRun")))
            << action;
      EXPECT_EQ(leftovers(), before) << r.err;
      EXPECT_EQ(summary()["removed"]["instance_profiles"], Json::array());
    }
  }
}

// Its own emulator, behind request buckets far smaller than EC2's so that a few dozen entries
// meet them, and instances that take 2 s to pass their checks and 2 s to shut down: every entry
// is deployed and removed all the same, and the runs end with 0. The deploy skips its checks: two
// dozen entries exceed the emulator's quota of five addresses.
class ThrottledE2E : public DeployE2E {
  void SetUp() override {}
};

TEST_F(ThrottledE2E, RunsStillDeployAndRemoveEveryEntry) {
  testbed::MotoServer throttled({}, std::vector<std::string>{"--describe", "10,5", "--mutate", "8,6", "--ready-after",
                                                             "2", "--shutting-down-for", "2"});
  throttled.resetFront(false);
  const Json entries = Json::parse(testbed::boto3(R"(
vpc = ec2.create_vpc(CidrBlock="10.30.0.0/16")["Vpc"]["VpcId"]
def sn(cidr): return ec2.create_subnet(VpcId=vpc, CidrBlock=cidr)["Subnet"]["SubnetId"]
out([{"gw_name": f"gw-{i}", "gw_private_ip": f"10.30.{2 * i}.10", "gw_subnet_id": sn(f"10.30.{2 * i}.0/24"),
      "gw_subnet_cidr": f"10.30.{2 * i}.0/24", "private_subnet_id": sn(f"10.30.{2 * i + 1}.0/24"),
      "private_subnet_cidr": f"10.30.{2 * i + 1}.0/24", "private_subnet_gw_ip": f"10.30.{2 * i + 1}.1"} for i in range(24)])
)",
                                                  throttled));
  int throttledAnswers = 0;
  for (const bool revert : {false, true}) {
    throttled.resetFront(true);
    const auto r =
        revert ? run({"--revert", "--test_config", writeConfig(entries)}, "", throttled)
               : run({"--test_config", writeConfig(entries), "--output_test_config", "out.config", "--skip_preflight"},
                     "", throttled);
    EXPECT_EQ(r.status, 0) << r.err;
    const Json stats = throttled.frontStats();
    for (const auto& [op, n] : stats["throttled"].items()) throttledAnswers += n.get<int>();
    throttled.resetFront(false);
    for (const auto& entry : revert ? Json::array() : output()) EXPECT_TRUE(entry.contains("ec2_ip")) << entry.dump();
  }
  EXPECT_GT(throttledAnswers, 0);
  EXPECT_EQ(testbed::boto3(R"(
live = ec2.describe_instances(Filters=[{"Name": "instance-state-name", "Values": ["pending", "running", "stopping", "stopped"]}])
out([len(live["Reservations"]), len(ec2.describe_addresses()["Addresses"])]))",
                           throttled),
            "[0, 0]\n");
}

// Cancelled jobs, behind instances that take a minute to pass their checks and 4 s to shut down: a
// deploy told SIGTERM while it waits for the checks, whose call in flight is then held open, and a
// revert told SIGINT while it waits for the terminations. Each ends within 10 s with the signal's
// status, its summary and (the deploy) the entry already done, and names the revert that removes
// what is left, which then leaves nothing. A second signal ends a run at once.
TEST_F(ThrottledE2E, CancelledRunsEndInTimeWithWhatTheyHaveAndTheRevertNamedLeavesNothing) {
  testbed::MotoServer front(
      {}, std::vector<std::string>{"--no-buckets", "--ready-after", "60", "--shutting-down-for", "4"});
  net_ = Json::parse(testbed::boto3(R"(
vpc = ec2.create_vpc(CidrBlock="10.60.0.0/16")["Vpc"]["VpcId"]
def sn(cidr): return ec2.create_subnet(VpcId=vpc, CidrBlock=cidr)["Subnet"]["SubnetId"]
entries = [{"gw_name": f"gw-{i}", "gw_private_ip": f"10.60.{2 * i}.10", "gw_subnet_id": sn(f"10.60.{2 * i}.0/24"),
    "private_subnet_id": sn(f"10.60.{2 * i + 1}.0/24"), "private_subnet_cidr": f"10.60.{2 * i + 1}.0/24"} for i in range(2)]
ec2.run_instances(ImageId=ec2.describe_images()["Images"][0]["ImageId"], MinCount=1, MaxCount=1, SubnetId=entries[0]["gw_subnet_id"],
    TagSpecifications=[{"ResourceType": "instance", "Tags": [{"Key": "Name", "Value": "tarnwick-test-ec2"}]}])
out({"vpc": vpc, "entries": entries})
)",
                                    front));
  const std::string in = writeConfig(net_["entries"]);
  const auto endedWithin = [](const testbed::RunResult& r) {
    const auto at = r.out.rfind("ended ");
    return at == std::string::npos ? 99.0 : std::stod(r.out.substr(at + 6));
  };
  for (const auto& [proxy, status, signal] : {std::tuple{"TERM:DescribeInstanceStatus:4:30", 143, "SIGTERM"},
                                              std::tuple{"INT:TerminateInstances:2", 130, "SIGINT"}}) {
    const bool deploying = status == 143;
    std::vector<std::string> args = {"--test_config", in, deploying ? "--output_test_config" : "--revert"};
    if (deploying) args.push_back("out.config");
    const auto r = run(args, proxy, front);
    EXPECT_EQ(r.status, status) << r.err;
    EXPECT_LT(endedWithin(r), 10.0) << r.out;
    EXPECT_NE(r.err.find(std::string("  **Error** Interrupted by ") + signal +
                         ": to remove what is left, run: probe_deployer --revert --test_config " + in),
              std::string::npos)
        << r.err;
    const Json doc = summary();
    EXPECT_EQ(doc["interrupted"], signal);
    EXPECT_EQ(doc["exit_status"], status);
    ASSERT_EQ(doc["entries"].size(), 2u) << doc.dump();
    EXPECT_EQ(doc["entries"][0]["outcome"], deploying ? "reused" : "interrupted");
    EXPECT_EQ(doc["entries"][1]["outcome"], "interrupted");
    if (!deploying) continue;
    EXPECT_NE(r.err.find("\n- Deployed 1 of 2 entries (1 reused, 0 launched), 0 failed, 1 interrupted\n"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(output()[0].contains("ec2_ip") && !output()[1].contains("ec2_ip")) << output().dump();
  }
  // A second signal ends the run at once, with the first one's status.
  const auto twice =
      run({"--test_config", in, "--output_test_config", "out.config"}, "TERM+INT:DescribeInstanceStatus:1:30", front);
  EXPECT_EQ(twice.status, 143) << twice.err;
  EXPECT_LT(endedWithin(twice), 2.0) << twice.out;
  EXPECT_NE(twice.err.find("probe_deployer: stopping took too long or was asked again: ending now\n"),
            std::string::npos)
      << twice.err;
  const auto back = run({"--test_config", in, "--revert"}, "", front);
  EXPECT_EQ(back.status, 0) << back.err;
  EXPECT_EQ(leftovers(front), kNothingLeft) << back.err;
}

// Deploys that would fail halfway end before creating anything and name every problem: six entries
// for five addresses, a gateway subnet in a zone without t3.micro, RunInstances denied, all three.
// A healthy dry run passes, and the checks cost it at most 8 calls. Behind the front, which denies.
class PreflightE2E : public DeployE2E {
  void SetUp() override {}
};

TEST_F(PreflightE2E, DeploysThatWouldFailNameEveryProblemAndCreateNothing) {
  testbed::MotoServer front({}, std::vector<std::string>{"--no-buckets"});
  net_ = Json::parse(testbed::boto3(R"(
vpc = ec2.create_vpc(CidrBlock="10.50.0.0/16")["Vpc"]["VpcId"]
def sn(i, zone): return ec2.create_subnet(VpcId=vpc, CidrBlock=f"10.50.{i}.0/24", AvailabilityZone=zone)["Subnet"]["SubnetId"]
def entry(i, zone): return {"gw_name": f"gw-{i}", "gw_private_ip": f"10.50.{2 * i}.10", "gw_subnet_id": sn(2 * i, zone),
    "private_subnet_id": sn(2 * i + 1, zone), "private_subnet_cidr": f"10.50.{2 * i + 1}.0/24"}
out({"vpc": vpc, "entries": [entry(i, "us-east-1a") for i in range(6)] + [entry(6, "us-east-1e")]})
)",
                                    front));
  const Json six(net_["entries"].begin(), net_["entries"].begin() + 6), inZoneE = Json::array({net_["entries"][6]});
  const std::string quota = "need 6 new Elastic IPs, only 5 are free",
                    zone = "t3.micro is not offered in us-east-1e, the zone of gateway subnet ",
                    denied = "  **Error** Pre-flight permission: RunInstances (gw-0) is not allowed for arn:aws:";
  const Json before = leftovers(front);
  for (const auto& [entries, deny, says] : std::vector<std::tuple<Json, std::string, std::vector<std::string>>>{
           {six, "", {"gw-0, gw-1, gw-2, gw-3, gw-4, gw-5 " + quota}},
           {inZoneE, "", {zone}},
           {Json::array({six[0]}), "RunInstances", {denied}},
           {net_["entries"], "RunInstances", {"need 7 new Elastic IPs", zone, denied}}}) {
    front.deny(deny);
    const auto r = run({"--test_config", writeConfig(entries), "--output_test_config", "out.config"}, "", front);
    EXPECT_EQ(r.status, 1) << r.err;
    for (const auto& text : says) EXPECT_NE(r.err.find(text), std::string::npos) << text << r.err;
    size_t problems = 0;
    for (auto at = r.err.find("  **Error** Pre-flight "); at != std::string::npos;
         at = r.err.find("  **Error** Pre-flight ", at + 1))
      ++problems;
    EXPECT_EQ(problems, says.size()) << r.err;
    EXPECT_NE(r.err.find("; nothing was created\n"), std::string::npos) << r.err;
    EXPECT_EQ(leftovers(front), before);
  }
  front.deny("");
  std::vector<int> calls;
  for (const char* checks : {"--dry_run", "--skip_preflight"}) {
    front.resetFront(false);
    const auto r = run({"--test_config", writeConfig(Json::array({six[0]})), "--output_test_config", "out.config",
                        "--dry_run", checks},
                       "", front);
    EXPECT_EQ(r.status, 0) << r.err;
    int n = 0;
    const Json stats = front.frontStats();  // the loop below must not outlive the answer it reads
    for (const auto& [action, count] : stats["calls"].items()) n += count.get<int>();
    calls.push_back(n);
  }
  EXPECT_LE(calls[0] - calls[1], 8);

  // An organisation policy that refuses launches without IMDSv2 or tags on volumes and interfaces
  // lets the default deploy through. Asked for optional tokens, the checks, and the launch without
  // them, say what refused it; with the decode refused too, which permission it needs.
  const std::string why =
      " -- denied explicitly by an organisation policy (SCP) on arn:aws:ec2:us-east-1:123456789012:instance/* "
      "(statement RequireImdsV2); condition keys that failed: ec2:MetadataHttpTokens (policy: required; request: "
      "optional)";
  for (const auto& [denied, extra, status, says] : std::vector<std::tuple<std::string, std::string, int, std::string>>{
           {"RunInstances:scp", "--dry_run", 1,
            "  **Error** Pre-flight permission: RunInstances (gw-0) is not allowed for "
            "arn:aws:sts::123456789012:user/moto" +
                why},
           {"RunInstances:scp", "--skip_preflight", 40, "in a service control policy." + why + "\n"},
           {"RunInstances:scp,DecodeAuthorizationMessage", "--dry_run", 1,
            " -- the reason stays encoded: decoding it needs sts:DecodeAuthorizationMessage"},
           {"RunInstances:scp", "", 0, "- Pre-flight passed"}}) {
    front.deny(denied);
    const auto r = run(
        extra.empty()
            ? std::vector<std::string>{"--test_config", writeConfig(Json::array({six[0]})), "--output_test_config", "o"}
            : std::vector<std::string>{"--test_config", writeConfig(Json::array({six[0]})), "--output_test_config", "o",
                                       "--metadata_tokens", "optional", extra},
        "", front);
    EXPECT_EQ(r.status, status) << r.err;
    EXPECT_NE(r.err.find(says), std::string::npos) << r.err;
  }
}

// In the China partition every ARN a run builds says so: the workflow role's, the buckets' in the policy,
// and the existing policy's, by which the revert removes it. (The emulator offers no types there: no checks.)
TEST_F(DeployE2E, ArnsTakeThePartitionOfTheirRegion) {
  const std::string cn = "iam, ec2 = (boto3.client(s, region_name='cn-north-1') for s in ('iam', 'ec2'))\n";
  Json entry = spoke_;
  entry.update(testbed::boto3Json(cn + R"(vpc = ec2.create_vpc(CidrBlock="10.20.0.0/16")["Vpc"]["VpcId"]
out({k: ec2.create_subnet(VpcId=vpc, CidrBlock=c)["Subnet"]["SubnetId"] for k, c in (("gw_subnet_id", "10.20.0.0/24"), ("private_subnet_id", "10.20.1.0/24"))}))"));
  const std::vector<std::string> args = {"--skip_preflight",
                                         "--workflow_account_role",
                                         "wf,123456789012,cn-north-1",
                                         "--region",
                                         "cn-north-1",
                                         "--ec2_role",
                                         "default",
                                         "--account",
                                         "123456789012"};
  const auto r = deploy(Json::array({entry}), args);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("- Use role arn:aws-cn:iam::123456789012:role/wf for SSM access"), std::string::npos) << r.err;
  const std::string policies =
      cn +
      R"(out([(p["Arn"], iam.get_policy_version(PolicyArn=p["Arn"], VersionId="v1")["PolicyVersion"]["Document"]["Statement"][0]["Resource"]) for p in iam.list_policies(Scope="Local")["Policies"]]))";
  EXPECT_EQ(
      testbed::boto3Json(policies),
      Json::parse(R"([["arn:aws-cn:iam::123456789012:policy/tarnwick-test-ec2-policy", ["arn:aws-cn:s3:::*"]]])"));
  EXPECT_EQ(revert(Json::array({entry}), std::vector<std::string>(args.begin() + 3, args.end())).status, 0);
  EXPECT_EQ(testbed::boto3Json(policies), Json::array());
}

TEST_F(DeployE2E, DeployWithoutOutputPathEndsBeforeCreatingAnything) {
  const auto r = run({"--test_config", writeConfig(Json::array({spoke_}))});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("  **Error** --output_test_config is required to deploy"), std::string::npos) << r.err;
  EXPECT_EQ(leftovers()["groups"], Json::array());
  EXPECT_EQ(summary()["exit_status"], 1);
}

// Reverting one VPC spares the IAM set the other still uses; a taken gateway subnet is skipped.
TEST_F(DeployE2E, RevertOfOneVpcSparesTheIamSetOfTheOtherAndDuplicatesAreSkipped) {
  Json twin = nat_, other = spoke_;
  twin["gw_subnet_id"] = spoke_["gw_subnet_id"];
  other.update(
      {{"gw_subnet_id", net_["gwD"]}, {"private_subnet_id", net_["privD"]}, {"private_subnet_cidr", "10.30.1.0/24"}});
  const std::vector<std::string> role = {"--ec2_role", "default"};
  EXPECT_NE(deploy(Json::array({spoke_, twin}), role).err.find("  **Error** Skip entry 2 (nat-b) -- same gw_subnet_id"),
            std::string::npos);
  ASSERT_EQ(deploy(Json::array({other}), role).status, 0);
  const auto spared = revert(Json::array({spoke_, twin}), role);
  EXPECT_NE(spared.err.find("  **Alert** Keep tarnwick-test-ec2-instance-profile, its role and policy: still used by 1 "
                            "test instance(s) in " +
                            net_["vpc2"].get<std::string>()),
            std::string::npos)
      << spared.err;
  EXPECT_EQ(revert(Json::array({other}), role).status, 0);
  EXPECT_EQ(leftovers(), kNothingLeft);
}

// A deploy killed after any request that changes something, then one revert from the same input:
// nothing is left. Each deploy follows a revert, so terminated instances are about, as in EC2.
TEST_F(DeployE2E, RevertAfterADeployKilledAfterAnyRequestLeavesNothing) {
  const Json entries = Json::array({spoke_});
  const std::vector<std::string> role = {"--ec2_role", "default"};
  const auto deployKilledAfter = [&](int n) {
    return run({"--test_config", writeConfig(entries), "--output_test_config", "out.config", role[0], role[1]},
               std::to_string(n));
  };
  std::istringstream actions(deployKilledAfter(1000).out);
  ASSERT_EQ(revert(entries, role).status, 0);
  std::string last;
  for (int n = 1; std::getline(actions, last) && actions.peek() != EOF; ++n) {
    if (last.starts_with("Describe") || last.starts_with("List") || last.starts_with("Get") ||
        last.ends_with(" DryRun"))
      continue;
    ASSERT_EQ(deployKilledAfter(n).status, 128 + 9) << "killed after " << last;
    const auto back = revert(entries, role);
    EXPECT_EQ(back.status, 0) << "killed after " << last << back.err;
    ASSERT_EQ(leftovers(), kNothingLeft) << "killed after " << last << back.err;
  }
}

// Every call that changes something, in a deploy and a revert with the default role, loses its
// first answer once after taking effect: each row loses one call of its deploy and one of its
// revert. The rows share one emulator behind the front, and its network while nothing fails.
struct LostCalls {
  const char* deploy;
  const char* revert;  // nullptr: the revert loses nothing
};

class LostAnswerE2E : public DeployE2E, public ::testing::WithParamInterface<LostCalls> {
 protected:
  static void SetUpTestSuite() {
    DeployE2E::SetUpTestSuite();
    front_ = new testbed::MotoServer({}, std::vector<std::string>{"--no-buckets"});
  }
  static void TearDownTestSuite() {
    delete front_;
    DeployE2E::TearDownTestSuite();
  }
  void SetUp() override {
    if (!shared_.is_null()) return void(net_ = shared_);
    front_->reset();
    net_ = shared_ = Json::parse(testbed::boto3(R"(
vpc = ec2.create_vpc(CidrBlock="10.40.0.0/16")["Vpc"]["VpcId"]
def sn(cidr): return ec2.create_subnet(VpcId=vpc, CidrBlock=cidr)["Subnet"]["SubnetId"]
out({"vpc": vpc, "entries": [{"gw_name": f"gw-{i}", "gw_private_ip": f"10.40.{2 * i}.10", "gw_subnet_id": sn(f"10.40.{2 * i}.0/24"),
      "gw_subnet_cidr": f"10.40.{2 * i}.0/24", "private_subnet_id": sn(f"10.40.{2 * i + 1}.0/24"),
      "private_subnet_cidr": f"10.40.{2 * i + 1}.0/24", "private_subnet_gw_ip": f"10.40.{2 * i + 1}.1"} for i in range(3)]})
)",
                                                *front_));
  }
  void TearDown() override {
    if (HasFailure()) shared_ = Json();
  }
  testbed::RunResult phase(bool revert, const char* lose) {
    if (lose) front_->loseNextAnswer(lose);
    std::vector<std::string> args = {"--test_config", writeConfig(net_["entries"]), "--ec2_role", "default"};
    // Without the checks' dry runs, which the front would take for the next call of the action.
    const std::vector<std::string> mode =
        revert ? std::vector<std::string>{"--revert"}
               : std::vector<std::string>{"--output_test_config", "out.config", "--skip_preflight"};
    args.insert(args.end(), mode.begin(), mode.end());
    const auto r = run(args, "", *front_);
    EXPECT_EQ(front_->frontStats()["toLose"], Json::array()) << (lose ? lose : "") << " was never called";
    return r;
  }
  // [live instances, associated addresses, unassociated addresses, key pairs, the key file
  // matches its pair's public half, the file's mode]
  Json deployedState() {
    return Json::parse(testbed::boto3(R"(
import os
from cryptography.hazmat.primitives import serialization as ser
live = ec2.describe_instances(Filters=[{"Name": "instance-state-name", "Values": ["pending", "running"]}])["Reservations"]
addresses = ec2.describe_addresses()["Addresses"]
keys = ec2.describe_key_pairs(IncludePublicKey=True)["KeyPairs"]
path = ")" + (dir_ / "backups" / net_["vpc"].get<std::string>()).string() +
                                          R"(/" + keys[0]["KeyName"] + ".pem"
public = ser.load_pem_private_key(open(path, "rb").read(), None).public_key().public_bytes(ser.Encoding.OpenSSH, ser.PublicFormat.OpenSSH).decode()
out([sum(len(r["Instances"]) for r in live), sum("AssociationId" in a for a in addresses), sum("AssociationId" not in a for a in addresses),
     len(keys), public.split()[:2] == keys[0]["PublicKey"].split()[:2], oct(os.stat(path).st_mode & 0o777)])
)",
                                      *front_));
  }
  static testbed::MotoServer* front_;
  static Json shared_;  // the network of the rows, null after a row failed
};

testbed::MotoServer* LostAnswerE2E::front_ = nullptr;
Json LostAnswerE2E::shared_;

TEST_P(LostAnswerE2E, CallsWhoseAnswerIsLostOnceDoTheirWorkOnce) {
  const auto deployed = phase(false, GetParam().deploy);
  ASSERT_EQ(deployed.status, 0) << deployed.err;
  EXPECT_EQ(deployedState(), Json::parse(R"([3, 3, 0, 1, true, "0o600"])"));
  const auto reverted = phase(true, GetParam().revert);
  EXPECT_EQ(reverted.status, 0) << reverted.err;
  EXPECT_EQ(leftovers(*front_), kNothingLeft);
}

INSTANTIATE_TEST_SUITE_P(
    EveryChange, LostAnswerE2E,
    ::testing::Values(LostCalls{"CreatePolicy", "TerminateInstances"}, LostCalls{"CreateRole", "ReleaseAddress"},
                      LostCalls{"AttachRolePolicy", "DeleteSecurityGroup"},
                      LostCalls{"CreateInstanceProfile", "DeleteKeyPair"},
                      LostCalls{"AddRoleToInstanceProfile", "RemoveRoleFromInstanceProfile"},
                      LostCalls{"CreateSecurityGroup", "DeleteInstanceProfile"},
                      LostCalls{"AuthorizeSecurityGroupIngress", "DetachRolePolicy"},
                      LostCalls{"CreateKeyPair", "DeletePolicy"}, LostCalls{"RunInstances", "DeleteRole"},
                      LostCalls{"AllocateAddress", nullptr}, LostCalls{"AssociateAddress", nullptr}),
    [](const auto& info) {
      return std::string(info.param.deploy) + "_" + (info.param.revert ? info.param.revert : "none");
    });

}  // namespace

namespace {

// Runners lost after their deploys: both input files are gone. A dry sweep and one younger than
// the deployments change nothing, a revert by VPC keeps the other VPC's instance and the IAM set,
// and a sweep removes the rest. Lookalikes without the Name tags in a third VPC survive it all.
TEST_F(DeployE2E, RevertByVpcAndSweepNeedNoInputFileAndSpareLookalikes) {
  Json other = spoke_;
  other.update(
      {{"gw_subnet_id", net_["gwD"]}, {"private_subnet_id", net_["privD"]}, {"private_subnet_cidr", "10.30.1.0/24"}});
  const std::vector<std::string> role = {"--ec2_role", "default"};
  ASSERT_EQ(deploy(Json::array({spoke_, nat_}), role).status, 0);
  ASSERT_EQ(deploy(Json::array({other}), role).status, 0);
  std::filesystem::remove(dir_ / "in.config");
  const Json third = testbed::boto3Json(R"(
vpc = ec2.create_vpc(CidrBlock="10.40.0.0/16")["Vpc"]["VpcId"]
sn = ec2.create_subnet(VpcId=vpc, CidrBlock="10.40.0.0/24")["Subnet"]["SubnetId"]
sg = ec2.create_security_group(GroupName="tarnwick-test-ec2-sg", Description="x", VpcId=vpc)["GroupId"]
ec2.create_key_pair(KeyName="tarnwick-test-ec2-key-pair-" + vpc)
ami = ec2.describe_images()["Images"][0]["ImageId"]
ec2.run_instances(ImageId=ami, MinCount=1, MaxCount=1, SubnetId=sn, KeyName="tarnwick-test-ec2-key-pair-" + vpc, SecurityGroupIds=[sg])
old = ec2.create_vpc(CidrBlock="10.50.0.0/16")["Vpc"]["VpcId"]  # a deployment of long ago, only its group left
ec2.create_security_group(GroupName="tarnwick-test-ec2-sg", Description="x", VpcId=old, TagSpecifications=[{"ResourceType": "security-group",
    "Tags": [{"Key": "Name", "Value": "tarnwick-test-ec2-sg"}, {"Key": "tarnwick:created-at", "Value": "2020-01-01T00:00:00Z"}]}])
out({"vpc": vpc, "sg": sg})
)");
  const auto everything = [&] {
    return testbed::boto3Json(
        "out(len(ec2.describe_addresses()['Addresses']) + len(ec2.describe_key_pairs()['KeyPairs']) + "
        "len(ec2.describe_security_groups()['SecurityGroups']) + "
        "len(iam.list_instance_profiles()['InstanceProfiles']))");
  };
  const Json before = everything();
  // Bound to one account: a sweep without it is refused, and runs told another change nothing.
  const std::string stranger = "--account=111122223333", ours = "--account=123456789012";
  for (const auto& [words, status] : std::vector<std::pair<std::vector<std::string>, int>>{
           {{"--sweep"}, 2},
           {{"--sweep", stranger}, 1},
           {{"--revert", "--vpc_id", net_["vpc"].get<std::string>(), stranger}, 1},
           {{"--test_config", writeConfig(Json::array({nat_})), "--output_test_config", "o", stranger}, 1}}) {
    const auto r = run(words);
    EXPECT_EQ(r.status, status) << r.err;
    EXPECT_EQ(r.err.find("  **Error** the credentials are of account 123456789012, not of --account 111122223333: "
                         "nothing was changed") == std::string::npos,
              status == 2)
        << r.err;
  }
  EXPECT_EQ(everything(), before);

  const auto dry = run({"--sweep", "--dry_run", role[0], role[1], ours});
  EXPECT_EQ(dry.status, 0) << dry.err;
  EXPECT_EQ(summary()["mode"], "sweep");
  EXPECT_EQ(summary()["swept"].size(), 6u + 4 + 3 + 1)
      << summary().dump();  // each VPC: instances, addresses, group, key; IAM; the old group
  EXPECT_NE(dry.err.find("; would remove: "), std::string::npos);
  EXPECT_EQ(run({"--sweep", "--older_than", "1h", role[0], role[1], ours}).status, 0);
  const auto typo = run({"--revert", "--vpc_id", "vpc-0123456789abcdef0", role[0], role[1]});
  EXPECT_TRUE(typo.status == 1 &&
              typo.err.find("  **Error** VPC vpc-0123456789abcdef0 not found in us-east-1") != std::string::npos)
      << typo.err;
  EXPECT_EQ(everything(), before.get<int>() - 1);  // the old group only: the IAM set stays beside the kept deployments
  EXPECT_EQ(liveInstances().size(), 3u);

  const auto one = run({"--revert", "--vpc_id", net_["vpc"].get<std::string>(), role[0], role[1]});
  EXPECT_EQ(one.status, 0) << one.err;
  EXPECT_NE(one.err.find("  **Alert** Keep tarnwick-test-ec2-instance-profile"), std::string::npos) << one.err;
  EXPECT_EQ(summary()["swept"][0]["vpc_id"], net_["vpc"]);
  Json live = liveInstances();
  ASSERT_EQ(live.size(), 1u);
  EXPECT_EQ(live[0]["VpcId"], net_["vpc2"]);
  EXPECT_EQ(live[0]["State"]["Name"], "running");

  const auto sweep = run({"--sweep", "--older_than", "0s", role[0], role[1], ours});
  EXPECT_EQ(sweep.status, 0) << sweep.err;
  EXPECT_NE(sweep.err.find("- Found in " + net_["vpc2"].get<std::string>() + ": 1 test instance"), std::string::npos)
      << sweep.err;
  Json left = leftovers();
  EXPECT_EQ(left["instances"], 1);
  EXPECT_EQ(left["keys"], Json::array({"tarnwick-test-ec2-key-pair-" + third["vpc"].get<std::string>()}));
  EXPECT_EQ(left["addresses"], Json::array());
  EXPECT_EQ(left["profiles"], Json::array());
  EXPECT_EQ(left["policies"], Json::array());
  EXPECT_EQ(testbed::boto3Json("out([g['GroupId'] for g in ec2.describe_security_groups(Filters=[{'Name': "
                               "'group-name', 'Values': ['tarnwick-test-ec2-sg']}])['SecurityGroups']])"),
            Json::array({third["sg"]}));
  const auto again = run(
      {"--revert", "--vpc_id", net_["vpc"].get<std::string>(), role[0], role[1]});  // nothing left: no raw AWS texts
  EXPECT_TRUE(again.status == 0 && again.err.find("An error occurred") == std::string::npos) << again.err;
}

// Deployments that say when they expire: one whose second is up, one with a day ahead, one without.
// A sweep of what is older than an hour removes the expired one only, a sweep without an age the one
// without an expiry too; the one a day ahead stays through both, until a rerun (dry first, which
// changes nothing) sets an expiry that has come on everything it reuses.
TEST_F(DeployE2E, SweepsRemoveDeploymentsOnceTheyExpireWhateverTheirAge) {
  Json longLived = spoke_, untimed = spoke_;
  longLived.update(
      {{"gw_subnet_id", net_["gwD"]}, {"private_subnet_id", net_["privD"]}, {"private_subnet_cidr", "10.30.1.0/24"}});
  untimed.update(testbed::boto3Json(R"(
vpc = ec2.create_vpc(CidrBlock="10.70.0.0/16")["Vpc"]["VpcId"]
out({k: ec2.create_subnet(VpcId=vpc, CidrBlock=c)["Subnet"]["SubnetId"] for k, c in [("gw_subnet_id", "10.70.0.0/24"), ("private_subnet_id", "10.70.1.0/24")]} | {"private_subnet_cidr": "10.70.1.0/24"})
)"));
  const auto expiries = [](const Json& vpc) {  // of the instance, the group, the key pair and the address
    return testbed::boto3Json(R"(
vpc = ")" + vpc.get<std::string>() +
                              R"("
def expiry(o): return {t["Key"]: t["Value"] for t in o.get("Tags", [])}.get("tarnwick:expires-at")
live = ec2.describe_instances(Filters=[{"Name": "vpc-id", "Values": [vpc]}, {"Name": "instance-state-name", "Values": ["running"]}])
out([expiry(i) for r in live["Reservations"] for i in r["Instances"]]
    + [expiry(g) for g in ec2.describe_security_groups(Filters=[{"Name": "vpc-id", "Values": [vpc]}])["SecurityGroups"] if g["GroupName"] != "default"]
    + [expiry(k) for k in ec2.describe_key_pairs(KeyNames=["tarnwick-test-ec2-key-pair-" + vpc])["KeyPairs"]]
    + [expiry(a) for a in ec2.describe_addresses(Filters=[{"Name": "tag:tarnwick:vpc-id", "Values": [vpc]}])["Addresses"]])
)");
  };
  const std::vector<std::string> account = {"--account", "123456789012"};
  ASSERT_EQ(deploy(Json::array({spoke_}), {"--ttl", "1s"}).status, 0);
  ASSERT_EQ(deploy(Json::array({longLived}), {"--ttl", "1d"}).status, 0);
  const Json expiry = summary()["expires_at"];
  EXPECT_EQ(expiries(net_["vpc2"]), Json::array({expiry, expiry, expiry, expiry}));
  ASSERT_EQ(deploy(Json::array({untimed}), {}).status, 0);
  EXPECT_EQ(summary()["expires_at"], nullptr);

  const auto hourOld = run({"--sweep", "--older_than", "1h", account[0], account[1]});
  EXPECT_EQ(hourOld.status, 0) << hourOld.err;
  EXPECT_NE(hourOld.err.find(", expires at " + expiry.get<std::string>() + ", keep: not expired\n"), std::string::npos)
      << hourOld.err;
  EXPECT_NE(hourOld.err.find(" s ago, keep: younger than 1h\n"), std::string::npos) << hourOld.err;
  const auto anyAge = run({"--sweep", account[0], account[1]});
  EXPECT_EQ(anyAge.status, 0) << anyAge.err;
  Json live = liveInstances();
  ASSERT_EQ(live.size(), 1u);
  EXPECT_EQ(live[0]["VpcId"], net_["vpc2"]);

  const auto dry = deploy(Json::array({longLived}), {"--ttl", "0s", "--dry_run"});
  EXPECT_NE(dry.err.find("  would tag " + live[0]["InstanceId"].get<std::string>() + ", eipalloc-"), std::string::npos)
      << dry.err;
  EXPECT_EQ(expiries(net_["vpc2"]), Json::array({expiry, expiry, expiry, expiry}));
  ASSERT_EQ(deploy(Json::array({longLived}), {"--ttl", "0s"}).status, 0);
  const Json now = summary()["expires_at"];
  EXPECT_EQ(expiries(net_["vpc2"]), Json::array({now, now, now, now}));
  EXPECT_EQ(run({"--sweep", account[0], account[1]}).status, 0);
  EXPECT_EQ(leftovers()["instances"], 0);
  EXPECT_EQ(leftovers()["keys"], Json::array());
}

}  // namespace
