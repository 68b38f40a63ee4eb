// Arbitrary programs through event editing.
//
// Input: the bytes of a program message (top-level statements and activities), as the server
// would deliver it. What decodes is loaded with the host modules installed and, when the load
// succeeds, run on three events (an edit of their names and parameters, creations, lookups).
// Every run is bounded by the instruction budget and the memory caps of each event, so an input
// must finish in about a second per event, with bounded memory, and never abort.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/proto/generated/apmpb_messages.h"
#include "analytics/script/event.h"
#include "analytics/script/event_editing.h"
#include "analytics/script/host_modules.h"
#include "analytics/script/runtime.h"
#include "platform/foundation/value.h"

namespace {

// Drops every line the scripts log.
class SilentLogger : public APMPLoggerDelegate {
 public:
  void logWithLevel(int64_t, const std::string&, const std::vector<std::string>&, bool,
                    bool) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fnd::Data bytes(data, data + size);
  auto program = APMPBProgram::initWithBuffer(bytes);
  if (!program) return 0;
  APMPEventEditing editing;
  editing.setModuleCreator(
      [] {
        return std::make_shared<APMPKeyValueStore>(
            u"internal.remoteConfig",
            [](const std::string& key) -> std::optional<std::string> {
              if (key == "limit") return std::string("5");
              return std::nullopt;
            });
      },
      APMPEModuleRemoteConfig);
  auto logger = std::make_shared<SilentLogger>();
  editing.setModuleCreator([logger] { return std::make_shared<APMPMessageLogger>(logger); },
                           APMPEModuleLogger);
  if (!editing.loadProgram(*program)) return 0;
  fnd::Dictionary parameters;
  parameters.set(fnd::Value("count"), fnd::Value(int64_t{2}));
  parameters.set(fnd::Value("price"), fnd::Value(1.5));
  parameters.set(fnd::Value("label"), fnd::Value("a"));
  const char* names[] = {"purchase", "screen_view", "_e"};
  for (int i = 0; i < 3; ++i) {
    editing.handleEvent(APMPEvent(names[i], 1000.0 + i, parameters));
  }
  return 0;
}
