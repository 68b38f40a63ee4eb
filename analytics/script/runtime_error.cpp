#include "analytics/script/runtime_error.h"

fnd::Error APMPMakeError(int64_t code) { return fnd::Error(APMPErrorDomain, code); }

bool APMPSetError(APMPError* error, int64_t code) {
  if (error) *error = APMPMakeError(code);
  return false;
}

bool APMPErrorHasCode(const APMPError& error, int64_t code) {
  return error && error->domain() == APMPErrorDomain && error->code() == code;
}
