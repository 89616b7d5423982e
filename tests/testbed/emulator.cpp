// Starting the emulator and talking to it from tests.
#include "testbed/emulator.h"

#include <curl/curl.h>

#include <mutex>
#include <optional>
#include <stdexcept>
#include <vector>

namespace testbed {

namespace {

constexpr auto kStartTimeout = std::chrono::seconds(60);

struct Answer {
  long status = 0;
  std::string body;
};

// A request to a test server: a POST when `body` is given, with `headers`.
Answer request(const std::string& url, const std::optional<std::string>& body,
               const std::vector<std::string>& headers = {}, long timeoutSec = 30) {
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
  if (!curl) throw std::runtime_error("curl_easy_init failed");
  std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> list(nullptr, curl_slist_free_all);
  for (const auto& h : headers) list.reset(curl_slist_append(list.release(), h.c_str()));
  Answer answer;
  curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
  if (body) {
    curl_easy_setopt(curl.get(), CURLOPT_POST, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE, static_cast<long>(body->size()));
    curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, body->c_str());
  }
  curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, list.get());
  curl_easy_setopt(curl.get(), CURLOPT_NOPROXY, "*");
  curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, timeoutSec);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &answer.body);
  curl_easy_setopt(
      curl.get(), CURLOPT_WRITEFUNCTION, +[](char* data, size_t size, size_t n, void* out) -> size_t {
        static_cast<std::string*>(out)->append(data, size * n);
        return size * n;
      });
  const CURLcode rc = curl_easy_perform(curl.get());
  curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &answer.status);
  if (rc != CURLE_OK)
    throw std::runtime_error(std::string(body ? "POST " : "GET ") + url + " failed: " + curl_easy_strerror(rc));
  return answer;
}

// A control request to the emulator or its front; returns the answer's body.
std::string control(const std::string& url, bool post) {
  Answer answer = request(url, post ? std::optional<std::string>("") : std::nullopt);
  if (answer.status != 200)
    throw std::runtime_error(std::string(post ? "POST " : "GET ") + url + " failed: status " +
                             std::to_string(answer.status));
  return std::move(answer.body);
}

// The interpreter that runs the boto3 snippets, started with the first one: one start of Python
// and one import of boto3 for the whole test process.
const std::string& boto3Runner() {
  static std::mutex mutex;
  static BackgroundProcess* runner = nullptr;  // lives until exit, as the shared emulator does
  static std::string url;
  std::lock_guard lock(mutex);
  if (runner) return url;
  static TempDir dir;
  EnvChanges env = awsEnv("");
  env["AWS_ENDPOINT_URL"] = std::nullopt;
  env["PYTHONUNBUFFERED"] = "1";
  runner = new BackgroundProcess(python(), {testbedDir() + "/boto3_runner.py"}, env,
                                 (dir.path() / "boto3_runner.log").string());
  const auto line = runner->readLine(kStartTimeout);
  if (!line || line->rfind("READY ", 0) != 0)
    throw std::runtime_error("the boto3 runner did not start: " + readFile(dir.path() / "boto3_runner.log"));
  url = "http://127.0.0.1:" + line->substr(6) + "/";
  return url;
}

}  // namespace

std::string testbedDir() { return TWK_TESTBED_DIR; }

std::string python() {
  // The configured name may be a wrapper script that costs a second per start (pyenv's shims):
  // ask it once for the interpreter it runs, and start that one directly from then on.
  static const std::string path = [] {
    const RunResult r = runProgram(TWK_PYTHON, {"-c", "import sys; print(sys.executable, end='')"});
    return r.status == 0 && !r.out.empty() ? r.out : std::string(TWK_PYTHON);
  }();
  return path;
}

MotoServer::MotoServer(const EnvChanges& extraEnv, std::optional<std::vector<std::string>> frontArgs)
    : dir_(std::make_unique<TempDir>()) {
  EnvChanges env = extraEnv;
  env.emplace("MOTO_AMIS_PATH", testbedDir() + "/images.json");
  env.emplace("PYTHONUNBUFFERED", "1");
  std::vector<std::string> args{testbedDir() + (frontArgs ? "/throttling_front.py" : "/moto_launcher.py"), "--port",
                                "0"};
  if (frontArgs) args.insert(args.end(), frontArgs->begin(), frontArgs->end());
  process_ = std::make_unique<BackgroundProcess>(python(), args, env, (dir_->path() / "moto.log").string());
  auto line = process_->readLine(kStartTimeout);
  if (!line || line->rfind("READY ", 0) != 0) throw std::runtime_error("the emulator did not start: " + log());
  port_ = std::stoi(line->substr(6));
}

