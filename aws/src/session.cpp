// Sessions: where credentials and the default region come from, and which region a client gets.
#include "tarnwick_testlibs/aws/session.h"

#include "clients.h"
#include "credential_sources.h"
#include "region.h"
#include "tarnwick_testlibs/aws/errors.h"

namespace tarnwick::aws {
namespace {

constexpr const char* kGlobalRegion = "us-east-1";

}  // namespace

Session Session::fromProfile(const std::optional<std::string>& profile, const std::optional<std::string>& runRegion) {
  Session s;
  s.stsRegion_ = std::make_shared<detail::StsRegion>(runRegion && !runRegion->empty() ? runRegion : std::nullopt);
  s.creds_ = detail::defaultChain(profile, s.stsRegion_);
  s.profile_ = profile;
  return s;
}

Session Session::fromCredentials(const Credentials& c) {
  Session s;
  s.creds_ = staticCredentials(c);
  return s;
}

Session Session::fromProvider(std::shared_ptr<CredentialsProvider> provider) {
  Session s;
  s.creds_ = std::move(provider);
  return s;
}

std::optional<std::string> Session::defaultRegion() const { return detail::resolveRegion(std::nullopt, profile_); }

// Regional services cannot guess a region; the global ones fall back to us-east-1.
std::string Session::newClientRegion(const std::optional<std::string>& region, bool global) const {
  if (stsRegion_) stsRegion_->clientMade(region);
  if (region && !region->empty()) return *region;
  if (auto r = defaultRegion(); r && !r->empty()) return *r;
  if (global) return kGlobalRegion;
  throw ClientError("You must specify a region");
}

std::shared_ptr<Ec2Client> Session::ec2(const std::optional<std::string>& region) const {
  return detail::makeEc2(newClientRegion(region, false), creds_, profile_);
}
std::shared_ptr<IamClient> Session::iam(const std::optional<std::string>& region) const {
  return detail::makeIam(newClientRegion(region, true), creds_, profile_);
}
std::shared_ptr<StsClient> Session::sts(const std::optional<std::string>& region) const {
  return detail::makeSts(newClientRegion(region, true), creds_, profile_);
}
std::shared_ptr<SsmClient> Session::ssm(const std::optional<std::string>& region) const {
  return detail::makeSsm(newClientRegion(region, false), creds_, profile_);
}
std::shared_ptr<S3Client> Session::s3(const std::optional<std::string>& region) const {
  return detail::makeS3(newClientRegion(region, true), creds_, profile_);
}

}  // namespace tarnwick::aws
