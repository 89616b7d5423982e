// The default credential chain: order of sources, profiles, processes, role assumption and the
// container and instance endpoints (served by a local fake).
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

#include "tarnwick_testlibs/aws/clock.h"
#include "tarnwick_testlibs/aws/credentials.h"
#include "tarnwick_testlibs/aws/errors.h"
#include "tarnwick_testlibs/aws/session.h"
#include "testbed/fake_server.h"

namespace {

using testbed::FakeServer;

class CredentialChain : public testing::Test {
 protected:
  void SetUp() override {
    for (const char* name :
         {"AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY", "AWS_SESSION_TOKEN", "AWS_PROFILE",
          "AWS_CONTAINER_CREDENTIALS_FULL_URI", "AWS_CONTAINER_CREDENTIALS_RELATIVE_URI",
          "AWS_CONTAINER_AUTHORIZATION_TOKEN", "AWS_REGION", "AWS_DEFAULT_REGION", "AWS_WEB_IDENTITY_TOKEN_FILE",
          "AWS_ROLE_ARN", "AWS_ROLE_SESSION_NAME", "AWS_ENDPOINT_URL"})
      env_.unset(name);
    set("AWS_CONFIG_FILE", (dir_ / "config").string());
    set("AWS_SHARED_CREDENTIALS_FILE", (dir_ / "credentials").string());
    set("AWS_EC2_METADATA_DISABLED", "true");
    set("HOME", dir_.str());
  }
  void set(const std::string& name, const std::optional<std::string>& value) { env_.apply({{name, value}}); }
  std::string write(const std::string& file, const std::string& text) { return dir_.write(file, text); }
  // The message of the CredentialsError that `get` of the profile's chain throws.
  static std::string failureOf(const std::optional<std::string>& profile) {
    try {
      tarnwick::aws::defaultChain(profile)->get();
    } catch (const tarnwick::aws::CredentialsError& e) {
      return e.what();
    }
    ADD_FAILURE() << "no CredentialsError";
    return "";
  }

