// The EC2 instance metadata service client (IMDSv2 token first), with short time-outs.
#pragma once
#include <optional>
#include <string>

#include "tarnwick_testlibs/aws/http.h"

namespace tarnwick::aws::imds {

// AWS_EC2_METADATA_SERVICE_ENDPOINT, or the standard link-local address.
std::string endpoint();
// True when AWS_EC2_METADATA_DISABLED is "true".
bool disabled();

// GET of `path` with a session token; falls back to a plain GET when the token request is
// refused (403, 404, 405) or gets no answer, unless AWS_EC2_METADATA_V1_DISABLED (or the
// profile's ec2_metadata_v1_disabled) is true: that throws aws::ClientError instead. A GET that
// fails or answers other than 200 with a body is made up to metadata_service_num_attempts times
// (AWS_METADATA_SERVICE_NUM_ATTEMPTS, default 1), each with metadata_service_timeout seconds to
// connect (AWS_METADATA_SERVICE_TIMEOUT, default 1). Settings come from the environment, else from
// `profile` (explicit, else AWS_DEFAULT_PROFILE, AWS_PROFILE, "default"); values that are not
// valid throw aws::ClientError. Transport failures of the last GET throw aws::ClientError.
http::Response get(const std::string& path, const std::optional<std::string>& profile = std::nullopt);

}  // namespace tarnwick::aws::imds
