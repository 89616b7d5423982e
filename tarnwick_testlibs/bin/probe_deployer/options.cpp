// The command line of probe_deployer, in the order of its help output, and its options record.
#include "tarnwick_testlibs/bin/program_options.h"

#include "tarnwick_testlibs/bin/core/version.h"

namespace tarnwick::probe_deployer {

namespace {

const cli::FieldTable<Options>& fields() {
  static const cli::FieldTable<Options> table(
      {
          {"account", &Options::account},
          {"region", &Options::region},
          {"private_subnet_id", &Options::private_subnet_id},
          {"key_name", &Options::key_name},
          {"s3_bucket", &Options::s3_bucket},
          {"assume_role", &Options::assume_role},
          {"profile", &Options::profile},
          {"ec2_role", &Options::ec2_role},
          {"test_config", &Options::test_config},
          {"output_test_config", &Options::output_test_config},
          {"tag_resource", &Options::tag_resource},
          {"instance_type", &Options::instance_type},
          {"image", &Options::image},
          {"workflow_account_role", &Options::workflow_account_role},
          {"backup_folder", &Options::backup_folder},
          {"summary_json", &Options::summary_json},
      },
      {{"revert", &Options::revert}, {"dry_run", &Options::dry_run}});
  return table;
}

}  // namespace

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
  p.addValue("--instance_type", "instance type, default to t3.micro", {.defaultValue = kDefaultInstanceType});
  p.addValue("--image", "VM image name, default to al2023-ami-2023.3.20240108.0-kernel-6.1-x86_64",
             {.defaultValue = kDefaultImage});
  p.addValue("--workflow_account_role",
             "specify workflow account <role>,<number>,<region> where account number and region are optional");
  p.addValue("--backup_folder", "specify the folder for storing the VPC specific key-pair",
             {.defaultValue = kDefaultBackupFolder});
  p.addValue("--summary_json", "write what the run did, with its exit status, to this JSON file");
  p.addVersion(std::string("probe_deployer ") + kToolkitVersion);
  return p;
}

Options parseOptions(const cli::Parser& parser, const std::vector<std::string>& words) {
  fields().requireAll(parser, "probe_deployer::Options");
  Options options;
  fields().fill(parser.parse(words), options);
  return options;
}

}  // namespace tarnwick::probe_deployer
