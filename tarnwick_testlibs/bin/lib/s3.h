// Mirror of local backup folders in a bucket: listings, deletions, uploads and downloads under
// "backups/<vpc>/", and the per-VPC backup command. Changes are skipped while Globals::dry_run is on.
#pragma once
#include <cstddef>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tarnwick_testlibs/aws/paginator.h"
#include "tarnwick_testlibs/aws/services.h"

namespace tarnwick::s3 {

inline constexpr const char* kLogger = "tarnwick_testlibs.bin.lib.s3";

// (object key, last-modified time as the service reports it)
using ObjectInfo = std::pair<std::string, std::string>;

// A single-pass, lazily paged listing: a page is requested only when the consumer has used up
// the previous one, so a consumer may delete what it has received while the listing goes on.
class ObjectListing {
 public:
  class Iterator {
   public:
    using value_type = ObjectInfo;
    using difference_type = std::ptrdiff_t;
    using iterator_category = std::input_iterator_tag;
    using reference = const ObjectInfo&;
    using pointer = const ObjectInfo*;

    Iterator() = default;
    reference operator*() const;
    pointer operator->() const { return &**this; }
    Iterator& operator++();
    void operator++(int) { ++*this; }
    bool operator==(std::default_sentinel_t) const;

   private:
    friend class ObjectListing;
    explicit Iterator(ObjectListing* owner) : owner_(owner) {}
    ObjectListing* owner_ = nullptr;
  };

  ObjectListing(aws::S3Client* s3_client, std::optional<std::string> bucket, std::string prefix, std::string contains);
  // Starts the listing; call once.
  Iterator begin();
  std::default_sentinel_t end() const { return {}; }

 private:
  bool advance();
  void fetchPage();

  aws::S3Client* client_;
  std::optional<std::string> bucket_;
  std::string prefix_;
  std::string contains_;
  std::vector<ObjectInfo> page_;
  std::size_t next_ = 0;
  std::optional<aws::Paginator> pages_;
  bool done_ = false;
  ObjectInfo current_;
};

// Objects under `prefix` whose key contains `contains`, in the service's order. An absent client
// yields nothing (with a WARNING when the listing starts).
ObjectListing listAllFiles(aws::S3Client* s3_client, const std::optional<std::string>& bucket,
                           const std::string& prefix = "", const std::string& contains = "");

// Deletes every object under `folder_key` while listing it (an empty prefix empties the bucket).
void deleteFolder(aws::S3Client* s3_client, const std::optional<std::string>& s3_bucket, const std::string& folder_key);

// Stores the folder backupdir/vpc_id, walked top-down, under "backups/<vpc_id>/".
void uploadAllFiles(aws::S3Client* s3_client, const std::string& backupdir, const std::string& vpc_id,
                    const std::optional<std::string>& s3_bucket);

// Stores the one file backupdir/vpc_id/filename.
void uploadFile(aws::S3Client* s3_client, const std::string& backupdir, const std::string& vpc_id,
                const std::string& filename, const std::optional<std::string>& s3_bucket);

// Writes the object `key` to dest/<key without prefix>. Keys that would land outside `dest` are
// skipped with an alert; a key ending in "/" only creates its folder.
void downloadBucketObj(aws::S3Client* s3_client, const std::string& bucket, const std::string& dest,
                       const std::string& prefix, const std::string& key);

// Restores "backups/<vpc_id>/" into target_location/vpc_id, without ".log", ".tfstate" and
// ".backup" objects.
void downloadAllFiles(aws::S3Client* s3_client, const std::optional<std::string>& s3_bucket, const std::string& vpc_id,
                      const std::string& target_location);

// What the transfers need for one VPC, bound once.
class S3BackupCmd {
 public:
  S3BackupCmd(aws::S3Client* s3_client, std::string backupdir, std::optional<std::string> s3_bucket,
              std::optional<std::string> vpc_id = std::nullopt);

  void upload() const;
  void download() const;
  void uploadAFile(const std::string& filename) const;

  aws::S3Client* s3_client() const { return s3_client_; }
  const std::string& backupdir() const { return backupdir_; }
  const std::optional<std::string>& s3_bucket() const { return s3_bucket_; }
  const std::optional<std::string>& vpc_id() const { return vpc_id_; }

 private:
  aws::S3Client* s3_client_;
  std::string backupdir_;
  std::optional<std::string> s3_bucket_;
  std::optional<std::string> vpc_id_;
};

}  // namespace tarnwick::s3
