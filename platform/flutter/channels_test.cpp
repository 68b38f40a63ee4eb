#include "platform/flutter/channels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/queue.h"
#include "platform/dispatch/run_loop.h"
#include "platform/flutter/engine.h"
#include "platform/flutter/standard_codec.h"
#include "platform/foundation/test_home.h"

namespace flutter {
namespace {

// An engine whose Dart side the test plays; the main queue is drained explicitly.
class ChannelTest : public ::testing::Test {
 protected:
  void TearDown() override { pump(); }

  static void pump() { dispatch::RunLoop::main().runUntilIdle(); }

  FlutterDartEndpoint& dart() { return engine_.dart(); }
  std::shared_ptr<FlutterBinaryMessenger> messenger() { return engine_.binaryMessenger(); }

  static fnd::Data encode(const fnd::Value& value) {
    return *FlutterStandardMessageCodec::sharedInstance()->encode(value);
  }
  static fnd::Data call(const std::string& method, const fnd::Value& arguments) {
    return *FlutterStandardMethodCodec::sharedInstance()->encodeMethodCall(
        FlutterMethodCall(method, arguments));
  }
  static fnd::Value errorValue(const std::string& code, std::optional<std::string> message = {},
                               fnd::Value details = {}) {
    return FlutterError::errorWithCode(code, std::move(message), std::move(details));
  }

  fnd::ScopedTestHome home_;
  FlutterEngine engine_;
};

using MessengerTest = ChannelTest;

TEST_F(MessengerTest, HandlerRunsOnTheMainQueueAndRepliesOnce) {
  std::vector<fnd::Data> seen;
  FlutterBinaryReply kept;
  messenger()->setMessageHandlerOnChannel("c",
                                          [&](const fnd::Data& message, FlutterBinaryReply reply) {
                                            EXPECT_TRUE(dispatch::isMainThread());
                                            seen.push_back(message);
                                            reply(fnd::Data{9});
                                            reply(fnd::Data{10});  // Ignored.
                                            kept = reply;
                                          });
  std::atomic<int> callbacks{0};
  auto reply = dart().send("c", fnd::Data{1, 2}, [&](const fnd::Data&) { ++callbacks; });
  EXPECT_TRUE(seen.empty());  // Nothing runs before the main queue does.
  EXPECT_FALSE(reply->received());
  pump();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0], (fnd::Data{1, 2}));
  EXPECT_EQ(reply->data(), fnd::Data{9});
  kept(fnd::Data{11});  // A copy of the reply is the same reply: still ignored.
  EXPECT_EQ(reply->data(), fnd::Data{9});
  EXPECT_EQ(callbacks.load(), 1);
}

TEST_F(MessengerTest, ChannelsWithoutHandlerAnswerEmpty) {
  auto unhandled = dart().send("nobody", fnd::Data{1});
  messenger()->setMessageHandlerOnChannel(
      "c", [](const fnd::Data&, FlutterBinaryReply reply) { reply(fnd::Data{1}); });
  auto queuedBeforeRemoval = dart().send("c", fnd::Data{1});
  messenger()->setMessageHandlerOnChannel("c", nullptr);
  pump();
  ASSERT_TRUE(unhandled->received());
  EXPECT_TRUE(unhandled->data().empty());
  // The handler in place when the message's turn comes decides: here none.
  ASSERT_TRUE(queuedBeforeRemoval->received());
  EXPECT_TRUE(queuedBeforeRemoval->data().empty());
}

TEST_F(MessengerTest, HandlerMayReplyLaterOrNever) {
  std::vector<FlutterBinaryReply> pending;
  messenger()->setMessageHandlerOnChannel(
      "c", [&](const fnd::Data&, FlutterBinaryReply reply) { pending.push_back(reply); });
  auto first = dart().send("c", {});
  auto second = dart().send("c", {});
  pump();
  ASSERT_EQ(pending.size(), 2u);
  EXPECT_FALSE(first->received());
  pending[1](fnd::Data{2});
  EXPECT_FALSE(first->received());
  EXPECT_EQ(second->data(), fnd::Data{2});
}

