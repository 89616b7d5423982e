// A VPC scripted into a recording EC2 fake: interfaces by public address, route tables, subnets.
#pragma once
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "testbed/fakes.h"

namespace discovery {

struct ScriptedVpc {
  struct Subnet {
    std::string cidr;
    std::string zone = "us-east-1a";
  };
  std::map<std::string, std::vector<std::string>> interfacesByPublicIp;
  std::map<std::string, Subnet> subnets;
  tarnwick::aws::Doc routeTables = tarnwick::aws::Doc::array();
  tarnwick::aws::Doc natGateways = tarnwick::aws::Doc::array();

  // A table routing to `targets` (interface or NAT gateway ids) and serving `associated`
  // (an empty id stands for the main-table association, which names no subnet).
  void addRouteTable(const std::vector<std::string>& targets, const std::vector<std::string>& associated) {
    tarnwick::aws::Doc routes =
        tarnwick::aws::Doc::array({{{"DestinationCidrBlock", "10.0.0.0/16"}, {"GatewayId", "local"}}});
    for (const auto& t : targets)
      routes.push_back({{"DestinationCidrBlock", "0.0.0.0/0"},
                        {t.rfind("nat-", 0) == 0 ? "NatGatewayId" : "NetworkInterfaceId", t}});
    tarnwick::aws::Doc associations = tarnwick::aws::Doc::array();
    for (const auto& s : associated)
      associations.push_back(s.empty() ? tarnwick::aws::Doc{{"Main", true}}
                                       : tarnwick::aws::Doc{{"Main", false}, {"SubnetId", s}});
    routeTables.push_back({{"RouteTableId", "rtb-" + std::to_string(routeTables.size())},
                           {"Routes", routes},
                           {"Associations", associations}});
  }

  void addNatGateway(const std::string& id, const std::string& subnet, const std::string& type = "public") {
    natGateways.push_back({{"NatGatewayId", id},
                           {"SubnetId", subnet},
                           {"ConnectivityType", type},
                           {"NatGatewayAddresses",
                            {{{"PrivateIp", "10.0.9." + std::to_string(natGateways.size() + 1)},
                              {"PublicIp", "52.0.0." + std::to_string(natGateways.size() + 1)}}}}});
  }

  static tarnwick::aws::Doc page(const char* member, const tarnwick::aws::Doc& all, const tarnwick::aws::Doc& params) {
    const size_t at = params.contains("NextToken") ? std::stoul(params["NextToken"].get<std::string>()) : 0;
    tarnwick::aws::Doc answer{
        {member, at < all.size() ? tarnwick::aws::Doc::array({all[at]}) : tarnwick::aws::Doc::array()}};
    if (at + 1 < all.size()) answer["NextToken"] = std::to_string(at + 1);
    return answer;
  }

  void install(testbed::FakeEc2& ec2) const {
    ec2.always("DescribeNetworkInterfaces", [this](const tarnwick::aws::Doc& p) {
      tarnwick::aws::Doc list = tarnwick::aws::Doc::array();
      auto it = interfacesByPublicIp.find(p["Filters"][0]["Values"][0].get<std::string>());
      if (it != interfacesByPublicIp.end())
        for (const auto& eni : it->second) list.push_back({{"NetworkInterfaceId", eni}});
      return tarnwick::aws::Doc{{"NetworkInterfaces", list}};
    });
    // One record a page, so that a search that reads only the first page misses subnets.
    ec2.always("DescribeRouteTables",
               [this](const tarnwick::aws::Doc& p) { return page("RouteTables", routeTables, p); });
    ec2.always("DescribeNatGateways",
               [this](const tarnwick::aws::Doc& p) { return page("NatGateways", natGateways, p); });
    ec2.always("DescribeSubnets", [this](const tarnwick::aws::Doc& p) {
      tarnwick::aws::Doc list = tarnwick::aws::Doc::array();
      for (const auto& id : p["SubnetIds"]) {
        const Subnet& s = subnets.at(id.get<std::string>());
        list.push_back({{"SubnetId", id}, {"CidrBlock", s.cidr}, {"AvailabilityZone", s.zone}});
      }
      return tarnwick::aws::Doc{{"Subnets", list}};
    });
  }
};

}  // namespace discovery
