#include "platform/vendor/utilities/network.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <mutex>
#include <string_view>

#include "platform/security/openssl_init.h"
#include "platform/vendor/utilities/gzip.h"

namespace {

fnd::Error NetworkError(ZUZOzuriviErrorCode code, std::string description) {
  return fnd::Error::withDescription(kZUZOzuriviErrorDomain, code, std::move(description));
}

bool StartsWithNoCase(std::string_view url, std::string_view prefix) {
  if (url.size() <= prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(url[i])) != prefix[i]) return false;
  }
  return true;
}

// The host of an http URL's authority (without user info, port or IPv6 brackets), lower-cased.
std::string HostOfAuthority(std::string_view rest) {
  std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
  const size_t at = authority.rfind('@');
  if (at != std::string_view::npos) authority.remove_prefix(at + 1);
  std::string_view host;
  if (!authority.empty() && authority.front() == '[') {
    const size_t close = authority.find(']');
    if (close == std::string_view::npos) return "";
    host = authority.substr(1, close - 1);
  } else {
    host = authority.substr(0, authority.find(':'));
  }
  std::string lowered(host);
  for (char& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lowered;
}

bool IsLoopbackHost(const std::string& host) {
  if (host == "localhost" || host == "::1") return true;
  // 127.a.b.c in dotted decimal, each part 0..255.
  int parts = 0;
  size_t i = 0;
  while (i <= host.size()) {
    size_t end = host.find('.', i);
    if (end == std::string::npos) end = host.size();
    const std::string part = host.substr(i, end - i);
    if (part.empty() || part.size() > 3 ||
        part.find_first_not_of("0123456789") != std::string::npos || std::stoi(part) > 255) {
      return false;
    }
    if (parts == 0 && part != "127") return false;
    ++parts;
    i = end + 1;
  }
  return parts == 4;
}

}  // namespace

bool ZUZOzuriviIsAllowedURL(const std::string& url) {
  if (StartsWithNoCase(url, "https://")) return true;
  if (!StartsWithNoCase(url, "http://")) return false;
  return IsLoopbackHost(HostOfAuthority(std::string_view(url).substr(7)));
}

namespace {

// Collects the reply body up to a limit.
struct BodySink {
  size_t limit = 0;
  bool overflowed = false;
  fnd::Data bytes;
};

size_t WriteBody(char* data, size_t size, size_t count, void* context) {
  auto* sink = static_cast<BodySink*>(context);
  const size_t length = size * count;
  if (length > sink->limit - sink->bytes.size()) {
    sink->overflowed = true;
    return 0;  // Makes libcurl end the exchange with CURLE_WRITE_ERROR.
  }
  sink->bytes.insert(sink->bytes.end(), data, data + length);
  return length;
}

// Keeps the header lines of the last response (a "100 Continue" or a redirect starts anew).
size_t WriteHeader(char* data, size_t size, size_t count, void* context) {
  auto* headers = static_cast<ZUZOzuriviHeaders*>(context);
  const size_t length = size * count;
  std::string_view line(data, length);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  if (line.rfind("HTTP/", 0) == 0) {
    headers->clear();
    return length;
  }
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos) return length;
  std::string_view value = line.substr(colon + 1);
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  headers->emplace_back(std::string(line.substr(0, colon)), std::string(value));
  return length;
}

void InitializeCurlOnce() {
  static std::once_flag once;
  // A failed global init shows up as a failed curl_easy_init() below.
  std::call_once(once, [] {
    security::EnsureOpenSSLInitialized();  // Before libcurl initialises OpenSSL its own way.
    (void)curl_global_init(CURL_GLOBAL_DEFAULT);
  });
}

}  // namespace

fnd::Error ZUZOzuriviErrorFromCurlCode(int curlCode, const std::string& detail) {
  const auto code = static_cast<CURLcode>(curlCode);
  std::string description = curl_easy_strerror(code);
  if (!detail.empty()) description += ": " + detail;
  ZUZOzuriviErrorCode ourCode = kZUZOzuriviErrorTransport;
  if (code == CURLE_URL_MALFORMAT || code == CURLE_UNSUPPORTED_PROTOCOL) {
    ourCode = kZUZOzuriviErrorInvalidURL;
  }
  fnd::Error error = NetworkError(ourCode, description);
  error.mutableUserInfo().set(kZUZOzuriviCurlCodeKey, fnd::Value(static_cast<int64_t>(curlCode)));
  return error;
}