TEST_F(MessengerTest, HostMessagesReachDartAndRepliesComeBackOnTheMainQueue) {
  dart().setMessageHandler("answered", [](const std::string& channel, const fnd::Data& message,
                                          FlutterBinaryReply reply) {
    EXPECT_EQ(channel, "answered");
    fnd::Data echo = message;
    echo.push_back(0xff);
    reply(echo);
  });
  std::vector<fnd::Data> replies;
  messenger()->sendOnChannel("answered", fnd::Data{1}, [&](const fnd::Data& reply) {
    EXPECT_TRUE(dispatch::isMainThread());
    replies.push_back(reply);
  });
  messenger()->sendOnChannel("unanswered", fnd::Data{2},
                             [&](const fnd::Data& reply) { replies.push_back(reply); });
  messenger()->sendOnChannel("fire-and-forget", fnd::Data{3});
  EXPECT_TRUE(replies.empty());
  pump();
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[0], (fnd::Data{1, 0xff}));
  EXPECT_TRUE(replies[1].empty());
  auto messages = dart().messages();
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0].channel, "answered");
  EXPECT_EQ(messages[2].channel, "fire-and-forget");
  EXPECT_EQ(messages[2].data, fnd::Data{3});
}

TEST_F(MessengerTest, DefaultDartHandlerAnswersOtherChannels) {
  dart().setDefaultMessageHandler(
      [](const std::string& channel, const fnd::Data&, FlutterBinaryReply reply) {
        reply(fnd::Data(channel.begin(), channel.end()));
      });
  fnd::Data got;
  messenger()->sendOnChannel("ab", {}, [&](const fnd::Data& reply) { got = reply; });
  pump();
  EXPECT_EQ(got, (fnd::Data{'a', 'b'}));
}

using BasicMessageChannelTest = ChannelTest;

TEST_F(BasicMessageChannelTest, MessagesAndRepliesAreDecodedAndEncoded) {
  auto channel = FlutterBasicMessageChannel::messageChannelWithName("basic", messenger());
  std::vector<fnd::Value> received;
  channel->setMessageHandler([&](const fnd::Value& message, FlutterReply callback) {
    received.push_back(message);
    callback(fnd::Array{message, "pong"});
  });
  auto reply = dart().sendMessage("basic", fnd::Dictionary{{"ping", 1}});
  auto nullReply = dart().send("basic", {});  // The empty message is null.
  pump();
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[0], fnd::Value(fnd::Dictionary{{"ping", 1}}));
  EXPECT_TRUE(received[1].isNull());
  EXPECT_EQ(*reply->message(), fnd::Value(fnd::Array{fnd::Dictionary{{"ping", 1}}, "pong"}));
  EXPECT_EQ(*nullReply->message(), fnd::Value(fnd::Array{fnd::Value(), "pong"}));
}

TEST_F(BasicMessageChannelTest, MalformedMessagesAndUnencodableRepliesGetTheEmptyReply) {
  auto channel = FlutterBasicMessageChannel::messageChannelWithName("basic", messenger());
  int calls = 0;
  channel->setMessageHandler([&](const fnd::Value&, FlutterReply callback) {
    ++calls;
    callback(fnd::Date{1});  // No standard form.
  });
  auto garbage = dart().send("basic", fnd::Data{0x0c, 0x05});
  auto unencodable = dart().sendMessage("basic", 1);
  pump();
  EXPECT_EQ(calls, 1);
  ASSERT_TRUE(garbage->received());
  EXPECT_TRUE(garbage->data().empty());
  ASSERT_TRUE(unencodable->received());
  EXPECT_TRUE(unencodable->data().empty());
}

TEST_F(BasicMessageChannelTest, NullHandlerClearsTheChannel) {
  auto channel = FlutterBasicMessageChannel::messageChannelWithName("basic", messenger());
  channel->setMessageHandler([](const fnd::Value&, FlutterReply callback) { callback(1); });
  channel->setMessageHandler(nullptr);
  auto reply = dart().sendMessage("basic", 1);
  pump();
  ASSERT_TRUE(reply->received());
  EXPECT_TRUE(reply->data().empty());
}