  testbed::TempDir dir_;
  testbed::ScopedEnv env_;
};

TEST_F(CredentialChain, SourcesAreTriedInTheVendorOrder) {
  write("credentials",
        "[default]\naws_access_key_id = FILEKEY\naws_secret_access_key = FILESECRET\n"
        "[named]\naws_access_key_id = NAMEDKEY\naws_secret_access_key = NAMEDSECRET\n");
  write("config",
        "[profile other]\naws_access_key_id = CFGKEY\naws_secret_access_key = CFGSECRET\n"
        "aws_session_token = CFGTOKEN\n");

  EXPECT_EQ(tarnwick::aws::defaultChain(std::nullopt)->get().accessKeyId, "FILEKEY");

  set("AWS_ACCESS_KEY_ID", "ENVKEY");
  set("AWS_SECRET_ACCESS_KEY", "ENVSECRET");
  set("AWS_SESSION_TOKEN", "ENVTOKEN");
  auto fromEnv = tarnwick::aws::defaultChain(std::nullopt)->get();
  EXPECT_EQ(fromEnv.accessKeyId, "ENVKEY");
  EXPECT_EQ(fromEnv.sessionToken, "ENVTOKEN");

  // A profile named on the command line wins over the environment; AWS_PROFILE does not.
  EXPECT_EQ(tarnwick::aws::defaultChain(std::string("named"))->get().accessKeyId, "NAMEDKEY");
  set("AWS_PROFILE", "other");
  EXPECT_EQ(tarnwick::aws::defaultChain(std::nullopt)->get().accessKeyId, "ENVKEY");
  set("AWS_ACCESS_KEY_ID", std::nullopt);
  auto fromConfig = tarnwick::aws::defaultChain(std::nullopt)->get();
  EXPECT_EQ(fromConfig.accessKeyId, "CFGKEY");
  EXPECT_EQ(fromConfig.sessionToken, "CFGTOKEN");
}

TEST_F(CredentialChain, MissingNamedProfileFailsAtOnce) {
  write("credentials", "[default]\naws_access_key_id = K\naws_secret_access_key = S\n");
  EXPECT_THROW(tarnwick::aws::defaultChain(std::string("nosuch")), tarnwick::aws::CredentialsError);
  set("AWS_PROFILE", "nosuch");
  EXPECT_THROW(tarnwick::aws::defaultChain(std::nullopt), tarnwick::aws::CredentialsError);
}

TEST_F(CredentialChain, NoSourceGivesCredentialsError) {
  auto chain = tarnwick::aws::defaultChain(std::nullopt);
  try {
    chain->get();
    FAIL() << "credentials without a source";
  } catch (const tarnwick::aws::CredentialsError& e) {
    EXPECT_EQ(e.kind(), tarnwick::aws::FailureKind::kCredentials);
  }
}

TEST_F(CredentialChain, CredentialProcessOutputIsUsedAndFailuresReported) {
  write("config",
        "[default]\ncredential_process = printf '{\"Version\": 1, \"AccessKeyId\": \"PROCKEY\", "
        "\"SecretAccessKey\": \"PROCSECRET\", \"SessionToken\": \"PROCTOKEN\", "
        "\"Expiration\": \"2999-01-01T00:00:00Z\"}'\n"
        "[profile broken]\ncredential_process = sh -c 'echo denied by policy >&2; exit 3'\n"
        "[profile numeric]\ncredential_process = printf '{\"Version\": 1, \"AccessKeyId\": 7, "
        "\"SecretAccessKey\": \"S\"}'\n"
        "[profile undated]\ncredential_process = printf '{\"Version\": 1, \"AccessKeyId\": \"K\", "
        "\"SecretAccessKey\": \"S\", \"Expiration\": \"soon\"}'\n");
  auto c = tarnwick::aws::defaultChain(std::nullopt)->get();
  EXPECT_EQ(c.accessKeyId, "PROCKEY");
  EXPECT_EQ(c.secretAccessKey, "PROCSECRET");
  EXPECT_EQ(c.sessionToken, "PROCTOKEN");
  ASSERT_TRUE(c.expiration.has_value());
  // Beyond the clock's nanosecond range (2262), yet still far in the future, not long past.
  EXPECT_GT(*c.expiration, std::chrono::system_clock::from_time_t(4102444800));  // 2100
  EXPECT_NE(failureOf(std::string("broken"))
                .find("exit status 3): sh -c 'echo denied by policy >&2; exit 3': denied by policy"),
            std::string::npos);
  EXPECT_EQ(failureOf(std::string("numeric")), "credential_process returned no access key");
  EXPECT_EQ(failureOf(std::string("undated")), "credential_process returned an Expiration that is not a time");
}

const char* kAssumeRoleAnswer =
    "<AssumeRoleResponse xmlns=\"https://sts.amazonaws.com/doc/2011-06-15/\"><AssumeRoleResult>"
    "<Credentials><AccessKeyId>ROLEKEY</AccessKeyId><SecretAccessKey>ROLESECRET</SecretAccessKey>"
    "<SessionToken>ROLETOKEN</SessionToken><Expiration>2999-01-01T00:00:00Z</Expiration></Credentials>"
    "</AssumeRoleResult></AssumeRoleResponse>";

TEST_F(CredentialChain, RoleProfileAssumesRoleWithSourceProfileKeys) {
  FakeServer sts(FakeServer::Mode::Generic,
                 {{"routes",
                   {{{"form", {{"RoleArn", "arn:aws:iam::111122223333:role/denied"}}},
                     {"status", 403},
                     {"body",
                      "<ErrorResponse><Error><Code>AccessDenied</Code><Message>no</Message></Error>"
                      "<RequestId>rid-1</RequestId></ErrorResponse>"}},
                    {{"body", kAssumeRoleAnswer}}}}});
  set("AWS_ENDPOINT_URL_STS", sts.url());
  write("credentials", "[base]\naws_access_key_id = BASEKEY\naws_secret_access_key = BASESECRET\n");
  // A source profile with keys lends them, even when it names a role of its own.
  write("config",
        "[profile deploy]\nrole_arn = arn:aws:iam::111122223333:role/deployer\nsource_profile = base\n"
        "role_session_name = s1\nregion = eu-west-1\n"
        "[profile base]\nrole_arn = arn:aws:iam::111122223333:role/unused\nsource_profile = base\n"
        "[profile denied]\nrole_arn = arn:aws:iam::111122223333:role/denied\nsource_profile = base\n"
        "[profile mfa]\nrole_arn = arn:aws:iam::111122223333:role/deployer\nsource_profile = base\n"
        "mfa_serial = arn:aws:iam::111122223333:mfa/me\n");

  auto c = tarnwick::aws::defaultChain(std::string("deploy"))->get();
  EXPECT_EQ(c.accessKeyId, "ROLEKEY");
  EXPECT_EQ(c.sessionToken, "ROLETOKEN");
  ASSERT_EQ(sts.requests().size(), 1u);
  const auto sent = sts.requests()[0];
  EXPECT_EQ(sent.method, "POST");
  EXPECT_EQ(sent.form.at("Action"), "AssumeRole");
  EXPECT_EQ(sent.form.at("RoleSessionName"), "s1");
  EXPECT_NE(sent.header("authorization").find("Credential=BASEKEY/"), std::string::npos);
  EXPECT_NE(sent.header("authorization").find("/eu-west-1/sts/aws4_request"), std::string::npos);

  try {
    tarnwick::aws::defaultChain(std::string("denied"))->get();
    FAIL() << "AssumeRole refusal was not reported";
  } catch (const tarnwick::aws::ServiceError& e) {
    EXPECT_EQ(e.code(), "AccessDenied");
    EXPECT_EQ(e.requestId(), "rid-1");
    EXPECT_EQ(e.httpStatus(), 403);
  }

  // Without a controlling terminal an MFA code cannot be asked for.
  EXPECT_EXIT((setsid(), std::cerr << failureOf(std::string("mfa")), std::exit(0)), testing::ExitedWithCode(0),
              "needs an MFA code for arn:aws:iam::111122223333:mfa/me \\(mfa_serial\\), but there is no terminal");
  EXPECT_EQ(sts.requests().size(), 2u);
}

// A code is good for one assumption: when the role's credentials run out in a long run, the
// terminal is asked again, with a prompt that says so.
TEST_F(CredentialChain, ExpiredMfaRoleCredentialsAskForANewCodeOnTheTerminal) {
  FakeServer sts(
      FakeServer::Mode::Generic,
      {{"routes", {{{"body", std::regex_replace(kAssumeRoleAnswer, std::regex("2999-01-01T00"), "2024-05-01T13")}}}}});
  set("AWS_ENDPOINT_URL_STS", sts.url());
  write("credentials", "[base]\naws_access_key_id = BASEKEY\naws_secret_access_key = BASESECRET\n");
  write("config",
        "[profile mfa]\nrole_arn = arn:aws:iam::111122223333:role/deployer\nsource_profile = base\n"
        "mfa_serial = arn:aws:iam::111122223333:mfa/me\n");
  int master = -1;
  const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  ASSERT_GE(pid, 0);
  if (pid == 0) {  // on the terminal: the first credentials, then the renewal an hour later
    auto clock = std::make_shared<tarnwick::aws::ManualClock>(std::chrono::system_clock::from_time_t(1714566645));
    tarnwick::aws::setClock(clock);
    auto chain = tarnwick::aws::defaultChain(std::string("mfa"));
    chain->get();
    clock->advance(std::chrono::hours(1));
    _exit(chain->get().accessKeyId == "ROLEKEY" ? 0 : 3);
  }
  std::string screen;
  const std::vector<std::string> codes{"111111", "222222"};
  size_t answered = 0;
  char buffer[1024];
  for (pollfd p{master, POLLIN, 0}; poll(&p, 1, 30000) > 0;) {
    const ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) break;
    screen.append(buffer, static_cast<size_t>(n));
    size_t prompts = 0;
    for (size_t at = screen.find("MFA code for"); at != std::string::npos; at = screen.find("MFA code for", at + 1))
      ++prompts;
    for (; answered < prompts && answered < codes.size(); ++answered) {
      termios mode{};  // answer only once echo is off, or the line would be flushed with the old mode
      while (tcgetattr(master, &mode) == 0 && (mode.c_lflag & ECHO)) usleep(10000);
      const std::string line = codes[answered] + "\n";
      ASSERT_EQ(::write(master, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    }
  }
  close(master);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << screen;
  EXPECT_NE(screen.find("Enter MFA code for arn:aws:iam::111122223333:mfa/me"), std::string::npos) << screen;
  EXPECT_NE(screen.find("Enter a new MFA code for arn:aws:iam::111122223333:mfa/me"), std::string::npos) << screen;
  EXPECT_EQ(screen.find("111111"), std::string::npos) << screen;
  const auto sent = sts.requests();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].form.at("TokenCode"), "111111");
  EXPECT_EQ(sent[1].form.at("TokenCode"), "222222");
}

