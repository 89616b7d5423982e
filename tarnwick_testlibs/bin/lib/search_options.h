// What the subnet searches of the spoke and nat modules read of a run's options: the VPC, where
// the test configuration is written and the bucket that keeps a copy of it. subnet_scout's options
// record is one of these; a workflow that calls a search fills one itself.
#pragma once
#include <optional>
#include <string>

namespace tarnwick {

struct SearchOptions {
  static constexpr const char* kDefaultOutputTestConfig = "subnet.config";
  static constexpr const char* kDefaultBackupFolder = "backups";

  std::optional<std::string> vpc;
  // The file name of the test configuration, below <backup_folder>/<vpc>/.
  std::optional<std::string> output_test_config = kDefaultOutputTestConfig;
  std::optional<std::string> backup_folder = kDefaultBackupFolder;
  // When given, the NAT search uploads the test configuration there.
  std::optional<std::string> s3_bucket;
};

}  // namespace tarnwick
