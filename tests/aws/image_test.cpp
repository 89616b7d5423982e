// Image lookup: what it asks the services for, which answer it takes, and how it gives up.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tarnwick_testlibs/bin/core/AppExitStatus.h"
#include "tarnwick_testlibs/bin/core/logging.h"
#include "tarnwick_testlibs/bin/probe_deployer.h"
#include "testbed/fakes.h"
#include "testbed/log_capture.h"

namespace {

using tarnwick::aws::Doc;
namespace pd = tarnwick::probe_deployer;

class ImageLookup : public ::testing::Test {
 protected:
  pd::Options args(const std::string& image) {
    pd::Options a;
    a.image = image;
    return a;
  }
  testbed::LogCapture log_;
  testbed::FakeEc2 ec2_;
  testbed::FakeSsm ssm_;
};

TEST_F(ImageLookup, ByNameAsksForPublicAmazonImagesInOrderAndTakesTheFirst) {
  ec2_.answer("DescribeImages", {{"Images", {{{"ImageId", "ami-1"}}, {{"ImageId", "ami-2"}}}}});
  EXPECT_EQ(pd::getAMIByName(ec2_, args("al2023-*")), "ami-1");
  const Doc p = ec2_.params("DescribeImages");
  EXPECT_EQ(
      p.dump(),
      R"({"ExecutableUsers":["all"],"Filters":[{"Name":"name","Values":["al2023-*"]}],"Owners":["amazon"],"IncludeDeprecated":false})");
  EXPECT_EQ(log_.messages(tarnwick::logging::INFO), (std::vector<std::string>{"- Lookup AMI for al2023-*", "  ami-1"}));
}

TEST_F(ImageLookup, ByNameWithoutMatchLogsErrorAndEndsWithStatusOne) {
  ec2_.answer("DescribeImages", {{"Images", Doc::array()}});
  try {
    pd::getAMIByName(ec2_, args("nothing"));
    ADD_FAILURE() << "returned";
  } catch (const tarnwick::ProcessExit& e) {
    EXPECT_EQ(e.status(), 1);
  }
  EXPECT_TRUE(log_.contains(tarnwick::logging::ERROR, "  **Error** Failed to find image nothing"));
}

TEST_F(ImageLookup, ServiceFailuresAreNotCaught) {
  ec2_.fail("DescribeImages", testbed::serviceError("AuthFailure"));
  EXPECT_THROW(pd::getAMIByName(ec2_, args("x")), tarnwick::aws::ServiceError);
}

TEST_F(ImageLookup, FromParametersMatchesTheEndOfTheNameInAnswerOrder) {
  const Doc answer = {
      {"Parameters",
       {{{"Name", "/aws/service/ami-amazon-linux-latest/al2023-ami-kernel-6.1-arm64"}, {"Value", "ami-a"}},
        {{"Name", "/aws/service/ami-amazon-linux-latest/al2023-ami-kernel-6.1-x86_64"}, {"Value", "ami-x"}}}}};
  ssm_.always("GetParametersByPath", [&](const Doc&) { return answer; });
  EXPECT_EQ(pd::getAMI(ssm_, args("al2023-ami-kernel-6.1-x86_64")), "ami-x");
  EXPECT_EQ(pd::getAMI(ssm_, args("6.1-arm64")), "ami-a");
  EXPECT_EQ(ssm_.params("GetParametersByPath"), (Doc{{"Path", "/aws/service/ami-amazon-linux-latest"}}));
  EXPECT_THROW(pd::getAMI(ssm_, args("al2023-ami-2023.3.20240108.0-kernel-6.1-x86_64")), tarnwick::ProcessExit);
  EXPECT_TRUE(log_.contains(tarnwick::logging::ERROR,
                            "  **Error** Failed to find image al2023-ami-2023.3.20240108.0-kernel-6.1-x86_64"));
}

TEST_F(ImageLookup, FromParametersFollowsNextTokenUntilAMatch) {
  ssm_.answer("GetParametersByPath",
              {{"Parameters", {{{"Name", "/p/other"}, {"Value", "ami-o"}}}}, {"NextToken", "t2"}});
  ssm_.answer("GetParametersByPath",
              {{"Parameters", {{{"Name", "/p/al2023-x"}, {"Value", "ami-x"}}}}, {"NextToken", "t3"}});
  EXPECT_EQ(pd::getAMI(ssm_, args("al2023-x")), "ami-x");
  EXPECT_EQ(ssm_.params("GetParametersByPath"),
            (Doc{{"Path", "/aws/service/ami-amazon-linux-latest"}, {"NextToken", "t2"}}));
}

}  // namespace
