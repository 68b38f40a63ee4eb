#include "platform/foundation/uuid.h"

#include <uuid/uuid.h>

namespace fnd {

UUID UUID::Random() {
  uuid_t raw;
  uuid_generate_random(raw);
  Bytes bytes;
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = raw[i];
  return UUID(bytes);
}

std::optional<UUID> UUID::Parse(std::string_view text) {
  // uuid_parse accepts exactly the 36-character form; check the length first since it reads a
  // NUL-terminated string.
  if (text.size() != 36) return std::nullopt;
  std::string s(text);
  uuid_t raw;
  if (uuid_parse(s.c_str(), raw) != 0) return std::nullopt;
  Bytes bytes;
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = raw[i];
  return UUID(bytes);
}

std::string UUID::uuidString() const {
  uuid_t raw;
  for (size_t i = 0; i < bytes_.size(); ++i) raw[i] = bytes_[i];
  char out[37];
  uuid_unparse_upper(raw, out);
  return std::string(out, 36);
}

}  // namespace fnd
