// Text helpers shared by every layer.
#pragma once
#include <string>
#include <string_view>

namespace tarnwick::text {

// ASCII lower case; other bytes pass unchanged.
std::string lower(std::string s);

// `s` without leading and trailing white space (as std::isspace in the C locale counts it).
std::string_view trim(std::string_view s);

// "list_policies" -> "ListPolicies": the service model's name for an operation called by its
// snake_case method name. A name without underscores only gets its first letter raised, so a
// model name stays as it is.
std::string camelFromSnake(std::string_view snake);

}  // namespace tarnwick::text
