#include "analytics/engine/user_attribute.h"

#include "analytics/engine/data_type_validator.h"
#include "analytics/engine/event.h"
#include "analytics/proto/messages.h"

ZIVUserAttribute::ZIVUserAttribute(std::string origin, std::string name, ZIVValuePtr value,
                                   double lastSetTimestamp)
    : origin_(std::move(origin)),
      name_(std::move(name)),
      value_(std::move(value)),
      lastSetTimestamp_(lastSetTimestamp) {}

std::shared_ptr<ZIVUserAttribute> ZIVUserAttribute::initWithOrigin(const std::string& origin,
                                                                   const std::string& name,
                                                                   ZIVValuePtr value,
                                                                   double lastSetTimestamp) {
  if (!ZIVDataTypeValidator::isValidInternalUserAttributeName(fnd::Value(name))) return nullptr;
  const fnd::Value object =
      value ? fnd::Value(std::static_pointer_cast<fnd::Record>(value)) : fnd::Value();
  if (!ZIVDataTypeValidator::isValidInternalUserAttributeValue(object, name)) return nullptr;
  return std::shared_ptr<ZIVUserAttribute>(
      new ZIVUserAttribute(origin, name, std::move(value), lastSetTimestamp));
}

bool ZIVUserAttribute::isPublic() const { return !name_.empty() && name_[0] != '_'; }

std::shared_ptr<APMPBUserAttribute> ZIVUserAttribute::protoUserAttribute() const {
  auto proto = APMPBUserAttribute::initWithMessageInfo(nullptr);
  if (!proto) return nullptr;
  NANOSetString(proto.get(), APMPBUserAttribute::kName, fnd::Value(name_));
  if (value_->isDouble()) {
    NANOSetDouble(proto.get(), APMPBUserAttribute::kDoubleValue, value_->doubleValue());
  } else if (value_->isInt64()) {
    NANOSetInt64(proto.get(), APMPBUserAttribute::kIntValue, value_->int64Value());
  } else if (auto text = value_->stringValue()) {
    NANOSetString(proto.get(), APMPBUserAttribute::kStringValue, fnd::Value(*text));
  }
  NANOSetInt64(proto.get(), APMPBUserAttribute::kSetTimestampMillis,
               ZIVMillisecondsFromSeconds(lastSetTimestamp_));
  return proto;
}
