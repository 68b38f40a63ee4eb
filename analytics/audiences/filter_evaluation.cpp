#include "analytics/audiences/filter_evaluation.h"

#include <cmath>

#include "analytics/audiences/audience_messages.h"
#include "analytics/audiences/number_filter.h"
#include "analytics/audiences/string_filter.h"
#include "analytics/engine/log_formatting.h"
#include "analytics/engine/measurement.h"
#include "analytics/foundation/monitor.h"
#include "analytics/foundation/numeric_util.h"

namespace {

ZIVMonitor& Monitor() { return *ZIVMeasurement::monitor(); }

}  // namespace

std::optional<bool> ZIVAudienceEvaluateFilterWithValue(const APMPBFilter* filter,
                                                       const ZIVValuePtr& value) {
  std::shared_ptr<APMPBNumberFilter> numberFilter =
      filter ? NANOGetMessage<APMPBNumberFilter>(filter, APMPBFilter::kNumberFilter) : nullptr;
  std::shared_ptr<APMPBStringFilter> stringFilter =
      filter ? NANOGetMessage<APMPBStringFilter>(filter, APMPBFilter::kStringFilter) : nullptr;
  if (!numberFilter && !stringFilter) {
    Monitor().logWithLevel(
        1, 7000,
        "Filter has neither a number nor string filter. Audience filter will not be evaluated");
    return std::nullopt;
  }
  std::optional<bool> outcome;
  if (numberFilter) {
    if (!value) return std::nullopt;
    if (value->isString()) {
      const std::string text = value->stringValue().value_or("");
      if (!ZIVIsValidNumericString(text)) {
        Monitor().logWithLevel(
            3, 7001,
            "String value is not a numeric value. Audience filter will not be evaluated. Value, "
            "filter",
            fnd::Value(text), ZIVAudienceMessageContext(filter));
        return std::nullopt;
      }
      std::optional<ZIVDecimalNumber> number = ZIVParseNumericValueFromString(text);
      if (!number) return std::nullopt;
      outcome = ZIVAudienceEvaluateNumberFilterWithDecimalNumber(numberFilter.get(), *number);
    } else if (value->isDouble()) {
      const double number = value->doubleValue();
      if (!std::isfinite(number)) {
        Monitor().logWithLevel(
            3, 7002, "Value is not within double range. Audience filter will not be evaluated");
        return std::nullopt;
      }
      outcome = ZIVAudienceEvaluateNumberFilterWithDouble(numberFilter.get(), number);
    } else if (value->isInt64()) {
      outcome = ZIVAudienceEvaluateNumberFilterWithInt64(numberFilter.get(), value->int64Value());
    } else {
      return std::nullopt;
    }
  } else {
    if (!value || !value->isString()) {
      Monitor().logWithLevel(3, 7003,
                             "Value is not a string. Audience filter will not be evaluated");
      return std::nullopt;
    }
    outcome = ZIVAudienceEvaluateStringFilterWithString(stringFilter.get(), value->stringValue());
  }
  if (outcome && NANOHasField(filter, APMPBFilter::kTag3Flag) &&
      NANOGetBool(filter, APMPBFilter::kTag3Flag)) {
    outcome = !*outcome;
  }
  return outcome;
}

