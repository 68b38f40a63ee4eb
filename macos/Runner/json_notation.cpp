#include "macos/Runner/json_notation.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace runner {

namespace {

// Deeper JSON is refused before it can exhaust the stack; the channel codec allows no deeper.
constexpr int kMaxJsonDepth = 128;

constexpr const char* kTypeKey = "$type";
constexpr const char* kFieldsKey = "$fields";
constexpr const char* kInt64Key = "$int64";
constexpr const char* kDoubleKey = "$double";
constexpr const char* kBytesKey = "$bytes";
constexpr const char* kInt32sKey = "$int32s";
constexpr const char* kInt64sKey = "$int64s";
constexpr const char* kFloat32sKey = "$float32s";
constexpr const char* kFloat64sKey = "$float64s";
constexpr const char* kMapKey = "$map";
constexpr const char* kRecordKey = "$record";
constexpr const char* kDateKey = "$date";

std::optional<fnd::Value> Fail(std::string* error, std::string message) {
  if (error) *error = std::move(message);
  return std::nullopt;
}

std::optional<int64_t> ParseInt64(const std::string& text) {
  int64_t v = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, v);
  if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
  return v;
}

// A JSON integer that fits int64 (nlohmann keeps unsigned values above INT64_MAX apart).
std::optional<int64_t> JsonInt(const Json& j) {
  if (j.is_number_integer() && !j.is_number_unsigned()) return j.get<int64_t>();
  if (j.is_number_unsigned()) {
    uint64_t u = j.get<uint64_t>();
    if (u <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
      return static_cast<int64_t>(u);
    }
  }
  return std::nullopt;
}

std::optional<int64_t> JsonInt64(const Json& j) {
  if (j.is_string()) return ParseInt64(j.get<std::string>());
  return JsonInt(j);
}

std::optional<double> JsonDouble(const Json& j) {
  if (j.is_number()) return j.get<double>();
  if (j.is_string()) {
    const std::string& s = j.get_ref<const std::string&>();
    if (s == "NaN") return std::numeric_limits<double>::quiet_NaN();
    if (s == "Infinity") return std::numeric_limits<double>::infinity();
    if (s == "-Infinity") return -std::numeric_limits<double>::infinity();
  }
  return std::nullopt;
}

const char* NonFiniteText(double d) {
  return std::isnan(d) ? "NaN" : (d > 0 ? "Infinity" : "-Infinity");
}

Json JsonDoubleOrTag(double d) {
  if (std::isfinite(d)) return Json(d);
  return Json{{kDoubleKey, NonFiniteText(d)}};
}

// An element of a float typed array: a number, or the text of a value JSON cannot hold.
Json FloatElement(double d) { return std::isfinite(d) ? Json(d) : Json(NonFiniteText(d)); }

template <typename T, typename Convert>
std::optional<fnd::Value> TypedArray(const Json& j, const char* tag, Convert convert,
                                     std::string* error) {
  if (!j.is_array()) return Fail(error, std::string(tag) + " needs an array of numbers");
  std::vector<T> out;
  out.reserve(j.size());
  for (const Json& e : j) {
    auto v = convert(e);
    if (!v) return Fail(error, std::string(tag) + " holds an element that is not a number");
    if constexpr (std::is_same_v<T, int32_t>) {
      if (*v < INT32_MIN || *v > INT32_MAX) {
        return Fail(error, std::string(tag) + " element out of 32-bit range");
      }
    }
    out.push_back(static_cast<T>(*v));
  }
  return fnd::Value(std::move(out));
}

std::optional<fnd::Value> FromJson(const Json& json, int depth, std::string* error);

