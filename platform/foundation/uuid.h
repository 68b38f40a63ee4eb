// Universally unique identifiers over libuuid. The text form is the platform's: 36 characters,
// upper-case hexadecimal in groups of 8-4-4-4-12 ("E621E1F8-C36C-495A-93FC-0C247A3E6E5F").
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace fnd {

class UUID {
 public:
  using Bytes = std::array<uint8_t, 16>;

  // The nil UUID (all zero).
  UUID() = default;
  explicit UUID(const Bytes& bytes) : bytes_(bytes) {}

  // A new random (version 4) UUID. Thread-safe.
  static UUID Random();
  // Parses the 36-character text form in either case. nullopt for anything else.
  static std::optional<UUID> Parse(std::string_view text);

  // The text form, upper case.
  std::string uuidString() const;
  const Bytes& bytes() const { return bytes_; }

  bool operator==(const UUID&) const = default;

 private:
  Bytes bytes_{};
};

}  // namespace fnd
