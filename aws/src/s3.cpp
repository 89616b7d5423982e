// S3 over REST-XML: listing, deletion and the managed file transfers.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>

#include <fmt/format.h>

#include "aws/errors.h"
#include "clients.h"
#include "model.h"
#include "protocol.h"
#include "transport.h"

namespace aws::detail {
namespace {

constexpr long long kMiB = 1024 * 1024;
constexpr long long kMultipartThreshold = 8 * kMiB;
constexpr long long kMinPartSize = 8 * kMiB;
constexpr long long kMaxParts = 10000;

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
long long partSizeFor(long long fileSize) {
  return std::max(kMinPartSize, (fileSize + kMaxParts - 1) / kMaxParts);
}

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
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

// A temporary file beside the target, removed unless it was renamed onto the target.
class TempFile {
 public:
  explicit TempFile(const std::string& target) {
    std::random_device rd;
    path_ = fmt::format("{}.{:08x}", target, rd());
  }
  ~TempFile() {
    if (!kept_) std::remove(path_.c_str());
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::string& path() const { return path_; }
  void renameTo(const std::string& target) {
    if (std::rename(path_.c_str(), target.c_str()) != 0)
      throw ClientError(fmt::format("Cannot rename {} to {}: {}", path_, target, std::strerror(errno)));
    kept_ = true;
  }

 private:
  std::string path_;
  bool kept_ = false;
};

class RestS3Client : public S3Client {
 public:
  RestS3Client(const std::string& region, std::shared_ptr<CredentialsProvider> creds)
      : model_(serviceModel("s3")),
        endpoint_(resolveEndpoint("S3", region)),
        pathStyle_(endpointOverridden("S3")),
        transport_("s3", region, std::move(creds)) {}

  Doc list_objects_v2(const Doc& params) override { return modelCall("ListObjectsV2", params); }
  Doc delete_object(const Doc& params) override { return modelCall("DeleteObject", params); }

  void upload_file(const std::string& path, const std::string& bucket, const std::string& key) override {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) throw ClientError(fmt::format("Cannot open {}: {}", path, std::strerror(errno)));
    File f = openFile(path, "rb");
    if (st.st_size <= kMultipartThreshold)
      putObject(bucket, key, readChunk(f.get(), st.st_size, path));
    else
      multipartUpload(f.get(), st.st_size, path, bucket, key);
  }

  void download_file(const std::string& bucket, const std::string& key, const std::string& path) override {
    TempFile tmp(path);
    http::Response r;
    {
      File f = openFile(tmp.path(), "wb");
      http::Request req = request("GET", bucket, key, {});
      req.downloadTo = f.get();
      req.totalTimeoutMs = 0;
      std::FILE* raw = f.get();
      r = transport_.send(std::move(req), errorCodeOf, true, [raw] {
        std::fflush(raw);
        if (::ftruncate(::fileno(raw), 0) != 0) throw ClientError("Cannot truncate the download file");
        std::rewind(raw);
      });
      if (r.status < 200 || r.status >= 300) throwServiceError(r, "GetObject");
      if (std::fflush(raw) != 0 || std::ferror(raw)) throw ClientError(fmt::format("Cannot write {}", tmp.path()));
    }
    tmp.renameTo(path);
  }

 private:
  std::string objectPath(const std::string& bucket, const std::string& key) const {
    std::string p = pathStyle_ || !dnsCompatible(bucket) ? "/" + http::uriEncode(bucket) : "";
    if (!key.empty()) p += "/" + http::uriEncode(key, true);
    return p.empty() ? "/" : p;
  }

  std::string baseUrl(const std::string& bucket) const {
    if (pathStyle_ || !dnsCompatible(bucket)) return endpoint_;
    const auto scheme = endpoint_.find("://");
    return endpoint_.substr(0, scheme + 3) + bucket + "." + endpoint_.substr(scheme + 3);
  }

  http::Request request(const std::string& method, const std::string& bucket, const std::string& key,
                        const Fields& query) const {
    http::Request req;
    req.method = method;
    req.url = baseUrl(bucket) + objectPath(bucket, key);
    if (!query.empty()) req.url += "?" + http::formEncode(query);
    return req;
  }

  http::Response send(http::Request req, const std::string& operation) {
    http::Response r = transport_.send(std::move(req), errorCodeOf, true);
    if (r.status < 200 || r.status >= 300) throwServiceError(r, operation);
    return r;
  }

  // ListObjectsV2 and DeleteObject, laid out on the wire by their model's member locations.
  Doc modelCall(const std::string& operation, const Doc& params) {
    const Operation& op = model_.operation(operation);
    validate(op.input, params);
    std::string bucket, key;
    Fields query = staticQuery(op.requestUri);
    http::Headers headers;
    for (const auto& [name, value] : params.items()) {
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
    const http::Response r = send(std::move(req), op.name);
    Doc out = op.output ? parseXmlBody(*op.output, r.body, op.name) : Doc::object();
    if (op.output) addHeaderMembers(*op.output, r, out);
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
      std::string lower = m.wireName();
      std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
      const std::string v = r.header(lower);
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
    send(std::move(req), "PutObject");
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
    const http::Response r = send(request("POST", bucket, key, {{"uploads", ""}}), op.name);
    const Doc out = parseXmlBody(*op.output, r.body, op.name);
    if (!out.contains("UploadId")) throw ClientError("CreateMultipartUpload answered without an UploadId");
    return out["UploadId"].get<std::string>();
  }

  std::string uploadPart(const std::string& bucket, const std::string& key, const std::string& uploadId,
                         int number, std::string body) {
    http::Request req = request("PUT", bucket, key, {{"partNumber", std::to_string(number)}, {"uploadId", uploadId}});
    req.body = std::move(body);
    req.totalTimeoutMs = 0;
    const http::Response r = send(std::move(req), "UploadPart");
    const std::string etag = r.header("etag");
    if (etag.empty()) throw ClientError(fmt::format("UploadPart {} answered without an ETag", number));
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
    const http::Response r = send(std::move(req), "CompleteMultipartUpload");
    // S3 may report a failed completion inside a 200 answer.
    if (r.body.find("<Error>") != std::string::npos) throwServiceError(r, "CompleteMultipartUpload");
  }

  void abortMultipartUpload(const std::string& bucket, const std::string& key, const std::string& uploadId) noexcept {
    try {
      transport_.send(request("DELETE", bucket, key, {{"uploadId", uploadId}}), errorCodeOf, true);
    } catch (...) {
      // The upload already failed; its own error is the one worth reporting.
    }
  }

  const ServiceModel& model_;
  std::string endpoint_;
  bool pathStyle_;
  Transport transport_;
};

}  // namespace

std::shared_ptr<S3Client> makeS3(const std::string& region, std::shared_ptr<CredentialsProvider> creds) {
  return std::make_shared<RestS3Client>(region, std::move(creds));
}

}  // namespace aws::detail
