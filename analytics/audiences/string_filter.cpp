#include "analytics/audiences/string_filter.h"

#include <vector>

#include "analytics/audiences/audience_messages.h"
#include "analytics/engine/measurement.h"
#include "analytics/foundation/monitor.h"
#include "analytics/foundation/monitor_context.h"
#include "platform/foundation/text.h"

namespace {

void Log(int64_t code, const std::string& message, const APMPBStringFilter* filter) {
  ZIVMeasurement::monitor()->logWithLevel(1, code, message, ZIVAudienceMessageContext(filter));
}

bool IsCaseSensitive(const APMPBStringFilter* filter) {
  return NANOHasField(filter, APMPBStringFilter::kTag3Flag) &&
         NANOGetBool(filter, APMPBStringFilter::kTag3Flag);
}

std::vector<std::string> ExpressionList(const APMPBStringFilter* filter) {
  std::vector<std::string> list;
  std::optional<fnd::Array> items =
      NANOGetArray(filter, APMPBStringFilter::kExpressionList, nullptr);
  if (!items) return list;
  for (const fnd::Value& item : *items) {
    if (item.isString()) list.push_back(item.asString());
  }
  return list;
}

bool BeginsWith(const std::string& string, const std::string& expression, bool caseSensitive) {
  if (caseSensitive)
    return string.compare(0, expression.size(), expression) == 0 &&
           string.size() >= expression.size();
  fnd::FindOptions options;
  options.caseInsensitive = true;
  options.anchored = true;
  fnd::TextRange range = fnd::FindString(string, expression, options);
  return range.found() && range.location == 0;
}

bool EndsWith(const std::string& string, const std::string& expression, bool caseSensitive) {
  if (caseSensitive) {
    return string.size() >= expression.size() &&
           string.compare(string.size() - expression.size(), expression.size(), expression) == 0;
  }
  fnd::FindOptions options;
  options.caseInsensitive = true;
  options.anchored = true;
  options.backwards = true;
  fnd::TextRange range = fnd::FindString(string, expression, options);
  const size_t stringLength = fnd::UTF16Length(string);
  const size_t expressionLength = fnd::UTF16Length(expression);
  return range.found() && stringLength >= expressionLength &&
         range.location == stringLength - expressionLength;
}

bool Contains(const std::string& string, const std::string& expression, bool caseSensitive) {
  if (caseSensitive) return string.find(expression) != std::string::npos;
  fnd::FindOptions options;
  options.caseInsensitive = true;
  return fnd::FindString(string, expression, options).found();
}

bool Exact(const std::string& string, const std::string& expression, bool caseSensitive) {
  if (caseSensitive) return string == expression;
  fnd::FindOptions options;
  options.caseInsensitive = true;
  options.anchored = true;
  fnd::TextRange range = fnd::FindString(string, expression, options);
  return range.found() && range.location == 0 &&
         fnd::UTF16Length(string) == fnd::UTF16Length(expression);
}

}  // namespace

bool ZIVAudienceIsValidStringFilter(const APMPBStringFilter* filter) {
  return ZIVAudienceInternalIsValidStringFilter(filter, nullptr);
}

bool ZIVAudienceInternalIsValidStringFilter(const APMPBStringFilter* filter,
                                            std::optional<fnd::Regex>* regex) {
  if (!filter || !NANOHasField(filter, APMPBStringFilter::kMatchType)) {
    Log(9000, "String filter has no match type", filter);
    return false;
  }
  const int32_t type = NANOGetInt32(filter, APMPBStringFilter::kMatchType);
  if (type == ZIVAudienceMatchTypeInList) {
    if (!ExpressionList(filter).empty()) return true;
    Log(9003, "String filter has no expression list", filter);
    return false;
  }
  if (type == ZIVAudienceMatchTypeUnknown) {
    Log(9001, "String filter has unknown match type", filter);
    return false;
  }
  std::optional<std::string> expression =
      ZIVAudienceStringField(filter, APMPBStringFilter::kExpression);
  if (!expression) {
    Log(9002, "String filter has no expression", filter);
    return false;
  }
  if (type == ZIVAudienceMatchTypeRegularExpression) {
    fnd::Error error;
    std::optional<fnd::Regex> compiled = fnd::Regex::Compile(
        *expression, IsCaseSensitive(filter) ? fnd::Regex::kNone : fnd::Regex::kCaseInsensitive,
        &error);
    if (!compiled) {
      ZIVMeasurement::monitor()->logWithLevel(1, 9004, "Unable to parse regular expression",
                                              ZIVAudienceMessageContext(filter),
                                              ZIVErrorContext(error));
      return false;
    }
    if (regex) *regex = std::move(compiled);
  }
  return true;
}

std::optional<bool> ZIVAudienceEvaluateStringFilterWithString(
    const APMPBStringFilter* filter, const std::optional<std::string>& string) {
  if (!string) {
    Log(9005, "Evaluation string is nil. Audience filter will not be evaluated", filter);
    return std::nullopt;
  }
  std::optional<fnd::Regex> regex;
  if (!ZIVAudienceInternalIsValidStringFilter(filter, &regex)) {
    Log(9006, "String filter is invalid. Audience filter will not be evaluated", filter);
    return std::nullopt;
  }
  const bool caseSensitive = IsCaseSensitive(filter);
  const std::string expression =
      ZIVAudienceStringField(filter, APMPBStringFilter::kExpression).value_or("");
  switch (NANOGetInt32(filter, APMPBStringFilter::kMatchType)) {
    case ZIVAudienceMatchTypeRegularExpression: {
      if (!regex) {
        Log(9008, "Parsed regex is nil. Audience filter will not be evaluated", filter);
        return std::nullopt;
      }
      fnd::Error error;
      std::optional<fnd::RegexMatch> match = regex->firstMatch(*string, 0, &error);
      if (!match && error.code() != 0) {
        ZIVMeasurement::monitor()->logWithLevel(
            1, 9009,
            "Regular expression exceeded its work limit. Audience filter will not be evaluated",
            ZIVAudienceMessageContext(filter), ZIVErrorContext(error));
        return std::nullopt;
      }
      return match.has_value();
    }
    case ZIVAudienceMatchTypeBeginsWith:
      return BeginsWith(*string, expression, caseSensitive);
    case ZIVAudienceMatchTypeEndsWith:
      return EndsWith(*string, expression, caseSensitive);
    case ZIVAudienceMatchTypeContains:
      return Contains(*string, expression, caseSensitive);
    case ZIVAudienceMatchTypeExact:
      return Exact(*string, expression, caseSensitive);
    case ZIVAudienceMatchTypeInList:
      for (const std::string& entry : ExpressionList(filter)) {
        if (Exact(*string, entry, caseSensitive)) return true;
      }
      return false;
    case ZIVAudienceMatchTypeUnknown:
      Log(9007,
          "Validated string filter has unknown comparison type. Audience filter will not be "
          "evaluated",
          filter);
      return std::nullopt;
    default:
      return false;
  }
}
