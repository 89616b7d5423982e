// Loopback stand-ins for the plain web services the programs call: the instance metadata
// service, the public-address service, and a generic HTTP or HTTPS server answering from routes.
#pragma once
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "testbed/process.h"

namespace testbed {

struct FakeRequest {
  std::string method;
  std::string path;
  std::string rawQuery;
  std::map<std::string, std::string> query;    // first value of each parameter
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
  std::map<std::string, std::string> form;                 // a form-encoded body, decoded
  std::string header(const std::string& lowerName) const;  // "" when absent
};

// Fixture (JSON), read again for every request:
//   "routes": [{"method", "path", "query": {..}, "form": {..},        (all optional, to match)
//               "status", "headers": {..}, "body": text or JSON, "delay": seconds,
//               or "sequence": [answers in turn, the last repeating]}]  (tried first, in order)
//   metadata mode: "identity" (the identity document), "requireToken" (401 without a token),
//     "token", "tokenStatus" (answer to the token PUT instead of a token), "role",
//     "credentials"
//   ipecho mode: "ip" (answered to GET /?format=json as {"ip": ..})
//   SSO portal mode: "token", "account", "role" (GetRoleCredentials answers SSOKEY / SSOSECRET /
//     SSOTOKEN for an hour; anything else 401)
//   awsfront mode: "upstream", "buckets", "wrongRegion", "secrets" (see aws_front.py)
// As HTTPS_PROXY, a server records each tunnel's CONNECT (header("host") names the host asked
// for) and, in generic mode, refuses it with 404.
class FakeServer {
 public:
  enum class Mode { Metadata, PublicIp, SsoPortal, AwsFront, Generic };

  explicit FakeServer(Mode mode, const nlohmann::ordered_json& fixture = nlohmann::ordered_json::object(),
                      bool tls = false);
  ~FakeServer();
  FakeServer(const FakeServer&) = delete;
  FakeServer& operator=(const FakeServer&) = delete;

  void setFixture(const nlohmann::ordered_json& fixture);
  std::vector<FakeRequest> requests() const;
  void clearRequests();

  int port() const { return port_; }
  std::string url() const;   // "http://127.0.0.1:<port>" or "https://..."
  std::string host() const;  // "127.0.0.1:<port>"
  // The self-signed certificate (PEM) of a TLS server, made for this run with openssl.
  std::string certPath() const;
  std::string log() const;

 private:
  std::unique_ptr<TempDir> dir_;
  std::unique_ptr<BackgroundProcess> process_;
  int port_ = 0;
  bool tls_;
};

// Leaves an SSO token in HOME's cache as `aws sso login` does; `cacheKey` is the sso-session
// name, or the start URL in the older form; `registration` is merged in (refreshToken, clientId, ...).
void cacheSsoToken(const std::filesystem::path& home, const std::string& cacheKey, const std::string& token,
                   const std::string& expiresAt,
                   const nlohmann::ordered_json& registration = nlohmann::ordered_json::object());

}  // namespace testbed
