// Internal: model-driven request serializers, answer parsers and error parsing for the protocols.
#pragma once
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "model.h"
#include "tarnwick_testlibs/aws/http.h"

namespace tarnwick::aws::detail {

using Json = nlohmann::ordered_json;
using Fields = std::vector<std::pair<std::string, std::string>>;

// Throws ClientError when `params` has a member the shape does not know, or a member of the
// wrong kind (an object where a list belongs, ...).
void validate(const Shape* input, const Json& params);

// A copy of `params` with every absent idempotency token filled with a fresh UUID.
Json withIdempotencyTokens(const Shape* input, const Json& params);

// Form fields of an EC2 query or query-protocol call, Action and Version first.
Fields serializeQuery(const ServiceModel& model, const Operation& op, const Json& params);
// Body of a JSON 1.1 call.
std::string serializeJson(const Operation& op, const Json& params);

// Answer bodies to documents by the output shape; absent members stay absent. A body that does
// not parse, nests too deeply or holds a value of the wrong kind throws ClientError "Malformed
// ... answer to <operation>: ...".
Json parseXmlAnswer(const ServiceModel& model, const Operation& op, const std::string& body);
Json parseJsonAnswer(const Operation& op, const std::string& body);
// A REST-XML body whose root element carries the members of `shape`.
Json parseXmlBody(const Shape& shape, const std::string& body, const std::string& operation);

struct ErrorInfo {
  std::string code, message, requestId;
};
// Any error format: EC2 Response/Errors/Error, query ErrorResponse/Error, S3 Error, JSON __type,
// headers; a bare status gives its number as the code.
ErrorInfo parseError(const http::Response& r);
// The error code of an answer that is an error ("" for a success), for the retry decision.
std::string errorCodeOf(const http::Response& r);
// Throws ServiceError for the error answer `r`.
[[noreturn]] void throwServiceError(const http::Response& r, const std::string& operation);

// Epoch seconds as ISO 8601 UTC text ("2024-01-08T10:00:00Z", milliseconds when present).
// Throws ClientError outside the years 1 to 9999.
std::string isoTime(double epochSeconds);

}  // namespace tarnwick::aws::detail
