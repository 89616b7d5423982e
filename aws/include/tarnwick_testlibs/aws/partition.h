// Which partition a region lies in, for everything that names AWS objects by ARN.
#pragma once
#include <string>

namespace tarnwick::aws {

// The partition of `region` as the vendor's endpoint data has it: "aws", "aws-cn", "aws-us-gov",
// "aws-iso", "aws-iso-b", "aws-iso-e", "aws-iso-f" or "aws-eusc"; "aws" for an empty or unknown
// region. The second field of every ARN ("arn:PARTITION:iam::...").
std::string partitionOf(const std::string& region);

}  // namespace tarnwick::aws
