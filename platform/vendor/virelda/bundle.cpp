#include "platform/vendor/virelda/bundle.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <set>

#include "platform/vendor/virelda/field_value.h"
#include "platform/vendor/virelda/virelda.h"

namespace {

// JSON nesting deeper than this is refused: the parser recurses once per level.
constexpr int kMaxDepth = 64;
// An element length has at most this many digits (enough for any bundle that fits in memory).
constexpr size_t kMaxLengthDigits = 10;

// A fault of the bundle; parsing stops at the first.
struct Malformed {
  std::string what;
};

// ---- JSON ----

class JsonReader {
 public:
  JsonReader(const char* text, size_t size) : p_(text), end_(text + size) {}

  // The one JSON value of the whole text.
  fnd::Value document() {
    fnd::Value v = value(0);
    blanks();
    if (p_ != end_) throw Malformed{"text after the JSON value"};
    return v;
  }

 private:
  void blanks() {
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
  }
  bool take(char c) {
    blanks();
    if (p_ != end_ && *p_ == c) {
      ++p_;
      return true;
    }
    return false;
  }
  void expect(char c) {
    if (!take(c)) throw Malformed{std::string("'") + c + "' expected in JSON"};
  }
  bool word(const char* w) {
    size_t n = std::strlen(w);
    if (static_cast<size_t>(end_ - p_) >= n && std::memcmp(p_, w, n) == 0) {
      p_ += n;
      return true;
    }
    return false;
  }

  fnd::Value value(int depth) {
    if (depth > kMaxDepth) throw Malformed{"JSON nested too deeply"};
    blanks();
    if (p_ == end_) throw Malformed{"JSON ends early"};
    char c = *p_;
    if (c == '{') {
      ++p_;
      fnd::Dictionary map;
      if (take('}')) return fnd::Value(std::move(map));
      do {
        blanks();
        if (p_ == end_ || *p_ != '"') throw Malformed{"JSON object key expected"};
        std::string key = string();
        expect(':');
        fnd::Value v = value(depth + 1);
        if (map.find(fnd::Value(key))) throw Malformed{"duplicate JSON key \"" + key + "\""};
        map.set(fnd::Value(key), std::move(v));
      } while (take(','));
      expect('}');
      return fnd::Value(std::move(map));
    }
    if (c == '[') {
      ++p_;
      fnd::Array list;
      if (take(']')) return fnd::Value(std::move(list));
      do {
        list.push_back(value(depth + 1));
      } while (take(','));
      expect(']');
      return fnd::Value(std::move(list));
    }
    if (c == '"') return fnd::Value(string());
    if (word("true")) return fnd::Value(true);
    if (word("false")) return fnd::Value(false);
    if (word("null")) return fnd::Value();
    return number();
  }

  fnd::Value number() {
    const char* start = p_;
    if (p_ != end_ && *p_ == '-') ++p_;
    const char* digits = p_;
    while (p_ != end_ && std::isdigit(static_cast<unsigned char>(*p_))) ++p_;
    if (p_ == digits) throw Malformed{"JSON value expected"};
    bool integral = true;
    if (p_ != end_ && *p_ == '.') {
      integral = false;
      ++p_;
      const char* fraction = p_;
      while (p_ != end_ && std::isdigit(static_cast<unsigned char>(*p_))) ++p_;
      if (p_ == fraction) throw Malformed{"JSON number without fraction digits"};
    }
    if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
      integral = false;
      ++p_;
      if (p_ != end_ && (*p_ == '+' || *p_ == '-')) ++p_;
      const char* exponent = p_;
      while (p_ != end_ && std::isdigit(static_cast<unsigned char>(*p_))) ++p_;
      if (p_ == exponent) throw Malformed{"JSON number without exponent digits"};
    }
    std::string text(start, p_);
    if (integral) {
      errno = 0;
      char* stop = nullptr;
      long long v = std::strtoll(text.c_str(), &stop, 10);
      if (errno == 0) return fnd::Value::Int64(v);
    }
    return fnd::Value(std::strtod(text.c_str(), nullptr));
  }

  unsigned hex4() {
    if (end_ - p_ < 4) throw Malformed{"JSON escape ends early"};
    unsigned v = 0;
    for (int i = 0; i < 4; ++i) {
      char c = *p_++;
      v <<= 4;
      if (c >= '0' && c <= '9') {
        v |= static_cast<unsigned>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        v |= static_cast<unsigned>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        v |= static_cast<unsigned>(c - 'A' + 10);
      } else {
        throw Malformed{"bad JSON \\u escape"};
      }
    }
    return v;
  }

