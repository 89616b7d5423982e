// Spoke gateways of the controller and the search for the private subnets routed through them.
#pragma once
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "tarnwick_testlibs/aws/services.h"
#include "tarnwick_testlibs/bin/lib/search_options.h"
#include "tarnwick_testlibs/bin/lib/twk_https.h"

namespace tarnwick::spoke {

inline constexpr const char* kLogger = "tarnwick_testlibs.bin.lib.spoke";

// One gateway as the controller reports it, plus what the subnet search learns about it.
class Spoke {
 public:
  std::optional<std::string> transit_name = std::string();
  std::string gw_private_ip;
  std::string gw_name;
  std::string gw_public_ip;
  std::string gw_subnet;
  std::string gw_subnet_cidr;
  std::vector<std::string> private_subnets;
  std::string first_private_subnet_cidr;
  std::string private_subnet_gw_ip;

  bool isDefined() const;
  // Logs what the record lacks (an ERROR without a private address) or the transit it is on.
  void checkStatus() const;
  // The spoke entry of the test configuration; throws std::out_of_range without a private subnet.
  nlohmann::ordered_json toDict() const;

  // The controller's "list_vpcs_summary" answer; an absent gw_name sends no "gateway_name".
  static twk_https::ApiResponse list_gateway_info(const std::string& api_endpoint_url = "", const std::string& CID = "",
                                                  const std::string& vpc_access_account_name = "",
                                                  const std::string& acx_gw_only = "no",
                                                  const std::optional<std::string>& gw_name = std::nullopt,
                                                  const std::string& keyword_for_log = "twk-migration-function---");
  // The first classic gateway of that name and its peer from "hagw_details"; empty on failure.
  static std::vector<Spoke> getSpokeInfo(const std::string& api_endpoint_url = "", const std::string& CID = "",
                                         const std::string& spoke_gw_name = "");
  // Every horizontal-scaling gateway of that name with the peers of "hagw_details_list".
  static std::vector<Spoke> getHsSpokeInfo(const std::string& api_endpoint_url = "", const std::string& CID = "",
                                           const std::string& spoke_gw_name = "");
  // Throws std::runtime_error when a needed member is missing.
  static Spoke createSpoke(const nlohmann::ordered_json& info);

  // Both write the test configuration at Globals::TEST_CONFIG; a failure on the way is reported
  // on standard error only and leaves no file.
  static void findClassicSpokes(const SearchOptions& args, aws::Ec2Client& ec2_client,
                                const std::string& controller_api_url, const std::string& CID,
                                const std::string& spoke_gw_name);
  static void findHsSpokes(const SearchOptions& args, aws::Ec2Client& ec2_client, const std::string& controller_api_url,
                           const std::string& CID, const std::string& spoke_gw_name);
};

// The first host address of an IPv4 CIDR block (10.20.1.64/26 -> 10.20.1.65). Throws
// std::invalid_argument.
std::string firstHostAddress(const std::string& cidr);

}  // namespace tarnwick::spoke
