// The NAT gateway search: public NAT gateways of a VPC and one private test subnet behind each.
#pragma once
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "tarnwick_testlibs/aws/services.h"
#include "tarnwick_testlibs/bin/lib/search_options.h"

namespace tarnwick::nat {

inline constexpr const char* kLogger = "tarnwick_testlibs.bin.lib.nat";

class NatGwInfo {
 public:
  NatGwInfo(std::string nat_gw_id, std::string subnet_id, std::string public_ip, std::string private_ip);

  std::string nat_gw_id;
  std::string nat_gw_ip;
  std::string nat_gw_public_ip;
  std::string subnet_id;
  std::optional<std::string> subnet_cidr;
  std::string private_subnet_id;
  std::vector<std::string> private_subnets;
  std::string private_subnet_cidr;
  std::string private_subnet_gw_ip;
  std::string az;

  // The NAT entry of the test configuration; an absent subnet_cidr is written as null.
  nlohmann::ordered_json toDict() const;
};

// Insertion-ordered: assigning to a present key replaces the record and keeps the key's place.
class NatGwMap {
 public:
  using Entry = std::pair<std::string, NatGwInfo>;
  void assign(const std::string& key, NatGwInfo info);
  NatGwInfo* find(const std::string& key);
  bool empty() const { return entries_.empty(); }
  std::size_t size() const { return entries_.size(); }
  std::vector<Entry>& entries() { return entries_; }
  const std::vector<Entry>& entries() const { return entries_; }

 private:
  std::vector<Entry> entries_;
};

class Nat {
 public:
  // "NatGateways" of DescribeNatGateways for the VPC, state "available" and, when given, the
  // tag "key:value".
  static nlohmann::ordered_json get_existing_natgws(aws::Ec2Client& ec2_client,
                                                    const std::optional<std::string>& nat_gw_tag,
                                                    const std::string& vpc);
  // The public NAT gateways (one per subnet) keyed by NAT gateway id, with their subnet's CIDR
  // block and zone. Without any, logs the ERROR and throws ProcessExit(1).
  static NatGwMap get_natgw_infos(aws::Ec2Client& ec2_client, const std::string& vpc);
  // All or nothing: a NAT gateway without a private subnet in its zone ends the process with
  // status 1 before anything is written. Writes Globals::TEST_CONFIG, then uploads it when
  // --s3_bucket is given. AWS, write and upload failures pass to the caller.
  static void findNatGws(const SearchOptions& args, aws::Ec2Client& ec2_client, aws::S3Client* s3_client);
};

}  // namespace tarnwick::nat
