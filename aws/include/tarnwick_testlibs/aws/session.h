// A session: credentials and a default region, from which service clients are opened.
#pragma once
#include <memory>
#include <optional>
#include <string>

#include "tarnwick_testlibs/aws/credentials.h"
#include "tarnwick_testlibs/aws/services.h"

namespace tarnwick::aws {

namespace detail {
class StsRegion;
}

class Session {
 public:
  // From a named profile, or the default credential chain when absent. A named profile that
  // does not exist throws CredentialsError. A source of the chain that asks STS for credentials
  // (a profile's role, web identity) asks it, as the vendor's Python SDK does, in the region of
  // the first client made from the session, else in AWS_REGION, AWS_DEFAULT_REGION or the
  // profile's region, else in `runRegion` (the region the caller works in), and only without
  // any of these at the global endpoint.
  static Session fromProfile(const std::optional<std::string>& profile,
                             const std::optional<std::string>& runRegion = std::nullopt);
  // From explicit (for example assumed-role) credentials; region from the environment.
  static Session fromCredentials(const Credentials& c);
  // From a provider (for example refreshingCredentials); region from the environment.
  static Session fromProvider(std::shared_ptr<CredentialsProvider> provider);

  // Explicit region, else AWS_REGION, AWS_DEFAULT_REGION, the profile's region; may be absent.
  std::optional<std::string> defaultRegion() const;

  std::shared_ptr<Ec2Client> ec2(const std::optional<std::string>& region = std::nullopt) const;
  std::shared_ptr<IamClient> iam(const std::optional<std::string>& region = std::nullopt) const;
  std::shared_ptr<StsClient> sts(const std::optional<std::string>& region = std::nullopt) const;
  std::shared_ptr<SsmClient> ssm(const std::optional<std::string>& region = std::nullopt) const;
  std::shared_ptr<S3Client> s3(const std::optional<std::string>& region = std::nullopt) const;

  std::shared_ptr<CredentialsProvider> credentials() const { return creds_; }
  const std::optional<std::string>& profile() const { return profile_; }

 private:
  // The region of a client being made, `region` or the default (the global services fall back to
  // us-east-1); the first one made also tells the chain where to ask STS.
  std::string newClientRegion(const std::optional<std::string>& region, bool global) const;

  std::shared_ptr<CredentialsProvider> creds_;
  std::optional<std::string> profile_;
  std::shared_ptr<detail::StsRegion> stsRegion_;  // only for a chain
};

}  // namespace tarnwick::aws
