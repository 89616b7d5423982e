// Why AWS refused a call: the encoded authorization message of an UnauthorizedOperation, decoded
// by STS into what denied the call and which condition keys failed. Internal to the module.
#pragma once
#include <string>

#include "tarnwick_testlibs/aws/errors.h"
#include "tarnwick_testlibs/aws/services.h"

namespace tarnwick::probe_deployer::detail {

// What the user has to change, in one line: which kind of policy denied the call (an
// organisation policy, a permissions boundary, an identity policy ...), on which resource, and
// the condition keys that failed with the request's values. "" when `denial` carries no encoded
// message. Without an STS client, or when STS refuses the decode, the line names the permission
// the decode needs; the decode's other failures are named, never thrown.
std::string explainDenial(aws::StsClient* sts, const aws::ServiceError& denial);

// The deploy's EC2 client whose denials say why: an UnauthorizedOperation with an encoded message
// is thrown again with the message's readable part followed by explainDenial's line (the encoded
// part stays when it could not be decoded, for the user to decode elsewhere).
class ExplainedDenials : public aws::Ec2Client {
 public:
  ExplainedDenials(aws::Ec2Client& ec2, aws::StsClient* sts) : ec2_(ec2), sts_(sts) {}
  aws::Doc call(const std::string& operation, const aws::Doc& params) override;

 private:
  aws::Ec2Client& ec2_;
  aws::StsClient* sts_;
};

}  // namespace tarnwick::probe_deployer::detail