std::optional<fnd::Value> FromTagged(const Json& json, int depth, std::string* error) {
  const std::string& tag = json.begin().key();
  if (json.contains(kTypeKey) || json.contains(kFieldsKey)) {
    if (json.size() != 2 || !json.contains(kTypeKey) || !json.contains(kFieldsKey)) {
      return Fail(error, "a custom record needs exactly \"$type\" and \"$fields\"");
    }
    auto type = JsonInt(json.at(kTypeKey));
    if (!type || *type < 128 || *type > 255) {
      return Fail(error, "\"$type\" must be an integer from 128 to 255");
    }
    auto fields = FromJson(json.at(kFieldsKey), depth + 1, error);
    if (!fields) return std::nullopt;
    return fnd::Value(std::make_shared<TypedRecord>(static_cast<uint8_t>(*type), *fields));
  }
  if (json.size() != 1) return Fail(error, "a tagged object has exactly one key: " + tag);
  const Json& body = json.begin().value();
  if (tag == kInt64Key) {
    auto v = JsonInt64(body);
    if (!v) return Fail(error, "\"$int64\" needs a 64-bit integer, as text or number");
    return fnd::Value::Int64(*v);
  }
  if (tag == kDoubleKey) {
    auto v = JsonDouble(body);
    if (!v)
      return Fail(error, "\"$double\" needs a number, \"NaN\", \"Infinity\" or \"-Infinity\"");
    return fnd::Value(*v);
  }
  if (tag == kBytesKey) {
    auto data = body.is_string() ? HexDecode(body.get<std::string>()) : std::nullopt;
    if (!data) return Fail(error, "\"$bytes\" needs hex text of even length");
    return fnd::Value(std::move(*data));
  }
  if (tag == kInt32sKey) return TypedArray<int32_t>(body, kInt32sKey, JsonInt, error);
  if (tag == kInt64sKey) return TypedArray<int64_t>(body, kInt64sKey, JsonInt64, error);
  if (tag == kFloat32sKey) return TypedArray<float>(body, kFloat32sKey, JsonDouble, error);
  if (tag == kFloat64sKey) return TypedArray<double>(body, kFloat64sKey, JsonDouble, error);
  if (tag == kMapKey) {
    if (!body.is_array()) return Fail(error, "\"$map\" needs an array of [key, value] pairs");
    fnd::Dictionary dict;
    for (const Json& pair : body) {
      if (!pair.is_array() || pair.size() != 2) {
        return Fail(error, "\"$map\" needs an array of [key, value] pairs");
      }
      auto key = FromJson(pair[0], depth + 1, error);
      if (!key) return std::nullopt;
      auto value = FromJson(pair[1], depth + 1, error);
      if (!value) return std::nullopt;
      dict.set(std::move(*key), std::move(*value));
    }
    return fnd::Value(std::move(dict));
  }
  return Fail(error, "unknown tag " + tag);
}

bool IsPlainKey(const fnd::Value& key) {
  return key.isString() && (key.asString().empty() || key.asString()[0] != '$');
}

}  // namespace

std::string TypedRecord::typeName() const { return "TypedRecord" + std::to_string(type_); }

bool TypedRecord::isEqual(const fnd::Record& other) const {
  auto* o = dynamic_cast<const TypedRecord*>(&other);
  return o && o->type_ == type_ && o->fields_ == fields_;
}

size_t TypedRecord::hash() const { return fields_.hash() * 31 ^ type_; }

std::string TypedRecord::description() const {
  return "<" + std::to_string(type_) + " " + fields_.description() + ">";
}

namespace {

std::optional<fnd::Value> FromJson(const Json& json, int depth, std::string* error) {
  if (depth > kMaxJsonDepth) {
    return Fail(error, "nested deeper than " + std::to_string(kMaxJsonDepth) + " levels");
  }
  switch (json.type()) {
    case Json::value_t::null:
      return fnd::Value();
    case Json::value_t::boolean:
      return fnd::Value(json.get<bool>());
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned: {
      auto v = JsonInt(json);
      if (!v) return Fail(error, "integer out of 64-bit range");
      return fnd::Value(*v);
    }
    case Json::value_t::number_float:
      return fnd::Value(json.get<double>());
    case Json::value_t::string:
      return fnd::Value(json.get<std::string>());
    case Json::value_t::array: {
      fnd::Array out;
      out.reserve(json.size());
      for (const Json& e : json) {
        auto v = FromJson(e, depth + 1, error);
        if (!v) return std::nullopt;
        out.push_back(std::move(*v));
      }
      return fnd::Value(std::move(out));
    }
    case Json::value_t::object: {
      for (auto it = json.begin(); it != json.end(); ++it) {
        if (!it.key().empty() && it.key()[0] == '$') return FromTagged(json, depth, error);
      }
      fnd::Dictionary dict;
      for (auto it = json.begin(); it != json.end(); ++it) {
        auto v = FromJson(it.value(), depth + 1, error);
        if (!v) return std::nullopt;
        dict.set(fnd::Value(it.key()), std::move(*v));
      }
      return fnd::Value(std::move(dict));
    }
    case Json::value_t::binary:
    case Json::value_t::discarded:
      break;
  }
  return Fail(error, "unsupported JSON value");
}

}  // namespace

