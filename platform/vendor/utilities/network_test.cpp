#include "platform/vendor/utilities/network.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/semaphore.h"
#include "platform/foundation/test_home.h"
#include "platform/security/gzip.h"

namespace {

fnd::Data Bytes(const std::string& text) { return fnd::Data(text.begin(), text.end()); }

// Answers every request with a scripted result, at once, and keeps the requests.
class ScriptedTransport : public ZUZOzuriviTransport {
 public:
  void performRequest(ZUZOzuriviRequest request, Done done) override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      requests_.push_back(request);
    }
    done(result);
  }
  std::vector<ZUZOzuriviRequest> requests() {
    std::lock_guard<std::mutex> lock(mu_);
    return requests_;
  }
  ZUZOzuriviTransportResult result;

 private:
  std::mutex mu_;
  std::vector<ZUZOzuriviRequest> requests_;
};

struct Answer {
  std::optional<ZUZOzuriviHTTPResponse> response;
  std::optional<fnd::Data> data;
  std::optional<fnd::Error> error;
  bool onQueue = false;
};

class NetworkTest : public ::testing::Test {
 protected:
  // The handler's arguments, once it has run on `queue_`.
  ZUZOzurivi::CompletionHandler Capture(Answer* answer) {
    return [this, answer](const std::optional<ZUZOzuriviHTTPResponse>& response,
                          const std::optional<fnd::Data>& data,
                          const std::optional<fnd::Error>& error) {
      *answer = {response, data, error, queue_->isCurrent()};
      done_.signal();
    };
  }
  void Wait() { ASSERT_EQ(done_.wait(), dispatch::WaitResult::kSuccess); }

  fnd::ScopedTestHome home_;
  std::shared_ptr<dispatch::Queue> queue_ = dispatch::Queue::create("test.network");
  dispatch::Semaphore done_{0, dispatch::Clock::real()};
};

TEST_F(NetworkTest, PostSendsGzippedBodyAndAnswersOnTheGivenQueue) {
  auto transport = std::make_shared<ScriptedTransport>();
  transport->result.response = ZUZOzuriviHTTPResponse{204, "https://h/x", {}};
  ZUZOzurivi network("h", transport);
  EXPECT_EQ(network.reachabilityHost(), "h");

  Answer answer;
  network.postURL("https://h/x", Bytes("payload"), queue_, false, Capture(&answer));
  Wait();
  ASSERT_EQ(transport->requests().size(), 1u);
  const ZUZOzuriviRequest request = transport->requests()[0];
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.url, "https://h/x");
  EXPECT_EQ(request.headers, (ZUZOzuriviHeaders{{"Content-Encoding", "gzip"},
                                                {"Content-Type", "application/octet-stream"}}));
  fnd::Data inflated;
  ASSERT_TRUE(security::Gunzip(request.body, 1 << 20, &inflated));
  EXPECT_EQ(inflated, Bytes("payload"));

  EXPECT_TRUE(answer.onQueue);
  ASSERT_TRUE(answer.response);
  EXPECT_EQ(answer.response->statusCode, kZUZOzuriviHTTPStatusNoContent);
  EXPECT_EQ(answer.data, fnd::Data());
  EXPECT_FALSE(answer.error);
}

TEST_F(NetworkTest, TransportErrorsAndBadURLsAnswerWithAnErrorAndNoData) {
  auto transport = std::make_shared<ScriptedTransport>();
  transport->result.error =
      fnd::Error::withDescription(kZUZOzuriviErrorDomain, kZUZOzuriviErrorTransport, "down");
  ZUZOzurivi network("h", transport);

  Answer answer;
  network.getURL("https://h/config", {{"If-None-Match", "x"}}, queue_, false, Capture(&answer));
  Wait();
  EXPECT_EQ(transport->requests().at(0).headers, (ZUZOzuriviHeaders{{"If-None-Match", "x"}}));
  EXPECT_FALSE(answer.response);
  EXPECT_FALSE(answer.data);
  ASSERT_TRUE(answer.error);
  EXPECT_EQ(answer.error->code(), kZUZOzuriviErrorTransport);

  for (const char* url : {"", "ftp://h/x", "file:///etc/passwd", "https://"}) {
    network.postURL(url, Bytes("p"), queue_, false, Capture(&answer));
    Wait();
    ASSERT_TRUE(answer.error) << url;
    EXPECT_EQ(answer.error->code(), kZUZOzuriviErrorInvalidURL) << url;
  }
  EXPECT_EQ(transport->requests().size(), 1u);  // Bad URLs never reach the transport.
}

