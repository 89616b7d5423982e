// File bodies in both directions, and what reaches the server of a request's headers.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "tarnwick_testlibs/aws/errors.h"
#include "tarnwick_testlibs/aws/http.h"
#include "testbed/fake_server.h"

namespace {

using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;
using testbed::FakeServer;

File tempFile() { return File(std::tmpfile(), &std::fclose); }

std::string contents(std::FILE* f) {
  std::rewind(f);
  std::string out;
  char buf[1024];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) out.append(buf, n);
  return out;
}

TEST(Http, FileUploadSendsTheWholeFileAndHeadersAsGiven) {
  FakeServer server(FakeServer::Mode::Generic, {{"routes", {nlohmann::ordered_json::object()}}});
  File in = tempFile();
  std::string data(100000, 'x');
  data[0] = '\0';
  std::fwrite(data.data(), 1, data.size(), in.get());
  std::rewind(in.get());

  tarnwick::aws::http::Request r;
  r.method = "PUT";
  r.url = server.url() + "/bucket/key";
  r.headers = {{"X-Amz-Meta-A", "1"}, {"x-empty", ""}};
  r.uploadFrom = in.get();
  r.uploadSize = static_cast<long long>(data.size());
  EXPECT_EQ(tarnwick::aws::http::send(r).status, 200);

  auto seen = server.requests().at(0);
  EXPECT_EQ(seen.method, "PUT");
  EXPECT_EQ(seen.body, data);
  EXPECT_EQ(seen.header("x-amz-meta-a"), "1");
  EXPECT_TRUE(seen.headers.count("x-empty"));
  // libcurl's own defaults would change what an S3 object or a signed request carries.
  EXPECT_FALSE(seen.headers.count("content-type"));
  EXPECT_FALSE(seen.headers.count("expect"));
}

TEST(Http, DownloadGoesToTheFileOnlyForSuccess) {
  FakeServer server(FakeServer::Mode::Generic,
                    {{"routes",
                      {{{"path", "/ok"}, {"body", "file body"}},
                       {{"status", 404}, {"body", "<Error><Code>NoSuchKey</Code></Error>"}}}}});
  File out = tempFile();
  tarnwick::aws::http::Request r;
  r.url = server.url() + "/ok";
  r.downloadTo = out.get();
  auto ok = tarnwick::aws::http::send(r);
  EXPECT_EQ(ok.status, 200);
  EXPECT_EQ(ok.body, "");
  EXPECT_EQ(contents(out.get()), "file body");

  File out2 = tempFile();
  r.url = server.url() + "/missing";
  r.downloadTo = out2.get();
  auto missing = tarnwick::aws::http::send(r);
  EXPECT_EQ(missing.status, 404);
  EXPECT_NE(missing.body.find("NoSuchKey"), std::string::npos);
  EXPECT_EQ(contents(out2.get()), "");
  EXPECT_EQ(missing.header("content-length"), std::to_string(missing.body.size()));
}

TEST(Http, UnreachableHostIsAClientErrorWithoutTheQuery) {
  tarnwick::aws::http::Request r;
  r.url = "http://127.0.0.1:1/?X-Amz-Signature=secret";
  try {
    tarnwick::aws::http::send(r);
    FAIL() << "no error for a closed port";
  } catch (const tarnwick::aws::ClientError& e) {
    EXPECT_EQ(std::string(e.what()).find("secret"), std::string::npos) << e.what();
    EXPECT_EQ(e.kind(), tarnwick::aws::FailureKind::kConnection);
  }
}

}  // namespace
