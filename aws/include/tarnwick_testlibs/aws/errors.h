// The two kinds of failure of an AWS call: the service said no, or the call itself failed.
#pragma once
#include <stdexcept>
#include <string>

namespace aws {

// The service answered with an error code. what() reads like the vendor SDKs':
// "An error occurred (Code) when calling the Operation operation: Message".
class ServiceError : public std::runtime_error {
 public:
  ServiceError(std::string code, std::string message, long httpStatus, std::string requestId,
               std::string operation);
  const std::string& code() const { return code_; }
  const std::string& message() const { return message_; }
  long httpStatus() const { return httpStatus_; }
  const std::string& requestId() const { return requestId_; }
  const std::string& operation() const { return operation_; }

 private:
  std::string code_, message_;
  long httpStatus_;
  std::string requestId_, operation_;
};

// Any other failure of a call: network, TLS, credentials, configuration, a malformed answer,
// a waiter that gave up.
class ClientError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// No credentials could be found, or a named profile does not exist.
class CredentialsError : public ClientError {
 public:
  using ClientError::ClientError;
};

// A waiter reached a failure state or ran out of attempts.
class WaiterError : public ClientError {
 public:
  using ClientError::ClientError;
};

}  // namespace aws
