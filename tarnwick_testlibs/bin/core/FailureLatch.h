// The log handler that turns every error record into a failing process exit status.
#pragma once
#include "tarnwick_testlibs/bin/core/logging.h"

namespace tarnwick {

class FailureLatch : public logging::Handler {
 public:
  // The dotted name by which the logging configuration names this handler type.
  static constexpr const char* kClassName = "tarnwick_testlibs.bin.core.FailureLatch.FailureLatch";

  explicit FailureLatch(int level = logging::NOTSET) : logging::Handler(level) {}

 protected:
  // Marks the run as failed; the record's content does not matter, only that it passed the level.
  void emit(const logging::Record& record) override;
};

}  // namespace tarnwick
