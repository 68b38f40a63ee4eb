#include "analytics/script/editing_error.h"

bool APMPESetError(APMPError* error, int64_t code) {
  if (error) *error = fnd::Error(APMPEErrorDomain, code);
  return false;
}
