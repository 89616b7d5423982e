// The records each operation reads, converted once from the options a run was given.
#include "tarnwick_testlibs/bin/probe_deployer/options.h"

#include <stdexcept>

#include "tarnwick_testlibs/bin/probe_deployer/command_line.h"
#include "tarnwick_testlibs/bin/probe_deployer/tags.h"

namespace tarnwick::probe_deployer {

TagPairs parseTagPairs(const std::string& text) {
  const std::vector<std::string> pieces = cli::splitAt(text, ',');
  TagPairs pairs;
  for (size_t i = 0; i + 1 < pieces.size(); i += 2) pairs.emplace_back(pieces[i], pieces[i + 1]);
  return pairs;
}

ChangeOptions::ChangeOptions(const Options& args) : dry_run(args.dry_run) {}

CreateOptions::CreateOptions(const Options& args)
    : ChangeOptions(args), tags(parseTagPairs(cli::text(args.tag_resource))), expires_at(args.expires_at) {}

KeyPairOptions::KeyPairOptions(const Options& args)
    : CreateOptions(args),
      backup_folder(args.backup_folder.value_or(kDefaultBackupFolder)),
      s3_bucket(args.s3_bucket) {}

LaunchOptions::LaunchOptions(const Options& args)
    : CreateOptions(args), instance_type(args.instance_type.value_or(kDefaultInstanceType)), ec2_role(args.ec2_role) {
  const std::string tokens = args.metadata_tokens.value_or(kDefaultMetadataTokens);
  if (tokens != "required" && tokens != "optional")
    throw std::invalid_argument("invalid --metadata_tokens '" + tokens + "'");
  metadata_tokens = tokens == "required" ? MetadataTokens::kRequired : MetadataTokens::kOptional;
}

IamOptions::IamOptions(const Options& args) : ChangeOptions(args), account(args.account), region(args.region) {}

SweepOptions::SweepOptions(const Options& args)
    : IamOptions(args), default_role(args.ec2_role == "default"), older_than_text(cli::text(args.older_than)) {
  if (!args.older_than) return;
  older_than = parseDuration(*args.older_than);
  if (!older_than) throw std::invalid_argument("invalid --older_than '" + *args.older_than + "'");
}

DeployOptions::DeployOptions(const Options& args, std::chrono::system_clock::time_point now) {
  const Options all = withExpiry(args, now);
  create = all;
  key_pair = all;
  launch = all;
  iam = all;
  output_test_config = cli::text(all.output_test_config);
  key_name = all.key_name;
  skip_preflight = all.skip_preflight;
  default_role = all.ec2_role == "default";
}

}  // namespace tarnwick::probe_deployer
