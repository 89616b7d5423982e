// Credential sources and the default chain: environment, shared files (static keys, role_arn with
// source_profile or credential_source, credential_process), container credentials, instance role.
#include "aws/credentials.h"

#include <sys/wait.h>

#include <cstdio>
#include <functional>
#include <mutex>
#include <set>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>
#include <pugixml.hpp>

#include "aws/clock.h"
#include "aws/errors.h"
#include "aws/imds.h"
#include "config.h"
#include "credentials_document.h"
#include "transport.h"

namespace aws {
namespace {

using detail::env;
using detail::Profile;
using Fetch = std::function<Credentials()>;
using ProviderPtr = std::shared_ptr<CredentialsProvider>;

// Credentials this close to their end are fetched again.
constexpr auto kRefreshMargin = std::chrono::minutes(5);
constexpr const char* kContainerHost = "http://169.254.170.2";

class StaticProvider : public CredentialsProvider {
 public:
  explicit StaticProvider(Credentials c) : c_(std::move(c)) {}
  Credentials get() override { return c_; }

 private:
  Credentials c_;
};

// Keeps the last credentials until they are about to expire. When a refresh fails while the old
// credentials are still valid, those are used a little longer.
class RefreshingProvider : public CredentialsProvider {
 public:
  explicit RefreshingProvider(Fetch fetch) : fetch_(std::move(fetch)) {}
  Credentials get() override {
    std::lock_guard<std::mutex> g(lock_);
    auto now = aws::clock().now();
    if (cached_ && (!cached_->expiration || now + kRefreshMargin < *cached_->expiration)) return *cached_;
    try {
      cached_ = fetch_();
    } catch (const ClientError&) {
      if (!cached_ || !cached_->expiration || now >= *cached_->expiration) throw;
    }
    return *cached_;
  }

 private:
  Fetch fetch_;
  std::mutex lock_;
  std::optional<Credentials> cached_;
};

ProviderPtr refreshing(Fetch f) { return std::make_shared<RefreshingProvider>(std::move(f)); }

std::string valueOf(const Profile& p, const std::string& key) {
  auto it = p.find(key);
  return it == p.end() ? "" : it->second;
}

std::optional<std::chrono::system_clock::time_point> expirationOf(const nlohmann::json& doc,
                                                                  const char* member) {
  if (!doc.contains(member) || !doc[member].is_string()) return std::nullopt;
  return detail::parseIso8601(doc[member].get<std::string>());
}

// A credentials document of the container and instance endpoints and of credential_process.
Credentials fromJson(const std::string& body, const char* tokenMember, const std::string& source) {
  nlohmann::json doc = nlohmann::json::parse(body, nullptr, false);
  if (doc.is_discarded() || !doc.is_object())
    throw CredentialsError(fmt::format("{} returned a credentials document that is not JSON", source));
  // A key of another kind counts as missing; its value is never echoed, even when malformed.
  const auto isText = [&doc](const char* member) { return doc.contains(member) && doc[member].is_string(); };
  if (!isText("AccessKeyId") || !isText("SecretAccessKey"))
    throw CredentialsError(fmt::format("{} returned no access key", source));
  Credentials c;
  c.accessKeyId = doc["AccessKeyId"].get<std::string>();
  c.secretAccessKey = doc["SecretAccessKey"].get<std::string>();
  if (doc.contains(tokenMember) && doc[tokenMember].is_string()) c.sessionToken = doc[tokenMember].get<std::string>();
  c.expiration = expirationOf(doc, "Expiration");
  // Unreadable, it would count as never expiring, and the credentials would never be renewed.
  if (doc.contains("Expiration") && !c.expiration)
    throw CredentialsError(fmt::format("{} returned an Expiration that is not a time", source));
  return c;
}

// ---- environment -------------------------------------------------------------------------

ProviderPtr environmentProvider() {
  auto id = env("AWS_ACCESS_KEY_ID");
  auto secret = env("AWS_SECRET_ACCESS_KEY");
  if (!id || !secret) return nullptr;
  Credentials c{*id, *secret, env("AWS_SESSION_TOKEN").value_or(env("AWS_SECURITY_TOKEN").value_or("")), {}};
  return std::make_shared<StaticProvider>(c);
}

// ---- credential_process ------------------------------------------------------------------

struct PipeCloser {
  int* status;
  void operator()(std::FILE* f) const { *status = pclose(f); }
};

Credentials runCredentialProcess(const std::string& command) {
  int status = -1;
  std::string out;
  {
    std::unique_ptr<std::FILE, PipeCloser> pipe(popen(command.c_str(), "r"), PipeCloser{&status});
    if (!pipe) throw CredentialsError(fmt::format("credential_process could not be started: {}", command));
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe.get())) > 0) out.append(buf, n);
  }
  if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw CredentialsError(fmt::format("credential_process failed (exit status {}): {}",
                                       WIFEXITED(status) ? WEXITSTATUS(status) : -1, command));
  Credentials c = fromJson(out, "SessionToken", "credential_process");
  nlohmann::json doc = nlohmann::json::parse(out);
  if (!doc.contains("Version") || doc["Version"] != 1)
    throw CredentialsError("credential_process returned an unsupported Version (expected 1)");
  return c;
}

