// VPCs built in the emulator for the discovery tests: spoke gateway interfaces with Elastic IPs
// and route tables through them, and public and private NAT gateways in two zones.
#pragma once
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace discovery {

struct SpokeInterface {
  std::string name;  // the gateway's name on the controller
  std::string eni;
  std::string publicIp;  // the Elastic IP on the interface
  std::string privateIp;
  std::string privateSubnet;  // routed through the interface; empty when none is
  std::string privateCidr;
};

struct SpokeVpc {
  std::string vpc;
  std::string gatewaySubnet;
  std::vector<SpokeInterface> gateways;
  // The controller's record of gateway i: its interface's addresses and the gateway subnet.
  nlohmann::ordered_json record(size_t i) const;
};

// One interface per name, each with its own private subnet 10.40.<10+i>.0/24 and route table,
// except the names in `unrouted`, whose interfaces no route table points to.
SpokeVpc makeSpokeVpc(const std::vector<std::string>& names, const std::vector<std::string>& unrouted = {});

struct NatGateway {
  std::string id;
  std::string subnet;
  std::string subnetCidr;
  std::string publicIp;
  std::string privateIp;
  std::string testSubnet;  // the private subnet of its zone routed to it
  std::string testCidr;
};

struct NatVpc {
  std::string vpc;
  std::vector<NatGateway> gateways;  // the public ones, in creation order
};

enum class NatLayout {
  TwoZones,     // public NAT gateways in zones a and b, each routed from a private subnet of its zone
  WrongZone,    // as TwoZones, but the zone-a gateway is routed only from the zone-b subnet
  PrivateOnly,  // one private NAT gateway and nothing else
};
NatVpc makeNatVpc(NatLayout layout);

}  // namespace discovery
