// Internal: the shared config and credentials files, environment settings and time stamps.
#pragma once
#include <chrono>
#include <map>
#include <optional>
#include <string>

namespace tarnwick::aws::detail {

// One profile's settings, keys in lower case.
using Profile = std::map<std::string, std::string>;

// The value of an environment variable, absent when unset or empty.
std::optional<std::string> env(const char* name);

std::string sharedConfigPath();       // AWS_CONFIG_FILE, else ~/.aws/config
std::string sharedCredentialsPath();  // AWS_SHARED_CREDENTIALS_FILE, else ~/.aws/credentials

// The profile in use: explicit, else AWS_DEFAULT_PROFILE, AWS_PROFILE, else "default".
std::string profileName(const std::optional<std::string>& explicitProfile);

// An [sso-session NAME] section of the shared config file; absent when there is none.
std::optional<Profile> loadSsoSession(const std::string& name);

// A [services NAME] section of the shared config file; absent when there is none.
std::optional<Profile> loadServicesSection(const std::string& name);

// A non-empty setting of the profile in use (explicit, else AWS_DEFAULT_PROFILE, AWS_PROFILE, "default").
std::optional<std::string> profileSetting(const std::optional<std::string>& profile, const std::string& key);

// A setting the user made, and where it was made (for error messages).
struct UserSetting {
  std::string value;
  std::string source;  // "AWS_RETRY_MODE", "retry_mode in the config file"
};
// The environment variable, else the profile's key.
std::optional<UserSetting> userSetting(const char* envName, const std::string& key,
                                       const std::optional<std::string>& profile);

// A true/false setting (environment, else the profile's key); false when unset. Any other value
// throws ClientError, so that a typo never quietly means "off".
bool flagSetting(const char* envName, const std::string& key, const std::optional<std::string>& profile);

// A profile's settings from both files (the credentials file wins); absent when neither file
// has a section for it.
std::optional<Profile> loadProfile(const std::string& name);

// "2024-05-01T12:00:00Z", with optional fraction and numeric offset.
std::optional<std::chrono::system_clock::time_point> parseIso8601(const std::string& text);

}  // namespace tarnwick::aws::detail
