#include "platform/vendor/virelda/field_value.h"

#include <cmath>
#include <functional>

std::shared_ptr<DEVTimestamp> DEVTimestamp::timestampWithDate(double secondsSince1970) {
  double whole = std::floor(secondsSince1970);
  auto nanos = static_cast<int32_t>(std::floor((secondsSince1970 - whole) * 1e9));
  if (nanos >= 1000000000) nanos = 999999999;
  if (nanos < 0) nanos = 0;
  return std::make_shared<DEVTimestamp>(static_cast<int64_t>(whole), nanos);
}

bool DEVTimestamp::isEqual(const fnd::Record& other) const {
  auto o = dynamic_cast<const DEVTimestamp*>(&other);
  return o && o->seconds_ == seconds_ && o->nanoseconds_ == nanoseconds_;
}

size_t DEVTimestamp::hash() const {
  return std::hash<int64_t>()(seconds_) * 31 ^ std::hash<int32_t>()(nanoseconds_);
}

std::string DEVTimestamp::description() const {
  return "DEVTimestamp(seconds=" + std::to_string(seconds_) +
         ", nanoseconds=" + std::to_string(nanoseconds_) + ")";
}

bool DEVGeoPoint::isEqual(const fnd::Record& other) const {
  auto o = dynamic_cast<const DEVGeoPoint*>(&other);
  return o && o->latitude_ == latitude_ && o->longitude_ == longitude_;
}

size_t DEVGeoPoint::hash() const {
  return std::hash<double>()(latitude_) * 31 ^ std::hash<double>()(longitude_);
}

std::string DEVGeoPoint::description() const {
  return "DEVGeoPoint(" + std::to_string(latitude_) + ", " + std::to_string(longitude_) + ")";
}

bool DEVVectorValue::isEqual(const fnd::Record& other) const {
  auto o = dynamic_cast<const DEVVectorValue*>(&other);
  return o && o->array_ == array_;
}

size_t DEVVectorValue::hash() const { return fnd::Value(array_).hash(); }

std::shared_ptr<DEVFieldPath> DEVFieldPath::documentID() {
  auto path = std::make_shared<DEVFieldPath>(fnd::Array{});
  path->documentID_ = true;
  return path;
}

std::shared_ptr<DEVFieldPath> DEVFieldPath::pathWithDotSeparatedString(const std::string& text) {
  if (text == "__name__") return documentID();
  fnd::Array fields;
  size_t start = 0;
  while (true) {
    size_t dot = text.find('.', start);
    fields.emplace_back(text.substr(start, dot == std::string::npos ? dot : dot - start));
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  return initWithFields(std::move(fields));
}

std::optional<std::vector<std::string>> DEVFieldPath::segments() const {
  if (documentID_ || fields_.empty()) return std::nullopt;
  std::vector<std::string> out;
  for (const auto& f : fields_) {
    if (!f.isString() || f.asString().empty()) return std::nullopt;
    out.push_back(f.asString());
  }
  return out;
}

std::string DEVFieldPath::canonicalString() const {
  if (documentID_) return "__name__";
  std::string out;
  for (size_t i = 0; i < fields_.size(); ++i) {
    if (i) out += ".";
    out += fields_[i].isString() ? fields_[i].asString() : fields_[i].description();
  }
  return out;
}

bool DEVFieldPath::isEqual(const fnd::Record& other) const {
  auto o = dynamic_cast<const DEVFieldPath*>(&other);
  return o && o->documentID_ == documentID_ && o->fields_ == fields_;
}

size_t DEVFieldPath::hash() const { return fnd::Value(fields_).hash() ^ (documentID_ ? 1 : 0); }

std::shared_ptr<DEVFieldValue> DEVFieldValue::fieldValueForDelete() {
  return std::make_shared<DEVFieldValue>(Kind::kDelete, fnd::Value());
}
std::shared_ptr<DEVFieldValue> DEVFieldValue::fieldValueForServerTimestamp() {
  return std::make_shared<DEVFieldValue>(Kind::kServerTimestamp, fnd::Value());
}
std::shared_ptr<DEVFieldValue> DEVFieldValue::fieldValueForArrayUnion(fnd::Array elements) {
  return std::make_shared<DEVFieldValue>(Kind::kArrayUnion, fnd::Value(std::move(elements)));
}
std::shared_ptr<DEVFieldValue> DEVFieldValue::fieldValueForArrayRemove(fnd::Array elements) {
  return std::make_shared<DEVFieldValue>(Kind::kArrayRemove, fnd::Value(std::move(elements)));
}
std::shared_ptr<DEVFieldValue> DEVFieldValue::fieldValueForDoubleIncrement(double by) {
  return std::make_shared<DEVFieldValue>(Kind::kDoubleIncrement, fnd::Value(by));
}
std::shared_ptr<DEVFieldValue> DEVFieldValue::fieldValueForIntegerIncrement(int64_t by) {
  return std::make_shared<DEVFieldValue>(Kind::kIntegerIncrement, fnd::Value::Int64(by));
}

bool DEVFieldValue::isEqual(const fnd::Record& other) const {
  auto o = dynamic_cast<const DEVFieldValue*>(&other);
  return o && o->kind_ == kind_ && o->operand_ == operand_;
}

size_t DEVFieldValue::hash() const { return static_cast<size_t>(kind_) * 31 ^ operand_.hash(); }

std::string DEVFieldValue::description() const {
  static const char* const kNames[] = {"delete",      "serverTimestamp", "arrayUnion",
                                       "arrayRemove", "doubleIncrement", "integerIncrement"};
  return std::string("DEVFieldValue.") + kNames[static_cast<int>(kind_)] + "(" +
         operand_.description() + ")";
}
