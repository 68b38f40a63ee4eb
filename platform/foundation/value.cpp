#include "platform/foundation/value.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "platform/foundation/block_cache.h"

namespace fnd {

namespace {

// Shared storage comes from the per-thread block cache: values are made and dropped in bulk.
template <typename T, typename... Args>
std::shared_ptr<T> makeShared(Args&&... args) {
  return std::allocate_shared<T>(BlockCacheAllocator<T>(), std::forward<Args>(args)...);
}

const std::string kEmptyString;

size_t mix(size_t seed, size_t v) {
  return seed ^ (v + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
}

// Strings of at most 16 bytes (dictionary keys, mostly) are hashed inline: the two overlapping
// 8-byte halves (or smaller pieces) folded by one 128-bit multiplication. Longer text goes to the
// library's hash. Either way the hash is a function of the content alone.
size_t hashText(const std::string& text) {
  const size_t n = text.size();
  if (n > 16) return std::hash<std::string>()(text);
  const char* p = text.data();
  uint64_t a = 0;
  uint64_t b = 0;
  if (n >= 8) {
    std::memcpy(&a, p, 8);
    std::memcpy(&b, p + n - 8, 8);
  } else if (n >= 4) {
    uint32_t x;
    uint32_t y;
    std::memcpy(&x, p, 4);
    std::memcpy(&y, p + n - 4, 4);
    a = x;
    b = y;
  } else if (n > 0) {
    a = (uint64_t{static_cast<uint8_t>(p[0])} << 16) |
        (uint64_t{static_cast<uint8_t>(p[n >> 1])} << 8) | static_cast<uint8_t>(p[n - 1]);
  }
  const unsigned __int128 m =
      static_cast<unsigned __int128>(a ^ 0xa0761d6478bd642fULL ^ n) * (b ^ 0xe7037ed1a0b428dbULL);
  return static_cast<size_t>(static_cast<uint64_t>(m) ^ static_cast<uint64_t>(m >> 64));
}

size_t hashDouble(double d) {
  if (d == 0) return 0;  // 0.0 and -0.0 are equal.
  if (std::isnan(d)) return 0x7ff8;
  return std::hash<double>()(d);
}

bool doubleEqual(double a, double b) {
  // NaN equals NaN so that a value is always equal to itself and hashing agrees.
  return a == b || (std::isnan(a) && std::isnan(b));
}

template <typename T>
size_t hashVector(const std::vector<T>& v) {
  size_t h = v.size();
  for (const T& x : v) {
    if constexpr (std::is_floating_point_v<T>) {
      h = mix(h, hashDouble(x));
    } else {
      h = mix(h, std::hash<T>()(x));
    }
  }
  return h;
}

template <typename T>
bool vectorEqual(const std::vector<T>& a, const std::vector<T>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if constexpr (std::is_floating_point_v<T>) {
      if (!doubleEqual(a[i], b[i])) return false;
    } else {
      if (a[i] != b[i]) return false;
    }
  }
  return true;
}

std::string formatDouble(double d) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.17g", d);
  // Prefer the shortest text that reads back to the same number.
  for (int precision = 1; precision < 17; ++precision) {
    char shorter[64];
    std::snprintf(shorter, sizeof shorter, "%.*g", precision, d);
    if (std::strtod(shorter, nullptr) == d) {
      std::strcpy(buf, shorter);
      break;
    }
  }
  std::string s = buf;
  if (std::isfinite(d) && s.find_first_of(".e") == std::string::npos) s += ".0";
  return s;
}

void quote(std::string& out, const std::string& s) {
  out += '"';
  for (unsigned char c : s) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
}

template <typename T>
void describeVector(std::string& out, const char* name, const std::vector<T>& v) {
  out += name;
  out += '[';
  for (size_t i = 0; i < v.size(); ++i) {
    if (i) out += ", ";
    if constexpr (std::is_floating_point_v<T>) {
      out += formatDouble(v[i]);
    } else {
      out += std::to_string(v[i]);
    }
  }
  out += ']';
}

void describe(std::string& out, const Value& v);

}  // namespace

std::string Record::description() const { return "<" + typeName() + ">"; }

Value::Value(const char* s) : Value(std::string_view(s ? s : "")) {}
Value::Value(std::string_view s) : storage_(stringStorage(s)) {}
Value::Value(std::string s) {
  if (s.size() <= kShortStringCapacity) {
    storage_.emplace<kShortStringIndex>(std::move(s));
  } else {
    storage_ = makeShared<std::string>(std::move(s));
  }
}