TEST_F(CredentialChain, ContainerEndpointIsAskedWithItsAuthorizationToken) {
  FakeServer container(FakeServer::Mode::Generic, {{"routes",
                                                    {{{"path", "/creds"},
                                                      {"body",
                                                       {{"AccessKeyId", "CKEY"},
                                                        {"SecretAccessKey", "CSECRET"},
                                                        {"Token", "CTOKEN"},
                                                        {"Expiration", "2999-01-01T00:00:00Z"}}}}}}});
  set("AWS_CONTAINER_CREDENTIALS_FULL_URI", container.url() + "/creds");
  set("AWS_CONTAINER_AUTHORIZATION_TOKEN", "secret-auth");
  auto c = tarnwick::aws::defaultChain(std::nullopt)->get();
  EXPECT_EQ(c.accessKeyId, "CKEY");
  EXPECT_EQ(c.sessionToken, "CTOKEN");
  EXPECT_EQ(container.requests().at(0).header("authorization"), "secret-auth");

  for (const char* url : {"http://example.com/creds", "http://127.0.0.1.example.com/creds",
                          "http://127.0.0.1@example.com/creds", "http://localhost.example.com/creds"}) {
    set("AWS_CONTAINER_CREDENTIALS_FULL_URI", url);
    EXPECT_THROW(tarnwick::aws::defaultChain(std::nullopt)->get(), tarnwick::aws::CredentialsError) << url;
  }
}

