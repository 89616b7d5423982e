// Bucket transfers against the in-memory bucket: lazy paging, deletion while listing, absent
// client or bucket, and keys that try to leave the target folder.
#include <filesystem>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "tarnwick_testlibs/bin/core/Globals.h"
#include "tarnwick_testlibs/bin/lib/s3.h"
#include "testbed/fakes.h"
#include "testbed/log_capture.h"
#include "testbed/process.h"

namespace fs = std::filesystem;
using namespace tarnwick;
using logging::INFO;
using logging::WARNING;

namespace {

const std::string kBucket = "backup-bucket";

class BucketTransfers : public ::testing::Test {
 protected:
  void SetUp() override { s3.createBucket(kBucket); }
  testbed::FakeS3 s3;
  testbed::TempDir dir;
  testbed::LogCapture log{s3::kLogger};
};

TEST_F(BucketTransfers, NextPageIsFetchedOnlyWhenTheConsumerGetsThere) {
  for (int i = 0; i < 1500; ++i) s3.put(kBucket, fmt::format("k{:04}", i), "x");
  auto listing = s3::listAllFiles(&s3, kBucket, "", "k1");
  auto it = listing.begin();
  EXPECT_EQ(it->first, "k1000");
  EXPECT_EQ(s3.count("list_objects_v2"), 2) << "the first page held no match";
  int rest = 0;
  for (; it != listing.end(); ++it) ++rest;
  EXPECT_EQ(rest, 500);
  EXPECT_EQ(s3.count("list_objects_v2"), 2);
}

TEST_F(BucketTransfers, DeleteFolderDeletesWhileListing) {
  for (int i = 0; i < 1200; ++i) s3.put(kBucket, fmt::format("backups/vpc-1/f{:04}", i), "x");
  s3.put(kBucket, "backups/vpc-2/keep", "x");
  s3::deleteFolder(&s3, kBucket, "backups/vpc-1/");
  EXPECT_EQ(s3.keys(kBucket), std::vector<std::string>{"backups/vpc-2/keep"});
  const auto ops = s3.operations();
  ASSERT_EQ(ops.size(), 1202u);
  EXPECT_EQ(ops[1001], "list_objects_v2") << "second page asked for after the first page's deletions";
}

TEST_F(BucketTransfers, AbsentBucketOrClientTransfersNothing) {
  const std::string b = dir.str();
  testbed::writeFile(dir / "vpc-1/a.pem", "key");
  s3::uploadFile(&s3, b, "vpc-1", "a.pem", std::nullopt);
  s3::downloadAllFiles(&s3, std::nullopt, "vpc-1", b);
  s3::uploadAllFiles(nullptr, b, "vpc-1", kBucket);
  for (const auto& item : s3::listAllFiles(nullptr, kBucket)) ADD_FAILURE() << item.first;
  EXPECT_EQ(log.messages(), (std::vector<std::string>{"- Upload " + b + "/vpc-1/a.pem to S3",
                                                      "  **Alert** failed to read S3 bucket name for upload",
                                                      "  **Alert** failed to read S3 bucket name for download",
                                                      "  **Alert** failed to listAllFiles - no access to S3."}));
  EXPECT_TRUE(s3.calls().empty());
  auto unnamed = s3::listAllFiles(&s3, std::nullopt);
  EXPECT_THROW(unnamed.begin(), tarnwick::aws::ClientError);
}

TEST_F(BucketTransfers, DownloadNeverWritesOutsideTheTargetFolder) {
  for (auto key : {"backups/vpc-1/../escape", "backups/vpc-1//abs", "backups/vpc-1/sub/../../up"})
    s3.put(kBucket, key, "evil");
  s3.put(kBucket, "backups/vpc-1/empty/", "");
  s3.put(kBucket, "backups/vpc-1/ok..name", "fine");
  s3::downloadAllFiles(&s3, kBucket, "vpc-1", (dir / "t").string());
  EXPECT_EQ(s3.count("download_file"), 1);
  EXPECT_EQ(testbed::readFile(dir / "t/vpc-1/ok..name"), "fine");
  EXPECT_TRUE(fs::is_directory(dir / "t/vpc-1/empty"));
  EXPECT_FALSE(fs::exists(dir / "t/escape"));
  EXPECT_EQ(log.messages(WARNING).size(), 3u);
}

}  // namespace
