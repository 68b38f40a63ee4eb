// The one dynamic value of the program: what Foundation collections hold and what travels on a
// Flutter channel. Values are immutable in appearance and cheap to copy: strings, data, arrays,
// dictionaries and typed arrays share their storage and copy it only when a holder changes it.
//
// Kinds are strict: a bool, an integer and a double are distinct (true != 1 != 1.0). An integer
// remembers whether it was written as a 32- or a 64-bit number (the codec needs it), but the width
// takes no part in equality or hashing. Dictionaries keep insertion order and accept any value as a
// key. A custom record (a channel message class, an opaque object) is held by pointer with its
// type name.
//
// Thread safety: like an int. Distinct Value objects may be used from distinct threads even when
// they share storage; one Value object must not be written while another thread reads it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

namespace fnd {

using Data = std::vector<uint8_t>;

class Value;
class Dictionary;
using Array = std::vector<Value>;

// A custom object carried inside a Value. Subclasses override equality and hashing when two
// distinct objects can be equal; by default a record is equal only to itself.
class Record {
 public:
  virtual ~Record() = default;
  virtual std::string typeName() const = 0;
  virtual bool isEqual(const Record& other) const { return this == &other; }
  virtual size_t hash() const { return std::hash<const void*>()(this); }
  virtual std::string description() const;
};

// A point in time, in seconds since 1970-01-01 00:00:00 UTC.
struct Date {
  double secondsSince1970 = 0;
  bool operator==(const Date&) const = default;
};

class Value {
 public:
  enum class Kind {
    kNull,
    kBool,
    kInt,
    kDouble,
    kString,
    kData,  // Also the uint8 typed array of the channel codec.
    kInt32Array,
    kInt64Array,
    kFloat32Array,
    kFloat64Array,
    kArray,
    kDictionary,
    kDate,
    kRecord,
  };

  Value() = default;
  Value(std::nullptr_t) {}
  Value(bool b) : storage_(b) {}
  // Integers: types of at most 32 bits whose value fits are 32-bit, the rest 64-bit.
  template <typename T,
            std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>, int> = 0>
  Value(T v) : storage_(Int{static_cast<int64_t>(v), !fitsInt32(v)}) {}
  Value(double d) : storage_(d) {}
  Value(float f) : storage_(static_cast<double>(f)) {}
  Value(const char* s);
  Value(std::string_view s);
  Value(std::string s);
  Value(Data d);
  Value(std::vector<int32_t> v);
  Value(std::vector<int64_t> v);
  Value(std::vector<float> v);
  Value(std::vector<double> v);
  Value(Array a);
  Value(Dictionary d);
  Value(Date d) : storage_(d) {}
  Value(std::shared_ptr<Record> r);

  static Value Int32(int32_t v) { return Value(Int{v, false}); }
  static Value Int64(int64_t v) { return Value(Int{v, true}); }

  Kind kind() const {
    const size_t index = storage_.index();
    return index == kShortStringIndex ? Kind::kString : static_cast<Kind>(index);
  }
  bool isNull() const { return kind() == Kind::kNull; }
  bool isBool() const { return kind() == Kind::kBool; }
  bool isInt() const { return kind() == Kind::kInt; }
  bool isDouble() const { return kind() == Kind::kDouble; }
  bool isNumber() const { return isInt() || isDouble(); }
  bool isString() const { return kind() == Kind::kString; }
  bool isData() const { return kind() == Kind::kData; }
  bool isArray() const { return kind() == Kind::kArray; }
  bool isDictionary() const { return kind() == Kind::kDictionary; }
  bool isDate() const { return kind() == Kind::kDate; }
  bool isRecord() const { return kind() == Kind::kRecord; }

  // True when the integer was written as a 64-bit number. False for every other kind.
  bool isInt64() const;

  // Typed reads. Each returns the fallback when the value is of another kind; numbers convert
  // between integer, double and bool the way NSNumber's accessors do.
  bool asBool(bool fallback = false) const;
  int64_t asInt(int64_t fallback = 0) const;
  double asDouble(double fallback = 0) const;
  const std::string& asString() const;  // Empty string for other kinds.

  // Pointers to the content, or nullptr when the value is of another kind.
  const std::string* string() const;
  const Data* data() const;
  const std::vector<int32_t>* int32Array() const;
  const std::vector<int64_t>* int64Array() const;
  const std::vector<float>* float32Array() const;
  const std::vector<double>* float64Array() const;
  const Array* array() const;
  const Dictionary* dictionary() const;
  const Date* date() const;
  const std::shared_ptr<Record>* record() const;
  // The record cast to T, or nullptr when it is not a T.
  template <typename T>
  std::shared_ptr<T> recordAs() const {
    auto r = record();
    return r ? std::dynamic_pointer_cast<T>(*r) : nullptr;
  }

