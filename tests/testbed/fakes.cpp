// Recording fakes of the service clients.
#include "testbed/fakes.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testbed {

tarnwick::aws::ServiceError serviceError(const std::string& code, const std::string& message, long httpStatus,
                                         const std::string& operation) {
  return tarnwick::aws::ServiceError(code, message, httpStatus, "fake-request-id", operation);
}

void CallLog::push(const std::string& op, Answer a) {
  std::lock_guard lock(mu_);
  queued_[op].push_back(std::move(a));
}

void CallLog::answer(const std::string& op, Doc doc) { push(op, std::move(doc)); }

void CallLog::respond(const std::string& op, Responder fn) { push(op, std::move(fn)); }

void CallLog::always(const std::string& op, Responder fn) {
  std::lock_guard lock(mu_);
  standing_[op] = std::move(fn);
}

std::vector<Call> CallLog::calls() const {
  std::lock_guard lock(mu_);
  return calls_;
}

std::vector<Call> CallLog::calls(const std::string& op) const {
  std::lock_guard lock(mu_);
  std::vector<Call> out;
  for (const auto& c : calls_)
    if (c.operation == op) out.push_back(c);
  return out;
}

std::vector<std::string> CallLog::operations() const {
  std::lock_guard lock(mu_);
  std::vector<std::string> out;
  for (const auto& c : calls_) out.push_back(c.operation);
  return out;
}

int CallLog::count(const std::string& op) const { return static_cast<int>(calls(op).size()); }

Doc CallLog::params(const std::string& op, int n) const {
  auto matching = calls(op);
  int size = static_cast<int>(matching.size());
  int index = n < 0 ? size + n : n;
  if (index < 0 || index >= size)
    throw std::out_of_range("no call " + std::to_string(n) + " of " + op + " (" + std::to_string(size) + " made)");
  return matching[index].params;
}

void CallLog::clearCalls() {
  std::lock_guard lock(mu_);
  calls_.clear();
}

Doc CallLog::dispatch(const std::string& op, const Doc& params, const Responder& fallback) {
  Answer chosen;
  {
    std::lock_guard lock(mu_);
    calls_.push_back({op, params});
    auto q = queued_.find(op);
    if (q != queued_.end() && !q->second.empty()) {
      chosen = std::move(q->second.front());
      q->second.erase(q->second.begin());
    } else if (auto s = standing_.find(op); s != standing_.end()) {
      chosen = s->second;
    } else {
      chosen = fallback;
    }
  }
  // Answered outside the lock: a responder may itself call the fake.
  if (auto* doc = std::get_if<Doc>(&chosen)) return *doc;
  if (auto* err = std::get_if<std::exception_ptr>(&chosen)) std::rethrow_exception(*err);
  return std::get<Responder>(chosen)(params);
}

// ---- FakeS3 ----

namespace {
constexpr int kPageSize = 1000;
const std::string kTokenPrefix = "fake-token:";

std::string readLocalFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw tarnwick::aws::ClientError("cannot read " + path);
  std::ostringstream buf;
  buf << in.rdbuf();
  return buf.str();
}
}  // namespace

FakeS3::Bucket& FakeS3::bucketLocked(const std::string& bucket, const std::string& operation) {
  auto it = buckets_.find(bucket);
  if (it == buckets_.end()) throw serviceError("NoSuchBucket", "The specified bucket does not exist", 404, operation);
  return it->second;
}

