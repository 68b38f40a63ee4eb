// ZUZOzurivi: the vendor utilities' network object. It sends one HTTP(S) request at a time per
// call (POST of a body, or GET with headers) and delivers the answer to a completion handler on a
// queue that the caller names. It knows the host whose reachability it watches.
//
// What goes over the wire is decided here, not by callers: a POST body is sent gzip-compressed
// with "Content-Encoding: gzip" (and the caller's extra headers); a GET carries the caller's
// headers. Plain http:// is allowed only towards a loopback host (127.0.0.0/8, ::1, localhost);
// anything else must be https://. Replies of any status are
// answers (the handler reads the status); only a request that got no HTTP answer at all (a bad
// URL, a refused connection, a time-out, a reply larger than the body limit) reports an error.
//
// The bytes travel through a ZUZOzuriviTransport: libcurl by default, or one that a test gives to
// script statuses and bodies.
//
// Thread safety: every method may be called from any thread. Handlers run on their queue.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/dispatch/queue.h"
#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

// HTTP statuses that callers of the network object test.
inline constexpr int64_t kZUZOzuriviHTTPStatusOK = 200;
inline constexpr int64_t kZUZOzuriviHTTPStatusNoContent = 204;
inline constexpr int64_t kZUZOzuriviHTTPStatusCodeCannotAcceptTraffic = 429;
inline constexpr int64_t kZUZOzuriviHTTPStatusCodeUnavailable = 503;

// The domain and codes of the errors the network object reports.
inline constexpr const char* kZUZOzuriviErrorDomain = "com.rivado.utilities.network.ErrorDomain";
enum ZUZOzuriviErrorCode : int64_t {
  kZUZOzuriviErrorInvalidURL = 1,        // Not https://, nor http:// to a loopback host.
  kZUZOzuriviErrorCompression = 2,       // The body could not be compressed.
  kZUZOzuriviErrorTransport = 3,         // No HTTP answer (connection, TLS, time-out, ...).
  kZUZOzuriviErrorResponseTooLarge = 4,  // The reply body passed the transport's limit.
  kZUZOzuriviErrorRedirect = 5,          // Too many redirects, or one to a refused URL.
};
// User-info key of the libcurl result code behind a transport error (integer).
inline constexpr const char* kZUZOzuriviCurlCodeKey = "CurlCode";

using ZUZOzuriviHeaders = std::vector<std::pair<std::string, std::string>>;

// One request as the transport sends it.
struct ZUZOzuriviRequest {
  std::string method;  // "GET" or "POST".
  std::string url;
  ZUZOzuriviHeaders headers;
  fnd::Data body;       // Sent as it is (POST only).
  double timeout = 60;  // Seconds for the whole exchange.
};

// The HTTP answer's head.
struct ZUZOzuriviHTTPResponse {
  int64_t statusCode = 0;
  std::string url;
  ZUZOzuriviHeaders headers;  // In the order received; names as sent.
};

// What a transport reports: an answer with its body, or an error and no answer.
struct ZUZOzuriviTransportResult {
  std::optional<ZUZOzuriviHTTPResponse> response;
  fnd::Data body;
  std::optional<fnd::Error> error;
};

// How requests reach the network.
class ZUZOzuriviTransport {
 public:
  using Done = std::function<void(ZUZOzuriviTransportResult)>;
  virtual ~ZUZOzuriviTransport() = default;
  // Sends the request and calls `done` exactly once, on any thread (also before returning), when
  // it has been answered or has failed.
  virtual void performRequest(ZUZOzuriviRequest request, Done done) = 0;
};

// The libcurl transport. Requests run one after another on its own serial queue
// ("ZUZOzuriviCurlQueue"); only http and https are allowed and TLS peers are verified. A reply
// body larger than `maxResponseSize` ends the exchange with kZUZOzuriviErrorResponseTooLarge.
//
// Redirects (301, 302, 303, 307, 308 with a target) are followed, at most kMaxRedirects of them,
// each target checked like the first URL (ZUZOzuriviIsAllowedRedirect: https, or plain http to a
// loopback host, and never from https down to http); a refused or one-too-many redirect ends the
// exchange with kZUZOzuriviErrorRedirect. The method and body are kept on every hop (a POST stays
// a POST with its body), except that a 303 turns a GET's next hop into a plain GET and is not
// followed at all for a POST: the 303 is then the answer, so an upload never becomes a GET whose
// success would be taken for the upload's. The request's time-out covers all hops together.
class ZUZOzuriviCurlTransport : public ZUZOzuriviTransport {
 public:
  static constexpr size_t kDefaultMaxResponseSize = 16 * 1024 * 1024;
  static constexpr int kMaxRedirects = 5;

  explicit ZUZOzuriviCurlTransport(size_t maxResponseSize = kDefaultMaxResponseSize);
  void performRequest(ZUZOzuriviRequest request, Done done) override;

  // Runs one exchange on the calling thread and returns its result.
  static ZUZOzuriviTransportResult performSynchronously(const ZUZOzuriviRequest& request,
                                                        size_t maxResponseSize);

