// The test server and environment helper.
#include "fake_http.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

namespace awstest {
namespace {

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

const char* reason(long status) {
  switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 503: return "Service Unavailable";
    default: return "Status";
  }
}

bool readRequest(int fd, SeenRequest& req) {
  std::string data;
  char buf[4096];
  size_t headerEnd;
  while ((headerEnd = data.find("\r\n\r\n")) == std::string::npos) {
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return false;
    data.append(buf, static_cast<size_t>(n));
  }
  std::string head = data.substr(0, headerEnd);
  size_t lineEnd = head.find("\r\n");
  std::string start = head.substr(0, lineEnd);
  auto sp1 = start.find(' '), sp2 = start.rfind(' ');
  req.method = start.substr(0, sp1);
  req.path = start.substr(sp1 + 1, sp2 - sp1 - 1);
  size_t pos = lineEnd == std::string::npos ? head.size() : lineEnd + 2;
  while (pos < head.size()) {
    size_t e = head.find("\r\n", pos);
    std::string line = head.substr(pos, e == std::string::npos ? std::string::npos : e - pos);
    auto colon = line.find(':');
    if (colon != std::string::npos) {
      std::string value = line.substr(colon + 1);
      value.erase(0, value.find_first_not_of(' '));
      req.headers[lower(line.substr(0, colon))] = value;
    }
    if (e == std::string::npos) break;
    pos = e + 2;
  }
  size_t length = req.headers.count("content-length") ? std::stoul(req.headers["content-length"]) : 0;
  req.body = data.substr(headerEnd + 4);
  while (req.body.size() < length) {
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return false;
    req.body.append(buf, static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

FakeHttpServer::FakeHttpServer(Handler handler) : handler_(std::move(handler)) {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  if (listenFd_ < 0) throw std::runtime_error("socket failed");
  int one = 1;
  ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listenFd_, 16) != 0)
    throw std::runtime_error("bind/listen failed");
  socklen_t len = sizeof addr;
  ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread([this] { serve(); });
}

FakeHttpServer::~FakeHttpServer() {
  stopping_ = true;
  thread_.join();
  ::close(listenFd_);
}

std::string FakeHttpServer::url() const { return "http://127.0.0.1:" + std::to_string(port_); }

std::vector<SeenRequest> FakeHttpServer::requests() const {
  std::lock_guard<std::mutex> g(mu_);
  return seen_;
}

void FakeHttpServer::serve() {
  while (!stopping_) {
    pollfd p{listenFd_, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    int fd = ::accept(listenFd_, nullptr, nullptr);
    if (fd < 0) continue;
    answer(fd);
    ::close(fd);
  }
}

void FakeHttpServer::answer(int fd) {
  SeenRequest req;
  if (!readRequest(fd, req)) return;
  {
    std::lock_guard<std::mutex> g(mu_);
    seen_.push_back(req);
  }
  Reply reply = handler_(req);
  std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " " + reason(reply.status) + "\r\n";
  for (const auto& [k, v] : reply.headers) out += k + ": " + v + "\r\n";
  out += "Content-Length: " + std::to_string(reply.body.size()) + "\r\nConnection: close\r\n\r\n";
  if (req.method != "HEAD") out += reply.body;
  size_t sent = 0;
  while (sent < out.size()) {
    ssize_t n = ::send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
}

ScopedEnv::ScopedEnv(const std::string& name, const std::optional<std::string>& value) : name_(name) {
  if (const char* v = std::getenv(name.c_str())) old_ = v;
  if (value)
    ::setenv(name.c_str(), value->c_str(), 1);
  else
    ::unsetenv(name.c_str());
}

ScopedEnv::~ScopedEnv() {
  if (old_)
    ::setenv(name_.c_str(), old_->c_str(), 1);
  else
    ::unsetenv(name_.c_str());
}

}  // namespace awstest
