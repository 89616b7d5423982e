// collect_results: turns the results that test instances left in a bucket into one verdict per
// test subnet, as JUnit XML for a CI server and a JSON summary.
#include "tarnwick_testlibs/bin/collect_results.h"

int main(int argc, char** argv) { return tarnwick::collect_results::main(argc, argv); }
