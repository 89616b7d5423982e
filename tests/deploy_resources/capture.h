// Exact-message views over the test bed's log capture.
#pragma once
#include <string>
#include <vector>

#include "testbed/log_capture.h"

namespace deploy_resources {

class Captured {
 public:
  explicit Captured(const std::string& logger) : capture_(logger) {}

  // Messages at exactly `level` (all levels when negative), in logging order.
  std::vector<std::string> messages(int level = -1) const {
    std::vector<std::string> out;
    for (const auto& r : capture_.records())
      if (level < 0 || r.level == level) out.push_back(r.message);
    return out;
  }
  bool has(const std::string& message, int level) const {
    for (const auto& r : capture_.records())
      if (r.message == message && r.level == level) return true;
    return false;
  }
  int count(int level) const { return static_cast<int>(messages(level).size()); }

 private:
  testbed::LogCapture capture_;
};

}  // namespace deploy_resources
