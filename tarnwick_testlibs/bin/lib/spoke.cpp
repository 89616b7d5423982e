// Spoke gateway queries against the controller and the subnet search that joins them with the
// VPC's route tables.
#include "tarnwick_testlibs/bin/lib/spoke.h"

#include <functional>
#include <iostream>
#include <utility>

#include <nlohmann/json.hpp>

#include "tarnwick_testlibs/aws/paginator.h"
#include "tarnwick_testlibs/aws/views.h"
#include "tarnwick_testlibs/base/ipv4.h"
#include "tarnwick_testlibs/bin/core/AppExitStatus.h"
#include "tarnwick_testlibs/bin/core/Globals.h"
#include "tarnwick_testlibs/bin/core/logging.h"
#include "tarnwick_testlibs/bin/core/messages.h"
#include "tarnwick_testlibs/bin/lib/cli.h"
#include "tarnwick_testlibs/bin/lib/testconfig.h"

namespace tarnwick::spoke {
namespace {

using Doc = nlohmann::ordered_json;

logging::Logger& logger() { return logging::getLogger(kLogger); }

// The controller's texts may arrive as null or, rarely, as other scalars.
std::string text(const Doc& value) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_null()) return "";
  return value.dump();
}

std::optional<std::string> optionalText(const Doc& value) {
  if (value.is_null()) return std::nullopt;
  return text(value);
}

const Doc& member(const Doc& record, const char* name) {
  if (!record.is_object() || !record.contains(name))
    throw std::runtime_error(std::string("gateway record without \"") + name + "\"");
  return record[name];
}

bool has(const Doc& record, const char* name) { return record.is_object() && record.contains(name); }

Doc queryGateways(const std::string& api_endpoint_url, const std::string& CID, const std::string& name) {
  auto response = Spoke::list_gateway_info(api_endpoint_url, CID, "", "no", name);
  Doc answer = Doc::parse(response.body, nullptr, false);
  if (answer.is_discarded()) throw std::runtime_error("the controller's answer is not JSON");
  if (!answer.is_object()) throw std::runtime_error("the controller's answer is not a JSON object");
  return answer;
}

// Reports a controller refusal; true when the answer says "return": false.
bool refused(const Doc& answer) {
  auto it = answer.find("return");
  if (it == answer.end() || !it->is_boolean() || it->get<bool>()) return false;
  auto reason = answer.find("reason");
  logger().error(messages::controllerRefused(reason == answer.end() ? std::string() : text(*reason)));
  return true;
}

const Doc& results(const Doc& answer) {
  const Doc& list = member(answer, "results");
  if (!list.is_array()) throw std::runtime_error("\"results\" of the controller's answer is not a list");
  return list;
}

void reportOnStderr(const std::string& what, const std::exception& e) {
  std::cerr << what << ": " << describeFailure(e) << std::endl;
}

void logReceiveFailure(const std::string& name, const std::exception& e) {
  logger().error(messages::gatewayInfoNotReceived(name, e));
}

Spoke classicPeer(const Doc& hagw, const Doc& primary) {
  Spoke peer;
  if (has(hagw, "private_ip")) {
    peer.gw_private_ip = text(hagw["private_ip"]);
    peer.transit_name = optionalText(primary["transit_gw_name"]);
  }
  if (has(hagw, "gw_name")) peer.gw_name = text(hagw["gw_name"]);
  if (has(hagw, "public_ip")) peer.gw_public_ip = text(hagw["public_ip"]);
  peer.checkStatus();
  return peer;
}

// An insertion-ordered map from network interface to gateway: a reassigned key keeps its place.
class InterfaceMap {
 public:
  void assign(const std::string& eni, Spoke gateway) {
    for (auto& [key, value] : entries_)
      if (key == eni) {
        value = std::move(gateway);
        return;
      }
    entries_.emplace_back(eni, std::move(gateway));
  }
  Spoke* find(const std::string& eni) {
    for (auto& [key, value] : entries_)
      if (key == eni) return &value;
    return nullptr;
  }
  std::vector<std::pair<std::string, Spoke>>& entries() { return entries_; }

 private:
  std::vector<std::pair<std::string, Spoke>> entries_;
};

Doc oneFilter(const std::string& name, const std::string& value) {
  return Doc{{"Filters", Doc::array({Doc{{"Name", name}, {"Values", Doc::array({value})}}})}};
}