TEST_F(BasicMessageChannelTest, HostSendsToDart) {
  auto channel = FlutterBasicMessageChannel::messageChannelWithName("basic", messenger());
  dart().setMessageHandler("basic", [](const std::string&, const fnd::Data&,
                                       FlutterBinaryReply reply) { reply(encode("thanks")); });
  std::vector<fnd::Value> replies;
  channel->sendMessage("hello", [&](const fnd::Value& reply) { replies.push_back(reply); });
  channel->sendMessage(fnd::Date{0}, [&](const fnd::Value& reply) { replies.push_back(reply); });
  channel->sendMessage("no callback");
  pump();
  EXPECT_EQ(dart().decodedMessages("basic"), (std::vector<fnd::Value>{"hello", "no callback"}));
  // The unencodable message was not sent; its callback got null.
  EXPECT_EQ(replies, (std::vector<fnd::Value>{"thanks", fnd::Value()}));
}

using MethodChannelTest = ChannelTest;

TEST_F(MethodChannelTest, ResultsBecomeEnvelopes) {
  auto channel = FlutterMethodChannel::methodChannelWithName("m", messenger());
  channel->setMethodCallHandler([](const FlutterMethodCall& call, FlutterResult result) {
    if (call.method() == "echo") {
      result(call.arguments());
    } else if (call.method() == "fail") {
      result(FlutterError::errorWithCode("bad", "it failed", fnd::Dictionary{{"k", 1}}));
    } else if (call.method() == "date") {
      result(fnd::Date{0});
    } else if (call.method() == "failWithDate") {
      result(FlutterError::errorWithCode("bad", "details cannot travel", fnd::Date{0}));
    } else if (call.method() == "twice") {
      result(1);
      result(2);
    } else {
      result(FlutterMethodNotImplemented());
    }
  });
  struct Case {
    const char* method;
    fnd::Value expected;
  };
  const Case cases[] = {
      {"echo", fnd::Array{1, "two"}},
      {"fail", errorValue("bad", "it failed", fnd::Dictionary{{"k", 1}})},
      {"unknown", FlutterMethodNotImplemented()},
      {"twice", 1},
  };
  std::vector<std::shared_ptr<FlutterDartReply>> replies;
  for (const Case& c : cases)
    replies.push_back(dart().invokeMethod("m", c.method, fnd::Array{1, "two"}));
  auto date = dart().invokeMethod("m", "date", {});
  auto failWithDate = dart().invokeMethod("m", "failWithDate", {});
  pump();
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].method);
    fnd::Error error;
    auto envelope = replies[i]->envelope(nullptr, &error);
    ASSERT_TRUE(envelope) << error.description();
    EXPECT_EQ(*envelope, cases[i].expected) << envelope->description();
  }
  // Not implemented is the empty reply, as Flutter sends it.
  EXPECT_TRUE(replies[2]->data().empty());
  auto dateError = FlutterError::fromValue(*date->envelope());
  ASSERT_TRUE(dateError);
  EXPECT_EQ(dateError->code(), kFlutterEncodeErrorCode);
  // An error whose details cannot be encoded still reaches Dart as an error, never as the empty
  // "not implemented" reply.
  EXPECT_FALSE(failWithDate->data().empty());
  ASSERT_TRUE(failWithDate->envelope());
  auto detailsError = FlutterError::fromValue(*failWithDate->envelope());
  ASSERT_TRUE(detailsError);
  EXPECT_EQ(detailsError->code(), kFlutterEncodeErrorCode);
}

