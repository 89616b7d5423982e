// A capturing log handler for tests.
#include "testbed/log_capture.h"

#include <mutex>

namespace testbed {

namespace logging = tarnwick::logging;

class LogCapture::Sink : public logging::Handler {
 public:
  std::vector<LogRecord> records() const {
    std::lock_guard lock(mu_);
    return records_;
  }
  void clear() {
    std::lock_guard lock(mu_);
    records_.clear();
  }

 protected:
  void emit(const logging::Record& r) override {
    std::lock_guard lock(mu_);
    records_.push_back({r.level, r.name, r.message});
  }

 private:
  mutable std::mutex mu_;
  std::vector<LogRecord> records_;
};

LogCapture::LogCapture(const std::string& logger, std::optional<int> level)
    : name_(logger), changedLevel_(level.has_value()), sink_(std::make_shared<Sink>()) {
  auto& l = logging::getLogger(name_);
  savedLevel_ = l.level();
  if (level) l.setLevel(level);
  l.addHandler(sink_);
}

LogCapture::~LogCapture() {
  auto& l = logging::getLogger(name_);
  auto kept = l.handlers();
  l.clearHandlers();
  for (auto& h : kept)
    if (h != sink_) l.addHandler(h);
  if (changedLevel_) l.setLevel(savedLevel_);
}

std::vector<LogRecord> LogCapture::records() const { return sink_->records(); }

std::vector<std::string> LogCapture::messages() const {
  std::vector<std::string> out;
  for (const auto& r : records()) out.push_back(r.message);
  return out;
}

std::vector<std::string> LogCapture::messages(int level) const {
  std::vector<std::string> out;
  for (const auto& r : records())
    if (r.level == level) out.push_back(r.message);
  return out;
}

std::string LogCapture::text() const {
  std::string out;
  for (const auto& r : records()) out += logging::levelName(r.level) + " " + r.logger + ": " + r.message + "\n";
  return out;
}

bool LogCapture::contains(const std::string& fragment) const {
  for (const auto& r : records())
    if (r.message.find(fragment) != std::string::npos) return true;
  return false;
}

bool LogCapture::contains(int level, const std::string& fragment) const {
  for (const auto& r : records())
    if (r.level == level && r.message.find(fragment) != std::string::npos) return true;
  return false;
}

int LogCapture::count(int minLevel) const {
  int n = 0;
  for (const auto& r : records())
    if (r.level >= minLevel) ++n;
  return n;
}

void LogCapture::clear() { sink_->clear(); }

}  // namespace testbed
