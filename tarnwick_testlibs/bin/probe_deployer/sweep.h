// Clean-up without the input file: the toolkit's objects found by their names and tags, grouped by
// VPC, and removed for one VPC (--revert --vpc_id) or for every old deployment of a region (--sweep).
#pragma once
#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tarnwick_testlibs/aws/services.h"
#include "tarnwick_testlibs/bin/probe_deployer/common.h"
#include "tarnwick_testlibs/bin/probe_deployer/run_summary.h"

namespace tarnwick::probe_deployer {

using SweepClock = std::chrono::system_clock;

// How long before `now` `then` was, in whole seconds (negative when it is later); exact for any
// two time points of the clock.
std::chrono::seconds ageAt(SweepClock::time_point then, SweepClock::time_point now);

// One object a deployment left, as found by its names and tags.
struct TestObject {
  report::Kind kind;
  std::string id;      // instance id, public address, group id or key pair name, as the summary names it
  std::string detail;  // an instance's subnet, a group's name
  std::optional<SweepClock::time_point> created;                 // nothing when its age cannot be told
  std::optional<SweepClock::time_point> expires = std::nullopt;  // its tarnwick:expires-at, if it has one
};

// What the toolkit left in one VPC.
struct VpcFindings {
  std::string vpcId;
  std::vector<TestObject> instances;  // live test instances (pending to stopped)
  std::vector<TestObject> others;     // Elastic IPs, security groups, key pair

  // The launch of the newest live test instance or, with none, the creation of the newest dated
  // object; nothing when no age can be told.
  std::optional<SweepClock::time_point> lastDeployed() const;
  // Whether the deployment is at least `olderThan` old at `now`; one whose age cannot be told is.
  bool isOld(std::chrono::seconds olderThan, SweepClock::time_point now) const;
  // The latest expiry of its objects: a rerun with a longer --ttl keeps the whole deployment.
  std::optional<SweepClock::time_point> expiresAt() const;
  // Whether a sweep removes it at `now`: with an expiry, once that has come, whatever its age;
  // without one, when it is at least `olderThan` old (every one without `olderThan`).
  bool isDue(std::optional<std::chrono::seconds> olderThan, SweepClock::time_point now) const;
  // "2 test instances (i-1, i-2), 1 Elastic IP (54.0.0.1), ..." or "nothing".
  std::string describe() const;
};

// The toolkit's objects in `vpc_id`, or in every VPC of the client's region, by VPC. Only objects
// that carry the toolkit's Name tag are found, whatever their names.
std::map<std::string, VpcFindings> findTestObjects(aws::Ec2Client& ec2_client,
                                                   const std::optional<std::string>& vpc_id);

// Removes what the toolkit created in `vpc_id` in a revert's order, with its messages; with
// --ec2_role default also the IAM set unless test instances of another VPC still use it.
void revertVpc(aws::Ec2Client& ec2_client, aws::IamClient& iam_client, const std::string& vpc_id,
               const SweepOptions& args);
// The same for every VPC of the region whose deployment is due at `now` (VpcFindings::isDue with
// --older_than); the IAM set goes when no deployment was kept as younger and no test
// instance outside those VPCs uses it.
void sweepRegion(aws::Ec2Client& ec2_client, aws::IamClient& iam_client, const SweepOptions& args,
                 SweepClock::time_point now);
// Returns when `vpc_id` exists in the client's region, named `region` in the message; otherwise
// logs "  **Error** VPC ... not found in REGION" and ends the run with status 1, so that a mistyped
// id never passes for a clean revert.
void requireVpc(aws::Ec2Client& ec2_client, const std::string& vpc_id, const std::string& region);

}  // namespace tarnwick::probe_deployer
