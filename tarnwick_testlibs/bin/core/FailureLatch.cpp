// The failure latch: every record that reaches it marks the process exit status as failed.
#include "tarnwick_testlibs/bin/core/FailureLatch.h"

#include "tarnwick_testlibs/bin/core/AppExitStatus.h"

namespace tarnwick {

void FailureLatch::emit(const logging::Record& /*record*/) { AppExitStatus().setStatus(logging::ERROR); }

}  // namespace tarnwick
