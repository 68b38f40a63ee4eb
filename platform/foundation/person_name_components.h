// The parts of a person's name, each optional, as an identity provider hands them over.
//
// Thread safety: a plain value.
#pragma once

#include <optional>
#include <string>

namespace fnd {

struct PersonNameComponents {
  std::optional<std::string> namePrefix;
  std::optional<std::string> givenName;
  std::optional<std::string> middleName;
  std::optional<std::string> familyName;
  std::optional<std::string> nameSuffix;
  std::optional<std::string> nickname;

  bool operator==(const PersonNameComponents&) const = default;
};

}  // namespace fnd
