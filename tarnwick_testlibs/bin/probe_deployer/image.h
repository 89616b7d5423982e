// Image lookup.
#pragma once
#include <string>

#include "tarnwick_testlibs/aws/services.h"
#include "tarnwick_testlibs/bin/probe_deployer/common.h"

namespace tarnwick::probe_deployer {

// The image the `image` option names: its identifier and its architecture ("x86_64", "arm64").
struct ImageInfo {
  std::string id;
  std::string architecture;  // empty when not known
};

// As getAMIByName for the image named `image`, with the architecture the same answer gives, so
// that a deploy need not ask again.
ImageInfo lookupImage(aws::Ec2Client& ec2_client, const std::string& image);
std::string getAMIByName(aws::Ec2Client& ec2_client, const Options& args);
std::string getAMI(aws::SsmClient& ssm_client, const Options& args);

}  // namespace tarnwick::probe_deployer