// ---- container credentials ---------------------------------------------------------------

bool allowedPlainHttpHost(const std::string& url) {
  auto hostStart = url.find("://") + 3;
  auto hostEnd = url.find_first_of(":/", url[hostStart] == '[' ? url.find(']', hostStart) : hostStart);
  std::string host = url.substr(hostStart, hostEnd == std::string::npos ? std::string::npos : hostEnd - hostStart);
  return host == "localhost" || host.rfind("127.", 0) == 0 || host == "[::1]" ||
         host == "169.254.170.2" || host == "169.254.170.23" || host == "[fd00:ec2::23]";
}

std::optional<std::string> containerUrl() {
  if (auto rel = env("AWS_CONTAINER_CREDENTIALS_RELATIVE_URI")) return kContainerHost + *rel;
  auto full = env("AWS_CONTAINER_CREDENTIALS_FULL_URI");
  if (!full) return std::nullopt;
  if (full->rfind("https://", 0) != 0 && !(full->rfind("http://", 0) == 0 && allowedPlainHttpHost(*full)))
    throw CredentialsError(fmt::format(
        "AWS_CONTAINER_CREDENTIALS_FULL_URI must use https or a loopback or container host: {}", *full));
  return full;
}

std::string containerAuthorization() {
  if (auto file = env("AWS_CONTAINER_AUTHORIZATION_TOKEN_FILE")) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(file->c_str(), "r"), &std::fclose);
    if (!f) throw CredentialsError(fmt::format("cannot read AWS_CONTAINER_AUTHORIZATION_TOKEN_FILE {}", *file));
    std::string token;
    char buf[1024];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f.get())) > 0) token.append(buf, n);
    while (!token.empty() && (token.back() == '\n' || token.back() == '\r')) token.pop_back();
    return token;
  }
  return env("AWS_CONTAINER_AUTHORIZATION_TOKEN").value_or("");
}

Credentials fetchContainer(const std::string& url) {
  http::Request r;
  r.url = url;
  r.bypassProxy = true;
  r.connectTimeoutMs = 2000;
  r.totalTimeoutMs = 5000;
  r.headers.emplace_back("Accept", "application/json");
  if (std::string auth = containerAuthorization(); !auth.empty()) r.headers.emplace_back("Authorization", auth);
  http::Response resp;
  try {
    resp = http::send(r);
  } catch (const ClientError& e) {
    throw CredentialsError(fmt::format("container credentials could not be fetched: {}", e.what()));
  }
  if (resp.status != 200)
    throw CredentialsError(fmt::format("container credentials endpoint answered status {}", resp.status));
  return fromJson(resp.body, "Token", "the container credentials endpoint");
}

ProviderPtr containerProvider() {
  auto url = containerUrl();
  if (!url) return nullptr;
  return refreshing([u = *url] { return fetchContainer(u); });
}

// ---- instance role -----------------------------------------------------------------------

constexpr const char* kRolePath = "/latest/meta-data/iam/security-credentials/";

Credentials fetchInstanceRole() {
  http::Response roles = imds::get(kRolePath);
  if (roles.status != 200)
    throw CredentialsError(fmt::format("the instance metadata service has no role (status {})", roles.status));
  std::string role = roles.body.substr(0, roles.body.find('\n'));
  while (!role.empty() && (role.back() == '\r' || role.back() == ' ')) role.pop_back();
  if (role.empty()) throw CredentialsError("the instance metadata service named no role");
  http::Response resp = imds::get(kRolePath + role);
  if (resp.status != 200)
    throw CredentialsError(fmt::format("instance role credentials answered status {}", resp.status));
  return fromJson(resp.body, "Token", "the instance metadata service");
}

