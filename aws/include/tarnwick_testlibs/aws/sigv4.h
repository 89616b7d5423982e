// Signature Version 4 request signing (headers).
#pragma once
#include <chrono>
#include <string>

#include "tarnwick_testlibs/aws/credentials.h"
#include "tarnwick_testlibs/aws/http.h"

namespace tarnwick::aws::sigv4 {

struct Options {
  std::string region;
  std::string service;  // signing name: "ec2", "iam", "s3", "ssm", "sts"
  // S3: adds x-amz-content-sha256 and does not encode the already-encoded path a second time.
  bool s3 = false;
  // When set (S3 streaming of a file), used as the payload hash instead of hashing `body`.
  std::string payloadHash;
};

// Adds host, x-amz-date, x-amz-security-token (when the credentials carry one),
// x-amz-content-sha256 (S3) and authorization to `request`. Credentials without an access key
// leave it unsigned.
void sign(http::Request& request, const Credentials& creds, const Options& opts,
          std::chrono::system_clock::time_point when);

// Pieces exposed for tests.
std::string canonicalRequest(const http::Request& request, const Options& opts, const std::string& payloadHash);
std::string sha256Hex(const std::string& data);

}  // namespace tarnwick::aws::sigv4