std::optional<fnd::Value> ValueFromJson(const Json& json, std::string* error) {
  return FromJson(json, 0, error);
}

Json JsonFromValue(const fnd::Value& value) {
  using Kind = fnd::Value::Kind;
  switch (value.kind()) {
    case Kind::kNull:
      return nullptr;
    case Kind::kBool:
      return value.asBool();
    case Kind::kInt:
      if (value.isInt64()) return Json{{kInt64Key, std::to_string(value.asInt())}};
      return value.asInt();
    case Kind::kDouble:
      return JsonDoubleOrTag(value.asDouble());
    case Kind::kString:
      return value.asString();
    case Kind::kData:
      return Json{{kBytesKey, HexEncode(*value.data())}};
    case Kind::kInt32Array:
      return Json{{kInt32sKey, *value.int32Array()}};
    case Kind::kInt64Array: {
      Json list = Json::array();
      for (int64_t v : *value.int64Array()) list.push_back(std::to_string(v));
      return Json{{kInt64sKey, std::move(list)}};
    }
    case Kind::kFloat32Array: {
      Json list = Json::array();
      for (float f : *value.float32Array()) list.push_back(FloatElement(f));
      return Json{{kFloat32sKey, std::move(list)}};
    }
    case Kind::kFloat64Array: {
      Json list = Json::array();
      for (double d : *value.float64Array()) list.push_back(FloatElement(d));
      return Json{{kFloat64sKey, std::move(list)}};
    }
    case Kind::kArray: {
      Json list = Json::array();
      for (const fnd::Value& e : *value.array()) list.push_back(JsonFromValue(e));
      return list;
    }
    case Kind::kDictionary: {
      const fnd::Dictionary& dict = *value.dictionary();
      bool plain = true;
      for (const auto& [k, v] : dict) plain = plain && IsPlainKey(k);
      if (plain) {
        Json object = Json::object();
        for (const auto& [k, v] : dict) object[k.asString()] = JsonFromValue(v);
        return object;
      }
      Json pairs = Json::array();
      for (const auto& [k, v] : dict)
        pairs.push_back(Json::array({JsonFromValue(k), JsonFromValue(v)}));
      return Json{{kMapKey, std::move(pairs)}};
    }
    case Kind::kDate:
      return Json{{kDateKey, value.date()->secondsSince1970}};
    case Kind::kRecord: {
      if (auto typed = value.recordAs<TypedRecord>()) {
        return Json{{kTypeKey, typed->type()}, {kFieldsKey, JsonFromValue(typed->fields())}};
      }
      return Json{{kRecordKey, (*value.record())->typeName()}};
    }
  }
  return nullptr;
}

std::string HexEncode(const fnd::Data& data) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(data.size() * 2);
  for (uint8_t b : data) {
    out += kDigits[b >> 4];
    out += kDigits[b & 0xf];
  }
  return out;
}

std::optional<fnd::Data> HexDecode(const std::string& text) {
  if (text.size() % 2 != 0) return std::nullopt;
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  fnd::Data out;
  out.reserve(text.size() / 2);
  for (size_t i = 0; i < text.size(); i += 2) {
    int hi = nibble(text[i]);
    int lo = nibble(text[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<uint8_t>(hi << 4 | lo));
  }
  return out;
}

}  // namespace runner
