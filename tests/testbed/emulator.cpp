// Starting the emulator and talking to it from tests.
#include "testbed/emulator.h"

#include <curl/curl.h>

#include <mutex>
#include <stdexcept>

namespace testbed {

namespace {

constexpr auto kStartTimeout = std::chrono::seconds(60);

const char* const kBotoPreamble = R"PY(
import json, boto3
from botocore.config import Config
_config = Config(retries={"max_attempts": 1})
ec2 = boto3.client("ec2", config=_config)
iam = boto3.client("iam", config=_config)
s3 = boto3.client("s3", config=_config)
ssm = boto3.client("ssm", config=_config)
sts = boto3.client("sts", config=_config)
def out(value):
    print(json.dumps(value, default=str))
)PY";

// A control request to the emulator or its front; returns the answer's body.
std::string control(const std::string& url, bool post) {
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
  if (!curl) throw std::runtime_error("curl_easy_init failed");
  std::string body;
  curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
  if (post) {
    curl_easy_setopt(curl.get(), CURLOPT_POST, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, "");
  }
  curl_easy_setopt(curl.get(), CURLOPT_NOPROXY, "*");
  curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, 30L);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, +[](char* data, size_t size, size_t n, void* out) -> size_t {
    static_cast<std::string*>(out)->append(data, size * n);
    return size * n;
  });
  CURLcode rc = curl_easy_perform(curl.get());
  long status = 0;
  curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
  if (rc != CURLE_OK || status != 200)
    throw std::runtime_error(std::string(post ? "POST " : "GET ") + url + " failed: " + curl_easy_strerror(rc) +
                             " status " + std::to_string(status));
  return body;
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
  std::vector<std::string> args{testbedDir() + (frontArgs ? "/throttling_front.py" : "/moto_launcher.py"), "--port", "0"};
  if (frontArgs) args.insert(args.end(), frontArgs->begin(), frontArgs->end());
  process_ = std::make_unique<BackgroundProcess>(python(), args, env, (dir_->path() / "moto.log").string());
  auto line = process_->readLine(kStartTimeout);
  if (!line || line->rfind("READY ", 0) != 0)
    throw std::runtime_error("the emulator did not start: " + log());
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
  for (const char* name :
       {"AWS_PROFILE", "AWS_DEFAULT_PROFILE", "AWS_SESSION_TOKEN", "AWS_SECURITY_TOKEN", "AWS_REGION",
        "AWS_ROLE_ARN", "AWS_ROLE_SESSION_NAME", "AWS_WEB_IDENTITY_TOKEN_FILE",
        "AWS_CONTAINER_CREDENTIALS_RELATIVE_URI", "AWS_CONTAINER_CREDENTIALS_FULL_URI",
        "AWS_CONTAINER_AUTHORIZATION_TOKEN", "AWS_EC2_METADATA_SERVICE_ENDPOINT", "AWS_CA_BUNDLE",
        "AWS_ENDPOINT_URL_EC2", "AWS_ENDPOINT_URL_IAM", "AWS_ENDPOINT_URL_S3", "AWS_ENDPOINT_URL_SSM",
        "AWS_ENDPOINT_URL_STS", "AWS_IGNORE_CONFIGURED_ENDPOINT_URLS", "HTTP_PROXY", "HTTPS_PROXY",
        "http_proxy", "https_proxy", "ALL_PROXY", "all_proxy", "TARNWICK_CONTROLLER_PASSWORD"})
    env[name] = std::nullopt;
  return env;
}

EnvChanges motoEnv() { return awsEnv(moto().url()); }

UseMoto::UseMoto() { env_.apply(motoEnv()); }

std::string boto3(const std::string& code) { return boto3(code, moto()); }

std::string boto3(const std::string& code, const MotoServer& server, std::chrono::seconds timeout) {
  RunOptions options;
  options.env = awsEnv(server.url());
  options.timeout = timeout;
  auto r = runProgram(python(), {"-c", std::string(kBotoPreamble) + code}, options);
  if (r.status != 0) throw std::runtime_error("boto3 helper failed (" + std::to_string(r.status) + "):\n" + r.err);
  return r.out;
}

nlohmann::ordered_json boto3Json(const std::string& code) { return nlohmann::ordered_json::parse(boto3(code)); }

}  // namespace testbed