TEST_F(MethodChannelTest, MalformedCallsAreAnsweredWithAnError) {
  auto channel = FlutterMethodChannel::methodChannelWithName("m", messenger());
  int calls = 0;
  channel->setMethodCallHandler([&](const FlutterMethodCall&, FlutterResult result) {
    ++calls;
    result(true);
  });
  const fnd::Data malformed[] = {
      {},                             // No call at all.
      {0x03, 1, 0, 0, 0, 0},          // The method name is an integer.
      {0x07, 0x01, 'x', 0x00, 0x00},  // Trailing byte.
      {0x07, 0x05, 'x'},              // Truncated.
  };
  std::vector<std::shared_ptr<FlutterDartReply>> replies;
  for (const fnd::Data& m : malformed) replies.push_back(dart().send("m", m));
  pump();
  EXPECT_EQ(calls, 0);
  for (const auto& reply : replies) {
    auto envelope = reply->envelope();
    ASSERT_TRUE(envelope);
    auto error = FlutterError::fromValue(*envelope);
    ASSERT_TRUE(error) << envelope->description();
    EXPECT_EQ(error->code(), kFlutterDecodeErrorCode);
    EXPECT_TRUE(error->message() && !error->message()->empty());
  }
}

TEST_F(MethodChannelTest, NullHandlerMakesEveryMethodNotImplemented) {
  auto channel = FlutterMethodChannel::methodChannelWithName("m", messenger());
  channel->setMethodCallHandler([](const FlutterMethodCall&, FlutterResult result) { result(1); });
  channel->setMethodCallHandler(nullptr);
  auto reply = dart().invokeMethod("m", "any", {});
  pump();
  EXPECT_EQ(*reply->envelope(), FlutterMethodNotImplemented());
}

TEST_F(MethodChannelTest, HostCallsIntoDart) {
  auto channel = FlutterMethodChannel::methodChannelWithName("m", messenger());
  dart().setMethodCallHandler("m", [](const FlutterMethodCall& call) -> fnd::Value {
    if (call.method() == "add") {
      const fnd::Array& a = *call.arguments().array();
      return a[0].asInt() + a[1].asInt();
    }
    if (call.method() == "fail") return FlutterError::errorWithCode("dart", "no");
    return FlutterMethodNotImplemented();
  });
  dart().setMessageHandler("garbage",
                           [](const std::string&, const fnd::Data&, FlutterBinaryReply reply) {
                             reply(fnd::Data{7, 7});
                           });
  auto garbageChannel = FlutterMethodChannel::methodChannelWithName("garbage", messenger());
  auto silentChannel = FlutterMethodChannel::methodChannelWithName("silent", messenger());

  std::vector<fnd::Value> results;
  auto collect = [&](const fnd::Value& result) {
    EXPECT_TRUE(dispatch::isMainThread());
    results.push_back(result);
  };
  channel->invokeMethod("add", fnd::Array{2, 3}, collect);
  channel->invokeMethod("fail", {}, collect);
  channel->invokeMethod("other", {}, collect);
  silentChannel->invokeMethod("any", {}, collect);
  channel->invokeMethod("add", fnd::Date{1}, collect);  // Cannot be encoded.
  garbageChannel->invokeMethod("any", {}, collect);
  channel->invokeMethod("add", fnd::Array{1, 1});  // No answer wanted.
  pump();
  ASSERT_EQ(results.size(), 6u);
  EXPECT_EQ(results[0], fnd::Value(5));
  EXPECT_EQ(results[1], errorValue("dart", "no"));
  EXPECT_EQ(results[2], FlutterMethodNotImplemented());
  EXPECT_EQ(results[3], FlutterMethodNotImplemented());
  auto calls = dart().methodCalls("m");
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0], FlutterMethodCall("add", fnd::Array{2, 3}));
  EXPECT_EQ(calls[3], FlutterMethodCall("add", fnd::Array{1, 1}));
  std::vector<std::string> codes;
  for (size_t i = 4; i < 6; ++i) {
    auto error = FlutterError::fromValue(results[i]);
    ASSERT_TRUE(error) << results[i].description();
    codes.push_back(error->code());
  }
  std::sort(codes.begin(), codes.end());
  EXPECT_EQ(codes, (std::vector<std::string>{kFlutterDecodeErrorCode, kFlutterEncodeErrorCode}));
}

