// HTTP over libcurl. Each thread keeps its own easy handle, so connections are reused within a
// thread and clients can be shared between threads without locks.
#include "tarnwick_testlibs/aws/http.h"

#include <curl/curl.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string_view>

#include <fmt/format.h>

#include "tarnwick_testlibs/aws/clock.h"
#include "tarnwick_testlibs/aws/errors.h"
#include "tarnwick_testlibs/base/text.h"

namespace tarnwick::aws::http {
namespace {

using tarnwick::text::lower;
using tarnwick::text::trim;

void globalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct EasyDeleter {
  void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;

struct SlistDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
using HeaderList = std::unique_ptr<curl_slist, SlistDeleter>;

CURL* threadHandle() {
  globalInit();
  thread_local EasyHandle handle(curl_easy_init());
  if (!handle) throw ClientError("could not create an HTTP handle", FailureKind::kTransfer);
  curl_easy_reset(handle.get());
  return handle.get();
}

struct Transfer {
  CURL* handle;
  std::FILE* downloadTo;
  Response* response;
  std::string method;
  bool writeFailed = false;
  int requestsSent = 0;
};

// Counts the times the request went out. libcurl sends it again by itself, on a fresh
// connection, when a reused one closes without a byte of answer; the first send may have been
// carried out all the same, and the caller must know.
int onDebug(CURL*, curl_infotype type, char* data, size_t size, void* user) {
  auto* t = static_cast<Transfer*>(user);
  // A proxy's CONNECT goes out as headers too, but is not the request.
  if (type == CURLINFO_HEADER_OUT && std::string_view(data, size).starts_with(t->method + " ")) ++t->requestsSent;
  return 0;
}

size_t onBody(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  size_t n = size * count;
  long status = 0;
  curl_easy_getinfo(t->handle, CURLINFO_RESPONSE_CODE, &status);
  if (t->downloadTo && status >= 200 && status < 300) {
    if (std::fwrite(data, 1, n, t->downloadTo) != n) {
      t->writeFailed = true;
      return 0;
    }
    return n;
  }
  t->response->body.append(data, n);
  return n;
}

size_t onHeader(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  size_t n = size * count;
  std::string line(data, n);
  // A new status line (after 100-continue or a redirect) starts a fresh header set.
  if (line.rfind("HTTP/", 0) == 0) {
    t->response->headers.clear();
    return n;
  }
  auto colon = line.find(':');
  if (colon != std::string::npos)
    t->response->headers.emplace_back(lower(std::string(trim(std::string_view(line).substr(0, colon)))),
                                      std::string(trim(std::string_view(line).substr(colon + 1))));
  return n;
}

size_t readFile(char* buffer, size_t size, size_t count, void* user) {
  return std::fread(buffer, size, count, static_cast<std::FILE*>(user));
}

bool hasHeader(const Headers& headers, const std::string& lowerName) {
  return std::any_of(headers.begin(), headers.end(), [&](const auto& h) { return lower(h.first) == lowerName; });
}

HeaderList buildHeaders(const Request& request) {
  curl_slist* list = nullptr;
  auto add = [&list](const std::string& line) {
    curl_slist* next = curl_slist_append(list, line.c_str());
    if (!next) {
      curl_slist_free_all(list);
      throw ClientError("out of memory building HTTP headers", FailureKind::kTransfer);
    }
    list = next;
  };
  for (const auto& [name, value] : request.headers) add(value.empty() ? name + ";" : name + ": " + value);
  // Keep libcurl from adding headers of its own that would change what the service sees.
  add("Expect:");
  if (!hasHeader(request.headers, "content-type")) add("Content-Type:");
  if (!hasHeader(request.headers, "accept")) add("Accept:");
  return HeaderList(list);
}

void setMethodAndBody(CURL* h, const Request& request) {
  if (request.uploadFrom) {
    curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(h, CURLOPT_READFUNCTION, readFile);
    curl_easy_setopt(h, CURLOPT_READDATA, request.uploadFrom);
    curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(request.uploadSize));
    if (request.method != "PUT") curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    return;
  }
  if (request.method == "HEAD") {
    curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
    return;
  }
  bool sendsBody = !request.body.empty() || request.method == "POST" || request.method == "PUT";
  if (sendsBody) {
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, request.body.data());
  }
  if (request.method != "GET" && request.method != "POST")
    curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  else if (request.method == "GET" && sendsBody)
    curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, "GET");
}

// What the handshake saw of the peer, filled by checkPeer.
struct PeerCheck {
  std::string pin;  // normalFingerprint of the request's pin, or ""
  bool verifyChain = false;
  bool seen = false;
  std::string sha256, subject, problem;
};