Value::Storage Value::stringStorage(std::string_view s) {
  if (s.size() <= kShortStringCapacity) return Storage(std::in_place_index<kShortStringIndex>, s);
  return Storage(std::in_place_type<std::shared_ptr<std::string>>, makeShared<std::string>(s));
}
Value::Value(Data d) : storage_(makeShared<Data>(std::move(d))) {}
Value::Value(std::vector<int32_t> v) : storage_(makeShared<std::vector<int32_t>>(std::move(v))) {}
Value::Value(std::vector<int64_t> v) : storage_(makeShared<std::vector<int64_t>>(std::move(v))) {}
Value::Value(std::vector<float> v) : storage_(makeShared<std::vector<float>>(std::move(v))) {}
Value::Value(std::vector<double> v) : storage_(makeShared<std::vector<double>>(std::move(v))) {}
Value::Value(Array a) : storage_(makeShared<Array>(std::move(a))) {}
Value::Value(Dictionary d) : storage_(makeShared<Dictionary>(std::move(d))) {}
Value::Value(std::shared_ptr<Record> r) {
  if (r) storage_ = std::move(r);
}

bool Value::isInt64() const {
  auto i = std::get_if<Int>(&storage_);
  return i && i->is64;
}

bool Value::asBool(bool fallback) const {
  switch (kind()) {
    case Kind::kBool:
      return std::get<bool>(storage_);
    case Kind::kInt:
      return std::get<Int>(storage_).value != 0;
    case Kind::kDouble:
      return std::get<double>(storage_) != 0;
    default:
      return fallback;
  }
}

int64_t Value::asInt(int64_t fallback) const {
  switch (kind()) {
    case Kind::kBool:
      return std::get<bool>(storage_) ? 1 : 0;
    case Kind::kInt:
      return std::get<Int>(storage_).value;
    case Kind::kDouble: {
      double d = std::get<double>(storage_);
      if (std::isnan(d)) return 0;
      if (d >= 9223372036854775807.0) return INT64_MAX;
      if (d <= -9223372036854775808.0) return INT64_MIN;
      return static_cast<int64_t>(d);
    }
    default:
      return fallback;
  }
}

double Value::asDouble(double fallback) const {
  switch (kind()) {
    case Kind::kBool:
      return std::get<bool>(storage_) ? 1 : 0;
    case Kind::kInt:
      return static_cast<double>(std::get<Int>(storage_).value);
    case Kind::kDouble:
      return std::get<double>(storage_);
    default:
      return fallback;
  }
}

const std::string& Value::asString() const {
  auto s = string();
  return s ? *s : kEmptyString;
}

#define FND_VALUE_GETTER(Type, name, member)                \
  const Type* Value::name() const {                         \
    auto p = std::get_if<std::shared_ptr<Type>>(&storage_); \
    return p ? p->get() : nullptr;                          \
  }
const std::string* Value::string() const {
  if (auto p = std::get_if<kShortStringIndex>(&storage_)) return p;
  auto p = std::get_if<std::shared_ptr<std::string>>(&storage_);
  return p ? p->get() : nullptr;
}
FND_VALUE_GETTER(Data, data, )
FND_VALUE_GETTER(std::vector<int32_t>, int32Array, )
FND_VALUE_GETTER(std::vector<int64_t>, int64Array, )
FND_VALUE_GETTER(std::vector<float>, float32Array, )
FND_VALUE_GETTER(std::vector<double>, float64Array, )
FND_VALUE_GETTER(Array, array, )
FND_VALUE_GETTER(Dictionary, dictionary, )
#undef FND_VALUE_GETTER

const Date* Value::date() const { return std::get_if<Date>(&storage_); }

const std::shared_ptr<Record>* Value::record() const {
  return std::get_if<std::shared_ptr<Record>>(&storage_);
}

namespace {
template <typename T>
T* detach(std::shared_ptr<T>* p) {
  if (!p) return nullptr;
  if (p->use_count() > 1) *p = makeShared<T>(**p);
  return p->get();
}
}  // namespace

Array* Value::mutableArray() { return detach(std::get_if<std::shared_ptr<Array>>(&storage_)); }
Dictionary* Value::mutableDictionary() {
  return detach(std::get_if<std::shared_ptr<Dictionary>>(&storage_));
}
Data* Value::mutableData() { return detach(std::get_if<std::shared_ptr<Data>>(&storage_)); }

