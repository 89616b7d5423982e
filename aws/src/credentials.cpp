// Credential sources and the default chain: environment, shared files (static keys, role_arn with
// source_profile or credential_source, web identity, SSO, credential_process), container
// credentials, instance role.
#include "tarnwick_testlibs/aws/credentials.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <mutex>
#include <set>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "config.h"
#include "credential_sources.h"
#include "credentials_document.h"
#include "tarnwick_testlibs/aws/clock.h"
#include "tarnwick_testlibs/aws/errors.h"
#include "tarnwick_testlibs/aws/http.h"
#include "tarnwick_testlibs/aws/imds.h"
#include "tarnwick_testlibs/aws/retry.h"
#include "tarnwick_testlibs/base/descriptor.h"
#include "tarnwick_testlibs/base/text.h"

namespace tarnwick::aws {
namespace {

using tarnwick::FileDescriptor;
using tarnwick::text::trim;

using detail::env;
using detail::Profile;
using detail::ProviderPtr;
using detail::StsRegionPtr;
using detail::valueOf;

constexpr const char* kContainerHost = "http://169.254.170.2";

class StaticProvider : public CredentialsProvider {
 public:
  explicit StaticProvider(Credentials c) : c_(std::move(c)) {}
  Credentials get() override { return c_; }