TEST_F(CredentialChain, InstanceRoleUsesSessionTokenAndRefreshesBeforeExpiry) {
  auto clock = std::make_shared<tarnwick::aws::ManualClock>(std::chrono::system_clock::from_time_t(1714566645));
  tarnwick::aws::setClock(clock);
  // The service answers 401 to any request without its session token.
  FakeServer imds(FakeServer::Mode::Metadata, {{"requireToken", true},
                                               {"token", "TOKEN-1"},
                                               {"role", "workflow-role"},
                                               {"credentials",
                                                {{"Code", "Success"},
                                                 {"AccessKeyId", "IKEY"},
                                                 {"SecretAccessKey", "ISECRET"},
                                                 {"Token", "ITOKEN"},
                                                 {"Expiration", "2024-05-01T13:00:00Z"}}}});
  set("AWS_EC2_METADATA_DISABLED", "false");
  set("AWS_EC2_METADATA_SERVICE_ENDPOINT", imds.url());

  auto chain = tarnwick::aws::defaultChain(std::nullopt);
  EXPECT_EQ(chain->get().sessionToken, "ITOKEN");
  EXPECT_EQ(chain->get().accessKeyId, "IKEY");
  auto credentialFetches = [&] {
    int n = 0;
    for (const auto& r : imds.requests()) n += r.path.ends_with("/workflow-role");
    return n;
  };
  EXPECT_EQ(credentialFetches(), 1);
  clock->advance(std::chrono::minutes(26));  // four minutes before expiry
  chain->get();
  EXPECT_EQ(credentialFetches(), 2);
  tarnwick::aws::setClock(nullptr);
}

