// Shared config and credentials files, the settings read from them and the environment, retry settings.
#include "config.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <stdexcept>
#include <vector>

#include <fmt/format.h>

#include "retry_strategy.h"
#include "tarnwick_testlibs/aws/errors.h"
#include "tarnwick_testlibs/base/text.h"

namespace tarnwick::aws::detail {
namespace {

using tarnwick::text::lower;
using tarnwick::text::trim;

using IniFile = std::map<std::string, Profile>;

std::string homeFile(const char* envName, const char* relative) {
  if (auto p = env(envName)) {
    if (p->rfind("~/", 0) == 0) return std::string(std::getenv("HOME") ? std::getenv("HOME") : "") + p->substr(1);
    return *p;
  }
  const char* home = std::getenv("HOME");
  return std::string(home ? home : "") + relative;
}

// "profile x", "profile  \"x\" ", " x " all name the same section: the kind word and the name,
// each unquoted, joined by one blank.
std::string sectionName(const std::string& header) {
  std::vector<std::string> words;
  std::string word;
  bool quoted = false, inWord = false;
  for (char c : header) {
    if (c == '"') {
      quoted = !quoted;
      inWord = true;
    } else if (!quoted && (c == ' ' || c == '\t')) {
      if (inWord) words.push_back(word);
      word.clear();
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (inWord) words.push_back(word);
  if (words.size() == 2) return words[0] + " " + words[1];
  return std::string(trim(header));
}

// Section names normalised (sectionName); nested (indented) values are folded into "key.sub" entries.
IniFile readIni(const std::string& path) {
  IniFile ini;
  std::ifstream in(path);
  std::string line, section, parentKey;
  bool inSection = false;
  while (std::getline(in, line)) {
    bool indented = !line.empty() && (line[0] == ' ' || line[0] == '\t');
    std::string t(trim(line));
    if (t.empty() || t[0] == '#' || t[0] == ';') continue;
    if (t.front() == '[' && t.back() == ']') {
      section = sectionName(t.substr(1, t.size() - 2));
      ini[section];
      inSection = true;
      parentKey.clear();
      continue;
    }
    if (!inSection) continue;
    auto eq = t.find('=');
    if (eq == std::string::npos) continue;
    std::string key = lower(std::string(trim(std::string_view(t).substr(0, eq))));
    std::string value(trim(std::string_view(t).substr(eq + 1)));
    if (indented && !parentKey.empty()) {
      ini[section][parentKey + "." + key] = value;
      continue;
    }
    ini[section][key] = value;
    parentKey = value.empty() ? key : "";
  }
  return ini;
}

std::optional<Profile> section(const IniFile& ini, const std::string& name) {
  auto it = ini.find(name);
  if (it == ini.end()) return std::nullopt;
  return it->second;
}

const Profile* configSection(const IniFile& config, const std::string& name) {
  auto it = config.find("profile " + name);
  if (it == config.end() && name == "default") it = config.find("default");
  return it == config.end() ? nullptr : &it->second;
}

}  // namespace

std::optional<std::string> env(const char* name) {
  const char* v = std::getenv(name);
  if (!v || !*v) return std::nullopt;
  return std::string(v);
}

std::string sharedConfigPath() { return homeFile("AWS_CONFIG_FILE", "/.aws/config"); }
std::string sharedCredentialsPath() { return homeFile("AWS_SHARED_CREDENTIALS_FILE", "/.aws/credentials"); }

std::string profileName(const std::optional<std::string>& explicitProfile) {
  if (explicitProfile && !explicitProfile->empty()) return *explicitProfile;
  // AWS_DEFAULT_PROFILE first, as the vendor's Python SDK reads them.
  if (auto p = env("AWS_DEFAULT_PROFILE")) return *p;
  if (auto p = env("AWS_PROFILE")) return *p;
  return "default";
}

std::optional<Profile> loadProfile(const std::string& name) {
  IniFile config = readIni(sharedConfigPath());
  IniFile credentials = readIni(sharedCredentialsPath());
  const Profile* fromConfig = configSection(config, name);
  auto fromCredentials = credentials.find(name);
  if (!fromConfig && fromCredentials == credentials.end()) return std::nullopt;
  Profile merged = fromConfig ? *fromConfig : Profile{};
  if (fromCredentials != credentials.end())
    for (const auto& [k, v] : fromCredentials->second) merged[k] = v;
  return merged;
}

std::optional<std::chrono::system_clock::time_point> parseIso8601(const std::string& text) {
  std::tm tm{};
  int y, mo, d, h, mi, s;
  char sep;
  int consumed = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d%n", &y, &mo, &d, &sep, &h, &mi, &s, &consumed) < 7)
    return std::nullopt;
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  // Counted in seconds: the clock's nanoseconds end in 2262, yet expiries such as
  // "2999-01-01T00:00:00Z" are common. Times beyond its range are clamped to its ends.
  std::chrono::seconds t(timegm(&tm));
  std::string rest = text.substr(static_cast<size_t>(consumed));
  if (!rest.empty() && rest[0] == '.') {
    size_t n = 1;
    while (n < rest.size() && std::isdigit(static_cast<unsigned char>(rest[n]))) ++n;
    rest = rest.substr(n);
  }
  if (!rest.empty() && (rest[0] == '+' || rest[0] == '-')) {
    int oh = 0, om = 0;
    if (std::sscanf(rest.c_str() + 1, "%2d:%2d", &oh, &om) < 1) return std::nullopt;
    auto offset = std::chrono::hours(oh) + std::chrono::minutes(om);
    t = rest[0] == '+' ? t - offset : t + offset;
  }
  constexpr auto limit = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::duration::max());
  return std::chrono::system_clock::time_point(std::clamp(t, -limit, limit));
}

std::optional<Profile> loadSsoSession(const std::string& name) {
  return section(readIni(sharedConfigPath()), "sso-session " + name);
}

std::optional<Profile> loadServicesSection(const std::string& name) {
  return section(readIni(sharedConfigPath()), "services " + name);
}

std::optional<std::string> profileSetting(const std::optional<std::string>& profile, const std::string& key) {
  auto p = loadProfile(profileName(profile));
  if (!p) return std::nullopt;
  auto it = p->find(key);
  if (it == p->end() || it->second.empty()) return std::nullopt;
  return it->second;
}

std::optional<UserSetting> userSetting(const char* envName, const std::string& key,
                                       const std::optional<std::string>& profile) {
  if (auto v = env(envName)) return UserSetting{*v, envName};
  if (auto v = profileSetting(profile, key)) return UserSetting{*v, key + " in the config file"};
  return std::nullopt;
}

// Anything but true or false is an error, so that a typo never quietly means "off".
bool flagSetting(const char* envName, const std::string& key, const std::optional<std::string>& profile) {
  auto setting = userSetting(envName, key, profile);
  if (!setting) return false;
  std::string v = lower(setting->value);
  if (v == "true" || v == "false") return v == "true";
  throw ClientError(fmt::format("{} must be true or false, not \"{}\"", setting->source, setting->value));
}

RetryConfig RetryConfig::resolve(const std::optional<std::string>& profile) {
  RetryConfig c;
  if (auto mode = userSetting("AWS_RETRY_MODE", "retry_mode", profile)) {
    std::string m = lower(mode->value);
    if (m != "standard" && m != "legacy" && m != "adaptive")
      throw ClientError(fmt::format("{} must be standard, legacy or adaptive, not \"{}\"", mode->source, mode->value));
    c.mode = m;
    c.modeSetByUser = true;
  }
  if (auto attempts = userSetting("AWS_MAX_ATTEMPTS", "max_attempts", profile)) {
    size_t used = 0;
    int n = 0;
    try {
      n = std::stoi(attempts->value, &used);
    } catch (const std::logic_error&) {  // not a number, or out of range
      used = 0;
    }
    if (used != attempts->value.size() || n < 1)
      throw ClientError(fmt::format("{} must be a positive number, not \"{}\"", attempts->source, attempts->value));
    c.maxAttempts = n;
  }
  if (!c.modeSetByUser) c.mode = programDefaultMode();
  return c;
}

}  // namespace tarnwick::aws::detail