Doc FakeS3::listLocked(const Doc& params) {
  std::lock_guard lock(storeMu_);
  auto& bucket = bucketLocked(params.value("Bucket", ""), "ListObjectsV2");
  std::string prefix = params.value("Prefix", "");
  int maxKeys = std::min(params.value("MaxKeys", kPageSize), kPageSize);
  std::string after = params.value("StartAfter", "");
  if (params.contains("ContinuationToken")) {
    std::string token = params["ContinuationToken"].get<std::string>();
    if (token.rfind(kTokenPrefix, 0) != 0)
      throw serviceError("InvalidArgument", "The continuation token provided is incorrect", 400, "ListObjectsV2");
    after = token.substr(kTokenPrefix.size());
  }
  Doc out = Doc::object();
  out["IsTruncated"] = false;
  out["Name"] = params.value("Bucket", "");
  out["Prefix"] = prefix;
  out["MaxKeys"] = maxKeys;
  Doc contents = Doc::array();
  auto it = after.empty() ? bucket.begin() : bucket.upper_bound(after);
  for (; it != bucket.end(); ++it) {
    if (it->first.rfind(prefix, 0) != 0) continue;
    if (static_cast<int>(contents.size()) == maxKeys) {
      out["IsTruncated"] = true;
      out["NextContinuationToken"] = kTokenPrefix + contents.back()["Key"].get<std::string>();
      break;
    }
    contents.push_back({{"Key", it->first},
                        {"LastModified", it->second.lastModified},
                        {"ETag", "\"fake\""},
                        {"Size", it->second.data.size()},
                        {"StorageClass", "STANDARD"}});
  }
  out["KeyCount"] = contents.size();
  // The service leaves Contents out of an empty page.
  if (!contents.empty()) out["Contents"] = std::move(contents);
  return out;
}

Doc FakeS3::list_objects_v2(const Doc& params) {
  return dispatch("list_objects_v2", params, [this](const Doc& p) { return listLocked(p); });
}

Doc FakeS3::delete_object(const Doc& params) {
  return dispatch("delete_object", params, [this](const Doc& p) {
    std::lock_guard lock(storeMu_);
    bucketLocked(p.value("Bucket", ""), "DeleteObject").erase(p.value("Key", ""));
    return Doc::object();
  });
}

void FakeS3::upload_file(const std::string& path, const std::string& bucket, const std::string& key) {
  Doc params = {{"Filename", path}, {"Bucket", bucket}, {"Key", key}};
  dispatch("upload_file", params, [&](const Doc&) {
    std::string data = readLocalFile(path);
    std::lock_guard lock(storeMu_);
    bucketLocked(bucket, "PutObject")[key] = Object{std::move(data), "2024-01-08T12:00:00.000Z"};
    return Doc::object();
  });
}

void FakeS3::download_file(const std::string& bucket, const std::string& key, const std::string& path) {
  Doc params = {{"Bucket", bucket}, {"Key", key}, {"Filename", path}};
  dispatch("download_file", params, [&](const Doc&) {
    std::string data;
    {
      std::lock_guard lock(storeMu_);
      auto& b = bucketLocked(bucket, "HeadObject");
      auto it = b.find(key);
      if (it == b.end()) throw serviceError("404", "Not Found", 404, "HeadObject");
      data = it->second.data;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw tarnwick::aws::ClientError("cannot write " + path);
    out << data;
    return Doc::object();
  });
}

void FakeS3::createBucket(const std::string& bucket) {
  std::lock_guard lock(storeMu_);
  buckets_[bucket];
}

void FakeS3::put(const std::string& bucket, const std::string& key, std::string data, std::string lastModified) {
  std::lock_guard lock(storeMu_);
  buckets_[bucket][key] = Object{std::move(data), std::move(lastModified)};
}

bool FakeS3::has(const std::string& bucket, const std::string& key) const {
  std::lock_guard lock(storeMu_);
  auto b = buckets_.find(bucket);
  return b != buckets_.end() && b->second.count(key) > 0;
}

std::string FakeS3::get(const std::string& bucket, const std::string& key) const {
  std::lock_guard lock(storeMu_);
  return buckets_.at(bucket).at(key).data;
}

std::vector<std::string> FakeS3::keys(const std::string& bucket) const {
  std::lock_guard lock(storeMu_);
  std::vector<std::string> out;
  auto b = buckets_.find(bucket);
  if (b != buckets_.end())
    for (const auto& [k, _] : b->second) out.push_back(k);
  return out;
}

}  // namespace testbed