TEST_F(CredentialChain, WebIdentityIsUnsignedFromEnvironmentOrProfileAndNeverFallsThrough) {
  const std::string answer =
      std::regex_replace(kAssumeRoleAnswer, std::regex("AssumeRole"), "AssumeRoleWithWebIdentity");
  FakeServer sts(FakeServer::Mode::Generic, {{"routes", {{{"body", answer}}}}});
  set("AWS_ENDPOINT_URL_STS", sts.url());
  set("AWS_WEB_IDENTITY_TOKEN_FILE", write("ci-token", "ci-oidc-token\n"));
  set("AWS_ROLE_ARN", "arn:aws:iam::111122223333:role/ci");
  set("AWS_ROLE_SESSION_NAME", "gha");
  write("config", "[profile pod]\nweb_identity_token_file = " + write("pod-token", "pod-token") +
                      "\nrole_arn = arn:aws:iam::111122223333:role/pod\n");

  EXPECT_EQ(tarnwick::aws::defaultChain(std::nullopt)->get().sessionToken, "ROLETOKEN");
  // A profile named on the command line leaves the environment's settings aside.
  EXPECT_EQ(tarnwick::aws::defaultChain(std::string("pod"))->get().accessKeyId, "ROLEKEY");
  const auto sent = sts.requests();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].form.at("WebIdentityToken"), "ci-oidc-token");
  EXPECT_EQ(sent[0].form.at("RoleArn"), "arn:aws:iam::111122223333:role/ci");
  EXPECT_EQ(sent[0].form.at("RoleSessionName"), "gha");
  EXPECT_EQ(sent[0].header("authorization"), "");
  EXPECT_EQ(sent[1].form.at("WebIdentityToken"), "pod-token");
  EXPECT_EQ(sent[1].form.at("RoleArn"), "arn:aws:iam::111122223333:role/pod");

  // On a node with an instance role, a broken web identity set-up is reported, not replaced.
  FakeServer imds(FakeServer::Mode::Metadata,
                  {{"credentials", {{"AccessKeyId", "NODEKEY"}, {"SecretAccessKey", "S"}, {"Token", "T"}}}});
  set("AWS_EC2_METADATA_DISABLED", "false");
  set("AWS_EC2_METADATA_SERVICE_ENDPOINT", imds.url());
  set("AWS_ROLE_ARN", std::nullopt);
  EXPECT_NE(failureOf(std::nullopt).find("no role"), std::string::npos);
  set("AWS_ROLE_ARN", "arn:aws:iam::111122223333:role/ci");
  set("AWS_WEB_IDENTITY_TOKEN_FILE", (dir_ / "missing-token").string());
  EXPECT_NE(failureOf(std::nullopt).find("missing-token cannot be read"), std::string::npos);
}

// Where each source that needs STS asks it, seen through a proxy that records each tunnel's host
// and refuses it: the first client's region, else the configured one, else the run's, else global.
TEST_F(CredentialChain, StsIsAskedInTheFirstClientsRegionElseTheConfiguredOrTheRunRegion) {
  FakeServer proxy(FakeServer::Mode::Generic);
  env_.apply({{"HTTPS_PROXY", proxy.url()},
              {"NO_PROXY", "127.0.0.1"},
              {"AWS_MAX_ATTEMPTS", "1"},
              {"AWS_SECRET_ACCESS_KEY", "S"},
              {"AWS_ROLE_ARN", "arn:aws:iam::1:role/r"},
              {"AWS_WEB_IDENTITY_TOKEN_FILE", write("token", "t")}});
  write("credentials", "[base]\naws_access_key_id = K\naws_secret_access_key = S\n");
  write("config", "[profile pod]\nweb_identity_token_file = " + (dir_ / "token").string() +
                      "\nrole_arn = r\nregion = "
                      "us-west-2\n[profile src]\nrole_arn = r\nsource_profile = base\n[profile ci]\nrole_arn = r\n"
                      "credential_source = Environment\n");
  const auto opt = [](const char* v) { return *v ? std::optional<std::string>(v) : std::nullopt; };
  struct Row {
    const char *profile, *run, *client, *envRegion, *setting, *host;
  };  // client "": S3 without one
  for (const Row& row : {Row{"", "cn-north-1", "cn-north-1", "", "", "sts.cn-north-1.amazonaws.com.cn:443"},
                         Row{"pod", "eu-west-1", "", "", "", "sts.us-west-2.amazonaws.com:443"},
                         Row{"src", "eu-west-1", "", "", "", "sts.eu-west-1.amazonaws.com:443"},
                         Row{"ci", "", "us-gov-west-1", "eu-west-1", "", "sts.us-gov-west-1.amazonaws.com:443"},
                         Row{"src", "", "", "", "", "sts.amazonaws.com:443"},
                         Row{"", "", "eu-west-1", "", "legacy", "sts.amazonaws.com:443"},
                         Row{"", "cn-north-1", "", "", "legacy", "sts.cn-north-1.amazonaws.com.cn:443"}}) {
    env_.apply({{"AWS_ACCESS_KEY_ID", *row.profile ? opt("K") : std::nullopt},
                {"AWS_REGION", opt(row.envRegion)},
                {"AWS_STS_REGIONAL_ENDPOINTS", opt(row.setting)}});
    const auto session = tarnwick::aws::Session::fromProfile(opt(row.profile), opt(row.run));
    if (*row.client)
      session.ec2(std::string(row.client));
    else
      session.s3();
    proxy.clearRequests();
    EXPECT_THROW(session.credentials()->get(), std::exception);
    EXPECT_EQ(proxy.requests().at(0).header("host"), row.host);
  }
  set("AWS_ENDPOINT_URL_STS", proxy.url());  // an override wins over every region
  EXPECT_THROW(tarnwick::aws::Session::fromProfile(std::nullopt, opt("cn-north-1")).credentials()->get(),
               std::exception);
  EXPECT_EQ(proxy.requests().back().header("host"), proxy.host());
  set("AWS_STS_REGIONAL_ENDPOINTS", "global");
  EXPECT_THROW(tarnwick::aws::Session::fromProfile(std::nullopt).sts(std::string("eu-west-1")),
               tarnwick::aws::ClientError);
}

