// The two error kinds of an AWS call.
#include "tarnwick_testlibs/aws/errors.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "tarnwick_testlibs/aws/services.h"

namespace tarnwick::aws {

ServiceError::ServiceError(std::string code, std::string message, long httpStatus, std::string requestId,
                           std::string operation)
    : Error(fmt::format("An error occurred ({}) when calling the {} operation: {}", code, operation, message)),
      code_(std::move(code)),
      message_(std::move(message)),
      httpStatus_(httpStatus),
      requestId_(std::move(requestId)),
      operation_(std::move(operation)) {}

ServiceError::ServiceError(const ServiceError& refusal, std::string message)
    : ServiceError(refusal.code_, std::move(message), refusal.httpStatus_, refusal.requestId_, refusal.operation_) {
  response_ = refusal.response_;
}

const Doc& ServiceError::response() const {
  static const Doc kNothing = Doc::object();
  return response_ ? *response_ : kNothing;
}

void ServiceError::markAfterLostAnswer() {
  auto marked = std::make_shared<Doc>(response());
  aws::markAfterLostAnswer(*marked);
  response_ = std::move(marked);
}

}  // namespace tarnwick::aws
