#include "platform/foundation/json_serialization.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string>

#include "platform/foundation/text.h"

namespace fnd {
namespace {

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  std::optional<Value> parseDocument() {
    skipSpace();
    std::optional<Value> value = parseValue(0);
    if (!value) return std::nullopt;
    skipSpace();
    if (pos_ != text_.size()) return fail("Garbage at end");
    return value;
  }
  const std::string& message() const { return message_; }
  size_t position() const { return pos_; }

 private:
  std::nullopt_t fail(const char* message) {
    if (message_.empty()) message_ = message;
    return std::nullopt;
  }
  void skipSpace() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                   text_[pos_] == '\n' || text_[pos_] == '\r')) {
      ++pos_;
    }
  }
  bool consume(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }

  std::optional<Value> parseValue(size_t depth) {
    if (depth > kJSONMaxDepth) return fail("Too deeply nested");
    if (pos_ >= text_.size()) return fail("Unexpected end of text");
    const char c = text_[pos_];
    if (c == '{') return parseObject(depth);
    if (c == '[') return parseArray(depth);
    if (c == '"') {
      auto s = parseString();
      if (!s) return std::nullopt;
      return Value(std::move(*s));
    }
    if (consume("true")) return Value(true);
    if (consume("false")) return Value(false);
    if (consume("null")) return Value();
    if (c == '-' || (c >= '0' && c <= '9')) return parseNumber();
    return fail("Invalid value");
  }

  std::optional<Value> parseObject(size_t depth) {
    ++pos_;
    Dictionary dictionary;
    skipSpace();
    if (pos_ < text_.size() && text_[pos_] == '}') {
      ++pos_;
      return Value(std::move(dictionary));
    }
    while (true) {
      skipSpace();
      if (pos_ >= text_.size() || text_[pos_] != '"') return fail("Expected a key");
      auto key = parseString();
      if (!key) return std::nullopt;
      skipSpace();
      if (pos_ >= text_.size() || text_[pos_] != ':') return fail("Expected ':'");
      ++pos_;
      skipSpace();
      auto value = parseValue(depth + 1);
      if (!value) return std::nullopt;
      dictionary.set(Value(std::move(*key)), std::move(*value));
      skipSpace();
      if (pos_ < text_.size() && text_[pos_] == ',') {
        ++pos_;
        continue;
      }
      if (pos_ < text_.size() && text_[pos_] == '}') {
        ++pos_;
        return Value(std::move(dictionary));
      }
      return fail("Expected ',' or '}'");
    }
  }

  std::optional<Value> parseArray(size_t depth) {
    ++pos_;
    Array array;
    skipSpace();
    if (pos_ < text_.size() && text_[pos_] == ']') {
      ++pos_;
      return Value(std::move(array));
    }
    while (true) {
      skipSpace();
      auto value = parseValue(depth + 1);
      if (!value) return std::nullopt;
      array.push_back(std::move(*value));
      skipSpace();
      if (pos_ < text_.size() && text_[pos_] == ',') {
        ++pos_;
        continue;
      }
      if (pos_ < text_.size() && text_[pos_] == ']') {
        ++pos_;
        return Value(std::move(array));
      }
      return fail("Expected ',' or ']'");
    }
  }

  std::optional<uint32_t> parseHex4() {
    if (pos_ + 4 > text_.size()) return std::nullopt;
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[pos_++];
      value <<= 4;
      if (c >= '0' && c <= '9') {
        value |= static_cast<uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        value |= static_cast<uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        value |= static_cast<uint32_t>(c - 'A' + 10);
      } else {
        return std::nullopt;
      }
    }
    return value;
  }

  static void appendUTF8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }

  std::optional<std::string> parseString() {
    ++pos_;  // The opening quote.
    std::string out;
    while (true) {
      if (pos_ >= text_.size()) return fail("Unterminated string");
      const unsigned char c = static_cast<unsigned char>(text_[pos_++]);
      if (c == '"') break;
      if (c < 0x20) return fail("Control character in string");
      if (c != '\\') {
        out.push_back(static_cast<char>(c));
        continue;
      }
      if (pos_ >= text_.size()) return fail("Unterminated escape");
      const char e = text_[pos_++];
      switch (e) {
        case '"':
          out.push_back('"');
          break;
        case '\\':
          out.push_back('\\');
          break;
        case '/':
          out.push_back('/');
          break;
        case 'b':
          out.push_back('\b');
          break;
        case 'f':
          out.push_back('\f');
          break;
        case 'n':
          out.push_back('\n');
          break;
        case 'r':
          out.push_back('\r');
          break;
        case 't':
          out.push_back('\t');
          break;
        case 'u': {
          auto unit = parseHex4();
          if (!unit) return fail("Bad unicode escape");
          uint32_t cp = *unit;
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (!consume("\\u")) return fail("Unpaired surrogate");
            auto low = parseHex4();
            if (!low || *low < 0xDC00 || *low > 0xDFFF) return fail("Unpaired surrogate");
            cp = 0x10000 + ((cp - 0xD800) << 10) + (*low - 0xDC00);
          } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return fail("Unpaired surrogate");
          }
          appendUTF8(out, cp);
          break;
        }
        default:
          return fail("Bad escape");
      }
    }
    if (!IsValidUTF8(out)) return fail("Invalid UTF-8 in string");
    return out;
  }

  std::optional<Value> parseNumber() {
    const size_t start = pos_;
    bool integral = true;
    if (text_[pos_] == '-') ++pos_;
    if (pos_ >= text_.size()) return fail("Bad number");
    if (text_[pos_] == '0') {
      ++pos_;
    } else if (text_[pos_] >= '1' && text_[pos_] <= '9') {
      while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') ++pos_;
    } else {
      return fail("Bad number");
    }
    if (pos_ < text_.size() && text_[pos_] == '.') {
      integral = false;
      ++pos_;
      if (pos_ >= text_.size() || text_[pos_] < '0' || text_[pos_] > '9') return fail("Bad number");
      while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') ++pos_;
    }
    if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
      integral = false;
      ++pos_;
      if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
      if (pos_ >= text_.size() || text_[pos_] < '0' || text_[pos_] > '9') return fail("Bad number");
      while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') ++pos_;
    }
    const std::string number(text_.substr(start, pos_ - start));
    if (integral) {
      errno = 0;
      char* end = nullptr;
      long long value = std::strtoll(number.c_str(), &end, 10);
      if (errno == 0 && end == number.c_str() + number.size()) {
        return Value::Int64(static_cast<int64_t>(value));
      }
    }
    errno = 0;
    double value = std::strtod(number.c_str(), nullptr);
    if (errno == ERANGE && std::isinf(value)) return fail("Number out of range");
    return Value(value);
  }

  std::string_view text_;
  size_t pos_ = 0;
  std::string message_;
};

}  // namespace

std::optional<Value> JSONObjectWithData(std::string_view text, Error* error) {
  Parser parser(text);
  std::optional<Value> value = parser.parseDocument();
  if (!value && error) {
    *error = Error::withDescription(
        kJSONErrorDomain, kJSONReadCorruptError,
        "The data couldn't be read because it isn't in the correct format. " + parser.message() +
            " around character " + std::to_string(parser.position()) + ".");
  }
  return value;
}

}  // namespace fnd
