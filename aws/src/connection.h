// Internal: how a client's connections are made (certificates and time-outs).
#pragma once
#include <optional>
#include <string>

#include "tarnwick_testlibs/aws/http.h"

namespace tarnwick::aws::detail {

// From the environment, else the profile: AWS_CA_BUNDLE or ca_bundle; AWS_CONNECT_TIMEOUT or
// connect_timeout and AWS_READ_TIMEOUT or read_timeout, in seconds as the vendor's Python SDK
// names them. Values that are not valid throw ClientError.
struct ConnectionSettings {
  std::string caBundle;  // "": the system's certificates
  long connectTimeoutMs = 10000;
  std::optional<long> readTimeoutSec;  // absent: each request's own limits
  static ConnectionSettings resolve(const std::optional<std::string>& profile);
  // Applies the settings to one request.
  void applyTo(http::Request& r) const;
};

}  // namespace tarnwick::aws::detail
