#include "platform/foundation/property_list.h"

#include <plist/plist.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#include "platform/foundation/binary_plist.h"
#include "platform/foundation/file_system.h"
#include "platform/foundation/text.h"

namespace fnd {

namespace {

// Seconds from 1970-01-01 to 2001-01-01, the epoch of plist dates.
constexpr double kPlistEpochOffset = 978307200.0;
// libplist hands whole files to 32-bit lengths.
constexpr size_t kMaxPlistBytes = std::numeric_limits<uint32_t>::max();

struct PlistDeleter {
  void operator()(void* node) const {
    if (node) plist_free(node);
  }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

Error ReadError(std::string reason) {
  return Error::withDescription(kCocoaErrorDomain, PropertyList::kReadCorruptError,
                                "The data couldn\u2019t be read because it isn\u2019t in the "
                                "correct format. (" +
                                    reason + ")");
}

Error WriteError(const std::string& path, std::string reason) {
  return Error::withDescription(
      kCocoaErrorDomain, PropertyList::kWriteInvalidError,
      "Property list invalid for format: " + reason + (path.empty() ? "" : " at " + path));
}

std::string ChildPath(const std::string& parent, const std::string& key) {
  return parent.empty() ? key : parent + "/" + key;
}

// Value -> plist node. Returns null and fills *error on a value a plist cannot hold.
plist_t ToNode(const Value& v, int depth, const std::string& path, Error* error) {
  if (depth > PropertyList::kMaxDepth) {
    SetError(error,
             WriteError(path, "nesting deeper than " + std::to_string(PropertyList::kMaxDepth)));
    return nullptr;
  }
  switch (v.kind()) {
    case Value::Kind::kBool:
      return plist_new_bool(v.asBool() ? 1 : 0);
    case Value::Kind::kInt:
      // libplist keeps integers as 64-bit patterns; negative values round-trip.
      return plist_new_uint(static_cast<uint64_t>(v.asInt()));
    case Value::Kind::kDouble:
      return plist_new_real(v.asDouble());
    case Value::Kind::kString:
      if (std::memchr(v.asString().data(), '\0', v.asString().size())) {
        SetError(error, WriteError(path, "string holds a NUL character"));
        return nullptr;
      }
      if (!IsValidUTF8(v.asString())) {
        SetError(error, WriteError(path, "string is not valid UTF-8"));
        return nullptr;
      }
      return plist_new_string(v.asString().c_str());
    case Value::Kind::kData:
      return plist_new_data(reinterpret_cast<const char*>(v.data()->data()), v.data()->size());
    case Value::Kind::kDate: {
      double t = v.date()->secondsSince1970 - kPlistEpochOffset;
      double sec = std::floor(t);
      if (!std::isfinite(t) || sec < std::numeric_limits<int32_t>::min() ||
          sec > std::numeric_limits<int32_t>::max()) {
        SetError(error, WriteError(path, "date out of range"));
        return nullptr;
      }
      int64_t usec = std::llround((t - sec) * 1e6);
      if (usec >= 1000000) {
        usec -= 1000000;
        sec += 1;
        if (sec > std::numeric_limits<int32_t>::max()) {
          SetError(error, WriteError(path, "date out of range"));
          return nullptr;
        }
      }
      return plist_new_date(static_cast<int32_t>(sec), static_cast<int32_t>(usec));
    }
    case Value::Kind::kArray: {
      PlistPtr node(plist_new_array());
      const Array& a = *v.array();
      for (size_t i = 0; i < a.size(); ++i) {
        plist_t child = ToNode(a[i], depth + 1, ChildPath(path, std::to_string(i)), error);
        if (!child) return nullptr;
        plist_array_append_item(node.get(), child);
      }
      return node.release();
    }
    case Value::Kind::kDictionary: {
      PlistPtr node(plist_new_dict());
      for (const auto& [key, value] : *v.dictionary()) {
        if (!key.isString()) {
          SetError(error,
                   WriteError(path, "dictionary key " + key.description() + " is not a string"));
          return nullptr;
        }
        const std::string& k = key.asString();
        if (std::memchr(k.data(), '\0', k.size()) || !IsValidUTF8(k)) {
          SetError(error, WriteError(path,
                                     "dictionary key holds a NUL character or is not "
                                     "valid UTF-8"));
          return nullptr;
        }
        plist_t child = ToNode(value, depth + 1, ChildPath(path, k), error);
        if (!child) return nullptr;
        plist_dict_set_item(node.get(), k.c_str(), child);
      }
      return node.release();
    }
    case Value::Kind::kNull:
    case Value::Kind::kInt32Array:
    case Value::Kind::kInt64Array:
    case Value::Kind::kFloat32Array:
    case Value::Kind::kFloat64Array:
    case Value::Kind::kRecord:
      break;
  }
  SetError(error, WriteError(path, std::string("a ") + Value::kindName(v.kind()) +
                                       " value cannot be stored in a property list"));
  return nullptr;
}

// The text of a string or key node. REQUIRES: the node is a PLIST_STRING or a PLIST_KEY.
std::string NodeText(plist_t node) {
  if (plist_get_node_type(node) == PLIST_STRING) {
    uint64_t length = 0;
    const char* s = plist_get_string_ptr(node, &length);
    return std::string(s ? s : "", s ? length : 0);
  }
  char* key = nullptr;
  plist_get_key_val(node, &key);
  std::string out = key ? key : "";
  free(key);
  return out;
}

// plist node -> Value. nullopt and *error on a node we cannot read.
std::optional<Value> FromNode(plist_t node, int depth, Error* error) {
  if (depth > PropertyList::kMaxDepth) {
    SetError(error, ReadError("nesting deeper than " + std::to_string(PropertyList::kMaxDepth)));
    return std::nullopt;
  }
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      uint8_t b = 0;
      plist_get_bool_val(node, &b);
      return Value(b != 0);
    }
    case PLIST_UINT: {
      uint64_t u = 0;
      plist_get_uint_val(node, &u);
      return Value(static_cast<int64_t>(u));
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      return Value(d);
    }
    case PLIST_STRING:
    case PLIST_KEY:
      return Value(NodeText(node));
    case PLIST_DATA: {
      uint64_t length = 0;
      const char* p = plist_get_data_ptr(node, &length);
      const uint8_t* b = reinterpret_cast<const uint8_t*>(p);
      return Value(Data(b, b + (p ? length : 0)));
    }
    case PLIST_DATE: {
      int32_t sec = 0, usec = 0;
      plist_get_date_val(node, &sec, &usec);
      return Value(Date{kPlistEpochOffset + sec + usec / 1e6});
    }
    case PLIST_UID: {
      uint64_t uid = 0;
      plist_get_uid_val(node, &uid);
      return Value(Dictionary{{"CF$UID", static_cast<int64_t>(uid)}});
    }
    case PLIST_ARRAY: {
      Array out;
      uint32_t n = plist_array_get_size(node);
      out.reserve(n);
      for (uint32_t i = 0; i < n; ++i) {
        auto child = FromNode(plist_array_get_item(node, i), depth + 1, error);
        if (!child) return std::nullopt;
        out.push_back(std::move(*child));
      }
      return Value(std::move(out));
    }
    case PLIST_DICT: {
      Dictionary out;
      plist_dict_iter it = nullptr;
      plist_dict_new_iter(node, &it);
      if (!it) return Value(std::move(out));
      for (;;) {
        // The key is read from its own node: libplist asserts (aborts) when asked for the key
        // of a malformed binary dictionary whose key node is not a string.
        plist_t child = nullptr;
        plist_dict_next_item(node, it, nullptr, &child);
        if (!child) break;
        plist_t keyNode = plist_dict_item_get_key(child);
        const plist_type keyType = keyNode ? plist_get_node_type(keyNode) : PLIST_NONE;
        if (keyType != PLIST_KEY && keyType != PLIST_STRING) {
          free(it);
          SetError(error, ReadError("dictionary key is not a string"));
          return std::nullopt;
        }
        std::string k = NodeText(keyNode);
        auto value = FromNode(child, depth + 1, error);
        if (!value) {
          free(it);
          return std::nullopt;
        }
        out.set(std::move(k), std::move(*value));
      }
      free(it);
      return Value(std::move(out));
    }
    case PLIST_NONE:
      break;
  }
  SetError(error, ReadError("unknown node"));
  return std::nullopt;
}

}  // namespace

