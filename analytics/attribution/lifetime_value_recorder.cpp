#include "analytics/attribution/lifetime_value_recorder.h"

#include <cmath>

#include "analytics/attribution/saturating_int.h"
#include "analytics/engine/event.h"
#include "analytics/engine/log_formatting.h"
#include "analytics/engine/measurement.h"
#include "analytics/foundation/additions.h"
#include "analytics/foundation/monitor.h"
#include "analytics/foundation/monitor_context.h"
#include "analytics/storage/database.h"
#include "platform/foundation/text.h"

namespace {

constexpr double kMicrosMultiplier = 1000000;

ZIVValuePtr Parameter(const ZIVEvent& event, const char* name) {
  auto found = event.parameters().find(name);
  return found == event.parameters().end() ? nullptr : found->second;
}

fnd::Value Context(const ZIVValuePtr& value) { return value ? value->asObject() : fnd::Value(); }

}  // namespace

bool ZIVLifetimeValueRecorder::isEcommercePurchaseEvent(const ZIVEvent& event) {
  const std::string& name = event.name();
  return name == "ecommerce_purchase" || name == "purchase" || name == "refund";
}

bool ZIVLifetimeValueRecorder::isPurchaseEvent(const ZIVEvent& event) {
  return event.name() == "_iap" || event.name() == "in_app_purchase" ||
         isEcommercePurchaseEvent(event);
}

bool ZIVLifetimeValueRecorder::recordLifetimeValueToDatabase(
    ZIVDatabase& database, const ZIVEvent& event, int32_t maxTrackedCurrencies, double now,
    const std::shared_ptr<ZIVMonitor>& givenMonitor) {
  if (!isPurchaseEvent(event)) return true;
  ZIVMonitor& monitor = givenMonitor ? *givenMonitor : *ZIVMeasurement::monitor();

  ZIVValuePtr currency = Parameter(event, "currency");
  std::optional<std::string> code = currency ? currency->stringValue() : std::nullopt;
  if (!code || ziv_UTF32Length(*code) != 3) {
    monitor.logWithLevel(1, 22000, "Cannot record transaction with invalid currency code",
                         Context(currency));
    return true;
  }
  ZIVValuePtr value = Parameter(event, "value");
  if (!value || !(value->isDouble() || value->isInt64())) {
    monitor.logWithLevel(1, 22001, "Cannot record transaction with invalid transaction value",
                         Context(value));
    return true;
  }

  int64_t amount = 0;
  if (event.name() == "_iap") {
    if (value->isInt64()) {
      amount = value->int64Value();
    } else if (auto micros = ZIVCheckedInt64FromDouble(value->doubleValue())) {
      amount = *micros;
    } else {
      monitor.logWithLevel(1, 22002, "Cannot record transaction with value that is out of bounds");
      return false;
    }
  } else {
    const double units =
        value->isDouble() ? value->doubleValue() : static_cast<double>(value->int64Value());
    std::optional<int64_t> micros =
        ZIVCheckedInt64FromDouble(std::round(units * kMicrosMultiplier));
    // Negating the smallest int64 would overflow: a refund of that size is out of bounds too.
    if (!micros || (event.name() == "refund" && *micros == INT64_MIN)) {
      monitor.logWithLevel(1, 22002, "Cannot record transaction with value that is out of bounds");
      return false;
    }
    amount = event.name() == "refund" ? -*micros : *micros;
  }

  const std::string name =
      std::string(ZIVMeasurementUserAttributeNamePrefixLifetimeValue) + fnd::ToUpper(*code);
  fnd::Error error;
  auto existing = database.allLifetimeValueUserAttributes(&error);
  if (!existing) {
    monitor.logWithLevel(1, 22003, "Failed to query all Lifetime Value User properties. Error",
                         ZIVErrorContext(error));
    return false;
  }
  std::shared_ptr<ZIVUserAttribute> current;
  for (const auto& attribute : *existing) {
    if (attribute && attribute->name() == name) current = attribute;
  }
  std::shared_ptr<ZIVUserAttribute> updated;
  if (current) {
    const int64_t total = current->value() ? current->value()->int64Value() : 0;
    updated = ZIVUserAttribute::initWithOrigin(
        "auto", name, ZIVValue::initWithInt64(ZIVSaturatingAdd(total, amount)), now);
  } else {
    updated = ZIVUserAttribute::initWithOrigin("auto", name, ZIVValue::initWithInt64(amount), now);
  }
  if (!updated) {
    // The validator refused the name made from the currency: treated as an invalid currency.
    monitor.logWithLevel(1, 22000, "Cannot record transaction with invalid currency code",
                         Context(currency));
    return true;
  }
  if (!current && maxTrackedCurrencies > 0 &&
      static_cast<int64_t>(existing->size()) >= maxTrackedCurrencies && !existing->empty() &&
      existing->back()) {
    const std::string& oldest = existing->back()->name();
    fnd::Error deleteError;
    if (!database.deleteUserAttributeWithName(oldest, &deleteError)) {
      monitor.logWithLevel(1, 22004, "Unable to delete Lifetime Value User property. Name, error",
                           fnd::Value(ZIVFormattedUserPropertyName(fnd::Value(oldest))),
                           ZIVErrorContext(deleteError));
      return false;
    }
  }
  fnd::Error writeError;
  if (!database.updateUserAttribute(updated, &writeError) && !writeError.domain().empty()) {
    monitor.logWithLevel(
        1, 22005, "Unable to upsert Lifetime Value User Attribute in database. Name, error",
        fnd::Value(ZIVFormattedUserPropertyName(fnd::Value(name))), ZIVErrorContext(writeError));
    return false;
  }
  monitor.logWithLevel(7, 22006, "Lifetime value has been updated in database",
                       fnd::Value(name + "=" + std::to_string(updated->value()->int64Value())));
  return true;
}
