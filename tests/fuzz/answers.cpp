// Fuzz target: service answers of every protocol. The first line names the operation (a name no
// service has picks one by its length); the rest is read as its answer and as an error answer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol.h"
#include "tarnwick_testlibs/aws/errors.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarnwick::aws::detail;
  static const auto operations = [] {
    std::vector<std::pair<const ServiceModel*, const Operation*>> all;
    for (const char* service : {"ec2", "iam", "sts", "ssm", "s3"})
      for (const auto& [name, op] : serviceModel(service).operations)
        if (op.output) all.emplace_back(&serviceModel(service), &op);
    return all;
  }();
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t eol = std::min(input.find('\n'), input.size());
  auto [model, op] = operations[eol % operations.size()];
  for (const auto& [m, o] : operations)
    if (o->name == input.substr(0, eol)) model = m, op = o;
  tarnwick::aws::http::Response r;
  r.status = 400;
  r.body = input.substr(std::min(eol + 1, size));
  try {
    if (model->protocol == "json")
      parseJsonAnswer(*op, r.body);
    else if (model->protocol == "rest-xml")
      parseXmlBody(*op->output, r.body, op->name);
    else
      parseXmlAnswer(*model, *op, r.body);
  } catch (const tarnwick::aws::ClientError&) {
  }
  parseError(r);
  return 0;
}
