#include "analytics/foundation/errors.h"

#include "analytics/foundation/monitor_context.h"

fnd::Error ziv_errorWithCode(int64_t code, const std::string& description,
                             const std::string& monitorContext) {
  fnd::Dictionary userInfo;
  if (!description.empty()) userInfo.set(fnd::kLocalizedDescriptionKey, description);
  if (!monitorContext.empty()) userInfo.set(kZIVMonitorContextKey, monitorContext);
  return fnd::Error(kZIVErrorDomain, code, std::move(userInfo));
}

bool ZIVSetErrorWithMonitorContext(fnd::Error* errorOut, int64_t code,
                                   const std::string& description,
                                   const std::string& monitorContext) {
  if (errorOut) *errorOut = ziv_errorWithCode(code, description, monitorContext);
  return false;
}

bool ZIVSetError(fnd::Error* errorOut, int64_t code, const std::string& description) {
  return ZIVSetErrorWithMonitorContext(errorOut, code, description, std::string());
}

bool ZIVAssertTrue(bool condition, fnd::Error* errorOut, int64_t code,
                   const std::string& description) {
  if (condition) return true;
  return ZIVSetErrorWithMonitorContext(errorOut, code, description, std::string());
}

bool ZIVAssertNotNil(const fnd::Value& object, fnd::Error* errorOut, int64_t code,
                     const std::string& description) {
  return ZIVAssertTrue(!object.isNull(), errorOut, code, description);
}

bool ZIVAssertNotZero(int64_t value, fnd::Error* errorOut, int64_t code,
                      const std::string& description) {
  return ZIVAssertTrue(value != 0, errorOut, code, description);
}

std::string ZIVMonitorContextString(const fnd::Array& contexts) {
  std::string out;
  for (const fnd::Value& context : contexts) {
    const ZIVErrorRecord* record = ZIVErrorFromContext(context);
    if (!record || record->error().domain() != kZIVErrorDomain) continue;
    const fnd::Value* value = record->error().userInfo().find(kZIVMonitorContextKey);
    if (!value || !value->isString() || value->asString().empty()) continue;
    if (!out.empty()) out += ",";
    out += value->asString();
  }
  return out;
}

void ZIVIncludeNSErrorCategory() {}
