// Typed reads of the EC2 answers the modules use: instances and their interfaces, security
// groups, subnets, NAT gateways, route tables and Elastic IPs. A member that a record must have
// and lacks, or a member of another kind, throws ClientError(kMalformedAnswer) naming the
// operation, never an exception of the JSON library.
#pragma once
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace tarnwick::aws::view {

using Doc = nlohmann::ordered_json;

// One record of an answer. It refers to the answer, which must outlive it.
class Record {
 public:
  Record(const Doc& doc, std::string operation);

  const Doc& doc() const { return *doc_; }
  const std::string& operation() const { return operation_; }

  // Present and not null.
  bool has(const char* member) const;
  // A text member the record must have.
  std::string text(const char* member) const;
  // A text member that may be absent (or null): `fallback` then.
  std::string textOr(const char* member, const std::string& fallback = "") const;
  // The records of a list member; an absent list is empty.
  std::vector<Record> list(const char* member) const;
  // The first record of a list member that must hold one.
  Record first(const char* member) const;
  // A structure member; an absent one reads as an empty record.
  Record object(const char* member) const;
  // The same record through a typed view.
  template <typename View>
  View as() const {
    return View(*doc_, operation_);
  }
  // The records of a list member through a typed view; an absent list is empty.
  template <typename View>
  std::vector<View> listAs(const char* member) const {
    std::vector<View> views;
    for (const Record& r : list(member)) views.push_back(r.as<View>());
    return views;
  }

 protected:
  [[noreturn]] void malformed(const std::string& why) const;

 private:
  const Doc* member(const char* name) const;

  const Doc* doc_;
  std::string operation_;
};

struct NetworkInterface : Record {
  using Record::Record;
  std::string id() const { return text("NetworkInterfaceId"); }
  std::string subnetId() const { return textOr("SubnetId"); }
  std::string privateIp() const { return textOr("PrivateIpAddress"); }
  // The public address associated with the interface, or "".
  std::string publicIp() const { return object("Association").textOr("PublicIp"); }
};

struct Instance : Record {
  using Record::Record;
  std::string id() const { return text("InstanceId"); }
  std::string vpcId() const { return textOr("VpcId"); }
  std::string state() const { return object("State").textOr("Name"); }
  std::string publicIp() const { return textOr("PublicIpAddress"); }
  std::string instanceProfileArn() const { return object("IamInstanceProfile").textOr("Arn"); }
  std::vector<NetworkInterface> interfaces() const { return listAs<NetworkInterface>("NetworkInterfaces"); }
};

struct SecurityGroup : Record {
  using Record::Record;
  std::string id() const { return text("GroupId"); }
};

struct Subnet : Record {
  using Record::Record;
  std::string id() const { return text("SubnetId"); }
  std::string cidr() const { return text("CidrBlock"); }
  std::string zone() const { return text("AvailabilityZone"); }
  std::string vpcId() const { return text("VpcId"); }
};

struct NatGateway : Record {
  using Record::Record;
  std::string id() const { return text("NatGatewayId"); }
  std::string subnetId() const { return text("SubnetId"); }
  std::string connectivity() const { return textOr("ConnectivityType"); }
  // The gateway's first address (PublicIp, PrivateIp); a gateway has at least one.
  Record firstAddress() const { return first("NatGatewayAddresses"); }
};

struct Address : Record {
  using Record::Record;
  std::string allocationId() const { return text("AllocationId"); }
  std::string publicIp() const { return textOr("PublicIp"); }
  std::string associationId() const { return textOr("AssociationId"); }
};

// The records of an answer's top-level list, as their view. `operation` names the call.
std::vector<Instance> instances(const Doc& describeInstances, const std::string& operation = "DescribeInstances");
std::vector<SecurityGroup> securityGroups(const Doc& answer, const std::string& operation = "DescribeSecurityGroups");
std::vector<Subnet> subnets(const Doc& answer, const std::string& operation = "DescribeSubnets");
std::vector<Address> addresses(const Doc& answer, const std::string& operation = "DescribeAddresses");

// What a route table association without a subnet (the main table's) does to the join.
enum class MainAssociations {
  kRefuse,  // fails the join: such a table names no subnet to test
  kSkip,    // passes over it
};

struct RoutedSubnet {
  std::string target;  // the route's target, e.g. a network interface or NAT gateway id
  std::string subnetId;
};

// The route table join: for every route of a DescribeRouteTables answer whose `targetMember`
// ("NetworkInterfaceId", "NatGatewayId", ...) names a target that `wanted` accepts, every subnet
// associated with that table, in the answer's order.
std::vector<RoutedSubnet> routedSubnets(const Doc& describeRouteTables, const std::string& targetMember,
                                        MainAssociations main,
                                        const std::function<bool(const std::string& target)>& wanted);

}  // namespace tarnwick::aws::view
