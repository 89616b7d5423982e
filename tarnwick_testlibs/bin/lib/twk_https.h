// The controller API sender: form-encoded requests over HTTPS to a Tarnwick controller.
#pragma once
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tarnwick::twk_https {

inline constexpr const char* kLogger = "tarnwick_testlibs.bin.lib.twk_https";

// Request parameters in the order they are sent ("action" first).
using Payload = std::vector<std::pair<std::string, std::string>>;
using Headers = std::vector<std::pair<std::string, std::string>>;

struct ApiResponse {
  long status = 0;
  std::string body;
};

// Where the form-encoded payload travels.
enum class PayloadIn { Query, Body };

struct ControllerRequest {
  std::string method = "GET";
  std::string url;
  Payload payload;
  PayloadIn payloadIn = PayloadIn::Query;
  Headers headers;
};

// The controller presents a self-signed certificate, so it is never verified. The time-outs keep
// a controller that never answers from hanging a pipeline.
struct Timeouts {
  long connectMs = 15000;
  long totalMs = 120000;
};
Timeouts timeouts();
void setTimeouts(Timeouts t);

// By default the controller's certificate is not checked (controllers often have self-signed
// ones). Opted in, it is checked in the handshake, before the login's password is sent: against
// the bundle in `caFile` (chain and name), and/or against a pinned SHA-256 `fingerprint`. A
// certificate that fails throws aws::ClientError naming what was expected and what was found.
struct Verification {
  std::string caFile;
  std::string fingerprint;
};
Verification verification();
void setVerification(Verification v);
// Why `v` cannot be used, in the words of the options that set it: a fingerprint that is not 64
// hex digits (colons optional), a CA bundle that cannot be read or holds no PEM certificate.
// nullopt when it can.
std::optional<std::string> verificationProblem(const Verification& v);

// Where controller requests go: the controller itself, or a stand-in.
class Controller {
 public:
  virtual ~Controller() = default;
  virtual ApiResponse send(const ControllerRequest& request) = 0;
};

// The controller over HTTPS, with the time-outs above. A failure to reach the controller or
// to receive its answer throws aws::ClientError; the HTTP status is returned, not judged.
class HttpsController : public Controller {
 public:
  ApiResponse send(const ControllerRequest& request) override;
};

// The request as HttpsController puts it on the wire: a query payload joined to the URL's query
// (a blank as "%20"), a body payload form-encoded with its content type added to the headers.
struct WireRequest {
  std::string method;
  std::string url;
  Headers headers;
  std::string body;
};
WireRequest wireRequest(const ControllerRequest& request);

// The controller every request of the process goes to; HttpsController unless replaced.
std::shared_ptr<Controller> controller();
// Replaces it for the whole process (requests already under way finish on the old one); null
// restores HttpsController.
void setController(std::shared_ptr<Controller> replacement);

// Sends one request to the current controller.
ApiResponse send(const ControllerRequest& request);

// Sends to the current controller; GET payloads go in the query string, other methods send them
// as the body. At DETAIL it logs `indent`, `keyword_for_log` and the action; never the other
// parameters (CID, tokens, passwords).
ApiResponse _send_tarnwick_api(const std::string& api_endpoint_url, const std::string& request_method,
                               const Payload& payload, const std::string& keyword_for_log = "",
                               const std::string& indent = "");

}  // namespace tarnwick::twk_https
