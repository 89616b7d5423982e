// The two kinds of failure of an AWS call: the service said no, or the call itself failed.
#pragma once
#include <memory>
#include <stdexcept>
#include <string>

#include <nlohmann/json_fwd.hpp>

namespace tarnwick::aws {

// Any failure of a call: one of the two below. Code that handles every failure of a call alike
// catches this, and lets everything else (a bug, a process exit) pass.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The service answered with an error code. what() reads like the vendor SDKs':
// "An error occurred (Code) when calling the Operation operation: Message".
class ServiceError : public Error {
 public:
  ServiceError(std::string code, std::string message, long httpStatus, std::string requestId, std::string operation);
  // The same refusal in other words: all but the message is kept, its response() included.
  ServiceError(const ServiceError& refusal, std::string message);
  const std::string& code() const { return code_; }
  const std::string& message() const { return message_; }
  long httpStatus() const { return httpStatus_; }
  const std::string& requestId() const { return requestId_; }
  const std::string& operation() const { return operation_; }
  // What the answer says of its call beside the error, as a successful answer says it:
  // {"ResponseMetadata": {"AfterLostAnswer": true}} after a lost answer (see aws::afterLostAnswer,
  // which reads both alike), else {}.
  const nlohmann::ordered_json& response() const;
  void markAfterLostAnswer();

 private:
  std::string code_, message_;
  long httpStatus_;
  std::string requestId_, operation_;
  std::shared_ptr<const nlohmann::ordered_json> response_;  // null: {}; shared, so copies stay nothrow
};

// What went wrong when a call failed without an answer from the service. Code that decides on
// a failure (the retry of a call, for one) decides on this, never on the message.
enum class FailureKind {
  kOther,            // configuration, parameters, paging, anything not listed below
  kConnection,       // no connection, or it broke: name resolution, refused, reset
  kTimeout,          // the connection or the transfer took too long, or stalled
  kTls,              // the TLS handshake or the peer's certificate
  kTransfer,         // the transfer failed on this side: the HTTP library, a file read or written
  kMalformedAnswer,  // an answer that could not be read
  kCredentials,      // no usable credentials
};

// Any other failure of a call: network, TLS, credentials, configuration, a malformed answer,
// a waiter that gave up. Its kind says which.
class ClientError : public Error {
 public:
  explicit ClientError(const std::string& message, FailureKind kind = FailureKind::kOther, bool requestSent = false)
      : Error(message), kind_(kind), requestSent_(requestSent) {}
  FailureKind kind() const { return kind_; }
  // True when the request had left this host before the failure (a read time-out, a connection
  // reset or closed while waiting for the answer): the service may have carried it out.
  bool requestSent() const { return requestSent_; }

 private:
  FailureKind kind_;
  bool requestSent_;
};

// No credentials could be found, or a named profile does not exist.
class CredentialsError : public ClientError {
 public:
  explicit CredentialsError(const std::string& message) : ClientError(message, FailureKind::kCredentials) {}
};

// A waiter reached a failure state or ran out of attempts.
class WaiterError : public ClientError {
 public:
  using ClientError::ClientError;
};

}  // namespace tarnwick::aws
