// The command line of collect_results and its conversion into the options record.
#include "tarnwick_testlibs/bin/collect_results_options.h"

#include "tarnwick_testlibs/bin/core/version.h"

namespace tarnwick::collect_results {

namespace {

const cli::FieldTable<Options>& fields() {
  static const cli::FieldTable<Options> table(
      {
          {"test_config", &Options::test_config},
          {"s3_bucket", &Options::s3_bucket},
          {"tag", &Options::tag},
          {"junit", &Options::junit},
          {"summary_json", &Options::summary_json},
          {"region", &Options::region},
          {"profile", &Options::profile},
      },
      {});
  return table;
}

}  // namespace

cli::Parser makeParser() {
  cli::Parser p("collect_results", "Collect the test results of deployed test EC2 from the s3 bucket");
  p.addValue("--test_config", "the test config file of the deployment", {.required = true});
  p.addValue("--s3_bucket", "s3 bucket the test EC2 uploaded their results to", {.required = true});
  p.addValue("--tag", "tag the test EC2 uploaded their results under", {.defaultValue = ""});
  p.addValue("--junit", "write one JUnit test case per entry to this XML file");
  p.addValue("--summary_json", "write each entry's verdict, with the exit status, to this JSON file");
  p.addValue("--region", "region");
  p.addValue("--profile", "Specify the AWS Credentials profile used to read the s3 bucket");
  p.addVersion(std::string("collect_results ") + kToolkitVersion);
  return p;
}

Options parseOptions(const cli::Parser& parser, const std::vector<std::string>& words) {
  fields().requireAll(parser, "collect_results::Options");
  const cli::OptionMap parsed = parser.parse(words);
  Options options;
  fields().fill(parsed, options);
  return options;
}

}  // namespace tarnwick::collect_results
