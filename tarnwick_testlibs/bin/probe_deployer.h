// The deployment module: deploys one test instance per test subnet with its security group, key
// pair, IAM profile and Elastic IP, removes them again, and collects the test results.
#pragma once
#include "tarnwick_testlibs/bin/probe_deployer/common.h"
#include "tarnwick_testlibs/bin/probe_deployer/deploy.h"
#include "tarnwick_testlibs/bin/probe_deployer/eip.h"
#include "tarnwick_testlibs/bin/probe_deployer/iam.h"
#include "tarnwick_testlibs/bin/probe_deployer/image.h"
#include "tarnwick_testlibs/bin/probe_deployer/keypair.h"
#include "tarnwick_testlibs/bin/probe_deployer/launch.h"
#include "tarnwick_testlibs/bin/probe_deployer/options.h"
#include "tarnwick_testlibs/bin/probe_deployer/results.h"
#include "tarnwick_testlibs/bin/probe_deployer/run_summary.h"
#include "tarnwick_testlibs/bin/probe_deployer/secgroup.h"
#include "tarnwick_testlibs/bin/probe_deployer/sweep.h"
#include "tarnwick_testlibs/bin/probe_deployer/tags.h"
#include "tarnwick_testlibs/bin/probe_deployer/teardown.h"
