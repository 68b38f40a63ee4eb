#include "analytics/foundation/file_locations.h"

#include "analytics/engine/measurement.h"
#include "analytics/foundation/errors.h"
#include "analytics/foundation/monitor.h"
#include "platform/foundation/file_system.h"

namespace {

constexpr const char* kEngineFolder = "Rivado/Measurement";

}  // namespace

std::string ZIVFilePathForPreferencesName(const std::string& name) {
  if (name.empty()) return "";
  if (fnd::HomeDirectory().empty()) {
    ZIVMeasurement::monitor()->logWithLevel(2, 19000,
                                            "NSSearchPath for Library directory is empty");
    return "";
  }
  return fnd::JoinPath(fnd::PreferencesDirectory(), name + ".plist");
}

std::string ZIVFilePathForDatabaseName(const std::string& name) {
  if (name.empty()) return "";
  if (fnd::HomeDirectory().empty()) {
    ZIVMeasurement::monitor()->logWithLevel(
        2, 19001, "NSSearchPath for ApplicationSupport directory is empty");
    return "";
  }
  return fnd::JoinPath(fnd::JoinPath(fnd::ApplicationSupportDirectory(), kEngineFolder), name);
}

std::string ZIVFilePathForPersistentDictionaryName(const std::string& name) {
  std::string path = ZIVFilePathForDatabaseName(name);
  if (path.empty()) return path;
  const std::string base = fnd::BaseName(name);
  const size_t dot = base.rfind('.');
  const bool hasPlistExtension =
      dot != std::string::npos && dot > 0 && base.substr(dot) == ".plist";
  if (!hasPlistExtension) path += ".plist";
  return path;
}

bool ZIVExcludeFilePathFromBackup(const std::string& path, fnd::Error* error) {
  return fnd::SetExcludedFromBackup(path, true, error);
}

bool ZIVDeleteFile(const std::string& path, fnd::Error* error) {
  if (path.empty()) return ZIVSetError(error, 1, "Received empty path for deleting file");
  return fnd::RemoveItem(path, error);
}

bool ZIVMigrateUserDefaultsToPersistentDictionary(const std::string& name) {
  if (name.empty()) return false;
  const std::string preferencesPath = ZIVFilePathForPreferencesName(name);
  const std::string dictionaryPath = ZIVFilePathForPersistentDictionaryName(name);
  if (preferencesPath.empty() || dictionaryPath.empty()) return false;
  if (fnd::FileExists(preferencesPath)) {
    if (fnd::IsDirectory(preferencesPath)) return false;
    if (fnd::FileExists(dictionaryPath)) {
      if (fnd::IsDirectory(dictionaryPath)) return false;
      if (!fnd::RemoveItem(preferencesPath)) return false;
    } else {
      if (!fnd::CreateDirectories(fnd::DirectoryName(dictionaryPath))) return false;
      if (!fnd::MoveItem(preferencesPath, dictionaryPath)) return false;
    }
  }
  // The platform preferences keep no search list of suites: each suite is read only through its
  // own application id, so there is nothing to remove here.
  return true;
}
