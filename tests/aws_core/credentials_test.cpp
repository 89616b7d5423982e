// The default credential chain: order of sources, profiles, processes, role assumption and the
// container and instance endpoints (served by a local fake).
#include <gtest/gtest.h>

#include "aws/clock.h"
#include "aws/credentials.h"
#include "aws/errors.h"
#include "testbed/fake_server.h"

namespace {

using testbed::FakeServer;

class CredentialChain : public testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY", "AWS_SESSION_TOKEN", "AWS_PROFILE",
                             "AWS_CONTAINER_CREDENTIALS_FULL_URI", "AWS_CONTAINER_CREDENTIALS_RELATIVE_URI",
                             "AWS_CONTAINER_AUTHORIZATION_TOKEN", "AWS_REGION", "AWS_DEFAULT_REGION"})
      env_.unset(name);
    set("AWS_CONFIG_FILE", (dir_ / "config").string());
    set("AWS_SHARED_CREDENTIALS_FILE", (dir_ / "credentials").string());
    set("AWS_EC2_METADATA_DISABLED", "true");
  }
  void set(const std::string& name, const std::optional<std::string>& value) { env_.apply({{name, value}}); }
  void write(const std::string& file, const std::string& text) { dir_.write(file, text); }

  testbed::TempDir dir_;
  testbed::ScopedEnv env_;
};

TEST_F(CredentialChain, SourcesAreTriedInTheVendorOrder) {
  write("credentials", "[default]\naws_access_key_id = FILEKEY\naws_secret_access_key = FILESECRET\n"
                       "[named]\naws_access_key_id = NAMEDKEY\naws_secret_access_key = NAMEDSECRET\n");
  write("config", "[profile other]\naws_access_key_id = CFGKEY\naws_secret_access_key = CFGSECRET\n"
                  "aws_session_token = CFGTOKEN\n");

  EXPECT_EQ(aws::defaultChain(std::nullopt)->get().accessKeyId, "FILEKEY");

  set("AWS_ACCESS_KEY_ID", "ENVKEY");
  set("AWS_SECRET_ACCESS_KEY", "ENVSECRET");
  set("AWS_SESSION_TOKEN", "ENVTOKEN");
  auto fromEnv = aws::defaultChain(std::nullopt)->get();
  EXPECT_EQ(fromEnv.accessKeyId, "ENVKEY");
  EXPECT_EQ(fromEnv.sessionToken, "ENVTOKEN");

  // A profile named on the command line wins over the environment; AWS_PROFILE does not.
  EXPECT_EQ(aws::defaultChain(std::string("named"))->get().accessKeyId, "NAMEDKEY");
  set("AWS_PROFILE", "other");
  EXPECT_EQ(aws::defaultChain(std::nullopt)->get().accessKeyId, "ENVKEY");
  set("AWS_ACCESS_KEY_ID", std::nullopt);
  auto fromConfig = aws::defaultChain(std::nullopt)->get();
  EXPECT_EQ(fromConfig.accessKeyId, "CFGKEY");
  EXPECT_EQ(fromConfig.sessionToken, "CFGTOKEN");
}

TEST_F(CredentialChain, MissingNamedProfileFailsAtOnce) {
  write("credentials", "[default]\naws_access_key_id = K\naws_secret_access_key = S\n");
  EXPECT_THROW(aws::defaultChain(std::string("nosuch")), aws::CredentialsError);
  set("AWS_PROFILE", "nosuch");
  EXPECT_THROW(aws::defaultChain(std::nullopt), aws::CredentialsError);
}

TEST_F(CredentialChain, NoSourceGivesCredentialsError) {
  auto chain = aws::defaultChain(std::nullopt);
  EXPECT_THROW(chain->get(), aws::CredentialsError);
}

