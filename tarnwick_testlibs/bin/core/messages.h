// The "**Error**" texts that users read, each built here and nowhere else, so that a text the
// tests and the users' scripts look for cannot drift between two call sites. Internal to the
// package.
#pragma once
#include <exception>
#include <string>
#include <string_view>

namespace tarnwick::messages {

// A problem that fails the run: "  **Error** " and what went wrong.
inline std::string error(std::string_view what) { return "  **Error** " + std::string(what); }
inline std::string error(const std::exception& failure) { return error(failure.what()); }

// Run flow and deployment.

inline constexpr const char* kSessionFailure = "The AWS new session attempt has failed";
inline std::string sessionFailed() { return error(kSessionFailure); }
inline std::string accountNotDeduced() { return error("failed to deduce workflow account number from meta data"); }
// Logged at INFO before the run ends; unlike the others it is not indented.
inline std::string incompleteTagPair() { return "**Error** incomplete tag_resource pair"; }
inline std::string otherAccount(std::string_view caller, std::string_view expected) {
  return error("the credentials are of account " + std::string(caller) + ", not of --account " + std::string(expected) +
               ": nothing was changed");
}
inline std::string outputConfigRequired() { return error("--output_test_config is required to deploy"); }
inline std::string workerEnded(std::string_view subnetId, std::string_view failure) {
  return error("worker for " + std::string(subnetId) + " ended: " + std::string(failure));
}
inline std::string privateSubnetMissing(std::string_view natGwId) {
  return error("Skip " + std::string(natGwId) + " -- private_subnet_id not defined");
}
inline std::string sameGatewaySubnet(std::string_view entry, std::string_view subnetId, std::string_view earlier) {
  return error("Skip " + std::string(entry) + " -- same gw_subnet_id " + std::string(subnetId) + " as " +
               std::string(earlier));
}
inline std::string imageNotFound(std::string_view image) { return error("Failed to find image " + std::string(image)); }
inline std::string vpcNotFound(std::string_view vpcId, std::string_view region) {
  return error("VPC " + std::string(vpcId) + " not found in " + std::string(region));
}
inline std::string subnetNotFound(std::string_view subnetId) {
  return error("cannot find subnet " + std::string(subnetId));
}
inline std::string securityGroupNotFound(std::string_view name, std::string_view vpcId) {
  return error("SG not found " + std::string(name) + " in " + std::string(vpcId));
}
inline std::string roleNotFound(std::string_view role) { return error("role not found " + std::string(role)); }
inline std::string noInstanceProfile(std::string_view role) {
  return error("no instance profile found for role " + std::string(role));
}
inline std::string instanceNotRunning(std::string_view name, std::string_view instanceId, std::string_view subnetId) {
  return error(std::string(name) + " " + std::string(instanceId) + " in " + std::string(subnetId) + " is not running");
}
inline std::string eipNotAllocated() { return error("fail to allocate EIP"); }
// A run ended by a signal, and the command line that removes what it made or left.
inline std::string interrupted(std::string_view signal, std::string_view revert) {
  return error("Interrupted by " + std::string(signal) + ": to remove what is left, run: " + std::string(revert));
}
inline std::string interruptedDryRun(std::string_view signal) {
  return error("Interrupted by " + std::string(signal) + ": a dry run changed nothing");
}

// Result collection: a failure that says nothing about the test instances ends the collection.
inline std::string resultsUnreadable(std::string_view subnetId, std::string_view bucket, std::string_view tag,
                                     std::string_view failure) {
  return error("cannot read the test results of " + std::string(subnetId) + " (log-" + std::string(tag) +
               ".txt, result-" + std::string(tag) + ".txt) in bucket " + std::string(bucket) + ": " +
               std::string(failure));
}

// Pre-flight checks: each names its check, the entries or subnet concerned, and what to do.
inline std::string preflight(std::string_view check, std::string_view problem, std::string_view remedy) {
  return error("Pre-flight " + std::string(check) + ": " + std::string(problem) + ": " + std::string(remedy));
}
inline std::string preflightSubnetMissing(std::string_view subnetId, std::string_view entry) {
  return preflight("subnets", "subnet " + std::string(subnetId) + " of " + std::string(entry) + " not found",
                   "correct the test configuration");
}
inline std::string preflightAddresses(std::string_view entries, size_t needed, long free, long quota,
                                      size_t allocated) {
  return preflight("addresses",
                   std::string(entries) + " need " + std::to_string(needed) + " new Elastic IPs, only " +
                       std::to_string(free) + " are free (vpc-max-elastic-ips " + std::to_string(quota) + ", " +
                       std::to_string(allocated) + " allocated)",
                   "release unused Elastic IPs, raise the quota or deploy fewer entries");
}
inline std::string preflightNotOffered(std::string_view type, std::string_view zone, std::string_view subnetId,
                                       std::string_view entry) {
  return preflight("offering",
                   std::string(type) + " is not offered in " + std::string(zone) + ", the zone of gateway subnet " +
                       std::string(subnetId) + " of " + std::string(entry),
                   "choose another --instance_type or a gateway subnet in another zone");
}
inline std::string preflightZones(std::string_view entry, std::string_view testSubnet, std::string_view testZone,
                                  std::string_view gwSubnet, std::string_view gwZone) {
  return preflight("offering",
                   "test subnet " + std::string(testSubnet) + " of " + std::string(entry) + " is in " +
                       std::string(testZone) + ", its gateway subnet " + std::string(gwSubnet) + " in " +
                       std::string(gwZone),
                   "an instance's two interfaces need one zone: pick a test subnet in " + std::string(gwZone));
}
inline std::string preflightRoom(std::string_view subnetId, long free, std::string_view entries, size_t needed) {
  return preflight("room",
                   "subnet " + std::string(subnetId) + " has " + std::to_string(free) + " free addresses, " +
                       std::string(entries) + " need " + std::to_string(needed),
                   "free addresses in that subnet or deploy fewer entries into it");
}
inline std::string preflightArchitecture(std::string_view imageId, std::string_view architecture, std::string_view type,
                                         std::string_view supported) {
  return preflight("architecture",
                   "image " + std::string(imageId) + " is " + std::string(architecture) + ", " + std::string(type) +
                       " runs " + std::string(supported) + " (every entry)",
                   "choose an --image and --instance_type of one architecture");
}
// `reason`: what denied it, when the denial could be decoded ("" otherwise).
inline std::string preflightDenied(std::string_view action, std::string_view forWhat, std::string_view identity,
                                   std::string_view reason = "") {
  const std::string denied =
      std::string(action) + " (" + std::string(forWhat) + ") is not allowed for " + std::string(identity);
  const std::string grant = "grant ec2:" + std::string(action) + " to that identity";
  if (reason.empty()) return preflight("permission", denied, grant);
  return preflight("permission", denied + " -- " + std::string(reason), grant + ", or meet what denied it");
}
inline std::string preflightRefused(std::string_view action, std::string_view forWhat, std::string_view failure) {
  return preflight("permission",
                   std::string(action) + " (" + std::string(forWhat) + ") would fail: " + std::string(failure),
                   "correct what the message names");
}

// Discovery.

inline std::string noPublicNatGateway(std::string_view vpcId) {
  return error("No available public NAT gateway found in " + std::string(vpcId));
}
inline std::string noNatPrivateSubnet(std::string_view natGwId) {
  return error("cannot find a private subnet that points to NAT gw " + std::string(natGwId));
}
inline std::string noNatPrivateSubnetInZone(std::string_view natGwId) {
  return noNatPrivateSubnet(natGwId) + " in the same AZ";
}
inline std::string controllerRefused(std::string_view reason) {
  return error("Failed to get gateway info from controller. " + std::string(reason));
}
inline std::string gatewayInfoNotReceived(std::string_view spokeName, const std::exception& failure) {
  return error("Failed to receive transit gateway info for spoke " + std::string(spokeName) + ". " + failure.what());
}
inline std::string noSpokeSubnet(std::string_view searched) {
  return error("no test subnet found behind spoke gateway " + std::string(searched) + ": no file written");
}
inline std::string spokePrivateIpMissing(std::string_view gwName) {
  return error("spoke " + std::string(gwName) + " private_ip not found");
}

}  // namespace tarnwick::messages
