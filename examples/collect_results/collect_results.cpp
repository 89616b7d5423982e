// A workflow step after the test instances have run: resolve the image a deployment would use,
// print the result tag of every entry and collect the results from the bucket.
//
//   collect_results TEST_CONFIG BUCKET [IMAGE_NAME]
//
// Exit status: 0 when every subnet passed, 1 when any failed, 2 on a usage error.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

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
    tarnwick::cli::Args args;
    args.set("test_config", argv[1]).set("s3_bucket", argv[2]);

    auto session = aws::Session::fromProfile(std::nullopt);
    if (argc > 3) {
      args.set("image", argv[3]);
      std::cout << "image: " << pd::getAMI(*session.ssm(), args) << "\n";
    }

    std::ifstream in(argv[1]);
    auto entries = nlohmann::ordered_json::parse(in);
    for (const auto& entry : entries) std::cout << "tag: " << pd::deduceTag(args, &entry) << "\n";

    int failed = pd::getS3TestResults(*session.s3(), args);
    std::cout << (failed ? "FAILED" : "PASSED") << "\n";
    return failed ? 1 : 0;
  } catch (const std::exception& e) {
    std::cerr << "collect_results: " << e.what() << "\n";
    return 1;
  }
}
