// Credentials from STS for the default chain: a profile's role (with an MFA code read from the
// terminal when it asks for one) and web identity (CI runners' OIDC tokens, Kubernetes service
// accounts).
#include <charconv>
#include <fstream>
#include <sstream>

#include <fmt/format.h>
#include <pugixml.hpp>

#include "clients.h"
#include "connection.h"
#include "credential_sources.h"
#include "endpoints.h"
#include "protocol.h"
#include "region.h"
#include "retry_strategy.h"
#include "tarnwick_testlibs/aws/assume_role.h"
#include "tarnwick_testlibs/aws/clock.h"
#include "tarnwick_testlibs/aws/errors.h"
#include "tarnwick_testlibs/base/terminal.h"
#include "transport.h"

namespace tarnwick::aws::detail {
namespace {

constexpr const char* kStsVersion = "2011-06-15";

class AnonymousProvider : public CredentialsProvider {
 public:
  Credentials get() override { return {}; }
};

Credentials parseStsCredentials(const std::string& action, const http::Response& resp) {
  pugi::xml_document doc;
  if (!doc.load_buffer(resp.body.data(), resp.body.size()))
    throw ClientError(fmt::format("{} answered with a body that is not XML", action), FailureKind::kMalformedAnswer);
  pugi::xml_node creds =
      doc.child((action + "Response").c_str()).child((action + "Result").c_str()).child("Credentials");
  Credentials c{creds.child_value("AccessKeyId"), creds.child_value("SecretAccessKey"),
                creds.child_value("SessionToken"), parseIso8601(creds.child_value("Expiration"))};
  if (c.accessKeyId.empty() || c.secretAccessKey.empty())
    throw ClientError(fmt::format("{} answered without credentials", action), FailureKind::kMalformedAnswer);
  return c;
}

// One STS call that answers credentials, with the settings of `profile`.
Credentials stsCredentials(const std::string& action, Fields form, const std::string& profile,
                           const ProviderPtr& signer, const StsRegion& stsRegion) {
  const std::string region = stsRegion.forProfile(profile);
  const ServiceEndpoint endpoint = serviceEndpoint("STS", region, profile);
  Transport sts("sts", endpoint.signingRegion, signer, RetryConfig::resolve(profile),
                ConnectionSettings::resolve(profile));
  form.insert(form.begin(), {{"Action", action}, {"Version", kStsVersion}});
  http::Request r;
  r.method = "POST";
  r.url = endpoint.url + "/";
  r.headers.emplace_back("Content-Type", "application/x-www-form-urlencoded; charset=utf-8");
  r.body = http::formEncode(form);
  const http::Response resp = sts.send(r, errorCodeOf);
  if (resp.status != 200) throwServiceError(resp, action);
  return parseStsCredentials(action, resp);
}

// ---- MFA codes ----------------------------------------------------------------------------

// `renewal`: the first credentials ran out in a long run, and whoever started it may be gone.
std::string mfaCode(const std::string& profile, const std::string& serial, bool renewal) {
  const tarnwick::FileDescriptor tty = tarnwick::terminal::open();
  if (!tty.valid())
    throw CredentialsError(
        fmt::format("profile {} needs {} MFA code for {} (mfa_serial){}, but there is no terminal to enter it on",
                    profile, renewal ? "a new" : "an", serial, renewal ? " to renew its role credentials" : ""));
  // Codes are one-time secrets, but secrets all the same: typed without echo.
  std::string code = tarnwick::terminal::askHidden(
      tty.get(), fmt::format("Enter {}MFA code for {}: ", renewal ? "a new " : "", serial));
  while (!code.empty() && (code.back() == '\r' || code.back() == ' ')) code.pop_back();
  if (code.empty()) throw CredentialsError(fmt::format("no MFA code was entered for profile {}", profile));
  return code;
}

// ---- web identity --------------------------------------------------------------------------

struct WebIdentity {
  std::string profile, tokenFile, roleArn, sessionName;
  StsRegionPtr region;
};

std::string readTokenFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  if (in) text << in.rdbuf();
  std::string token = text.str();
  while (!token.empty() && (token.back() == '\n' || token.back() == '\r' || token.back() == ' ')) token.pop_back();
  if (!in || token.empty())
    throw CredentialsError(fmt::format("the web identity token file {} cannot be read or is empty", path));
  return token;
}

Credentials assumeRoleWithWebIdentity(const WebIdentity& w) {
  return stsCredentials(
      "AssumeRoleWithWebIdentity",
      {{"RoleArn", w.roleArn}, {"RoleSessionName", w.sessionName}, {"WebIdentityToken", readTokenFile(w.tokenFile)}},
      w.profile, anonymousCredentials(), *w.region);
}

// ---- role assumption -------------------------------------------------------------------------

// STS as the profile's files and environment say at the time of each call: a renewal hours
// later sees what they say then.
class ProfileSts : public StsClient {
 public:
  ProfileSts(std::string profile, ProviderPtr source, StsRegionPtr region)
      : profile_(std::move(profile)), source_(std::move(source)), region_(std::move(region)) {}
  Doc call(const std::string& operation, const Doc& params) override {
    return makeSts(region_->forProfile(profile_), source_, profile_)->call(operation, params);
  }

