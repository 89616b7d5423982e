// The model-driven clients of the query (EC2, IAM, STS) and JSON 1.1 (SSM) services.
#include "clients.h"

#include <fmt/format.h>

#include "connection.h"
#include "endpoints.h"
#include "model.h"
#include "protocol.h"
#include "retry_strategy.h"
#include "tarnwick_testlibs/aws/errors.h"
#include "transport.h"

namespace tarnwick::aws {

namespace {
constexpr const char* kResponseMetadata = "ResponseMetadata";
constexpr const char* kAfterLostAnswer = "AfterLostAnswer";
}  // namespace

bool afterLostAnswer(const Doc& answer) {
  const auto metadata = answer.find(kResponseMetadata);
  return metadata != answer.end() && metadata->is_object() && metadata->value(kAfterLostAnswer, false);
}

void markAfterLostAnswer(Doc& answer) { answer[kResponseMetadata][kAfterLostAnswer] = true; }

// ---- the named operations, conveniences over call()

Doc Ec2Client::allocate_address(const Doc& p) { return call("AllocateAddress", p); }
Doc Ec2Client::associate_address(const Doc& p) { return call("AssociateAddress", p); }
Doc Ec2Client::authorize_security_group_ingress(const Doc& p) { return call("AuthorizeSecurityGroupIngress", p); }
Doc Ec2Client::create_key_pair(const Doc& p) { return call("CreateKeyPair", p); }
Doc Ec2Client::create_security_group(const Doc& p) { return call("CreateSecurityGroup", p); }
Doc Ec2Client::create_tags(const Doc& p) { return call("CreateTags", p); }
Doc Ec2Client::delete_key_pair(const Doc& p) { return call("DeleteKeyPair", p); }
Doc Ec2Client::delete_security_group(const Doc& p) { return call("DeleteSecurityGroup", p); }
Doc Ec2Client::describe_account_attributes(const Doc& p) { return call("DescribeAccountAttributes", p); }
Doc Ec2Client::describe_addresses(const Doc& p) { return call("DescribeAddresses", p); }
Doc Ec2Client::describe_images(const Doc& p) { return call("DescribeImages", p); }
Doc Ec2Client::describe_instance_status(const Doc& p) { return call("DescribeInstanceStatus", p); }
Doc Ec2Client::describe_instance_type_offerings(const Doc& p) { return call("DescribeInstanceTypeOfferings", p); }
Doc Ec2Client::describe_instance_types(const Doc& p) { return call("DescribeInstanceTypes", p); }
Doc Ec2Client::describe_instances(const Doc& p) { return call("DescribeInstances", p); }
Doc Ec2Client::describe_key_pairs(const Doc& p) { return call("DescribeKeyPairs", p); }
Doc Ec2Client::describe_nat_gateways(const Doc& p) { return call("DescribeNatGateways", p); }
Doc Ec2Client::describe_network_interfaces(const Doc& p) { return call("DescribeNetworkInterfaces", p); }
Doc Ec2Client::describe_route_tables(const Doc& p) { return call("DescribeRouteTables", p); }
Doc Ec2Client::describe_security_groups(const Doc& p) { return call("DescribeSecurityGroups", p); }
Doc Ec2Client::describe_subnets(const Doc& p) { return call("DescribeSubnets", p); }
Doc Ec2Client::describe_vpcs(const Doc& p) { return call("DescribeVpcs", p); }
Doc Ec2Client::release_address(const Doc& p) { return call("ReleaseAddress", p); }
Doc Ec2Client::run_instances(const Doc& p) { return call("RunInstances", p); }
Doc Ec2Client::terminate_instances(const Doc& p) { return call("TerminateInstances", p); }

Doc IamClient::add_role_to_instance_profile(const Doc& p) { return call("AddRoleToInstanceProfile", p); }
Doc IamClient::attach_role_policy(const Doc& p) { return call("AttachRolePolicy", p); }
Doc IamClient::create_instance_profile(const Doc& p) { return call("CreateInstanceProfile", p); }
Doc IamClient::create_policy(const Doc& p) { return call("CreatePolicy", p); }
Doc IamClient::create_role(const Doc& p) { return call("CreateRole", p); }
Doc IamClient::delete_instance_profile(const Doc& p) { return call("DeleteInstanceProfile", p); }
Doc IamClient::delete_policy(const Doc& p) { return call("DeletePolicy", p); }
Doc IamClient::delete_role(const Doc& p) { return call("DeleteRole", p); }
Doc IamClient::detach_role_policy(const Doc& p) { return call("DetachRolePolicy", p); }
Doc IamClient::get_instance_profile(const Doc& p) { return call("GetInstanceProfile", p); }
Doc IamClient::list_instance_profiles_for_role(const Doc& p) { return call("ListInstanceProfilesForRole", p); }
Doc IamClient::list_policies(const Doc& p) { return call("ListPolicies", p); }
Doc IamClient::remove_role_from_instance_profile(const Doc& p) { return call("RemoveRoleFromInstanceProfile", p); }

Doc StsClient::assume_role(const Doc& p) { return call("AssumeRole", p); }
Doc StsClient::decode_authorization_message(const Doc& p) { return call("DecodeAuthorizationMessage", p); }
Doc StsClient::get_caller_identity(const Doc& p) { return call("GetCallerIdentity", p); }

Doc SsmClient::get_parameter(const Doc& p) { return call("GetParameter", p); }
Doc SsmClient::get_parameters_by_path(const Doc& p) { return call("GetParametersByPath", p); }

namespace detail {
namespace {

// One service's calls: validate against the model, serialize, send through the transport
// (which signs and retries), parse the answer or raise the service's error.
class ModelCaller {
 public:
  ModelCaller(const std::string& service, const std::string& region, std::shared_ptr<CredentialsProvider> creds,
              const std::optional<std::string>& profile)
      : model_(serviceModel(service)),
        endpoint_(serviceEndpoint(model_.serviceId, region, profile)),
        transport_(model_.signingName, endpoint_.signingRegion, std::move(creds), RetryConfig::resolve(profile),
                   ConnectionSettings::resolve(profile)) {}