// A stream handler that records what it is asked and keeps its sink.
class RecordingStreamHandler : public FlutterStreamHandler {
 public:
  std::shared_ptr<FlutterError> onListenWithArguments(const fnd::Value& arguments,
                                                      FlutterEventSink events) override {
    log.push_back("listen " + arguments.description());
    sink = std::move(events);
    return listenError;
  }
  std::shared_ptr<FlutterError> onCancelWithArguments(const fnd::Value& arguments) override {
    log.push_back("cancel " + arguments.description());
    return cancelError;
  }

  std::vector<std::string> log;
  FlutterEventSink sink;
  std::shared_ptr<FlutterError> listenError;
  std::shared_ptr<FlutterError> cancelError;
};

class EventChannelTest : public ChannelTest {
 protected:
  void SetUp() override {
    channel_ = FlutterEventChannel::eventChannelWithName("events", messenger());
    channel_->setStreamHandler(handler_);
  }

  std::shared_ptr<RecordingStreamHandler> handler_ = std::make_shared<RecordingStreamHandler>();
  std::shared_ptr<FlutterEventChannel> channel_;
};

TEST_F(EventChannelTest, ListenEventsAndEndOfStream) {
  auto listen = dart().listen("events", fnd::Dictionary{{"app", "[DEFAULT]"}});
  pump();
  EXPECT_EQ(*listen->envelope(), fnd::Value());
  ASSERT_EQ(handler_->log, (std::vector<std::string>{"listen {\"app\": \"[DEFAULT]\"}"}));
  ASSERT_TRUE(handler_->sink);
  handler_->sink(fnd::Dictionary{{"n", 1}});
  handler_->sink(errorValue("oops", "bad thing", 3));
  handler_->sink(FlutterEndOfEventStream());
  // Each event is one message on the channel, in order.
  auto messages = dart().messagesOnChannel("events");
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0].data, *FlutterStandardMethodCodec::sharedInstance()->encodeSuccessEnvelope(
                                  fnd::Dictionary{{"n", 1}}));
  EXPECT_EQ(messages[1].data, *FlutterStandardMethodCodec::sharedInstance()->encodeErrorEnvelope(
                                  FlutterError("oops", "bad thing", 3)));
  EXPECT_TRUE(messages[2].data.empty());
  EXPECT_EQ(dart().events("events"),
            (std::vector<fnd::Value>{fnd::Dictionary{{"n", 1}}, errorValue("oops", "bad thing", 3),
                                     FlutterEndOfEventStream()}));
}

TEST_F(EventChannelTest, CancelStopsTheSink) {
  dart().listen("events");
  pump();
  auto sink = handler_->sink;
  auto cancel = dart().cancel("events", "why");
  pump();
  EXPECT_EQ(*cancel->envelope(), fnd::Value());
  EXPECT_EQ(handler_->log, (std::vector<std::string>{"listen null", "cancel \"why\""}));
  sink("late");
  EXPECT_TRUE(dart().messagesOnChannel("events").empty());
  // A second cancel has nothing to cancel.
  auto again = dart().cancel("events");
  pump();
  EXPECT_EQ(*again->envelope(), errorValue("error", "No active stream to cancel"));
  EXPECT_EQ(handler_->log.size(), 2u);
}

TEST_F(EventChannelTest, ListeningAgainCancelsTheOldStream) {
  dart().listen("events", 1);
  pump();
  auto oldSink = handler_->sink;
  dart().listen("events", 2);
  pump();
  EXPECT_EQ(handler_->log, (std::vector<std::string>{"listen 1", "cancel null", "listen 2"}));
  oldSink("stale");
  handler_->sink("fresh");
  EXPECT_EQ(dart().events("events"), (std::vector<fnd::Value>{"fresh"}));
}

TEST_F(EventChannelTest, HandlerErrorsAreErrorEnvelopes) {
  handler_->listenError = std::make_shared<FlutterError>("no-listen", "refused", fnd::Value());
  handler_->cancelError = std::make_shared<FlutterError>("no-cancel", std::nullopt, fnd::Value());
  auto listen = dart().listen("events");
  pump();
  EXPECT_EQ(*listen->envelope(), errorValue("no-listen", "refused"));
  auto cancel = dart().cancel("events");
  pump();
  EXPECT_EQ(*cancel->envelope(), errorValue("no-cancel"));
}

