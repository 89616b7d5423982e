// Sends one signed service call under its client's retry strategy (retry_strategy.h): throttling
// and transient failures are retried with capped, fully jittered exponential back-off, and a retry
// quota shared by every thread of a client stops retry storms when a service is down. The adaptive
// mode adds the client's rate limiter, which paces the sends after throttling.
#include "transport.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <ctime>
#include <optional>
#include <random>
#include <regex>

#include <fmt/format.h>

#include "tarnwick_testlibs/aws/clock.h"
#include "tarnwick_testlibs/aws/errors.h"
#include "tarnwick_testlibs/aws/sigv4.h"

namespace tarnwick::aws::detail {
namespace {

// Answers that mean the request's time stamp was off, by the codes the services use for it.
const std::array<const char*, 6> kClockSkewCodes = {"RequestTimeTooSkewed",  "RequestExpired",
                                                    "RequestInTheFuture",    "InvalidSignatureException",
                                                    "SignatureDoesNotMatch", "AuthFailure"};
// Services accept a few minutes of difference; beyond this our clock is taken to be wrong.
constexpr auto kSkewTolerance = std::chrono::minutes(5);

bool clockSkewCode(const std::string& code) {
  return std::any_of(kClockSkewCodes.begin(), kClockSkewCodes.end(), [&](const char* c) { return code == c; });
}

// An HTTP Date header ("Tue, 07 May 2024 12:00:00 GMT").
std::optional<std::chrono::system_clock::time_point> httpDate(const std::string& text) {
  std::tm tm{};
  const char* end = strptime(text.c_str(), "%a, %d %b %Y %H:%M:%S", &tm);
  if (!end) return std::nullopt;
  return std::chrono::system_clock::from_time_t(timegm(&tm));
}

// A random (version 4) UUID naming one call across all of its attempts.
std::string invocationId() {
  thread_local std::mt19937_64 gen{std::random_device{}()};
  const unsigned long long hi = gen(), lo = gen();
  return fmt::format("{:08x}-{:04x}-4{:03x}-{:04x}-{:012x}", hi >> 32, (hi >> 16) & 0xffff, hi & 0xfff,
                     0x8000 | (lo >> 48 & 0x3fff), lo & 0xffffffffffffULL);
}

// Who is calling, and which attempt of which call this is, as the vendor SDKs tell the services.
void stampSdkHeaders(http::Request& r, const std::string& retryMode, const std::string& invocation, int attempt,
                     int maxAttempts) {
  r.headers.emplace_back("User-Agent", fmt::format("tarnwick_testlibs/{} ua/2.0 os/linux lang/cpp cfg/retry-mode#{}",
                                                   TARNWICK_TOOLKIT_VERSION, retryMode));
  r.headers.emplace_back("amz-sdk-invocation-id", invocation);
  r.headers.emplace_back("amz-sdk-request", fmt::format("attempt={}; max={}", attempt, maxAttempts));
}

// S3 reports some failures (of CompleteMultipartUpload, for one) in a 200 answer whose root
// element is Error; they are retried as a 500 would be.
bool errorInSuccess(const http::Response& r) {
  static const std::regex errorRoot(R"(\s*(<\?xml[^>]*\?>\s*)?<Error[\s>])");
  return r.status == 200 && std::regex_search(r.body.substr(0, 512), errorRoot, std::regex_constants::match_continuous);
}

// A gateway's own answer when the service's was lost on the way; the call may have been
// carried out. The service's own refusals (a 500, a 503 that throttles) say it was not.
bool gatewayLostAnswer(long status) { return status == 502 || status == 504; }

Transport::Answer finalAnswer(http::Response response, bool afterLostAnswer) {
  Transport::Answer answer;
  static_cast<http::Response&>(answer) = std::move(response);
  answer.afterLostAnswer = afterLostAnswer;
  return answer;
}

}  // namespace

// STS answers IDPCommunicationError when the identity provider behind a web identity token did not
// answer it in time: a short outage there is worth another attempt, as the SDKs make.
bool Transport::identityProviderBlip(const std::string& code) const {
  return signingName_ == "sts" && code == "IDPCommunicationError";
}

// The difference between our clock and the services', learnt from their answers, so that a host
// with a wrong clock still signs with a time the services accept.
struct Transport::ClockSkew {
  std::atomic<long long> offsetMs{0};

