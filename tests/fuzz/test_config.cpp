// Fuzz target: the test configuration file, read and written back as a deployment does.
#include <cstdint>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "tarnwick_testlibs/bin/lib/testconfig.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace tc = tarnwick::testconfig;
  try {
    tc::serialize(tc::parse(std::string(reinterpret_cast<const char*>(data), size), "fuzz.config"));
  } catch (const std::runtime_error&) {
  }
  return 0;
}
