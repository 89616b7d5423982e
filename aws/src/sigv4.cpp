// Signature Version 4 request signing with headers.
#include "tarnwick_testlibs/aws/sigv4.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <map>
#include <vector>

#include <fmt/format.h>

#include "tarnwick_testlibs/aws/errors.h"
#include "tarnwick_testlibs/base/text.h"

namespace tarnwick::aws::sigv4 {
namespace {

using tarnwick::text::lower;

// Headers that proxies or the HTTP stack may change on the way; signing them would break.
const std::array<const char*, 11> kUnsignedHeaders = {
    "connection",        "expect",  "keep-alive", "proxy-authenticate", "proxy-authorization", "te", "trailer",
    "transfer-encoding", "upgrade", "user-agent", "x-amzn-trace-id"};

std::string hex(const unsigned char* data, size_t n) {
  std::string out;
  out.reserve(n * 2);
  for (size_t i = 0; i < n; ++i) out += fmt::format("{:02x}", data[i]);
  return out;
}

std::string hmac(const std::string& key, const std::string& data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (!HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(data.data()),
            data.size(), out, &len))
    throw ClientError("HMAC-SHA256 failed");
  return std::string(reinterpret_cast<char*>(out), len);
}

struct UrlParts {
  std::string scheme, host, path, query;
};

UrlParts splitUrl(const std::string& url) {
  UrlParts p;
  auto schemeEnd = url.find("://");
  size_t hostStart = 0;
  if (schemeEnd != std::string::npos) {
    p.scheme = lower(url.substr(0, schemeEnd));
    hostStart = schemeEnd + 3;
  }
  auto pathStart = url.find_first_of("/?#", hostStart);
  p.host = url.substr(hostStart, pathStart == std::string::npos ? std::string::npos : pathStart - hostStart);
  if (pathStart == std::string::npos) return p;
  std::string rest = url.substr(pathStart);
  rest = rest.substr(0, rest.find('#'));
  auto q = rest.find('?');
  p.path = rest.substr(0, q);
  if (q != std::string::npos) p.query = rest.substr(q + 1);
  return p;
}

// The Host header value: the default port of the scheme is left out.
std::string canonicalHost(const UrlParts& u) {
  auto colon = u.host.rfind(':');
  if (colon == std::string::npos || u.host.find(']', colon) != std::string::npos) return lower(u.host);
  std::string port = u.host.substr(colon + 1);
  if ((u.scheme == "http" && port == "80") || (u.scheme == "https" && port == "443"))
    return lower(u.host.substr(0, colon));
  return lower(u.host);
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string percentDecode(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && hexValue(s[i + 1]) >= 0 && hexValue(s[i + 2]) >= 0) {
      out += static_cast<char>(hexValue(s[i + 1]) * 16 + hexValue(s[i + 2]));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

// Resolves "." and ".." segments and drops empty ones, as the services expect.
std::string removeDotSegments(const std::string& path) {
  if (path.empty()) return "/";
  std::vector<std::string> out;
  size_t start = 0;
  while (true) {
    auto end = path.find('/', start);
    std::string seg = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (seg == "..") {
      if (!out.empty()) out.pop_back();
    } else if (seg != "." && !seg.empty()) {
      out.push_back(seg);
    }
    if (end == std::string::npos) break;
    start = end + 1;
  }
  std::string result = path.front() == '/' ? "/" : "";
  for (size_t i = 0; i < out.size(); ++i) result += (i ? "/" : "") + out[i];
  if (path.back() == '/' && !out.empty()) result += "/";
  return result;
}

std::string canonicalPath(const std::string& rawPath, bool s3) {
  if (s3) return rawPath.empty() ? "/" : rawPath;
  // Every other service expects the already-encoded path to be encoded once more.
  return http::uriEncode(removeDotSegments(rawPath), true);
}

std::string canonicalQuery(const std::string& query) {
  std::vector<std::pair<std::string, std::string>> pairs;
  size_t start = 0;
  while (start <= query.size() && !query.empty()) {
    auto end = query.find('&', start);
    std::string pair = query.substr(start, end == std::string::npos ? std::string::npos : end - start);
    auto eq = pair.find('=');
    std::string key = pair.substr(0, eq);
    std::string value = eq == std::string::npos ? "" : pair.substr(eq + 1);
    pairs.emplace_back(http::uriEncode(percentDecode(key)), http::uriEncode(percentDecode(value)));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  std::sort(pairs.begin(), pairs.end());
  std::string out;
  for (const auto& [k, v] : pairs) {
    if (!out.empty()) out += '&';
    out += k + "=" + v;
  }
  return out;
}

std::string collapseWhitespace(const std::string& v) {
  std::string out;
  bool pendingSpace = false;
  for (char c : v) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
      pendingSpace = !out.empty();
    } else {
      if (pendingSpace) out += ' ';
      pendingSpace = false;
      out += c;
    }
  }
  return out;
}

bool signable(const std::string& lowerName) {
  return std::none_of(kUnsignedHeaders.begin(), kUnsignedHeaders.end(), [&](const char* n) { return lowerName == n; });
}

// Signed headers by lower-case name; repeated headers joined with commas.
std::map<std::string, std::string> headersToSign(const http::Request& request) {
  std::map<std::string, std::string> out;
  for (const auto& [name, value] : request.headers) {
    std::string n = lower(name);
    if (!signable(n)) continue;
    std::string v = collapseWhitespace(value);
    auto it = out.find(n);
    if (it == out.end())
      out.emplace(n, v);
    else
      it->second += "," + v;
  }
  if (!out.count("host")) out.emplace("host", canonicalHost(splitUrl(request.url)));
  return out;
}

std::string signedHeaderList(const std::map<std::string, std::string>& headers) {
  std::string out;
  for (const auto& [name, value] : headers) {
    if (!out.empty()) out += ';';
    out += name;
  }
  return out;
}

void removeHeader(http::Request& request, const std::string& lowerName) {
  std::erase_if(request.headers, [&](const auto& h) { return lower(h.first) == lowerName; });
}

std::string amzDate(std::chrono::system_clock::time_point when) {
  std::time_t t = std::chrono::system_clock::to_time_t(when);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y%m%dT%H%M%SZ", &tm);
  return buf;
}

std::string sha256OfFile(std::FILE* f, long long size) {
  const long start = std::ftell(f);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  if (!ctx || start < 0 || EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) != 1) {
    EVP_MD_CTX_free(ctx);
    throw ClientError("SHA-256 of the request body failed");
  }
  std::vector<char> buf(1 << 16);
  for (long long left = size; left > 0;) {
    const size_t n = std::fread(buf.data(), 1, static_cast<size_t>(std::min<long long>(left, buf.size())), f);
    if (n == 0) break;
    EVP_DigestUpdate(ctx, buf.data(), n);
    left -= static_cast<long long>(n);
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_DigestFinal_ex(ctx, digest, &len);
  EVP_MD_CTX_free(ctx);
  if (std::fseek(f, start, SEEK_SET) != 0) throw ClientError("cannot rewind the request body");
  return hex(digest, len);
}

bool hasChecksumHeader(const http::Request& request) {
  return std::any_of(request.headers.begin(), request.headers.end(), [](const auto& h) {
    const std::string n = lower(h.first);
    return n == "content-md5" || n.rfind("x-amz-checksum-", 0) == 0;
  });
}

// S3 streams may go unsigned only where TLS and a checksum already protect them, as the SDKs
// decide; everything else carries the hash of its body.
std::string payloadHashOf(const http::Request& request, const Options& opts) {
  if (!request.uploadFrom) return sha256Hex(request.body);
  if (opts.s3 && splitUrl(request.url).scheme == "https" && hasChecksumHeader(request)) return "UNSIGNED-PAYLOAD";
  return sha256OfFile(request.uploadFrom, request.uploadSize);
}

}  // namespace

std::string sha256Hex(const std::string& data) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest);
  return hex(digest, sizeof digest);
}

