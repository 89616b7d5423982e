// Internal: sends one service call with signing and the standard retry strategy.
#pragma once
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "tarnwick_testlibs/aws/credentials.h"
#include "tarnwick_testlibs/aws/http.h"
#include "retry_strategy.h"

namespace tarnwick::aws::detail {

// Region, AWS_REGION, AWS_DEFAULT_REGION, the profile's region (shared config file).
std::optional<std::string> resolveRegion(const std::optional<std::string>& explicitRegion,
                                         const std::optional<std::string>& profile);

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

// How a client's connections are made, from the environment, else the profile: AWS_CA_BUNDLE or
// ca_bundle; AWS_CONNECT_TIMEOUT or connect_timeout and AWS_READ_TIMEOUT or read_timeout, in
// seconds as the vendor's Python SDK names them. Values that are not valid throw ClientError.
struct ConnectionSettings {
  std::string caBundle;                 // "": the system's certificates
  long connectTimeoutMs = 10000;
  std::optional<long> readTimeoutSec;   // absent: each request's own limits
  static ConnectionSettings resolve(const std::optional<std::string>& profile);
  // Applies the settings to one request.
  void applyTo(http::Request& r) const;
};

// Extracts the service error code from an error answer ("" when there is none).
using ErrorCodeOf = std::function<std::string(const http::Response&)>;

class Transport {
 public:
  // The last attempt's answer, and whether an earlier attempt of the same call lost its own.
  struct Answer : http::Response {
    bool afterLostAnswer = false;
  };

  Transport(std::string signingName, std::string region, std::shared_ptr<CredentialsProvider> creds,
            RetryConfig retry = RetryConfig::fromEnvironment(), ConnectionSettings connection = {});
  // Signs and sends `request`, retrying what the retry strategy finds worth it (throttling codes,
  // 500/502/503/504, failed connections) with its back-off through aws::clock(), within a retry
  // quota shared by all threads using this transport (in adaptive mode the rate limiter paces
  // throttled calls instead of the quota). Returns the last answer
  // (which may be an error answer for the caller to parse); throws ClientError when the last
  // attempt failed to connect. `rewind`, when set, is called before every retry (file bodies).
  // An attempt lost its answer when it failed after sending (ClientError::requestSent), when
  // libcurl had to send it again itself (http::Response::resent), or when a gateway answered 502 or 504 in the service's place; the answer that ends the call
  // then says afterLostAnswer, so that the caller can tell its own earlier effect from a conflict.
  // Every attempt names the toolkit, the call and the attempt in its headers; a clock-skew
  // error corrects the signing time from the server's Date and is retried; with `s3`, a 200
  // answer carrying an Error is retried as a 500.
  Answer send(http::Request request, const ErrorCodeOf& errorCodeOf, bool s3 = false,
                      const std::function<void()>& rewind = {});
  const std::string& region() const { return region_; }
  const std::string& signingName() const { return signingName_; }

 private:
  struct ClockSkew;
  bool identityProviderBlip(const std::string& code) const;
  std::string signingName_, region_;
  std::shared_ptr<CredentialsProvider> creds_;
  std::shared_ptr<ServiceRetryPolicy> retry_;
  std::shared_ptr<ClockSkew> skew_;
  ConnectionSettings connection_;
};

}  // namespace tarnwick::aws::detail
