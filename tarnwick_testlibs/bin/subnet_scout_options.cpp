// The command line of subnet_scout: its own options, then the sub-commands "spoke" and "natgw".
#include "tarnwick_testlibs/bin/program_options.h"

#include "tarnwick_testlibs/bin/core/version.h"

namespace tarnwick::subnet_scout {

cli::Parser makeParser() {
  cli::Parser p("subnet_scout", "find subnet with spoke gw inside");
  p.addValue("--vpc", "AWS VPC ID", {.required = true});
  p.addValue("--profile", "AWS Credentials Profile Name");
  p.addValue("--assume_role", "AWS IAM role ARN to assume", {.required = true});
  p.addValue("--region", "AWS Region", {.required = true});
  p.addValue("--output_test_config", "specify output test config file name", {.defaultValue = "subnet.config"});
  p.addValue("--backup_folder", "specify backup folder", {.defaultValue = "backups"});
  p.addValue("--s3_bucket", "s3 bucket name");
  p.addVersion(std::string("subnet_scout ") + kToolkitVersion);

  // The spoke search cannot run without the controller, its user and the gateway name, so they
  // are required here rather than failing later inside the search.
  cli::Parser& spoke = p.addSubcommand("spoke", "search subnet with spoke");
  spoke.addValue("--controller_ip", "Tarnwick Controller IP", {.required = true});
  spoke.addValue("--controller_user", "Tarnwick Controller user", {.required = true});
  spoke.addValue("--controller_password", "Tarnwick Controller password", {.secret = true});
  spoke.addValue("--spoke_gw_name", "find subnet(s) with spoke gateway <spoke_gw_name>", {.required = true});
  spoke.addFlag("--horizontal_scaling", "find subnet(s) with horizontal-scaling spoke gateway");

  p.addSubcommand("natgw", "search subnet with natgw");
  return p;
}

}  // namespace tarnwick::subnet_scout
