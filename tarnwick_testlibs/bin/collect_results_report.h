// What a result collection reports for a CI server: each entry's verdict as JUnit XML, the format
// CI servers read, and as the JSON document of collect_results' --summary_json.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

#include "tarnwick_testlibs/bin/probe_deployer/results.h"

namespace tarnwick::collect_results {

// One test configuration entry and what its test instance reported.
struct EntryResult {
  std::string subnet_id;  // the entry's private_subnet_id
  std::string gateway;    // its gw_name, or a NAT entry's nat_gw_id
  std::string tag;        // deduceTag of the entry: its objects are "result-" + tag + ".txt" ...
  probe_deployer::TestResult test;
};

// How many of `results` have `verdict`.
std::size_t count(const std::vector<EntryResult>& results, probe_deployer::Verdict verdict);

// "passed", "failed" or "not_reported".
std::string verdictName(probe_deployer::Verdict verdict);

// A "testsuites" root with one "testsuite" whose tests, failures and errors count the entries,
// and one "testcase" per entry, named by its subnet, with its gateway as the class name. A failed
// entry holds a "failure" with the result text as its message and the log as its text; an
// entry without a result holds an "error" with the message "no result reported" and the log, if
// any. Logs may hold anything: every text is made valid UTF-8 of characters XML 1.0 allows (the
// others become U+FFFD) and escaped, so that the document is well-formed whatever they hold.
std::string junitXml(const std::vector<EntryResult>& results);

// The document of --summary_json: the bucket and tag, each entry's verdict in file order, and the
// status the process ends with; two-blank indent, invalid UTF-8 replaced by U+FFFD.
std::string summaryJson(const std::string& bucket, const std::string& tag, const std::vector<EntryResult>& results,
                        int exitStatus);

}  // namespace tarnwick::collect_results
