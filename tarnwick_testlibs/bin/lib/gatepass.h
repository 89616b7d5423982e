// Controller login: an API token, then a session identifier (CID), each kept for 20 minutes.
#pragma once
#include <string>

namespace tarnwick::gatepass {

inline constexpr const char* kLogger = "tarnwick_testlibs.bin.lib.gatepass";
inline constexpr const char* kTokenFailure = "Failed to acquire token";
inline constexpr const char* kLoginFailure = "Login failed";
inline constexpr int kCacheSeconds = 1200;

// The API token, or kTokenFailure when the answer holds none. The user name and password only
// form the cache key. A controller that cannot be reached throws aws::ClientError (not cached).
std::string get_tarnwick_token(const std::string& controller_ip, const std::string& username,
                               const std::string& password);

// The CID, or kLoginFailure when the answer holds none. Failure texts are cached like results.
std::string get_tarnwick_cid(const std::string& controller_ip, const std::string& username,
                             const std::string& password);

// Empties both caches (tests).
void clearCaches();

}  // namespace tarnwick::gatepass
