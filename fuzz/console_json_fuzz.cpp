// The Dart console's JSON notation: arbitrary text parsed as JSON and read as a channel value.
// What reads must print, the printed JSON must read back to an equal value, and the value must go
// through the console's codec (standard format plus custom records) unchanged. Also the notation's
// hex text, both ways.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "macos/Runner/console_codec.h"
#include "macos/Runner/json_notation.h"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& text) {
  std::fprintf(stderr, "%s: %s\n", what, text.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  if (std::optional<fnd::Data> bytes = runner::HexDecode(text)) {
    if (runner::HexDecode(runner::HexEncode(*bytes)) != bytes) Fail("hex does not read back", text);
  }

  const runner::Json json = runner::Json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (json.is_discarded()) return 0;
  std::string error;
  std::optional<fnd::Value> value = runner::ValueFromJson(json, &error);
  if (!value) {
    if (error.empty()) Fail("refused without a message", text);
    return 0;
  }

  const runner::Json printed = runner::JsonFromValue(*value);
  const std::string printedText = printed.dump();
  const runner::Json reparsed = runner::Json::parse(printedText, nullptr, false);
  if (reparsed.is_discarded()) Fail("printed notation is not JSON", printedText);
  std::optional<fnd::Value> again = runner::ValueFromJson(reparsed, &error);
  if (!again) Fail("printed notation does not read back", printedText);
  if (*again != *value) Fail("printed notation reads back to another value", printedText);

  const auto codec = runner::ConsoleMessageCodec();
  std::optional<fnd::Data> encoded = codec->encode(*value);
  if (!encoded) Fail("a value of the notation does not encode", printedText);
  std::optional<fnd::Value> decoded = codec->decode(*encoded);
  if (!decoded || *decoded != *value) Fail("codec round trip changed the value", printedText);
  return 0;
}
