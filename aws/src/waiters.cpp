// EC2 waiters driven by the published definitions in the generated model.
#include "tarnwick_testlibs/aws/waiters.h"

#include <stdexcept>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "model.h"
#include "tarnwick_testlibs/aws/errors.h"

namespace tarnwick::aws {
namespace {

using Json = nlohmann::ordered_json;

// The projections the acceptors use: "A[].B[].C.D" (flatten at each [], then descend).
void collect(const Json& node, const std::vector<std::string>& steps, size_t i, std::vector<Json>& out) {
  if (i == steps.size()) {
    out.push_back(node);
    return;
  }
  std::string step = steps[i];
  const bool flatten = step.size() > 2 && step.ends_with("[]");
  if (flatten) step.resize(step.size() - 2);
  if (!node.is_object() || !node.contains(step)) return;
  const Json& child = node[step];
  if (!flatten) return collect(child, steps, i + 1, out);
  if (!child.is_array()) return;
  for (const auto& e : child) collect(e, steps, i + 1, out);
}

std::vector<Json> search(const Json& doc, const std::string& path) {
  std::vector<std::string> steps;
  size_t start = 0;
  while (true) {
    const size_t dot = path.find('.', start);
    steps.push_back(path.substr(start, dot - start));
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  std::vector<Json> out;
  collect(doc, steps, 0, out);
  return out;
}

bool matches(const Json& acceptor, const Json& answer) {
  const std::string matcher = acceptor.at("matcher");
  const Json& expected = acceptor.at("expected");
  if (matcher == "path") {
    const auto v = search(answer, acceptor.at("argument"));
    return v.size() == 1 && v[0] == expected;
  }
  const auto values = search(answer, acceptor.at("argument"));
  if (matcher == "pathAll") {
    if (values.empty()) return false;
    for (const auto& v : values)
      if (v != expected) return false;
    return true;
  }
  if (matcher == "pathAny") {
    for (const auto& v : values)
      if (v == expected) return true;
    return false;
  }
  return false;
}

// The state the acceptors give this attempt: "success", "failure", "retry" or "" (keep waiting).
std::string stateOf(const Json& acceptors, const Json* answer, const ServiceError* error) {
  for (const auto& a : acceptors) {
    const std::string matcher = a.at("matcher");
    if (matcher == "error") {
      if (error && error->code() == a.at("expected").get<std::string>()) return a.at("state");
    } else if (answer && matcher != "status" && matches(a, *answer)) {
      return a.at("state");
    }
  }
  return "";
}

}  // namespace

Doc wait(Ec2Client& ec2, const std::string& waiterName, const Doc& params, WaiterConfig cfg) {
  return wait(ec2, waiterName, params, cfg.attempts(), cfg.backoff());
}

Doc wait(Ec2Client& ec2, const std::string& waiterName, const Doc& params, RetryPolicy retry, BackoffPolicy backoff) {
  const auto& waiters = detail::serviceModel("ec2").waiters;
  if (!waiters.contains(waiterName)) throw std::invalid_argument("Unknown waiter " + waiterName);
  const Json& def = waiters[waiterName];
  const std::string operation = def.at("operation");
  RetryLoop loop(std::move(retry), std::move(backoff));
  do {
    std::string state;
    Doc answer;
    try {
      answer = ec2.call(operation, params);
      state = stateOf(def.at("acceptors"), &answer, nullptr);
    } catch (const ServiceError& e) {
      state = stateOf(def.at("acceptors"), nullptr, &e);
      if (state.empty())
        throw WaiterError(
            fmt::format("Waiter {} failed: An error occurred ({}): {}", waiterName, e.code(), e.message()));
    }
    if (state == "success") return answer;
    if (state == "failure")
      throw WaiterError(fmt::format("Waiter {} failed: Waiter encountered a terminal failure state", waiterName));
  } while (loop.another());
  throw WaiterError(fmt::format("Waiter {} failed: Max attempts exceeded", waiterName));
}

}  // namespace tarnwick::aws
