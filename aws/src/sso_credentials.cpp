// Credentials of SSO profiles: the access token that `aws sso login` cached (refreshed with its
// refresh token near its end), exchanged for role credentials at the SSO portal (GetRoleCredentials).
#include <openssl/sha.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <system_error>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <nlohmann/json.hpp>

#include "connection.h"
#include "credential_sources.h"
#include "endpoints.h"
#include "protocol.h"
#include "retry_strategy.h"
#include "tarnwick_testlibs/aws/clock.h"
#include "tarnwick_testlibs/aws/errors.h"
#include "tarnwick_testlibs/base/files.h"
#include "transport.h"

namespace tarnwick::aws::detail {
namespace {

struct SsoSettings {
  std::string profile, startUrl, region, accountId, roleName;
  std::string session;  // the sso-session section's name; "" in the older form
};

struct SsoToken {
  std::string accessToken;
  std::chrono::system_clock::time_point expiresAt;
};

// The profile's settings completed from its [sso-session] section, which must not contradict it.
Profile withSsoSession(const std::string& profile, Profile settings) {
  const std::string name = valueOf(settings, "sso_session");
  if (name.empty()) return settings;
  auto session = loadSsoSession(name);
  if (!session)
    throw CredentialsError(
        fmt::format("profile {} names sso_session {}, which the config file does not have", profile, name));
  for (const auto& [key, value] : *session) {
    auto [it, added] = settings.emplace(key, value);
    if (!added && it->second != value)
      throw CredentialsError(fmt::format("{} differs between profile {} and sso-session {}", key, profile, name));
  }
  return settings;
}

SsoSettings ssoSettings(const std::string& profile, const Profile& raw) {
  const Profile p = withSsoSession(profile, raw);
  std::vector<std::string> missing;
  for (const char* key : {"sso_start_url", "sso_region", "sso_account_id", "sso_role_name"})
    if (valueOf(p, key).empty()) missing.emplace_back(key);
  if (!missing.empty())
    throw CredentialsError(
        fmt::format("profile {} is configured for SSO but lacks {}", profile, fmt::join(missing, ", ")));
  return {profile,
          valueOf(p, "sso_start_url"),
          valueOf(p, "sso_region"),
          valueOf(p, "sso_account_id"),
          valueOf(p, "sso_role_name"),
          valueOf(p, "sso_session")};
}

std::string loginHint(const std::string& profile) { return fmt::format("run `aws sso login --profile {}`", profile); }

// The cache file is named by the SHA-1 of the session name, or of the start URL in the older form.
std::string tokenCachePath(const SsoSettings& s) {
  const std::string key = s.session.empty() ? s.startUrl : s.session;
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(key.data()), key.size(), digest);
  std::string hex;
  for (unsigned char b : digest) hex += fmt::format("{:02x}", b);
  const char* home = std::getenv("HOME");
  return fmt::format("{}/.aws/sso/cache/{}.json", home ? home : "", hex);
}

nlohmann::json readCachedToken(const SsoSettings& s, const std::string& path) {
  std::ifstream in(path);
  if (!in)
    throw CredentialsError(
        fmt::format("there is no SSO token for profile {} ({}): {}", s.profile, path, loginHint(s.profile)));
  std::stringstream text;
  text << in.rdbuf();
  return nlohmann::json::parse(text.str(), nullptr, false);
}

std::optional<std::chrono::system_clock::time_point> timeMember(const nlohmann::json& doc, const char* member) {
  if (!doc.is_object() || !doc.contains(member) || !doc[member].is_string()) return std::nullopt;
  return parseIso8601(doc[member].get<std::string>());
}

std::string iso8601(std::chrono::system_clock::time_point t) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(t);
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

bool hasText(const nlohmann::json& doc, const char* member) {
  return doc.is_object() && doc.contains(member) && doc[member].is_string() && !doc[member].get<std::string>().empty();
}

// CreateToken with the cached refresh token. Absent when the cache holds no usable registration
// or the service refuses: the cached token then serves as long as it is valid.
std::optional<nlohmann::json> refreshedToken(const SsoSettings& s, const nlohmann::json& cached) {
  for (const char* member : {"refreshToken", "clientId", "clientSecret"})
    if (!hasText(cached, member)) return std::nullopt;
  const auto registrationEnds = timeMember(cached, "registrationExpiresAt");
  if (!registrationEnds || *registrationEnds <= aws::clock().now()) return std::nullopt;
  const ServiceEndpoint oidc = serviceEndpoint("SSO OIDC", s.region, s.profile);
  Transport transport("sso-oauth", oidc.signingRegion, anonymousCredentials(), RetryConfig::resolve(s.profile),
                      ConnectionSettings::resolve(s.profile));
  http::Request r;
  r.method = "POST";
  r.url = oidc.url + "/token";
  r.headers.emplace_back("Content-Type", "application/json");
  r.body = nlohmann::json{{"clientId", cached["clientId"]},
                          {"clientSecret", cached["clientSecret"]},
                          {"grantType", "refresh_token"},
                          {"refreshToken", cached["refreshToken"]}}
               .dump();
  http::Response resp;
  try {
    resp = transport.send(r, errorCodeOf);
  } catch (const ClientError&) {
    return std::nullopt;
  }
  const nlohmann::json answer = nlohmann::json::parse(resp.body, nullptr, false);
  if (resp.status != 200 || !hasText(answer, "accessToken") || !answer.contains("expiresIn") ||
      !answer["expiresIn"].is_number_integer())
    return std::nullopt;
  nlohmann::json renewed = cached;
  renewed["accessToken"] = answer["accessToken"];
  renewed["expiresAt"] = iso8601(aws::clock().now() + std::chrono::seconds(answer["expiresIn"].get<long long>()));
  if (hasText(answer, "refreshToken")) renewed["refreshToken"] = answer["refreshToken"];
  return renewed;
}

// Renewed this close to its end, as the SDKs do, so that a long run outlives the login's token.
constexpr auto kTokenRefreshWindow = std::chrono::minutes(15);

SsoToken loadToken(const SsoSettings& s) {
  const std::string path = tokenCachePath(s);
  nlohmann::json doc = readCachedToken(s, path);
  std::optional<std::chrono::system_clock::time_point> expiresAt = timeMember(doc, "expiresAt");
  // Only the sso-session form keeps a registration that may refresh the token.
  if (expiresAt && !s.session.empty() && *expiresAt - aws::clock().now() < kTokenRefreshWindow)
    if (auto renewed = refreshedToken(s, doc)) {
      doc = std::move(*renewed);
      expiresAt = timeMember(doc, "expiresAt");
      try {
        tarnwick::files::writeAtomically(path, doc.dump());
      } catch (const std::system_error&) {
        // The token still serves this run; the next one refreshes again.
      }
    }
  if (!expiresAt || !hasText(doc, "accessToken"))
    throw CredentialsError(
        fmt::format("the SSO token of profile {} ({}) is not valid: {}", s.profile, path, loginHint(s.profile)));
  return {doc["accessToken"].get<std::string>(), *expiresAt};
}

[[noreturn]] void sessionExpired(const SsoSettings& s) {
  throw CredentialsError(
      fmt::format("the SSO session of profile {} has expired or is not valid: {}", s.profile, loginHint(s.profile)));
}

Credentials roleCredentials(const SsoSettings& s, const http::Response& resp) {
  const nlohmann::json doc = nlohmann::json::parse(resp.body, nullptr, false);
  const nlohmann::json* rc = doc.is_object() && doc.contains("roleCredentials") ? &doc["roleCredentials"] : nullptr;
  auto text = [&](const char* member) {
    return rc && rc->contains(member) && (*rc)[member].is_string() ? (*rc)[member].get<std::string>() : "";
  };
  Credentials c{text("accessKeyId"), text("secretAccessKey"), text("sessionToken"), std::nullopt};
  if (c.accessKeyId.empty() || c.secretAccessKey.empty())
    throw ClientError(fmt::format("the SSO portal answered profile {} without credentials", s.profile),
                      FailureKind::kMalformedAnswer);
  // Epoch milliseconds, clamped as every expiry is: the clock's nanoseconds end in 2262.
  if (rc->contains("expiration") && (*rc)["expiration"].is_number_integer()) {
    constexpr auto limit =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::duration::max());
    const std::chrono::milliseconds ms((*rc)["expiration"].get<long long>());
    c.expiration = std::chrono::system_clock::time_point(std::clamp(ms, -limit, limit));
  }
  return c;
}