 private:
  Credentials c_;
};

ProviderPtr refreshing(std::function<Credentials()> f) { return refreshingCredentials(std::move(f)); }

std::optional<std::chrono::system_clock::time_point> expirationOf(const nlohmann::json& doc, const char* member) {
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
  if (!id) return nullptr;
  // A key without its secret is a mistake to report, not a reason to look elsewhere.
  if (!secret) throw CredentialsError("AWS_ACCESS_KEY_ID is set but AWS_SECRET_ACCESS_KEY is not");
  Credentials c{*id, *secret, env("AWS_SESSION_TOKEN").value_or(env("AWS_SECURITY_TOKEN").value_or("")), {}};
  return std::make_shared<StaticProvider>(c);
}

// ---- credential_process ------------------------------------------------------------------

struct ProcessResult {
  int exitStatus = -1;  // -1 when it did not end normally
  std::string out, err;
};

// Reads both pipes to their end together, so that a chatty standard error cannot block the child.
void drain(FileDescriptor& out, FileDescriptor& err, ProcessResult& r) {
  char buf[4096];
  while (out.get() >= 0 || err.get() >= 0) {
    std::array<pollfd, 2> fds{{{out.get(), POLLIN, 0}, {err.get(), POLLIN, 0}}};
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (auto [fd, text] : {std::pair{&out, &r.out}, std::pair{&err, &r.err}}) {
      if (fd->get() < 0) continue;
      ssize_t n = ::read(fd->get(), buf, sizeof buf);
      if (n > 0)
        text->append(buf, static_cast<size_t>(n));
      else if (n == 0 || errno != EINTR)
        fd->reset();
    }
  }
}

ProcessResult runShell(const std::string& command) {
  int outPipe[2], errPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0) throw CredentialsError("credential_process: no pipe");
  FileDescriptor outRead(outPipe[0]), outWrite(outPipe[1]);
  if (::pipe2(errPipe, O_CLOEXEC) != 0) throw CredentialsError("credential_process: no pipe");
  FileDescriptor errRead(errPipe[0]), errWrite(errPipe[1]);
  pid_t pid = ::fork();
  if (pid < 0) throw CredentialsError(fmt::format("credential_process could not be started: {}", command));
  if (pid == 0) {
    ::dup2(outWrite.get(), STDOUT_FILENO);
    ::dup2(errWrite.get(), STDERR_FILENO);
    ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  outWrite.reset();
  errWrite.reset();
  ProcessResult r;
  drain(outRead, errRead, r);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  r.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

Credentials runCredentialProcess(const std::string& command) {
  ProcessResult r = runShell(command);
  if (r.exitStatus != 0)
    throw CredentialsError(fmt::format("credential_process failed (exit status {}): {}{}{}", r.exitStatus, command,
                                       r.err.empty() ? "" : ": ", trim(r.err)));
  Credentials c = fromJson(r.out, "SessionToken", "credential_process");
  nlohmann::json doc = nlohmann::json::parse(r.out);
  if (!doc.contains("Version") || doc["Version"] != 1)
    throw CredentialsError("credential_process returned an unsupported Version (expected 1)");
  return c;
}

// ---- container credentials ---------------------------------------------------------------

// The host part of a URL as a resolver sees it: no user information, port or brackets.
std::string urlHost(const std::string& url) {
  auto start = url.find("://");
  start = start == std::string::npos ? 0 : start + 3;
  std::string authority = url.substr(start, url.find_first_of("/?#", start) - start);
  if (auto at = authority.rfind('@'); at != std::string::npos) authority = authority.substr(at + 1);
  if (!authority.empty() && authority[0] == '[') return authority.substr(1, authority.find(']') - 1);
  return authority.substr(0, authority.find(':'));
}

bool loopbackAddress(const std::string& host) {
  unsigned char addr[16];
  if (::inet_pton(AF_INET, host.c_str(), addr) == 1) return addr[0] == 127;
  static const unsigned char kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  return ::inet_pton(AF_INET6, host.c_str(), addr) == 1 && std::equal(addr, addr + 16, kLoopback6);
}

// Plain http only to a loopback address or the hosts container platforms use, as the SDKs allow.
bool allowedPlainHttpHost(const std::string& url) {
  const std::string host = tarnwick::text::lower(urlHost(url));
  return loopbackAddress(host) || host == "localhost" || host == "169.254.170.2" || host == "169.254.170.23" ||
         host == "fd00:ec2::23";
}

std::optional<std::string> containerUrl() {
  if (auto rel = env("AWS_CONTAINER_CREDENTIALS_RELATIVE_URI")) return kContainerHost + *rel;
  auto full = env("AWS_CONTAINER_CREDENTIALS_FULL_URI");
  if (!full) return std::nullopt;
  const std::string scheme = tarnwick::text::lower(full->substr(0, full->find("://")));
  if (scheme != "https" && !(scheme == "http" && allowedPlainHttpHost(*full)))
    throw CredentialsError(
        fmt::format("AWS_CONTAINER_CREDENTIALS_FULL_URI must use https or a loopback or container host: {}", *full));
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

// The endpoint's body, or why the attempt gave none worth reading.
struct ContainerAnswer {
  std::string body;
  std::string failure;
};

ContainerAnswer askContainer(const http::Request& r) {
  http::Response resp;
  try {
    resp = http::send(r);
  } catch (const ClientError& e) {
    return {"", fmt::format("container credentials could not be fetched: {}", e.what())};
  }
  if (resp.status != 200) return {"", fmt::format("container credentials endpoint answered status {}", resp.status)};
  if (!nlohmann::json::accept(resp.body))
    return {"", "the container credentials endpoint returned a credentials document that is not JSON"};
  return {resp.body, ""};
}

// A CI runner's or task's credentials endpoint has short blips: three attempts a second apart, as
// the SDKs make.
constexpr int kContainerAttempts = 3;
constexpr std::chrono::seconds kContainerPause{1};

Credentials fetchContainer(const std::string& url) {
  http::Request r;
  r.url = url;
  r.bypassProxy = true;
  r.connectTimeoutMs = 2000;
  r.totalTimeoutMs = 5000;
  r.headers.emplace_back("Accept", "application/json");
  if (std::string auth = containerAuthorization(); !auth.empty()) r.headers.emplace_back("Authorization", auth);
  RetryLoop loop(RetryPolicy(kContainerAttempts), BackoffPolicy::fixed(kContainerPause));
  for (;;) {
    const ContainerAnswer answer = askContainer(r);
    if (answer.failure.empty()) return fromJson(answer.body, "Token", "the container credentials endpoint");
    if (!loop.another()) throw CredentialsError(answer.failure);
  }
}

ProviderPtr containerProvider() {
  auto url = containerUrl();
  if (!url) return nullptr;
  return refreshing([u = *url] { return fetchContainer(u); });
}

// ---- instance role -----------------------------------------------------------------------

constexpr const char* kRolePath = "/latest/meta-data/iam/security-credentials/";

Credentials fetchInstanceRole(const std::string& profile) {
  http::Response roles = imds::get(kRolePath, profile);
  if (roles.status != 200)
    throw CredentialsError(fmt::format("the instance metadata service has no role (status {})", roles.status));
  std::string role = roles.body.substr(0, roles.body.find('\n'));
  while (!role.empty() && (role.back() == '\r' || role.back() == ' ')) role.pop_back();
  if (role.empty()) throw CredentialsError("the instance metadata service named no role");
  http::Response resp = imds::get(kRolePath + role, profile);
  if (resp.status != 200)
    throw CredentialsError(fmt::format("instance role credentials answered status {}", resp.status));
  return fromJson(resp.body, "Token", "the instance metadata service");
}

ProviderPtr instanceProvider(const std::string& profile) {
  if (imds::disabled()) return nullptr;
  return refreshing([profile] { return fetchInstanceRole(profile); });
}

// ---- profiles ----------------------------------------------------------------------------

Profile requireProfile(const std::string& name) {
  auto p = detail::loadProfile(name);
  if (!p) throw CredentialsError(fmt::format("The config profile ({}) could not be found", name));
  return *p;
}

bool hasStaticKeys(const Profile& p) {
  return !valueOf(p, "aws_access_key_id").empty() || !valueOf(p, "aws_secret_access_key").empty();
}

// A profile that assumes a role with its own source (not by web identity, which also uses role_arn).
bool assumesRole(const Profile& p) {
  return !valueOf(p, "role_arn").empty() && valueOf(p, "web_identity_token_file").empty();
}

ProviderPtr credentialSourceProvider(const std::string& profile, const std::string& source) {
  ProviderPtr p;
  if (source == "Environment")
    p = environmentProvider();
  else if (source == "Ec2InstanceMetadata")
    p = refreshing([profile] { return fetchInstanceRole(profile); });
  else if (source == "EcsContainer")
    p = containerProvider();
  else
    throw CredentialsError(fmt::format("unsupported credential_source: {}", source));
  if (!p) throw CredentialsError(fmt::format("credential_source {} has no credentials", source));
  return p;
}

ProviderPtr staticProfileProvider(const std::string& name, const Profile& p) {
  if (!hasStaticKeys(p)) return nullptr;
  std::string id = valueOf(p, "aws_access_key_id");
  std::string secret = valueOf(p, "aws_secret_access_key");
  if (id.empty() || secret.empty())
    throw CredentialsError(fmt::format("profile {} has {} but not {}", name,
                                       id.empty() ? "aws_secret_access_key" : "aws_access_key_id",
                                       id.empty() ? "aws_access_key_id" : "aws_secret_access_key"));
  return std::make_shared<StaticProvider>(Credentials{id, secret, valueOf(p, "aws_session_token"), {}});
}

// The profile's own credentials, leaving its role aside: web identity, SSO, static keys,
// credential_process. nullptr when it has none.
ProviderPtr ownCredentials(const std::string& name, const Profile& p, const StsRegionPtr& region) {
  if (auto w = detail::webIdentityProvider(name, &p, false, region)) return w;
  if (auto sso = detail::ssoProvider(name, p)) return sso;
  if (auto s = staticProfileProvider(name, p)) return s;
  if (std::string cmd = valueOf(p, "credential_process"); !cmd.empty())
    return refreshing([cmd] { return runCredentialProcess(cmd); });
  return nullptr;
}

ProviderPtr roleProvider(const std::string& name, const Profile& p, std::set<std::string>& visited,
                         const StsRegionPtr& region);

// A source profile with keys (or no role) lends its own credentials; only one that merely
// assumes a role in turn makes a chain of roles.
ProviderPtr sourceProfileProvider(const std::string& parent, const std::string& name, std::set<std::string>& visited,
                                  const StsRegionPtr& region) {
  Profile sp = requireProfile(name);
  const bool seen = !visited.insert(name).second;
  if (seen && (name != parent || !hasStaticKeys(sp)))
    throw CredentialsError(fmt::format("profile {} has a source_profile loop", parent));
  ProviderPtr source = hasStaticKeys(sp) || !assumesRole(sp) ? ownCredentials(name, sp, region)
                                                             : roleProvider(name, sp, visited, region);
  if (!source) throw CredentialsError(fmt::format("source_profile {} has no credentials", name));
  return source;
}

ProviderPtr roleProvider(const std::string& name, const Profile& p, std::set<std::string>& visited,
                         const StsRegionPtr& region) {
  std::string sourceProfile = valueOf(p, "source_profile");
  std::string credentialSource = valueOf(p, "credential_source");
  if (!sourceProfile.empty() && !credentialSource.empty())
    throw CredentialsError(fmt::format("profile {} has both source_profile and credential_source", name));
  if (sourceProfile.empty() && credentialSource.empty())
    throw CredentialsError(
        fmt::format("profile {} has role_arn but neither source_profile nor credential_source", name));
  ProviderPtr source = sourceProfile.empty() ? credentialSourceProvider(name, credentialSource)
                                             : sourceProfileProvider(name, sourceProfile, visited, region);
  return detail::assumeRoleProvider(name, p, source, region);
}

// The chain picks its source on first use and keeps it, as the SDKs do.
class DefaultChain : public CredentialsProvider {
 public:
  DefaultChain(const std::optional<std::string>& profile, StsRegionPtr region)
      : explicitProfile_(profile && !profile->empty()),
        name_(detail::profileName(profile)),
        region_(std::move(region)) {
    bool named = explicitProfile_ || env("AWS_DEFAULT_PROFILE") || env("AWS_PROFILE");
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
    // An explicitly named profile takes precedence over settings in the environment.
    if (!explicitProfile_)
      if (auto p = environmentProvider()) return p;
    const std::optional<Profile> profile = detail::loadProfile(name_);
    if (profile && assumesRole(*profile)) {
      std::set<std::string> visited{name_};
      return roleProvider(name_, *profile, visited, region_);
    }
    if (auto p = detail::webIdentityProvider(name_, profile ? &*profile : nullptr, !explicitProfile_, region_))
      return p;
    if (profile)
      if (auto p = ownCredentials(name_, *profile, region_)) return p;
    if (auto p = containerProvider()) return p;
    if (auto p = instanceProvider(name_)) {
      try {
        p->get();
        return p;
      } catch (const ClientError& e) {
        // A setting that is wrong, or IMDSv1 turned off where no token is given, is the user's to
        // hear about; not on EC2, or no role, ends in the common "no credentials" error.
        if (e.kind() == FailureKind::kOther) throw CredentialsError(e.what());
      }
    }
    throw CredentialsError("Unable to locate credentials");
  }

  bool explicitProfile_;
  std::string name_;
  StsRegionPtr region_;
  std::mutex lock_;
  ProviderPtr chosen_;
};

}  // namespace

std::shared_ptr<CredentialsProvider> staticCredentials(Credentials c) {
  return std::make_shared<StaticProvider>(std::move(c));
}

std::shared_ptr<CredentialsProvider> defaultChain(const std::optional<std::string>& profile) {
  return detail::defaultChain(profile, std::make_shared<detail::StsRegion>());
}

std::shared_ptr<CredentialsProvider> detail::defaultChain(const std::optional<std::string>& profile,
                                                          StsRegionPtr region) {
  return std::make_shared<DefaultChain>(profile, std::move(region));
}

Credentials detail::parseCredentialsDocument(const std::string& body, const char* tokenMember,
                                             const std::string& source) {
  return fromJson(body, tokenMember, source);
}

}  // namespace tarnwick::aws
