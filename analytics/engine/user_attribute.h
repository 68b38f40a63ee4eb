// ZIVUserAttribute: the immutable record of one user property as the engine stores and uploads
// it: who set it (origin), its name, its typed value and when it was last set.
//
// Thread safety: immutable after construction; may be read from any thread.
#pragma once

#include <memory>
#include <string>

#include "analytics/foundation/value.h"

class APMPBUserAttribute;

class ZIVUserAttribute {
 public:
  // Null unless the name is a valid internal user attribute name and the value a valid internal
  // user attribute value for that name (the data-type validator logs why not).
  static std::shared_ptr<ZIVUserAttribute> initWithOrigin(const std::string& origin,
                                                          const std::string& name,
                                                          ZIVValuePtr value,
                                                          double lastSetTimestamp);

  const std::string& origin() const { return origin_; }
  const std::string& name() const { return name_; }
  const ZIVValuePtr& value() const { return value_; }
  // Seconds since 1970.
  double lastSetTimestamp() const { return lastSetTimestamp_; }

  // True when the name is not empty and does not begin with "_".
  bool isPublic() const;

  // The wire message: set time in milliseconds (truncated toward zero), the name and the value
  // in the field of its kind (an array value fills none).
  std::shared_ptr<APMPBUserAttribute> protoUserAttribute() const;

 private:
  ZIVUserAttribute(std::string origin, std::string name, ZIVValuePtr value,
                   double lastSetTimestamp);

  // Constant after construction.
  const std::string origin_;
  const std::string name_;
  const ZIVValuePtr value_;
  const double lastSetTimestamp_;
};