ProviderPtr instanceProvider() {
  if (imds::disabled()) return nullptr;
  return refreshing(fetchInstanceRole);
}

// ---- role assumption ---------------------------------------------------------------------

std::string xmlText(const pugi::xml_node& n, const char* child) { return n.child(child).text().as_string(); }

std::string stsErrorCode(const http::Response& resp) {
  pugi::xml_document doc;
  if (!doc.load_buffer(resp.body.data(), resp.body.size())) return "";
  return xmlText(doc.child("ErrorResponse").child("Error"), "Code");
}

Credentials parseAssumeRole(const http::Response& resp) {
  pugi::xml_document doc;
  if (!doc.load_buffer(resp.body.data(), resp.body.size()))
    throw ClientError(fmt::format("AssumeRole answered status {} with a body that is not XML", resp.status));
  if (resp.status != 200) {
    pugi::xml_node root = doc.child("ErrorResponse");
    pugi::xml_node err = root.child("Error");
    std::string requestId = xmlText(root, "RequestId");
    if (requestId.empty()) requestId = resp.header("x-amzn-requestid");
    std::string code = xmlText(err, "Code");
    throw ServiceError(code.empty() ? std::to_string(resp.status) : code, xmlText(err, "Message"),
                       resp.status, requestId, "AssumeRole");
  }
  pugi::xml_node creds = doc.child("AssumeRoleResponse").child("AssumeRoleResult").child("Credentials");
  Credentials c{xmlText(creds, "AccessKeyId"), xmlText(creds, "SecretAccessKey"), xmlText(creds, "SessionToken"),
                detail::parseIso8601(xmlText(creds, "Expiration"))};
  if (c.accessKeyId.empty() || c.secretAccessKey.empty())
    throw ClientError("AssumeRole answered without credentials");
  return c;
}

struct RoleSettings {
  std::string roleArn, sessionName, externalId, duration, region;
};

Credentials assumeRole(const RoleSettings& s, const ProviderPtr& source) {
  std::string signingRegion = s.region.empty() ? "us-east-1" : s.region;
  detail::Transport sts("sts", signingRegion, source);
  std::vector<std::pair<std::string, std::string>> form = {
      {"Action", "AssumeRole"}, {"Version", "2011-06-15"}, {"RoleArn", s.roleArn},
      {"RoleSessionName", s.sessionName}};
  if (!s.externalId.empty()) form.emplace_back("ExternalId", s.externalId);
  if (!s.duration.empty()) form.emplace_back("DurationSeconds", s.duration);
  http::Request r;
  r.method = "POST";
  r.url = detail::resolveEndpoint("STS", s.region) + "/";
  r.headers.emplace_back("Content-Type", "application/x-www-form-urlencoded; charset=utf-8");
  r.body = http::formEncode(form);
  return parseAssumeRole(sts.send(r, stsErrorCode));
}

// ---- profiles ----------------------------------------------------------------------------

Profile requireProfile(const std::string& name) {
  auto p = detail::loadProfile(name);
  if (!p) throw CredentialsError(fmt::format("The config profile ({}) could not be found", name));
  return *p;
}

ProviderPtr credentialSourceProvider(const std::string& source) {
  ProviderPtr p;
  if (source == "Environment") p = environmentProvider();
  else if (source == "Ec2InstanceMetadata") p = refreshing(fetchInstanceRole);
  else if (source == "EcsContainer") p = containerProvider();
  else throw CredentialsError(fmt::format("unsupported credential_source: {}", source));
  if (!p) throw CredentialsError(fmt::format("credential_source {} has no credentials", source));
  return p;
}

ProviderPtr profileProvider(const std::string& name, const Profile& p, std::set<std::string>& visited,
                            bool sourceOnly);

