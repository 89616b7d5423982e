// The NAT gateway search over DescribeNatGateways, DescribeSubnets and DescribeRouteTables.
#include "tarnwick_testlibs/bin/lib/nat.h"

#include <filesystem>
#include <system_error>

#include <nlohmann/json.hpp>

#include "tarnwick_testlibs/aws/paginator.h"
#include "tarnwick_testlibs/aws/views.h"
#include "tarnwick_testlibs/base/ipv4.h"
#include "tarnwick_testlibs/bin/core/AppExitStatus.h"
#include "tarnwick_testlibs/bin/core/Globals.h"
#include "tarnwick_testlibs/bin/core/logging.h"
#include "tarnwick_testlibs/bin/core/messages.h"
#include "tarnwick_testlibs/bin/lib/cli.h"
#include "tarnwick_testlibs/bin/lib/s3.h"
#include "tarnwick_testlibs/bin/lib/spoke.h"
#include "tarnwick_testlibs/bin/lib/testconfig.h"

namespace tarnwick::nat {
namespace {

using Doc = nlohmann::ordered_json;

logging::Logger& logger() { return logging::getLogger(kLogger); }

Doc filter(const std::string& name, const std::string& value) {
  return Doc{{"Name", name}, {"Values", Doc::array({value})}};
}

[[noreturn]] void fail(const std::string& message) {
  logger().error(message);
  throw ProcessExit(kExitFatal, "");
}

Doc subnetIds(const std::vector<std::string>& ids) {
  Doc list = Doc::array();
  for (const auto& id : ids) list.push_back(id);
  return Doc{{"SubnetIds", list}};
}

NatGwMap publicNatGateways(const Doc& descriptions) {
  NatGwMap bySubnet;
  for (const Doc& description : descriptions) {
    const aws::view::NatGateway gw(description, "DescribeNatGateways");
    if (gw.connectivity() != "public") continue;
    const aws::view::Record address = gw.firstAddress();
    const std::string subnet = gw.subnetId();
    bySubnet.assign(subnet, NatGwInfo(gw.id(), subnet, address.textOr("PublicIp"), address.textOr("PrivateIp")));
  }
  return bySubnet;
}

// Main-table associations carry no "SubnetId"; they name no subnet to test and are skipped.
void collectPrivateSubnets(const Doc& routeTables, NatGwMap& gateways) {
  const auto routed =
      aws::view::routedSubnets(routeTables, "NatGatewayId", aws::view::MainAssociations::kSkip,
                               [&gateways](const std::string& id) { return gateways.find(id) != nullptr; });
  for (const auto& [id, subnet] : routed) gateways.find(id)->private_subnets.push_back(subnet);
}

void chooseTestSubnet(aws::Ec2Client& ec2, NatGwInfo& gateway) {
  if (gateway.private_subnets.empty()) fail(messages::noNatPrivateSubnet(gateway.nat_gw_id));
  const Doc answer = ec2.describe_subnets(subnetIds(gateway.private_subnets));
  for (const auto& subnet : aws::view::subnets(answer)) {
    if (subnet.textOr("AvailabilityZone") != gateway.az) continue;
    gateway.private_subnet_cidr = subnet.cidr();
    gateway.private_subnet_id = subnet.id();
    gateway.private_subnet_gw_ip = ipv4::Network::parse(gateway.private_subnet_cidr).firstHost();
    return;
  }
  fail(messages::noNatPrivateSubnetInZone(gateway.nat_gw_id));
}

}  // namespace

NatGwInfo::NatGwInfo(std::string nat_gw_id_, std::string subnet_id_, std::string public_ip, std::string private_ip)
    : nat_gw_id(std::move(nat_gw_id_)),
      nat_gw_ip(std::move(private_ip)),
      nat_gw_public_ip(std::move(public_ip)),
      subnet_id(std::move(subnet_id_)) {}

nlohmann::ordered_json NatGwInfo::toDict() const {
  return Doc{{"nat_gw_id", nat_gw_id},
             {"gw_private_ip", nat_gw_ip},
             {"gw_public_ip", nat_gw_public_ip},
             {"gw_subnet_id", subnet_id},
             {"gw_subnet_cidr", subnet_cidr ? Doc(*subnet_cidr) : Doc()},
             {"private_subnet_id", private_subnet_id},
             {"private_subnet_cidr", private_subnet_cidr},
             {"private_subnet_gw_ip", private_subnet_gw_ip}};
}

void NatGwMap::assign(const std::string& key, NatGwInfo info) {
  if (NatGwInfo* present = find(key)) {
    *present = std::move(info);
    return;
  }
  entries_.emplace_back(key, std::move(info));
}

NatGwInfo* NatGwMap::find(const std::string& key) {
  for (auto& [k, v] : entries_)
    if (k == key) return &v;
  return nullptr;
}

nlohmann::ordered_json Nat::get_existing_natgws(aws::Ec2Client& ec2_client,
                                                const std::optional<std::string>& nat_gw_tag, const std::string& vpc) {
  Doc filters = Doc::array({filter("vpc-id", vpc), filter("state", "available")});
  if (nat_gw_tag && !nat_gw_tag->empty()) {
    logger().info("NAT gateway tag specified " + *nat_gw_tag);
    auto colon = nat_gw_tag->find(':');
    std::string key = nat_gw_tag->substr(0, colon);
    std::string value = colon == std::string::npos ? "" : nat_gw_tag->substr(colon + 1);
    filters.push_back(filter("tag:" + key, value));
  }
  // The service model names this member "Filter", unlike the other Describe operations.
  Doc answer = aws::allPages(ec2_client, "DescribeNatGateways", Doc{{"Filter", filters}});
  return answer.value("NatGateways", Doc::array());
}

NatGwMap Nat::get_natgw_infos(aws::Ec2Client& ec2_client, const std::string& vpc) {
  NatGwMap bySubnet = publicNatGateways(get_existing_natgws(ec2_client, std::nullopt, vpc));
  if (bySubnet.empty()) fail(messages::noPublicNatGateway(vpc));

  std::vector<std::string> subnets;
  for (const auto& [subnet, info] : bySubnet.entries()) subnets.push_back(subnet);
  const Doc answer = ec2_client.describe_subnets(subnetIds(subnets));
  for (const auto& subnet : aws::view::subnets(answer)) {
    NatGwInfo* info = bySubnet.find(subnet.id());
    if (!info) continue;
    info->subnet_cidr = subnet.cidr();
    info->az = subnet.zone();
  }

  NatGwMap byId;
  for (auto& [subnet, info] : bySubnet.entries()) {
    const std::string id = info.nat_gw_id;
    byId.assign(id, std::move(info));
  }
  return byId;
}

void Nat::findNatGws(const SearchOptions& args, aws::Ec2Client& ec2_client, aws::S3Client* s3_client) {
  const std::string vpc = cli::text(args.vpc);
  NatGwMap gateways = get_natgw_infos(ec2_client, vpc);
  collectPrivateSubnets(
      aws::allPages(ec2_client, "DescribeRouteTables", Doc{{"Filters", Doc::array({filter("vpc-id", vpc)})}}),
      gateways);
  for (auto& [id, gateway] : gateways.entries()) chooseTestSubnet(ec2_client, gateway);

  Doc entries = Doc::array();
  for (const auto& [id, gateway] : gateways.entries()) entries.push_back(gateway.toDict());
  testconfig::logAndWrite(kLogger, entries, Globals::TEST_CONFIG);

  if (cli::nonEmpty(args.s3_bucket)) {
    s3::S3BackupCmd backup(s3_client, cli::text(args.backup_folder), args.s3_bucket, vpc);
    try {
      backup.uploadAFile(cli::text(args.output_test_config));
    } catch (...) {
      // A later run that found the file would skip the search and the upload alike.
      std::error_code ignored;
      std::filesystem::remove(Globals::TEST_CONFIG, ignored);
      throw;
    }
  }
}

}  // namespace tarnwick::nat