bool PropertyList::IsValid(const Value& value, Error* error) {
  PlistPtr node(ToNode(value, 0, "", error));
  return node != nullptr;
}

std::optional<Value> PropertyList::FromData(std::string_view data, Error* error,
                                            PropertyListFormat* format) {
  if (data.empty()) {
    SetError(error, ReadError("empty data"));
    return std::nullopt;
  }
  if (data.size() > kMaxPlistBytes) {
    SetError(error, ReadError("data too large"));
    return std::nullopt;
  }
  if (IsBinaryPropertyList(data)) {
    std::string reason;
    auto value = ParseBinaryPropertyList(data, kMaxDepth, &reason);
    if (!value) {
      SetError(error, ReadError("malformed binary property list: " + reason));
      return std::nullopt;
    }
    if (format) *format = PropertyListFormat::kBinary;
    return value;
  }
  plist_t raw = nullptr;
  plist_from_xml(data.data(), static_cast<uint32_t>(data.size()), &raw);
  PlistPtr root(raw);
  if (!root) {
    SetError(error, ReadError("not an XML property list"));
    return std::nullopt;
  }
  auto value = FromNode(root.get(), 0, error);
  if (value && format) *format = PropertyListFormat::kXML;
  return value;
}

std::optional<Value> PropertyList::FromData(const Data& data, Error* error,
                                            PropertyListFormat* format) {
  return FromData(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()), error,
                  format);
}

