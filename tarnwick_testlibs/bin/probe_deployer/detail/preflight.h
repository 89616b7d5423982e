// The checks a deploy makes before it creates anything, and the client that lets the deploy take
// the answers of the lookups they share instead of asking twice. Internal to the module.
#pragma once
#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tarnwick_testlibs/aws/services.h"
#include "tarnwick_testlibs/bin/lib/testconfig.h"
#include "tarnwick_testlibs/bin/probe_deployer/common.h"
#include "tarnwick_testlibs/bin/probe_deployer/image.h"

namespace tarnwick::probe_deployer::detail {

// The run's EC2 client for the deploy. An answer kept with keeping() goes to the next call with the
// same operation and parameters, once; every other call goes to the client. Nothing has been
// created between the checks' lookup and the deploy's, so the kept answer is still the cloud's.
class KeptAnswers : public aws::Ec2Client {
 public:
  explicit KeptAnswers(aws::Ec2Client& ec2) : ec2_(ec2) {}
  aws::Doc call(const std::string& operation, const aws::Doc& params) override;
  // Runs `lookup` with its answers kept; for the calling thread only, while no worker runs.
  template <class F>
  auto keeping(F lookup) {
    struct Off {
      bool& on;
      ~Off() { on = false; }
    } off{keeping_ = true};
    return lookup();
  }
  int sent() const { return sent_; }       // calls that reached the client
  int kept() const { return keptCount_; }  // answers kept so far

 private:
  aws::Ec2Client& ec2_;
  std::mutex lock_;
  std::map<std::string, aws::Doc> kept_;
  bool keeping_ = false;
  std::atomic<int> sent_ = 0;
  int keptCount_ = 0;
};

// One entry the deploy will launch for (not skipped in its plan), as the checks know it.
struct PlannedEntry {
  std::string label;  // gw_name, nat_gw_id or "entry N"
  std::string gw_subnet_id;
  std::string private_subnet_id;
  std::string gw_subnet_cidr;  // from DescribeSubnets; empty when not known
};

// The planned entries that need a new Elastic IP: those whose gateway subnet holds no associated
// address of this toolkit (the test instance found there with its public address).
std::vector<const PlannedEntry*> entriesNeedingAddress(const std::vector<PlannedEntry>& planned,
                                                       const aws::Doc& describeAddresses);

// The problem when the entries `needing` a new Elastic IP do not fit into the quota (the record
// "vpc-max-elastic-ips" of a DescribeAccountAttributes answer) minus the addresses allocated;
// nothing when they fit, and always when none is needed. Throws for an answer without the quota.
std::optional<std::string> addressShortage(const std::vector<const PlannedEntry*>& needing,
                                           const aws::Doc& describeAddresses,
                                           const aws::Doc& describeAccountAttributes);

// Runs every check on the entries of the deploy's plan and returns the VPC of the first entry.
// Logs each problem at ERROR and throws ProcessExit(1) after the last check when there was one; a
// check that cannot be made is a WARNING. `sts` names the identity in a denial (none: not named).
std::string runPreflight(KeptAnswers& ec2, aws::StsClient* sts, const testconfig::Plan& plan, const ImageInfo& image,
                         const DeployOptions& args);

}  // namespace tarnwick::probe_deployer::detail