std::string interfaceCarrying(aws::Ec2Client& ec2, const std::string& publicIp) {
  const Doc answer = ec2.describe_network_interfaces(oneFilter("addresses.association.public-ip", publicIp));
  const auto list = aws::view::Record(answer, "DescribeNetworkInterfaces").list("NetworkInterfaces");
  if (list.empty()) throw std::runtime_error("no network interface carries the public address \"" + publicIp + "\"");
  return list.front().as<aws::view::NetworkInterface>().id();
}

// A table that routes through a gateway and is the main table names no subnet to test: the
// search ends.
void collectPrivateSubnets(const Doc& routeTables, InterfaceMap& map) {
  const auto routed = aws::view::routedSubnets(routeTables, "NetworkInterfaceId", aws::view::MainAssociations::kRefuse,
                                               [&map](const std::string& eni) { return map.find(eni) != nullptr; });
  for (const auto& [eni, subnet] : routed) map.find(eni)->private_subnets.push_back(subnet);
}

void chooseTestSubnet(aws::Ec2Client& ec2, Spoke& gateway) {
  if (gateway.private_subnets.empty()) throw std::runtime_error("no subnet is routed through spoke " + gateway.gw_name);
  const Doc answer = ec2.describe_subnets(Doc{{"SubnetIds", Doc::array({gateway.private_subnets.front()})}});
  const auto subnets = aws::view::subnets(answer);
  if (subnets.empty()) throw std::runtime_error("subnet " + gateway.private_subnets.front() + " is not found");
  gateway.first_private_subnet_cidr = subnets.front().cidr();
  gateway.private_subnet_gw_ip = firstHostAddress(gateway.first_private_subnet_cidr);
}

// A file found at the start of a later run ends that run as a success without searching, so a
// search that failed or found nothing must leave none: an error logged on the way (a failed
// login, a refused query) or an empty result writes no file.
bool worthWriting(const Doc& entries, const std::string& searched) {
  if (AppExitStatus().getStatus() != kExitOk) return false;
  if (!entries.empty()) return true;
  logger().error(messages::noSpokeSubnet(searched));
  return false;
}

// Everything from the first controller query to the written file either completes or leaves no
// file; the failure then goes to standard error only, so it does not fail the run by itself.
void searchSubnets(const SearchOptions& args, aws::Ec2Client& ec2, const std::string& searched,
                   const std::function<std::vector<Spoke>()>& gateways) {
  try {
    InterfaceMap map;
    for (Spoke& gateway : gateways()) {
      const std::string eni = interfaceCarrying(ec2, gateway.gw_public_ip);
      map.assign(eni, std::move(gateway));
    }
    collectPrivateSubnets(aws::allPages(ec2, "DescribeRouteTables", oneFilter("vpc-id", cli::text(args.vpc))), map);
    Doc entries = Doc::array();
    for (auto& [eni, gateway] : map.entries()) {
      chooseTestSubnet(ec2, gateway);
      entries.push_back(gateway.toDict());
    }
    if (worthWriting(entries, searched)) testconfig::logAndWrite(kLogger, entries, Globals::TEST_CONFIG);
  } catch (const ProcessExit&) {
    throw;
  } catch (const std::exception& e) {
    reportOnStderr("spoke subnet search failed", e);
  }
}

}  // namespace

std::string firstHostAddress(const std::string& cidr) { return ipv4::Network::parse(cidr).firstHost(); }

bool Spoke::isDefined() const { return !gw_private_ip.empty() || (transit_name && !transit_name->empty()); }

void Spoke::checkStatus() const {
  if (gw_private_ip.empty()) {
    logger().error(messages::spokePrivateIpMissing(gw_name));
  } else if (!transit_name || transit_name->empty()) {
    logger().info("  spoke " + gw_name + " is not attached to a transit");
  } else {
    logger().info("  found " + *transit_name);
  }
}

nlohmann::ordered_json Spoke::toDict() const {
  if (private_subnets.empty()) throw std::out_of_range("spoke " + gw_name + " has no private subnet");
  return Doc{{"gw_name", gw_name},
             {"gw_private_ip", gw_private_ip},
             {"gw_subnet_id", gw_subnet},
             {"gw_subnet_cidr", gw_subnet_cidr},
             {"private_subnet_id", private_subnets.front()},
             {"private_subnet_cidr", first_private_subnet_cidr},
             {"private_subnet_gw_ip", private_subnet_gw_ip}};
}

