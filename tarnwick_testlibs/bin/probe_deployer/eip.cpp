// Elastic IPs of test instances, and the lookup of test instances by subnet or VPC.
#include "tarnwick_testlibs/bin/probe_deployer/eip.h"

#include <exception>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tarnwick_testlibs/aws/errors.h"
#include "tarnwick_testlibs/aws/paginator.h"
#include "tarnwick_testlibs/aws/views.h"
#include "tarnwick_testlibs/bin/core/messages.h"
#include "tarnwick_testlibs/bin/probe_deployer/common.h"
#include "tarnwick_testlibs/bin/probe_deployer/detail/resource_support.h"
#include "tarnwick_testlibs/bin/probe_deployer/run_summary.h"
#include "tarnwick_testlibs/bin/probe_deployer/tags.h"

namespace tarnwick::probe_deployer {

using detail::filter;
using detail::log;

namespace {

// Lets a revert find addresses that never reached their instance, by VPC alone.
// Names the interface an address was allocated for, so that a repeated allocation can find the
// address its lost attempt made.
constexpr const char* kEipInterfaceTagKey = "tarnwick:network-interface-id";

std::string moreThanOne(const std::string& where) {
  return std::string("  **Alert** More than one ec2 with tag Name:") + kEc2Name + " found in " + where;
}

// The public address of the instance's one associated interface; nothing with none or several.
std::optional<std::string> soleAssociatedAddress(const aws::view::Instance& instance) {
  std::vector<std::string> addresses;
  for (const auto& nic : instance.interfaces())
    if (nic.has("Association")) addresses.push_back(nic.publicIp());
  if (addresses.size() != 1) return std::nullopt;
  return addresses.front();
}

// The one place that says what a repeated release means: an address already gone was released
// by the attempt whose answer was lost.
void releaseAllocation(aws::Ec2Client& ec2, const std::string& allocationId) {
  detail::repeatTolerant(
      [&] {
        return ec2.release_address({{"AllocationId", allocationId}});
      },
      "InvalidAllocationID.NotFound");
}

void logRelease(const std::string& eip, const std::string& allocationId, const std::string& holder) {
  log().info("- Delete EIP " + eip + " " + allocationId + " for " + holder);
}

// Gives back an address whose association failed. This happens in a dry run too: the address
// was allocated all the same.
void releaseAfterFailedAssociation(aws::Ec2Client& ec2, const std::string& eip, const std::string& allocationId,
                                   const std::string& networkInfId) {
  logRelease(eip, allocationId, networkInfId);
  try {
    releaseAllocation(ec2, allocationId);
    report::removed(report::Kind::kElasticIp, eip);
  } catch (const aws::Error& e) {
    // The association's failure is the one the caller must see; a revert finds the address later.
    log().error(messages::error(e));
  }
}

// After an allocation whose first answer was lost: that attempt may have allocated an address
// too. Every other address made for this interface is still unassociated; it is given back.
void releaseLostAllocations(aws::Ec2Client& ec2, const std::string& networkInfId, const std::string& kept) {
  const Doc reply = ec2.describe_addresses(
      {{"Filters", Doc::array({filter(std::string("tag:") + kEipInterfaceTagKey, {networkInfId})})}});
  for (const auto& address : aws::view::addresses(reply)) {
    if (address.allocationId() == kept || !address.associationId().empty()) continue;
    logRelease(address.publicIp(), address.allocationId(), networkInfId);
    releaseAllocation(ec2, address.allocationId());
    report::removed(report::Kind::kElasticIp, address.publicIp());
  }
}

}  // namespace

void associateEIP(aws::Ec2Client& ec2_client, const std::string& networkInfId, const std::string& vpc_id,
                  const CreateOptions& args) {
  log().info("- Allocate EIP");
  if (args.dry_run) return log().info("  would allocate an EIP and associate it with " + networkInfId);
  Doc request = {{"Domain", "vpc"}, {"TagSpecifications", detail::nameTagSpecs("elastic-ip", kEipName)}};
  request["TagSpecifications"][0]["Tags"].push_back({{"Key", kEipVpcTagKey}, {"Value", vpc_id}});
  request["TagSpecifications"][0]["Tags"].push_back({{"Key", kEipInterfaceTagKey}, {"Value", networkInfId}});
  request["TagSpecifications"][0]["Tags"].push_back(createdAtTag());
  addExpiryTag(request, args);
  addTags(request, args.tags);
  const Doc reply = ec2_client.allocate_address(request);
  if (!reply.contains("AllocationId")) {
    log().info(messages::eipNotAllocated());
    return;
  }
  const aws::view::Address allocated(reply, "AllocateAddress");
  const std::string allocationId = allocated.allocationId();
  const std::string publicIp = allocated.publicIp();
  log().info("  allocated EIP " + publicIp + " " + allocationId);
  report::created(report::Kind::kElasticIp, publicIp);
  try {
    if (aws::afterLostAnswer(reply)) releaseLostAllocations(ec2_client, networkInfId, allocationId);
    ec2_client.associate_address({{"AllocationId", allocationId}, {"NetworkInterfaceId", networkInfId}});
  } catch (const std::exception&) {
    releaseAfterFailedAssociation(ec2_client, publicIp, allocationId, networkInfId);
    throw;
  }
}

void releaseEIP(aws::Ec2Client& ec2_client, const std::string& eip, const std::string& eipAllocIp,
                const std::string& insId, const ChangeOptions& args) {
  logRelease(eip, eipAllocIp, insId);
  if (args.dry_run) return;
  releaseAllocation(ec2_client, eipAllocIp);
  report::removed(report::Kind::kElasticIp, eip);
}

void releaseUnassociatedEIPs(aws::Ec2Client& ec2_client, const std::string& vpc_id, const ChangeOptions& args) {
  const Doc reply = ec2_client.describe_addresses(
      {{"Filters",
        Doc::array({filter("tag:Name", {kEipName}), filter(std::string("tag:") + kEipVpcTagKey, {vpc_id})})}});
  for (const auto& address : aws::view::addresses(reply)) {
    if (!address.associationId().empty()) continue;
    releaseEIP(ec2_client, address.publicIp(), address.allocationId(), vpc_id, args);
  }
}

std::string getEipAllocationId(aws::Ec2Client& ec2_client, const std::string& insId, const std::string& public_ip) {
  const Doc reply = ec2_client.describe_addresses(
      {{"Filters", Doc::array({filter("instance-id", {insId})})}, {"PublicIps", Doc::array({public_ip})}});
  const auto addresses = aws::view::addresses(reply);
  if (addresses.empty()) throw aws::ClientError("no Elastic IP " + public_ip + " on " + insId);
  return addresses.front().allocationId();
}

std::pair<std::optional<std::string>, std::optional<std::string>> getEc2(aws::Ec2Client& ec2_client,
                                                                         const std::string& subnet_id) {
  const Doc reply = aws::allPages(
      ec2_client, "DescribeInstances",
      {{"Filters",
        Doc::array({filter("tag:Name", {kEc2Name}), filter("subnet-id", {subnet_id}), detail::liveInstanceStates()})}});
  const auto reservations = aws::view::Record(reply, "DescribeInstances").list("Reservations");
  if (reservations.size() > 1) {
    log().info(moreThanOne(subnet_id));
    return {std::nullopt, std::nullopt};
  }
  if (reservations.empty()) {
    log().info(std::string("  No ec2 with tag Name:") + kEc2Name + " found in " + subnet_id);
    return {std::nullopt, std::nullopt};
  }
  const auto instance = reservations.front().first("Instances").as<aws::view::Instance>();
  return {instance.id(), soleAssociatedAddress(instance)};
}

std::optional<std::vector<std::string>> getAllEc2InVpc(aws::Ec2Client& ec2_client, const std::string& vpc_id) {
  // A failed listing goes to the caller, who reports it once: without the listing there is
  // nothing safe to tear down.
  const Doc reply = aws::allPages(ec2_client, "DescribeInstances",
                                  {{"Filters", Doc::array({filter("tag:Name", {kEc2Name}), filter("vpc-id", {vpc_id}),
                                                           detail::liveInstanceStates()})}});
  const auto reservations = aws::view::Record(reply, "DescribeInstances").list("Reservations");
  if (reservations.empty()) return std::nullopt;
  if (reservations.size() > 1) log().info(moreThanOne(vpc_id));
  std::vector<std::string> ids;
  for (const auto& reservation : reservations)
    ids.push_back(reservation.first("Instances").as<aws::view::Instance>().id());
  return ids;
}

}  // namespace tarnwick::probe_deployer