ZUZOzuriviCurlTransport::ZUZOzuriviCurlTransport(size_t maxResponseSize)
    : maxResponseSize_(maxResponseSize),
      queue_(dispatch::Queue::create("ZUZOzuriviCurlQueue", dispatch::Qos::kUtility)) {}

void ZUZOzuriviCurlTransport::performRequest(ZUZOzuriviRequest request, Done done) {
  queue_->async([request = std::move(request), done = std::move(done), limit = maxResponseSize_]() {
    done(performSynchronously(request, limit));
  });
}

namespace {

bool IsRedirectStatus(long status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// One exchange with `request.url`, within `timeoutSeconds`. When the answer is a redirect with a
// target, `*redirectURL` is that target, resolved against the request's URL.
ZUZOzuriviTransportResult PerformOneExchange(const ZUZOzuriviRequest& request,
                                             size_t maxResponseSize, double timeoutSeconds,
                                             std::string* redirectURL) {
  ZUZOzuriviTransportResult result;
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
  if (!curl) {
    result.error = ZUZOzuriviErrorFromCurlCode(CURLE_FAILED_INIT, "");
    return result;
  }
  CURL* handle = curl.get();
  char detail[CURL_ERROR_SIZE] = {0};
  BodySink sink;
  sink.limit = maxResponseSize;
  ZUZOzuriviHeaders replyHeaders;

  struct curl_slist* headerList = nullptr;
  for (const auto& [name, value] : request.headers) {
    headerList = curl_slist_append(headerList, (name + ": " + value).c_str());
  }
  // No "Expect: 100-continue" round trip before larger bodies.
  headerList = curl_slist_append(headerList, "Expect:");
  std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headerGuard(headerList,
                                                                          curl_slist_free_all);

  const long timeoutMs = static_cast<long>(std::clamp(timeoutSeconds, 0.001, 86400.0) * 1000);
  CURLcode code = CURLE_OK;
  auto set = [&](CURLcode c) {
    if (code == CURLE_OK) code = c;
  };
  set(curl_easy_setopt(handle, CURLOPT_URL, request.url.c_str()));
  set(curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https"));
  // Redirects are followed by the caller, one checked hop at a time.
  set(curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L));
  set(curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L));
  set(curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, detail));
  set(curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, WriteBody));
  set(curl_easy_setopt(handle, CURLOPT_WRITEDATA, &sink));
  set(curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, WriteHeader));
  set(curl_easy_setopt(handle, CURLOPT_HEADERDATA, &replyHeaders));
  set(curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, timeoutMs));
  set(curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headerList));
  if (request.method == "POST") {
    set(curl_easy_setopt(handle, CURLOPT_POST, 1L));
    set(curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(request.body.size())));
    set(curl_easy_setopt(
        handle, CURLOPT_POSTFIELDS,
        request.body.empty() ? "" : reinterpret_cast<const char*>(request.body.data())));
  } else {
    set(curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L));
  }
  if (code == CURLE_OK) code = curl_easy_perform(handle);
  if (code != CURLE_OK) {
    if (sink.overflowed) {
      result.error = NetworkError(
          kZUZOzuriviErrorResponseTooLarge,
          "The response body is larger than " + std::to_string(maxResponseSize) + " bytes");
    } else {
      result.error = ZUZOzuriviErrorFromCurlCode(code, detail);
    }
    return result;
  }
  long status = 0;
  (void)curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);  // Stays 0 when unknown.
  char* effectiveURL = nullptr;
  (void)curl_easy_getinfo(handle, CURLINFO_EFFECTIVE_URL, &effectiveURL);
  if (IsRedirectStatus(status)) {
    char* target = nullptr;
    (void)curl_easy_getinfo(handle, CURLINFO_REDIRECT_URL, &target);
    if (target) *redirectURL = target;
  }
  ZUZOzuriviHTTPResponse response;
  response.statusCode = status;
  response.url = effectiveURL ? effectiveURL : request.url;
  response.headers = std::move(replyHeaders);
  result.response = std::move(response);
  result.body = std::move(sink.bytes);
  return result;
}

}  // namespace