 private:
  // Constant after construction.
  const size_t maxResponseSize_;
  const std::shared_ptr<dispatch::Queue> queue_;
};

// The error for a libcurl result `curlCode` (a CURLcode) with libcurl's detail text (may be
// empty). This is the one place where libcurl's codes become errors.
fnd::Error ZUZOzuriviErrorFromCurlCode(int curlCode, const std::string& detail);

class ZUZOzurivi {
 public:
  // The answer's head (nullopt when there was none), its body (nullopt exactly when `error` is
  // set) and the error.
  using CompletionHandler = std::function<void(
      const std::optional<ZUZOzuriviHTTPResponse>& response, const std::optional<fnd::Data>& data,
      const std::optional<fnd::Error>& error)>;

  // A network object watching `reachabilityHost`. A null transport means libcurl.
  explicit ZUZOzurivi(std::string reachabilityHost,
                      std::shared_ptr<ZUZOzuriviTransport> transport = nullptr);
  ZUZOzurivi(const ZUZOzurivi&) = delete;
  ZUZOzurivi& operator=(const ZUZOzurivi&) = delete;

  const std::string& reachabilityHost() const { return reachabilityHost_; }

  // POSTs `payload` (gzip-compressed) to `url` and calls `handler` on `queue` (the main queue
  // when null). `usingBackgroundSession` is accepted for callers' sake; there are no background
  // sessions here, so it changes nothing. A null handler is allowed: the answer is dropped.
  // Answers the request's session identifier ("ZUZOzurivi-<n>"), or "" when the request could
  // not be started (a refused URL or body); the handler still gets that error.
  std::string postURL(const std::string& url, const fnd::Data& payload,
                      std::shared_ptr<dispatch::Queue> queue, bool usingBackgroundSession,
                      CompletionHandler handler);
  // The same with extra headers, sent before the body headers (which win on equal names).
  std::string postURL(const std::string& url, const fnd::Data& payload,
                      const ZUZOzuriviHeaders& headers, std::shared_ptr<dispatch::Queue> queue,
                      bool usingBackgroundSession, CompletionHandler handler);

  // The same with a time-out of this request alone (seconds, all redirects included); one that
  // is not above 0 means the object's timeoutInterval().
  std::string postURL(const std::string& url, const fnd::Data& payload,
                      const ZUZOzuriviHeaders& headers, double timeout,
                      std::shared_ptr<dispatch::Queue> queue, bool usingBackgroundSession,
                      CompletionHandler handler);

  // GETs `url` with the given extra headers; otherwise as postURL().
  std::string getURL(const std::string& url, const ZUZOzuriviHeaders& headers,
                     std::shared_ptr<dispatch::Queue> queue, bool usingBackgroundSession,
                     CompletionHandler handler);
  // The same with a time-out of this request alone, as for postURL().
  std::string getURL(const std::string& url, const ZUZOzuriviHeaders& headers, double timeout,
                     std::shared_ptr<dispatch::Queue> queue, bool usingBackgroundSession,
                     CompletionHandler handler);

  // Seconds a whole exchange may take (60 at first); applies to requests started afterwards.
  // A value that is not above 0 is ignored.
  double timeoutInterval() const;
  void setTimeoutInterval(double seconds);

  // True while a POST of this object has not been answered yet.
  bool hasUploadInProgress() const;

  // Reachability: there is no system watcher here, so the object reports connected until told
  // otherwise (a test, or a host that knows better). A change calls the delegate, on the calling
  // thread, outside the object's lock.
  bool isNetworkConnected() const;
  void setNetworkConnected(bool connected);
  void setReachabilityDelegate(std::function<void()> delegate);
  bool hasReachabilityDelegate() const;

 private:
  std::string send(ZUZOzuriviRequest request, double timeout,
                   std::shared_ptr<dispatch::Queue> queue, CompletionHandler handler);

  // Constant after construction.
  const std::string reachabilityHost_;
  const std::shared_ptr<ZUZOzuriviTransport> transport_;

  mutable std::mutex mu_;
  double timeout_ = 60;  // Guarded by mu_.
  // Shared with the requests in flight, which may outlive the object.
  const std::shared_ptr<std::atomic<int64_t>> uploadsInFlight_ =
      std::make_shared<std::atomic<int64_t>>(0);
  uint64_t nextSession_ = 1;                    // Guarded by mu_.
  bool connected_ = true;                       // Guarded by mu_.
  std::function<void()> reachabilityDelegate_;  // Guarded by mu_.
};

// True for a URL that the network object accepts: https://HOST..., or http://HOST... where HOST
// is a loopback address or "localhost".
bool ZUZOzuriviIsAllowedURL(const std::string& url);
// True when a redirect from `from` to `to` may be followed: `to` is allowed by
// ZUZOzuriviIsAllowedURL and does not leave https for http.
bool ZUZOzuriviIsAllowedRedirect(const std::string& from, const std::string& to);
