// The fakes and helpers behave as the tests built on them assume.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <filesystem>

#include "testbed/fake_server.h"
#include "testbed/fakes.h"
#include "testbed/log_capture.h"
#include "testbed/process.h"

namespace {

using testbed::Doc;

TEST(CallLogTest, QueuedAnswersComeInOrderThenTheStandingOneThenEmpty) {
  testbed::FakeEc2 ec2;
  ec2.answer("DescribeVpcs", {{"n", 1}});
  ec2.fail("DescribeVpcs", testbed::serviceError("Throttling", "slow down"));
  ec2.respond("DescribeVpcs", [](const Doc& p) { return Doc{{"echo", p}}; });

  EXPECT_EQ(ec2.call("DescribeVpcs", {{"a", 1}}), (Doc{{"n", 1}}));
  try {
    ec2.call("DescribeVpcs", Doc::object());
    FAIL() << "expected a service error";
  } catch (const aws::ServiceError& e) {
    EXPECT_EQ(e.code(), "Throttling");
  }
  EXPECT_EQ(ec2.call("DescribeVpcs", {{"b", 2}}), (Doc{{"echo", {{"b", 2}}}}));
  EXPECT_EQ(ec2.call("DescribeVpcs", Doc::object()), Doc::object());
  ec2.always("DescribeVpcs", [](const Doc&) { return Doc{{"standing", true}}; });
  EXPECT_EQ(ec2.call("DescribeVpcs", Doc::object()), (Doc{{"standing", true}}));

  EXPECT_EQ(ec2.count("DescribeVpcs"), 5);
  EXPECT_EQ(ec2.params("DescribeVpcs", 0), (Doc{{"a", 1}}));
  EXPECT_EQ(ec2.params("DescribeVpcs", 2), (Doc{{"b", 2}}));
  EXPECT_THROW(ec2.params("RunInstances"), std::out_of_range);
}

class FakeS3Test : public ::testing::Test {
 protected:
  testbed::FakeS3 s3;
  testbed::TempDir dir;
};

TEST_F(FakeS3Test, ListingPagesByAThousandWithTokensAndOmitsEmptyContents) {
  for (int i = 0; i < 2500; ++i) s3.put("b", "backups/vpc-1/" + std::to_string(10000 + i), "x");
  s3.put("b", "other/key", "x");
  std::vector<std::string> keys;
  Doc req{{"Bucket", "b"}, {"Prefix", "backups/"}};
  int pages = 0;
  while (true) {
    Doc page = s3.list_objects_v2(req);
    ++pages;
    for (const auto& o : page["Contents"]) keys.push_back(o["Key"]);
    if (!page.contains("NextContinuationToken")) break;
    req["ContinuationToken"] = page["NextContinuationToken"];
  }
  EXPECT_EQ(pages, 3);
  ASSERT_EQ(keys.size(), 2500u);
  EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
  EXPECT_FALSE(s3.list_objects_v2({{"Bucket", "b"}, {"Prefix", "none/"}}).contains("Contents"));
  EXPECT_THROW(s3.list_objects_v2({{"Bucket", "missing"}}), aws::ServiceError);
}

TEST_F(FakeS3Test, TransfersRoundTripThroughLocalFilesAndScriptedErrorsWin) {
  s3.createBucket("b");
  auto src = dir.write("in.txt", "payload");
  s3.upload_file(src, "b", "k");
  EXPECT_EQ(s3.get("b", "k"), "payload");
  auto dst = (dir / "out.txt").string();
  s3.download_file("b", "k", dst);
  EXPECT_EQ(testbed::readFile(dst), "payload");
  EXPECT_THROW(s3.download_file("b", "absent", dst), aws::ServiceError);

  s3.fail("upload_file", aws::ClientError("network down"));
  EXPECT_THROW(s3.upload_file(src, "b", "k2"), aws::ClientError);
  EXPECT_FALSE(s3.has("b", "k2"));
  s3.delete_object({{"Bucket", "b"}, {"Key", "k"}});
  EXPECT_FALSE(s3.has("b", "k"));
  EXPECT_EQ(s3.operations(), (std::vector<std::string>{"upload_file", "download_file", "download_file",
                                                      "upload_file", "delete_object"}));
  EXPECT_EQ(s3.params("upload_file", 0)["Filename"], src);
}

TEST(ProcessTest, RunProgramFeedsInputAppliesEnvironmentAndReportsStatus) {
  testbed::TempDir dir;
  testbed::ScopedEnv env{{"TWK_TB_KEEP", "parent"}, {"TWK_TB_GONE", "parent"}};
  testbed::RunOptions o;
  o.stdinText = "typed\n";
  o.env = {{"TWK_TB_NEW", "child"}, {"TWK_TB_GONE", std::nullopt}};
  o.cwd = dir.str();
  auto r = testbed::runProgram(
      "sh", {"-c", "read x; echo \"$x $TWK_TB_KEEP $TWK_TB_NEW ${TWK_TB_GONE:-unset} $(pwd)\"; echo oops >&2; exit 3"},
      o);
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out, "typed parent child unset " + std::filesystem::canonical(dir.path()).string() + "\n");
  EXPECT_EQ(r.err, "oops\n");
}

TEST(ProcessTest, RunProgramKillsAProgramThatOverstaysItsTimeOut) {
  testbed::RunOptions o;
  o.timeout = std::chrono::milliseconds(300);
  auto r = testbed::runProgram("sleep", {"30"}, o);
  EXPECT_TRUE(r.timedOut);
  EXPECT_EQ(r.status, 128 + 9);
}

