// The EC2 instance metadata service client (IMDSv2 token first), with short time-outs.
#pragma once
#include <string>

#include "tarnwick_testlibs/aws/http.h"

namespace aws::imds {

// AWS_EC2_METADATA_SERVICE_ENDPOINT, or the standard link-local address.
std::string endpoint();
// True when AWS_EC2_METADATA_DISABLED is "true".
bool disabled();

// GET of `path` with a session token; falls back to a plain GET when the token request is
// refused (403, 404, 405) or gets no answer. Transport failures of the GET throw aws::ClientError.
http::Response get(const std::string& path);

}  // namespace aws::imds
