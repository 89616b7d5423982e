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
inline std::string subnetNotFound(std::string_view subnetId) { return error("cannot find subnet " + std::string(subnetId)); }
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
