#include "analytics/engine/rivado_service_file_util.h"

#include "platform/foundation/property_list.h"

namespace {

constexpr const char* kResourceName = "RivadoService-Info";
constexpr const char* kResourceType = "plist";

}  // namespace

std::optional<std::string> ZIVRivadoServiceFileUtil::rivadoServiceInfoPlistPath(
    const fnd::Bundle& bundle) {
  return bundle.pathForResource(kResourceName, kResourceType);
}

std::optional<fnd::Dictionary> ZIVRivadoServiceFileUtil::dictionaryFromRivadoServiceInfoPlist(
    const fnd::Bundle& bundle) {
  std::optional<std::string> path = rivadoServiceInfoPlistPath(bundle);
  if (!path) return std::nullopt;
  std::optional<fnd::Value> value = fnd::PropertyList::ReadFile(*path);
  if (!value || !value->isDictionary()) return std::nullopt;
  return *value->dictionary();
}
