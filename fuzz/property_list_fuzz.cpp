// Parses arbitrary bytes as a property list (XML or binary). Whatever parses and can be written
// again must read back from both formats.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/foundation/property_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using fnd::PropertyList;
  using fnd::PropertyListFormat;
  auto value = PropertyList::FromData(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!value) return 0;
  for (auto format : {PropertyListFormat::kXML, PropertyListFormat::kBinary}) {
    auto bytes = PropertyList::ToData(*value, format);
    if (!bytes) continue;  // Values a plist cannot hold (such as invalid UTF-8) are refused.
    if (!PropertyList::FromData(*bytes)) std::abort();
  }
  return 0;
}