  std::chrono::system_clock::time_point now() const {
    return aws::clock().now() + std::chrono::milliseconds(offsetMs.load());
  }
  // After an answer with a clock-skew code: true when the server's Date shows our time off by
  // more than the tolerance, which is then corrected (so the call is worth repeating).
  bool corrected(const http::Response& r, const std::string& code) {
    if (!clockSkewCode(code)) return false;
    const auto server = httpDate(r.header("date"));
    if (!server) return false;
    const auto ours = now();
    if (*server - ours < kSkewTolerance && ours - *server < kSkewTolerance) return false;
    offsetMs = std::chrono::duration_cast<std::chrono::milliseconds>(*server - aws::clock().now()).count();
    return true;
  }
};

Transport::Transport(std::string signingName, std::string region, std::shared_ptr<CredentialsProvider> creds,
                     RetryConfig retry, ConnectionSettings connection)
    : signingName_(std::move(signingName)),
      region_(std::move(region)),
      creds_(std::move(creds)),
      retry_(std::make_shared<ServiceRetryPolicy>(std::move(retry))),
      skew_(std::make_shared<ClockSkew>()),
      connection_(std::move(connection)) {}

Transport::Answer Transport::send(http::Request request, const ErrorCodeOf& errorCodeOf, bool s3,
                                  const std::function<void()>& rewind) {
  sigv4::Options opts{region_, signingName_, s3, ""};
  const bool canResend = !(request.uploadFrom || request.downloadTo) || static_cast<bool>(rewind);
  const RetryPolicy attempts = retry_->attempts(canResend);
  int lastCost = 0;
  const std::string invocation = invocationId();
  bool lost = false;  // an earlier attempt may have been carried out
  connection_.applyTo(request);

  for (int attempt = 1;; ++attempt) {
    if (attempt > 1 && rewind) rewind();
    http::Request signedRequest = request;
    stampSdkHeaders(signedRequest, retry_->config().mode, invocation, attempt, attempts.maxAttempts());
    sigv4::sign(signedRequest, creds_->get(), opts, skew_->now());

    int cost = 0;
    retry_->beforeSend();
    try {
      http::Response resp = http::send(signedRequest);
      if (s3 && errorInSuccess(resp)) resp.status = 500;
      lost = lost || resp.resent;
      const bool failed = resp.status >= 300;
      const std::string code = failed && errorCodeOf ? errorCodeOf(resp) : "";
      retry_->afterAnswer(code);
      if (!failed) {
        retry_->succeeded(lastCost);
        return finalAnswer(std::move(resp), lost);
      }
      if (!ServiceRetryPolicy::retryable(resp.status, code) && !identityProviderBlip(code) &&
          !skew_->corrected(resp, code))
        return finalAnswer(std::move(resp), lost);
      cost = retry_->retryCost(code);
      if (!attempts.allowsAnother(attempt) || !retry_->acquire(cost)) return finalAnswer(std::move(resp), lost);
      lost = lost || gatewayLostAnswer(resp.status);
    } catch (ClientError& e) {
      retry_->afterFailure();
      if (!ServiceRetryPolicy::retryable(e)) throw;
      cost = ServiceRetryPolicy::retryCost(e);
      if (!attempts.allowsAnother(attempt) || !retry_->acquire(cost)) throw;
      lost = lost || e.requestSent();
    }
    lastCost = cost;
    retry_->backoff().pause(attempt);
  }
}

}  // namespace tarnwick::aws::detail