bool ZUZOzuriviIsAllowedRedirect(const std::string& from, const std::string& to) {
  if (!ZUZOzuriviIsAllowedURL(to)) return false;
  return !(StartsWithNoCase(from, "https://") && !StartsWithNoCase(to, "https://"));
}

ZUZOzuriviTransportResult ZUZOzuriviCurlTransport::performSynchronously(
    const ZUZOzuriviRequest& request, size_t maxResponseSize) {
  InitializeCurlOnce();
  using SteadyClock = std::chrono::steady_clock;
  const double total = std::clamp(request.timeout, 0.001, 86400.0);
  const SteadyClock::time_point deadline =
      SteadyClock::now() +
      std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(total));
  ZUZOzuriviRequest hop = request;
  for (int redirects = 0;; ++redirects) {
    const double left = std::chrono::duration<double>(deadline - SteadyClock::now()).count();
    if (left <= 0) {
      ZUZOzuriviTransportResult result;
      result.error = ZUZOzuriviErrorFromCurlCode(CURLE_OPERATION_TIMEDOUT,
                                                 "the time-out ran out while following redirects");
      return result;
    }
    std::string target;
    ZUZOzuriviTransportResult result = PerformOneExchange(hop, maxResponseSize, left, &target);
    if (result.error || target.empty()) return result;
    const int64_t status = result.response->statusCode;
    // A POST that is told to see another resource is not turned into a GET: the upload's answer
    // is the redirect itself, which callers take as a failed exchange and retry later.
    if (status == 303 && hop.method == "POST") return result;
    if (redirects >= kMaxRedirects) {
      result.response.reset();
      result.body.clear();
      result.error = NetworkError(kZUZOzuriviErrorRedirect,
                                  "More than " + std::to_string(kMaxRedirects) + " redirects");
      return result;
    }
    if (!ZUZOzuriviIsAllowedRedirect(hop.url, target)) {
      result.response.reset();
      result.body.clear();
      result.error = NetworkError(kZUZOzuriviErrorRedirect,
                                  "Refused redirect from " + hop.url + " to " + target);
      return result;
    }
    if (status == 303) {  // A GET stays a GET, without a body.
      hop.method = "GET";
      hop.body.clear();
    }
    hop.url = std::move(target);
  }
}

ZUZOzurivi::ZUZOzurivi(std::string reachabilityHost, std::shared_ptr<ZUZOzuriviTransport> transport)
    : reachabilityHost_(std::move(reachabilityHost)),
      transport_(transport ? std::move(transport) : std::make_shared<ZUZOzuriviCurlTransport>()) {}

std::string ZUZOzurivi::postURL(const std::string& url, const fnd::Data& payload,
                                std::shared_ptr<dispatch::Queue> queue, bool usingBackgroundSession,
                                CompletionHandler handler) {
  return postURL(url, payload, {}, std::move(queue), usingBackgroundSession, std::move(handler));
}

std::string ZUZOzurivi::postURL(const std::string& url, const fnd::Data& payload,
                                const ZUZOzuriviHeaders& headers,
                                std::shared_ptr<dispatch::Queue> queue, bool usingBackgroundSession,
                                CompletionHandler handler) {
  return postURL(url, payload, headers, 0, std::move(queue), usingBackgroundSession,
                 std::move(handler));
}

std::string ZUZOzurivi::postURL(const std::string& url, const fnd::Data& payload,
                                const ZUZOzuriviHeaders& headers, double timeout,
                                std::shared_ptr<dispatch::Queue> queue, bool usingBackgroundSession,
                                CompletionHandler handler) {
  (void)usingBackgroundSession;  // No background sessions on this platform.
  ZUZOzuriviRequest request;
  request.method = "POST";
  request.url = url;
  fnd::Error error;
  std::optional<fnd::Data> compressed = gul_dataByGzippingData(payload, &error);
  if (!compressed) {
    fnd::Error failure =
        NetworkError(kZUZOzuriviErrorCompression,
                     "Cannot compress the request body: " + error.localizedDescription());
    if (!queue) queue = dispatch::Queue::main();
    queue->async([handler = std::move(handler), failure] {
      if (handler) handler(std::nullopt, std::nullopt, failure);
    });
    return "";
  }
  request.body = std::move(*compressed);
  request.headers = headers;
  auto setHeader = [&](const std::string& name, const std::string& value) {
    std::erase_if(request.headers, [&](const auto& header) {
      return std::equal(header.first.begin(), header.first.end(), name.begin(), name.end(),
                        [](char a, char b) { return std::tolower(a) == std::tolower(b); });
    });
    request.headers.emplace_back(name, value);
  };
  setHeader("Content-Encoding", "gzip");
  setHeader("Content-Type", "application/octet-stream");
  return send(std::move(request), timeout, std::move(queue), std::move(handler));
}

