// An in-process stand-in for the Tarnwick controller, for tests of what the callers send and how
// they take the answers: installed with twk_https::setController, it records every request and
// answers as FakeController does, with no server and no HTTPS.
#pragma once
#include <mutex>
#include <string>
#include <vector>

#include "fake_controller.h"
#include "tarnwick_testlibs/bin/lib/twk_https.h"

namespace discovery {

// A request as its caller built it, with the parts of the HTTPS sender's wire form that the
// loopback controller records.
struct RecordedRequest : tarnwick::twk_https::ControllerRequest {
  std::string path;      // of the URL, "/v2/api"
  std::string rawQuery;  // "action=...&CID=...", "" when the payload travels in the body
  std::string body;      // the form-encoded payload, "" when it travels in the query
  std::string header(const std::string& lowerName) const;  // set by the caller; "" when absent
  std::string param(const std::string& name) const;        // first payload value; "" when absent
};

class RecordingController : public tarnwick::twk_https::Controller, public ControllerAnswers {
 public:
  tarnwick::twk_https::ApiResponse send(const tarnwick::twk_https::ControllerRequest& request) override;

  // The address the tests hand on; nothing listens there, requests are only recorded.
  std::string address() const { return "127.0.0.1:9"; }

  // Answers ({"status", "body"}) replacing the regular one; null restores it.
  void answerToken(const Doc& answer);
  void answerListing(const std::string& path, const Doc& answer);  // path "/v1/api" or "/v2/api"

  std::vector<RecordedRequest> requests() const;
  std::vector<RecordedRequest> requests(const std::string& action) const;
  void clearRequests();

 private:
  Doc answerTo(const RecordedRequest& request) const;

  mutable std::mutex lock_;
  std::vector<RecordedRequest> requests_;
  Doc tokenAnswer_;
  Doc listingAnswers_ = Doc::object();
};

}  // namespace discovery
