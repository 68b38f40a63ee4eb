// Where the engine keeps its files, and the few file operations it needs: backup exclusion,
// deletion, and the move of an old preferences file into the engine's own folder.
//
// Paths are strings; "" means no path. The user's Library folder is the home folder
// (fnd::HomeDirectory(), $QUELLMARK_HOME in tests); preferences live in its "Preferences"
// folder, the engine's files in "Application Support/Rivado/Measurement".
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <string>

#include "platform/foundation/error.h"

// <Library>/Preferences/<name>.plist; "" for an empty name. Logs 19000 (level 2) and gives ""
// when there is no Library folder.
std::string ZIVFilePathForPreferencesName(const std::string& name);
// <Application Support>/Rivado/Measurement/<name>; "" for an empty name. Logs 19001 (level 2)
// and gives "" when there is no Application Support folder.
std::string ZIVFilePathForDatabaseName(const std::string& name);
// As ZIVFilePathForDatabaseName, with ".plist" appended unless the name's extension already is
// "plist".
std::string ZIVFilePathForPersistentDictionaryName(const std::string& name);

// Marks the file or folder as excluded from backup. The platform's result and error pass through.
bool ZIVExcludeFilePathFromBackup(const std::string& path, fnd::Error* error = nullptr);

// Removes the item at the path. An empty path fails with an engine error of code 1, "Received
// empty path for deleting file", without touching the file system.
bool ZIVDeleteFile(const std::string& path, fnd::Error* error = nullptr);

// Moves the preferences file of suite `name` to the engine's persistent-dictionary path of the
// same name, unless a file is already there (then the old preferences file is deleted). True when
// nothing is left to move: also when there was no preferences file. False for an empty name, a
// folder at either path, or a failed create, move or delete.
bool ZIVMigrateUserDefaultsToPersistentDictionary(const std::string& name);
