#include "analytics/config/remote_config_event_editing.h"

#include "analytics/script/event_editing.h"

ZIVScriptEventEditing::ZIVScriptEventEditing() : editing_(std::make_unique<APMPEventEditing>()) {}

ZIVScriptEventEditing::~ZIVScriptEventEditing() = default;

void ZIVScriptEventEditing::setModuleCreator(APMPModuleCreator creator, const std::string& name) {
  editing_->setModuleCreator(std::move(creator), name);
}

bool ZIVScriptEventEditing::loadProgram(const APMPBProgram& program, fnd::Error* error) {
  return editing_->loadProgram(program, error);
}

std::shared_ptr<ZIVRemoteConfigEventEditing> ZIVRemoteConfigServices::makeEventEditing() const {
  return std::make_shared<ZIVScriptEventEditing>();
}
