// A tiny HTTP server on 127.0.0.1 standing in for the public-address service: answers every
// request with one fixed body and remembers the request lines it saw.
#pragma once
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace deploy_resources {

class IpEcho {
 public:
  explicit IpEcho(std::string body, int status = 200) : body_(std::move(body)), status_(status) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(fd_, 8);
    socklen_t len = sizeof addr;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~IpEcho() {
    stop_ = true;
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    thread_.join();
  }
  IpEcho(const IpEcho&) = delete;
  IpEcho& operator=(const IpEcho&) = delete;

  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::vector<std::string> requestLines() const {
    std::lock_guard<std::mutex> lock(mu_);
    return lines_;
  }

 private:
  void serve() {
    while (!stop_) {
      const int c = ::accept(fd_, nullptr, nullptr);
      if (c < 0) return;
      std::string request;
      char buf[4096];
      while (request.find("\r\n\r\n") == std::string::npos) {
        const ssize_t n = ::read(c, buf, sizeof buf);
        if (n <= 0) break;
        request.append(buf, static_cast<std::size_t>(n));
      }
      {
        std::lock_guard<std::mutex> lock(mu_);
        lines_.push_back(request.substr(0, request.find("\r\n")));
      }
      const std::string reply = "HTTP/1.1 " + std::to_string(status_) + " X\r\nContent-Type: application/json\r\n" +
                                "Content-Length: " + std::to_string(body_.size()) + "\r\nConnection: close\r\n\r\n" + body_;
      ssize_t ignored = ::write(c, reply.data(), reply.size());
      (void)ignored;
      ::close(c);
    }
  }

  std::string body_;
  int status_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mu_;
  std::vector<std::string> lines_;
  std::thread thread_;
};

}  // namespace deploy_resources