TEST(ProcessTest, ScopedEnvRestoresEarlierValues) {
  setenv("TWK_TB_A", "before", 1);
  unsetenv("TWK_TB_B");
  {
    testbed::ScopedEnv env;
    env.set("TWK_TB_A", "x").set("TWK_TB_A", "y").set("TWK_TB_B", "z");
    EXPECT_STREQ(getenv("TWK_TB_A"), "y");
  }
  EXPECT_STREQ(getenv("TWK_TB_A"), "before");
  EXPECT_EQ(getenv("TWK_TB_B"), nullptr);
}

TEST(LogCaptureTest, CapturesDescendantsAndDetachesAfterwards) {
  namespace logging = tarnwick::logging;
  {
    testbed::LogCapture capture;
    logging::getLogger("tarnwick_testlibs.bin.lib.s3").info("  done");
    logging::getLogger("tarnwick_testlibs").error("  **Error** broken");
    logging::getLogger("elsewhere").error("not ours");
    EXPECT_EQ(capture.messages(), (std::vector<std::string>{"  done", "  **Error** broken"}));
    EXPECT_EQ(capture.records()[0].logger, "tarnwick_testlibs.bin.lib.s3");
    EXPECT_EQ(capture.count(logging::ERROR), 1);
  }
  testbed::LogCapture later;
  EXPECT_EQ(logging::getLogger("tarnwick_testlibs").handlers().size(), 1u);
}

TEST(FakeServerTest, MetadataServiceDemandsItsTokenWhenToldTo) {
  testbed::FakeServer imds(testbed::FakeServer::Mode::Metadata, {{"requireToken", true}});
  auto curl = [&](std::vector<std::string> extra, const std::string& path) {
    std::vector<std::string> args{"-s", "-o", "/dev/null", "-w", "%{http_code}", "--noproxy", "*"};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(imds.url() + path);
    return testbed::runProgram("curl", args).out;
  };
  EXPECT_EQ(curl({}, "/latest/dynamic/instance-identity/document"), "401");
  EXPECT_EQ(curl({"-X", "PUT", "-H", "X-aws-ec2-metadata-token-ttl-seconds: 21600"}, "/latest/api/token"), "200");
  EXPECT_EQ(curl({"-H", "X-aws-ec2-metadata-token: fake-metadata-token"}, "/latest/dynamic/instance-identity/document"),
            "200");
  auto seen = imds.requests();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[1].method, "PUT");
  EXPECT_EQ(seen[1].header("x-aws-ec2-metadata-token-ttl-seconds"), "21600");
}

TEST(FakeServerTest, HttpsRoutesMatchOnFormAndAnswerInSequence) {
  Doc fixture = {{"routes",
                  {{{"method", "POST"},
                    {"path", "/v2/api"},
                    {"form", {{"action", "login"}}},
                    {"sequence", {{{"status", 500}}, {{"body", {{"return", true}}}}}}}}}};
  testbed::FakeServer server(testbed::FakeServer::Mode::Generic, fixture, true);
  auto post = [&] {
    return testbed::runProgram("curl", {"-s", "--noproxy", "*", "--cacert", server.certPath(), "-w", " %{http_code}",
                                        "-d", "action=login&user=u", server.url() + "/v2/api"})
        .out;
  };
  EXPECT_EQ(post(), " 500");
  EXPECT_EQ(post(), "{\"return\": true} 200");
  EXPECT_EQ(post(), "{\"return\": true} 200");
  EXPECT_EQ(server.requests().at(0).form.at("user"), "u");
}

TEST(FakeServerTest, PublicAddressServiceFollowsAFixtureChangedWhileRunning) {
  testbed::FakeServer echo(testbed::FakeServer::Mode::PublicIp, {{"ip", "198.51.100.1"}});
  auto get = [&](const std::string& path) {
    return testbed::runProgram("curl", {"-s", "--noproxy", "*", "-w", " %{http_code}", echo.url() + path}).out;
  };
  EXPECT_EQ(get("/?format=json"), "{\"ip\": \"198.51.100.1\"} 200");
  echo.setFixture({{"ip", "198.51.100.2"}});
  EXPECT_EQ(get("/?format=json"), "{\"ip\": \"198.51.100.2\"} 200");
  EXPECT_EQ(get("/"), " 404");
  echo.clearRequests();
  get("/?format=json&x=1");
  auto seen = echo.requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].query.at("x"), "1");
}

TEST(FakeServerTest, StoppingTheWrapperEndsTheServerProcess) {
  int pid = 0, port = 0;
  {
    testbed::FakeServer server(testbed::FakeServer::Mode::Generic);
    port = server.port();
    auto r = testbed::runProgram("curl", {"-s", "--noproxy", "*", "-w", "%{http_code}", server.url() + "/x"});
    EXPECT_EQ(r.out, "404");
    pid = std::stoi(testbed::runProgram("sh", {"-c", "ps -o pid=,args= --ppid " + std::to_string(getpid()) +
                                                         " | awk '/fake_server/ {print $1}'"}).out);
  }
  EXPECT_NE(pid, 0);
  EXPECT_NE(kill(pid, 0), 0);
  auto r = testbed::runProgram("curl", {"-s", "--noproxy", "*", "-m", "2", "http://127.0.0.1:" + std::to_string(port)});
  EXPECT_NE(r.status, 0);
}

TEST(ProcessTest, RunProgramRefusesAProgramThatDoesNotExist) {
  EXPECT_THROW(testbed::runProgram("/nonexistent/twk-program", {}), std::runtime_error);
}

}  // namespace