  // Mutable access; copies shared storage first. Null when the value is of another kind.
  Array* mutableArray();
  Dictionary* mutableDictionary();
  Data* mutableData();

  // Deep equality; dictionaries compare as unordered maps.
  friend bool operator==(const Value& a, const Value& b);
  friend bool operator!=(const Value& a, const Value& b) { return !(a == b); }
  // Agrees with equality: equal dictionaries hash equally whatever their order.
  size_t hash() const;

  // A readable, deterministic description for logs and test failures.
  std::string description() const;

  // The kind's name ("null", "bool", "int", ...).
  static const char* kindName(Kind kind);

 private:
  struct Int {
    int64_t value;
    bool is64;
  };
  template <typename T>
  static constexpr bool fitsInt32(T v) {
    if constexpr (sizeof(T) < 4 || (sizeof(T) == 4 && std::is_signed_v<T>)) {
      return true;
    } else if constexpr (std::is_signed_v<T>) {
      return v >= INT32_MIN && v <= INT32_MAX;
    } else {
      return sizeof(T) < 8 && v <= static_cast<T>(INT32_MAX);
    }
  }
  explicit Value(Int i) : storage_(i) {}

  // Alternatives in Kind order, then short strings: those that fit std::string's own buffer are
  // held in place (copying them allocates nothing), longer ones are shared.
  using Storage =
      std::variant<std::monostate, bool, Int, double, std::shared_ptr<std::string>,
                   std::shared_ptr<Data>, std::shared_ptr<std::vector<int32_t>>,
                   std::shared_ptr<std::vector<int64_t>>, std::shared_ptr<std::vector<float>>,
                   std::shared_ptr<std::vector<double>>, std::shared_ptr<Array>,
                   std::shared_ptr<Dictionary>, Date, std::shared_ptr<Record>, std::string>;
  static constexpr size_t kShortStringIndex = 14;
  static_assert(std::is_same_v<std::variant_alternative_t<kShortStringIndex, Storage>, std::string>,
                "short strings sit at kShortStringIndex");
  static constexpr size_t kShortStringCapacity = 15;  // std::string's in-place buffer.
  // The storage of a string: in place when short, else shared.
  static Storage stringStorage(std::string_view s);
  Storage storage_;
};

struct ValueHash {
  size_t operator()(const Value& v) const { return v.hash(); }
};

// An insertion-ordered map with any value as key. Setting an existing key replaces its value in
// place; erasing keeps the order of the rest.
class Dictionary {
 public:
  using Entry = std::pair<Value, Value>;
  using const_iterator = std::vector<Entry>::const_iterator;

  Dictionary() = default;
  Dictionary(std::initializer_list<Entry> entries);
  // Takes the entries in their order; a repeated key keeps its first place and takes its last
  // value, as the same entries set() one by one would.
  explicit Dictionary(std::vector<Entry>&& entries);
  Dictionary(const Dictionary& other);
  Dictionary(Dictionary&&) noexcept = default;
  Dictionary& operator=(const Dictionary& other);
  Dictionary& operator=(Dictionary&&) noexcept = default;

  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  const_iterator begin() const { return entries_.begin(); }
  const_iterator end() const { return entries_.end(); }
  const std::vector<Entry>& entries() const { return entries_; }

  // The value for a key, or nullptr.
  const Value* find(const Value& key) const;
  Value* find(const Value& key);
  bool contains(const Value& key) const { return find(key) != nullptr; }
  // The value for a key, or null.
  Value get(const Value& key) const;

  // Inserts or replaces. Returns true when the key was new.
  bool set(Value&& key, Value&& value);
  bool set(const Value& key, const Value& value);
  // Makes room for `count` entries without changing the content.
  void reserve(size_t count);
  // Inserts the key with a null value when missing.
  Value& operator[](const Value& key);
  bool erase(const Value& key);
  void clear();

  // Keys in insertion order.
  Array keys() const;

  friend bool operator==(const Dictionary& a, const Dictionary& b);
  size_t hash() const;

 private:
  // Index is built only for larger dictionaries; small ones are searched linearly. It is an
  // open-addressing table of entry numbers (plus one; zero marks a free slot), at most half full,
  // beside the hash of each entry's key.
  static constexpr size_t kIndexThreshold = 16;
  void rebuildIndex();
  // Slots for `count` entries: a power of two, at least twice the count.
  static size_t indexCapacity(size_t count);
  void growIndex(size_t count);
  void indexEntry(size_t entry);
  // The slot holding the entry whose key equals `key`, or the free slot where it would go.
  size_t slotFor(const Value& key, size_t hash) const;
  std::vector<Entry> entries_;
  std::vector<uint32_t> slots_;
  std::vector<size_t> hashes_;
};

}  // namespace fnd