std::string canonicalRequest(const http::Request& request, const Options& opts, const std::string& payloadHash) {
  UrlParts url = splitUrl(request.url);
  auto headers = headersToSign(request);
  std::string canonicalHeaders;
  for (const auto& [name, value] : headers) canonicalHeaders += name + ":" + value + "\n";
  return fmt::format("{}\n{}\n{}\n{}\n{}\n{}", request.method, canonicalPath(url.path, opts.s3),
                     canonicalQuery(url.query), canonicalHeaders, signedHeaderList(headers), payloadHash);
}

void sign(http::Request& request, const Credentials& creds, const Options& opts,
          std::chrono::system_clock::time_point when) {
  for (const char* stale : {"authorization", "x-amz-date", "x-amz-security-token", "x-amz-content-sha256"})
    removeHeader(request, stale);
  // Anonymous calls (web identity, SSO portal) carry their own proof and no signature.
  if (creds.accessKeyId.empty()) return;

  std::string date = amzDate(when);
  std::string payloadHash = opts.payloadHash.empty() ? payloadHashOf(request, opts) : opts.payloadHash;

  if (std::none_of(request.headers.begin(), request.headers.end(),
                   [](const auto& h) { return lower(h.first) == "host"; }))
    request.headers.emplace_back("Host", canonicalHost(splitUrl(request.url)));
  request.headers.emplace_back("X-Amz-Date", date);
  if (!creds.sessionToken.empty()) request.headers.emplace_back("X-Amz-Security-Token", creds.sessionToken);
  if (opts.s3) request.headers.emplace_back("X-Amz-Content-SHA256", payloadHash);

  std::string scope = fmt::format("{}/{}/{}/aws4_request", date.substr(0, 8), opts.region, opts.service);
  std::string canonical = canonicalRequest(request, opts, payloadHash);
  std::string signedHeaders = signedHeaderList(headersToSign(request));
  std::string toSign = fmt::format("AWS4-HMAC-SHA256\n{}\n{}\n{}", date, scope, sha256Hex(canonical));

  std::string key = hmac("AWS4" + creds.secretAccessKey, date.substr(0, 8));
  key = hmac(key, opts.region);
  key = hmac(key, opts.service);
  key = hmac(key, "aws4_request");
  std::string mac = hmac(key, toSign);
  std::string signature = hex(reinterpret_cast<const unsigned char*>(mac.data()), mac.size());

  request.headers.emplace_back("Authorization",
                               fmt::format("AWS4-HMAC-SHA256 Credential={}/{}, SignedHeaders={}, Signature={}",
                                           creds.accessKeyId, scope, signedHeaders, signature));
}

}  // namespace tarnwick::aws::sigv4
