// The command line of subnet_scout: its own options, then the sub-commands "spoke" and "natgw";
// and its options record.
#include "tarnwick_testlibs/bin/subnet_scout_options.h"

#include <stdexcept>

#include "tarnwick_testlibs/bin/core/version.h"

namespace tarnwick::subnet_scout {

namespace {

constexpr const char* kSubcommandField = "subparser_name";

const cli::FieldTable<Options>& programFields() {
  static const cli::FieldTable<Options> table(
      {
          {"vpc", &Options::vpc},
          {"profile", &Options::profile},
          {"assume_role", &Options::assume_role},
          {"region", &Options::region},
          {"output_test_config", &Options::output_test_config},
          {"backup_folder", &Options::backup_folder},
          {"s3_bucket", &Options::s3_bucket},
      },
      {});
  return table;
}

const cli::FieldTable<SpokeOptions>& spokeFields() {
  static const cli::FieldTable<SpokeOptions> table(
      {
          {"controller_ip", &SpokeOptions::controller_ip},
          {"controller_user", &SpokeOptions::controller_user},
          {"controller_password", &SpokeOptions::controller_password},
          {"spoke_gw_name", &SpokeOptions::spoke_gw_name},
          {"controller_ca", &SpokeOptions::controller_ca},
          {"controller_fingerprint", &SpokeOptions::controller_fingerprint},
      },
      {{"horizontal_scaling", &SpokeOptions::horizontal_scaling}});
  return table;
}

// The sub-command "natgw" has no options of its own.
const cli::FieldTable<Options>& natgwFields() {
  static const cli::FieldTable<Options> table({}, {});
  return table;
}

void requireAllFields(const cli::Parser& parser) {
  programFields().requireAll(parser, "subnet_scout::Options");
  for (const std::string& name : parser.subcommandNames()) {
    if (name == kSpokeCommand) {
      spokeFields().requireAll(parser.subcommand(name), "subnet_scout::SpokeOptions");
    } else if (name == kNatgwCommand) {
      natgwFields().requireAll(parser.subcommand(name), "subnet_scout::Options");
    } else {
      throw std::logic_error("the sub-command " + name + " has no place in subnet_scout::Options");
    }
  }
}

}  // namespace

cli::Parser makeParser() {
  cli::Parser p("subnet_scout", "find subnet with spoke gw inside");
  p.addValue("--vpc", "AWS VPC ID", {.required = true});
  p.addValue("--profile", "AWS Credentials Profile Name");
  p.addValue("--assume_role", "AWS IAM role ARN to assume", {.required = true});
  p.addValue("--region", "AWS Region", {.required = true});
  p.addValue("--output_test_config", "specify output test config file name",
             {.defaultValue = kDefaultOutputTestConfig});
  p.addValue("--backup_folder", "specify backup folder", {.defaultValue = kDefaultBackupFolder});
  p.addValue("--s3_bucket", "s3 bucket name");
  p.addVersion(std::string("subnet_scout ") + kToolkitVersion);

  // The spoke search cannot run without the controller, its user and the gateway name, so they
  // are required here rather than failing later inside the search.
  cli::Parser& spoke = p.addSubcommand(kSpokeCommand, "search subnet with spoke", kSubcommandField);
  spoke.addValue("--controller_ip", "Tarnwick Controller IP", {.required = true});
  spoke.addValue("--controller_user", "Tarnwick Controller user", {.required = true});
  spoke.addValue("--controller_password", "Tarnwick Controller password", {.secret = true});
  spoke.addValue("--spoke_gw_name", "find subnet(s) with spoke gateway <spoke_gw_name>", {.required = true});
  spoke.addFlag("--horizontal_scaling", "find subnet(s) with horizontal-scaling spoke gateway");
  spoke.laterOptionsFollow();
  spoke.addValue("--controller_ca",
                 "check the controller's certificate against this CA bundle (PEM) before logging in");
  spoke.addValue("--controller_fingerprint",
                 "pin the controller's certificate by its SHA-256 fingerprint (hex, colons optional)");

  p.addSubcommand(kNatgwCommand, "search subnet with natgw", kSubcommandField);
  return p;
}

Options parseOptions(const cli::Parser& parser, const std::vector<std::string>& words) {
  requireAllFields(parser);
  const cli::OptionMap parsed = parser.parse(words);
  Options options;
  programFields().fill(parsed, options);
  options.subparser_name = parsed.get(kSubcommandField);
  if (options.subparser_name == kSpokeCommand) spokeFields().fill(parsed, options.spoke.emplace());
  return options;
}

}  // namespace tarnwick::subnet_scout
