#include "analytics/foundation/monitor_context.h"

#include <cxxabi.h>

#include <cstdlib>
#include <exception>
#include <memory>
#include <typeinfo>

bool ZIVErrorRecord::isEqual(const fnd::Record& other) const {
  auto o = dynamic_cast<const ZIVErrorRecord*>(&other);
  return o && o->error_ == error_;
}

size_t ZIVErrorRecord::hash() const {
  return std::hash<std::string>()(error_.domain()) ^ std::hash<int64_t>()(error_.code());
}

std::string ZIVErrorRecord::description() const { return error_.description(); }

fnd::Value ZIVErrorContext(const fnd::Error& error) {
  return fnd::Value(std::shared_ptr<fnd::Record>(std::make_shared<ZIVErrorRecord>(error)));
}

fnd::Value ZIVExceptionContext(std::string name, std::string reason,
                               std::vector<std::string> callStackSymbols) {
  return fnd::Value(std::shared_ptr<fnd::Record>(std::make_shared<ZIVExceptionRecord>(
      std::move(name), std::move(reason), std::move(callStackSymbols))));
}

namespace {

std::string Demangle(const char* mangled) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> out(
      abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
  return status == 0 && out ? std::string(out.get()) : std::string(mangled);
}

}  // namespace

fnd::Value ZIVCurrentExceptionContext() {
  std::exception_ptr current = std::current_exception();
  if (!current) return ZIVExceptionContext("UnknownException", "Unknown exception");
  try {
    std::rethrow_exception(current);
  } catch (const std::exception& e) {
    return ZIVExceptionContext(Demangle(typeid(e).name()), e.what());
  } catch (...) {
    return ZIVExceptionContext("UnknownException", "Unknown exception");
  }
}

const ZIVErrorRecord* ZIVErrorFromContext(const fnd::Value& context) {
  auto record = context.record();
  return record ? dynamic_cast<const ZIVErrorRecord*>(record->get()) : nullptr;
}

const ZIVExceptionRecord* ZIVExceptionFromContext(const fnd::Value& context) {
  auto record = context.record();
  return record ? dynamic_cast<const ZIVExceptionRecord*>(record->get()) : nullptr;
}
