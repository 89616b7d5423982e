// HTTP over libcurl: one easy handle per thread, TLS on by default, time-outs, environment proxies.
#pragma once
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "tarnwick_testlibs/aws/errors.h"

namespace tarnwick::aws::http {

using Headers = std::vector<std::pair<std::string, std::string>>;

struct Request {
  std::string method = "GET";
  std::string url;
  Headers headers;
  std::string body;
  bool verifyTls = true;
  std::string caBundle;  // certificates to verify against; "": AWS_CA_BUNDLE, else the system's
  // When set, the peer's certificate must have this SHA-256 fingerprint (hex; colons and case do
  // not matter), checked in the handshake, before anything is sent; the chain is then checked
  // only with verifyTls. Such a request always opens a connection of its own.
  std::string pinnedSha256;
  // A refused certificate is described (fingerprint, subject) in a PeerCertificateError; also a
  // connection of its own.
  bool describePeer = false;
  long connectTimeoutMs = 10000;
  long totalTimeoutMs = 120000;  // 0: no total limit (large transfers)
  // 0: none. Otherwise a transfer that moves no data for this many seconds fails (and is retried
  // like any connection failure) instead of hanging its thread.
  long inactivityTimeoutSec = 0;
  // Sends the path exactly as given: "." and ".." segments of S3 keys are part of what was signed.
  bool pathAsIs = false;
  // Link-local services (instance metadata, container credentials) are never reached through a
  // proxy from the environment.
  bool bypassProxy = false;
  std::FILE* uploadFrom = nullptr;  // when set, the body is read from here (uploadSize bytes)
  long long uploadSize = 0;
  std::FILE* downloadTo = nullptr;  // when set, a 2xx body is written here instead of `body`
};

// The peer's certificate failed the request's checks (pinnedSha256, or verifyTls with caBundle):
// nothing was sent. Says what was found, for a message that names expected and found.
class PeerCertificateError : public ClientError {
 public:
  PeerCertificateError(const std::string& message, std::string sha256, std::string subject, std::string problem)
      : ClientError(message, FailureKind::kTls),
        sha256_(std::move(sha256)),
        subject_(std::move(subject)),
        problem_(std::move(problem)) {}
  const std::string& sha256() const { return sha256_; }    // upper-case hex pairs joined by ':'
  const std::string& subject() const { return subject_; }  // one line
  const std::string& problem() const { return problem_; }  // why the chain failed, "" when it did not

 private:
  std::string sha256_, subject_, problem_;
};

// "AB:CD:..." from any spelling of a SHA-256 fingerprint; "" when it is not one.
std::string normalFingerprint(const std::string& text);

struct Response {
  long status = 0;
  Headers headers;  // names in lower case
  std::string body;
  // The request went out more than once: the connection it was first sent on closed without an
  // answer, and it was sent again on a fresh one. The first send may have been carried out.
  bool resent = false;
  std::string header(const std::string& lowerName) const;  // "" when absent
};

// Sends the request. Transport failures (no connection, TLS, time-out) throw aws::ClientError
// of the kind failureKindOf gives the library's result code.
Response send(const Request& request);
// The kind of a failed transfer, by libcurl's result code (CURLcode).
FailureKind failureKindOf(int curlCode);

// Percent-encoding of RFC 3986 unreserved characters kept; '/' kept when keepSlash.
std::string uriEncode(const std::string& s, bool keepSlash = false);
// An application/x-www-form-urlencoded body of the pairs, in the given order, as the vendor SDKs
// send it: a blank becomes "+", everything but unreserved characters is percent-encoded.
std::string formEncode(const std::vector<std::pair<std::string, std::string>>& fields);
// A URL query of the pairs, in the given order (a blank becomes "%20").
std::string queryString(const std::vector<std::pair<std::string, std::string>>& fields);
// The reverse of formEncode for one value: "+" is a blank, "%XX" the byte XX.
std::string formDecode(const std::string& s);

}  // namespace tarnwick::aws::http
