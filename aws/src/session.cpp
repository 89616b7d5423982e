// Sessions: where credentials and the default region come from, and which region a client gets.
#include "tarnwick_testlibs/aws/session.h"

#include "tarnwick_testlibs/aws/errors.h"
#include "clients.h"
#include "transport.h"

namespace tarnwick::aws {
namespace {

constexpr const char* kGlobalRegion = "us-east-1";

// Regional services cannot guess a region; the global ones fall back to us-east-1.
std::string regionFor(const Session& s, const std::optional<std::string>& explicitRegion, bool global) {
  if (explicitRegion && !explicitRegion->empty()) return *explicitRegion;
  if (auto r = s.defaultRegion(); r && !r->empty()) return *r;
  if (global) return kGlobalRegion;
  throw ClientError("You must specify a region");
}

}  // namespace

Session Session::fromProfile(const std::optional<std::string>& profile) {
  Session s;
  s.creds_ = defaultChain(profile);
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

std::shared_ptr<Ec2Client> Session::ec2(const std::optional<std::string>& region) const {
  return detail::makeEc2(regionFor(*this, region, false), creds_, profile_);
}
std::shared_ptr<IamClient> Session::iam(const std::optional<std::string>& region) const {
  return detail::makeIam(regionFor(*this, region, true), creds_, profile_);
}
std::shared_ptr<StsClient> Session::sts(const std::optional<std::string>& region) const {
  return detail::makeSts(regionFor(*this, region, true), creds_, profile_);
}
std::shared_ptr<SsmClient> Session::ssm(const std::optional<std::string>& region) const {
  return detail::makeSsm(regionFor(*this, region, false), creds_, profile_);
}
std::shared_ptr<S3Client> Session::s3(const std::optional<std::string>& region) const {
  return detail::makeS3(regionFor(*this, region, true), creds_, profile_);
}

}  // namespace tarnwick::aws