std::optional<Value> PropertyList::ReadFile(const std::string& path, Error* error,
                                            PropertyListFormat* format) {
  Error readError;
  auto bytes = ReadFileData(path, &readError);
  if (!bytes) {
    Dictionary info = readError.userInfo();
    info.set(kUnderlyingErrorKey, readError.description());
    info.set(kFilePathErrorKey, path);
    const bool missing = readError.code() == ENOENT;
    info.set(kLocalizedDescriptionKey, missing ? "The file \u201c" + BaseName(path) +
                                                     "\u201d couldn\u2019t be opened because "
                                                     "there is no such file."
                                               : readError.localizedDescription());
    SetError(error,
             Error(kCocoaErrorDomain, missing ? kFileReadNoSuchFileError : kFileReadUnknownError,
                   std::move(info)));
    return std::nullopt;
  }
  Error parseError;
  auto value = FromData(*bytes, &parseError, format);
  if (!value) {
    parseError.mutableUserInfo().set(kFilePathErrorKey, path);
    SetError(error, std::move(parseError));
  }
  return value;
}

std::optional<Data> PropertyList::ToData(const Value& value, PropertyListFormat format,
                                         Error* error) {
  PlistPtr node(ToNode(value, 0, "", error));
  if (!node) return std::nullopt;
  char* out = nullptr;
  uint32_t length = 0;
  if (format == PropertyListFormat::kBinary) {
    plist_to_bin(node.get(), &out, &length);
  } else {
    plist_to_xml(node.get(), &out, &length);
  }
  if (!out) {
    SetError(error, WriteError("", "serialisation failed"));
    return std::nullopt;
  }
  Data data(reinterpret_cast<uint8_t*>(out), reinterpret_cast<uint8_t*>(out) + length);
  if (format == PropertyListFormat::kBinary) {
    plist_to_bin_free(out);
  } else {
    plist_to_xml_free(out);
  }
  return data;
}

bool PropertyList::WriteFile(const Value& value, const std::string& path, PropertyListFormat format,
                             mode_t mode, Error* error) {
  auto data = ToData(value, format, error);
  if (!data) return false;
  Error writeError;
  if (!WriteFileAtomically(
          path, std::string_view(reinterpret_cast<const char*>(data->data()), data->size()), mode,
          &writeError)) {
    Dictionary info;
    info.set(kLocalizedDescriptionKey, writeError.localizedDescription());
    info.set(kUnderlyingErrorKey, writeError.description());
    info.set(kFilePathErrorKey, path);
    return SetError(error, Error(kCocoaErrorDomain, kFileWriteUnknownError, std::move(info)));
  }
  return true;
}

}  // namespace fnd
