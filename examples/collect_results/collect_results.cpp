// A workflow step after the test instances have run: resolve the image a deployment would use,
// print the result tag of every entry and collect the results from the bucket.
//
//   collect_results TEST_CONFIG BUCKET [IMAGE_NAME]
//
// Exit status: 0 when every subnet passed, 1 when any failed, 2 on a usage error.
//
// The module's operations take the options record of probe_deployer; a workflow fills the fields
// it needs and leaves the rest at the command line's defaults.
//
// A CI job needs no program of its own: the installed `collect_results` does the collection with a
// command line and writes JUnit XML and a JSON summary.
#include <fstream>
#include <iostream>

#include <nlohmann/json.hpp>

#include "tarnwick_testlibs/aws/session.h"
#include "tarnwick_testlibs/bin/lib/runkit.h"
#include "tarnwick_testlibs/bin/probe_deployer.h"

namespace pd = tarnwick::probe_deployer;

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: collect_results TEST_CONFIG BUCKET [IMAGE_NAME]\n";
    return 2;
  }
  try {
    tarnwick::Common::initLogLocation("backups");
    pd::Options options;
    options.test_config = argv[1];
    options.s3_bucket = argv[2];

    auto session = tarnwick::aws::Session::fromProfile(std::nullopt);
    if (argc > 3) {
      options.image = argv[3];
      std::cout << "image: " << pd::getAMI(*session.ssm(), options) << "\n";
    }

    // The test instances of a deployment upload their results without a tag of their own.
    std::ifstream in(argv[1]);
    auto entries = nlohmann::ordered_json::parse(in);
    for (const auto& entry : entries) std::cout << "tag: " << pd::deduceTag("", &entry) << "\n";

    int failed = pd::getS3TestResults(*session.s3(), options);
    std::cout << (failed ? "FAILED" : "PASSED") << "\n";
    return failed ? 1 : 0;
  } catch (const std::exception& e) {
    std::cerr << "collect_results: " << e.what() << "\n";
    return 1;
  }
}
