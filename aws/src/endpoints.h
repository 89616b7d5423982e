// Internal: which host a service's calls go to and which region they are signed for.
#pragma once
#include <optional>
#include <string>

namespace tarnwick::aws::detail {

struct ServiceEndpoint {
  std::string url;            // scheme://host[:port], no trailing slash
  std::string signingRegion;  // the region the requests are signed for
};
// Where a service's calls go: a configured endpoint (endpointOverridden; service ids "EC2", "IAM",
// "S3", "SSM", "STS", "SSO", "SSO OIDC"), else the standard host of the region's partition, in its FIPS
// or dual-stack variant when AWS_USE_FIPS_ENDPOINT / AWS_USE_DUALSTACK_ENDPOINT (or the profile's
// use_fips_endpoint / use_dualstack_endpoint) ask for it; a variant that does not exist throws
// ClientError. IAM is global (one host per partition, signed for the partition's region); STS
// is regional, global when no region is given or when AWS_STS_REGIONAL_ENDPOINTS (or the
// profile's sts_regional_endpoints) is "legacy" and the region one of the older ones.
ServiceEndpoint serviceEndpoint(const std::string& serviceId, const std::string& region,
                                const std::optional<std::string>& profile = std::nullopt);
std::string resolveEndpoint(const std::string& serviceId, const std::string& region,
                            const std::optional<std::string>& profile = std::nullopt);
// True when the endpoint was configured (S3 then uses path-style): AWS_ENDPOINT_URL_<SERVICE>,
// AWS_ENDPOINT_URL, the profile's services section, the profile's endpoint_url, in this order,
// unless AWS_IGNORE_CONFIGURED_ENDPOINT_URLS or ignore_configured_endpoint_urls is true.
bool endpointOverridden(const std::string& serviceId, const std::optional<std::string>& profile = std::nullopt);

}  // namespace tarnwick::aws::detail