MotoServer::~MotoServer() = default;

std::string MotoServer::url() const { return "http://127.0.0.1:" + std::to_string(port_); }

void MotoServer::reset() { control(url() + "/moto-api/reset", true); }

nlohmann::ordered_json MotoServer::frontStats() const {
  return nlohmann::ordered_json::parse(control(url() + "/tarnwick-front/stats", false));
}

void MotoServer::resetFront(bool buckets) {
  control(url() + "/tarnwick-front/reset?buckets=" + (buckets ? "1" : "0"), true);
}

void MotoServer::loseNextAnswer(const std::string& action) {
  control(url() + "/tarnwick-front/lose?action=" + action, true);
}

void MotoServer::deny(const std::string& action) { control(url() + "/tarnwick-front/deny?action=" + action, true); }

std::string MotoServer::log() const { return readFile(dir_->path() / "moto.log"); }

MotoServer& moto() {
  // Deliberately never destroyed before exit: its lifeline pipe closes with the process, and
  // the launcher then ends itself.
  static MotoServer* server = new MotoServer();
  return *server;
}

EnvChanges awsEnv(const std::string& endpoint) {
  EnvChanges env;
  env["AWS_ENDPOINT_URL"] = endpoint;
  env["AWS_ACCESS_KEY_ID"] = "testing";
  env["AWS_SECRET_ACCESS_KEY"] = "testing";
  env["AWS_DEFAULT_REGION"] = "us-east-1";
  env["AWS_EC2_METADATA_DISABLED"] = "true";
  env["AWS_CONFIG_FILE"] = "/dev/null";
  env["AWS_SHARED_CREDENTIALS_FILE"] = "/dev/null";
  env["NO_PROXY"] = "127.0.0.1,localhost";
  env["no_proxy"] = "127.0.0.1,localhost";
  for (const char* name : {"AWS_PROFILE",
                           "AWS_DEFAULT_PROFILE",
                           "AWS_SESSION_TOKEN",
                           "AWS_SECURITY_TOKEN",
                           "AWS_REGION",
                           "AWS_ROLE_ARN",
                           "AWS_ROLE_SESSION_NAME",
                           "AWS_WEB_IDENTITY_TOKEN_FILE",
                           "AWS_CONTAINER_CREDENTIALS_RELATIVE_URI",
                           "AWS_CONTAINER_CREDENTIALS_FULL_URI",
                           "AWS_CONTAINER_AUTHORIZATION_TOKEN",
                           "AWS_EC2_METADATA_SERVICE_ENDPOINT",
                           "AWS_CA_BUNDLE",
                           "AWS_ENDPOINT_URL_EC2",
                           "AWS_ENDPOINT_URL_IAM",
                           "AWS_ENDPOINT_URL_S3",
                           "AWS_ENDPOINT_URL_SSM",
                           "AWS_ENDPOINT_URL_STS",
                           "AWS_IGNORE_CONFIGURED_ENDPOINT_URLS",
                           "HTTP_PROXY",
                           "HTTPS_PROXY",
                           "http_proxy",
                           "https_proxy",
                           "ALL_PROXY",
                           "all_proxy",
                           "TARNWICK_CONTROLLER_PASSWORD"})
    env[name] = std::nullopt;
  return env;
}

EnvChanges motoEnv() { return awsEnv(moto().url()); }

UseMoto::UseMoto() { env_.apply(motoEnv()); }

std::string boto3(const std::string& code) { return boto3(code, moto()); }

std::string boto3(const std::string& code, const MotoServer& server, std::chrono::seconds timeout) {
  Answer answer = request(boto3Runner(), code, {"X-Endpoint: " + server.url(), "Content-Type: text/x-python"},
                          static_cast<long>(timeout.count()));
  if (answer.status != 200)
    throw std::runtime_error("boto3 helper failed (" + std::to_string(answer.status) + "):\n" + answer.body);
  return std::move(answer.body);
}

nlohmann::ordered_json boto3Json(const std::string& code) { return nlohmann::ordered_json::parse(boto3(code)); }

}  // namespace testbed