TEST_F(CredentialChain, CredentialProcessOutputIsUsedAndFailuresReported) {
  write("config",
        "[default]\ncredential_process = printf '{\"Version\": 1, \"AccessKeyId\": \"PROCKEY\", "
        "\"SecretAccessKey\": \"PROCSECRET\", \"SessionToken\": \"PROCTOKEN\", "
        "\"Expiration\": \"2999-01-01T00:00:00Z\"}'\n"
        "[profile broken]\ncredential_process = sh -c 'exit 3'\n"
        "[profile numeric]\ncredential_process = printf '{\"Version\": 1, \"AccessKeyId\": 7, "
        "\"SecretAccessKey\": \"S\"}'\n"
        "[profile undated]\ncredential_process = printf '{\"Version\": 1, \"AccessKeyId\": \"K\", "
        "\"SecretAccessKey\": \"S\", \"Expiration\": \"soon\"}'\n");
  auto c = aws::defaultChain(std::nullopt)->get();
  EXPECT_EQ(c.accessKeyId, "PROCKEY");
  EXPECT_EQ(c.secretAccessKey, "PROCSECRET");
  EXPECT_EQ(c.sessionToken, "PROCTOKEN");
  ASSERT_TRUE(c.expiration.has_value());
  // Beyond the clock's nanosecond range (2262), yet still far in the future, not long past.
  EXPECT_GT(*c.expiration, std::chrono::system_clock::from_time_t(4102444800));  // 2100
  EXPECT_THROW(aws::defaultChain(std::string("broken"))->get(), aws::CredentialsError);
  EXPECT_THROW(aws::defaultChain(std::string("numeric"))->get(), aws::CredentialsError);
  EXPECT_THROW(aws::defaultChain(std::string("undated"))->get(), aws::CredentialsError);
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
                     {"body", "<ErrorResponse><Error><Code>AccessDenied</Code><Message>no</Message></Error>"
                              "<RequestId>rid-1</RequestId></ErrorResponse>"}},
                    {{"body", kAssumeRoleAnswer}}}}});
  set("AWS_ENDPOINT_URL_STS", sts.url());
  write("credentials", "[base]\naws_access_key_id = BASEKEY\naws_secret_access_key = BASESECRET\n");
  write("config",
        "[profile deploy]\nrole_arn = arn:aws:iam::111122223333:role/deployer\nsource_profile = base\n"
        "role_session_name = s1\nregion = eu-west-1\n"
        "[profile denied]\nrole_arn = arn:aws:iam::111122223333:role/denied\nsource_profile = base\n");

  auto c = aws::defaultChain(std::string("deploy"))->get();
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
    aws::defaultChain(std::string("denied"))->get();
    FAIL() << "AssumeRole refusal was not reported";
  } catch (const aws::ServiceError& e) {
    EXPECT_EQ(e.code(), "AccessDenied");
    EXPECT_EQ(e.requestId(), "rid-1");
    EXPECT_EQ(e.httpStatus(), 403);
  }
}

TEST_F(CredentialChain, ContainerEndpointIsAskedWithItsAuthorizationToken) {
  FakeServer container(FakeServer::Mode::Generic,
                       {{"routes",
                         {{{"path", "/creds"},
                           {"body", {{"AccessKeyId", "CKEY"}, {"SecretAccessKey", "CSECRET"}, {"Token", "CTOKEN"},
                                     {"Expiration", "2999-01-01T00:00:00Z"}}}}}}});
  set("AWS_CONTAINER_CREDENTIALS_FULL_URI", container.url() + "/creds");
  set("AWS_CONTAINER_AUTHORIZATION_TOKEN", "secret-auth");
  auto c = aws::defaultChain(std::nullopt)->get();
  EXPECT_EQ(c.accessKeyId, "CKEY");
  EXPECT_EQ(c.sessionToken, "CTOKEN");
  EXPECT_EQ(container.requests().at(0).header("authorization"), "secret-auth");

  set("AWS_CONTAINER_CREDENTIALS_FULL_URI", "http://example.com/creds");
  EXPECT_THROW(aws::defaultChain(std::nullopt)->get(), aws::CredentialsError);
}

TEST_F(CredentialChain, InstanceRoleUsesSessionTokenAndRefreshesBeforeExpiry) {
  auto clock = std::make_shared<aws::ManualClock>(std::chrono::system_clock::from_time_t(1714566645));
  aws::setClock(clock);
  // The service answers 401 to any request without its session token.
  FakeServer imds(FakeServer::Mode::Metadata,
                  {{"requireToken", true},
                   {"token", "TOKEN-1"},
                   {"role", "workflow-role"},
                   {"credentials", {{"Code", "Success"}, {"AccessKeyId", "IKEY"}, {"SecretAccessKey", "ISECRET"},
                                    {"Token", "ITOKEN"}, {"Expiration", "2024-05-01T13:00:00Z"}}}});
  set("AWS_EC2_METADATA_DISABLED", "false");
  set("AWS_EC2_METADATA_SERVICE_ENDPOINT", imds.url());

  auto chain = aws::defaultChain(std::nullopt);
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
  aws::setClock(nullptr);
}

}  // namespace
