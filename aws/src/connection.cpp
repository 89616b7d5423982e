// How a client's connections are made: the CA bundle and time-outs the user set.
#include "connection.h"

#include <charconv>
#include <cmath>

#include <fmt/format.h>

#include "config.h"
#include "tarnwick_testlibs/aws/errors.h"

namespace tarnwick::aws::detail {

namespace {

// Seconds, fractions allowed, more than zero and at most a day.
std::optional<double> secondsSetting(const char* envName, const std::string& key,
                                     const std::optional<std::string>& profile) {
  auto setting = userSetting(envName, key, profile);
  if (!setting) return std::nullopt;
  double seconds = 0;
  const char* end = setting->value.data() + setting->value.size();
  const auto [stop, error] = std::from_chars(setting->value.data(), end, seconds);
  if (error != std::errc() || stop != end || !(seconds > 0) || seconds > 86400)
    throw ClientError(fmt::format("{} must be a number of seconds, not \"{}\"", setting->source, setting->value));
  return seconds;
}

}  // namespace

ConnectionSettings ConnectionSettings::resolve(const std::optional<std::string>& profile) {
  ConnectionSettings c;
  if (auto bundle = userSetting("AWS_CA_BUNDLE", "ca_bundle", profile)) c.caBundle = bundle->value;
  if (auto s = secondsSetting("AWS_CONNECT_TIMEOUT", "connect_timeout", profile))
    c.connectTimeoutMs = static_cast<long>(std::ceil(*s * 1000));
  if (auto s = secondsSetting("AWS_READ_TIMEOUT", "read_timeout", profile))
    c.readTimeoutSec = static_cast<long>(std::ceil(*s));
  return c;
}

void ConnectionSettings::applyTo(http::Request& r) const {
  if (!caBundle.empty()) r.caBundle = caBundle;
  r.connectTimeoutMs = connectTimeoutMs;
  // A read time-out bounds the wait for the next bytes, as a socket's does, not the whole call.
  if (readTimeoutSec) {
    r.inactivityTimeoutSec = *readTimeoutSec;
    r.totalTimeoutMs = 0;
  }
}

}  // namespace tarnwick::aws::detail
