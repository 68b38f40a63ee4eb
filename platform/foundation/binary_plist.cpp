#include "platform/foundation/binary_plist.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/foundation/text.h"

namespace fnd {

namespace {

constexpr std::string_view kMagic = "bplist00";
constexpr size_t kTrailerSize = 32;
// Seconds from 1970-01-01 to 2001-01-01, the epoch of plist dates.
constexpr double kPlistEpochOffset = 978307200.0;
// Shared objects make a small file stand for a huge tree (each array naming the previous one
// twice doubles it). Trees larger than this, counted with repeats, are refused so that whoever
// walks the result later cannot be made to work forever.
constexpr uint64_t kMaxExpandedObjects = 10'000'000;

class Reader {
 public:
  Reader(std::string_view data, int maxDepth) : data_(data), maxDepth_(maxDepth) {}

  std::optional<Value> parse(std::string* reason) {
    std::optional<Value> result = parseAll();
    if (!result && reason) *reason = reason_;
    return result;
  }

 private:
  enum class State : uint8_t { kUnseen, kInProgress, kDone };

  std::optional<Value> fail(const char* why) {
    if (reason_.empty()) reason_ = why;
    return std::nullopt;
  }

  // A big-endian unsigned integer of `width` (1..8) bytes at `at`, or nullopt when out of range.
  std::optional<uint64_t> readUnsigned(uint64_t at, uint64_t width, uint64_t limit) const {
    if (width == 0 || width > 8 || at > limit || width > limit - at) return std::nullopt;
    uint64_t v = 0;
    for (uint64_t i = 0; i < width; ++i) v = (v << 8) | static_cast<uint8_t>(data_[at + i]);
    return v;
  }

  std::optional<Value> parseAll() {
    if (data_.size() < kMagic.size() + kTrailerSize + 1 || data_.substr(0, 8) != kMagic) {
      return fail("not a binary property list");
    }
    const uint64_t trailer = data_.size() - kTrailerSize;
    offsetSize_ = static_cast<uint8_t>(data_[trailer + 6]);
    refSize_ = static_cast<uint8_t>(data_[trailer + 7]);
    const uint64_t count = *readUnsigned(trailer + 8, 8, data_.size());
    const uint64_t top = *readUnsigned(trailer + 16, 8, data_.size());
    const uint64_t table = *readUnsigned(trailer + 24, 8, data_.size());
    if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8) {
      return fail("bad trailer sizes");
    }
    if (count == 0 || top >= count || table < kMagic.size() || table > trailer ||
        count > (trailer - table) / offsetSize_) {
      return fail("bad trailer");
    }
    objectsEnd_ = table;
    offsets_.resize(count);
    for (uint64_t i = 0; i < count; ++i) {
      uint64_t offset = *readUnsigned(table + i * offsetSize_, offsetSize_, trailer);
      if (offset < kMagic.size() || offset >= objectsEnd_) return fail("bad object offset");
      offsets_[i] = offset;
    }
    states_.assign(count, State::kUnseen);
    values_.resize(count);
    sizes_.assign(count, 0);
    return object(top, 0);
  }

  // The length that follows a marker whose low nibble is 0xF: an integer object.
  std::optional<uint64_t> extendedLength(uint64_t& at) {
    if (at >= objectsEnd_) return std::nullopt;
    const uint8_t marker = static_cast<uint8_t>(data_[at]);
    if ((marker & 0xF0) != 0x10 || (marker & 0x0F) > 3) return std::nullopt;
    const uint64_t width = uint64_t{1} << (marker & 0x0F);
    auto n = readUnsigned(at + 1, width, objectsEnd_);
    if (!n) return std::nullopt;
    at += 1 + width;
    return n;
  }

  std::optional<uint64_t> lengthOf(uint8_t info, uint64_t& at) {
    if (info != 0x0F) return info;
    return extendedLength(at);
  }

  // True when `count` items of `width` bytes fit between `at` and the offset table.
  bool fits(uint64_t at, uint64_t count, uint64_t width) const {
    return at <= objectsEnd_ && (width == 0 || count <= (objectsEnd_ - at) / width);
  }

  std::optional<uint64_t> ref(uint64_t at) const {
    auto r = readUnsigned(at, refSize_, objectsEnd_);
    if (!r || *r >= offsets_.size()) return std::nullopt;
    return r;
  }

  std::optional<Value> object(uint64_t index, int depth) {
    if (depth > maxDepth_) return fail("nesting too deep");
    if (states_[index] == State::kInProgress) return fail("reference cycle");
    if (states_[index] == State::kUnseen) {
      states_[index] = State::kInProgress;
      const uint64_t before = expanded_;
      expanded_ = 1;
      std::optional<Value> v = parseObject(offsets_[index], depth);
      if (!v) return std::nullopt;
      states_[index] = State::kDone;
      values_[index] = std::move(*v);
      sizes_[index] = expanded_;
      expanded_ = before;
    }
    // The object counts with its whole tree each time it is referenced.
    expanded_ += sizes_[index];
    if (expanded_ > kMaxExpandedObjects) return fail("too many objects");
    return values_[index];
  }

