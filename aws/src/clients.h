// Internal: the real service clients, opened by aws::Session. `profile` names the profile whose
// config-file settings (retries, endpoint variants) apply; absent: AWS_PROFILE, else "default".
#pragma once
#include <memory>
#include <optional>
#include <string>

#include "tarnwick_testlibs/aws/credentials.h"
#include "tarnwick_testlibs/aws/services.h"

namespace tarnwick::aws::detail {

std::shared_ptr<Ec2Client> makeEc2(const std::string& region, std::shared_ptr<CredentialsProvider> creds,
                                   const std::optional<std::string>& profile = std::nullopt);
std::shared_ptr<IamClient> makeIam(const std::string& region, std::shared_ptr<CredentialsProvider> creds,
                                   const std::optional<std::string>& profile = std::nullopt);
std::shared_ptr<StsClient> makeSts(const std::string& region, std::shared_ptr<CredentialsProvider> creds,
                                   const std::optional<std::string>& profile = std::nullopt);
std::shared_ptr<SsmClient> makeSsm(const std::string& region, std::shared_ptr<CredentialsProvider> creds,
                                   const std::optional<std::string>& profile = std::nullopt);
std::shared_ptr<S3Client> makeS3(const std::string& region, std::shared_ptr<CredentialsProvider> creds,
                                 const std::optional<std::string>& profile = std::nullopt);

}  // namespace tarnwick::aws::detail
