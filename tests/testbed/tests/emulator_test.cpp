// The emulator answers the way the deployment code relies on: the mended filters and the
// test bed's own image list.
#include <gtest/gtest.h>

#include "testbed/emulator.h"

namespace {

using testbed::boto3Json;

constexpr const char* kDefaultImage = "al2023-ami-2023.3.20240108.0-kernel-6.1-x86_64";

class EmulatorTest : public ::testing::Test {
 protected:
  void SetUp() override { testbed::moto().reset(); }
};

TEST_F(EmulatorTest, AddressOnInstanceInterfaceIsFoundByInstanceAndByPublicIp) {
  auto r = boto3Json(R"PY(
vpc = ec2.create_vpc(CidrBlock="10.0.0.0/16")["Vpc"]["VpcId"]
sn = ec2.create_subnet(VpcId=vpc, CidrBlock="10.0.1.0/24")["Subnet"]["SubnetId"]
inst = ec2.run_instances(ImageId="ami-0a3c3a20c09d6f377", MinCount=1, MaxCount=1, SubnetId=sn)["Instances"][0]
eni = inst["NetworkInterfaces"][0]["NetworkInterfaceId"]
a = ec2.allocate_address(Domain="vpc")
ec2.associate_address(AllocationId=a["AllocationId"], NetworkInterfaceId=eni)
by_instance = ec2.describe_addresses(Filters=[{"Name": "instance-id", "Values": [inst["InstanceId"]]}])["Addresses"]
by_ip = ec2.describe_network_interfaces(
    Filters=[{"Name": "addresses.association.public-ip", "Values": [a["PublicIp"]]}])["NetworkInterfaces"]
unknown_ip = ec2.describe_network_interfaces(
    Filters=[{"Name": "addresses.association.public-ip", "Values": ["198.51.100.7"]}])["NetworkInterfaces"]
out({"instance": inst["InstanceId"], "eni": eni, "ip": a["PublicIp"],
     "by_instance": by_instance, "by_ip": [n["NetworkInterfaceId"] for n in by_ip],
     "unknown_ip": len(unknown_ip)})
)PY");
  ASSERT_EQ(r["by_instance"].size(), 1u);
  EXPECT_EQ(r["by_instance"][0]["InstanceId"], r["instance"]);
  EXPECT_EQ(r["by_instance"][0]["PublicIp"], r["ip"]);
  EXPECT_EQ(r["by_ip"], nlohmann::ordered_json::array({r["eni"]}));
  EXPECT_EQ(r["unknown_ip"], 0);
}

TEST_F(EmulatorTest, AmazonImageLookupSkipsOtherOwnersDeprecatedAndPrivateImages) {
  auto r = boto3Json(R"PY(
def lookup(name, **extra):
    images = ec2.describe_images(ExecutableUsers=["all"], Filters=[{"Name": "name", "Values": [name]}],
                                 Owners=["amazon"], **extra)["Images"]
    return [i["ImageId"] for i in images]
out({"default": lookup(")PY" +
                     std::string(kDefaultImage) + R"PY("),
     "any_owner": len(ec2.describe_images(Filters=[{"Name": "name", "Values": [")PY" +
                     kDefaultImage + R"PY("]}])["Images"]),
     "deprecated": lookup("al2023-ami-2023.2.20231011.0-kernel-6.1-x86_64", IncludeDeprecated=False),
     "deprecated_asked": lookup("al2023-ami-2023.2.20231011.0-kernel-6.1-x86_64", IncludeDeprecated=True),
     "private": lookup("al2023-ami-private-test"),
     "wildcard": sorted(lookup("al2023-ami-2023.3.*"))})
)PY");
  EXPECT_EQ(r["default"], nlohmann::ordered_json::array({"ami-0a3c3a20c09d6f377"}));
  EXPECT_EQ(r["any_owner"], 2);
  EXPECT_TRUE(r["deprecated"].empty());
  EXPECT_EQ(r["deprecated_asked"], nlohmann::ordered_json::array({"ami-0c5d9e8f7a6b51234"}));
  EXPECT_TRUE(r["private"].empty());
  EXPECT_EQ(r["wildcard"], nlohmann::ordered_json::array({"ami-0a3c3a20c09d6f377", "ami-0d7e6f5a4b3c21098"}));
}

TEST_F(EmulatorTest, ResetForgetsResourcesButKeepsImages) {
  testbed::boto3(R"PY(ec2.create_key_pair(KeyName="left-over"))PY");
  testbed::moto().reset();
  auto r = boto3Json(R"PY(
out({"keys": len(ec2.describe_key_pairs()["KeyPairs"]),
     "images": len(ec2.describe_images(ImageIds=["ami-0a3c3a20c09d6f377"])["Images"])})
)PY");
  EXPECT_EQ(r["keys"], 0);
  EXPECT_EQ(r["images"], 1);
}

}  // namespace
