#include "platform/security/hex.h"

#include "platform/security/errors.h"

namespace security {
namespace {

// The value of one hex digit, or -1.
int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string HexString(std::span<const uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    text.push_back(kDigits[b >> 4]);
    text.push_back(kDigits[b & 0x0f]);
  }
  return text;
}

bool ParseHex(std::string_view text, fnd::Data* out, fnd::Error* error) {
  out->clear();
  if (text.size() % 2 != 0) {
    return fnd::SetError(
        error, SecurityError(kErrorInvalidHex,
                             "Hex text has an odd length (" + std::to_string(text.size()) + ")"));
  }
  fnd::Data bytes;
  bytes.reserve(text.size() / 2);
  for (size_t i = 0; i < text.size(); i += 2) {
    int high = DigitValue(text[i]);
    int low = DigitValue(text[i + 1]);
    if (high < 0 || low < 0) {
      size_t at = high < 0 ? i : i + 1;
      return fnd::SetError(
          error, SecurityError(kErrorInvalidHex,
                               "Hex text has a non-hex character at offset " + std::to_string(at)));
    }
    bytes.push_back(static_cast<uint8_t>(high << 4 | low));
  }
  *out = std::move(bytes);
  return true;
}

}  // namespace security