std::string fingerprintOf(X509* cert) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!cert || X509_digest(cert, EVP_sha256(), digest, &length) != 1) return "";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) hex += fmt::format("{}{:02X}", i ? ":" : "", digest[i]);
  return hex;
}

std::string subjectOf(X509* cert) {
  char line[512] = {0};
  if (cert) X509_NAME_oneline(X509_get_subject_name(cert), line, sizeof line);
  return line;
}

// Runs in place of the library's chain check, so that a pin is decided in the handshake.
int checkPeer(X509_STORE_CTX* store, void* arg) {
  auto* check = static_cast<PeerCheck*>(arg);
  X509* leaf = X509_STORE_CTX_get0_cert(store);
  check->seen = true;
  check->sha256 = fingerprintOf(leaf);
  check->subject = subjectOf(leaf);
  if (check->verifyChain && X509_verify_cert(store) != 1)
    check->problem = X509_verify_cert_error_string(X509_STORE_CTX_get_error(store));
  const bool pinHolds = check->pin.empty() || check->pin == check->sha256;
  return pinHolds && check->problem.empty() ? 1 : 0;
}

CURLcode onSslContext(CURL*, void* sslContext, void* arg) {
  auto* ctx = static_cast<SSL_CTX*>(sslContext);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  SSL_CTX_set_cert_verify_callback(ctx, checkPeer, arg);
  return CURLE_OK;
}

void setPeerCheck(CURL* h, const Request& request, PeerCheck* check) {
  check->pin = normalFingerprint(request.pinnedSha256);
  // A pin that is no fingerprint matches nothing rather than everything.
  if (check->pin.empty() && !request.pinnedSha256.empty()) check->pin = "not a fingerprint";
  check->verifyChain = request.verifyTls;
  curl_easy_setopt(h, CURLOPT_SSL_CTX_FUNCTION, onSslContext);
  curl_easy_setopt(h, CURLOPT_SSL_CTX_DATA, check);
  // A pooled connection was never checked against this pin.
  curl_easy_setopt(h, CURLOPT_FRESH_CONNECT, 1L);
  curl_easy_setopt(h, CURLOPT_FORBID_REUSE, 1L);
}

void clearPeerCheck(CURL* h) {
  curl_easy_setopt(h, CURLOPT_SSL_CTX_FUNCTION, nullptr);
  curl_easy_setopt(h, CURLOPT_SSL_CTX_DATA, nullptr);
  curl_easy_setopt(h, CURLOPT_FRESH_CONNECT, 0L);
  curl_easy_setopt(h, CURLOPT_FORBID_REUSE, 0L);
}

void setConnection(CURL* h, const Request& request) {
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, request.connectTimeoutMs);
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, request.totalTimeoutMs);
  if (request.inactivityTimeoutSec > 0) {
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, request.inactivityTimeoutSec);
  }
  if (request.bypassProxy) curl_easy_setopt(h, CURLOPT_NOPROXY, "*");
  if (request.verifyTls) {
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!request.caBundle.empty())
      curl_easy_setopt(h, CURLOPT_CAINFO, request.caBundle.c_str());
    else if (const char* bundle = std::getenv("AWS_CA_BUNDLE"); bundle && *bundle)
      curl_easy_setopt(h, CURLOPT_CAINFO, bundle);
  } else {
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 0L);
  }
}

// Once the run is asked to stop, a transfer still under way gets StopRequest::kCallsInFlight to
// end; then it is aborted, so that a call the peer holds open cannot keep the run from ending.
// libcurl calls this at least once a second, also while nothing moves.
int abortWhenStopped(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  const StopRequest& stop = stopRequest();
  return stop.raised() && stop.age() >= StopRequest::kCallsInFlight ? 1 : 0;
}

void setStopCheck(CURL* h) {
  curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, abortWhenStopped);
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
}

}  // namespace

FailureKind failureKindOf(int curlCode) {
  switch (static_cast<CURLcode>(curlCode)) {
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PROXY:
      return FailureKind::kConnection;
    case CURLE_OPERATION_TIMEDOUT:
      return FailureKind::kTimeout;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CLIENTCERT:
      return FailureKind::kTls;
    default:
      return FailureKind::kTransfer;
  }
}

namespace {

// The URL without its query, so that failure texts carry no signatures or tokens.
std::string safeUrl(const std::string& url) { return url.substr(0, url.find('?')); }

}  // namespace

std::string Response::header(const std::string& lowerName) const {
  for (const auto& [name, value] : headers)
    if (name == lowerName) return value;
  return "";
}

