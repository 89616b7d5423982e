// The two error kinds of an AWS call.
#include "tarnwick_testlibs/aws/errors.h"

#include <fmt/format.h>

namespace tarnwick::aws {

ServiceError::ServiceError(std::string code, std::string message, long httpStatus,
                           std::string requestId, std::string operation)
    : Error(fmt::format("An error occurred ({}) when calling the {} operation: {}", code,
                                     operation, message)),
      code_(std::move(code)),
      message_(std::move(message)),
      httpStatus_(httpStatus),
      requestId_(std::move(requestId)),
      operation_(std::move(operation)) {}

}  // namespace tarnwick::aws
