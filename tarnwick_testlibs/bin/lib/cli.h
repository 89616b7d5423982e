// Command-line parsing for both programs: declared-order help, unambiguous prefixes, sub-commands.
#pragma once
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick::cli {

// The options record: one field per option, named as the option without its leading dashes.
// Value options hold text or are absent; flags hold booleans.
class Args {
 public:
  std::optional<std::string> get(std::string_view name) const;
  // The value, or `fallback` when the field is absent.
  std::string value(std::string_view name, std::string_view fallback = "") const;
  // True when the value is present and not empty.
  bool nonEmpty(std::string_view name) const;
  bool flag(std::string_view name) const;  // false when absent
  bool has(std::string_view name) const;   // the field exists (value or flag)

  Args& set(std::string name, std::string value);
  Args& setFlag(std::string name, bool value = true);
  Args& unset(const std::string& name);

 private:
  std::map<std::string, std::string, std::less<>> values_;
  std::map<std::string, bool, std::less<>> flags_;
};

}  // namespace tarnwick::cli