std::optional<bool> ZIVAudienceEvaluateEventFilter(const APMPBEventFilter* filter,
                                                   const std::string& eventName,
                                                   const ZIVEvent::Parameters& parameters,
                                                   const ZIVEventAggregates* aggregates) {
  if (!filter) {
    Monitor().logWithLevel(1, 7004, "Event filter is nil. Audience filter will not be evaluated");
    return std::nullopt;
  }
  if (eventName.empty()) {
    Monitor().logWithLevel(1, 7005, "Event name is nil. Audience filter will not be evaluated");
    return std::nullopt;
  }
  std::optional<std::string> filterName =
      ZIVAudienceStringField(filter, APMPBEventFilter::kEventName);
  if (!filterName || *filterName != eventName) {
    Monitor().logWithLevel(
        1, 7006,
        "Event filter name does not match event name. Audience filter will not be evaluated");
    return std::nullopt;
  }
  std::shared_ptr<APMPBNumberFilter> countFilter =
      NANOGetMessage<APMPBNumberFilter>(filter, APMPBEventFilter::kTag5NumberFilter);
  std::vector<std::shared_ptr<APMPBFilter>> parameterFilters =
      ZIVAudienceMessagesOfField<APMPBFilter>(filter, APMPBEventFilter::kParameterFilters);
  if (!countFilter && parameterFilters.empty()) return true;

  if (countFilter) {
    if (!aggregates || aggregates->name() != eventName) {
      Monitor().logWithLevel(
          1, 7007,
          "Event aggregates name does not match event name. Audience filter will not be evaluated",
          aggregates ? fnd::Value(aggregates->name()) : fnd::Value(), fnd::Value(eventName),
          ZIVAudienceMessageContext(filter));
      return std::nullopt;
    }
    const bool sessionScoped = NANOGetBool(filter, APMPBEventFilter::kTag8Flag);
    const int64_t count =
        sessionScoped ? aggregates->currentSessionCount() : aggregates->lifetimeCount();
    std::optional<bool> outcome =
        ZIVAudienceEvaluateNumberFilterWithInt64(countFilter.get(), count);
    if (!outcome || !*outcome) return outcome;
  }

  for (const auto& parameterFilter : parameterFilters) {
    std::optional<std::string> parameterName =
        ZIVAudienceStringField(parameterFilter.get(), APMPBFilter::kParameterName);
    if (!parameterName) {
      Monitor().logWithLevel(
          1, 7008,
          "Event filter does not have parameter name. Audience filter will not be evaluated");
      return std::nullopt;
    }
    auto it = parameters.find(*parameterName);
    if (it == parameters.end() || !it->second) {
      Monitor().logWithLevel(
          3, 7009,
          "Event does not have parameter required by filter. Audience filter will not be "
          "evaluated",
          fnd::Value(eventName), fnd::Value(ZIVParametersAsDictionary(parameters)),
          ZIVAudienceMessageContext(filter));
      return std::nullopt;
    }
    if (it->second->isString() &&
        !NANOHasField(parameterFilter.get(), APMPBFilter::kStringFilter)) {
      Monitor().logWithLevel(
          3, 7010,
          "Event param is a string and the filter does not have a string filter. Audience filter "
          "will not be evaluated. Event name, event params, filter",
          fnd::Value(eventName), fnd::Value(ZIVParametersAsDictionary(parameters)),
          ZIVAudienceMessageContext(filter));
      return std::nullopt;
    }
    std::optional<bool> outcome =
        ZIVAudienceEvaluateFilterWithValue(parameterFilter.get(), it->second);
    if (!outcome || !*outcome) return outcome;
  }
  return true;
}

std::optional<bool> ZIVAudienceEvaluatePropertyFilter(const APMPBPropertyFilter* filter,
                                                      const ZIVUserAttribute* userProperty) {
  if (!filter) {
    Monitor().logWithLevel(1, 7011,
                           "Property filter is nil. Audience filter will not be evaluated");
    return std::nullopt;
  }
  if (!userProperty) {
    Monitor().logWithLevel(1, 7012, "User property is nil. Audience filter will not be evaluated");
    return std::nullopt;
  }
  std::optional<std::string> filterName =
      ZIVAudienceStringField(filter, APMPBPropertyFilter::kPropertyName);
  if (!filterName || *filterName != userProperty->name()) {
    Monitor().logWithLevel(
        1, 7013,
        "User property name does not match property filter name. Audience filter will not be "
        "evaluated");
    return std::nullopt;
  }
  std::shared_ptr<APMPBFilter> valueFilter =
      NANOGetMessage<APMPBFilter>(filter, APMPBPropertyFilter::kFilter);
  if (!valueFilter) {
    Monitor().logWithLevel(
        1, 7014, "Property filter does not have filter. Audience filter will not be evaluated");
    return std::nullopt;
  }
  const ZIVValuePtr& value = userProperty->value();
  if (!value || !(value->isString() || value->isInt64() || value->isDouble())) {
    Monitor().logWithLevel(
        1, 7015, "Unknown user property type. Audience filter will not be evaluated. Property Name",
        fnd::Value(ZIVFormattedUserPropertyName(fnd::Value(userProperty->name()))));
    return std::nullopt;
  }
  return ZIVAudienceEvaluateFilterWithValue(valueFilter.get(), value);
}

