#include "platform/vendor/remote_config/remote_config_value.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace {

std::string NumberText(double value) {
  if (!std::isfinite(value)) return std::isnan(value) ? "nan" : (value > 0 ? "inf" : "-inf");
  char buffer[64];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof(buffer), value);
  return ec == std::errc() ? std::string(buffer, end) : std::to_string(value);
}

void AppendJSONString(const std::string& text, std::string* out) {
  *out += '"';
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        *out += "\\\"";
        break;
      case '\\':
        *out += "\\\\";
        break;
      case '\n':
        *out += "\\n";
        break;
      case '\r':
        *out += "\\r";
        break;
      case '\t':
        *out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char escape[8];
          std::snprintf(escape, sizeof(escape), "\\u%04x", c);
          *out += escape;
        } else {
          *out += static_cast<char>(c);
        }
    }
  }
  *out += '"';
}

void AppendJSON(const fnd::Value& value, std::string* out) {
  switch (value.kind()) {
    case fnd::Value::Kind::kNull:
      *out += "null";
      return;
    case fnd::Value::Kind::kBool:
      *out += value.asBool() ? "true" : "false";
      return;
    case fnd::Value::Kind::kInt:
      *out += std::to_string(value.asInt());
      return;
    case fnd::Value::Kind::kDouble:
      *out += std::isfinite(value.asDouble()) ? NumberText(value.asDouble()) : "null";
      return;
    case fnd::Value::Kind::kString:
      AppendJSONString(value.asString(), out);
      return;
    case fnd::Value::Kind::kArray: {
      *out += '[';
      bool first = true;
      for (const fnd::Value& element : *value.array()) {
        if (!first) *out += ',';
        first = false;
        AppendJSON(element, out);
      }
      *out += ']';
      return;
    }
    case fnd::Value::Kind::kDictionary: {
      *out += '{';
      bool first = true;
      for (const auto& [key, element] : *value.dictionary()) {
        if (!first) *out += ',';
        first = false;
        AppendJSONString(key.isString() ? key.asString() : key.description(), out);
        *out += ':';
        AppendJSON(element, out);
      }
      *out += '}';
      return;
    }
    default:
      AppendJSONString(value.description(), out);
  }
}

fnd::Data Bytes(const std::string& text) { return fnd::Data(text.begin(), text.end()); }

}  // namespace

fnd::Data DEVRemoteConfigDataFromValue(const fnd::Value& value) {
  switch (value.kind()) {
    case fnd::Value::Kind::kString:
      return Bytes(value.asString());
    case fnd::Value::Kind::kData:
      return *value.data();
    case fnd::Value::Kind::kBool:
      return Bytes(value.asBool() ? "1" : "0");
    case fnd::Value::Kind::kInt:
      return Bytes(std::to_string(value.asInt()));
    case fnd::Value::Kind::kDouble:
      return Bytes(NumberText(value.asDouble()));
    case fnd::Value::Kind::kArray:
    case fnd::Value::Kind::kDictionary: {
      std::string json;
      AppendJSON(value, &json);
      return Bytes(json);
    }
    default:
      return Bytes(value.description());
  }
}