  static void utf8(std::string& out, unsigned cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  // A JSON string; p_ is at its opening quote.
  std::string string() {
    ++p_;
    std::string out;
    while (true) {
      if (p_ == end_) throw Malformed{"unterminated JSON string"};
      char c = *p_++;
      if (c == '"') return out;
      if (static_cast<unsigned char>(c) < 0x20) throw Malformed{"control character in JSON string"};
      if (c != '\\') {
        out += c;
        continue;
      }
      if (p_ == end_) throw Malformed{"unterminated JSON string"};
      char e = *p_++;
      switch (e) {
        case '"':
        case '\\':
        case '/':
          out += e;
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          unsigned cp = hex4();
          if (cp >= 0xD800 && cp < 0xDC00) {
            if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') {
              throw Malformed{"unpaired surrogate in JSON string"};
            }
            p_ += 2;
            unsigned low = hex4();
            if (low < 0xDC00 || low >= 0xE000) throw Malformed{"unpaired surrogate in JSON string"};
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          } else if (cp >= 0xDC00 && cp < 0xE000) {
            throw Malformed{"unpaired surrogate in JSON string"};
          }
          utf8(out, cp);
          break;
        }
        default:
          throw Malformed{"bad JSON escape"};
      }
    }
  }

  const char* p_;
  const char* const end_;
};

// ---- The format ----

