// What every part of the deployment module shares: the options, the documents and the names of
// the objects a deployment creates.
#pragma once
#include <nlohmann/json_fwd.hpp>

#include "tarnwick_testlibs/bin/lib/cli.h"
#include "tarnwick_testlibs/bin/probe_deployer/options.h"

namespace tarnwick::probe_deployer {

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
inline constexpr const char* kEipName = "tarnwick-test-ec2-eip";
inline constexpr const char* kEipVpcTagKey = "tarnwick:vpc-id";
inline constexpr const char* kKeyPairTag = "tarnwick-test-ec2-key-pair";

}  // namespace tarnwick::probe_deployer
