// Internal: the compact service model (generated into model_data.cpp) as linked shapes.
#pragma once
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace tarnwick::aws::detail {

extern const char* const kModelJson;

struct Shape;

// A structure member, a list's element or a map's key or value.
struct MemberRef {
  std::string name;
  const Shape* shape = nullptr;
  std::string locationName;  // the wire name, when it differs from `name`
  std::string queryName;     // EC2 only
  std::string location;      // REST: "uri", "querystring", "header", "headers", "statusCode"
  bool flattened = false;
  bool idempotencyToken = false;
  bool xmlAttribute = false;
  const std::string& wireName() const { return locationName.empty() ? name : locationName; }
};

struct Shape {
  std::string name;
  std::string type;                // structure, list, map, string, integer, long, boolean, timestamp, blob, ...
  std::vector<MemberRef> members;  // structure, in model order
  MemberRef member;                // list element
  MemberRef key, value;            // map
  bool flattened = false;
  std::string locationName;
  const MemberRef* find(const std::string& memberName) const;
};

struct Operation {
  std::string name;
  const Shape* input = nullptr;   // may be null
  const Shape* output = nullptr;  // may be null
  std::string resultWrapper;
  std::string method;
  std::string requestUri;
};

struct ServiceModel {
  std::string name;  // "ec2", "iam", "sts", "ssm", "s3"
  std::string protocol, apiVersion, signingName, serviceId, targetPrefix, jsonVersion;
  std::map<std::string, Shape> shapes;
  std::map<std::string, Operation> operations;
  nlohmann::ordered_json waiters;  // our waiter name -> its published definition

  // The operation by its model name ("DescribeInstances") or its snake-case name
  // ("describe_instances"); throws ClientError when the layer does not offer it.
  const Operation& operation(const std::string& name) const;
};

// The model of one service, built once on first use. Throws std::out_of_range for others.
const ServiceModel& serviceModel(const std::string& service);

}  // namespace tarnwick::aws::detail