ProviderPtr roleProvider(const std::string& name, const Profile& p, std::set<std::string>& visited) {
  ProviderPtr source;
  std::string sourceProfile = valueOf(p, "source_profile");
  std::string credentialSource = valueOf(p, "credential_source");
  if (!sourceProfile.empty() && !credentialSource.empty())
    throw CredentialsError(fmt::format("profile {} has both source_profile and credential_source", name));
  if (!sourceProfile.empty()) {
    if (visited.count(sourceProfile) && sourceProfile != name)
      throw CredentialsError(fmt::format("profile {} has a source_profile loop", name));
    visited.insert(sourceProfile);
    Profile sp = requireProfile(sourceProfile);
    // A profile that is its own source uses its static keys, not its role again.
    source = profileProvider(sourceProfile, sp, visited, sourceProfile == name);
    if (!source) throw CredentialsError(fmt::format("source_profile {} has no credentials", sourceProfile));
  } else if (!credentialSource.empty()) {
    source = credentialSourceProvider(credentialSource);
  } else {
    throw CredentialsError(fmt::format("profile {} has role_arn but neither source_profile nor credential_source", name));
  }
  RoleSettings s{valueOf(p, "role_arn"), valueOf(p, "role_session_name"), valueOf(p, "external_id"),
                 valueOf(p, "duration_seconds"), valueOf(p, "region")};
  if (s.region.empty()) s.region = env("AWS_REGION").value_or(env("AWS_DEFAULT_REGION").value_or(""));
  if (s.sessionName.empty())
    s.sessionName = fmt::format("tarnwick-session-{}", std::chrono::duration_cast<std::chrono::seconds>(
                                                           aws::clock().now().time_since_epoch()).count());
  return refreshing([s, source] { return assumeRole(s, source); });
}

ProviderPtr staticProfileProvider(const Profile& p) {
  std::string id = valueOf(p, "aws_access_key_id");
  std::string secret = valueOf(p, "aws_secret_access_key");
  if (id.empty() || secret.empty()) return nullptr;
  return std::make_shared<StaticProvider>(Credentials{id, secret, valueOf(p, "aws_session_token"), {}});
}

ProviderPtr profileProvider(const std::string& name, const Profile& p, std::set<std::string>& visited,
                            bool sourceOnly) {
  if (!sourceOnly && !valueOf(p, "role_arn").empty()) return roleProvider(name, p, visited);
  if (auto s = staticProfileProvider(p)) return s;
  if (std::string cmd = valueOf(p, "credential_process"); !cmd.empty())
    return refreshing([cmd] { return runCredentialProcess(cmd); });
  return nullptr;
}

// The chain picks its source on first use and keeps it, as the SDKs do.
class DefaultChain : public CredentialsProvider {
 public:
  explicit DefaultChain(const std::optional<std::string>& profile)
      : explicitProfile_(profile && !profile->empty()), name_(detail::profileName(profile)) {
    bool named = explicitProfile_ || env("AWS_PROFILE").has_value();
    if (named) requireProfile(name_);
  }

  Credentials get() override {
    ProviderPtr chosen;
    {
      std::lock_guard<std::mutex> g(lock_);
      if (!chosen_) chosen_ = choose();
      chosen = chosen_;
    }
    return chosen->get();
  }

 private:
  ProviderPtr choose() {
    // An explicitly named profile takes precedence over credentials in the environment.
    if (!explicitProfile_)
      if (auto p = environmentProvider()) return p;
    if (auto profile = detail::loadProfile(name_)) {
      std::set<std::string> visited{name_};
      if (auto p = profileProvider(name_, *profile, visited, false)) return p;
    }
    if (auto p = containerProvider()) return p;
    if (auto p = instanceProvider()) {
      try {
        p->get();
        return p;
      } catch (const ClientError&) {
        // Not on EC2, or no role: fall through to the common "no credentials" error.
      }
    }
    throw CredentialsError("Unable to locate credentials");
  }

  bool explicitProfile_;
  std::string name_;
  std::mutex lock_;
  ProviderPtr chosen_;
};

}  // namespace

std::shared_ptr<CredentialsProvider> staticCredentials(Credentials c) {
  return std::make_shared<StaticProvider>(std::move(c));
}

std::shared_ptr<CredentialsProvider> defaultChain(const std::optional<std::string>& profile) {
  return std::make_shared<DefaultChain>(profile);
}

Credentials detail::parseCredentialsDocument(const std::string& body, const char* tokenMember,
                                             const std::string& source) {
  return fromJson(body, tokenMember, source);
}

}  // namespace aws
