// The account-wide IAM set that lets test instances write their results to S3: permissions
// policy, role and instance profile, all with fixed names, created idempotently and removed on revert.
#include "tarnwick_testlibs/bin/probe_deployer/iam.h"

#include <exception>
#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "tarnwick_testlibs/aws/clock.h"
#include "tarnwick_testlibs/aws/errors.h"
#include "tarnwick_testlibs/aws/paginator.h"
#include "tarnwick_testlibs/aws/partition.h"
#include "tarnwick_testlibs/aws/views.h"
#include "tarnwick_testlibs/bin/core/messages.h"
#include "tarnwick_testlibs/bin/probe_deployer/common.h"
#include "tarnwick_testlibs/bin/probe_deployer/detail/resource_support.h"
#include "tarnwick_testlibs/bin/probe_deployer/run_summary.h"

namespace tarnwick::probe_deployer {

using detail::log;

namespace {

constexpr const char* kPolicyDescription = "tarnwick test ec2 policy";
constexpr const char* kRoleDescription = "tarnwick test ec2 role";
constexpr const char* kAlreadyExists = "EntityAlreadyExists";
constexpr const char* kNoSuchEntity = "NoSuchEntity";

Doc nameTag() { return Doc::array({{{"Key", "Name"}, {"Value", kEc2Name}}}); }

Doc allowOnAllBuckets(const std::string& action, const std::string& partition) {
  return {{"Effect", "Allow"},
          {"Action", Doc::array({action})},
          {"Resource", Doc::array({"arn:" + partition + ":s3:::*"})}};
}

std::string permissionsDocument(const std::string& partition) {
  const Doc document = {{"Version", "2012-10-17"},
                        {"Statement", Doc::array({allowOnAllBuckets("s3:ListBucket", partition),
                                                  allowOnAllBuckets("s3:GetObject", partition),
                                                  allowOnAllBuckets("s3:PutObject", partition)})}};
  return document.dump();
}

std::string trustDocument() {
  const Doc document = {
      {"Version", "2012-10-17"},
      {"Statement",
       Doc::array(
           {{{"Effect", "Allow"}, {"Principal", {{"Service", "ec2.amazonaws.com"}}}, {"Action", "sts:AssumeRole"}}})}};
  return document.dump();
}

// The policy's ARN asked of the account itself, attached or not, on whichever page it is listed.
std::optional<std::string> findLocalPolicyArn(aws::IamClient& iam_client) {
  aws::Paginator pages(iam_client, "ListPolicies", Doc{{"Scope", "Local"}});
  for (Doc page; pages.next(page);)
    for (const auto& policy : aws::view::Record(page, "ListPolicies").list("Policies"))
      if (policy.textOr("PolicyName") == kPolicyName) return policy.text("Arn");
  return std::nullopt;
}

std::optional<std::string> policyArnFromAccount(const IamOptions& args) {
  if (!cli::nonEmpty(args.account)) return std::nullopt;
  return iamArn(args.region, cli::text(args.account), std::string("policy/") + kPolicyName);
}

// `ours`: the policy was made by this call's own attempt whose answer was lost.
std::string existingPolicyArn(aws::IamClient& iam_client, const IamOptions& args, bool ours) {
  (ours ? report::created : report::reused)(report::Kind::kIamPolicy, kPolicyName);
  if (auto arn = policyArnFromAccount(args)) return *arn;
  if (auto arn = findLocalPolicyArn(iam_client)) return *arn;
  throw aws::ClientError(std::string("policy ") + kPolicyName + " exists but is not listed among the local policies");
}

// Creation that counts an existing object as success (reused); other service refusals are left to
// the call that follows, whose failure the caller sees.
template <typename Create>
void createOrAccept(report::Kind kind, const char* name, Create create) {
  try {
    detail::repeatTolerant(create, kAlreadyExists);
    report::created(kind, name);
  } catch (const aws::ServiceError& e) {
    if (e.code() != kAlreadyExists) return;
    log().info(std::string("  **Alert** ") + e.what());
    report::reused(kind, name);
  }
}

bool profileHoldsRole(aws::IamClient& iam_client) {
  const Doc reply = iam_client.get_instance_profile({{"InstanceProfileName", kInstanceProfile}});
  for (const auto& role : aws::view::Record(reply, "GetInstanceProfile").object("InstanceProfile").list("Roles"))
    if (role.textOr("RoleName") == kRoleName) return true;
  return false;
}

// A delete repeated after its answer was lost finds the entity gone: that is its own work.
template <typename Delete>
void deleteOnce(Delete del) {
  detail::repeatTolerant(del, kNoSuchEntity);
}

// A guarded step of the revert on `part` of the set: a part that is already gone is what the
// revert wants, said in the toolkit's words as a dry run says it; any other failure is logged
// and the revert goes on with the other parts.
template <typename Step>
void revertStep(const std::string& message, const std::string& part, Step step) {
  try {
    log().info(message);
    step();
  } catch (const aws::ServiceError& e) {
    if (e.code() == kNoSuchEntity) {
      log().info("  **Alert** " + part + " not found");
      return;
    }
    log().error(messages::error(e));
  } catch (const aws::Interrupted&) {
    throw;
  } catch (const std::exception& e) {
    log().error(messages::error(e));
  }
}

// The policy to remove: its ARN when the account is known, otherwise the listing's, if any.
std::optional<std::string> policyToRemove(aws::IamClient& iam_client, const IamOptions& args) {
  if (auto arn = policyArnFromAccount(args)) return arn;
  std::optional<std::string> arn;
  bool listed = false;
  revertStep(std::string("  Look up policy ") + kPolicyName, kPolicyName, [&] {
    arn = findLocalPolicyArn(iam_client);
    listed = true;
  });
  if (listed && !arn) log().info(std::string("  **Alert** policy ") + kPolicyName + " not found");
  return arn;
}

// Which parts of the IAM set exist, by read-only lookups: what a dry run may use.
struct IamSetParts {
  std::optional<std::string> policyArn;
  bool role = false;
  bool profile = false;
};

bool existsUnlessNoSuchEntity(const std::function<void()>& lookup) {
  try {
    lookup();
    return true;
  } catch (const aws::ServiceError& e) {
    if (e.code() != kNoSuchEntity) throw;
    return false;
  }
}

IamSetParts findIamSet(aws::IamClient& iam_client) {
  IamSetParts parts;
  parts.policyArn = findLocalPolicyArn(iam_client);
  parts.role = existsUnlessNoSuchEntity([&] { iam_client.list_instance_profiles_for_role({{"RoleName", kRoleName}}); });
  parts.profile = existsUnlessNoSuchEntity([&] {
    iam_client.get_instance_profile({{"InstanceProfileName", kInstanceProfile}});
  });
  return parts;
}

void planPart(bool exists, report::Kind kind, const std::string& what, const char* name) {
  log().info((exists ? "- Reuse existing " : "- Create ") + what + " " + name);
  if (exists) report::reused(kind, name);
}

void planRemoval(bool exists, const std::string& step, const char* name) {
  log().info(exists ? step : std::string("  **Alert** ") + name + " not found");
}

void planIamRemoval(aws::IamClient& iam_client) {
  const IamSetParts parts = findIamSet(iam_client);
  planRemoval(parts.profile, std::string("  Delete instance profile ") + kInstanceProfile, kInstanceProfile);
  planRemoval(parts.policyArn.has_value(), "  Delete policy " + parts.policyArn.value_or(""), kPolicyName);
  planRemoval(parts.role, std::string("  Delete ") + kRoleName, kRoleName);
}

}  // namespace

std::string iamArn(const std::optional<std::string>& region, const std::string& account, const std::string& resource) {
  return "arn:" + aws::partitionOf(cli::text(region)) + ":iam::" + account + ":" + resource;
}

void planDefaultIamSet(aws::IamClient& iam_client) {
  const IamSetParts parts = findIamSet(iam_client);
  planPart(parts.policyArn.has_value(), report::Kind::kIamPolicy, "policy", kPolicyName);
  planPart(parts.role, report::Kind::kIamRole, "role", kRoleName);
  planPart(parts.profile, report::Kind::kInstanceProfile, "instance profile", kInstanceProfile);
}

std::string createS3Policy(aws::IamClient& iam_client, const IamOptions& args) {
  log().info(std::string("- Create policy ") + kPolicyName);
  const Doc request = {{"PolicyName", kPolicyName},
                       {"PolicyDocument", permissionsDocument(aws::partitionOf(cli::text(args.region)))},
                       {"Description", kPolicyDescription},
                       {"Tags", nameTag()}};
  std::optional<Doc> reply;
  try {
    reply = detail::repeatTolerant([&] { return iam_client.create_policy(request); }, kAlreadyExists);
  } catch (const aws::ServiceError& e) {
    if (e.code() == kAlreadyExists) return existingPolicyArn(iam_client, args, false);
    throw;  // no ARN: nothing may be attached on a guess
  }
  if (!reply) return existingPolicyArn(iam_client, args, true);
  report::created(report::Kind::kIamPolicy, kPolicyName);
  return aws::view::Record(*reply, "CreatePolicy").object("Policy").text("Arn");
}

Doc createEc2Role(aws::IamClient& iam_client, const std::string& policy_arn) {
  log().info(std::string("- Create role ") + kRoleName);
  createOrAccept(report::Kind::kIamRole, kRoleName, [&] {
    return iam_client.create_role(
        {{"RoleName", kRoleName}, {"AssumeRolePolicyDocument", trustDocument()}, {"Description", kRoleDescription}});
  });
  log().info("- Attach policy to role");
  return iam_client.attach_role_policy({{"RoleName", kRoleName}, {"PolicyArn", policy_arn}});
}

void createInstanceProfile(aws::IamClient& iam_client) {
  log().info(std::string("- Create instance profile ") + kInstanceProfile);
  createOrAccept(report::Kind::kInstanceProfile, kInstanceProfile, [&] {
    return iam_client.create_instance_profile({{"InstanceProfileName", kInstanceProfile}, {"Tags", nameTag()}});
  });
  log().info("- Add role to instance profile");
  try {
    iam_client.add_role_to_instance_profile({{"InstanceProfileName", kInstanceProfile}, {"RoleName", kRoleName}});
  } catch (const aws::ServiceError& e) {
    // A rerun finds the profile already holding its one role: that is the state we want.
    const bool full = e.code() == "LimitExceeded" || e.code() == kAlreadyExists;
    if (!full || !profileHoldsRole(iam_client)) throw;
    log().info(std::string("  **Alert** ") + e.what());
  }
}

void deleteInstanceProfile(aws::IamClient& iam_client, const IamOptions& args) {
  if (args.dry_run) return planIamRemoval(iam_client);
  revertStep(std::string("  Remove role from instance profile ") + kInstanceProfile, kInstanceProfile, [&] {
    // A deployment that ended between creating the profile and adding the role left it empty.
    if (!profileHoldsRole(iam_client)) {
      log().info(std::string("  **Alert** ") + kRoleName + " is not in " + kInstanceProfile);
      return;
    }
    deleteOnce([&] {
      return iam_client.remove_role_from_instance_profile(
          {{"InstanceProfileName", kInstanceProfile}, {"RoleName", kRoleName}});
    });
  });
  revertStep(std::string("  Delete instance profile ") + kInstanceProfile, kInstanceProfile, [&] {
    deleteOnce([&] { return iam_client.delete_instance_profile({{"InstanceProfileName", kInstanceProfile}}); });
    report::removed(report::Kind::kInstanceProfile, kInstanceProfile);
  });

  if (const std::optional<std::string> arn = policyToRemove(iam_client, args)) {
    revertStep(
        std::string("  Detach ") + kRoleName + " from " + kPolicyName + " " + *arn + " ",
        std::string(kPolicyName) + " on " + kRoleName, [&] {
          deleteOnce([&] { return iam_client.detach_role_policy({{"RoleName", kRoleName}, {"PolicyArn", *arn}}); });
        });
    revertStep("  Delete policy " + *arn, kPolicyName, [&] {
      deleteOnce([&] { return iam_client.delete_policy({{"PolicyArn", *arn}}); });
      report::removed(report::Kind::kIamPolicy, kPolicyName);
    });
  }
  revertStep(std::string("  Delete ") + kRoleName, kRoleName, [&] {
    deleteOnce([&] { return iam_client.delete_role({{"RoleName", kRoleName}}); });
    report::removed(report::Kind::kIamRole, kRoleName);
  });
}

}  // namespace tarnwick::probe_deployer
