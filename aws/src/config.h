// Internal: the shared config and credentials files, environment settings and time stamps.
#pragma once
#include <chrono>
#include <map>
#include <optional>
#include <string>

namespace aws::detail {

// One profile's settings, keys in lower case.
using Profile = std::map<std::string, std::string>;

// The value of an environment variable, absent when unset or empty.
std::optional<std::string> env(const char* name);

std::string sharedConfigPath();       // AWS_CONFIG_FILE, else ~/.aws/config
std::string sharedCredentialsPath();  // AWS_SHARED_CREDENTIALS_FILE, else ~/.aws/credentials

// The profile in use: explicit, else AWS_PROFILE, else "default".
std::string profileName(const std::optional<std::string>& explicitProfile);

// A profile's settings from both files (the credentials file wins); absent when neither file
// has a section for it.
std::optional<Profile> loadProfile(const std::string& name);

// "2024-05-01T12:00:00Z", with optional fraction and numeric offset.
std::optional<std::chrono::system_clock::time_point> parseIso8601(const std::string& text);

}  // namespace aws::detail
