#include "platform/vendor/utilities/network.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <mutex>
#include <string_view>

#include "platform/security/openssl_init.h"
#include "platform/vendor/utilities/gzip.h"

namespace {

fnd::Error NetworkError(ZUZOzuriviErrorCode code, std::string description) {
  return fnd::Error::withDescription(kZUZOzuriviErrorDomain, code, std::move(description));
}

bool HasHTTPScheme(std::string_view url) {
  auto startsWith = [&](std::string_view prefix) {
    if (url.size() <= prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
      if (std::tolower(static_cast<unsigned char>(url[i])) != prefix[i]) return false;
    }
    return true;
  };
  return startsWith("http://") || startsWith("https://");
}

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

ZUZOzuriviTransportResult ZUZOzuriviCurlTransport::performSynchronously(
    const ZUZOzuriviRequest& request, size_t maxResponseSize) {
  InitializeCurlOnce();
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

  const long timeoutMs = static_cast<long>(std::clamp(request.timeout, 0.001, 86400.0) * 1000);
  CURLcode code = CURLE_OK;
  auto set = [&](CURLcode c) {
    if (code == CURLE_OK) code = c;
  };
  set(curl_easy_setopt(handle, CURLOPT_URL, request.url.c_str()));
  set(curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https"));
  set(curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https"));
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
  ZUZOzuriviHTTPResponse response;
  response.statusCode = status;
  response.url = effectiveURL ? effectiveURL : request.url;
  response.headers = std::move(replyHeaders);
  result.response = std::move(response);
  result.body = std::move(sink.bytes);
  return result;
}

ZUZOzurivi::ZUZOzurivi(std::string reachabilityHost, std::shared_ptr<ZUZOzuriviTransport> transport)
    : reachabilityHost_(std::move(reachabilityHost)),
      transport_(transport ? std::move(transport) : std::make_shared<ZUZOzuriviCurlTransport>()) {}

void ZUZOzurivi::postURL(const std::string& url, const fnd::Data& payload,
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
    return;
  }
  request.body = std::move(*compressed);
  request.headers = {{"Content-Encoding", "gzip"}, {"Content-Type", "application/octet-stream"}};
  send(std::move(request), std::move(queue), std::move(handler));
}

void ZUZOzurivi::getURL(const std::string& url, const ZUZOzuriviHeaders& headers,
                        std::shared_ptr<dispatch::Queue> queue, bool usingBackgroundSession,
                        CompletionHandler handler) {
  (void)usingBackgroundSession;  // No background sessions on this platform.
  ZUZOzuriviRequest request;
  request.method = "GET";
  request.url = url;
  request.headers = headers;
  send(std::move(request), std::move(queue), std::move(handler));
}

void ZUZOzurivi::send(ZUZOzuriviRequest request, std::shared_ptr<dispatch::Queue> queue,
                      CompletionHandler handler) {
  if (!queue) queue = dispatch::Queue::main();
  auto deliver = [queue, handler = std::move(handler)](ZUZOzuriviTransportResult result) {
    queue->async([handler, result = std::move(result)] {
      if (!handler) return;
      if (result.error) {
        handler(result.response, std::nullopt, result.error);
      } else {
        handler(result.response, result.body, std::nullopt);
      }
    });
  };
  if (!HasHTTPScheme(request.url)) {
    deliver({std::nullopt,
             {},
             NetworkError(kZUZOzuriviErrorInvalidURL, "Not an HTTP URL: " + request.url)});
    return;
  }
  transport_->performRequest(std::move(request), std::move(deliver));
}