  Doc invoke(const std::string& operation, const Doc& params) {
    const Operation& op = model_.operation(operation);
    validate(op.input, params);
    // The token is filled once here, so the transport's retries of this call all carry it.
    const Doc request = withIdempotencyTokens(op.input, params);
    const Transport::Answer r = transport_.send(build(op, request), errorCodeOf);
    if (r.status < 200 || r.status >= 300) throwRefusal(r, op.name);
    Doc answer = model_.protocol == "json" ? parseJsonAnswer(op, r.body) : parseXmlAnswer(model_, op, r.body);
    if (r.afterLostAnswer) markAfterLostAnswer(answer);
    return answer;
  }

 private:
  [[noreturn]] static void throwRefusal(const Transport::Answer& r, const std::string& operation) {
    try {
      throwServiceError(r, operation);
    } catch (ServiceError& e) {
      if (r.afterLostAnswer) e.markAfterLostAnswer();
      throw;
    }
  }

  http::Request build(const Operation& op, const Doc& params) const {
    http::Request req;
    req.method = "POST";
    req.url = endpoint_.url + "/";
    if (model_.protocol == "json") {
      req.headers.emplace_back("Content-Type", "application/x-amz-json-" + model_.jsonVersion);
      req.headers.emplace_back("X-Amz-Target", model_.targetPrefix + "." + op.name);
      req.body = serializeJson(op, params);
    } else {
      req.headers.emplace_back("Content-Type", "application/x-www-form-urlencoded; charset=utf-8");
      req.body = http::formEncode(serializeQuery(model_, op, params));
    }
    return req;
  }

  const ServiceModel& model_;
  ServiceEndpoint endpoint_;
  Transport transport_;
};

template <class Interface>
class ModelClient : public Interface {
 public:
  ModelClient(const std::string& service, const std::string& region, std::shared_ptr<CredentialsProvider> creds,
              const std::optional<std::string>& profile)
      : caller_(service, region, std::move(creds), profile) {}
  Doc call(const std::string& operation, const Doc& params) override { return caller_.invoke(operation, params); }

 private:
  ModelCaller caller_;
};

}  // namespace

std::shared_ptr<Ec2Client> makeEc2(const std::string& region, std::shared_ptr<CredentialsProvider> creds,
                                   const std::optional<std::string>& profile) {
  return std::make_shared<ModelClient<Ec2Client>>("ec2", region, std::move(creds), profile);
}
std::shared_ptr<IamClient> makeIam(const std::string& region, std::shared_ptr<CredentialsProvider> creds,
                                   const std::optional<std::string>& profile) {
  return std::make_shared<ModelClient<IamClient>>("iam", region, std::move(creds), profile);
}
std::shared_ptr<StsClient> makeSts(const std::string& region, std::shared_ptr<CredentialsProvider> creds,
                                   const std::optional<std::string>& profile) {
  return std::make_shared<ModelClient<StsClient>>("sts", region, std::move(creds), profile);
}
std::shared_ptr<SsmClient> makeSsm(const std::string& region, std::shared_ptr<CredentialsProvider> creds,
                                   const std::optional<std::string>& profile) {
  return std::make_shared<ModelClient<SsmClient>>("ssm", region, std::move(creds), profile);
}

}  // namespace detail
}  // namespace tarnwick::aws
