// ZIVRivadoServiceFileUtil: finds and reads the default options file ("RivadoService-Info.plist")
// of the application. Class methods only.
//
// The file is looked for in the given bundle (the main bundle by default). The engine is linked
// into the executable here, so the bundle holding the engine's classes is the main bundle too and
// there is no second place to look.
//
// Thread safety: every method may be called from any thread.
#pragma once

#include <optional>
#include <string>

#include "platform/foundation/bundle.h"
#include "platform/foundation/value.h"

class ZIVRivadoServiceFileUtil {
 public:
  // The path of the resource "RivadoService-Info" of type "plist", or nullopt when the bundle has
  // none.
  static std::optional<std::string> rivadoServiceInfoPlistPath(
      const fnd::Bundle& bundle = fnd::Bundle::mainBundle());
  // The dictionary of that file; nullopt when there is no file, it cannot be read, or it is not a
  // dictionary property list.
  static std::optional<fnd::Dictionary> dictionaryFromRivadoServiceInfoPlist(
      const fnd::Bundle& bundle = fnd::Bundle::mainBundle());
};