TEST_F(EventChannelTest, OtherMethodsAndMalformedRequests) {
  auto other = dart().invokeMethod("events", "pause", {});
  auto garbage = dart().send("events", fnd::Data{0x01});
  pump();
  EXPECT_EQ(*other->envelope(), FlutterMethodNotImplemented());
  auto error = FlutterError::fromValue(*garbage->envelope());
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), kFlutterDecodeErrorCode);
  EXPECT_TRUE(handler_->log.empty());
}

TEST_F(EventChannelTest, UnencodableEventsBecomeErrorEvents) {
  dart().listen("events");
  pump();
  handler_->sink(fnd::Date{5});
  auto events = dart().events("events");
  ASSERT_EQ(events.size(), 1u);
  auto error = FlutterError::fromValue(events[0]);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), kFlutterEncodeErrorCode);
}

TEST_F(EventChannelTest, RemovingTheHandlerSilencesItsSink) {
  dart().listen("events");
  pump();
  channel_->setStreamHandler(nullptr);
  handler_->sink("after removal");
  auto listen = dart().listen("events");
  pump();
  EXPECT_TRUE(dart().events("events").empty());
  EXPECT_EQ(*listen->envelope(), FlutterMethodNotImplemented());
}

// Replies and events sent from other threads reach Dart once each, in the order they were sent.
TEST_F(EventChannelTest, RepliesAndEventsFromOtherThreadsArriveInOrder) {
  constexpr int kMessages = 200;
  auto worker = dispatch::Queue::create("com.example.flutter.worker");
  auto methods = FlutterMethodChannel::methodChannelWithName("work", messenger());
  methods->setMethodCallHandler([&](const FlutterMethodCall& call, FlutterResult result) {
    // Handed to another thread, which answers later, in the order the calls came.
    worker->async([call, result, sink = handler_->sink] {
      sink(call.arguments());
      result(call.arguments());
    });
  });
  dart().listen("events");
  pump();

  std::mutex mutex;
  std::vector<int64_t> replyOrder;  // Guarded by mutex.
  std::vector<std::shared_ptr<FlutterDartReply>> replies;
  for (int i = 0; i < kMessages; ++i) {
    auto data =
        *FlutterStandardMethodCodec::sharedInstance()->encodeMethodCall(FlutterMethodCall("n", i));
    replies.push_back(dart().send("work", data, [&, i](const fnd::Data&) {
      std::lock_guard<std::mutex> lock(mutex);
      replyOrder.push_back(i);
    }));
  }
  // Threads other than the worker also send events, concurrently.
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([sink = handler_->sink, t] {
      for (int k = 0; k < 50; ++k) sink(fnd::Array{t, k});
    });
  }
  pump();               // Every call reaches its handler...
  worker->sync([] {});  // ...and the worker has answered them all.
  for (auto& thread : threads) thread.join();

  std::vector<int64_t> expected;
  for (int i = 0; i < kMessages; ++i) expected.push_back(i);
  EXPECT_EQ(replyOrder, expected);
  for (int i = 0; i < kMessages; ++i) EXPECT_EQ(*replies[i]->envelope(), fnd::Value(i));

  // Events of the worker came in its order; each thread's events came in that thread's order.
  std::vector<int64_t> workerEvents;
  std::vector<int> nextPerThread(4, 0);
  for (const fnd::Value& event : dart().events("events")) {
    if (event.isInt()) {
      workerEvents.push_back(event.asInt());
    } else {
      const fnd::Array& pair = *event.array();
      int t = static_cast<int>(pair[0].asInt());
      EXPECT_EQ(pair[1].asInt(), nextPerThread[t]++);
    }
  }
  EXPECT_EQ(workerEvents, expected);
  EXPECT_EQ(nextPerThread, std::vector<int>(4, 50));
}

}  // namespace
}  // namespace flutter