  std::optional<Value> parseObject(uint64_t at, int depth) {
    const uint8_t marker = static_cast<uint8_t>(data_[at]);
    const uint8_t kind = marker >> 4;
    const uint8_t info = marker & 0x0F;
    ++at;
    switch (kind) {
      case 0x0:
        if (marker == 0x08) return Value(false);
        if (marker == 0x09) return Value(true);
        return fail("null or fill object");
      case 0x1: {
        if (info > 4) return fail("bad integer width");
        const uint64_t width = uint64_t{1} << info;
        if (width == 16) {
          // A 128-bit integer: the value is its low 64 bits.
          auto low = readUnsigned(at + 8, 8, objectsEnd_);
          if (!low) return fail("truncated integer");
          return Value(static_cast<int64_t>(*low));
        }
        auto v = readUnsigned(at, width, objectsEnd_);
        if (!v) return fail("truncated integer");
        return Value(static_cast<int64_t>(*v));  // 1, 2 and 4 bytes are unsigned; 8 is signed.
      }
      case 0x2: {
        if (info != 2 && info != 3) return fail("bad real width");
        auto bits = readUnsigned(at, uint64_t{1} << info, objectsEnd_);
        if (!bits) return fail("truncated real");
        if (info == 2) {
          uint32_t b = static_cast<uint32_t>(*bits);
          float f;
          std::memcpy(&f, &b, sizeof f);
          return Value(static_cast<double>(f));
        }
        double d;
        std::memcpy(&d, &*bits, sizeof d);
        return Value(d);
      }
      case 0x3: {
        if (marker != 0x33) return fail("bad date");
        auto bits = readUnsigned(at, 8, objectsEnd_);
        if (!bits) return fail("truncated date");
        double d;
        std::memcpy(&d, &*bits, sizeof d);
        return Value(Date{d + kPlistEpochOffset});
      }
      case 0x4: {
        auto n = lengthOf(info, at);
        if (!n || !fits(at, *n, 1)) return fail("truncated data");
        const uint8_t* p = reinterpret_cast<const uint8_t*>(data_.data() + at);
        return Value(Data(p, p + *n));
      }
      case 0x5: {
        auto n = lengthOf(info, at);
        if (!n || !fits(at, *n, 1)) return fail("truncated string");
        // "ASCII" strings: bytes above 0x7F are read as Latin-1 so the text stays valid UTF-8.
        std::u32string text;
        text.reserve(*n);
        for (uint64_t i = 0; i < *n; ++i) text.push_back(static_cast<uint8_t>(data_[at + i]));
        return Value(FromUTF32(text));
      }
      case 0x6: {
        auto n = lengthOf(info, at);
        if (!n || !fits(at, *n, 2)) return fail("truncated string");
        std::u16string text;
        text.reserve(*n);
        for (uint64_t i = 0; i < *n; ++i) {
          text.push_back(static_cast<char16_t>(*readUnsigned(at + 2 * i, 2, objectsEnd_)));
        }
        return Value(FromUTF16(text));
      }
      case 0x8: {
        auto uid = readUnsigned(at, uint64_t{info} + 1, objectsEnd_);
        if (!uid) return fail("truncated uid");
        return Value(Dictionary{{"CF$UID", static_cast<int64_t>(*uid)}});
      }
      case 0xA:
      case 0xC: {  // Arrays, and sets read as arrays.
        auto n = lengthOf(info, at);
        if (!n || !fits(at, *n, refSize_)) return fail("truncated array");
        Array out;
        out.reserve(*n);
        for (uint64_t i = 0; i < *n; ++i) {
          auto r = ref(at + i * refSize_);
          if (!r) return fail("bad array reference");
          auto item = object(*r, depth + 1);
          if (!item) return std::nullopt;
          out.push_back(std::move(*item));
        }
        return Value(std::move(out));
      }
      case 0xD: {
        auto n = lengthOf(info, at);
        if (!n || *n > UINT64_MAX / 2 || !fits(at, *n * 2, refSize_)) {
          return fail("truncated dictionary");
        }
        Dictionary out;
        for (uint64_t i = 0; i < *n; ++i) {
          auto keyRef = ref(at + i * refSize_);
          auto valueRef = ref(at + (*n + i) * refSize_);
          if (!keyRef || !valueRef) return fail("bad dictionary reference");
          auto key = object(*keyRef, depth + 1);
          if (!key) return std::nullopt;
          if (!key->isString()) return fail("dictionary key is not a string");
          auto value = object(*valueRef, depth + 1);
          if (!value) return std::nullopt;
          out.set(std::move(*key), std::move(*value));
        }
        return Value(std::move(out));
      }
      default:
        return fail("unknown object kind");
    }
  }

  const std::string_view data_;
  const int maxDepth_;
  uint8_t offsetSize_ = 0;
  uint8_t refSize_ = 0;
  uint64_t objectsEnd_ = 0;  // Objects lie before the offset table.
  std::vector<uint64_t> offsets_;
  std::vector<State> states_;
  std::vector<Value> values_;
  std::vector<uint64_t> sizes_;  // Objects in each parsed object's tree, counted with repeats.
  uint64_t expanded_ = 0;        // Objects in the tree being parsed so far.
  std::string reason_;
};

}  // namespace

bool IsBinaryPropertyList(std::string_view data) {
  return data.size() >= kMagic.size() && data.substr(0, kMagic.size()) == kMagic;
}

std::optional<Value> ParseBinaryPropertyList(std::string_view data, int maxDepth,
                                             std::string* reason) {
  return Reader(data, maxDepth).parse(reason);
}

}  // namespace fnd
