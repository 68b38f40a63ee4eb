// APMPEventContext: the state of one event's editing: the event as handed in, the edited event
// that callbacks read and change, and the events that callbacks created.
//
// Thread safety: none; used on the engine's worker queue only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "analytics/script/event.h"

class APMPEventContext {
 public:
  // An empty event (name "", timestamp 0, no parameters).
  APMPEventContext() = default;
  explicit APMPEventContext(const APMPEvent& event) { setInputEvent(event); }

  // Sets the input, makes the output a copy of it and empties the created events.
  void setInputEvent(const APMPEvent& event);
  const APMPEvent& inputEvent() const { return inputEvent_; }
  const APMPEvent& outputEvent() const { return outputEvent_; }
  APMPEvent& mutableOutputEvent() { return outputEvent_; }
  void setOutputEvent(const APMPEvent& event) { outputEvent_ = event; }
  const std::vector<APMPEvent>& eventsToLog() const { return loggedEvents_; }
  // Adds `size` to what the created events of this input event hold; false (nothing added) when
  // the sum would pass `most`.
  bool addCreatedSize(size_t size, size_t most) {
    if (size > most || createdSize_ > most - size) return false;
    createdSize_ += size;
    return true;
  }

  // Appends a created event whose parameters are normalised against the input event's
  // parameters of the same names (APMPNormalizedParameter).
  void logEventWithName(const std::string& name, int64_t timestamp,
                        const fnd::Dictionary& parameters);

 private:
  APMPEvent inputEvent_;
  APMPEvent outputEvent_;
  std::vector<APMPEvent> loggedEvents_;
  size_t createdSize_ = 0;
};
