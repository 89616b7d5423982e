// Which host a service call goes to and which region it is signed for: endpoint overrides, the
// partitions of the vendor's endpoint data, and the FIPS and dual-stack host variants.
#include "endpoints.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <regex>
#include <vector>

#include <fmt/format.h>

#include "config.h"
#include "tarnwick_testlibs/aws/errors.h"
#include "tarnwick_testlibs/aws/partition.h"
#include "tarnwick_testlibs/base/text.h"

namespace tarnwick::aws::detail {
namespace {

using tarnwick::text::lower;

// A partition's one global host of a service, as its endpoint data lists it ("" where no such
// variant is listed: asking for it fails rather than inventing a host).
struct GlobalHosts {
  const char* plain;
  const char* fips;
  const char* dualStack;
  const char* signingRegion;
};

struct Partition {
  const char* id;
  const char* regionPattern;
  const char* dnsSuffix;
  const char* dualStackDnsSuffix;  // "" where the partition has no dual-stack hosts
  GlobalHosts iam;                 // plain host "" where IAM is regional
  bool fipsHostIsPlain;            // FIPS is the plain host for EC2, SSM and STS (GovCloud)
};

// From the vendor's endpoint data; the first partition is the one for unknown regions.
const std::array<Partition, 8> kPartitions = {{
    {"aws",
     R"(^(us|eu|ap|sa|ca|me|af|il|mx)\-\w+\-\d+$)",
     "amazonaws.com",
     "api.aws",
     {"iam.amazonaws.com", "iam-fips.amazonaws.com", "iam.global.api.aws", "us-east-1"},
     false},
    {"aws-cn",
     R"(^cn\-\w+\-\d+$)",
     "amazonaws.com.cn",
     "api.amazonwebservices.com.cn",
     {"iam.cn-north-1.amazonaws.com.cn", "", "", "cn-north-1"},
     false},
    {"aws-us-gov",
     R"(^us\-gov\-\w+\-\d+$)",
     "amazonaws.com",
     "api.aws",
     {"iam.us-gov.amazonaws.com", "iam.us-gov.amazonaws.com", "", "us-gov-west-1"},
     true},
    {"aws-iso",
     R"(^us\-iso\-\w+\-\d+$)",
     "c2s.ic.gov",
     "",
     {"iam.us-iso-east-1.c2s.ic.gov", "", "", "us-iso-east-1"},
     false},
    {"aws-iso-b",
     R"(^us\-isob\-\w+\-\d+$)",
     "sc2s.sgov.gov",
     "",
     {"iam.us-isob-east-1.sc2s.sgov.gov", "", "", "us-isob-east-1"},
     false},
    {"aws-iso-e", R"(^eu\-isoe\-\w+\-\d+$)", "cloud.adc-e.uk", "", {"", "", "", ""}, false},
    {"aws-iso-f",
     R"(^us\-isof\-\w+\-\d+$)",
     "csp.hci.ic.gov",
     "",
     {"iam.us-isof-south-1.csp.hci.ic.gov", "", "", "us-isof-south-1"},
     false},
    {"aws-eusc", R"(^eusc\-(de)\-\w+\-\d+$)", "amazonaws.eu", "api.amazonwebservices.eu", {"", "", "", ""}, false},
}};

struct Variant {
  bool fips = false;
  bool dualStack = false;
};

const Partition& partitionRecord(const std::string& region) {
  static const std::vector<std::regex> patterns = [] {
    std::vector<std::regex> out;
    for (const Partition& p : kPartitions) out.emplace_back(p.regionPattern);
    return out;
  }();
  for (size_t i = 0; i < kPartitions.size(); ++i)
    if (std::regex_match(region, patterns[i])) return kPartitions[i];
  return kPartitions[0];
}

Variant variantFor(const std::optional<std::string>& profile) {
  return {flagSetting("AWS_USE_FIPS_ENDPOINT", "use_fips_endpoint", profile),
          flagSetting("AWS_USE_DUALSTACK_ENDPOINT", "use_dualstack_endpoint", profile)};
}

std::string variantName(const Variant& v) {
  if (v.fips && v.dualStack) return "FIPS dual-stack";
  return v.fips ? "FIPS" : "dual-stack";
}

[[noreturn]] void noSuchHost(const std::string& serviceId, const Partition& p, const Variant& v) {
  throw ClientError(
      fmt::format("There is no {} endpoint for {} in partition {}; unset AWS_USE_FIPS_ENDPOINT/use_fips_endpoint "
                  "or AWS_USE_DUALSTACK_ENDPOINT/use_dualstack_endpoint, or set AWS_ENDPOINT_URL_{}",
                  variantName(v), serviceId, p.id, serviceId));
}

std::string iamHost(const Partition& p, const Variant& v) {
  const char* host = v.fips && v.dualStack ? "" : v.fips ? p.iam.fips : v.dualStack ? p.iam.dualStack : p.iam.plain;
  if (!*host) noSuchHost("IAM", p, v);
  return host;
}

// Host prefixes are the signing names except for the SSO portal and its token service.
std::string hostPrefix(const std::string& serviceId) {
  std::string id = lower(serviceId);
  if (id == "sso oidc") return "oidc";
  return id == "sso" ? "portal.sso" : id;
}

std::string regionalHost(const std::string& serviceId, const std::string& region, const Partition& p,
                         const Variant& v) {
  const std::string prefix = hostPrefix(serviceId);
  if (v.dualStack && !*p.dualStackDnsSuffix) noSuchHost(serviceId, p, v);
  // S3 keeps its own dual-stack form under the partition's ordinary suffix.
  if (prefix == "s3" && v.dualStack)
    return fmt::format("s3{}.dualstack.{}.{}", v.fips ? "-fips" : "", region, p.dnsSuffix);
  if (v.fips && !v.dualStack && p.fipsHostIsPlain && (prefix == "ec2" || prefix == "ssm" || prefix == "sts"))
    return fmt::format("{}.{}.{}", prefix, region, p.dnsSuffix);
  return fmt::format("{}{}.{}.{}", prefix, v.fips ? "-fips" : "", region,
                     v.dualStack ? p.dualStackDnsSuffix : p.dnsSuffix);
}

// "SSO OIDC" -> "sso_oidc": the service's name in AWS_ENDPOINT_URL_<ID> (upper case) and in a
// services section (lower case).
std::string snakeServiceId(const std::string& serviceId) {
  std::string id;
  for (char c : serviceId)
    id += c == ' ' || c == '-' ? '_' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return id;
}

// The endpoint_url of the profile's `services = NAME` section for this service.
std::optional<std::string> servicesSectionEndpoint(const std::string& id, const std::optional<std::string>& profile) {
  auto name = profileSetting(profile, "services");
  if (!name) return std::nullopt;
  auto services = loadServicesSection(*name);
  if (!services)
    throw ClientError(
        fmt::format("profile {} names services {}, which the config file does not have", profileName(profile), *name));
  auto it = services->find(id + ".endpoint_url");
  if (it == services->end() || it->second.empty()) return std::nullopt;
  return it->second;
}

// The regions that AWS_STS_REGIONAL_ENDPOINTS=legacy sends to STS's global host, as the vendor's
// Python SDK lists them.
constexpr std::array<const char*, 15> kLegacyGlobalStsRegions = {
    "ap-northeast-1", "ap-south-1", "ap-southeast-1", "ap-southeast-2", "ca-central-1",
    "eu-central-1",   "eu-north-1", "eu-west-1",      "eu-west-2",      "eu-west-3",
    "sa-east-1",      "us-east-1",  "us-east-2",      "us-west-1",      "us-west-2"};

// AWS_STS_REGIONAL_ENDPOINTS or the profile's sts_regional_endpoints: "regional" (the default)
// or "legacy"; any other value throws ClientError.
bool legacyStsEndpoints(const std::optional<std::string>& profile) {
  auto setting = userSetting("AWS_STS_REGIONAL_ENDPOINTS", "sts_regional_endpoints", profile);
  if (!setting || setting->value == "regional") return false;
  if (setting->value == "legacy") return true;
  throw ClientError(fmt::format("{} must be \"legacy\" or \"regional\", not \"{}\"", setting->source, setting->value));
}

// STS's one global host: for no region at all, and for the older regions when asked for.
bool globalSts(const std::string& region, const Variant& v, bool legacy) {
  if (v.fips || v.dualStack) return false;
  return region.empty() || (legacy && std::find(kLegacyGlobalStsRegions.begin(), kLegacyGlobalStsRegions.end(),
                                                region) != kLegacyGlobalStsRegions.end());
}

// In the vendor's order: the service's variable, AWS_ENDPOINT_URL, the service in the profile's
// services section, the profile's endpoint_url.
std::optional<std::string> configuredEndpoint(const std::string& serviceId, const std::optional<std::string>& profile) {
  if (auto ignore = userSetting("AWS_IGNORE_CONFIGURED_ENDPOINT_URLS", "ignore_configured_endpoint_urls", profile);
      ignore && lower(ignore->value) == "true")
    return std::nullopt;
  const std::string id = snakeServiceId(serviceId);
  std::string upperId = id;
  for (char& c : upperId) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  auto url = env(("AWS_ENDPOINT_URL_" + upperId).c_str());
  if (!url) url = env("AWS_ENDPOINT_URL");
  if (!url) url = servicesSectionEndpoint(id, profile);
  if (!url) url = profileSetting(profile, "endpoint_url");
  if (!url) return std::nullopt;
  while (!url->empty() && url->back() == '/') url->pop_back();
  return url;
}

}  // namespace

ServiceEndpoint serviceEndpoint(const std::string& serviceId, const std::string& region,
                                const std::optional<std::string>& profile) {
  const bool isIam = lower(serviceId) == "iam", isSts = lower(serviceId) == "sts";
  // The global services need no region; without one they are those of the first partition.
  const std::string effectiveRegion = region.empty() && (isIam || isSts) ? "us-east-1" : region;
  const Partition& p = partitionRecord(effectiveRegion);
  // IAM is signed for its partition's region, also through an endpoint override: IAM checks it.
  const std::string signingRegion = isIam && *p.iam.plain ? p.iam.signingRegion : effectiveRegion;
  // Checked also where an endpoint URL makes them moot, so that a typo is never passed over.
  const Variant v = variantFor(profile);
  const bool legacySts = isSts && legacyStsEndpoints(profile);
  if (auto url = configuredEndpoint(serviceId, profile)) return {*url, signingRegion};
  if (effectiveRegion.empty())
    throw ClientError(fmt::format("You must specify a region for the {} client.", serviceId));
  // STS's global endpoint has only its plain host; the variants are those of us-east-1.
  if (isSts && globalSts(region, v, legacySts)) return {"https://sts.amazonaws.com", "us-east-1"};
  if (isIam && *p.iam.plain) return {"https://" + iamHost(p, v), signingRegion};
  return {"https://" + regionalHost(serviceId, effectiveRegion, p, v), signingRegion};
}

std::string resolveEndpoint(const std::string& serviceId, const std::string& region,
                            const std::optional<std::string>& profile) {
  return serviceEndpoint(serviceId, region, profile).url;
}

bool endpointOverridden(const std::string& serviceId, const std::optional<std::string>& profile) {
  return configuredEndpoint(serviceId, profile).has_value();
}

}  // namespace tarnwick::aws::detail

namespace tarnwick::aws {

std::string partitionOf(const std::string& region) { return detail::partitionRecord(region).id; }

}  // namespace tarnwick::aws