std::vector<std::string> Segments(const std::string& path) {
  std::vector<std::string> segments;
  size_t start = 0;
  while (true) {
    size_t slash = path.find('/', start);
    segments.push_back(path.substr(start, slash == std::string::npos ? slash : slash - start));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return segments;
}

// A path of non-empty segments whose count is even (a document) or odd (a collection).
bool ValidPath(const std::string& path, bool document) {
  if (path.empty()) return false;
  auto segments = Segments(path);
  for (const auto& s : segments) {
    if (s.empty()) return false;
  }
  return (segments.size() % 2 == 0) == document;
}

const fnd::Dictionary& Object(const fnd::Value& v, const std::string& what) {
  if (!v.dictionary()) throw Malformed{what + " must be a JSON object"};
  return *v.dictionary();
}

std::string Text(const fnd::Dictionary& map, const char* key, const std::string& what) {
  fnd::Value v = map.get(key);
  if (!v.isString()) throw Malformed{what + " needs the text \"" + key + "\""};
  return v.asString();
}

int64_t Integer(const fnd::Value& v, const std::string& what) {
  if (!v.isInt()) throw Malformed{what + " must be an integer"};
  return v.asInt();
}

// The only key of a one-key object.
std::pair<std::string, fnd::Value> OnlyEntry(const fnd::Value& v, const std::string& what) {
  const fnd::Dictionary& map = Object(v, what);
  if (map.size() != 1 || !map.entries()[0].first.isString()) {
    throw Malformed{what + " must have exactly one key"};
  }
  return {map.entries()[0].first.asString(), map.entries()[0].second};
}

std::optional<fnd::Data> Base64(const std::string& text) {
  auto digit = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  if (text.size() % 4 != 0) return std::nullopt;
  fnd::Data out;
  for (size_t i = 0; i < text.size(); i += 4) {
    int v[4];
    int pad = 0;
    for (int j = 0; j < 4; ++j) {
      char c = text[i + j];
      if (c == '=' && i + 4 == text.size() && j >= 2) {
        v[j] = 0;
        ++pad;
        continue;
      }
      if (pad) return std::nullopt;
      v[j] = digit(c);
      if (v[j] < 0) return std::nullopt;
    }
    uint32_t n = (static_cast<uint32_t>(v[0]) << 18) | (static_cast<uint32_t>(v[1]) << 12) |
                 (static_cast<uint32_t>(v[2]) << 6) | static_cast<uint32_t>(v[3]);
    out.push_back(static_cast<uint8_t>(n >> 16));
    if (pad < 2) out.push_back(static_cast<uint8_t>(n >> 8));
    if (pad < 1) out.push_back(static_cast<uint8_t>(n));
  }
  return out;
}

class ValueReader {
 public:
  explicit ValueReader(const std::function<fnd::Value(const std::string&)>& makeReference)
      : makeReference_(makeReference) {}

  fnd::Value read(const fnd::Value& json, int depth) {
    if (depth > kMaxDepth) throw Malformed{"values nested too deeply"};
    auto [kind, v] = OnlyEntry(json, "a value");
    if (kind == "null") {
      if (!v.isNull()) throw Malformed{"a null value must hold null"};
      return fnd::Value();
    }
    if (kind == "boolean") {
      if (!v.isBool()) throw Malformed{"a boolean value must hold true or false"};
      return v;
    }
    if (kind == "integer") {
      if (v.isInt()) return fnd::Value::Int64(v.asInt());
      if (v.isString()) {
        const std::string& t = v.asString();
        errno = 0;
        char* stop = nullptr;
        long long n = std::strtoll(t.c_str(), &stop, 10);
        if (!t.empty() && errno == 0 && stop && *stop == '\0' && !std::isspace(t[0])) {
          return fnd::Value::Int64(n);
        }
      }
      throw Malformed{"an integer value must hold a whole number"};
    }
    if (kind == "double") {
      if (v.isNumber()) return fnd::Value(v.asDouble());
      if (v.isString()) {
        if (v.asString() == "NaN") return fnd::Value(std::numeric_limits<double>::quiet_NaN());
        if (v.asString() == "Infinity") return fnd::Value(std::numeric_limits<double>::infinity());
        if (v.asString() == "-Infinity") {
          return fnd::Value(-std::numeric_limits<double>::infinity());
        }
      }
      throw Malformed{"a double value must hold a number"};
    }
    if (kind == "string") {
      if (!v.isString()) throw Malformed{"a string value must hold text"};
      return v;
    }
    if (kind == "timestamp") {
      const fnd::Dictionary& t = Object(v, "a timestamp");
      int64_t nanos = Integer(t.get("nanos"), "a timestamp's nanos");
      if (nanos < 0 || nanos > 999999999) throw Malformed{"a timestamp's nanos are out of range"};
      return fnd::Value(std::shared_ptr<fnd::Record>(DEVTimestamp::initWithSeconds(
          Integer(t.get("seconds"), "a timestamp's seconds"), static_cast<int32_t>(nanos))));
    }
    if (kind == "bytes") {
      auto data = v.isString() ? Base64(v.asString()) : std::nullopt;
      if (!data) throw Malformed{"a bytes value must hold base64 text"};
      return fnd::Value(std::move(*data));
    }
    if (kind == "reference") {
      if (!v.isString() || !ValidPath(v.asString(), true)) {
        throw Malformed{"a reference value must hold a document path"};
      }
      return makeReference_(v.asString());
    }
    if (kind == "geoPoint") {
      const fnd::Dictionary& g = Object(v, "a geo point");
      fnd::Value lat = g.get("latitude"), lng = g.get("longitude");
      if (!lat.isNumber() || !lng.isNumber() || std::fabs(lat.asDouble()) > 90 ||
          std::fabs(lng.asDouble()) > 180) {
        throw Malformed{"a geo point needs a latitude and a longitude in range"};
      }
      return fnd::Value(std::shared_ptr<fnd::Record>(
          DEVGeoPoint::initWithLatitude(lat.asDouble(), lng.asDouble())));
    }
    if (kind == "array") {
      if (!v.array()) throw Malformed{"an array value must hold a list"};
      fnd::Array out;
      for (const auto& e : *v.array()) out.push_back(read(e, depth + 1));
      return fnd::Value(std::move(out));
    }
    if (kind == "map") return fnd::Value(fields(v, depth + 1));
    throw Malformed{"unknown value kind \"" + kind + "\""};
  }

  fnd::Dictionary fields(const fnd::Value& json, int depth) {
    fnd::Dictionary out;
    for (const auto& [name, v] : Object(json, "fields")) {
      if (!name.isString() || name.asString().empty()) throw Malformed{"a field needs a name"};
      out.set(name, read(v, depth));
    }
    return out;
  }

 private:
  const std::function<fnd::Value(const std::string&)>& makeReference_;
};

DEVBundle::NamedQuery ReadNamedQuery(const fnd::Dictionary& q, ValueReader& values) {
  DEVBundle::NamedQuery query;
  query.name = Text(q, "name", "a named query");
  if (query.name.empty()) throw Malformed{"a named query needs a name"};
  query.parent = Text(q, "parent", "a named query");
  fnd::Value group = q.get("collectionGroup");
  if (!group.isNull() && !group.isBool()) throw Malformed{"collectionGroup must be a boolean"};
  query.collectionGroup = group.isBool() && group.asBool();
  bool validParent = query.collectionGroup
                         ? !query.parent.empty() && query.parent.find('/') == std::string::npos
                         : ValidPath(query.parent, false);
  if (!validParent) throw Malformed{"the parent of query \"" + query.name + "\" is no collection"};
  if (fnd::Value where = q.get("where"); !where.isNull()) {
    if (!where.array()) throw Malformed{"where must be a list"};
    for (const auto& clause : *where.array()) {
      const fnd::Array* c = clause.array();
      if (!c || c->size() != 3 || !(*c)[0].isString() || !(*c)[1].isString()) {
        throw Malformed{"a where clause is [field, operator, value]"};
      }
      query.where.emplace_back((*c)[0].asString(), (*c)[1].asString(), values.read((*c)[2], 1));
    }
  }
  if (fnd::Value orderBy = q.get("orderBy"); !orderBy.isNull()) {
    if (!orderBy.array()) throw Malformed{"orderBy must be a list"};
    for (const auto& clause : *orderBy.array()) {
      const fnd::Array* c = clause.array();
      if (!c || c->size() != 2 || !(*c)[0].isString() || !(*c)[1].isString() ||
          ((*c)[1].asString() != "asc" && (*c)[1].asString() != "desc")) {
        throw Malformed{"an orderBy clause is [field, \"asc\" or \"desc\"]"};
      }
      query.orderBy.emplace_back((*c)[0].asString(), (*c)[1].asString() == "desc");
    }
  }
  if (fnd::Value limit = q.get("limit"); !limit.isNull()) {
    query.limit = Integer(limit, "limit");
    if (*query.limit <= 0) throw Malformed{"limit must be positive"};
  }
  if (fnd::Value type = q.get("limitType"); !type.isNull()) {
    if (!type.isString() || (type.asString() != "first" && type.asString() != "last")) {
      throw Malformed{"limitType must be \"first\" or \"last\""};
    }
    query.limitToLast = type.asString() == "last";
  }
  return query;
}

}  // namespace

