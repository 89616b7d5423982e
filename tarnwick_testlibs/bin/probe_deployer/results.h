// Collection of the test results.
#pragma once
#include <string>
#include <string_view>

#include "tarnwick_testlibs/aws/services.h"
#include "tarnwick_testlibs/bin/probe_deployer/common.h"

namespace tarnwick::probe_deployer {

// What the test instance of one subnet reported. An instance that never uploaded its result is
// not a network that failed its test, and the two are kept apart.
enum class Verdict { kPassed, kFailed, kNotReported };

struct TestResult {
  Verdict verdict = Verdict::kNotReported;
  std::string result;  // the result object's text as uploaded; empty when not reported
  std::string log;     // the log object's text; empty when the instance left none
};

// Fetches "log-" + tag + ".txt" and "result-" + tag + ".txt" from `bucket` for `subnet_id` and
// logs at INFO the heading, the log text and the result text, each unchanged, or for a missing
// object the service's message. The verdict is the result object's alone: passed when its text
// without surrounding white space is "PASS", failed for any other text, not reported when it is
// missing. Any other service error (no access, no such bucket) is thrown, as is every other
// failure.
TestResult collectTestResult(aws::S3Client& s3_client, const std::string& bucket, const std::string& subnet_id,
                             const std::string& tag);

// Reads test_config (configuration mode when present and not empty), s3_bucket and, without a
// configuration, private_subnet_id; the objects are named by deduceTag(tag, entry). Returns 1 when
// any subnet did not pass, else 0. A service error ends only its subnet's collection, which then
// counts as not passed.
int getS3TestResults(aws::S3Client& s3_client, const Options& args, std::string_view tag = {});

}  // namespace tarnwick::probe_deployer
