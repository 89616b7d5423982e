// The paginator, and the paging definitions of the operations this layer offers (copied from the
// vendor's published paginator definitions).
#include "tarnwick_testlibs/aws/paginator.h"

#include <map>
#include <optional>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "tarnwick_testlibs/aws/errors.h"
#include "tarnwick_testlibs/base/text.h"

namespace tarnwick::aws {
namespace {

using tarnwick::text::camelFromSnake;

const std::map<std::string, PagingTokens>& pagingDefinitions() {
  static const std::map<std::string, PagingTokens> defs = [] {
    std::map<std::string, PagingTokens> d;
    for (const char* op : {"DescribeImages", "DescribeInstanceStatus", "DescribeInstances", "DescribeNatGateways",
                           "DescribeNetworkInterfaces", "DescribeRouteTables", "DescribeSecurityGroups",
                           "DescribeSubnets", "GetParametersByPath"})
      d[op] = {"NextToken", "NextToken", ""};
    for (const char* op : {"ListInstanceProfilesForRole", "ListPolicies"}) d[op] = {"Marker", "Marker", "IsTruncated"};
    d["ListObjectsV2"] = {"ContinuationToken", "NextContinuationToken", "IsTruncated"};
    return d;
  }();
  return defs;
}

}  // namespace

PagingTokens pagingTokensOf(const std::string& operation) {
  const auto& defs = pagingDefinitions();
  const auto it = defs.find(camelFromSnake(operation));
  if (it == defs.end()) throw ClientError(fmt::format("{} does not page", operation));
  return it->second;
}

struct Paginator::State {
  Call call;
  Doc params;
  PagingTokens tokens;
  std::optional<std::string> sentToken;
  bool done = false;
};

Paginator::Paginator(Call call, const Doc& params, PagingTokens tokens)
    : state_(std::make_unique<State>(
          State{std::move(call), params.is_null() ? Doc::object() : params, std::move(tokens), std::nullopt, false})) {}

Paginator::Paginator(ServiceClient& client, const std::string& operation, const Doc& params)
    : Paginator([&client, op = camelFromSnake(operation)](const Doc& p) { return client.call(op, p); }, params,
                pagingTokensOf(operation)) {}

Paginator::~Paginator() = default;
Paginator::Paginator(Paginator&&) noexcept = default;
Paginator& Paginator::operator=(Paginator&&) noexcept = default;

bool Paginator::next(Doc& page) {
  State& s = *state_;
  if (s.done) return false;
  page = s.call(s.params);
  const auto token = page.find(s.tokens.outputToken);
  const bool more = s.tokens.moreResults.empty() || page.value(s.tokens.moreResults, false);
  if (!more || token == page.end() || !token->is_string() || token->get<std::string>().empty()) {
    s.done = true;
    return true;
  }
  if (s.sentToken == token->get<std::string>())
    throw ClientError(fmt::format("the service handed out the same paging token twice ({})", s.tokens.outputToken));
  s.sentToken = token->get<std::string>();
  s.params[s.tokens.inputToken] = *s.sentToken;
  return true;
}

Doc allPages(ServiceClient& client, const std::string& operation, const Doc& params) {
  const PagingTokens tokens = pagingTokensOf(operation);
  Paginator pages(client, operation, params);
  Doc all, page;
  while (pages.next(page)) {
    if (all.is_null()) {
      all = page;
      continue;
    }
    for (auto& [member, value] : page.items()) {
      if (!value.is_array()) continue;
      Doc& list = all[member];
      if (list.is_null()) list = Doc::array();
      if (list.is_array()) list.insert(list.end(), value.begin(), value.end());
    }
  }
  if (all.is_object()) all.erase(tokens.outputToken);
  return all;
}

}  // namespace tarnwick::aws