std::optional<DEVBundle> DEVBundle::parse(
    const fnd::Data& bytes, const std::function<fnd::Value(const std::string&)>& makeReference,
    fnd::Error* error) {
  DEVBundle bundle;
  try {
    if (bytes.empty()) throw Malformed{"it is empty"};
    ValueReader values(makeReference);
    std::set<std::string> documentPaths;
    std::set<std::string> queryNames;
    size_t offset = 0;
    bool first = true;
    while (offset < bytes.size()) {
      size_t digits = 0;
      uint64_t length = 0;
      while (offset + digits < bytes.size() && std::isdigit(bytes[offset + digits])) {
        if (++digits > kMaxLengthDigits) throw Malformed{"an element length is too long"};
        length = length * 10 + (bytes[offset + digits - 1] - '0');
      }
      if (digits == 0)
        throw Malformed{"an element length expected at byte " + std::to_string(offset)};
      size_t start = offset + digits;
      if (length == 0 || length > bytes.size() - start) {
        throw Malformed{"an element length runs past the end"};
      }
      JsonReader json(reinterpret_cast<const char*>(bytes.data() + start),
                      static_cast<size_t>(length));
      auto [kind, body] = OnlyEntry(json.document(), "an element");
      offset = start + static_cast<size_t>(length);
      if (first != (kind == "metadata")) {
        throw Malformed{first ? "it does not start with its metadata" : "metadata appears twice"};
      }
      if (kind == "metadata") {
        first = false;
        const fnd::Dictionary& m = Object(body, "metadata");
        bundle.id = Text(m, "id", "metadata");
        if (Integer(m.get("version"), "the version") != 1) throw Malformed{"unknown version"};
        bundle.totalDocuments = Integer(m.get("totalDocuments"), "totalDocuments");
        bundle.totalBytes = Integer(m.get("totalBytes"), "totalBytes");
        if (bundle.totalBytes != static_cast<int64_t>(bytes.size())) {
          throw Malformed{"totalBytes is " + std::to_string(bundle.totalBytes) + " but it holds " +
                          std::to_string(bytes.size())};
        }
        bundle.metadataEndOffset = static_cast<int64_t>(offset);
      } else if (kind == "document") {
        const fnd::Dictionary& d = Object(body, "a document");
        Document document;
        document.path = Text(d, "name", "a document");
        if (!ValidPath(document.path, true)) {
          throw Malformed{"\"" + document.path + "\" is no document path"};
        }
        if (!documentPaths.insert(document.path).second) {
          throw Malformed{"document \"" + document.path + "\" appears twice"};
        }
        fnd::Value missing = d.get("missing");
        if (missing.isBool() && missing.asBool()) {
          if (!d.get("fields").isNull()) throw Malformed{"a missing document has no fields"};
        } else {
          document.data = values.fields(d.get("fields"), 1);
        }
        document.endOffset = static_cast<int64_t>(offset);
        bundle.documents.push_back(std::move(document));
      } else if (kind == "namedQuery") {
        NamedQuery query = ReadNamedQuery(Object(body, "a named query"), values);
        if (!queryNames.insert(query.name).second) {
          throw Malformed{"query \"" + query.name + "\" appears twice"};
        }
        bundle.namedQueries.push_back(std::move(query));
      } else {
        throw Malformed{"unknown element \"" + kind + "\""};
      }
    }
    if (bundle.totalDocuments != static_cast<int64_t>(bundle.documents.size())) {
      throw Malformed{"totalDocuments is " + std::to_string(bundle.totalDocuments) +
                      " but it holds " + std::to_string(bundle.documents.size())};
    }
  } catch (const Malformed& m) {
    fnd::SetError(error, DEVVireldaError(DEVVireldaErrorCodeInvalidArgument,
                                         "The bundle is malformed: " + m.what + "."));
    return std::nullopt;
  }
  return bundle;
}
