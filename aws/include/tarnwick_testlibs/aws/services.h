// Service client interfaces. Requests and answers are documents shaped like the service model
// (member names as in the model: "Reservations", "PublicIpAddress"; lists as arrays; absent
// members absent), so a recording fake can stand in for the real client in unit tests.
#pragma once
#include <memory>
#include <string>

#include <nlohmann/json_fwd.hpp>

namespace tarnwick::aws {

using Doc = nlohmann::ordered_json;

// True when `answer` came to a repeat of its call, sent after an earlier attempt had lost its
// answer (see ClientError::requestSent): that attempt may have been carried out too, as a second
// allocation, say, or as the object that an "already exists" or a "not found" is about. Such an
// answer carries {"ResponseMetadata": {"AfterLostAnswer": true}}; others do not. A refusal says
// it the same way, in ServiceError::response(): this member is the one place it is kept.
bool afterLostAnswer(const Doc& answer);
void markAfterLostAnswer(Doc& answer);

// Every operation goes through call(); the named operations are conveniences over it.
// Failures throw aws::ServiceError or aws::ClientError. Safe to share between threads.
class ServiceClient {
 public:
  virtual ~ServiceClient() = default;
  virtual Doc call(const std::string& operation, const Doc& params) = 0;
};

class Ec2Client : public ServiceClient {
 public:
  Doc allocate_address(const Doc& p);
  Doc associate_address(const Doc& p);
  Doc authorize_security_group_ingress(const Doc& p);
  Doc create_key_pair(const Doc& p);
  Doc create_security_group(const Doc& p);
  Doc create_tags(const Doc& p);
  Doc delete_key_pair(const Doc& p);
  Doc delete_security_group(const Doc& p);
  Doc describe_account_attributes(const Doc& p);
  Doc describe_addresses(const Doc& p);
  Doc describe_images(const Doc& p);
  Doc describe_instance_status(const Doc& p);
  Doc describe_instance_type_offerings(const Doc& p);
  Doc describe_instance_types(const Doc& p);
  Doc describe_instances(const Doc& p);
  Doc describe_key_pairs(const Doc& p);
  Doc describe_nat_gateways(const Doc& p);
  Doc describe_network_interfaces(const Doc& p);
  Doc describe_route_tables(const Doc& p);
  Doc describe_security_groups(const Doc& p);
  Doc describe_subnets(const Doc& p);
  Doc describe_vpcs(const Doc& p);
  Doc release_address(const Doc& p);
  Doc run_instances(const Doc& p);
  Doc terminate_instances(const Doc& p);
};

class IamClient : public ServiceClient {
 public:
  Doc add_role_to_instance_profile(const Doc& p);
  Doc attach_role_policy(const Doc& p);
  Doc create_instance_profile(const Doc& p);
  Doc create_policy(const Doc& p);
  Doc create_role(const Doc& p);
  Doc delete_instance_profile(const Doc& p);
  Doc delete_policy(const Doc& p);
  Doc delete_role(const Doc& p);
  Doc detach_role_policy(const Doc& p);
  Doc get_instance_profile(const Doc& p);
  Doc list_instance_profiles_for_role(const Doc& p);
  Doc list_policies(const Doc& p);
  Doc remove_role_from_instance_profile(const Doc& p);
};

class StsClient : public ServiceClient {
 public:
  Doc assume_role(const Doc& p);
  Doc decode_authorization_message(const Doc& p);
  Doc get_caller_identity(const Doc& p);
};

class SsmClient : public ServiceClient {
 public:
  Doc get_parameter(const Doc& p);
  Doc get_parameters_by_path(const Doc& p);
};

// S3 over REST-XML, with the managed transfers.
class S3Client {
 public:
  virtual ~S3Client() = default;
  // Bucket, Prefix, ContinuationToken -> Contents [{Key, LastModified, Size, ...}], NextContinuationToken
  virtual Doc list_objects_v2(const Doc& params) = 0;
  virtual Doc delete_object(const Doc& params) = 0;  // Bucket, Key
  // Single PUT up to 8 MiB, multipart above (aborted on failure).
  virtual void upload_file(const std::string& path, const std::string& bucket, const std::string& key) = 0;
  // Written to a temporary file beside `path`, then renamed: no partial file is ever left.
  virtual void download_file(const std::string& bucket, const std::string& key, const std::string& path) = 0;
};

}  // namespace tarnwick::aws
