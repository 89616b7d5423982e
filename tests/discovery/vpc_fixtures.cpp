// The fixtures are made with boto3 against the shared emulator.
#include "vpc_fixtures.h"

#include "testbed/emulator.h"

namespace discovery {
namespace {

using Doc = nlohmann::ordered_json;

constexpr const char* kSpokeScript = R"PY(
import json, sys
layout = json.loads(LAYOUT)
vpc = ec2.create_vpc(CidrBlock="10.40.0.0/16")["Vpc"]["VpcId"]
def subnet(cidr, zone):
    return ec2.create_subnet(VpcId=vpc, CidrBlock=cidr, AvailabilityZone=zone)["Subnet"]["SubnetId"]
public = subnet("10.40.0.0/24", "us-east-1a")
gateways = []
for i, name in enumerate(layout["names"]):
    eni = ec2.create_network_interface(SubnetId=public)["NetworkInterface"]
    eip = ec2.allocate_address(Domain="vpc")
    ec2.associate_address(AllocationId=eip["AllocationId"], NetworkInterfaceId=eni["NetworkInterfaceId"])
    gw = {"name": name, "eni": eni["NetworkInterfaceId"], "publicIp": eip["PublicIp"],
          "privateIp": eni["PrivateIpAddress"], "privateSubnet": "", "privateCidr": ""}
    if name not in layout["unrouted"]:
        cidr = "10.40.%d.0/24" % (10 + i)
        private = subnet(cidr, "us-east-1a")
        table = ec2.create_route_table(VpcId=vpc)["RouteTable"]["RouteTableId"]
        ec2.create_route(RouteTableId=table, DestinationCidrBlock="0.0.0.0/0",
                         NetworkInterfaceId=eni["NetworkInterfaceId"])
        ec2.associate_route_table(RouteTableId=table, SubnetId=private)
        gw["privateSubnet"], gw["privateCidr"] = private, cidr
    gateways.append(gw)
out({"vpc": vpc, "gatewaySubnet": public, "gateways": gateways})
)PY";

constexpr const char* kNatScript = R"PY(
import json
layout = LAYOUT
vpc = ec2.create_vpc(CidrBlock="10.50.0.0/16")["Vpc"]["VpcId"]
def subnet(cidr, zone):
    return ec2.create_subnet(VpcId=vpc, CidrBlock=cidr, AvailabilityZone=zone)["Subnet"]["SubnetId"]
def route(target_key, target, subnets):
    table = ec2.create_route_table(VpcId=vpc)["RouteTable"]["RouteTableId"]
    ec2.create_route(RouteTableId=table, DestinationCidrBlock="0.0.0.0/0", **{target_key: target})
    for s in subnets:
        ec2.associate_route_table(RouteTableId=table, SubnetId=s)
gateways = []
if layout == "PrivateOnly":
    inner = subnet("10.50.0.0/24", "us-east-1a")
    nat = ec2.create_nat_gateway(SubnetId=inner, ConnectivityType="private")["NatGateway"]
    route("NatGatewayId", nat["NatGatewayId"], [subnet("10.50.4.0/24", "us-east-1a")])
else:
    zones = [("a", "10.50.0.0/24", "10.50.4.0/24"), ("b", "10.50.1.0/24", "10.50.5.0/24")]
    for zone, public_cidr, private_cidr in zones:
        public = subnet(public_cidr, "us-east-1" + zone)
        eip = ec2.allocate_address(Domain="vpc")
        nat = ec2.create_nat_gateway(SubnetId=public, AllocationId=eip["AllocationId"],
                                     ConnectivityType="public")["NatGateway"]
        address = nat["NatGatewayAddresses"][0]
        gateways.append({"id": nat["NatGatewayId"], "subnet": public, "subnetCidr": public_cidr,
                         "publicIp": address.get("PublicIp", ""), "privateIp": address.get("PrivateIp", ""),
                         "testSubnet": subnet(private_cidr, "us-east-1" + zone), "testCidr": private_cidr})
    a, b = gateways
    route("NatGatewayId", a["id"], [b["testSubnet"]] if layout == "WrongZone" else [a["testSubnet"]])
    route("NatGatewayId", b["id"], [b["testSubnet"]])
out({"vpc": vpc, "gateways": gateways})
)PY";

std::string replaced(std::string script, const std::string& name, const std::string& value) {
  return script.replace(script.find(name), name.size(), value);
}

}  // namespace

Doc SpokeVpc::record(size_t i) const {
  const SpokeInterface& g = gateways.at(i);
  return Doc{{"gw_name", g.name},
             {"private_ip", g.privateIp},
             {"public_ip", g.publicIp},
             {"gw_subnet_id", gatewaySubnet},
             {"public_subnet", "10.40.0.0/24"},
             {"transit_gw_name", "tgw-hub"}};
}

SpokeVpc makeSpokeVpc(const std::vector<std::string>& names, const std::vector<std::string>& unrouted) {
  Doc layout{{"names", names}, {"unrouted", unrouted}};
  Doc made = testbed::boto3Json(replaced(kSpokeScript, "LAYOUT", Doc(layout.dump()).dump()));
  SpokeVpc vpc{made["vpc"], made["gatewaySubnet"], {}};
  for (const Doc& g : made["gateways"])
    vpc.gateways.push_back({g["name"], g["eni"], g["publicIp"], g["privateIp"], g["privateSubnet"], g["privateCidr"]});
  return vpc;
}

NatVpc makeNatVpc(NatLayout layout) {
  const char* name = layout == NatLayout::TwoZones    ? "TwoZones"
                     : layout == NatLayout::WrongZone ? "WrongZone"
                                                      : "PrivateOnly";
  Doc made = testbed::boto3Json(replaced(kNatScript, "LAYOUT", Doc(name).dump()));
  NatVpc vpc{made["vpc"], {}};
  for (const Doc& g : made["gateways"])
    vpc.gateways.push_back(
        {g["id"], g["subnet"], g["subnetCidr"], g["publicIp"], g["privateIp"], g["testSubnet"], g["testCidr"]});
  return vpc;
}

}  // namespace discovery
