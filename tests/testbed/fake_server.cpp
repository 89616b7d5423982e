// Starting the fake web servers and reading back what they received.
#include "testbed/fake_server.h"

#include <openssl/sha.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "testbed/emulator.h"

namespace testbed {

namespace {

const char* modeName(FakeServer::Mode mode) {
  switch (mode) {
    case FakeServer::Mode::Metadata:
      return "metadata";
    case FakeServer::Mode::PublicIp:
      return "ipecho";
    case FakeServer::Mode::SsoPortal:
      return "sso";
    case FakeServer::Mode::AwsFront:
      return "awsfront";
    case FakeServer::Mode::Generic:
      break;
  }
  return "generic";
}

void makeCertificate(const std::filesystem::path& cert, const std::filesystem::path& key) {
  RunOptions options;
  options.timeout = std::chrono::seconds(60);
  auto r =
      runProgram("openssl",
                 {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1", "-addext",
                  "subjectAltName=IP:127.0.0.1,DNS:localhost", "-keyout", key.string(), "-out", cert.string()},
                 options);
  if (r.status != 0) throw std::runtime_error("openssl could not make a certificate:\n" + r.err);
  std::filesystem::permissions(key, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

std::map<std::string, std::string> toMap(const nlohmann::ordered_json& j) {
  std::map<std::string, std::string> out;
  if (j.is_object())
    for (const auto& [k, v] : j.items()) out[k] = v.is_string() ? v.get<std::string>() : v.dump();
  return out;
}

}  // namespace

std::string FakeRequest::header(const std::string& lowerName) const {
  auto it = headers.find(lowerName);
  return it == headers.end() ? "" : it->second;
}

FakeServer::FakeServer(Mode mode, const nlohmann::ordered_json& fixture, bool tls)
    : dir_(std::make_unique<TempDir>()), tls_(tls) {
  setFixture(fixture);
  writeFile(dir_->path() / "requests.jsonl", "");
  std::vector<std::string> args{testbedDir() + "/fake_server.py",
                                "--mode",
                                modeName(mode),
                                "--fixture",
                                (dir_->path() / "fixture.json").string(),
                                "--requests",
                                (dir_->path() / "requests.jsonl").string(),
                                "--port",
                                "0"};
  if (tls) {
    makeCertificate(dir_->path() / "cert.pem", dir_->path() / "key.pem");
    args.insert(args.end(), {"--cert", certPath(), "--key", (dir_->path() / "key.pem").string()});
  }
  process_ = std::make_unique<BackgroundProcess>(python(), args, EnvChanges{{"PYTHONUNBUFFERED", "1"}},
                                                 (dir_->path() / "server.log").string());
  auto line = process_->readLine(std::chrono::seconds(30));
  if (!line || line->rfind("READY ", 0) != 0) throw std::runtime_error("fake server did not start: " + log());
  port_ = std::stoi(line->substr(6));
}

FakeServer::~FakeServer() = default;

void FakeServer::setFixture(const nlohmann::ordered_json& fixture) {
  // Written beside and renamed, so the server never reads half a fixture.
  auto tmp = dir_->path() / "fixture.json.tmp";
  writeFile(tmp, fixture.dump(2));
  std::filesystem::rename(tmp, dir_->path() / "fixture.json");
}

std::vector<FakeRequest> FakeServer::requests() const {
  std::vector<FakeRequest> out;
  std::ifstream in(dir_->path() / "requests.jsonl");
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    auto j = nlohmann::ordered_json::parse(line);
    out.push_back({j.value("method", ""), j.value("path", ""), j.value("rawQuery", ""), toMap(j["query"]),
                   toMap(j["headers"]), j.value("body", ""), toMap(j["form"])});
  }
  return out;
}

void FakeServer::clearRequests() { writeFile(dir_->path() / "requests.jsonl", ""); }

std::string FakeServer::host() const { return "127.0.0.1:" + std::to_string(port_); }

std::string FakeServer::url() const { return std::string(tls_ ? "https://" : "http://") + host(); }

std::string FakeServer::certPath() const { return (dir_->path() / "cert.pem").string(); }

std::string FakeServer::log() const { return readFile(dir_->path() / "server.log"); }

void cacheSsoToken(const std::filesystem::path& home, const std::string& cacheKey, const std::string& token,
                   const std::string& expiresAt, const nlohmann::ordered_json& registration) {
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(cacheKey.data()), cacheKey.size(), digest);
  char name[2 * SHA_DIGEST_LENGTH + 1];
  for (int i = 0; i < SHA_DIGEST_LENGTH; ++i) std::snprintf(name + 2 * i, 3, "%02x", digest[i]);
  nlohmann::ordered_json doc{{"startUrl", "https://example.awsapps.com/start"},
                             {"region", "eu-west-1"},
                             {"accessToken", token},
                             {"expiresAt", expiresAt}};
  doc.update(registration);
  writeFile(home / ".aws" / "sso" / "cache" / (std::string(name) + ".json"), doc.dump());
}

}  // namespace testbed
