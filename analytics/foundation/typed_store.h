// Typed reads and writes over a key-value store's objectForKey() and setObject(), shared by the
// preference store and the persistent dictionary. A stored object of another kind reads as the
// type's zero (numbers) or as nullopt (objects); numbers include bools, as the platform's
// number objects do.
//
// `Store` derives from ZIVTypedStore<Store> and provides
//   std::optional<fnd::Value> objectForKey(const std::string&) const;
//   <any result> setObject(const fnd::Value&, const std::string&);
// Thread safety: that of the store's own two calls.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/value.h"

template <typename Store>
class ZIVTypedStore {
 public:
  int64_t integerForKey(const std::string& key) const {
    auto value = number(key);
    return value ? value->asInt() : 0;
  }
  float floatForKey(const std::string& key) const {
    auto value = number(key);
    return value ? static_cast<float>(value->asDouble()) : 0.0f;
  }
  double doubleForKey(const std::string& key) const {
    auto value = number(key);
    return value ? value->asDouble() : 0.0;
  }
  bool boolForKey(const std::string& key) const {
    auto value = number(key);
    return value ? value->asBool() : false;
  }

  std::optional<std::string> stringForKey(const std::string& key) const {
    auto value = store().objectForKey(key);
    if (!value || !value->isString()) return std::nullopt;
    return value->asString();
  }
  std::optional<fnd::Value> numberForKey(const std::string& key) const { return number(key); }
  std::optional<fnd::Array> arrayForKey(const std::string& key) const {
    auto value = store().objectForKey(key);
    if (!value || !value->isArray()) return std::nullopt;
    return *value->array();
  }
  std::optional<fnd::Dictionary> dictionaryForKey(const std::string& key) const {
    auto value = store().objectForKey(key);
    if (!value || !value->isDictionary()) return std::nullopt;
    return *value->dictionary();
  }

  // Integers are written as 64-bit numbers.
  void setInteger(int64_t value, const std::string& key) {
    mutableStore().setObject(fnd::Value::Int64(value), key);
  }
  void setFloat(float value, const std::string& key) {
    mutableStore().setObject(fnd::Value(value), key);
  }
  void setDouble(double value, const std::string& key) {
    mutableStore().setObject(fnd::Value(value), key);
  }
  void setBool(bool value, const std::string& key) {
    mutableStore().setObject(fnd::Value(value), key);
  }

 protected:
  ~ZIVTypedStore() = default;

 private:
  const Store& store() const { return static_cast<const Store&>(*this); }
  Store& mutableStore() { return static_cast<Store&>(*this); }
  std::optional<fnd::Value> number(const std::string& key) const {
    auto value = store().objectForKey(key);
    if (!value || !(value->isNumber() || value->isBool())) return std::nullopt;
    return value;
  }
};
