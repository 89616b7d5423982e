// Result collection: the log and the one-word verdict that each test instance left in the bucket,
// copied into the system's log and folded into one failure indicator.
#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "tarnwick_testlibs/aws/errors.h"
#include "tarnwick_testlibs/bin/core/logging.h"
#include "tarnwick_testlibs/bin/probe_deployer.h"
#include "tarnwick_testlibs/bin/probe_deployer/detail/workers.h"

namespace tarnwick::probe_deployer {

namespace {

logging::Logger& log() { return logging::getLogger(kLogger); }

// A folder of this collection's own, so that concurrent collections on one host cannot overwrite
// each other's downloads; removed with everything in it.
class PrivateFolder {
 public:
  PrivateFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarnwick-results-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error(std::string("cannot create a temporary folder: ") + std::strerror(errno));
    path_ = pattern;
  }
  ~PrivateFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  PrivateFolder(const PrivateFolder&) = delete;
  PrivateFolder& operator=(const PrivateFolder&) = delete;
  std::string file(const char* name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

std::string readWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool passed(const std::string& verdict) {
  constexpr const char* kBlank = " \t\n\r\f\v";
  const auto first = verdict.find_first_not_of(kBlank);
  if (first == std::string::npos) return false;
  const auto last = verdict.find_last_not_of(kBlank);
  return verdict.compare(first, last - first + 1, "PASS") == 0;
}

// Returns false when the subnet did not pass.
bool collectOne(aws::S3Client& s3, const std::string& bucket, const std::string& subnetId, const std::string& tag) {
  log().info("- Test ping and traceroute in " + subnetId);
  const std::string resultKey = "result-" + tag + ".txt";
  const std::string logKey = "log-" + tag + ".txt";
  const PrivateFolder folder;
  try {
    s3.download_file(bucket, logKey, folder.file("log.txt"));
    log().info(readWhole(folder.file("log.txt")));
    s3.download_file(bucket, resultKey, folder.file("result.txt"));
    const std::string verdict = readWhole(folder.file("result.txt"));
    log().info(verdict);
    return passed(verdict);
  } catch (const aws::ServiceError& e) {
    log().info(e.what());
    return false;
  }
}

}  // namespace

int getS3TestResults(aws::S3Client& s3_client, const Options& args, std::string_view tag) {
  int failed = 0;
  if (cli::nonEmpty(args.test_config)) {
    const Doc entries = detail::readEntries(cli::text(args.test_config), false);
    const std::string bucket = cli::text(args.s3_bucket);
    for (const auto& entry : entries)
      if (!collectOne(s3_client, bucket, detail::requireText(entry, "private_subnet_id"), deduceTag(tag, &entry)))
        failed = 1;
  } else {
    const std::string single = deduceTag(tag);
    if (!collectOne(s3_client, cli::text(args.s3_bucket), cli::text(args.private_subnet_id), single)) failed = 1;
  }
  return failed;
}

}  // namespace tarnwick::probe_deployer
