// The AWS emulator for end-to-end tests: one server per test executable, the environment that
// points our client (and the programs under test) at it, and boto3 for preparing and
// inspecting its state.
#pragma once
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "testbed/process.h"

namespace testbed {

// The emulator on a free loopback port, answering once constructed; stopped on destruction.
class MotoServer {
 public:
  // `extraEnv` reaches the emulator process, e.g. {"INITIAL_NO_AUTH_ACTION_COUNT", "0"}.
  // With `frontArgs` the emulator sits behind the throttling front (throttling_front.py), which
  // takes them as its options, e.g. {"--describe", "10,5"} or {"--no-buckets"}.
  explicit MotoServer(const EnvChanges& extraEnv = {},
                      std::optional<std::vector<std::string>> frontArgs = std::nullopt);
  ~MotoServer();
  MotoServer(const MotoServer&) = delete;
  MotoServer& operator=(const MotoServer&) = delete;

  int port() const { return port_; }
  std::string url() const;  // "http://127.0.0.1:<port>"
  // Forgets every resource (POST /moto-api/reset); the image list is loaded again.
  void reset();
  // What the emulator wrote to its standard error so far (request log, tracebacks).
  std::string log() const;
  // The throttling front's counts: {"calls": {action: n}, "throttled": {action: n}, "buckets"}.
  nlohmann::ordered_json frontStats() const;
  // Zeroes the front's counts and refills its buckets; `buckets` switches them on or off.
  void resetFront(bool buckets);
  // The front lets the next call of `action` take effect, then closes its connection unanswered.
  void loseNextAnswer(const std::string& action);
  // The front refuses every call of the actions "A,B" from now on, "": none; "RunInstances:scp"
  // refuses launches as an organisation policy demanding IMDSv2 and tags at creation does.
  void deny(const std::string& action);

 private:
  std::unique_ptr<TempDir> dir_;
  std::unique_ptr<BackgroundProcess> process_;
  int port_ = 0;
};

// One emulator shared by all tests of the executable, started on first use.
MotoServer& moto();

// Everything an AWS client needs to talk to `endpoint` with dummy credentials and nothing from
// the user's own configuration: for child programs (runProgram's env) or ScopedEnv.
EnvChanges awsEnv(const std::string& endpoint);
EnvChanges motoEnv();  // awsEnv(moto().url())

// Points this process's AWS clients at the shared emulator for the object's lifetime.
class UseMoto {
 public:
  UseMoto();

 private:
  ScopedEnv env_;
};

// Runs `code` with boto3 against the shared emulator (or `server`), in a namespace that holds the
// clients `ec2`, `iam`, `s3`, `ssm`, `sts` and `out(value)` (prints value as JSON). One interpreter
// runs every snippet of the test process, one at a time. Returns what the snippet printed; throws
// std::runtime_error with its traceback on failure.
std::string boto3(const std::string& code);
std::string boto3(const std::string& code, const MotoServer& server,
                  std::chrono::seconds timeout = std::chrono::seconds(60));
// The same, parsing the output as JSON.
nlohmann::ordered_json boto3Json(const std::string& code);

// The folder of the test bed's own files (scripts, image list).
std::string testbedDir();
// The python3 that runs the test bed's scripts: the interpreter behind the build's TARNWICK_PYTHON
// setting itself, not a version manager's wrapper script that costs a second a start.
std::string python();

}  // namespace testbed
