// S3 over REST-XML: listing, deletion and the managed file transfers, each sent to the region
// its bucket lives in.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>

#include <fmt/format.h>
#include <pugixml.hpp>

#include "clients.h"
#include "connection.h"
#include "endpoints.h"
#include "model.h"
#include "protocol.h"
#include "retry_strategy.h"
#include "tarnwick_testlibs/aws/errors.h"
#include "tarnwick_testlibs/base/files.h"
#include "tarnwick_testlibs/base/text.h"
#include "transport.h"

namespace tarnwick::aws::detail {
namespace {

constexpr long long kMiB = 1024 * 1024;
constexpr long long kMultipartThreshold = 8 * kMiB;
constexpr long long kMinPartSize = 8 * kMiB;
constexpr long long kMaxParts = 10000;
// A transfer that moves nothing for this long has stalled (the SDKs' default read time-out).
constexpr long kInactivitySeconds = 60;

struct FileCloser {
  void operator()(std::FILE* f) const {
    if (f) std::fclose(f);
  }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

File openFile(const std::string& path, const char* mode) {
  File f(std::fopen(path.c_str(), mode));
  if (!f) throw ClientError(fmt::format("Cannot open {}: {}", path, std::strerror(errno)));
  return f;
}

std::string readChunk(std::FILE* f, long long size, const std::string& path) {
  std::string buf(static_cast<size_t>(size), '\0');
  if (size > 0 && std::fread(buf.data(), 1, buf.size(), f) != buf.size())
    throw ClientError(fmt::format("Cannot read {}", path));
  return buf;
}

// The part size that keeps a file within the part limit and every part at least 8 MiB.
long long partSizeFor(long long fileSize) { return std::max(kMinPartSize, (fileSize + kMaxParts - 1) / kMaxParts); }

bool dnsCompatible(const std::string& bucket) {
  if (bucket.size() < 3 || bucket.size() > 63) return false;
  for (char c : bucket)
    if (!(std::islower(static_cast<unsigned char>(c)) || std::isdigit(static_cast<unsigned char>(c)) || c == '-'))
      return false;
  return true;
}

std::string xmlEscape(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// Where buckets live, learnt from S3's answers and kept for the process, so that every client
// signs for (and, without an endpoint override, goes to) a bucket's own region from then on.
class BucketRegions {
 public:
  std::optional<std::string> find(const std::string& bucket) {
    std::lock_guard<std::mutex> g(lock_);
    auto it = regions_.find(bucket);
    return it == regions_.end() ? std::nullopt : std::optional<std::string>(it->second);
  }
  void remember(const std::string& bucket, const std::string& region) {
    std::lock_guard<std::mutex> g(lock_);
    regions_[bucket] = region;
  }

 private:
  std::mutex lock_;
  std::map<std::string, std::string> regions_;
};

BucketRegions& bucketRegions() {
  static BucketRegions regions;
  return regions;
}

// A region name goes into host names, so only a plain one is taken from an answer.
bool plainRegionName(const std::string& region) {
  if (region.empty() || region.size() > 63 || region.front() == '-' || region.back() == '-') return false;
  return std::all_of(region.begin(), region.end(), [](unsigned char c) { return std::isalnum(c) || c == '-'; });
}

// The <Region> of an S3 error body ("" when there is none).
std::string errorBodyRegion(const std::string& body) {
  pugi::xml_document doc;
  if (!doc.load_buffer(body.data(), body.size())) return "";
  return doc.child("Error").child_value("Region");
}

// "scheme://host[:port]" of an absolute URL; "" when it is not one.
std::string originOf(const std::string& url) {
  const auto scheme = url.find("://");
  if (scheme == std::string::npos || scheme == 0) return "";
  const auto end = url.find_first_of("/?#", scheme + 3);
  return end == scheme + 3 ? "" : url.substr(0, end);
}

// Whether an answer says that the request went to a region other than the bucket's, as the SDKs
// read S3's answers: a redirect, PermanentRedirect, AuthorizationHeaderMalformed naming a Region.
bool wrongRegionAnswer(const http::Response& r) {
  if (r.status == 301 || r.status == 302 || r.status == 307) return true;
  const std::string code = errorCodeOf(r);
  return code == "PermanentRedirect" || code == "IllegalLocationConstraintException" ||
         (code == "AuthorizationHeaderMalformed" && !errorBodyRegion(r.body).empty());
}

// ListObjectsV2 asks for url-encoded names (so that any key survives XML), which are decoded
// here as the SDKs decode them.
void decodeListing(Doc& out) {
  for (const char* member : {"Delimiter", "Prefix", "StartAfter"})
    if (out.contains(member) && out[member].is_string()) out[member] = http::formDecode(out[member].get<std::string>());
  for (const auto& [list, member] : {std::pair{"Contents", "Key"}, std::pair{"CommonPrefixes", "Prefix"}})
    if (out.contains(list))
      for (auto& item : out[list])
        if (item.contains(member)) item[member] = http::formDecode(item[member].get<std::string>());
}

class RestS3Client : public S3Client {
 public:
  RestS3Client(const std::string& region, std::shared_ptr<CredentialsProvider> creds,
               const std::optional<std::string>& profile)
      : model_(serviceModel("s3")),
        region_(region),
        profile_(profile),
        pathStyle_(endpointOverridden("S3", profile)),
        creds_(std::move(creds)),
        retry_(RetryConfig::resolve(profile)),
        connection_(ConnectionSettings::resolve(profile)) {
    regional(region_);  // a region without an endpoint fails here, when the client is opened
  }

  Doc list_objects_v2(const Doc& params) override { return modelCall("ListObjectsV2", params); }
  Doc delete_object(const Doc& params) override { return modelCall("DeleteObject", params); }

  void upload_file(const std::string& path, const std::string& bucket, const std::string& key) override {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
      throw ClientError(fmt::format("Cannot open {}: {}", path, std::strerror(errno)));
    File f = openFile(path, "rb");
    if (st.st_size <= kMultipartThreshold)
      putObject(bucket, key, readChunk(f.get(), st.st_size, path));
    else
      multipartUpload(f.get(), st.st_size, path, bucket, key);
  }

  void download_file(const std::string& bucket, const std::string& key, const std::string& path) override {
    try {
      tarnwick::files::TempFile tmp(path);
      http::Request req = request("GET", bucket, key, {});
      req.downloadTo = tmp.stream();
      req.totalTimeoutMs = 0;
      const http::Response r = exchange(bucket, req, [&tmp] { tmp.truncate(); });
      if (r.status < 200 || r.status >= 300) throwServiceError(r, "GetObject");
      tmp.commit(tarnwick::files::modeForReplacing(path));
    } catch (const std::system_error& e) {
      throw ClientError(e.what(), FailureKind::kTransfer);
    }
  }

 private:
  std::string objectPath(const std::string& bucket, const std::string& key) const {
    std::string p = pathStyle_ || !dnsCompatible(bucket) ? "/" + http::uriEncode(bucket) : "";
    if (!key.empty()) p += "/" + http::uriEncode(key, true);
    return p.empty() ? "/" : p;
  }

  std::string baseUrl(const std::string& endpoint, const std::string& bucket) const {
    if (pathStyle_ || !dnsCompatible(bucket)) return endpoint;
    const auto scheme = endpoint.find("://");
    return endpoint.substr(0, scheme + 3) + bucket + "." + endpoint.substr(scheme + 3);
  }

  // A request whose url is still relative (path and query): exchange() puts the bucket's
  // region's endpoint in front.
  http::Request request(const std::string& method, const std::string& bucket, const std::string& key,
                        const Fields& query) const {
    http::Request req;
    req.method = method;
    req.url = objectPath(bucket, key);
    if (!query.empty()) req.url += "?" + http::queryString(query);
    req.pathAsIs = true;
    req.inactivityTimeoutSec = kInactivitySeconds;
    return req;
  }

  struct Regional {
    std::string endpoint;
    Transport transport;
  };

  Regional& regional(const std::string& region) {
    std::lock_guard<std::mutex> g(regionalLock_);
    auto& slot = regional_[region];
    if (!slot)
      slot = std::make_unique<Regional>(
          Regional{resolveEndpoint("S3", region, profile_), Transport("s3", region, creds_, retry_, connection_)});
    return *slot;
  }

  http::Response sendIn(const std::string& region, const std::string& bucket, http::Request req,
                        const std::function<void()>& rewind) {
    Regional& r = regional(region);
    req.url = baseUrl(r.endpoint, bucket) + req.url;
    return r.transport.send(std::move(req), errorCodeOf, true, rewind);
  }

  // The request as sendIn would address it, at another scheme, host and port.
  http::Response sendAt(const std::string& region, const std::string& origin, const std::string& bucket,
                        http::Request req, const std::function<void()>& rewind) {
    Regional& r = regional(region);
    const std::string url = baseUrl(r.endpoint, bucket) + req.url;
    req.url = origin + url.substr(originOf(url).size());
    return r.transport.send(std::move(req), errorCodeOf, true, rewind);
  }

  // Sends to the bucket's region as far as it is known. An answer saying the bucket lives
  // elsewhere teaches its region (from the x-amz-bucket-region header, the error's <Region>, or
  // else a HeadBucket), which is remembered; the request is then signed again for that region
  // and sent once more. With an endpoint override only the signing region changes.
  http::Response exchange(const std::string& bucket, const http::Request& req,
                          const std::function<void()>& rewind = {}) {
    const std::string region = bucketRegions().find(bucket).value_or(region_);
    http::Response r = sendIn(region, bucket, req, rewind);
    // A bucket created moments ago is not yet known to every host: S3 points at one that knows
    // it, and the request goes there once.
    if (const std::string origin = originOf(r.header("location")); r.status == 307 && !origin.empty()) {
      if (rewind) rewind();
      return sendAt(region, origin, bucket, req, rewind);
    }
    if (bucket.empty() || !wrongRegionAnswer(r)) return r;
    std::string actual = r.header("x-amz-bucket-region");
    if (actual.empty()) actual = errorBodyRegion(r.body);
    if (actual.empty())
      actual = sendIn(region, bucket, request("HEAD", bucket, "", {}), {}).header("x-amz-bucket-region");
    if (!plainRegionName(actual) || actual == region) return r;
    bucketRegions().remember(bucket, actual);
    if (rewind) rewind();
    return sendIn(actual, bucket, req, rewind);
  }

  http::Response send(const std::string& bucket, const http::Request& req, const std::string& operation) {
    http::Response r = exchange(bucket, req);
    if (r.status < 200 || r.status >= 300) throwServiceError(r, operation);
    return r;
  }

  // ListObjectsV2 and DeleteObject, laid out on the wire by their model's member locations.
  Doc modelCall(const std::string& operation, const Doc& params) {
    const Operation& op = model_.operation(operation);
    validate(op.input, params);
    const bool urlEncodedNames = op.name == "ListObjectsV2" && !params.contains("EncodingType");
    Doc wire = params.is_null() ? Doc::object() : params;
    if (urlEncodedNames) wire["EncodingType"] = "url";
    std::string bucket, key;
    Fields query = staticQuery(op.requestUri);
    http::Headers headers;
    for (const auto& [name, value] : wire.items()) {
      const MemberRef* m = op.input->find(name);
      const std::string text = value.is_string() ? value.get<std::string>() : value.dump();
      if (m->location == "uri")
        (m->wireName() == "Bucket" ? bucket : key) = text;
      else if (m->location == "querystring")
        query.emplace_back(m->wireName(), text);
      else if (m->location == "header")
        headers.emplace_back(m->wireName(), text);
    }
    http::Request req = request(op.method, bucket, key, query);
    req.headers = std::move(headers);
    const http::Response r = send(bucket, req, op.name);
    Doc out = op.output ? parseXmlBody(*op.output, r.body, op.name) : Doc::object();
    if (op.output) addHeaderMembers(*op.output, r, out);
    if (urlEncodedNames) decodeListing(out);
    return out;
  }

  static Fields staticQuery(const std::string& requestUri) {
    Fields out;
    const auto q = requestUri.find('?');
    if (q == std::string::npos) return out;
    const std::string rest = requestUri.substr(q + 1);
    const auto eq = rest.find('=');
    out.emplace_back(rest.substr(0, eq), eq == std::string::npos ? "" : rest.substr(eq + 1));
    return out;
  }

  static void addHeaderMembers(const Shape& output, const http::Response& r, Doc& out) {
    for (const auto& m : output.members) {
      if (m.location != "header") continue;
      const std::string v = r.header(tarnwick::text::lower(m.wireName()));
      if (v.empty()) continue;
      if (m.shape->type == "boolean")
        out[m.name] = v == "true";
      else
        out[m.name] = v;
    }
  }

  void putObject(const std::string& bucket, const std::string& key, std::string body) {
    http::Request req = request("PUT", bucket, key, {});
    req.body = std::move(body);
    req.totalTimeoutMs = 0;
    send(bucket, req, "PutObject");
  }

  void multipartUpload(std::FILE* f, long long size, const std::string& path, const std::string& bucket,
                       const std::string& key) {
    const std::string uploadId = createMultipartUpload(bucket, key);
    try {
      std::vector<std::string> etags;
      const long long partSize = partSizeFor(size);
      for (long long offset = 0; offset < size; offset += partSize)
        etags.push_back(uploadPart(bucket, key, uploadId, static_cast<int>(etags.size() + 1),
                                   readChunk(f, std::min(partSize, size - offset), path)));
      completeMultipartUpload(bucket, key, uploadId, etags);
    } catch (...) {
      abortMultipartUpload(bucket, key, uploadId);
      throw;
    }
  }

  std::string createMultipartUpload(const std::string& bucket, const std::string& key) {
    const Operation& op = model_.operation("CreateMultipartUpload");
    const http::Response r = send(bucket, request("POST", bucket, key, {{"uploads", ""}}), op.name);
    const Doc out = parseXmlBody(*op.output, r.body, op.name);
    if (!out.contains("UploadId"))
      throw ClientError("CreateMultipartUpload answered without an UploadId", FailureKind::kMalformedAnswer);
    return out["UploadId"].get<std::string>();
  }

  std::string uploadPart(const std::string& bucket, const std::string& key, const std::string& uploadId, int number,
                         std::string body) {
    http::Request req = request("PUT", bucket, key, {{"partNumber", std::to_string(number)}, {"uploadId", uploadId}});
    req.body = std::move(body);
    req.totalTimeoutMs = 0;
    const http::Response r = send(bucket, req, "UploadPart");
    const std::string etag = r.header("etag");
    if (etag.empty())
      throw ClientError(fmt::format("UploadPart {} answered without an ETag", number), FailureKind::kMalformedAnswer);
    return etag;
  }

  void completeMultipartUpload(const std::string& bucket, const std::string& key, const std::string& uploadId,
                               const std::vector<std::string>& etags) {
    std::string xml = "<CompleteMultipartUpload xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\">";
    for (size_t i = 0; i < etags.size(); ++i)
      xml += fmt::format("<Part><ETag>{}</ETag><PartNumber>{}</PartNumber></Part>", xmlEscape(etags[i]), i + 1);
    xml += "</CompleteMultipartUpload>";
    http::Request req = request("POST", bucket, key, {{"uploadId", uploadId}});
    req.body = std::move(xml);
    req.headers.emplace_back("Content-Type", "application/xml");
    send(bucket, req, "CompleteMultipartUpload");
  }

  void abortMultipartUpload(const std::string& bucket, const std::string& key, const std::string& uploadId) noexcept {
    try {
      exchange(bucket, request("DELETE", bucket, key, {{"uploadId", uploadId}}));
    } catch (...) {
      // The upload already failed; its own error is the one worth reporting.
    }
  }

  const ServiceModel& model_;
  std::string region_;
  std::optional<std::string> profile_;
  bool pathStyle_;
  std::shared_ptr<CredentialsProvider> creds_;
  RetryConfig retry_;
  ConnectionSettings connection_;
  std::mutex regionalLock_;
  std::map<std::string, std::unique_ptr<Regional>> regional_;
};

}  // namespace

std::shared_ptr<S3Client> makeS3(const std::string& region, std::shared_ptr<CredentialsProvider> creds,
                                 const std::optional<std::string>& profile) {
  return std::make_shared<RestS3Client>(region, std::move(creds), profile);
}

}  // namespace tarnwick::aws::detail
