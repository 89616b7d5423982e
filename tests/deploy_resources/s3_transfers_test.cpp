// Bucket transfers against the in-memory bucket: paging, filtering, tree upload and download,
// dry run, absent client or bucket, and keys that try to leave the target folder.
#include <filesystem>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "capture.h"
#include "testbed/fakes.h"
#include "testbed/process.h"
#include "tarnwick_testlibs/bin/core/Globals.h"
#include "tarnwick_testlibs/bin/lib/s3.h"

namespace fs = std::filesystem;
using namespace tarnwick;
using deploy_resources::Captured;
using logging::INFO;
using logging::WARNING;

namespace {

const std::string kBucket = "backup-bucket";

class BucketTransfers : public ::testing::Test {
 protected:
  void SetUp() override {
    Globals::dry_run = false;
    s3.createBucket(kBucket);
  }
  void TearDown() override { Globals::dry_run = false; }

  std::vector<std::string> listed(const std::string& prefix = "", const std::string& contains = "") {
    std::vector<std::string> keys;
    for (const auto& [key, modified] : s3::listAllFiles(&s3, kBucket, prefix, contains)) keys.push_back(key);
    return keys;
  }

  testbed::FakeS3 s3;
  testbed::TempDir dir;
  Captured log{s3::kLogger};
};

TEST_F(BucketTransfers, ListingOf2500ObjectsComesInThreePagesInKeyOrder) {
  std::vector<std::string> expected;
  for (int i = 0; i < 2500; ++i) {
    expected.push_back(fmt::format("backups/vpc-1/f{:04}", i));
    s3.put(kBucket, expected.back(), "x");
  }
  EXPECT_EQ(listed(), expected);
  EXPECT_EQ(s3.count("list_objects_v2"), 3);
  EXPECT_FALSE(s3.params("list_objects_v2", 0).contains("ContinuationToken"));
  EXPECT_TRUE(s3.params("list_objects_v2", 2).contains("ContinuationToken"));
}

TEST_F(BucketTransfers, ListingFetchesTheNextPageOnlyWhenTheConsumerGetsThere) {
  for (int i = 0; i < 1500; ++i) s3.put(kBucket, fmt::format("k{:04}", i), "x");
  auto listing = s3::listAllFiles(&s3, kBucket);
  auto it = listing.begin();
  EXPECT_EQ(it->first, "k0000");
  EXPECT_EQ(s3.count("list_objects_v2"), 1);
  for (int i = 0; i < 1000; ++i) ++it;
  EXPECT_EQ(it->first, "k1000");
  EXPECT_EQ(s3.count("list_objects_v2"), 2);
}

TEST_F(BucketTransfers, ListingFiltersByPrefixAndSubstring) {
  for (auto key : {"backups/vpc-1/a.pem", "backups/vpc-1/sub/b.json", "backups/vpc-2/a.pem", "other/a.pem"})
    s3.put(kBucket, key, "x");
  EXPECT_EQ(listed("backups/vpc-1/"), (std::vector<std::string>{"backups/vpc-1/a.pem", "backups/vpc-1/sub/b.json"}));
  EXPECT_EQ(listed("", "a.pem"), (std::vector<std::string>{"backups/vpc-1/a.pem", "backups/vpc-2/a.pem", "other/a.pem"}));
  EXPECT_EQ(listed("", "").size(), 4u);
}

TEST_F(BucketTransfers, AbsentClientListsNothingWithAWarning) {
  int n = 0;
  for (const auto& item : s3::listAllFiles(nullptr, kBucket)) n += !item.first.empty();
  EXPECT_EQ(n, 0);
  EXPECT_TRUE(log.has("  **Alert** failed to listAllFiles - no access to S3.", WARNING));
}

TEST_F(BucketTransfers, DeleteFolderDeletesWhileListing) {
  for (int i = 0; i < 1200; ++i) s3.put(kBucket, fmt::format("backups/vpc-1/f{:04}", i), "x");
  s3.put(kBucket, "backups/vpc-2/keep", "x");
  s3::deleteFolder(&s3, kBucket, "backups/vpc-1/");
  EXPECT_EQ(s3.keys(kBucket), std::vector<std::string>{"backups/vpc-2/keep"});
  // The second page is asked for after the first page's objects are gone.
  const auto ops = s3.operations();
  ASSERT_EQ(ops.size(), 2u + 1200u);
  EXPECT_EQ(ops[0], "list_objects_v2");
  EXPECT_EQ(ops[1001], "list_objects_v2");
  EXPECT_TRUE(log.has("  backups/vpc-1/f0000", INFO));
}

TEST_F(BucketTransfers, UploadedTreeDownloadsIntoAnotherFolderWithoutTransientFiles) {
  const std::string src = (dir / "b").string();
  testbed::writeFile(dir / "b/vpc-1/a.pem", "key\n");
  testbed::writeFile(dir / "b/vpc-1/sub/c.json", "{}");
  testbed::writeFile(dir / "b/vpc-1/run.log", "log");
  testbed::writeFile(dir / "b/vpc-1/sub/state.tfstate", "s");
  testbed::writeFile(dir / "b/vpc-1/old.backup", "o");
  s3::S3BackupCmd(&s3, src, kBucket, "vpc-1").upload();

  EXPECT_TRUE(s3.has(kBucket, "backups/vpc-1/a.pem"));
  EXPECT_TRUE(s3.has(kBucket, "backups/vpc-1/sub/c.json"));
  EXPECT_EQ(s3.keys(kBucket).size(), 5u);
  EXPECT_TRUE(log.has("- Upload " + src + "/vpc-1 to S3", INFO));
  EXPECT_TRUE(log.has("  " + src + "/vpc-1/sub/c.json to " + kBucket + "/backups/vpc-1/sub/c.json", INFO));

  const std::string dst = (dir / "t").string();
  s3::S3BackupCmd(&s3, dst, kBucket, "vpc-1").download();
  EXPECT_EQ(testbed::readFile(dir / "t/vpc-1/a.pem"), "key\n");
  EXPECT_EQ(testbed::readFile(dir / "t/vpc-1/sub/c.json"), "{}");
  EXPECT_FALSE(fs::exists(dir / "t/vpc-1/run.log"));
  EXPECT_FALSE(fs::exists(dir / "t/vpc-1/sub/state.tfstate"));
  EXPECT_FALSE(fs::exists(dir / "t/vpc-1/old.backup"));
  EXPECT_TRUE(log.has("- Download S3 " + kBucket + "/vpc-1 to " + dst + "/vpc-1", INFO));
  EXPECT_FALSE(log.has("  backups/vpc-1/sub/state.tfstate", INFO));
}

TEST_F(BucketTransfers, DryRunLogsEverythingAndChangesNothing) {
  testbed::writeFile(dir / "b/vpc-1/a.pem", "key");
  s3.put(kBucket, "backups/vpc-1/x.json", "x");
  Globals::dry_run = true;

  s3::S3BackupCmd(&s3, (dir / "b").string(), kBucket, "vpc-1").upload();
  s3::S3BackupCmd(&s3, (dir / "b").string(), kBucket, "vpc-1").uploadAFile("a.pem");
  s3::S3BackupCmd(&s3, (dir / "t").string(), kBucket, "vpc-1").download();
  s3::deleteFolder(&s3, kBucket, "backups/");

  EXPECT_EQ(s3.count("upload_file") + s3.count("download_file") + s3.count("delete_object"), 0);
  EXPECT_EQ(s3.keys(kBucket), std::vector<std::string>{"backups/vpc-1/x.json"});
  EXPECT_FALSE(fs::exists(dir / "t"));
  EXPECT_TRUE(log.has("  backups/vpc-1/x.json", INFO));
  EXPECT_TRUE(log.has("  " + (dir / "b").string() + "/vpc-1/a.pem to " + kBucket + "/backups/vpc-1/a.pem", INFO));
}

TEST_F(BucketTransfers, AbsentBucketOrClientTransfersNothing) {
  testbed::writeFile(dir / "b/vpc-1/a.pem", "key");
  const std::string b = (dir / "b").string();
  s3::uploadFile(&s3, b, "vpc-1", "a.pem", std::nullopt);
  s3::uploadAllFiles(&s3, b, "vpc-1", std::nullopt);
  EXPECT_EQ(log.messages(INFO), (std::vector<std::string>{
                                    "- Upload " + b + "/vpc-1/a.pem to S3",
                                    "  **Alert** failed to read S3 bucket name for upload",
                                    "- Upload " + b + "/vpc-1 to S3",
                                    "  **Alert** failed to read S3 bucket name for upload",
                                }));
  s3::downloadAllFiles(&s3, std::nullopt, "vpc-1", b);
  EXPECT_TRUE(log.has("  **Alert** failed to read S3 bucket name for download", WARNING));
  s3::uploadAllFiles(nullptr, b, "vpc-1", kBucket);
  EXPECT_EQ(log.messages().size(), 5u);  // an absent client is silent
  EXPECT_TRUE(s3.calls().empty());
}

TEST_F(BucketTransfers, DownloadNeverWritesOutsideTheTargetFolder) {
  const std::string prefix = "backups/vpc-1/";
  for (auto key : {"backups/vpc-1/../escape.txt", "backups/vpc-1//abs.txt", "backups/vpc-1/sub/../../up.txt"})
    s3.put(kBucket, key, "evil");
  s3.put(kBucket, "backups/vpc-1/empty/", "");
  s3.put(kBucket, "backups/vpc-1/ok..name.txt", "fine");
  s3::downloadAllFiles(&s3, kBucket, "vpc-1", (dir / "t").string());

  EXPECT_EQ(s3.count("download_file"), 1);
  EXPECT_EQ(testbed::readFile(dir / "t/vpc-1/ok..name.txt"), "fine");
  EXPECT_TRUE(fs::is_directory(dir / "t/vpc-1/empty"));
  EXPECT_FALSE(fs::exists(dir / "t/escape.txt"));
  EXPECT_FALSE(fs::exists(dir / "up.txt"));
  EXPECT_EQ(log.count(WARNING), 3);
}

TEST_F(BucketTransfers, ServiceFailuresReachTheCaller) {
  testbed::writeFile(dir / "b/vpc-1/a.pem", "key");
  s3.fail("upload_file", testbed::serviceError("AccessDenied", "no"));
  EXPECT_THROW(s3::S3BackupCmd(&s3, (dir / "b").string(), kBucket, "vpc-1").uploadAFile("a.pem"),
               aws::ServiceError);
  auto missing = s3::listAllFiles(&s3, std::string("no-such-bucket"));
  EXPECT_THROW(missing.begin(), aws::ServiceError);
  auto unnamed = s3::listAllFiles(&s3, std::nullopt);
  EXPECT_THROW(unnamed.begin(), aws::ClientError);
}

}  // namespace