bool operator==(const Value& a, const Value& b) {
  // Short strings first: they are the usual dictionary keys.
  if (a.storage_.index() == Value::kShortStringIndex &&
      b.storage_.index() == Value::kShortStringIndex) {
    return *std::get_if<Value::kShortStringIndex>(&a.storage_) ==
           *std::get_if<Value::kShortStringIndex>(&b.storage_);
  }
  if (a.kind() != b.kind()) return false;
  using Kind = Value::Kind;
  switch (a.kind()) {
    case Kind::kNull:
      return true;
    case Kind::kBool:
      return std::get<bool>(a.storage_) == std::get<bool>(b.storage_);
    case Kind::kInt:
      return std::get<Value::Int>(a.storage_).value == std::get<Value::Int>(b.storage_).value;
    case Kind::kDouble:
      return doubleEqual(std::get<double>(a.storage_), std::get<double>(b.storage_));
    case Kind::kString:
      return *a.string() == *b.string();
    case Kind::kData:
      return *a.data() == *b.data();
    case Kind::kInt32Array:
      return *a.int32Array() == *b.int32Array();
    case Kind::kInt64Array:
      return *a.int64Array() == *b.int64Array();
    case Kind::kFloat32Array:
      return vectorEqual(*a.float32Array(), *b.float32Array());
    case Kind::kFloat64Array:
      return vectorEqual(*a.float64Array(), *b.float64Array());
    case Kind::kArray: {
      const Array& x = *a.array();
      const Array& y = *b.array();
      if (&x == &y) return true;
      if (x.size() != y.size()) return false;
      for (size_t i = 0; i < x.size(); ++i) {
        if (x[i] != y[i]) return false;
      }
      return true;
    }
    case Kind::kDictionary:
      return a.dictionary() == b.dictionary() || *a.dictionary() == *b.dictionary();
    case Kind::kDate:
      return doubleEqual(a.date()->secondsSince1970, b.date()->secondsSince1970);
    case Kind::kRecord: {
      const auto& x = *a.record();
      const auto& y = *b.record();
      return x == y || x->isEqual(*y);
    }
  }
  return false;
}

size_t Value::hash() const {
  size_t h = static_cast<size_t>(kind()) * 0x100000001b3ULL;
  switch (kind()) {
    case Kind::kNull:
      return h;
    case Kind::kBool:
      return mix(h, std::get<bool>(storage_));
    case Kind::kInt:
      return mix(h, std::hash<int64_t>()(std::get<Int>(storage_).value));
    case Kind::kDouble:
      return mix(h, hashDouble(std::get<double>(storage_)));
    case Kind::kString:
      return mix(h, hashText(*string()));
    case Kind::kData:
      return mix(h, std::hash<std::string_view>()(std::string_view(
                        reinterpret_cast<const char*>(data()->data()), data()->size())));
    case Kind::kInt32Array:
      return mix(h, hashVector(*int32Array()));
    case Kind::kInt64Array:
      return mix(h, hashVector(*int64Array()));
    case Kind::kFloat32Array:
      return mix(h, hashVector(*float32Array()));
    case Kind::kFloat64Array:
      return mix(h, hashVector(*float64Array()));
    case Kind::kArray: {
      for (const Value& v : *array()) h = mix(h, v.hash());
      return h;
    }
    case Kind::kDictionary:
      return mix(h, dictionary()->hash());
    case Kind::kDate:
      return mix(h, hashDouble(date()->secondsSince1970));
    case Kind::kRecord:
      return mix(h, (*record())->hash());
  }
  return h;
}

const char* Value::kindName(Kind kind) {
  switch (kind) {
    case Kind::kNull:
      return "null";
    case Kind::kBool:
      return "bool";
    case Kind::kInt:
      return "int";
    case Kind::kDouble:
      return "double";
    case Kind::kString:
      return "string";
    case Kind::kData:
      return "data";
    case Kind::kInt32Array:
      return "int32[]";
    case Kind::kInt64Array:
      return "int64[]";
    case Kind::kFloat32Array:
      return "float32[]";
    case Kind::kFloat64Array:
      return "float64[]";
    case Kind::kArray:
      return "array";
    case Kind::kDictionary:
      return "dictionary";
    case Kind::kDate:
      return "date";
    case Kind::kRecord:
      return "record";
  }
  return "?";
}

