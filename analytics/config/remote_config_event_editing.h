// ZIVScriptEventEditing: the server settings' event-editing runtime over the scripting layer's
// APMPEventEditing. ZIVRemoteConfigServices::makeEventEditing() makes one unless the engine
// installs other services; the event pipeline reaches the runtime through editing().
//
// Thread safety: none; made and used on the engine's worker queue, as APMPEventEditing is.
#pragma once

#include <memory>
#include <string>

#include "analytics/config/remote_config.h"

class APMPEventEditing;

class ZIVScriptEventEditing final : public ZIVRemoteConfigEventEditing {
 public:
  ZIVScriptEventEditing();
  ~ZIVScriptEventEditing() override;
  ZIVScriptEventEditing(const ZIVScriptEventEditing&) = delete;
  ZIVScriptEventEditing& operator=(const ZIVScriptEventEditing&) = delete;

  void setModuleCreator(APMPModuleCreator creator, const std::string& name) override;
  bool loadProgram(const APMPBProgram& program, fnd::Error* error) override;

  // The runtime that edits events. Lives as long as this object.
  APMPEventEditing& editing() const { return *editing_; }

 private:
  const std::unique_ptr<APMPEventEditing> editing_;
};