TEST(NetworkURLTest, PlainHTTPOnlyToLoopback) {
  struct Case {
    const char* url;
    bool allowed;
  };
  const Case cases[] = {
      {"https://measurement.quellmark.example/a", true},
      {"HTTPS://h", true},
      {"http://127.0.0.1:8080/a", true},
      {"http://127.200.3.4/a", true},
      {"http://localhost/a", true},
      {"http://LOCALHOST:1", true},
      {"http://[::1]:9/x", true},
      {"http://user@127.0.0.1/x", true},
      {"http://10.0.0.1/a", false},
      {"http://127.0.0.1.attacker.example/a", false},
      {"http://localhost.example/a", false},
      {"http://127.0.0.256/", false},
      {"http://[::2]/", false},
      {"ftp://127.0.0.1/", false},
      {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(ZUZOzuriviIsAllowedURL(c.url), c.allowed) << c.url;
}

TEST_F(NetworkTest, SessionsTimeoutUploadsInFlightAndReachability) {
  auto transport = std::make_shared<ScriptedTransport>();
  transport->result.response = ZUZOzuriviHTTPResponse{200, "https://h/x", {}};
  ZUZOzurivi network("h", transport);
  network.setTimeoutInterval(45);
  network.setTimeoutInterval(-1);  // Ignored.
  EXPECT_EQ(network.timeoutInterval(), 45);
  Answer answer;
  const std::string first =
      network.postURL("https://h/x", Bytes("p"), {{"X-Extra", "1"}, {"content-type", "text/plain"}},
                      queue_, false, Capture(&answer));
  Wait();
  EXPECT_FALSE(first.empty());
  EXPECT_EQ(transport->requests().at(0).timeout, 45);
  EXPECT_EQ(transport->requests().at(0).headers,
            (ZUZOzuriviHeaders{{"X-Extra", "1"},
                               {"Content-Encoding", "gzip"},
                               {"Content-Type", "application/octet-stream"}}));
  EXPECT_FALSE(network.hasUploadInProgress());
  const std::string second = network.getURL("https://h/y", {}, queue_, false, Capture(&answer));
  Wait();
  EXPECT_NE(first, second);
  EXPECT_EQ(network.postURL("http://192.0.2.1/x", Bytes("p"), queue_, false, Capture(&answer)), "");
  Wait();
  EXPECT_EQ(answer.error->code(), kZUZOzuriviErrorInvalidURL);

  int changes = 0;
  EXPECT_TRUE(network.isNetworkConnected());
  network.setReachabilityDelegate([&] { ++changes; });
  EXPECT_TRUE(network.hasReachabilityDelegate());
  network.setNetworkConnected(false);
  network.setNetworkConnected(false);
  network.setNetworkConnected(true);
  EXPECT_EQ(changes, 2);
}

TEST(NetworkCurlErrorTest, CurlCodesBecomeNetworkErrors) {
  fnd::Error error = ZUZOzuriviErrorFromCurlCode(7, "Connection refused");
  EXPECT_EQ(error.domain(), kZUZOzuriviErrorDomain);
  EXPECT_EQ(error.code(), kZUZOzuriviErrorTransport);
  EXPECT_EQ(error.userInfo().get(kZUZOzuriviCurlCodeKey), fnd::Value(int64_t{7}));
  EXPECT_NE(error.localizedDescription().find("Connection refused"), std::string::npos);
  EXPECT_EQ(ZUZOzuriviErrorFromCurlCode(3, "").code(), kZUZOzuriviErrorInvalidURL);
}

// A one-shot HTTP server on 127.0.0.1: accepts one connection, reads one request and writes
// `reply`.
class LoopbackServer {
 public:
  explicit LoopbackServer(std::string reply) : reply_(std::move(reply)) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    socklen_t length = sizeof(address);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    listen(listener_, 1);
    thread_ = std::thread([this] { Serve(); });
  }
  ~LoopbackServer() {
    if (thread_.joinable()) thread_.join();
    close(listener_);
  }
  int port() const { return port_; }
  // The request as received. REQUIRES: the client has had its answer.
  std::string request() {
    if (thread_.joinable()) thread_.join();
    return request_;
  }

 private:
  void Serve() {
    int connection = accept(listener_, nullptr, nullptr);
    if (connection < 0) return;
    char buffer[4096];
    size_t wanted = std::string::npos;
    while (request_.size() < wanted) {
      ssize_t n = recv(connection, buffer, sizeof(buffer), 0);
      if (n <= 0) break;
      request_.append(buffer, static_cast<size_t>(n));
      size_t end = request_.find("\r\n\r\n");
      if (end != std::string::npos && wanted == std::string::npos) {
        size_t bodyLength = 0;
        size_t at = request_.find("Content-Length: ");
        if (at != std::string::npos && at < end)
          bodyLength = std::strtoul(&request_[at + 16], 0, 10);
        wanted = end + 4 + bodyLength;
      }
    }
    size_t sent = 0;
    while (sent < reply_.size()) {
      ssize_t n = send(connection, reply_.data() + sent, reply_.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    close(connection);
  }

  const std::string reply_;
  int listener_ = -1;
  int port_ = 0;
  std::string request_;
  std::thread thread_;
};

TEST_F(NetworkTest, CurlTransportTalksHTTPOverLoopback) {
  LoopbackServer server(
      "HTTP/1.1 429 Too Many Requests\r\nContent-Length: 5\r\nX-Test: yes\r\n"
      "Connection: close\r\n\r\nslow!");
  ZUZOzurivi network("127.0.0.1");
  Answer answer;
  const std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/sdk-exp";
  network.postURL(url, Bytes("request body"), queue_, false, Capture(&answer));
  Wait();

  ASSERT_TRUE(answer.response) << (answer.error ? answer.error->description() : "");
  EXPECT_EQ(answer.response->statusCode, kZUZOzuriviHTTPStatusCodeCannotAcceptTraffic);
  EXPECT_EQ(answer.data, Bytes("slow!"));
  EXPECT_NE(std::find(answer.response->headers.begin(), answer.response->headers.end(),
                      std::make_pair(std::string("X-Test"), std::string("yes"))),
            answer.response->headers.end());

  const std::string request = server.request();
  EXPECT_EQ(request.rfind("POST /sdk-exp HTTP/1.1\r\n", 0), 0u) << request;
  EXPECT_NE(request.find("Content-Encoding: gzip\r\n"), std::string::npos);
  const std::string body = request.substr(request.find("\r\n\r\n") + 4);
  fnd::Data inflated;
  ASSERT_TRUE(security::Gunzip(Bytes(body), 1 << 20, &inflated));
  EXPECT_EQ(inflated, Bytes("request body"));
}

TEST_F(NetworkTest, CurlTransportRefusesOversizedReplies) {
  LoopbackServer server("HTTP/1.1 200 OK\r\nContent-Length: 100\r\nConnection: close\r\n\r\n" +
                        std::string(100, 'x'));
  ZUZOzurivi network("127.0.0.1", std::make_shared<ZUZOzuriviCurlTransport>(10));
  Answer answer;
  network.getURL("http://127.0.0.1:" + std::to_string(server.port()) + "/", {}, queue_, false,
                 Capture(&answer));
  Wait();
  ASSERT_TRUE(answer.error);
  EXPECT_EQ(answer.error->code(), kZUZOzuriviErrorResponseTooLarge);
  EXPECT_FALSE(answer.data);
  (void)server.request();
}

// An HTTP server on 127.0.0.1 that answers its connections one after another, the n-th with
// the n-th reply ("{PORT}" in a reply becomes the server's port), after that reply's delay; a
// reply of "hold" answers nothing and waits until the client gives up. Keeps every request.
class ChainServer {
 public:
  struct Reply {
    std::string text;
    int delayMs = 0;
  };
  explicit ChainServer(std::vector<Reply> replies) : replies_(std::move(replies)) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    socklen_t length = sizeof(address);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    listen(listener_, 8);
    thread_ = std::thread([this] { Serve(); });
  }
  ~ChainServer() {
    shutdown(listener_, SHUT_RDWR);  // Ends a pending accept().
    if (thread_.joinable()) thread_.join();
    close(listener_);
  }
  int port() const { return port_; }
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  std::vector<std::string> requests() {
    std::lock_guard<std::mutex> lock(mu_);
    return requests_;
  }

 private:
  void Serve() {
    for (Reply reply : replies_) {
      int connection = accept(listener_, nullptr, nullptr);
      if (connection < 0) return;
      std::string request;
      char buffer[4096];
      size_t wanted = std::string::npos;
      while (request.size() < wanted) {
        ssize_t n = recv(connection, buffer, sizeof(buffer), 0);
        if (n <= 0) break;
        request.append(buffer, static_cast<size_t>(n));
        size_t end = request.find("\r\n\r\n");
        if (end != std::string::npos && wanted == std::string::npos) {
          size_t bodyLength = 0;
          size_t at = request.find("Content-Length: ");
          if (at != std::string::npos && at < end)
            bodyLength = std::strtoul(&request[at + 16], 0, 10);
          wanted = end + 4 + bodyLength;
        }
      }
      {
        std::lock_guard<std::mutex> lock(mu_);
        requests_.push_back(request);
      }
      if (reply.text == "hold") {
        while (recv(connection, buffer, sizeof(buffer), 0) > 0) {
        }
        close(connection);
        continue;
      }
      if (reply.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(reply.delayMs));
      for (size_t at = reply.text.find("{PORT}"); at != std::string::npos;
           at = reply.text.find("{PORT}")) {
        reply.text.replace(at, 6, std::to_string(port_));
      }
      send(connection, reply.text.data(), reply.text.size(), MSG_NOSIGNAL);
      close(connection);
    }
  }

  const std::vector<Reply> replies_;
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::mutex mu_;
  std::vector<std::string> requests_;
};

ChainServer::Reply Redirect(int status, const std::string& location) {
  return {"HTTP/1.1 " + std::to_string(status) + " Redirect\r\nLocation: " + location +
          "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"};
}
ChainServer::Reply Final(int status, const std::string& body) {
  return {"HTTP/1.1 " + std::to_string(status) + " Answer\r\nContent-Length: " +
          std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body};
}
std::string RequestLine(const std::string& request) {
  return request.substr(0, request.find("\r\n"));
}
std::string RequestBody(const std::string& request) {
  return request.substr(request.find("\r\n\r\n") + 4);
}

TEST_F(NetworkTest, RedirectsKeepTheMethodAndBodyAndEachHopIsChecked) {
  // 301, 302, 307, 308 keep a POST and its (compressed) body and headers, up to the final answer.
  ChainServer server({Redirect(301, "/b"), Redirect(302, "http://127.0.0.1:{PORT}/c"),
                      Redirect(307, "/d?x=1"), Redirect(308, "/e"), Final(204, "")});
  ZUZOzurivi network("127.0.0.1");
  Answer answer;
  network.postURL(server.url("/a"), Bytes("the batch"), {{"X-Mark", "1"}}, queue_, false,
                  Capture(&answer));
  Wait();
  ASSERT_TRUE(answer.response) << (answer.error ? answer.error->description() : "");
  EXPECT_EQ(answer.response->statusCode, kZUZOzuriviHTTPStatusNoContent);
  EXPECT_EQ(answer.response->url, server.url("/e"));
  const std::vector<std::string> requests = server.requests();
  ASSERT_EQ(requests.size(), 5u);
  const char* paths[] = {"/a", "/b", "/c", "/d?x=1", "/e"};
  for (size_t i = 0; i < requests.size(); ++i) {
    EXPECT_EQ(RequestLine(requests[i]), std::string("POST ") + paths[i] + " HTTP/1.1");
    EXPECT_NE(requests[i].find("X-Mark: 1\r\n"), std::string::npos) << i;
    EXPECT_NE(requests[i].find("Content-Encoding: gzip\r\n"), std::string::npos) << i;
    fnd::Data inflated;
    ASSERT_TRUE(security::Gunzip(Bytes(RequestBody(requests[i])), 1 << 20, &inflated)) << i;
    EXPECT_EQ(inflated, Bytes("the batch")) << i;
  }
}

TEST_F(NetworkTest, A303TurnsAGetIntoAGetButIsTheAnswerOfAPost) {
  {
    ChainServer server({Redirect(303, "/other"), Final(200, "config")});
    ZUZOzurivi network("127.0.0.1");
    Answer answer;
    network.getURL(server.url("/config"), {{"If-None-Match", "\"v\""}}, queue_, false,
                   Capture(&answer));
    Wait();
    ASSERT_TRUE(answer.response);
    EXPECT_EQ(answer.response->statusCode, 200);
    EXPECT_EQ(answer.data, Bytes("config"));
    ASSERT_EQ(server.requests().size(), 2u);
    EXPECT_EQ(RequestLine(server.requests()[1]), "GET /other HTTP/1.1");
  }
  {
    // An upload told to look elsewhere is not re-sent as a GET whose 200 would pass for success.
    ChainServer server({Redirect(303, "/elsewhere"), Final(200, "")});
    ZUZOzurivi network("127.0.0.1");
    Answer answer;
    network.postURL(server.url("/a"), Bytes("batch"), queue_, false, Capture(&answer));
    Wait();
    ASSERT_TRUE(answer.response);
    EXPECT_EQ(answer.response->statusCode, 303);
    EXPECT_EQ(server.requests().size(), 1u);
  }
}

TEST_F(NetworkTest, TooManyOrRefusedRedirectsAreErrors) {
  struct Case {
    const char* name;
    std::vector<ChainServer::Reply> replies;
    size_t requests;
  };
  std::vector<Case> cases = {
      {"six redirects",
       {Redirect(302, "/1"), Redirect(302, "/2"), Redirect(302, "/3"), Redirect(302, "/4"),
        Redirect(302, "/5"), Redirect(302, "/6"), Final(200, "")},
       6},
      {"plain http to a host that is not loopback", {Redirect(302, "http://10.1.2.3/a")}, 1},
      {"a scheme that is not http", {Redirect(307, "ftp://127.0.0.1/a")}, 1},
  };
  for (const Case& c : cases) {
    ChainServer server(c.replies);
    ZUZOzurivi network("127.0.0.1");
    Answer answer;
    network.postURL(server.url("/a"), Bytes("batch"), queue_, false, Capture(&answer));
    Wait();
    ASSERT_TRUE(answer.error) << c.name;
    EXPECT_EQ(answer.error->code(), kZUZOzuriviErrorRedirect) << c.name;
    EXPECT_FALSE(answer.response) << c.name;
    EXPECT_FALSE(answer.data) << c.name;
    EXPECT_EQ(server.requests().size(), c.requests) << c.name;
  }
  // Exactly five are followed.
  ChainServer five({Redirect(302, "/1"), Redirect(302, "/2"), Redirect(302, "/3"),
                    Redirect(302, "/4"), Redirect(302, "/5"), Final(200, "ok")});
  ZUZOzurivi network("127.0.0.1");
  Answer answer;
  network.getURL(five.url("/a"), {}, queue_, false, Capture(&answer));
  Wait();
  ASSERT_TRUE(answer.response);
  EXPECT_EQ(answer.data, Bytes("ok"));
}

TEST(NetworkURLTest, RedirectTargetsAreCheckedLikeTheFirstURL) {
  struct Case {
    const char* from;
    const char* to;
    bool allowed;
  };
  const Case cases[] = {
      {"https://a.example/x", "https://b.example/y", true},
      {"https://a.example/x", "http://b.example/y", false},
      {"https://a.example/x", "http://127.0.0.1/y", false},  // Never down from https.
      {"HTTPS://a.example/x", "HTTP://localhost/y", false},
      {"http://127.0.0.1/x", "https://b.example/y", true},
      {"http://127.0.0.1/x", "http://[::1]:80/y", true},
      {"http://127.0.0.1/x", "http://10.0.0.1/y", false},
      {"http://127.0.0.1/x", "file:///etc/passwd", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ZUZOzuriviIsAllowedRedirect(c.from, c.to), c.allowed) << c.from << " -> " << c.to;
  }
}

TEST_F(NetworkTest, TheTimeoutCoversEveryHop) {
  // The first hop takes most of the time-out; the second would wait for ever. Without one
  // deadline for all hops the second would get the whole time-out again.
  ChainServer server({{Redirect(302, "/slow").text, 700}, {"hold"}});
  ZUZOzurivi network("127.0.0.1");
  Answer answer;
  const auto start = std::chrono::steady_clock::now();
  network.getURL(server.url("/a"), {}, 1.0, queue_, false, Capture(&answer));
  Wait();
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_TRUE(answer.error);
  EXPECT_EQ(answer.error->code(), kZUZOzuriviErrorTransport);
  EXPECT_EQ(answer.error->userInfo().get(kZUZOzuriviCurlCodeKey),
            fnd::Value(static_cast<int64_t>(28)));  // CURLE_OPERATION_TIMEDOUT
  EXPECT_EQ(server.requests().size(), 2u);
  EXPECT_LT(elapsed, 1.6);
}

TEST_F(NetworkTest, APerRequestTimeoutWinsOverTheObjectsOwn) {
  auto transport = std::make_shared<ScriptedTransport>();
  transport->result.response = ZUZOzuriviHTTPResponse{204, "", {}};
  ZUZOzurivi network("127.0.0.1", transport);
  network.setTimeoutInterval(5);
  Answer answer;
  network.postURL("https://a.example/a", Bytes("x"), {}, 120, queue_, false, Capture(&answer));
  Wait();
  network.getURL("https://a.example/c", {}, 90, queue_, false, Capture(&answer));
  Wait();
  network.getURL("https://a.example/c", {}, 0, queue_, false, Capture(&answer));
  Wait();
  ASSERT_EQ(transport->requests().size(), 3u);
  EXPECT_EQ(transport->requests()[0].timeout, 120);
  EXPECT_EQ(transport->requests()[1].timeout, 90);
  EXPECT_EQ(transport->requests()[2].timeout, 5);  // None given: the object's.
}

}  // namespace
