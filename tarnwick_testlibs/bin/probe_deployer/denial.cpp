// Why AWS refused a call. EC2 answers a refusal with UnauthorizedOperation and an encoded message
// that only STS can read; in accounts governed by organisation policies that is the one place
// that says which policy refused the call and which of its conditions the request did not meet.
#include "tarnwick_testlibs/bin/probe_deployer/detail/denial.h"

#include <exception>
#include <map>
#include <set>
#include <string_view>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <nlohmann/json.hpp>

#include "tarnwick_testlibs/aws/views.h"
#include "tarnwick_testlibs/base/text.h"

namespace tarnwick::probe_deployer::detail {

namespace {

using aws::Doc;
using aws::view::Record;

constexpr std::string_view kEncodedMarker = "Encoded authorization failure message:";

// The kinds of policy that AWS names in the text of a denial ("... with an explicit deny in a
// service control policy", "... because no identity-based policy allows ..."); the decoded
// document itself tells only whether the deny was explicit.
struct PolicyKind {
  const char* phrase;
  const char* name;
};
constexpr PolicyKind kPolicyKinds[] = {
    {"service control policy", "an organisation policy (SCP)"},
    {"resource control policy", "an organisation policy (RCP)"},
    {"permissions boundary", "a permissions boundary"},
    {"session policy", "a session policy"},
    {"identity-based policy", "an identity policy"},
    {"resource-based policy", "a resource policy"},
    {"VPC endpoint policy", "a VPC endpoint policy"},
};

struct Explanation {
  std::string text;
  bool decoded = false;
};

std::string encodedPart(const std::string& message) {
  const auto at = message.find(kEncodedMarker);
  return at == std::string::npos ? "" : std::string(text::trim(message.substr(at + kEncodedMarker.size())));
}

std::string readablePart(const std::string& message) {
  return std::string(text::trim(message.substr(0, message.find(kEncodedMarker))));
}

// Members that the service writes as true or as "true".
bool isTrue(const Record& record, const char* member) {
  if (!record.has(member)) return false;
  const Doc& value = record.doc()[member];
  return value.is_boolean() ? value.get<bool>() : value.is_string() && value.get<std::string>() == "true";
}

// {"items": [{"value": "..."}, ...]} -> "a|b"
std::string valuesOf(const Record& condition) {
  std::vector<std::string> values;
  for (const Record& item : condition.object("values").list("items")) values.push_back(item.textOr("value"));
  return fmt::format("{}", fmt::join(values, "|"));
}

std::string whoDenied(const std::string& message, bool explicitDeny) {
  std::string kind;
  for (const PolicyKind& k : kPolicyKinds) {
    if (message.find(k.phrase) == std::string::npos) continue;
    kind = k.name;
    break;
  }
  if (explicitDeny) return "denied explicitly by " + (kind.empty() ? std::string("a policy") : kind);
  return "denied because no statement in " + (kind.empty() ? std::string("any policy") : kind) + " allows it";
}

// The keys of the denying statements' conditions, with what the policy names and what the
// request carried: what the user can change.
std::string failedConditions(const Record& decoded) {
  std::map<std::string, std::string> request;
  for (const Record& c : decoded.object("context").object("conditions").list("items"))
    request[c.textOr("key")] = valuesOf(c);
  std::vector<std::string> failed, statements;
  std::set<std::string> seen;
  for (const Record& statement : decoded.object("matchedStatements").list("items")) {
    if (text::lower(statement.textOr("effect")) != "deny") continue;
    if (!statement.textOr("statementId").empty()) statements.push_back(statement.textOr("statementId"));
    for (const Record& c : statement.object("conditions").list("items")) {
      const std::string key = c.textOr("key");
      if (!seen.insert(key).second) continue;
      const auto asked = request.find(key);
      failed.push_back(fmt::format("{} (policy: {}; request: {})", key, valuesOf(c),
                                   asked == request.end() ? "none" : asked->second));
    }
  }
  std::string text;
  if (!statements.empty()) text += fmt::format(" (statement {})", fmt::join(statements, ", "));
  if (!failed.empty()) text += fmt::format("; condition keys that failed: {}", fmt::join(failed, ", "));
  return text;
}

Explanation explain(aws::StsClient* sts, const aws::ServiceError& denial) {
  const std::string encoded = encodedPart(denial.message());
  if (!sts || denial.code() != "UnauthorizedOperation" || encoded.empty()) return {};
  try {
    const Doc answer = sts->decode_authorization_message({{"EncodedMessage", encoded}});
    const Doc document = Doc::parse(Record(answer, "DecodeAuthorizationMessage").text("DecodedMessage"));
    const Record decoded(document, "the decoded authorization message");
    const std::string resource = decoded.object("context").textOr("resource");
    return {whoDenied(denial.message(), isTrue(decoded, "explicitDeny")) + (resource.empty() ? "" : " on " + resource) +
                failedConditions(decoded),
            true};
  } catch (const aws::ServiceError& e) {
    if (e.httpStatus() == 403 || e.code().starts_with("AccessDenied"))
      return {"the reason stays encoded: decoding it needs sts:DecodeAuthorizationMessage"};
    return {std::string("the reason could not be decoded: ") + e.what()};
  } catch (const std::exception& e) {  // an answer or a decoded document that cannot be read
    return {std::string("the reason could not be decoded: ") + e.what()};
  }
}

}  // namespace

std::string explainDenial(aws::StsClient* sts, const aws::ServiceError& denial) { return explain(sts, denial).text; }

aws::Doc ExplainedDenials::call(const std::string& operation, const aws::Doc& params) {
  try {
    return ec2_.call(operation, params);
  } catch (const aws::ServiceError& e) {
    const Explanation why = explain(sts_, e);
    if (why.text.empty()) throw;
    throw aws::ServiceError(e, (why.decoded ? readablePart(e.message()) : e.message()) + " -- " + why.text);
  }
}

}  // namespace tarnwick::probe_deployer::detail
