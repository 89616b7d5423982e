// Signing is compared byte for byte with an independent signer run through python3.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>

#include <nlohmann/json.hpp>

#include "tarnwick_testlibs/aws/http.h"
#include "tarnwick_testlibs/aws/sigv4.h"
#include "testbed/emulator.h"

namespace {

struct Case {
  Case(std::string n, std::string m, std::string u, tarnwick::aws::http::Headers h, std::string b,
       std::string svc = "ec2", bool isS3 = false, std::string tok = "")
      : name(std::move(n)),
        method(std::move(m)),
        url(std::move(u)),
        headers(std::move(h)),
        body(std::move(b)),
        service(std::move(svc)),
        s3(isS3),
        token(std::move(tok)) {}
  std::string name, method, url;
  tarnwick::aws::http::Headers headers;
  std::string body;
  std::string service;
  bool s3;
  std::string token;
};

std::string hexOf(const std::string& s) {
  std::string out;
  char buf[3];
  for (unsigned char c : s) {
    std::snprintf(buf, sizeof buf, "%02x", c);
    out += buf;
  }
  return out;
}

std::string runReference(const nlohmann::json& cases) {
  std::string input = testing::TempDir() + "sigv4_cases.json";
  std::ofstream(input) << cases.dump();
  std::string cmd = "'" + testbed::python() + "' " REFERENCE_SIGNER " " + input;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(cmd.c_str(), "r"), &pclose);
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, pipe.get())) > 0) out.append(buf, n);
  return out;
}

std::string s3Key(const std::string& key) { return tarnwick::aws::http::uriEncode(key, true); }

std::vector<Case> matrix() {
  std::string binary("\x00\x01\xff\xfe\r\n\x80 end", 12);
  return {
      {"EmptyGet", "GET", "https://ec2.eu-west-1.amazonaws.com/", {}, ""},
      {"QueryFormPost",
       "POST",
       "https://ec2.eu-west-1.amazonaws.com/",
       {{"Content-Type", "application/x-www-form-urlencoded; charset=utf-8"}},
       tarnwick::aws::http::formEncode({{"Action", "DescribeInstances"}, {"Filter.1.Value.1", "a b+c/d=é"}})},
      {"ReservedAndUnicodeQuery",
       "GET",
       "https://ec2.eu-west-1.amazonaws.com/?" +
           tarnwick::aws::http::queryString({{"b", "x&y=z"}, {"a", "ünï code ✓"}, {"a", "!*'()"}, {"empty", ""}}),
       {},
       ""},
      {"SessionTokenAndSpacedHeader",
       "POST",
       "https://sts.amazonaws.com/",
       {{"X-Custom", "  two   spaces  here "}, {"Content-Type", "text/plain"}},
       "Action=GetCallerIdentity",
       "sts",
       false,
       "FwoGZXIvYXdzE//token+with/slash="},
      {"BinaryBody", "PUT", "https://ssm.eu-west-1.amazonaws.com/", {}, binary, "ssm"},
      {"NonDefaultPort", "GET", "http://127.0.0.1:4566/?Action=ListRoles", {}, "", "iam"},
      {"S3KeyWithSpacesAndUnicode",
       "PUT",
       "https://s3.eu-west-1.amazonaws.com/my-bucket/" + s3Key("backups/vpc-1/a file ü+%.pem"),
       {},
       "body",
       "s3",
       true,
       "tok"},
      {"S3ListWithPrefix",
       "GET",
       "https://s3.eu-west-1.amazonaws.com/my-bucket?list-type=2&prefix=" +
           tarnwick::aws::http::uriEncode("backups/vpc 1/"),
       {},
       "",
       "s3",
       true},
      {"S3EmptyBinaryKey", "DELETE", "https://s3.eu-west-1.amazonaws.com/b/" + s3Key("dir//x y"), {}, "", "s3", true},
  };
}

TEST(SigV4, MatchesIndependentSignerForRequestMatrix) {
  const auto when = std::chrono::system_clock::from_time_t(1714566645);  // 2024-05-01T12:30:45Z
  const tarnwick::aws::Credentials baseCreds{"AKIDEXAMPLE", "wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY", "", {}};
  auto cases = matrix();

  nlohmann::json input = nlohmann::json::array();
  for (const auto& c : cases)
    input.push_back({{"method", c.method},
                     {"url", c.url},
                     {"headers", c.headers},
                     {"body_hex", hexOf(c.body)},
                     {"service", c.service},
                     {"region", "eu-west-1"},
                     {"s3", c.s3},
                     {"token", c.token},
                     {"access_key", baseCreds.accessKeyId},
                     {"secret_key", baseCreds.secretAccessKey}});
  auto expected = nlohmann::json::parse(runReference(input), nullptr, false);
  ASSERT_FALSE(expected.is_discarded()) << "the reference signer did not run";
  ASSERT_EQ(expected.size(), cases.size());

  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    tarnwick::aws::http::Request r;
    r.method = c.method;
    r.url = c.url;
    r.headers = c.headers;
    r.body = c.body;
    tarnwick::aws::Credentials creds = baseCreds;
    creds.sessionToken = c.token;
    tarnwick::aws::sigv4::Options opts{"eu-west-1", c.service, c.s3, ""};
    tarnwick::aws::sigv4::sign(r, creds, opts, when);

    ASSERT_EQ(r.headers.back().first, "Authorization");
    EXPECT_EQ(r.headers.back().second, expected[i]["authorization"].get<std::string>());
    r.headers.pop_back();
    EXPECT_EQ(tarnwick::aws::sigv4::canonicalRequest(r, opts, tarnwick::aws::sigv4::sha256Hex(c.body)),
              expected[i]["canonical"].get<std::string>());
  }
}

TEST(SigV4, ResigningReplacesEarlierSignatureHeaders) {
  tarnwick::aws::http::Request r;
  r.url = "https://ec2.eu-west-1.amazonaws.com/";
  tarnwick::aws::Credentials creds{"AK", "SK", "TOKEN", {}};
  tarnwick::aws::sigv4::Options opts{"eu-west-1", "ec2", false, ""};
  tarnwick::aws::sigv4::sign(r, creds, opts, std::chrono::system_clock::from_time_t(1714566645));
  auto first = r.headers;
  tarnwick::aws::sigv4::sign(r, creds, opts, std::chrono::system_clock::from_time_t(1714566645));
  EXPECT_EQ(r.headers, first);
}

}  // namespace
