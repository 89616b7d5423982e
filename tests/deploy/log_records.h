// Keeps the records logged on "tarnwick_testlibs" while a test runs, and nothing after it.
#pragma once
#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tarnwick_testlibs/bin/core/logging.h"

namespace deploytest {

class LogRecords {
 public:
  LogRecords() : sink_(std::make_shared<Sink>()) {
    auto& logger = tarnwick::logging::getLogger("tarnwick_testlibs");
    logger.clearHandlers();
    logger.setLevel(tarnwick::logging::DEBUG);
    logger.setPropagate(false);
    logger.addHandler(sink_);
  }
  ~LogRecords() { tarnwick::logging::getLogger("tarnwick_testlibs").clearHandlers(); }
  LogRecords(const LogRecords&) = delete;
  LogRecords& operator=(const LogRecords&) = delete;

  std::vector<tarnwick::logging::Record> records() const {
    std::lock_guard<std::mutex> lock(sink_->mu);
    return sink_->records;
  }
  int count(const std::string& message) const {
    const auto all = records();
    return static_cast<int>(std::count_if(all.begin(), all.end(), [&](const auto& r) { return r.message == message; }));
  }
  bool has(const std::string& message) const { return count(message) > 0; }
  bool hasAt(int level, const std::string& message) const {
    const auto all = records();
    return std::any_of(all.begin(), all.end(), [&](const auto& r) { return r.level == level && r.message == message; });
  }
  int countAt(int level) const {
    const auto all = records();
    return static_cast<int>(std::count_if(all.begin(), all.end(), [&](const auto& r) { return r.level == level; }));
  }
  std::vector<std::string> messages() const {
    std::vector<std::string> out;
    for (const auto& r : records()) out.push_back(r.message);
    return out;
  }

 private:
  struct Sink : tarnwick::logging::Handler {
    void emit(const tarnwick::logging::Record& record) override {
      std::lock_guard<std::mutex> lock(mu);
      records.push_back(record);
    }
    mutable std::mutex mu;
    std::vector<tarnwick::logging::Record> records;
  };
  std::shared_ptr<Sink> sink_;
};

}  // namespace deploytest
