// Resource tags.
#pragma once
#include <string>

#include "tarnwick_testlibs/bin/probe_deployer/common.h"

namespace tarnwick::probe_deployer {

// Appends the key,value pairs of `rt_tags` to the Tags of the first TagSpecifications element.
void populateTags(Doc& data, const std::string& rt_tags);

}  // namespace tarnwick::probe_deployer
