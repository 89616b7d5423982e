// The deployment run: one worker per entry.
#pragma once
#include <string>
#include <string_view>

#include "tarnwick_testlibs/aws/services.h"
#include "tarnwick_testlibs/bin/lib/testconfig.h"
#include "tarnwick_testlibs/bin/probe_deployer/common.h"
#include "tarnwick_testlibs/bin/probe_deployer/image.h"

namespace tarnwick::probe_deployer {

// A deployment must know where its extended configuration goes before it creates anything: logs
// the ERROR and throws ProcessExit(1) when --output_test_config is absent or empty.
void requireOutputTestConfig(const Options& args);
// Unless `skip_preflight` is set, checks first that every entry can be deployed (quota, zones, free
// addresses, image architecture, permissions) and ends with status 1 before creating anything when
// one cannot; the checks then ask for the image's architecture themselves. With `ttl` everything it
// creates or reuses expires (withExpiry). A run asked to stop (aws::stopRequest) still writes the
// output, with the entries as far as they got.
void deployEc2s(aws::Ec2Client& ec2_client, aws::S3Client* s3_client, aws::IamClient& iam_client,
                const std::string& ami, const Options& args);
// The same with the image's architecture known, and an STS client that names the identity a
// permission is missing for (none: the denial names no identity).
void deployEc2s(aws::Ec2Client& ec2_client, aws::S3Client* s3_client, aws::IamClient& iam_client,
                const ImageInfo& image, const Options& args, aws::StsClient* sts_client);
// The same for a configuration already read, as a deploy plans it (testconfig::Reader::kDeploy),
// with the options converted: the workers extend the plan's entries, which are then written to
// `args.output_test_config`.
void deployEc2s(aws::Ec2Client& ec2_client, aws::S3Client* s3_client, aws::IamClient& iam_client,
                const ImageInfo& image, const DeployOptions& args, aws::StsClient* sts_client,
                const testconfig::Plan& plan);
// The tag that names a test's result objects: the entry's gateway (testconfig::Entry::gateway),
// "-" and `tag`. The command line gives no tag, so the program's runs have "gw-a-" and "-"; a
// workflow that had its test instances upload under a tag of its own passes it here.
std::string deduceTag(std::string_view tag, const Doc* test_config = nullptr);

}  // namespace tarnwick::probe_deployer