twk_https::ApiResponse Spoke::list_gateway_info(const std::string& api_endpoint_url, const std::string& CID,
                                                const std::string& vpc_access_account_name,
                                                const std::string& acx_gw_only,
                                                const std::optional<std::string>& gw_name,
                                                const std::string& keyword_for_log) {
  twk_https::Payload payload{{"action", "list_vpcs_summary"},
                             {"CID", CID},
                             {"account_name", vpc_access_account_name},
                             {"acx_gw_only", acx_gw_only}};
  if (gw_name) payload.emplace_back("gateway_name", *gw_name);
  return twk_https::_send_tarnwick_api(api_endpoint_url, "GET", payload, keyword_for_log, "    ");
}

Spoke Spoke::createSpoke(const nlohmann::ordered_json& info) {
  Spoke gateway;
  gateway.gw_private_ip = text(member(info, "private_ip"));
  if (has(info, "transit_gw_name")) gateway.transit_name = optionalText(info["transit_gw_name"]);
  gateway.gw_name = text(member(info, "gw_name"));
  gateway.gw_public_ip = text(member(info, "public_ip"));
  gateway.gw_subnet = text(member(info, "gw_subnet_id"));
  gateway.gw_subnet_cidr = text(member(info, "public_subnet"));
  gateway.checkStatus();
  return gateway;
}

std::vector<Spoke> Spoke::getSpokeInfo(const std::string& api_endpoint_url, const std::string& CID,
                                       const std::string& spoke_gw_name) {
  std::optional<Doc> first;
  try {
    Doc answer = queryGateways(api_endpoint_url, CID, spoke_gw_name);
    if (refused(answer)) return {};
    for (const Doc& element : results(answer)) {
      if (text(member(element, "gw_name")) != spoke_gw_name) continue;
      for (const char* needed : {"private_ip", "transit_gw_name", "public_ip", "public_subnet", "gw_subnet_id"})
        member(element, needed);
      if (!first) first = element;
    }
  } catch (const std::exception& e) {
    logReceiveFailure(spoke_gw_name, e);
    return {};
  }
  if (!first) return {};

  // Every member was checked above, so the record is built exactly as createSpoke builds one.
  const Doc& match = *first;
  std::vector<Spoke> found{createSpoke(match)};
  if (has(match, "hagw_details") && !match["hagw_details"].is_null())
    found.push_back(classicPeer(match["hagw_details"], match));
  return found;
}

std::vector<Spoke> Spoke::getHsSpokeInfo(const std::string& api_endpoint_url, const std::string& CID,
                                         const std::string& spoke_gw_name) {
  std::vector<Spoke> found;
  try {
    Doc answer = queryGateways(api_endpoint_url, CID, spoke_gw_name);
    if (refused(answer)) return {};
    for (const Doc& element : results(answer)) {
      if (text(member(element, "gw_name")) != spoke_gw_name) continue;
      found.push_back(createSpoke(element));
      if (!has(element, "hagw_details") || !has(element, "hagw_details_list")) continue;
      const Doc& peers = element["hagw_details_list"];
      if (!peers.is_array()) throw std::runtime_error("\"hagw_details_list\" is not a list");
      for (const Doc& peer : peers) found.push_back(createSpoke(peer));
    }
  } catch (const std::exception& e) {
    logReceiveFailure(spoke_gw_name, e);
    return {};
  }
  return found;
}

void Spoke::findClassicSpokes(const SearchOptions& args, aws::Ec2Client& ec2_client,
                              const std::string& controller_api_url, const std::string& CID,
                              const std::string& spoke_gw_name) {
  searchSubnets(args, ec2_client, spoke_gw_name + " or " + spoke_gw_name + "-hagw", [&] {
    auto gateways = getSpokeInfo(controller_api_url, CID, spoke_gw_name);
    for (Spoke& peer : getSpokeInfo(controller_api_url, CID, spoke_gw_name + "-hagw"))
      gateways.push_back(std::move(peer));
    return gateways;
  });
}

void Spoke::findHsSpokes(const SearchOptions& args, aws::Ec2Client& ec2_client, const std::string& controller_api_url,
                         const std::string& CID, const std::string& spoke_gw_name) {
  searchSubnets(args, ec2_client, spoke_gw_name,
                [&] { return getHsSpokeInfo(controller_api_url, CID, spoke_gw_name); });
}

}  // namespace tarnwick::spoke
