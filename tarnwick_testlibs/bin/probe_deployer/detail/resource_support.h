// Small pieces shared by the resource operations (groups, key pairs, IAM, addresses): request
// fragments, what a repeated call's own earlier effect means, the deployment logger and the
// one-line failure report on standard error.
#pragma once
#include <exception>
#include <initializer_list>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "tarnwick_testlibs/aws/errors.h"
#include "tarnwick_testlibs/aws/services.h"
#include "tarnwick_testlibs/bin/core/AppExitStatus.h"
#include "tarnwick_testlibs/bin/core/logging.h"
#include "tarnwick_testlibs/bin/probe_deployer/common.h"

namespace tarnwick::probe_deployer::detail {

inline logging::Logger& log() { return logging::getLogger(kLogger); }

// {"Name": name, "Values": [values...]}, from a braced list or any container of text.
template <class Values = std::initializer_list<std::string>>
Doc filter(const std::string& name, const Values& values) {
  Doc f = {{"Name", name}, {"Values", Doc::array()}};
  for (const auto& v : values) f["Values"].push_back(v);
  return f;
}

// Instances that exist or are about to: shutting-down and terminated ones stay listed for about an
// hour after a revert and must not be mistaken for test instances still in place.
inline Doc liveInstanceStates() { return filter("instance-state-name", {"pending", "running", "stopping", "stopped"}); }

// [{"ResourceType": type, "Tags": [{"Key": "Name", "Value": name}]}]
inline Doc nameTagSpecs(const std::string& resourceType, const std::string& name) {
  return Doc::array({{{"ResourceType", resourceType}, {"Tags", Doc::array({{{"Key", "Name"}, {"Value", name}}})}}});
}

// True when a call was refused with `code` only because it was a repeat: an earlier attempt,
// whose answer was lost, did the work ("already exists" for a create, "not found" for a delete).
// A first attempt refused so has met someone else's object and keeps its ordinary handling.
inline bool doneByLostAttempt(const aws::ServiceError& e, std::string_view code) {
  return aws::afterLostAnswer(e.response()) && e.code() == code;
}

// Runs `call` and hands back what it returns, or `ownEffect(refusal)` when the call was refused
// with `code` because it met its own earlier effect (doneByLostAttempt). Every other failure passes.
template <typename Call, typename OwnEffect>
auto repeatTolerant(Call&& call, std::string_view code, OwnEffect&& ownEffect) -> decltype(call()) {
  try {
    return call();
  } catch (const aws::ServiceError& e) {
    if (!doneByLostAttempt(e, code)) throw;
    return ownEffect(e);
  }
}

// The answer of `call`, a client call; nothing when it met its own earlier effect.
template <typename Call>
std::optional<Doc> repeatTolerant(Call&& call, std::string_view code) {
  return repeatTolerant([&]() -> std::optional<Doc> { return call(); }, code,
                        [](const aws::ServiceError&) -> std::optional<Doc> { return std::nullopt; });
}

// Stands in for a call trace: the failure's kind and message, on standard error.
inline void reportFailure(const std::exception& e) { std::cerr << tarnwick::describeFailure(e) << std::endl; }

}  // namespace tarnwick::probe_deployer::detail
