// The EC2 waiters' acceptors, attempts and delays, against a recording client and a manual clock.
#include <gtest/gtest.h>

#include <memory>

#include <nlohmann/json.hpp>

#include "tarnwick_testlibs/aws/clock.h"
#include "tarnwick_testlibs/aws/errors.h"
#include "tarnwick_testlibs/aws/waiters.h"
#include "testbed/fakes.h"

namespace {

using tarnwick::aws::Doc;

Doc statuses(std::initializer_list<const char*> states) {
  Doc list = Doc::array();
  for (const char* s : states) list.push_back({{"InstanceStatus", {{"Status", s}}}});
  return {{"InstanceStatuses", list}};
}

Doc instances(std::initializer_list<const char*> states) {
  Doc list = Doc::array();
  for (const char* s : states) list.push_back({{"State", {{"Name", s}}}});
  return {{"Reservations", {{{"Instances", list}}}}};
}

class Waiters : public ::testing::Test {
 protected:
  void SetUp() override { tarnwick::aws::setClock(clock_); }
  void TearDown() override { tarnwick::aws::setClock(nullptr); }

  std::shared_ptr<tarnwick::aws::ManualClock> clock_ = std::make_shared<tarnwick::aws::ManualClock>();
  testbed::FakeEc2 ec2_;
  const Doc params_ = {{"InstanceIds", {"i-1"}}};
};

TEST_F(Waiters, StatusOkRetriesNotFoundAndWaitsFifteenSecondsBetweenAttempts) {
  ec2_.fail("DescribeInstanceStatus", testbed::serviceError("InvalidInstanceID.NotFound"));
  ec2_.answer("DescribeInstanceStatus", statuses({}));  // pathAll over nothing is no success
  ec2_.answer("DescribeInstanceStatus", statuses({"ok", "initializing"}));
  ec2_.answer("DescribeInstanceStatus", statuses({"ok", "ok"}));
  tarnwick::aws::wait(ec2_, "instance_status_ok", params_);
  EXPECT_EQ(ec2_.count("DescribeInstanceStatus"), 4);
  EXPECT_EQ(ec2_.params("DescribeInstanceStatus"), params_);
  EXPECT_EQ(clock_->sleeps(), 3);
  EXPECT_EQ(clock_->slept(), std::chrono::seconds(45));
}

TEST_F(Waiters, StatusOkGivesUpAfterFortyAttempts) {
  ec2_.always("DescribeInstanceStatus", [](const Doc&) { return statuses({"initializing"}); });
  EXPECT_THROW(tarnwick::aws::wait(ec2_, "instance_status_ok", params_), tarnwick::aws::WaiterError);
  EXPECT_EQ(ec2_.count("DescribeInstanceStatus"), 40);
  EXPECT_EQ(clock_->slept(), std::chrono::seconds(39 * 15));
  // On a limit of time and 2 s rounds: attempts at 0, 2, ..., 10 s.
  ec2_.clearCalls();
  const auto begun = clock_->now();
  EXPECT_THROW(
      tarnwick::aws::wait(
          ec2_, "instance_status_ok", params_, tarnwick::aws::RetryPolicy::limitedTime(std::chrono::seconds(10)),
          tarnwick::aws::BackoffPolicy::rounds(begun, std::chrono::seconds(2), std::chrono::seconds(15), 15)),
      tarnwick::aws::WaiterError);
  EXPECT_EQ(ec2_.count("DescribeInstanceStatus"), 6);
  EXPECT_EQ(clock_->now() - begun, std::chrono::seconds(10));
}

TEST_F(Waiters, AnErrorNoAcceptorNamesEndsTheWait) {
  ec2_.fail("DescribeInstanceStatus", testbed::serviceError("UnauthorizedOperation"));
  EXPECT_THROW(tarnwick::aws::wait(ec2_, "instance_status_ok", params_), tarnwick::aws::WaiterError);
  EXPECT_EQ(ec2_.count("DescribeInstanceStatus"), 1);
}

TEST_F(Waiters, TerminatedSucceedsOnlyWhenEveryInstanceIsTerminated) {
  ec2_.answer("DescribeInstances", instances({"shutting-down", "terminated"}));
  ec2_.answer("DescribeInstances", instances({"terminated", "terminated"}));
  tarnwick::aws::wait(ec2_, "instance_terminated", params_, {.delaySeconds = 5, .maxAttempts = 3});
  EXPECT_EQ(ec2_.count("DescribeInstances"), 2);
  EXPECT_EQ(clock_->slept(), std::chrono::seconds(5));
}

TEST_F(Waiters, TerminatedFailsAtOnceOnPendingOrStopping) {
  for (const char* state : {"pending", "stopping"}) {
    ec2_.clearCalls();
    ec2_.answer("DescribeInstances", instances({"terminated", state}));
    EXPECT_THROW(tarnwick::aws::wait(ec2_, "instance_terminated", params_), tarnwick::aws::WaiterError) << state;
    EXPECT_EQ(ec2_.count("DescribeInstances"), 1);
  }
  // The terminated waiter does not retry a missing instance: that error ends it too.
  ec2_.fail("DescribeInstances", testbed::serviceError("InvalidInstanceID.NotFound"));
  EXPECT_THROW(tarnwick::aws::wait(ec2_, "instance_terminated", params_), tarnwick::aws::WaiterError);
}

TEST_F(Waiters, UnknownWaiterNamesAreRejected) {
  EXPECT_THROW(tarnwick::aws::wait(ec2_, "instance_running", params_), std::invalid_argument);
}

}  // namespace
