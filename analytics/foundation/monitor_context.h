// Context objects that travel with a monitor log line (see monitor.h): any fnd::Value, plus
// records for the two kinds of object the engine logs that are not plain values, an error and a
// caught exception. The monitor describes them in its line and encodes them for its health record.
//
// Thread safety: the records are immutable; every function may be called from any thread.
#pragma once

#include <string>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

// An fnd::Error carried as a context.
class ZIVErrorRecord : public fnd::Record {
 public:
  explicit ZIVErrorRecord(fnd::Error error) : error_(std::move(error)) {}

  const fnd::Error& error() const { return error_; }

  std::string typeName() const override { return "NSError"; }
  bool isEqual(const fnd::Record& other) const override;
  size_t hash() const override;
  // The error's description ("Error Domain=... Code=...").
  std::string description() const override;

 private:
  const fnd::Error error_;
};

// A caught exception carried as a context: its name (the exception's type), its reason and the
// call-stack lines when they are known (one symbolised frame per line; empty on this platform
// unless the thrower recorded them).
class ZIVExceptionRecord : public fnd::Record {
 public:
  ZIVExceptionRecord(std::string name, std::string reason,
                     std::vector<std::string> callStackSymbols = {})
      : name_(std::move(name)),
        reason_(std::move(reason)),
        callStackSymbols_(std::move(callStackSymbols)) {}

  const std::string& name() const { return name_; }
  const std::string& reason() const { return reason_; }
  const std::vector<std::string>& callStackSymbols() const { return callStackSymbols_; }

  std::string typeName() const override { return "NSException"; }
  // The reason, as the platform describes an exception.
  std::string description() const override { return reason_; }

 private:
  const std::string name_;
  const std::string reason_;
  const std::vector<std::string> callStackSymbols_;
};

// The error as a context value.
fnd::Value ZIVErrorContext(const fnd::Error& error);
// An exception as a context value.
fnd::Value ZIVExceptionContext(std::string name, std::string reason,
                               std::vector<std::string> callStackSymbols = {});
// The exception being handled, as a context value. REQUIRES: called inside a catch block. A
// std::exception gives its demangled type as name and what() as reason; anything else gives the
// name "UnknownException" and the reason "Unknown exception".
fnd::Value ZIVCurrentExceptionContext();

// The error or exception record held by a context, or nullptr.
const ZIVErrorRecord* ZIVErrorFromContext(const fnd::Value& context);
const ZIVExceptionRecord* ZIVExceptionFromContext(const fnd::Value& context);
