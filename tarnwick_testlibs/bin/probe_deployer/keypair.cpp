// Key pairs of a VPC: creation with the private key kept under the backup folder (and in the
// bucket), deletion, and the download of a stored private key from the parameter store.
#include "tarnwick_testlibs/bin/probe_deployer/keypair.h"

#include <exception>
#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

#include "tarnwick_testlibs/aws/clock.h"
#include "tarnwick_testlibs/aws/errors.h"
#include "tarnwick_testlibs/aws/views.h"
#include "tarnwick_testlibs/base/files.h"
#include "tarnwick_testlibs/bin/core/AppExitStatus.h"
#include "tarnwick_testlibs/bin/core/messages.h"
#include "tarnwick_testlibs/bin/lib/s3.h"
#include "tarnwick_testlibs/bin/probe_deployer/common.h"
#include "tarnwick_testlibs/bin/probe_deployer/detail/resource_support.h"
#include "tarnwick_testlibs/bin/probe_deployer/run_summary.h"
#include "tarnwick_testlibs/bin/probe_deployer/tags.h"

namespace tarnwick::probe_deployer {

using detail::filter;
using detail::log;

namespace {

constexpr const char* kDuplicate = "InvalidKeyPair.Duplicate";
// Creations of one run; each lost answer costs one, and a link that loses every answer ends the run.
constexpr int kCreateRounds = 3;

// Private keys are never readable by others, not even while being written.
void writePrivateFile(const std::string& path, const std::string& content) {
  files::writeAtomically(path, content, 0600);
}

Doc findKeyPairs(aws::Ec2Client& ec2_client, const std::string& keyname) {
  const Doc reply = ec2_client.describe_key_pairs(
      {{"Filters", Doc::array({filter("tag:Name", {kKeyPairTag}), filter("key-name", {keyname})})},
       {"IncludePublicKey", true}});
  return reply.value("KeyPairs", Doc::array());
}

Doc creationRequest(const std::string& keyname, const CreateOptions& args) {
  Doc request = {{"KeyName", keyname},
                 {"KeyType", "rsa"},
                 {"TagSpecifications", detail::nameTagSpecs("key-pair", kKeyPairTag)},
                 {"KeyFormat", "pem"}};
  addExpiryTag(request, args);
  addTags(request, args.tags);
  return request;
}

// A repeated delete that finds the pair gone meets its own lost attempt's work.
void deletePairOnce(aws::Ec2Client& ec2_client, const std::string& keyname) {
  detail::repeatTolerant([&] { return ec2_client.delete_key_pair({{"KeyName", keyname}}); }, "InvalidKeyPair.NotFound");
}

// After a creation whose answer was lost: the pair exists, but its private key went with the
// answer. Such a pair is useless, so it is deleted to be made again. False when the pair met is
// not this system's (it lacks the tag): that one keeps its ordinary handling.
bool dropPairOfLostAnswer(aws::Ec2Client& ec2_client, const std::string& keyname) {
  if (findKeyPairs(ec2_client, keyname).empty()) return false;
  log().info("  Key pair " + keyname + " was made but the answer with its private key was lost: make it again");
  deletePairOnce(ec2_client, keyname);
  return true;
}

// The new pair's private key, or nothing when the service did not hand one out.
std::optional<std::string> requestKeyMaterial(aws::Ec2Client& ec2_client, const std::string& keyname,
                                              const CreateOptions& args) {
  const auto alreadyExisted = [&] { log().info("  Key pair " + keyname + " already existed"); };
  for (int round = 1;; ++round) {
    std::optional<Doc> reply;
    try {
      reply = detail::repeatTolerant([&] { return ec2_client.create_key_pair(creationRequest(keyname, args)); },
                                     kDuplicate);
    } catch (const aws::ServiceError& e) {
      if (e.code() == kDuplicate) alreadyExisted();
      return std::nullopt;
    } catch (const aws::Interrupted&) {
      throw;
    } catch (const std::exception& e) {
      log().error(messages::error(e));
      return std::nullopt;
    }
    if (reply) {
      const auto material = reply->find("KeyMaterial");
      if (material != reply->end() && material->is_string()) return material->get<std::string>();
      return std::nullopt;
    }
    if (round < kCreateRounds && dropPairOfLostAnswer(ec2_client, keyname)) continue;
    alreadyExisted();
    return std::nullopt;
  }
}

// A pair whose private key could not be kept is worse than none: it is deleted, so that the
// next deploy makes one whose key is kept. The failure that got here is the one to report.
void withdrawPair(aws::Ec2Client& ec2_client, const std::string& keyname) {
  log().info("  Delete key pair " + keyname + ": its private key could not be kept");
  try {
    deletePairOnce(ec2_client, keyname);
    report::removed(report::Kind::kKeyPair, keyname);
  } catch (const aws::Error& e) {
    log().error(messages::error(e));
  }
}

std::string bucketKeyOf(const std::string& vpcId, const std::string& keyname) {
  return "backups/" + vpcId + "/" + keyname + ".pem";
}

// Whether the private key of an existing pair is anywhere this system keeps it.
bool privateKeyKept(aws::S3Client* s3_client, const std::string& keyFile, const std::string& vpcId,
                    const std::string& keyname, const KeyPairOptions& args) {
  if (std::filesystem::exists(keyFile)) return true;
  if (!cli::nonEmpty(args.s3_bucket)) return false;
  const std::string key = bucketKeyOf(vpcId, keyname);
  for (const auto& object : s3::listAllFiles(s3_client, args.s3_bucket, key))
    if (object.first == key) return true;
  return false;
}

// An existing pair whose private key is nowhere lets nobody log in to what it launches: it is
// replaced (instances launched with it earlier keep the old key). False in a dry run.
bool replaceKeylessPair(aws::Ec2Client& ec2_client, const std::string& keyname, const std::string& keyFile,
                        const KeyPairOptions& args) {
  log().info("  **Alert** Key " + keyname + " exists but its private key is neither in " + keyFile +
             (cli::nonEmpty(args.s3_bucket) ? " nor in the bucket" : "") + ": replace it");
  if (args.dry_run) return false;
  deletePairOnce(ec2_client, keyname);
  report::removed(report::Kind::kKeyPair, keyname);
  return true;
}

void storePrivateKey(const std::string& keyFolder, const std::string& keyFile, const std::string& material) {
  std::filesystem::create_directories(keyFolder);
  writePrivateFile(keyFile, material + "\n");
}

}  // namespace

std::string createKeyPair(aws::Ec2Client& ec2_client, aws::S3Client* s3_client, const std::string& vpcId,
                          const KeyPairOptions& args) {
  const std::string keyname = vpcKeyPairName(vpcId);
  log().info("- Create key pair " + keyname);

  Doc existing;
  try {
    existing = findKeyPairs(ec2_client, keyname);
  } catch (const aws::Error& e) {
    // Without an answer we cannot tell whether the pair exists: creating one on a guess could
    // leave a second key whose private half nobody kept.
    log().error(messages::error(e));
    throw;
  }
  const std::string& backupFolder = args.backup_folder;
  const std::string keyFolder = backupFolder + "/" + vpcId;
  const std::string keyFile = keyFolder + "/" + keyname + ".pem";
  if (!existing.empty() && (privateKeyKept(s3_client, keyFile, vpcId, keyname, args) ||
                            !replaceKeylessPair(ec2_client, keyname, keyFile, args))) {
    log().info("  Key " + keyname + " already exist");
    report::reused(report::Kind::kKeyPair, keyname);
    tagExpiry(ec2_client, {existing.front().value("KeyPairId", "")}, args);
    return keyname;
  }
  if (args.dry_run) return keyname;

  const std::optional<std::string> material = requestKeyMaterial(ec2_client, keyname, args);
  if (!material) {
    log().error("  Failed to create private key");
    throw ProcessExit(kExitFatal, "");
  }
  log().info("  done");
  report::created(report::Kind::kKeyPair, keyname);

  try {
    storePrivateKey(keyFolder, keyFile, *material);
    if (cli::nonEmpty(args.s3_bucket))
      s3::S3BackupCmd(s3_client, backupFolder, args.s3_bucket, vpcId).uploadAFile(keyname + ".pem");
  } catch (...) {
    withdrawPair(ec2_client, keyname);
    throw;
  }
  return keyname;
}

std::string vpcKeyPairName(const std::string& vpcId) { return kKeyPairPrefix + vpcId; }

Doc createKeyPairRequest(const std::string& vpcId, const CreateOptions& args) {
  return creationRequest(vpcKeyPairName(vpcId), args);
}

bool vpcKeyPairFound(aws::Ec2Client& ec2_client, const std::string& vpcId) {
  return !findKeyPairs(ec2_client, vpcKeyPairName(vpcId)).empty();
}

void deleteKeyPair(aws::Ec2Client& ec2_client, const std::string& keyname, const ChangeOptions& args) {
  log().info("- Delete key pair " + keyname);
  const Doc found = findKeyPairs(ec2_client, keyname);
  if (found.empty()) {
    log().info("  Key not found: " + keyname);
    return;
  }
  log().info("  " + found.front().value("KeyPairId", ""));
  if (args.dry_run) return;
  try {
    deletePairOnce(ec2_client, keyname);
    report::removed(report::Kind::kKeyPair, keyname);
  } catch (const aws::Error& e) {
    log().error(messages::error(e));
  }
}

void getPemKeyFromSSM(aws::SsmClient& ssm_client, const std::string& pemkey, const Options& args) {
  log().info("- Download pem key " + pemkey + " from SSM");
  const Doc reply = ssm_client.get_parameter({{"Name", pemkey}, {"WithDecryption", true}});
  writePrivateFile(cli::text(args.key_name),
                   aws::view::Record(reply, "GetParameter").object("Parameter").text("Value"));
}

}  // namespace tarnwick::probe_deployer
