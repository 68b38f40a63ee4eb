// The value types of the vendor Virelda SDK stand-in that a document field can hold besides the
// plain Foundation kinds: timestamps, geo points, vectors, field paths and the write sentinels
// (delete, server timestamp, array union and remove, increment).
//
// Each is an immutable fnd::Record so that it travels inside fnd::Value, compares by content and
// may be shared between threads.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/value.h"

// A point in time with nanosecond precision: seconds since 1970 and 0 <= nanoseconds < 10^9.
class DEVTimestamp : public fnd::Record {
 public:
  DEVTimestamp(int64_t seconds, int32_t nanoseconds)
      : seconds_(seconds), nanoseconds_(nanoseconds) {}
  static std::shared_ptr<DEVTimestamp> initWithSeconds(int64_t seconds, int32_t nanoseconds) {
    return std::make_shared<DEVTimestamp>(seconds, nanoseconds);
  }
  // The timestamp of a date given in seconds since 1970 (rounded down to whole nanoseconds).
  static std::shared_ptr<DEVTimestamp> timestampWithDate(double secondsSince1970);

  int64_t seconds() const { return seconds_; }
  int32_t nanoseconds() const { return nanoseconds_; }
  double dateValue() const { return static_cast<double>(seconds_) + nanoseconds_ / 1e9; }

  std::string typeName() const override { return "DEVTimestamp"; }
  bool isEqual(const fnd::Record& other) const override;
  size_t hash() const override;
  std::string description() const override;

 private:
  const int64_t seconds_;
  const int32_t nanoseconds_;
};

class DEVGeoPoint : public fnd::Record {
 public:
  DEVGeoPoint(double latitude, double longitude) : latitude_(latitude), longitude_(longitude) {}
  static std::shared_ptr<DEVGeoPoint> initWithLatitude(double latitude, double longitude) {
    return std::make_shared<DEVGeoPoint>(latitude, longitude);
  }
  double latitude() const { return latitude_; }
  double longitude() const { return longitude_; }

  std::string typeName() const override { return "DEVGeoPoint"; }
  bool isEqual(const fnd::Record& other) const override;
  size_t hash() const override;
  std::string description() const override;

 private:
  const double latitude_;
  const double longitude_;
};

// A vector embedding: a list of numbers.
class DEVVectorValue : public fnd::Record {
 public:
  explicit DEVVectorValue(fnd::Array array) : array_(std::move(array)) {}
  static std::shared_ptr<DEVVectorValue> initWithArray(fnd::Array array) {
    return std::make_shared<DEVVectorValue>(std::move(array));
  }
  const fnd::Array& array() const { return array_; }

  std::string typeName() const override { return "DEVVectorValue"; }
  bool isEqual(const fnd::Record& other) const override;
  size_t hash() const override;

 private:
  const fnd::Array array_;
};

// A path to a field inside a document: its segments, or the special path of the document id.
// Segments are values because Dart may send a null segment; such a path names no field.
class DEVFieldPath : public fnd::Record {
 public:
  explicit DEVFieldPath(fnd::Array fields) : fields_(std::move(fields)) {}
  static std::shared_ptr<DEVFieldPath> initWithFields(fnd::Array fields) {
    return std::make_shared<DEVFieldPath>(std::move(fields));
  }
  // The path that stands for the document's id.
  static std::shared_ptr<DEVFieldPath> documentID();
  // "a.b.c" split at the dots.
  static std::shared_ptr<DEVFieldPath> pathWithDotSeparatedString(const std::string& text);

  bool isDocumentID() const { return documentID_; }
  const fnd::Array& fields() const { return fields_; }
  // The segments as text, or nullopt when the path is empty or a segment is not a non-empty
  // string. The document-id path has no segments.
  std::optional<std::vector<std::string>> segments() const;
  // "a.b.c", or "__name__" for the document-id path.
  std::string canonicalString() const;

  std::string typeName() const override { return "DEVFieldPath"; }
  bool isEqual(const fnd::Record& other) const override;
  size_t hash() const override;
  std::string description() const override { return canonicalString(); }

 private:
  const fnd::Array fields_;
  bool documentID_ = false;
};

// A write sentinel: stands for an operation on a field instead of a value.
class DEVFieldValue : public fnd::Record {
 public:
  enum class Kind {
    kDelete,
    kServerTimestamp,
    kArrayUnion,
    kArrayRemove,
    kDoubleIncrement,
    kIntegerIncrement
  };

  static std::shared_ptr<DEVFieldValue> fieldValueForDelete();
  static std::shared_ptr<DEVFieldValue> fieldValueForServerTimestamp();
  static std::shared_ptr<DEVFieldValue> fieldValueForArrayUnion(fnd::Array elements);
  static std::shared_ptr<DEVFieldValue> fieldValueForArrayRemove(fnd::Array elements);
  static std::shared_ptr<DEVFieldValue> fieldValueForDoubleIncrement(double by);
  static std::shared_ptr<DEVFieldValue> fieldValueForIntegerIncrement(int64_t by);

  DEVFieldValue(Kind kind, fnd::Value operand) : kind_(kind), operand_(std::move(operand)) {}
  Kind kind() const { return kind_; }
  // The elements of a union or removal (an array), or the amount of an increment.
  const fnd::Value& operand() const { return operand_; }

  std::string typeName() const override { return "DEVFieldValue"; }
  bool isEqual(const fnd::Record& other) const override;
  size_t hash() const override;
  std::string description() const override;

 private:
  const Kind kind_;
  const fnd::Value operand_;
};