TEST_F(CredentialChain, SsoProfilesUseTheCachedTokenAndAskForALoginWhenItIsStale) {
  FakeServer portal(FakeServer::Mode::SsoPortal,
                    {{"token", "sso-access-token"}, {"account", "111122223333"}, {"role", "Deployer"}});
  set("AWS_ENDPOINT_URL_SSO", portal.url());
  write("config",
        "[profile current]\nsso_session = corp\nsso_account_id = 111122223333\nsso_role_name = Deployer\n"
        "[sso-session corp]\nsso_start_url = https://corp.awsapps.com/start\nsso_region = eu-west-1\n"
        "[profile legacy]\nsso_start_url = https://old.awsapps.com/start\nsso_region = eu-west-1\n"
        "sso_account_id = 111122223333\nsso_role_name = Deployer\n"
        "[profile partial]\nsso_account_id = 111122223333\n");
  testbed::cacheSsoToken(dir_.path(), "corp", "sso-access-token", "2200-01-01T00:00:00Z");
  testbed::cacheSsoToken(dir_.path(), "https://old.awsapps.com/start", "sso-access-token", "2200-01-01T00:00:00Z");
  for (const char* profile : {"current", "legacy"}) {
    auto c = tarnwick::aws::defaultChain(std::string(profile))->get();
    EXPECT_TRUE(c.accessKeyId == "SSOKEY" && c.sessionToken == "SSOTOKEN" && c.expiration) << profile;
  }
  EXPECT_EQ(portal.requests().size(), 2u);

  // Expired in the cache, or refused by the portal: both say how to log in again.
  for (auto [token, expiresAt] :
       {std::pair{"sso-access-token", "2000-01-01T00:00:00Z"}, std::pair{"revoked-token", "2200-01-01T00:00:00Z"}}) {
    testbed::cacheSsoToken(dir_.path(), "corp", token, expiresAt);
    std::string message = failureOf(std::string("current"));
    EXPECT_NE(message.find("run `aws sso login --profile current`"), std::string::npos) << message;
  }
  EXPECT_EQ(portal.requests().size(), 3u);

  // Near its end the token is refreshed with the cached refresh token, and the cache keeps the new one.
  set("AWS_ENDPOINT_URL_SSO_OIDC", portal.url());
  portal.setFixture({{"token", "sso-access-token"},
                     {"account", "111122223333"},
                     {"role", "Deployer"},
                     {"refreshToken", "refresh-1"}});
  const auto soon = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now() + std::chrono::minutes(5));
  char expiresAt[32];
  std::strftime(expiresAt, sizeof expiresAt, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&soon));
  testbed::cacheSsoToken(dir_.path(), "corp", "stale-token", expiresAt,
                         {{"refreshToken", "refresh-1"},
                          {"clientId", "c"},
                          {"clientSecret", "cs"},
                          {"registrationExpiresAt", "2200-01-01T00:00:00Z"}});
  EXPECT_EQ(tarnwick::aws::defaultChain(std::string("current"))->get().accessKeyId, "SSOKEY");
  EXPECT_EQ(portal.requests().at(3).path, "/token");
  EXPECT_EQ(tarnwick::aws::defaultChain(std::string("current"))->get().accessKeyId, "SSOKEY");
  EXPECT_EQ(portal.requests().size(), 6u);  // the renewed token was cached: no second refresh
  EXPECT_NE(failureOf(std::string("partial")).find("lacks sso_start_url, sso_region, sso_role_name"),
            std::string::npos);
}

