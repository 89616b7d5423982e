// Text helpers shared by every layer.
#pragma once
#include <string>
#include <string_view>

namespace tarnwick::text {

// ASCII lower case; other bytes pass unchanged.
std::string lower(std::string s);

// `s` without leading and trailing white space (as std::isspace in the C locale counts it).
std::string_view trim(std::string_view s);

}  // namespace tarnwick::text
