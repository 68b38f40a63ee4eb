#include "analytics/script/event_context.h"

void APMPEventContext::setInputEvent(const APMPEvent& event) {
  inputEvent_ = event;
  outputEvent_ = event;
  loggedEvents_.clear();
  createdSize_ = 0;
}

void APMPEventContext::logEventWithName(const std::string& name, int64_t timestamp,
                                        const fnd::Dictionary& parameters) {
  fnd::Dictionary normalized;
  for (const auto& [key, value] : parameters) {
    const std::string& parameterName = key.asString();
    normalized.set(key, APMPNormalizedParameter(
                            parameterName, inputEvent_.parameterForName(parameterName), value));
  }
  loggedEvents_.emplace_back(name, static_cast<double>(timestamp), std::move(normalized));
}