Credentials fetchSso(const SsoSettings& s) {
  const SsoToken token = loadToken(s);
  if (aws::clock().now() >= token.expiresAt) sessionExpired(s);
  const ServiceEndpoint portal = serviceEndpoint("SSO", s.region, s.profile);
  Transport transport("awsssoportal", portal.signingRegion, anonymousCredentials(), RetryConfig::resolve(s.profile),
                      ConnectionSettings::resolve(s.profile));
  http::Request r;
  r.url = portal.url + "/federation/credentials?" +
          http::queryString({{"role_name", s.roleName}, {"account_id", s.accountId}});
  r.headers.emplace_back("x-amz-sso_bearer_token", token.accessToken);
  const http::Response resp = transport.send(r, errorCodeOf);
  if (resp.status == 401 || resp.status == 403) sessionExpired(s);
  if (resp.status != 200) throwServiceError(resp, "GetRoleCredentials");
  return roleCredentials(s, resp);
}

}  // namespace

ProviderPtr ssoProvider(const std::string& profile, const Profile& settings) {
  if (valueOf(settings, "sso_account_id").empty() && valueOf(settings, "sso_role_name").empty()) return nullptr;
  const SsoSettings s = ssoSettings(profile, settings);
  return refreshingCredentials([s] { return fetchSso(s); });
}

}  // namespace tarnwick::aws::detail
