#include "analytics/foundation/additions.h"

#include <charconv>
#include <cstring>
#include <span>

#include "platform/foundation/text.h"
#include "platform/security/digest.h"

namespace {

bool IsQueryAllowed(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::strchr("!$&'()*+,-./:;=?@_~", c) != nullptr && c != '\0';
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string ObjectText(const fnd::Value& object) {
  switch (object.kind()) {
    case fnd::Value::Kind::kString:
      return object.asString();
    case fnd::Value::Kind::kBool:
      return object.asBool() ? "1" : "0";
    case fnd::Value::Kind::kInt:
      return std::to_string(object.asInt());
    case fnd::Value::Kind::kDouble: {
      char buffer[64];
      auto result = std::to_chars(buffer, buffer + sizeof(buffer), object.asDouble());
      return std::string(buffer, result.ptr);
    }
    case fnd::Value::Kind::kNull:
      return "<null>";
    default:
      return object.description();
  }
}

}  // namespace

fnd::Data ziv_MD5Data(const fnd::Data& data) { return security::MD5(std::span(data)); }

uint64_t ziv_64LeastSignificantBits(const fnd::Data& data) {
  const size_t count = data.size() < 8 ? data.size() : 8;
  uint64_t value = 0;
  for (size_t i = data.size() - count; i < data.size(); ++i) value = (value << 8) | data[i];
  return value;
}

uint64_t ziv_64LSBMD5(const fnd::Data& data) {
  return ziv_64LeastSignificantBits(ziv_MD5Data(data));
}

std::string ZIVNetworkURLEncode(const fnd::Value& object) {
  static const char* kHex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : ObjectText(object)) {
    if (IsQueryAllowed(c)) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string ziv_queryString(const fnd::Dictionary& dictionary) {
  std::string out;
  for (const auto& [key, value] : dictionary) {
    if (!out.empty()) out += "&";
    out += ZIVNetworkURLEncode(key) + "=" + ZIVNetworkURLEncode(value);
  }
  return out;
}

fnd::Dictionary ziv_dictionaryWithHttpArgumentsString(const std::string& string) {
  std::vector<std::string> pieces;
  size_t start = 0;
  for (;;) {
    size_t end = string.find('&', start);
    pieces.push_back(string.substr(start, end == std::string::npos ? end : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  fnd::Dictionary out;
  for (auto it = pieces.rbegin(); it != pieces.rend(); ++it) {
    if (it->empty()) continue;
    const size_t eq = it->find('=');
    std::string key = eq == std::string::npos ? *it : it->substr(0, eq);
    std::string value = eq == std::string::npos ? std::string() : it->substr(eq + 1);
    out.set(ziv_stringByUnescapingFromURLArgument(key).value_or(""),
            ziv_stringByUnescapingFromURLArgument(value).value_or(""));
  }
  return out;
}

std::optional<std::string> ziv_MD5String(const std::string& string) {
  if (!fnd::IsValidUTF8(string)) return std::nullopt;
  fnd::Data digest = security::MD5(std::string_view(string));
  if (digest.size() != security::CC_MD5_DIGEST_LENGTH) return std::nullopt;
  static const char* kHex = "0123456789abcdef";
  std::string out;
  for (uint8_t b : digest) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

std::optional<std::string> ziv_stringByUnescapingFromURLArgument(const std::string& string) {
  std::string out;
  out.reserve(string.size());
  for (size_t i = 0; i < string.size(); ++i) {
    const char c = string[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%') {
      if (i + 2 >= string.size()) return std::nullopt;
      const int high = HexValue(string[i + 1]);
      const int low = HexValue(string[i + 2]);
      if (high < 0 || low < 0) return std::nullopt;
      out += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      out += c;
    }
  }
  if (!fnd::IsValidUTF8(out)) return std::nullopt;
  return out;
}

bool isBitEnabledAtIndex(const std::string& string, int64_t index) {
  if (index < 0) return false;
  const std::u16string units = fnd::ToUTF16(string);
  if (static_cast<uint64_t>(index) >= units.size()) return false;
  return units[static_cast<size_t>(index)] == u'1';
}

size_t ziv_UTF32Length(const std::string& string) { return fnd::CodePointLength(string); }

size_t ziv_getUTF32Bytes(const std::string& string, void* buffer, size_t maxBytes) {
  const std::u32string units = fnd::ToUTF32(string);
  size_t count = units.size() < maxBytes / 4 ? units.size() : maxBytes / 4;
  auto* out = static_cast<uint8_t*>(buffer);
  for (size_t i = 0; i < count; ++i) {
    const uint32_t u = static_cast<uint32_t>(units[i]);
    out[4 * i] = static_cast<uint8_t>(u);
    out[4 * i + 1] = static_cast<uint8_t>(u >> 8);
    out[4 * i + 2] = static_cast<uint8_t>(u >> 16);
    out[4 * i + 3] = static_cast<uint8_t>(u >> 24);
  }
  return count * 4;
}