std::optional<bool> ZIVGetEventFilterEvaluationResult(const ZIVEventFilter& filter,
                                                      const ZIVEvent::Parameters& parameters,
                                                      const ZIVEventAggregates* aggregates) {
  std::shared_ptr<APMPBEventFilter> message =
      filter.data.empty() ? nullptr : APMPBEventFilter::initWithBuffer(filter.data);
  if (!message) {
    Monitor().logWithLevel(
        1, 6035,
        "Event filter contains no data or corrupt data. Event will not be evaluated. Event name, "
        "filter ID, audience ID, dynamic",
        fnd::Array{fnd::Value(ZIVFormattedEventName(fnd::Value(filter.eventName))),
                   fnd::Value(filter.filterID), fnd::Value(filter.audienceID),
                   fnd::Value(filter.isDynamic())});
    return std::nullopt;
  }
  return ZIVAudienceEvaluateEventFilter(message.get(), filter.eventName, parameters, aggregates);
}

std::optional<bool> ZIVGetPropertyFilterEvaluationResult(bool previouslyTrue,
                                                         const ZIVPropertyFilter& filter,
                                                         const ZIVUserAttribute& userProperty) {
  std::shared_ptr<APMPBPropertyFilter> message =
      filter.data.empty() ? nullptr : APMPBPropertyFilter::initWithBuffer(filter.data);
  if (!message) {
    Monitor().logWithLevel(
        1, 6036,
        "User property filter contains no data or corrupt data. User property will not be "
        "evaluated. User property name, filter ID, audience ID, dynamic",
        fnd::Array{fnd::Value(ZIVFormattedUserPropertyName(fnd::Value(filter.propertyName))),
                   fnd::Value(filter.filterID), fnd::Value(filter.audienceID),
                   fnd::Value(filter.isDynamic())});
    return std::nullopt;
  }
  std::optional<bool> outcome = ZIVAudienceEvaluatePropertyFilter(message.get(), &userProperty);
  const bool isStatic = !filter.isDynamic() && !filter.isSequence() && !filter.isSessionScoped();
  if (previouslyTrue && isStatic && !(outcome && *outcome)) return std::nullopt;
  return outcome;
}

bool ZIVShouldUpdatePropertyFilterEvaluationResult(bool newResultIsTrue,
                                                   const ZIVPropertyFilter& filter) {
  if (newResultIsTrue) return true;
  return filter.isDynamic() && !filter.isSessionScoped();
}

std::shared_ptr<ZIVUserAttribute> ZIVConvertNanoToUserProperty(const APMPBUserAttribute* message) {
  if (!message) return nullptr;
  ZIVValuePtr value;
  if (NANOHasField(message, APMPBUserAttribute::kStringValue)) {
    std::optional<std::string> text = NANOGetString(message, APMPBUserAttribute::kStringValue);
    if (text) value = ZIVValue::initWithString(*text);
  } else if (NANOHasField(message, APMPBUserAttribute::kDoubleValue)) {
    value = ZIVValue::initWithDouble(NANOGetDouble(message, APMPBUserAttribute::kDoubleValue));
  } else if (NANOHasField(message, APMPBUserAttribute::kIntValue)) {
    value = ZIVValue::initWithInt64(NANOGetInt64(message, APMPBUserAttribute::kIntValue));
  }
  if (!value) return nullptr;
  const std::string name = NANOGetString(message, APMPBUserAttribute::kName).value_or("");
  const double lastSet =
      static_cast<double>(NANOGetInt64(message, APMPBUserAttribute::kSetTimestampMillis)) / 1000.0;
  return ZIVUserAttribute::initWithOrigin("", name, std::move(value), lastSet);
}