// Each source's short outage, as the SDKs ride it out: a container endpoint that fails twice (a
// second apart), an identity provider STS could not reach, a metadata service that fails.
TEST_F(CredentialChain, TransientFailuresOfEachSourceAreRetried) {
  auto clock = std::make_shared<tarnwick::aws::ManualClock>();
  tarnwick::aws::setClock(clock);
  const nlohmann::ordered_json creds = {
      {"AccessKeyId", "KEY"}, {"SecretAccessKey", "S"}, {"Token", "T"}, {"Expiration", "2999-01-01T00:00:00Z"}};
  const nlohmann::ordered_json blips = {{{"status", 500}}, {{"body", "<html>"}}, {{"body", creds}}};
  FakeServer container(FakeServer::Mode::Generic, {{"routes", {{{"sequence", blips}}}}});
  set("AWS_CONTAINER_CREDENTIALS_FULL_URI", container.url() + "/creds");
  EXPECT_EQ(tarnwick::aws::defaultChain(std::nullopt)->get().accessKeyId, "KEY");
  EXPECT_EQ(clock->slept(), std::chrono::seconds(2));

  const std::string idpDown = "<ErrorResponse><Error><Code>IDPCommunicationError</Code></Error></ErrorResponse>";
  const std::string answer =
      std::regex_replace(kAssumeRoleAnswer, std::regex("AssumeRole"), "AssumeRoleWithWebIdentity");
  FakeServer sts(FakeServer::Mode::Generic,
                 {{"routes", {{{"sequence", {{{"status", 400}, {"body", idpDown}}, {{"body", answer}}}}}}}});
  set("AWS_ENDPOINT_URL_STS", sts.url());
  set("AWS_WEB_IDENTITY_TOKEN_FILE", write("ci-token", "t"));
  set("AWS_ROLE_ARN", "arn:aws:iam::111122223333:role/ci");
  EXPECT_EQ(tarnwick::aws::defaultChain(std::nullopt)->get().accessKeyId, "ROLEKEY");
  EXPECT_EQ(sts.requests().size(), 2u);
  set("AWS_WEB_IDENTITY_TOKEN_FILE", std::nullopt);
  set("AWS_CONTAINER_CREDENTIALS_FULL_URI", std::nullopt);

  // Tokens refused at first (not remembered), then required; IMDSv1 off; attempts from the config.
  FakeServer imds(FakeServer::Mode::Metadata, {{"tokenStatus", 403}, {"credentials", creds}});
  set("AWS_EC2_METADATA_DISABLED", "false");
  set("AWS_EC2_METADATA_SERVICE_ENDPOINT", imds.url());
  EXPECT_EQ(tarnwick::aws::defaultChain(std::nullopt)->get().accessKeyId, "KEY");
  set("AWS_EC2_METADATA_V1_DISABLED", "true");
  EXPECT_NE(failureOf(std::nullopt).find("IMDSv1 is disabled"), std::string::npos);
  const std::string rolePath = "/latest/meta-data/iam/security-credentials/fake-instance-role";
  imds.setFixture({{"requireToken", true},
                   {"routes", {{{"path", rolePath}, {"sequence", {{{"status", 500}}, {{"body", creds}}}}}}}});
  write("config", "[default]\nmetadata_service_num_attempts = 2\n");
  EXPECT_EQ(tarnwick::aws::defaultChain(std::nullopt)->get().accessKeyId, "KEY");
  write("config", "[default]\nmetadata_service_timeout = soon\n");
  EXPECT_NE(failureOf(std::nullopt).find("metadata_service_timeout in the config file must be"), std::string::npos);
  tarnwick::aws::setClock(nullptr);
}