namespace {

void describe(std::string& out, const Value& v) {
  using Kind = Value::Kind;
  switch (v.kind()) {
    case Kind::kNull:
      out += "null";
      return;
    case Kind::kBool:
      out += v.asBool() ? "true" : "false";
      return;
    case Kind::kInt:
      out += std::to_string(v.asInt());
      if (v.isInt64()) out += 'L';
      return;
    case Kind::kDouble:
      out += formatDouble(v.asDouble());
      return;
    case Kind::kString:
      quote(out, *v.string());
      return;
    case Kind::kData: {
      out += "<";
      static const char* kHex = "0123456789abcdef";
      for (uint8_t b : *v.data()) {
        out += kHex[b >> 4];
        out += kHex[b & 15];
      }
      out += ">";
      return;
    }
    case Kind::kInt32Array:
      describeVector(out, "int32", *v.int32Array());
      return;
    case Kind::kInt64Array:
      describeVector(out, "int64", *v.int64Array());
      return;
    case Kind::kFloat32Array:
      describeVector(out, "float32", *v.float32Array());
      return;
    case Kind::kFloat64Array:
      describeVector(out, "float64", *v.float64Array());
      return;
    case Kind::kArray: {
      out += '[';
      bool first = true;
      for (const Value& e : *v.array()) {
        if (!first) out += ", ";
        first = false;
        describe(out, e);
      }
      out += ']';
      return;
    }
    case Kind::kDictionary: {
      out += '{';
      bool first = true;
      for (const auto& [key, value] : *v.dictionary()) {
        if (!first) out += ", ";
        first = false;
        describe(out, key);
        out += ": ";
        describe(out, value);
      }
      out += '}';
      return;
    }
    case Kind::kDate:
      out += "date(" + formatDouble(v.date()->secondsSince1970) + ")";
      return;
    case Kind::kRecord:
      out += (*v.record())->description();
      return;
  }
}

}  // namespace

std::string Value::description() const {
  std::string out;
  describe(out, *this);
  return out;
}

// Dictionary

Dictionary::Dictionary(std::initializer_list<Entry> entries) {
  for (const auto& e : entries) set(e.first, e.second);
}

Dictionary::Dictionary(std::vector<Entry>&& entries) : entries_(std::move(entries)) {
  // Entries are compacted in place: `kept` of them are settled, each with its key's last value.
  const size_t count = entries_.size();
  size_t kept = 0;
  if (count < kIndexThreshold) {
    for (size_t j = 0; j < count; ++j) {
      size_t i = 0;
      while (i < kept && !(entries_[i].first == entries_[j].first)) ++i;
      if (i < kept) {
        entries_[i].second = std::move(entries_[j].second);
        continue;
      }
      if (kept != j) entries_[kept] = std::move(entries_[j]);
      ++kept;
    }
  } else {
    // The hashes first, then the slots in one pass, each fetched a few entries ahead: the lookups
    // of distinct keys do not wait on each other.
    hashes_.resize(count);
    for (size_t j = 0; j < count; ++j) hashes_[j] = entries_[j].first.hash();
    slots_.assign(indexCapacity(count), 0);
    const size_t mask = slots_.size() - 1;
    constexpr size_t kAhead = 8;
    for (size_t j = 0; j < count; ++j) {
      if (j + kAhead < count) __builtin_prefetch(&slots_[hashes_[j + kAhead] & mask]);
      const size_t hash = hashes_[j];
      const size_t slot = slotFor(entries_[j].first, hash);
      if (slots_[slot] != 0) {
        entries_[slots_[slot] - 1].second = std::move(entries_[j].second);
        continue;
      }
      if (kept != j) {
        entries_[kept] = std::move(entries_[j]);
        hashes_[kept] = hash;
      }
      slots_[slot] = static_cast<uint32_t>(++kept);
    }
    hashes_.resize(kept);
  }
  entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(kept), entries_.end());
}

Dictionary::Dictionary(const Dictionary& other) : entries_(other.entries_) { rebuildIndex(); }

Dictionary& Dictionary::operator=(const Dictionary& other) {
  if (this != &other) {
    entries_ = other.entries_;
    rebuildIndex();
  }
  return *this;
}

void Dictionary::rebuildIndex() {
  slots_.clear();
  hashes_.clear();
  if (entries_.size() < kIndexThreshold) return;
  hashes_.reserve(entries_.capacity());
  for (const auto& e : entries_) hashes_.push_back(e.first.hash());
  growIndex(entries_.size());
}

