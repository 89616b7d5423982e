// The command line of probe_deployer, in the order of its help output.
#include "tarnwick_testlibs/bin/program_options.h"

#include "tarnwick_testlibs/bin/core/version.h"

namespace tarnwick::probe_deployer {

cli::Parser makeParser() {
  cli::Parser p("probe_deployer", "Deploy test EC2 in test subnets");
  p.addFlag("--revert", "revert the operation");
  p.addFlag("--dry_run", "Dry run deploy test ec2 logic and show what will be done");
  p.addValue("--account", "account");
  p.addValue("--region", "region");
  p.addValue("--private_subnet_id", "private subnet ID");
  p.addValue("--key_name", "key name");
  p.addValue("--s3_bucket", "s3 bucket name");
  p.addValue("--assume_role", "Specify the role used to deploy EC2 in the account");
  p.addValue("--profile", "Specify the AWS Credentials profile used to deploy EC2 in the account");
  p.addValue("--ec2_role", "Specify the role to assign to the EC2");
  p.addValue("--test_config", "specify input test config file", {.required = true});
  p.addValue("--output_test_config", "specify output test config file");
  p.addValue("--tag_resource", "tag created resources, e.g., sg, vm");
  p.addValue("--instance_type", "instance type, default to t3.micro", {.defaultValue = "t3.micro"});
  p.addValue("--image", "VM image name, default to al2023-ami-2023.3.20240108.0-kernel-6.1-x86_64",
             {.defaultValue = "al2023-ami-2023.3.20240108.0-kernel-6.1-x86_64"});
  p.addValue("--workflow_account_role",
             "specify workflow account <role>,<number>,<region> where account number and region are optional");
  p.addValue("--backup_folder", "specify the folder for storing the VPC specific key-pair",
             {.defaultValue = "./backups"});
  p.addValue("--summary_json", "write what the run did, with its exit status, to this JSON file");
  p.addVersion(std::string("probe_deployer ") + kToolkitVersion);
  return p;
}

}  // namespace tarnwick::probe_deployer