// Renewal of temporary credentials shared by several threads, on a manual clock.
class RefreshWindows : public testing::Test {
 protected:
  void SetUp() override { tarnwick::aws::setClock(clock_); }
  void TearDown() override { tarnwick::aws::setClock(nullptr); }
  tarnwick::aws::Credentials issued(const std::string& key, std::chrono::minutes lifetime) {
    return {key, "S", "T", clock_->now() + lifetime};
  }
  // A renewal that waits inside the fetch until released.
  std::shared_ptr<tarnwick::aws::CredentialsProvider> heldRenewal() {
    return tarnwick::aws::refreshingCredentials(
        [this] {
          ++fetches_;
          entered_.set_value();
          release_.wait();
          return issued("NEW", std::chrono::minutes(60));
        },
        issued("OLD", std::chrono::minutes(60)));
  }

  std::shared_ptr<tarnwick::aws::ManualClock> clock_ = std::make_shared<tarnwick::aws::ManualClock>();
  std::atomic<int> fetches_{0};
  std::promise<void> entered_, released_;
  std::shared_future<void> release_ = released_.get_future().share();
};

TEST_F(RefreshWindows, OneCallerRenewsInTheAdvisoryWindowWhileTheOthersGoOn) {
  auto provider = heldRenewal();
  EXPECT_EQ(provider->get().accessKeyId, "OLD");
  clock_->advance(std::chrono::minutes(47));
  auto renewing = std::async(std::launch::async, [&] { return provider->get().accessKeyId; });
  entered_.get_future().wait();
  EXPECT_EQ(provider->get().accessKeyId, "OLD");
  released_.set_value();
  EXPECT_EQ(renewing.get(), "NEW");
  EXPECT_EQ(fetches_, 1);
}

TEST_F(RefreshWindows, CallersWaitForTheRenewalInTheMandatoryWindow) {
  auto provider = heldRenewal();
  clock_->advance(std::chrono::minutes(52));
  auto first = std::async(std::launch::async, [&] { return provider->get().accessKeyId; });
  entered_.get_future().wait();
  auto second = std::async(std::launch::async, [&] { return provider->get().accessKeyId; });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // lets the second caller reach the renewal
  released_.set_value();
  EXPECT_EQ(first.get() + second.get(), "NEWNEW");
  EXPECT_EQ(fetches_, 1);
}

TEST_F(RefreshWindows, FailedRenewalKeepsValidCredentialsUntilTheyExpire) {
  auto provider = tarnwick::aws::refreshingCredentials(
      [this]() -> tarnwick::aws::Credentials {
        ++fetches_;
        throw tarnwick::aws::ServiceError("Throttling", "Rate exceeded", 400, "rid", "AssumeRole");
      },
      issued("OLD", std::chrono::minutes(60)));
  clock_->advance(std::chrono::minutes(55));
  EXPECT_EQ(provider->get().accessKeyId, "OLD");
  EXPECT_EQ(provider->get().accessKeyId, "OLD");
  EXPECT_EQ(fetches_, 1);  // a throttled service is not asked again at once
  clock_->advance(std::chrono::minutes(1));
  provider->get();
  EXPECT_EQ(fetches_, 2);
  clock_->advance(std::chrono::minutes(4));
  EXPECT_THROW(provider->get(), tarnwick::aws::ServiceError);

  // Credentials issued for 15 minutes are not renewed on every call.
  auto shortLived = tarnwick::aws::refreshingCredentials([this] { return issued("NEXT", std::chrono::minutes(15)); },
                                                         issued("FIRST", std::chrono::minutes(15)));
  clock_->advance(std::chrono::minutes(5));
  EXPECT_EQ(shortLived->get().accessKeyId, "FIRST");
}

}  // namespace
