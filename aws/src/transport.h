// Internal: sends one service call with signing and the standard retry strategy.
#pragma once
#include <functional>
#include <memory>
#include <string>

#include "connection.h"
#include "retry_strategy.h"
#include "tarnwick_testlibs/aws/credentials.h"
#include "tarnwick_testlibs/aws/http.h"

namespace tarnwick::aws::detail {

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
  // libcurl had to send it again itself (http::Response::resent), or when a gateway answered 502
  // or 504 in the service's place; the answer that ends the call then says afterLostAnswer, so
  // that the caller can tell its own earlier effect from a conflict.
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