size_t Dictionary::indexCapacity(size_t count) {
  size_t capacity = 2 * kIndexThreshold;
  while (capacity < 2 * count) capacity *= 2;
  return capacity;
}

// REQUIRES: hashes_ holds the hash of every entry's key.
void Dictionary::growIndex(size_t count) {
  const size_t capacity = indexCapacity(count);
  if (capacity <= slots_.size()) return;
  slots_.assign(capacity, 0);
  for (size_t i = 0; i < entries_.size(); ++i) indexEntry(i);
}

size_t Dictionary::slotFor(const Value& key, size_t hash) const {
  const size_t mask = slots_.size() - 1;
  for (size_t slot = hash & mask;; slot = (slot + 1) & mask) {
    const uint32_t entry = slots_[slot];
    if (entry == 0) return slot;
    if (hashes_[entry - 1] == hash && entries_[entry - 1].first == key) return slot;
  }
}

// REQUIRES: hashes_[entry] is the hash of the entry's key, which is not in the table yet, and the
// table has a free slot.
void Dictionary::indexEntry(size_t entry) {
  slots_[slotFor(entries_[entry].first, hashes_[entry])] = static_cast<uint32_t>(entry + 1);
}

void Dictionary::reserve(size_t count) {
  entries_.reserve(count);
  if (count < kIndexThreshold) return;
  if (slots_.empty()) {
    rebuildIndex();
    if (slots_.empty()) {  // Fewer entries than the threshold: index them now all the same.
      for (const auto& e : entries_) hashes_.push_back(e.first.hash());
    }
  }
  hashes_.reserve(count);
  growIndex(count);
}

const Value* Dictionary::find(const Value& key) const {
  if (!slots_.empty()) {
    const uint32_t entry = slots_[slotFor(key, key.hash())];
    return entry == 0 ? nullptr : &entries_[entry - 1].second;
  }
  for (const auto& e : entries_) {
    if (e.first == key) return &e.second;
  }
  return nullptr;
}

Value* Dictionary::find(const Value& key) {
  return const_cast<Value*>(static_cast<const Dictionary*>(this)->find(key));
}

Value Dictionary::get(const Value& key) const {
  const Value* v = find(key);
  return v ? *v : Value();
}

bool Dictionary::set(const Value& key, const Value& value) { return set(Value(key), Value(value)); }

bool Dictionary::set(Value&& key, Value&& value) {
  if (slots_.empty()) {
    for (auto& e : entries_) {
      if (e.first == key) {
        e.second = std::move(value);
        return false;
      }
    }
    entries_.emplace_back(std::move(key), std::move(value));
    if (entries_.size() >= kIndexThreshold) rebuildIndex();
    return true;
  }
  const size_t hash = key.hash();
  const size_t slot = slotFor(key, hash);
  if (slots_[slot] != 0) {
    entries_[slots_[slot] - 1].second = std::move(value);
    return false;
  }
  entries_.emplace_back(std::move(key), std::move(value));
  hashes_.push_back(hash);
  if (2 * entries_.size() > slots_.size()) {
    growIndex(2 * entries_.size());
  } else {
    slots_[slot] = static_cast<uint32_t>(entries_.size());
  }
  return true;
}

Value& Dictionary::operator[](const Value& key) {
  if (Value* existing = find(key)) return *existing;
  set(key, Value());
  return entries_.back().second;
}

bool Dictionary::erase(const Value& key) {
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->first == key) {
      entries_.erase(it);
      rebuildIndex();
      return true;
    }
  }
  return false;
}

void Dictionary::clear() {
  entries_.clear();
  slots_.clear();
  hashes_.clear();
}

Array Dictionary::keys() const {
  Array keys;
  keys.reserve(entries_.size());
  for (const auto& e : entries_) keys.push_back(e.first);
  return keys;
}

bool operator==(const Dictionary& a, const Dictionary& b) {
  if (a.size() != b.size()) return false;
  for (const auto& [key, value] : a) {
    const Value* other = b.find(key);
    if (!other || *other != value) return false;
  }
  return true;
}

size_t Dictionary::hash() const {
  // Order-independent: a sum of per-entry hashes.
  size_t h = entries_.size();
  for (const auto& [key, value] : entries_) h += mix(key.hash(), value.hash());
  return h;
}

}  // namespace fnd
