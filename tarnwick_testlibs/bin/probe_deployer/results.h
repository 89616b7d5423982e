// Collection of the test results.
#pragma once
#include "tarnwick_testlibs/aws/services.h"
#include "tarnwick_testlibs/bin/probe_deployer/common.h"

namespace tarnwick::probe_deployer {

int getS3TestResults(aws::S3Client& s3_client, const Args& args);

}  // namespace tarnwick::probe_deployer
