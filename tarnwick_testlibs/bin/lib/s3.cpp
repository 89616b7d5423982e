// Bucket transfers of the local backup folders, and the per-VPC backup command.
#include "tarnwick_testlibs/bin/lib/s3.h"

#include <filesystem>
#include <string_view>
#include <system_error>

#include <nlohmann/json.hpp>

#include "tarnwick_testlibs/aws/errors.h"
#include "tarnwick_testlibs/bin/core/Globals.h"
#include "tarnwick_testlibs/bin/core/logging.h"
#include "tarnwick_testlibs/bin/lib/runkit.h"

namespace tarnwick::s3 {

namespace fs = std::filesystem;
using Doc = aws::Doc;

namespace {

logging::Logger& log() { return logging::getLogger(kLogger); }

constexpr const char* kBackupsPrefix = "backups/";
constexpr const char* kNoBucketForUpload = "  **Alert** failed to read S3 bucket name for upload";

bool excludedFromDownload(const std::string& key) {
  return key.ends_with(".log") || key.ends_with(".tfstate") || key.ends_with(".backup");
}

std::string textOf(const Doc& value) { return value.is_string() ? value.get<std::string>() : value.dump(); }

void makeFolder(const std::string& folder) {
  if (!Globals::dry_run && !fs::exists(folder)) fs::create_directories(folder);
}

// Logs and performs (unless dry run) the upload of one file of the backup folder.
void transferOne(aws::S3Client& client, const std::string& backupdir, const std::string& localPath,
                 const std::string& bucket) {
  const std::string relative = Common::remove_prefix(localPath, backupdir + "/");
  log().info("  " + localPath + " to " + bucket + "/" + kBackupsPrefix + relative);
  if (!Globals::dry_run) client.upload_file(localPath, bucket, kBackupsPrefix + relative);
}

// Top-down walk: the files of a folder before its subfolders, in listing order; links to
// folders are listed as folders but not entered; an unreadable folder yields nothing.
void walkFiles(const std::string& folder, std::vector<std::string>& files) {
  std::error_code ec;
  fs::directory_iterator it(folder, ec);
  if (ec) return;
  std::vector<std::string> subfolders;
  for (const fs::directory_iterator end; it != end; it.increment(ec)) {
    if (ec) break;
    const std::string path = folder + "/" + it->path().filename().string();
    std::error_code statEc;
    if (it->is_directory(statEc)) {
      if (!it->is_symlink(statEc)) subfolders.push_back(path);
    } else {
      files.push_back(path);
    }
  }
  for (const auto& sub : subfolders) walkFiles(sub, files);
}

// A relative object path is safe when it can only name something inside the target folder.
bool staysInside(std::string_view relative) {
  if (!relative.empty() && relative.front() == '/') return false;
  while (true) {
    const std::size_t slash = relative.find('/');
    if (relative.substr(0, slash) == "..") return false;
    if (slash == std::string_view::npos) return true;
    relative.remove_prefix(slash + 1);
  }
}

}  // namespace

// ---- listing

const ObjectInfo& ObjectListing::Iterator::operator*() const { return owner_->current_; }

ObjectListing::Iterator& ObjectListing::Iterator::operator++() {
  owner_->advance();
  return *this;
}

bool ObjectListing::Iterator::operator==(std::default_sentinel_t) const { return !owner_ || owner_->done_; }

ObjectListing::ObjectListing(aws::S3Client* s3_client, std::optional<std::string> bucket, std::string prefix,
                             std::string contains)
    : client_(s3_client), bucket_(std::move(bucket)), prefix_(std::move(prefix)), contains_(std::move(contains)) {}

ObjectListing::Iterator ObjectListing::begin() {
  if (!client_) {
    log().warning("  **Alert** failed to listAllFiles - no access to S3.");
    done_ = true;
  } else {
    advance();
  }
  return Iterator(this);
}

bool ObjectListing::advance() {
  while (!done_) {
    if (next_ < page_.size()) {
      current_ = std::move(page_[next_++]);
      return true;
    }
    fetchPage();
  }
  return false;
}

void ObjectListing::fetchPage() {
  // The service would refuse a request without a bucket; refuse it the same way, as a call failure.
  if (!bucket_) throw aws::ClientError("Parameter validation failed: missing required parameter Bucket");
  if (!pages_)
    pages_.emplace([client = client_](const Doc& request) { return client->list_objects_v2(request); },
                   Doc{{"Bucket", *bucket_}, {"Prefix", prefix_}}, aws::pagingTokensOf("ListObjectsV2"));
  Doc reply;
  if (!pages_->next(reply)) {
    done_ = true;
    return;
  }
  page_.clear();
  next_ = 0;
  if (auto contents = reply.find("Contents"); contents != reply.end() && contents->is_array()) {
    for (const auto& object : *contents) {
      const std::string key = object.value("Key", "");
      if (key.find(contains_) == std::string::npos) continue;
      auto modified = object.find("LastModified");
      page_.emplace_back(key, modified == object.end() ? std::string() : textOf(*modified));
    }
  }
}

ObjectListing listAllFiles(aws::S3Client* s3_client, const std::optional<std::string>& bucket,
                           const std::string& prefix, const std::string& contains) {
  return ObjectListing(s3_client, bucket, prefix, contains);
}

void deleteFolder(aws::S3Client* s3_client, const std::optional<std::string>& s3_bucket,
                  const std::string& folder_key) {
  for (const auto& [key, modified] : listAllFiles(s3_client, s3_bucket, folder_key)) {
    log().info("  " + key);
    if (!Globals::dry_run) s3_client->delete_object({{"Bucket", *s3_bucket}, {"Key", key}});
  }
}

// ---- uploads

void uploadAllFiles(aws::S3Client* s3_client, const std::string& backupdir, const std::string& vpc_id,
                    const std::optional<std::string>& s3_bucket) {
  if (!s3_client) return;
  const std::string vpcFolder = backupdir + "/" + vpc_id;
  log().info("- Upload " + vpcFolder + " to S3");
  if (!s3_bucket) {
    log().info(kNoBucketForUpload);
    return;
  }
  std::vector<std::string> files;
  walkFiles(vpcFolder, files);
  for (const auto& path : files) transferOne(*s3_client, backupdir, path, *s3_bucket);
}

void uploadFile(aws::S3Client* s3_client, const std::string& backupdir, const std::string& vpc_id,
                const std::string& filename, const std::optional<std::string>& s3_bucket) {
  if (!s3_client) return;
  const std::string localPath = backupdir + "/" + vpc_id + "/" + filename;
  log().info("- Upload " + localPath + " to S3");
  if (!s3_bucket) {
    log().info(kNoBucketForUpload);
    return;
  }
  transferOne(*s3_client, backupdir, localPath, *s3_bucket);
}

// ---- downloads

void downloadBucketObj(aws::S3Client* s3_client, const std::string& bucket, const std::string& dest,
                       const std::string& prefix, const std::string& key) {
  if (!s3_client) return;
  const std::string relative = key.starts_with(prefix) ? key.substr(prefix.size()) : key;
  if (!staysInside(relative)) {
    log().warning("  **Alert** skipped " + key + ": it would be written outside " + dest);
    return;
  }
  const std::size_t slash = relative.rfind('/');
  const std::string subfolder = slash == std::string::npos ? std::string() : relative.substr(0, slash);
  makeFolder(dest + "/" + subfolder);
  // A folder marker has no file name: its folder is all there is to restore.
  if (relative.empty() || relative.back() == '/') return;
  s3_client->download_file(bucket, key, dest + "/" + relative);
}

void downloadAllFiles(aws::S3Client* s3_client, const std::optional<std::string>& s3_bucket, const std::string& vpc_id,
                      const std::string& target_location) {
  if (!s3_bucket) {
    log().warning("  **Alert** failed to read S3 bucket name for download");
    return;
  }
  const std::string target = target_location + "/" + vpc_id;
  log().info("- Download S3 " + *s3_bucket + "/" + vpc_id + " to " + target);
  const std::string prefix = kBackupsPrefix + vpc_id + "/";
  makeFolder(target);
  for (const auto& [key, modified] : listAllFiles(s3_client, s3_bucket, prefix)) {
    if (excludedFromDownload(key)) continue;
    log().info("  " + key);
    if (!Globals::dry_run) downloadBucketObj(s3_client, *s3_bucket, target, prefix, key);
  }
}

// ---- backup command

S3BackupCmd::S3BackupCmd(aws::S3Client* s3_client, std::string backupdir, std::optional<std::string> s3_bucket,
                         std::optional<std::string> vpc_id)
    : s3_client_(s3_client),
      backupdir_(std::move(backupdir)),
      s3_bucket_(std::move(s3_bucket)),
      vpc_id_(std::move(vpc_id)) {}

void S3BackupCmd::upload() const { uploadAllFiles(s3_client_, backupdir_, vpc_id_.value_or(""), s3_bucket_); }

void S3BackupCmd::download() const { downloadAllFiles(s3_client_, s3_bucket_, vpc_id_.value_or(""), backupdir_); }

void S3BackupCmd::uploadAFile(const std::string& filename) const {
  uploadFile(s3_client_, backupdir_, vpc_id_.value_or(""), filename, s3_bucket_);
}

}  // namespace tarnwick::s3
