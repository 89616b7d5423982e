// Recording stand-ins for the service clients: every call is kept in order, and answers are
// scripted per operation so unit tests can drive the code above the clients without a network.
#pragma once
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "tarnwick_testlibs/aws/errors.h"
#include "tarnwick_testlibs/aws/services.h"

namespace testbed {

using tarnwick::aws::Doc;

struct Call {
  std::string operation;
  Doc params;
};

using Responder = std::function<Doc(const Doc& params)>;

// A service error as the real client would throw it.
tarnwick::aws::ServiceError serviceError(const std::string& code, const std::string& message = "",
                                         long httpStatus = 400, const std::string& operation = "");

// Records calls and hands out the scripted answers. Thread-safe: deployment workers share
// one client, so the fakes must too.
class CallLog {
 public:
  // Queued answers are used once each, in order; when an operation's queue is empty its
  // standing answer is used (set by always()), else the fallback of the fake.
  void answer(const std::string& op, Doc doc);
  void respond(const std::string& op, Responder fn);
  template <class E>
  void fail(const std::string& op, const E& error) {
    push(op, std::make_exception_ptr(error));
  }
  void always(const std::string& op, Responder fn);

  std::vector<Call> calls() const;
  std::vector<Call> calls(const std::string& op) const;
  std::vector<std::string> operations() const;
  int count(const std::string& op) const;
  // The parameters of the n-th call of `op` (0 first, -1 last); throws when there is none.
  Doc params(const std::string& op, int n = -1) const;
  void clearCalls();

  Doc dispatch(const std::string& op, const Doc& params, const Responder& fallback);

 private:
  using Answer = std::variant<Doc, std::exception_ptr, Responder>;
  void push(const std::string& op, Answer a);

  mutable std::mutex mu_;
  std::vector<Call> calls_;
  std::map<std::string, std::vector<Answer>> queued_;
  std::map<std::string, Responder> standing_;
};

// A service client whose every operation goes to a CallLog; unscripted operations answer {}.
template <class Client>
class FakeService : public Client, public CallLog {
 public:
  Doc call(const std::string& operation, const Doc& params) override {
    return dispatch(operation, params, [](const Doc&) { return Doc::object(); });
  }
};

using FakeEc2 = FakeService<tarnwick::aws::Ec2Client>;
using FakeIam = FakeService<tarnwick::aws::IamClient>;
using FakeSts = FakeService<tarnwick::aws::StsClient>;
using FakeSsm = FakeService<tarnwick::aws::SsmClient>;

// An in-memory bucket store. Calls are recorded under the method names ("list_objects_v2",
// "delete_object", "upload_file" with {Filename, Bucket, Key}, "download_file" likewise), and
// scripted answers or errors for those names take the place of the store's own behaviour.
class FakeS3 : public tarnwick::aws::S3Client, public CallLog {
 public:
  struct Object {
    std::string data;
    std::string lastModified;  // ISO 8601, as the listing reports it
  };

  Doc list_objects_v2(const Doc& params) override;
  Doc delete_object(const Doc& params) override;
  void upload_file(const std::string& path, const std::string& bucket, const std::string& key) override;
  void download_file(const std::string& bucket, const std::string& key, const std::string& path) override;

  void createBucket(const std::string& bucket);
  void put(const std::string& bucket, const std::string& key, std::string data,
           std::string lastModified = "2024-01-08T12:00:00.000Z");
  bool has(const std::string& bucket, const std::string& key) const;
  std::string get(const std::string& bucket, const std::string& key) const;  // throws if absent
  std::vector<std::string> keys(const std::string& bucket) const;

 private:
  using Bucket = std::map<std::string, Object>;
  Doc listLocked(const Doc& params);
  Bucket& bucketLocked(const std::string& bucket, const std::string& operation);

  mutable std::mutex storeMu_;
  std::map<std::string, Bucket> buckets_;
};

}  // namespace testbed