 private:
  std::string profile_;
  ProviderPtr source_;
  StsRegionPtr region_;
};

// The model sends DurationSeconds as a number, so a profile's text that is none cannot be passed on.
int durationSetting(const std::string& profile, const std::string& text) {
  int seconds = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
  if (error != std::errc() || end != text.data() + text.size())
    throw CredentialsError(fmt::format("profile {} has a duration_seconds that is not a number: {}", profile, text));
  return seconds;
}

}  // namespace

void StsRegion::clientMade(const std::optional<std::string>& region) {
  std::lock_guard<std::mutex> g(lock_);
  if (made_) return;
  made_ = true;
  if (region && !region->empty()) clientRegion_ = region;
}

std::string StsRegion::forProfile(const std::string& profile) const {
  {
    std::lock_guard<std::mutex> g(lock_);
    if (clientRegion_) return *clientRegion_;
  }
  if (auto configured = resolveRegion(std::nullopt, profile)) return *configured;
  return runRegion_.value_or("");
}

std::string valueOf(const Profile& p, const std::string& key) {
  auto it = p.find(key);
  return it == p.end() ? "" : it->second;
}

ProviderPtr anonymousCredentials() { return std::make_shared<AnonymousProvider>(); }

std::string generatedSessionName() {
  return fmt::format("tarnwick-session-{}",
                     std::chrono::duration_cast<std::chrono::seconds>(aws::clock().now().time_since_epoch()).count());
}

ProviderPtr assumeRoleProvider(const std::string& profile, const Profile& settings, ProviderPtr source,
                               StsRegionPtr region) {
  RoleToAssume role;
  role.roleArn = valueOf(settings, "role_arn");
  role.sessionName = valueOf(settings, "role_session_name");
  if (role.sessionName.empty()) role.sessionName = generatedSessionName();
  role.externalId = valueOf(settings, "external_id");
  if (std::string d = valueOf(settings, "duration_seconds"); !d.empty())
    role.durationSeconds = durationSetting(profile, d);
  role.mfaSerial = valueOf(settings, "mfa_serial");
  role.mfaCode = [profile, serial = role.mfaSerial](bool renewal) { return mfaCode(profile, serial, renewal); };
  return assumeRoleCredentials(std::make_shared<ProfileSts>(profile, std::move(source), std::move(region)),
                               std::move(role));
}

ProviderPtr webIdentityProvider(const std::string& profile, const Profile* settings, bool useEnvironment,
                                StsRegionPtr region) {
  auto setting = [&](const char* envName, const char* key) {
    if (useEnvironment)
      if (auto v = env(envName)) return *v;
    return settings ? valueOf(*settings, key) : std::string();
  };
  WebIdentity w{profile, setting("AWS_WEB_IDENTITY_TOKEN_FILE", "web_identity_token_file"),
                setting("AWS_ROLE_ARN", "role_arn"), setting("AWS_ROLE_SESSION_NAME", "role_session_name"),
                std::move(region)};
  if (w.tokenFile.empty()) return nullptr;
  if (w.roleArn.empty())
    throw CredentialsError(fmt::format(
        "a web identity token file is configured ({}) but no role: set AWS_ROLE_ARN or the profile's role_arn",
        w.tokenFile));
  if (w.sessionName.empty()) w.sessionName = generatedSessionName();
  return refreshingCredentials([w] { return assumeRoleWithWebIdentity(w); });
}

}  // namespace tarnwick::aws::detail
