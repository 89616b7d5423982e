// A tiny HTTP/1.1 server on 127.0.0.1 for the tests: one connection at a time, each request
// answered by a handler and recorded.
#pragma once
#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace awstest {

struct SeenRequest {
  std::string method, path, body;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string header(const std::string& name) const {
    auto it = headers.find(name);
    return it == headers.end() ? "" : it->second;
  }
};

struct Reply {
  Reply(long s = 200, std::string b = "") : status(s), body(std::move(b)) {}
  long status;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
};

class FakeHttpServer {
 public:
  using Handler = std::function<Reply(const SeenRequest&)>;
  explicit FakeHttpServer(Handler handler);
  ~FakeHttpServer();
  FakeHttpServer(const FakeHttpServer&) = delete;
  FakeHttpServer& operator=(const FakeHttpServer&) = delete;

  std::string url() const;  // http://127.0.0.1:port
  std::vector<SeenRequest> requests() const;

 private:
  void serve();
  void answer(int fd);

  Handler handler_;
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mu_;
  std::vector<SeenRequest> seen_;
  std::thread thread_;
};

// Sets an environment variable for a scope, restoring the old value after.
class ScopedEnv {
 public:
  ScopedEnv(const std::string& name, const std::optional<std::string>& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

}  // namespace awstest
