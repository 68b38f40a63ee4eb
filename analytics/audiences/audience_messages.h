// Small helpers shared by the audience code: reading and writing the fields of the audience wire
// messages that hold lists of words and timestamps, and turning a message into a log context.
//
// Thread safety: pure functions over messages the caller owns.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/proto/messages.h"
#include "platform/foundation/value.h"

// A copy of the message as a log context; null for a null message.
template <typename T>
fnd::Value ZIVAudienceMessageContext(const T* message) {
  if (!message) return fnd::Value();
  std::shared_ptr<T> copy = T::initWithMessageInfo(message->messageInfo());
  return copy ? fnd::Value(std::shared_ptr<fnd::Record>(copy)) : fnd::Value();
}

// The string field, or nullopt when it is absent or empty.
inline std::optional<std::string> ZIVAudienceStringField(const NANOMessageBase* message,
                                                         int32_t position) {
  if (!message || !NANOHasField(message, position)) return std::nullopt;
  std::optional<std::string> text = NANOGetString(message, position);
  if (!text || text->empty()) return std::nullopt;
  return text;
}

// The 64-bit words of a repeated integer field, in order.
std::vector<uint64_t> ZIVAudienceWordsOfField(const NANOMessageBase* message, int32_t position);
void ZIVAudienceSetWordsOfField(NANOMessageBase* message, int32_t position,
                                const std::vector<uint64_t>& words);

// The sub-messages of a repeated message field, in order (items of another type are skipped).
template <typename T>
std::vector<std::shared_ptr<T>> ZIVAudienceMessagesOfField(const NANOMessageBase* message,
                                                           int32_t position) {
  std::vector<std::shared_ptr<T>> out;
  if (!message) return out;
  std::optional<fnd::Array> items = NANOGetArray(message, position, &T::messageClass());
  if (!items) return out;
  for (const fnd::Value& item : *items) {
    const std::shared_ptr<fnd::Record>* record = item.record();
    if (!record) continue;
    if (auto typed = std::dynamic_pointer_cast<T>(*record)) out.push_back(std::move(typed));
  }
  return out;
}

template <typename T>
void ZIVAudienceSetMessagesOfField(NANOMessageBase* message, int32_t position,
                                   const std::vector<std::shared_ptr<T>>& items) {
  fnd::Array array;
  for (const auto& item : items) {
    if (item) array.push_back(fnd::Value(std::shared_ptr<fnd::Record>(item)));
  }
  NANOSetArray(message, position, &array);
}
