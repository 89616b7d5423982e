// Collection of the test results.
#pragma once
#include <string_view>

#include "tarnwick_testlibs/aws/services.h"
#include "tarnwick_testlibs/bin/probe_deployer/common.h"

namespace tarnwick::probe_deployer {

// Reads test_config (configuration mode when present and not empty), s3_bucket and, without a
// configuration, private_subnet_id; the objects are named by deduceTag(tag, entry). Returns 1 when
// any subnet did not pass, else 0.
int getS3TestResults(aws::S3Client& s3_client, const Options& args, std::string_view tag = {});

}  // namespace tarnwick::probe_deployer