Response send(const Request& request) {
  stopRequest().check(request.method + " " + safeUrl(request.url));
  CURL* h = threadHandle();
  Response response;
  Transfer transfer{h, request.downloadTo, &response, request.method};
  char errors[CURL_ERROR_SIZE] = {0};
  HeaderList headers = buildHeaders(request);

  curl_easy_setopt(h, CURLOPT_URL, request.url.c_str());
  if (request.pathAsIs) curl_easy_setopt(h, CURLOPT_PATH_AS_IS, 1L);
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errors);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, onBody);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, onHeader);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, &transfer);
  setConnection(h, request);
  setStopCheck(h);
  setMethodAndBody(h, request);
  curl_easy_setopt(h, CURLOPT_DEBUGFUNCTION, onDebug);
  curl_easy_setopt(h, CURLOPT_DEBUGDATA, &transfer);
  curl_easy_setopt(h, CURLOPT_VERBOSE, 1L);
  PeerCheck peer;
  const bool checked = !request.pinnedSha256.empty() || request.describePeer;
  if (checked) setPeerCheck(h, request, &peer);

  CURLcode rc = curl_easy_perform(h);
  // The handle outlives this call; it must not keep pointers into this frame.
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, nullptr);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, nullptr);
  if (checked) clearPeerCheck(h);
  const bool refused = rc == CURLE_PEER_FAILED_VERIFICATION || rc == CURLE_SSL_CONNECT_ERROR;
  if (checked && refused && peer.seen) {
    // The chain passed and so did the pin: the library refused the name.
    if (peer.problem.empty() && (peer.pin.empty() || peer.pin == peer.sha256))
      peer.problem = errors[0] ? errors : curl_easy_strerror(rc);
    throw PeerCertificateError(
        fmt::format("{} {}: the peer's certificate was refused", request.method, safeUrl(request.url)), peer.sha256,
        peer.subject, peer.problem);
  }
  if (transfer.writeFailed)
    throw ClientError(fmt::format("{} {}: writing the download failed", request.method, safeUrl(request.url)),
                      FailureKind::kTransfer);
  // Aborted for the stop: the call was given up, which is no failure of the call's own.
  if (rc == CURLE_ABORTED_BY_CALLBACK) stopRequest().check(request.method + " " + safeUrl(request.url));
  if (rc != CURLE_OK) {
    // Bytes of the request that went out on this transfer; none when the connection never came up.
    long sent = 0;
    curl_easy_getinfo(h, CURLINFO_REQUEST_SIZE, &sent);
    throw ClientError(
        fmt::format("{} {}: {}", request.method, safeUrl(request.url), errors[0] ? errors : curl_easy_strerror(rc)),
        failureKindOf(rc), sent > 0);
  }
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &response.status);
  response.resent = transfer.requestsSent > 1;
  return response;
}

std::string normalFingerprint(const std::string& text) {
  std::string hex;
  for (char c : text) {
    if (c == ':' || c == ' ') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return "";
    hex += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  if (hex.size() != 64) return "";
  std::string out;
  for (size_t i = 0; i < hex.size(); i += 2) out += (i ? ":" : "") + hex.substr(i, 2);
  return out;
}

std::string uriEncode(const std::string& s, bool keepSlash) {
  std::string out;
  out.reserve(s.size() * 3 / 2);
  for (unsigned char c : s) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
        c == '.' || c == '~' || (keepSlash && c == '/'))
      out += static_cast<char>(c);
    else
      out += fmt::format("%{:02X}", c);
  }
  return out;
}

namespace {

std::string joinPairs(const std::vector<std::pair<std::string, std::string>>& fields,
                      std::string (*encode)(const std::string&)) {
  std::string out;
  for (const auto& [name, value] : fields) {
    if (!out.empty()) out += '&';
    out += encode(name) + "=" + encode(value);
  }
  return out;
}

std::string formEncodeOne(const std::string& s) {
  std::string out = uriEncode(s);
  for (auto at = out.find("%20"); at != std::string::npos; at = out.find("%20", at + 1)) out.replace(at, 3, "+");
  return out;
}

std::string queryEncodeOne(const std::string& s) { return uriEncode(s); }

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string formEncode(const std::vector<std::pair<std::string, std::string>>& fields) {
  return joinPairs(fields, formEncodeOne);
}

std::string queryString(const std::vector<std::pair<std::string, std::string>>& fields) {
  return joinPairs(fields, queryEncodeOne);
}

std::string formDecode(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '+') {
      out += ' ';
    } else if (s[i] == '%' && i + 2 < s.size() && hexDigit(s[i + 1]) >= 0 && hexDigit(s[i + 2]) >= 0) {
      out += static_cast<char>(hexDigit(s[i + 1]) * 16 + hexDigit(s[i + 2]));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

}  // namespace tarnwick::aws::http
