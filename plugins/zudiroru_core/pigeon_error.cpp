#include "plugins/zudiroru_core/pigeon_error.h"

#include <cxxabi.h>
#include <execinfo.h>

#include <cstdlib>
#include <memory>
#include <typeinfo>

namespace zudiroru {

namespace {

fnd::Value OptionalString(const std::optional<std::string>& s) {
  return s ? fnd::Value(*s) : fnd::Value();
}

// The type's name without namespaces ("its dynamic type without its module").
std::string ShortTypeName(const std::type_info& type) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> demangled(
      abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), std::free);
  std::string name = status == 0 && demangled ? demangled.get() : type.name();
  size_t colon = name.rfind("::");
  return colon == std::string::npos ? name : name.substr(colon + 2);
}

constexpr const char* kAbsentDescription = "nil";

}  // namespace

bool PigeonError::isEqual(const fnd::Record& other) const {
  auto* o = dynamic_cast<const PigeonError*>(&other);
  return o && o->code_ == code_ && o->message_ == message_ && o->details_ == details_;
}

size_t PigeonError::hash() const {
  return std::hash<std::string>()(code_) ^ (details_.hash() << 1);
}

fnd::Array wrapError(const PigeonError& error) {
  return {fnd::Value(error.code()), OptionalString(error.message()), error.details()};
}

fnd::Array wrapError(const flutter::FlutterError& error) {
  return {fnd::Value(error.code()), OptionalString(error.message()), error.details()};
}

fnd::Array wrapError(const fnd::Error& error) {
  return {fnd::Value(error.description()), fnd::Value("Error"), fnd::Value(PigeonStacktrace())};
}

fnd::Array wrapError(const std::exception& error) {
  return {fnd::Value(std::string(error.what())), fnd::Value(ShortTypeName(typeid(error))),
          fnd::Value(PigeonStacktrace())};
}

fnd::Array wrapError(const fnd::Value& error) {
  if (auto pigeon = error.recordAs<PigeonError>()) return wrapError(*pigeon);
  if (auto flutterError = flutter::FlutterError::fromValue(error)) return wrapError(*flutterError);
  const char* type = error.isRecord() ? nullptr : fnd::Value::kindName(error.kind());
  std::string typeName = type ? type : (*error.record())->typeName();
  return {fnd::Value(error.description()), fnd::Value(typeName), fnd::Value(PigeonStacktrace())};
}

std::string PigeonStacktrace() {
  void* frames[64];
  int count = backtrace(frames, 64);
  std::unique_ptr<char*, void (*)(void*)> symbols(backtrace_symbols(frames, count), std::free);
  std::string text = "Stacktrace: [";
  for (int i = 0; i < count; ++i) {
    if (i > 0) text += ", ";
    text += symbols ? symbols.get()[i] : "?";
  }
  text += "]";
  return text;
}

std::optional<fnd::Value> nilOrValue(const fnd::Value& value) {
  if (value.isNull()) return std::nullopt;
  return value;
}

bool PigeonDeepEquals(const std::optional<fnd::Value>& a, const std::optional<fnd::Value>& b) {
  std::optional<fnd::Value> left = a ? nilOrValue(*a) : std::nullopt;
  std::optional<fnd::Value> right = b ? nilOrValue(*b) : std::nullopt;
  if (!left && !right) return true;
  if (!left || !right) return false;
  if (left->isArray() && right->isArray()) {
    const fnd::Array& l = *left->array();
    const fnd::Array& r = *right->array();
    if (l.size() != r.size()) return false;
    for (size_t i = 0; i < l.size(); ++i) {
      if (!PigeonDeepEquals(l[i], r[i])) return false;
    }
    return true;
  }
  if (left->isDictionary() && right->isDictionary()) {
    const fnd::Dictionary& l = *left->dictionary();
    const fnd::Dictionary& r = *right->dictionary();
    if (l.size() != r.size()) return false;
    for (const auto& [key, value] : l) {
      const fnd::Value* other = r.find(key);
      if (!other || !PigeonDeepEquals(value, *other)) return false;
    }
    return true;
  }
  return *left == *right;
}

void PigeonHasher::combine(size_t value) {
  state_ ^= value + 0x9e3779b97f4a7c15ULL + (state_ << 6) + (state_ >> 2);
}

void PigeonHasher::combine(const std::string& text) { combine(std::hash<std::string>()(text)); }

void PigeonDeepHash(const std::optional<fnd::Value>& value, PigeonHasher& hasher) {
  std::optional<fnd::Value> v = value ? nilOrValue(*value) : std::nullopt;
  if (!v) {
    hasher.combine(std::string(kAbsentDescription));
    return;
  }
  if (const fnd::Array* list = v->array()) {
    for (const fnd::Value& e : *list) PigeonDeepHash(e, hasher);
    return;
  }
  if (const fnd::Dictionary* map = v->dictionary()) {
    // Equal maps may iterate in different orders: sum the entry hashes so order does not count.
    size_t sum = 0;
    for (const auto& [key, entry] : *map) {
      PigeonHasher one;
      one.combine(key.hash());
      PigeonDeepHash(entry, one);
      sum += one.finalize();
    }
    hasher.combine(sum);
    return;
  }
  hasher.combine(v->hash());
  hasher.combine(v->description());
}

}  // namespace zudiroru
