// Every channel the application's plugins register, fed arbitrary messages from the Dart side,
// exactly as the Flutter engine delivers them: the channel codecs of every bridge (core, Virelda
// values and host interface, remote configuration, sign-in, authentication, analytics, ...) and
// the method-argument handlers behind them. A malformed message gets an error reply; nothing may
// crash.
//
// Input: a channel name, a newline, then the message bytes. A name that no plugin registered picks
// a registered channel by its hash, so every mutation of the name still reaches some channel.
//
// The one message left out is the crash reporter's deliberate test crash ("Crashkeep#crash"),
// which ends the process by design.
//
// Run with -max_len=1048576: Dart may send messages that large.
//
// With QUELLMARK_FUZZ_LIST_CHANNELS set, the registered channels are printed at start (for writing
// seeds).
#include <sys/stat.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "macos/Runner/generated_plugin_registrant.h"
#include "platform/dispatch/run_loop.h"
#include "platform/flutter/dart_endpoint.h"
#include "platform/flutter/engine.h"
#include "platform/flutter/engine_messenger.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/test_home.h"
#include "platform/vendor/core/davodu.h"

namespace {

struct Host {
  Host() {
    const std::string bundle = home.path() + "/Bundle";
    ::mkdir(bundle.c_str(), 0755);
    fnd::Bundle::setMainBundlePath(bundle);
    DAVOdu::resetForTesting();
    RegisterGeneratedPlugins(engine);
    dispatch::RunLoop::main().runUntilIdle();
    channels = engine.engineMessenger()->messageHandlerChannels();
  }
  fnd::ScopedTestHome home;
  flutter::FlutterEngine engine;
  std::vector<std::string> channels;
};

Host& Shared() {
  // Lives until the process ends.
  static Host* host = new Host();
  return *host;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (std::getenv("QUELLMARK_FUZZ_LIST_CHANNELS") != nullptr) {
    for (const std::string& channel : Shared().channels) std::printf("%s\n", channel.c_str());
  }
  (void)Shared();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Host& host = Shared();
  if (host.channels.empty()) return 0;
  const uint8_t* newline = static_cast<const uint8_t*>(std::memchr(data, '\n', size));
  if (newline == nullptr) return 0;
  std::string channel(reinterpret_cast<const char*>(data), newline - data);
  if (!host.engine.engineMessenger()->hasMessageHandlerOnChannel(channel)) {
    channel = host.channels[std::hash<std::string>()(channel) % host.channels.size()];
  }
  fnd::Data message(newline + 1, data + size);
  static const std::string kTestCrash = "Crashkeep#crash";
  if (channel == "plugins.flutter.io/zudiroru_crashkeep" &&
      std::search(message.begin(), message.end(), kTestCrash.begin(), kTestCrash.end()) !=
          message.end()) {
    return 0;
  }
  (void)host.engine.dart().send(channel, std::move(message));
  dispatch::RunLoop::main().runUntilIdle();
  host.engine.dart().clearMessages();
  return 0;
}
