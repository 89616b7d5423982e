// Controller login with two one-entry caches keyed by (address, user, password).
#include "tarnwick_testlibs/bin/lib/gatepass.h"

#include <chrono>
#include <optional>
#include <tuple>

#include <nlohmann/json.hpp>

#include "tarnwick_testlibs/aws/clock.h"
#include "tarnwick_testlibs/bin/core/logging.h"
#include "tarnwick_testlibs/bin/lib/twk_https.h"

namespace tarnwick::gatepass {
namespace {

using Key = std::tuple<std::string, std::string, std::string>;

// At most one entry; it lives kCacheSeconds from the moment it was stored.
class OneEntryCache {
 public:
  std::optional<std::string> lookup(const Key& key) const {
    if (!entry_ || entry_->key != key) return std::nullopt;
    if (aws::clock().now() - entry_->stored >= std::chrono::seconds(kCacheSeconds)) return std::nullopt;
    return entry_->value;
  }
  void store(const Key& key, const std::string& value) { entry_ = Entry{key, value, aws::clock().now()}; }
  void clear() { entry_.reset(); }

 private:
  struct Entry {
    Key key;
    std::string value;
    std::chrono::system_clock::time_point stored;
  };
  std::optional<Entry> entry_;
};

OneEntryCache tokenCache;
OneEntryCache cidCache;

std::string endpoint(const std::string& controller_ip) { return "https://" + controller_ip + "/v2/api"; }

// The text at `path` in the JSON body, or nullopt when the body is not JSON or lacks it.
std::optional<std::string> textAt(const std::string& body, std::initializer_list<const char*> path) {
  try {
    auto node = nlohmann::ordered_json::parse(body);
    for (const char* key : path) node = nlohmann::ordered_json(node.at(key));
    return node.get<std::string>();
  } catch (const nlohmann::ordered_json::exception&) {
    return std::nullopt;
  }
}

std::string requestToken(const std::string& controller_ip) {
  twk_https::ControllerRequest request;
  request.method = "GET";
  request.url = endpoint(controller_ip);
  request.payload = {{"action", "get_api_token"}};
  request.payloadIn = twk_https::PayloadIn::Body;
  auto token = textAt(twk_https::send(request).body, {"results", "api_token"});
  if (token) return *token;
  logging::getLogger(kLogger).info(kTokenFailure);
  return kTokenFailure;
}

std::string requestCid(const std::string& controller_ip, const std::string& token, const std::string& username,
                       const std::string& password) {
  twk_https::ControllerRequest request;
  request.method = "POST";
  request.url = endpoint(controller_ip);
  request.headers = {{"X-Access-Key", token}};
  request.payload = {{"action", "login"}, {"username", username}, {"password", password}};
  request.payloadIn = twk_https::PayloadIn::Body;
  auto cid = textAt(twk_https::send(request).body, {"CID"});
  if (cid) return *cid;
  logging::getLogger(kLogger).info(kLoginFailure);
  return kLoginFailure;
}

}  // namespace

std::string get_tarnwick_token(const std::string& controller_ip, const std::string& username,
                               const std::string& password) {
  Key key{controller_ip, username, password};
  if (auto cached = tokenCache.lookup(key)) return *cached;
  std::string token = requestToken(controller_ip);
  tokenCache.store(key, token);
  return token;
}

std::string get_tarnwick_cid(const std::string& controller_ip, const std::string& username,
                             const std::string& password) {
  Key key{controller_ip, username, password};
  if (auto cached = cidCache.lookup(key)) return *cached;
  std::string token = get_tarnwick_token(controller_ip, username, password);
  std::string cid = requestCid(controller_ip, token, username, password);
  cidCache.store(key, cid);
  return cid;
}

void clearCaches() {
  tokenCache.clear();
  cidCache.clear();
}

}  // namespace tarnwick::gatepass
