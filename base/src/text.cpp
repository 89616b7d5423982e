#include "tarnwick_testlibs/base/text.h"

#include <algorithm>
#include <cctype>

namespace tarnwick::text {

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

std::string camelFromSnake(std::string_view snake) {
  std::string camel;
  bool upper = true;
  for (char c : snake) {
    if (c == '_') {
      upper = true;
      continue;
    }
    camel += upper ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
    upper = false;
  }
  return camel;
}

}  // namespace tarnwick::text
