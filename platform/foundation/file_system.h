// File locations and small file operations.
//
// Everything the program writes lives under one home folder, which stands for the user's
// Library: the folder set by SetHomeDirectoryOverride (tests, see test_home.h), else
// $QUELLMARK_HOME when set and non-empty, else $XDG_DATA_HOME/quellmark, else
// $HOME/.local/share/quellmark. It is worked out at every call, so a test that sets an override
// gets its own folders at once. A running process never changes its environment for this: another
// thread may be reading it (setenv is not thread-safe).
//
// Errors from the operating system are reported in kPOSIXErrorDomain with errno as the code,
// the path under kFilePathErrorKey and a description naming the operation.
//
// Thread safety: all functions may be called from any thread.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

namespace fnd {

// The home folder (see above); not created.
std::string HomeDirectory();
// The home folder that an environment names, with `variable` answering a variable's value ("" when
// unset): the rule above without the override.
std::string HomeDirectoryInEnvironment(
    const std::function<std::string(const char* name)>& variable);
// Replaces the home folder of the whole process until called again; nullopt returns to the
// environment. Any thread.
void SetHomeDirectoryOverride(std::optional<std::string> home);
std::optional<std::string> HomeDirectoryOverride();
// Subfolders of the home, created (with the home) when missing. When creation fails the path is
// still returned, and the failure shows at the first file operation in it.
std::string ApplicationSupportDirectory();  // <home>/Application Support
std::string PreferencesDirectory();         // <home>/Preferences
std::string CachesDirectory();              // <home>/Caches

// `a` and `b` joined with one "/".
std::string JoinPath(std::string_view a, std::string_view b);
// The folder part of a path ("" for a bare name), and the last component.
std::string DirectoryName(std::string_view path);
std::string BaseName(std::string_view path);

bool FileExists(const std::string& path);
bool IsDirectory(const std::string& path);

// Creates the folder and every missing parent (mode 0755). True when it exists afterwards.
bool CreateDirectories(const std::string& path, Error* error = nullptr);
// Removes a file, or a folder with everything in it. A missing path is an error (ENOENT).
bool RemoveItem(const std::string& path, Error* error = nullptr);
// Moves a file or folder; fails when the destination exists.
bool MoveItem(const std::string& from, const std::string& to, Error* error = nullptr);
// The names in a folder, sorted, without "." and "..".
std::optional<std::vector<std::string>> ListDirectory(const std::string& path,
                                                      Error* error = nullptr);

// Reads a whole file.
std::optional<Data> ReadFileData(const std::string& path, Error* error = nullptr);
// Writes atomically: a temporary file beside the target with `mode`, fsync, rename. The folder
// must exist. The replaced file's "user." extended attributes (such as the backup-exclusion mark)
// are carried over. On failure the old file (if any) is untouched and no temporary file is left.
bool WriteFileAtomically(const std::string& path, std::string_view bytes, mode_t mode = 0644,
                         Error* error = nullptr);

// Marks a file or folder as excluded from backup (or clears the mark) with the extended
// attribute "user.quellmark.exclude_from_backup". A filesystem without user attributes, or a
// missing file, is an error.
bool SetExcludedFromBackup(const std::string& path, bool excluded, Error* error = nullptr);
// Whether the mark is set; nullopt and an error when the file is missing or unreadable.
std::optional<bool> IsExcludedFromBackup(const std::string& path, Error* error = nullptr);

// The error for an errno value: kPOSIXErrorDomain, code `err`, description
// "<operation> <path>: <strerror>".
Error ErrorFromErrno(int err, std::string_view operation, std::string_view path);

}  // namespace fnd
