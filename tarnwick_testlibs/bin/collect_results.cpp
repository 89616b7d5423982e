// The run flow of collect_results: parse, set up logging, check the input and the outputs, collect
// every entry's verdict, write the reports, exit.
#include "tarnwick_testlibs/bin/collect_results.h"

#include <memory>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "tarnwick_testlibs/aws/errors.h"
#include "tarnwick_testlibs/aws/session.h"
#include "tarnwick_testlibs/base/files.h"
#include "tarnwick_testlibs/bin/collect_results_options.h"
#include "tarnwick_testlibs/bin/collect_results_report.h"
#include "tarnwick_testlibs/bin/core/AppExitStatus.h"
#include "tarnwick_testlibs/bin/core/logging.h"
#include "tarnwick_testlibs/bin/core/messages.h"
#include "tarnwick_testlibs/bin/lib/runkit.h"
#include "tarnwick_testlibs/bin/lib/testconfig.h"
#include "tarnwick_testlibs/bin/probe_deployer/deploy.h"

namespace tarnwick::collect_results {

namespace {

using probe_deployer::Verdict;

// What the run has collected so far: the summary document is written from it also when the run
// stops early.
struct Collection {
  std::string summaryPath;
  std::string bucket;
  std::string tag;
  std::vector<EntryResult> results;
};

// Every entry is read before the first download, so that a malformed file fails before anything
// is reported; a file without entries would pass a CI job that tested nothing.
std::vector<EntryResult> plannedEntries(const std::string& path, const std::string& tag) {
  std::vector<EntryResult> planned;
  for (const auto& doc : testconfig::readEntries(path)) {
    const testconfig::Entry entry(doc);
    planned.push_back({entry.privateSubnetId(), entry.gateway(), probe_deployer::deduceTag(tag, &doc), {}});
  }
  return planned;
}

std::string closingLine(const std::vector<EntryResult>& results) {
  return fmt::format("- Collected {} {}: {} passed, {} failed, {} not reported", results.size(),
                     results.size() == 1 ? "entry" : "entries", count(results, Verdict::kPassed),
                     count(results, Verdict::kFailed), count(results, Verdict::kNotReported));
}

int run(int argc, char** argv, Collection& collection) {
  const cli::Parser parser = makeParser();
  const std::vector<std::string> words = cli::argumentWords(argc, argv);
  const Options args = parseOptions(parser, words);
  collection.summaryPath = cli::text(args.summary_json);
  collection.bucket = cli::text(args.s3_bucket);
  collection.tag = cli::text(args.tag);

  Common::initLogLocation(probe_deployer::kDefaultBackupFolder);
  Common::logCommandOptions("collect_results " + cli::joinWords(words));
  logging::Logger& log = logging::getLogger(probe_deployer::kLogger);

  std::vector<EntryResult> planned = plannedEntries(cli::text(args.test_config), collection.tag);
  for (const auto* output : {&args.junit, &args.summary_json})
    if (cli::nonEmpty(*output)) files::requireReplaceable(**output);

  const std::shared_ptr<aws::S3Client> s3 = aws::Session::fromProfile(args.profile).s3(args.region);
  for (EntryResult& entry : planned) {
    try {
      entry.test = probe_deployer::collectTestResult(*s3, collection.bucket, entry.subnet_id, entry.tag);
    } catch (const aws::ServiceError& e) {
      log.info(messages::resultsUnreadable(entry.subnet_id, collection.bucket, entry.tag, e.what()));
      throw ProcessExit(kExitFatal, "");
    }
    collection.results.push_back(entry);
  }

  if (cli::nonEmpty(args.junit))
    files::writeAtomically(*args.junit, junitXml(collection.results), files::modeForReplacing(*args.junit));
  log.info(closingLine(collection.results));
  if (count(collection.results, Verdict::kPassed) < collection.results.size()) return kExitFatal;
  return AppExitStatus().getStatus();
}

int finish(const Collection& collection, int exitStatus) {
  if (collection.summaryPath.empty()) return exitStatus;
  try {
    files::writeAtomically(collection.summaryPath,
                           summaryJson(collection.bucket, collection.tag, collection.results, exitStatus),
                           files::modeForReplacing(collection.summaryPath));
  } catch (const std::exception& e) {
    throw ProcessExit(kExitFatal, "cannot write the summary: " + describeFailure(e));
  }
  return exitStatus;
}

}  // namespace

int main(int argc, char** argv) {
  Collection collection;
  const int status = cli::runProgram("collect_results", [&] { return run(argc, argv, collection); });
  // Written last, so that the document carries the status the process really ends with.
  return cli::runProgram("collect_results", [&] { return finish(collection, status); });
}

}  // namespace tarnwick::collect_results
