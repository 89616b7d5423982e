// Result collection: the log and the one-word verdict that each test instance left in the bucket,
// copied into the system's log, judged per subnet and folded into one failure indicator.
#include "tarnwick_testlibs/bin/probe_deployer/results.h"

#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "tarnwick_testlibs/aws/errors.h"
#include "tarnwick_testlibs/base/text.h"
#include "tarnwick_testlibs/bin/core/logging.h"
#include "tarnwick_testlibs/bin/lib/testconfig.h"
#include "tarnwick_testlibs/bin/probe_deployer/common.h"
#include "tarnwick_testlibs/bin/probe_deployer/deploy.h"
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
    if (!mkdtemp(pattern.data()))
      throw std::runtime_error(std::string("cannot create a temporary folder: ") + std::strerror(errno));
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

// A missing object is the test instance's doing: it never uploaded. Any other refusal (no access,
// no such bucket) says nothing about the instance. "404" is the code of an answer without a body.
bool objectMissing(const aws::ServiceError& e) {
  return e.code() == "NoSuchKey" || e.code() == "NotFound" || e.code() == "404";
}

// The object's text, logged unchanged; nothing when the bucket holds no such object, which logs
// the service's message instead.
std::optional<std::string> fetchText(aws::S3Client& s3, const std::string& bucket, const std::string& key,
                                     const std::string& path) {
  try {
    s3.download_file(bucket, key, path);
  } catch (const aws::ServiceError& e) {
    if (!objectMissing(e)) throw;
    log().info(e.what());
    return std::nullopt;
  }
  std::string text = readWhole(path);
  log().info(text);
  return text;
}

}  // namespace

TestResult collectTestResult(aws::S3Client& s3_client, const std::string& bucket, const std::string& subnet_id,
                             const std::string& tag) {
  log().info("- Test ping and traceroute in " + subnet_id);
  const PrivateFolder folder;
  TestResult collected;
  // The log comes first, so that the system's log shows each subnet's output before its verdict.
  collected.log = fetchText(s3_client, bucket, "log-" + tag + ".txt", folder.file("log.txt")).value_or("");
  std::optional<std::string> result = fetchText(s3_client, bucket, "result-" + tag + ".txt", folder.file("result.txt"));
  if (!result) return collected;
  collected.verdict = text::trim(*result) == "PASS" ? Verdict::kPassed : Verdict::kFailed;
  collected.result = std::move(*result);
  return collected;
}

int getS3TestResults(aws::S3Client& s3_client, const Options& args, std::string_view tag) {
  const std::string bucket = cli::text(args.s3_bucket);
  int failed = 0;
  const auto collect = [&](const std::string& subnetId, const std::string& entryTag) {
    try {
      if (collectTestResult(s3_client, bucket, subnetId, entryTag).verdict != Verdict::kPassed) failed = 1;
    } catch (const aws::ServiceError& e) {
      log().info(e.what());
      failed = 1;
    }
  };
  if (cli::nonEmpty(args.test_config)) {
    const Doc entries = testconfig::read(cli::text(args.test_config));
    for (const auto& entry : entries) collect(testconfig::Entry(entry).privateSubnetId(), deduceTag(tag, &entry));
  } else {
    collect(cli::text(args.private_subnet_id), deduceTag(tag));
  }
  return failed;
}

}  // namespace tarnwick::probe_deployer
