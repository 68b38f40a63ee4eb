// The text parsers that read what other programs wrote: ISO 8601 dates, UUIDs, hexadecimal
// text, exact decimal amounts (store prices) and the server settings' decimal numbers. Whatever
// parses must print, and the printed text must parse back to the same thing.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "analytics/config/remote_config.h"
#include "platform/foundation/date.h"
#include "platform/foundation/uuid.h"
#include "platform/security/hex.h"
#include "platform/storekit/decimal_number.h"

namespace {

[[noreturn]] void Fail(const char* what, std::string_view text) {
  std::fprintf(stderr, "%s: %.*s\n", what, static_cast<int>(text.size()), text.data());
  std::abort();
}

// The range of instants whose year has four digits (0001 to 9999).
constexpr double kFirstInstant = -62135596800.0;
constexpr double kLastInstant = 253402300799.0;

void Dates(std::string_view text) {
  fnd::Error error;
  std::optional<double> instant = fnd::ParseISO8601(text, &error);
  if (!instant) return;
  if (!std::isfinite(*instant)) Fail("a date parsed to a non-finite instant", text);
  if (*instant < kFirstInstant || *instant > kLastInstant) return;
  const std::string printed = fnd::FormatISO8601(*instant, 6);
  std::optional<double> again = fnd::ParseISO8601(printed);
  if (!again) Fail("a printed date does not parse", printed);
  if (std::fabs(*again - *instant) > 1e-6 * std::max(1.0, std::fabs(*instant) / 1e9)) {
    Fail("a printed date parses to another instant", printed);
  }
}

void UUIDs(std::string_view text) {
  std::optional<fnd::UUID> uuid = fnd::UUID::Parse(text);
  if (!uuid) return;
  const std::string printed = uuid->uuidString();
  std::optional<fnd::UUID> again = fnd::UUID::Parse(printed);
  if (!again || *again != *uuid) Fail("a printed UUID does not parse back", printed);
  std::string upper(text);
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  if (upper != printed) Fail("a UUID prints differently from its text", text);
}

void Hex(std::string_view text) {
  fnd::Data bytes;
  if (!security::ParseHex(text, &bytes)) {
    if (!bytes.empty()) Fail("refused hex left bytes behind", text);
    return;
  }
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (security::HexString(bytes) != lower) Fail("hex prints differently from its text", text);
}

void Decimals(std::string_view text) {
  std::optional<SKDecimalNumber> number = SKDecimalNumber::fromString(text);
  if (number) {
    const std::string printed = number->stringValue();
    std::optional<SKDecimalNumber> again = SKDecimalNumber::fromString(printed);
    if (!again || !(*again == *number)) Fail("a printed amount does not parse back", printed);
    (void)number->doubleValue();
    (void)number->multiplyingByPowerOf10(-2).multiplying(*number).doubleValue();
  }
  (void)ZIVRemoteConfig::numberFromString(std::string(text));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  Dates(text);
  UUIDs(text);
  Hex(text);
  Decimals(text);
  return 0;
}
