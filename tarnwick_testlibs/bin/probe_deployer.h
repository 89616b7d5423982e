// The deployment module: deploys one test instance per test subnet with its security group, key
// pair, IAM profile and Elastic IP, removes them again, and collects the test results.
#pragma once
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "aws/services.h"
#include "tarnwick_testlibs/bin/lib/cli.h"
#include "tarnwick_testlibs/bin/probe_deployer/run_summary.h"

namespace tarnwick::probe_deployer {

using Args = cli::Args;
using Doc = nlohmann::ordered_json;

inline constexpr const char* kLogger = "tarnwick_testlibs";
inline constexpr const char* kEc2Name = "tarnwick-test-ec2";
inline constexpr const char* kInstanceProfile = "tarnwick-test-ec2-instance-profile";
inline constexpr const char* kRoleName = "tarnwick-test-ec2-role";
inline constexpr const char* kPolicyName = "tarnwick-test-ec2-policy";
inline constexpr const char* kSgName = "tarnwick-test-ec2-sg";
inline constexpr const char* kPrivateSgName = "tarnwick-test-ec2-private-interface-sg";
inline constexpr const char* kKeyPairPrefix = "tarnwick-test-ec2-key-pair-";
inline constexpr const char* kSecretsPrefix = "/tarnwick/workflow/secrets/";

// ---- Resource tags
// Appends the key,value pairs of `rt_tags` to the Tags of the first TagSpecifications element.
void populateTags(Doc& data, const std::string& rt_tags);

// ---- Image lookup
std::string getAMIByName(aws::Ec2Client& ec2_client, const Args& args);
std::string getAMI(aws::SsmClient& ssm_client, const Args& args);

// ---- Security groups
std::optional<std::string> getSgId(aws::Ec2Client& ec2_client, const std::string& vpc_id,
                                   const std::string& sg_name);
std::optional<std::string> createSG(aws::Ec2Client& ec2_client, const std::string& vpc_id, const Args& args);
std::optional<std::string> createPrivateInfSG(aws::Ec2Client& ec2_client, const std::string& vpc_id,
                                              const Args& args);
void deleteSG(aws::Ec2Client& ec2_client, const std::string& sgId, const Args& args);
std::string getVpcId(aws::Ec2Client& ec2_client, const std::string& subnet_id);
// The workflow host's public address from TARNWICK_PUBLIC_IP_URL (default https://api.ipify.org).
std::string lookupPublicIp();

// ---- Key pairs
std::string createKeyPair(aws::Ec2Client& ec2_client, aws::S3Client* s3_client, const std::string& vpcId,
                          const Args& args);
void deleteKeyPair(aws::Ec2Client& ec2_client, const std::string& keyname, const Args& args);
void getPemKeyFromSSM(aws::SsmClient& ssm_client, const std::string& pemkey, const Args& args);

// ---- IAM role, policy and instance profile
std::string createS3Policy(aws::IamClient& iam_client, const Args& args);
Doc createEc2Role(aws::IamClient& iam_client, const std::string& policy_arn);
void createInstanceProfile(aws::IamClient& iam_client);
// Removes whatever part of the IAM set exists; a part already gone is logged at INFO. The policy
// is found by the ARN built from `account` when given, otherwise by listing the local policies.
void deleteInstanceProfile(aws::IamClient& iam_client, const Args& args = {});

// ---- Elastic IPs and instance lookup
// Allocates an address tagged with `vpc_id` (the VPC of the interface's instance) and associates
// it; an address whose association fails is released at once and the failure passed on.
void associateEIP(aws::Ec2Client& ec2_client, const std::string& networkInfId, const std::string& vpc_id,
                  const Args& args);
void releaseEIP(aws::Ec2Client& ec2_client, const std::string& eip, const std::string& eipAllocIp,
                const std::string& insId, const Args& args);
// Releases every test address of `vpc_id` that is associated with nothing, such as one left by a
// deployment that ended between allocation and association.
void releaseUnassociatedEIPs(aws::Ec2Client& ec2_client, const std::string& vpc_id, const Args& args);
std::string getEipAllocationId(aws::Ec2Client& ec2_client, const std::string& insId, const std::string& public_ip);
// (instance id or nothing, public address or nothing)
std::pair<std::optional<std::string>, std::optional<std::string>> getEc2(aws::Ec2Client& ec2_client,
                                                                          const std::string& subnet_id);
std::optional<std::vector<std::string>> getAllEc2InVpc(aws::Ec2Client& ec2_client, const std::string& vpc_id);

// ---- Test instance launch
// Asks the launch's retry policy for another attempt.
class InvalidParameterValueException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct LaunchArgs {
  aws::Ec2Client* ec2_client = nullptr;
  aws::IamClient* iam_client = nullptr;
  std::string ami;
  std::string gw_subnet_id;
  std::string private_subnet_id;
  std::string spoke_gw_ip;
  const Args* args = nullptr;
  Doc* test_config = nullptr;  // the entry, extended in place
  std::optional<std::string> sg_id;
  std::optional<std::string> sg_id_private_inf;
  std::optional<std::string> instance_profile;
  std::optional<std::string> key_name;
  report::Slot summary_slot;  // where the worker's reports go (by default nowhere)
};

extern const char* const user_data_tmp;
// The template with {{spoke_gw_ip}}, {{s3_bucket}} and {{tag}} filled in for one entry.
std::string fillUserData(const std::string& spoke_gw_ip, const std::string& s3_bucket, const std::string& tag);

void createEc2(const LaunchArgs& a);
std::optional<std::string> createEc2WithRetry(aws::Ec2Client& ec2_client, const Doc& data);

// ---- Orchestration, teardown, results
// A deployment must know where its extended configuration goes before it creates anything: logs
// the ERROR and throws ProcessExit(1) when --output_test_config is absent or empty.
void requireOutputTestConfig(const Args& args);
void deployEc2s(aws::Ec2Client& ec2_client, aws::S3Client* s3_client, aws::IamClient& iam_client,
                const std::string& ami, const Args& args);
std::string deduceTag(const Args& args, const Doc* test_config = nullptr);
// Returns the VPC whose groups and key pair it cleaned (that of the first entry).
std::string terminateEc2s(aws::Ec2Client& ec2_client, aws::IamClient& iam_client, const Args& args);
// Whether test instances in this region but outside `vpc_id` (pending to stopped) still run with
// the default instance profile; logs an INFO alert naming how many and where when they do.
// Other regions are not looked at.
bool instanceProfileUsedOutside(aws::Ec2Client& ec2_client, const std::string& vpc_id);
void deleteEc2(aws::Ec2Client& ec2_client, aws::IamClient& iam_client, const std::string& subnet_id,
               const Args& args);
int getS3TestResults(aws::S3Client& s3_client, const Args& args);

// ---- The program
// The whole run flow; returns the process exit status (never calls exit).
int main(int argc, char** argv);

}  // namespace tarnwick::probe_deployer