std::string ZUZOzurivi::getURL(const std::string& url, const ZUZOzuriviHeaders& headers,
                               std::shared_ptr<dispatch::Queue> queue, bool usingBackgroundSession,
                               CompletionHandler handler) {
  return getURL(url, headers, 0, std::move(queue), usingBackgroundSession, std::move(handler));
}

std::string ZUZOzurivi::getURL(const std::string& url, const ZUZOzuriviHeaders& headers,
                               double timeout, std::shared_ptr<dispatch::Queue> queue,
                               bool usingBackgroundSession, CompletionHandler handler) {
  (void)usingBackgroundSession;  // No background sessions on this platform.
  ZUZOzuriviRequest request;
  request.method = "GET";
  request.url = url;
  request.headers = headers;
  return send(std::move(request), timeout, std::move(queue), std::move(handler));
}

double ZUZOzurivi::timeoutInterval() const {
  std::lock_guard<std::mutex> lock(mu_);
  return timeout_;
}

void ZUZOzurivi::setTimeoutInterval(double seconds) {
  if (!(seconds > 0)) return;
  std::lock_guard<std::mutex> lock(mu_);
  timeout_ = seconds;
}

bool ZUZOzurivi::hasUploadInProgress() const { return uploadsInFlight_->load() > 0; }

bool ZUZOzurivi::isNetworkConnected() const {
  std::lock_guard<std::mutex> lock(mu_);
  return connected_;
}

void ZUZOzurivi::setNetworkConnected(bool connected) {
  std::function<void()> delegate;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (connected_ == connected) return;
    connected_ = connected;
    delegate = reachabilityDelegate_;
  }
  if (delegate) delegate();
}

void ZUZOzurivi::setReachabilityDelegate(std::function<void()> delegate) {
  std::lock_guard<std::mutex> lock(mu_);
  reachabilityDelegate_ = std::move(delegate);
}

bool ZUZOzurivi::hasReachabilityDelegate() const {
  std::lock_guard<std::mutex> lock(mu_);
  return static_cast<bool>(reachabilityDelegate_);
}

std::string ZUZOzurivi::send(ZUZOzuriviRequest request, double timeout,
                             std::shared_ptr<dispatch::Queue> queue, CompletionHandler handler) {
  if (!queue) queue = dispatch::Queue::main();
  if (!ZUZOzuriviIsAllowedURL(request.url)) {
    fnd::Error error =
        NetworkError(kZUZOzuriviErrorInvalidURL,
                     "Not an https URL (plain http only to a loopback host): " + request.url);
    queue->async([handler = std::move(handler), error] {
      if (handler) handler(std::nullopt, std::nullopt, error);
    });
    return "";
  }
  const bool isUpload = request.method == "POST";
  std::string session;
  {
    std::lock_guard<std::mutex> lock(mu_);
    request.timeout = timeout > 0 ? timeout : timeout_;
    if (isUpload) ++*uploadsInFlight_;
    session = "ZUZOzurivi-" + std::to_string(nextSession_++);
  }
  // The in-flight count drops before the handler is queued, so a handler that starts the next
  // upload does not see this one as still running.
  auto deliver = [inFlight = uploadsInFlight_, isUpload, queue,
                  handler = std::move(handler)](ZUZOzuriviTransportResult result) {
    if (isUpload) --*inFlight;
    queue->async([handler, result = std::move(result)] {
      if (!handler) return;
      if (result.error) {
        handler(result.response, std::nullopt, result.error);
      } else {
        handler(result.response, result.body, std::nullopt);
      }
    });
  };
  transport_->performRequest(std::move(request), std::move(deliver));
  return session;
}
