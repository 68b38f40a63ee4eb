#include "analytics/audiences/audience_messages.h"

std::vector<uint64_t> ZIVAudienceWordsOfField(const NANOMessageBase* message, int32_t position) {
  std::vector<uint64_t> words;
  if (!message) return words;
  std::optional<fnd::Array> items = NANOGetArray(message, position, nullptr);
  if (!items) return words;
  words.reserve(items->size());
  for (const fnd::Value& item : *items) words.push_back(static_cast<uint64_t>(item.asInt()));
  return words;
}

void ZIVAudienceSetWordsOfField(NANOMessageBase* message, int32_t position,
                                const std::vector<uint64_t>& words) {
  fnd::Array array;
  array.reserve(words.size());
  for (uint64_t word : words) array.push_back(fnd::Value::Int64(static_cast<int64_t>(word)));
  NANOSetArray(message, position, &array);
}
