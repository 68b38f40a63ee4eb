#include "platform/foundation/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>

namespace fnd {

namespace {

constexpr const char* kExcludeFromBackupAttribute = "user.quellmark.exclude_from_backup";

// The home set by SetHomeDirectoryOverride; read on every thread, hence the lock.
std::mutex& OverrideMutex() {
  static std::mutex* mu = new std::mutex();
  return *mu;
}
std::optional<std::string>& OverrideLocked() {
  static auto* home = new std::optional<std::string>();
  return *home;
}

bool Fail(Error* error, int err, std::string_view op, std::string_view path) {
  return SetError(error, ErrorFromErrno(err, op, path));
}

std::string EnsureSubdirectory(const char* name) {
  std::string path = JoinPath(HomeDirectory(), name);
  // A failure shows at the first file operation in the folder; the path is still the answer.
  (void)CreateDirectories(path);
  return path;
}

bool RemoveTree(const std::string& path, Error* error) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return Fail(error, errno, "remove", path);
  if (S_ISDIR(st.st_mode)) {
    auto names = ListDirectory(path, error);
    if (!names) return false;
    for (const auto& n : *names) {
      if (!RemoveTree(JoinPath(path, n), error)) return false;
    }
    if (rmdir(path.c_str()) != 0) return Fail(error, errno, "remove", path);
    return true;
  }
  if (unlink(path.c_str()) != 0) return Fail(error, errno, "remove", path);
  return true;
}

// Copies the user attributes (the backup-exclusion mark among them) of the file being replaced to
// its replacement, so that an atomic rewrite does not drop them.
void CopyUserAttributes(const std::string& from, int toFd) {
  ssize_t size = listxattr(from.c_str(), nullptr, 0);
  if (size <= 0) return;  // No file, no attributes, or no attribute support: nothing to keep.
  std::string names(static_cast<size_t>(size), '\0');
  size = listxattr(from.c_str(), names.data(), names.size());
  if (size <= 0) return;
  names.resize(static_cast<size_t>(size));
  for (size_t start = 0; start < names.size();) {
    std::string name = names.c_str() + start;
    start += name.size() + 1;
    if (name.rfind("user.", 0) != 0) continue;
    ssize_t length = getxattr(from.c_str(), name.c_str(), nullptr, 0);
    if (length < 0) continue;
    std::string value(static_cast<size_t>(length), '\0');
    length = getxattr(from.c_str(), name.c_str(), value.data(), value.size());
    if (length < 0) continue;
    // Best effort: the new file is still written when an attribute cannot be copied.
    (void)fsetxattr(toFd, name.c_str(), value.data(), static_cast<size_t>(length), 0);
  }
}

std::string TemporarySibling(const std::string& path) {
  static thread_local std::mt19937_64 rng{std::random_device{}()};
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, ".tmp.%d.%016llx", static_cast<int>(getpid()),
                static_cast<unsigned long long>(rng()));
  return path + suffix;
}

}  // namespace

Error ErrorFromErrno(int err, std::string_view operation, std::string_view path) {
  Dictionary info;
  std::string text = std::string(operation);
  if (!path.empty()) text += " " + std::string(path);
  text += ": ";
  text += std::strerror(err);
  info.set(kLocalizedDescriptionKey, text);
  if (!path.empty()) info.set(kFilePathErrorKey, std::string(path));
  return Error(kPOSIXErrorDomain, err, std::move(info));
}

std::string HomeDirectory() {
  if (std::optional<std::string> home = HomeDirectoryOverride()) return *home;
  return HomeDirectoryInEnvironment([](const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
  });
}

std::string HomeDirectoryInEnvironment(
    const std::function<std::string(const char* name)>& variable) {
  if (std::string home = variable("QUELLMARK_HOME"); !home.empty()) return home;
  if (std::string xdg = variable("XDG_DATA_HOME"); !xdg.empty()) {
    return JoinPath(xdg, "quellmark");
  }
  std::string user = variable("HOME");
  if (user.empty()) {
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) user = pw->pw_dir;
  }
  if (user.empty()) user = "/tmp";
  return JoinPath(user, ".local/share/quellmark");
}

void SetHomeDirectoryOverride(std::optional<std::string> home) {
  std::lock_guard<std::mutex> lock(OverrideMutex());
  OverrideLocked() = std::move(home);
}

std::optional<std::string> HomeDirectoryOverride() {
  std::lock_guard<std::mutex> lock(OverrideMutex());
  return OverrideLocked();
}

std::string ApplicationSupportDirectory() { return EnsureSubdirectory("Application Support"); }
std::string PreferencesDirectory() { return EnsureSubdirectory("Preferences"); }
std::string CachesDirectory() { return EnsureSubdirectory("Caches"); }

std::string JoinPath(std::string_view a, std::string_view b) {
  if (a.empty()) return std::string(b);
  if (b.empty()) return std::string(a);
  std::string out(a);
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  while (!b.empty() && b.front() == '/') b.remove_prefix(1);
  if (out != "/") out += '/';
  out += b;
  return out;
}

std::string DirectoryName(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return "";
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

std::string BaseName(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  size_t slash = path.rfind('/');
  if (slash == std::string_view::npos || path == "/") return std::string(path);
  return std::string(path.substr(slash + 1));
}

bool FileExists(const std::string& path) {
  struct stat st;
  return !path.empty() && stat(path.c_str(), &st) == 0;
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CreateDirectories(const std::string& path, Error* error) {
  if (path.empty()) return Fail(error, ENOENT, "create folder", path);
  if (IsDirectory(path)) return true;
  std::string parent = DirectoryName(path);
  if (!parent.empty() && parent != path && !CreateDirectories(parent, error)) return false;
  if (mkdir(path.c_str(), 0755) != 0 && !(errno == EEXIST && IsDirectory(path))) {
    return Fail(error, errno == EEXIST ? ENOTDIR : errno, "create folder", path);
  }
  return true;
}

bool RemoveItem(const std::string& path, Error* error) {
  if (path.empty()) return Fail(error, ENOENT, "remove", path);
  return RemoveTree(path, error);
}

bool MoveItem(const std::string& from, const std::string& to, Error* error) {
  struct stat st;
  if (lstat(to.c_str(), &st) == 0) return Fail(error, EEXIST, "move to", to);
  if (rename(from.c_str(), to.c_str()) != 0) return Fail(error, errno, "move", from);
  return true;
}

std::optional<std::vector<std::string>> ListDirectory(const std::string& path, Error* error) {
  DIR* dir = opendir(path.c_str());
  if (!dir) {
    Fail(error, errno, "list", path);
    return std::nullopt;
  }
  std::vector<std::string> names;
  while (dirent* e = readdir(dir)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(std::move(n));
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

std::optional<Data> ReadFileData(const std::string& path, Error* error) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    Fail(error, errno, "read", path);
    return std::nullopt;
  }
  Data out;
  uint8_t buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      close(fd);
      Fail(error, err, "read", path);
      return std::nullopt;
    }
    if (n == 0) break;
    out.insert(out.end(), buf, buf + n);
  }
  close(fd);
  return out;
}

bool WriteFileAtomically(const std::string& path, std::string_view bytes, mode_t mode,
                         Error* error) {
  if (path.empty()) return Fail(error, ENOENT, "write", path);
  const std::string tmp = TemporarySibling(path);
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) return Fail(error, errno, "write", path);
  auto abandon = [&](int err) {
    close(fd);
    unlink(tmp.c_str());
    return Fail(error, err, "write", path);
  };
  // The umask may have narrowed the mode; the caller's mode is what the file must have.
  if (fchmod(fd, mode) != 0) return abandon(errno);
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return abandon(errno);
    }
    done += static_cast<size_t>(n);
  }
  CopyUserAttributes(path, fd);
  if (fsync(fd) != 0) return abandon(errno);
  if (close(fd) != 0) {
    int err = errno;
    unlink(tmp.c_str());
    return Fail(error, err, "write", path);
  }
  if (rename(tmp.c_str(), path.c_str()) != 0) {
    int err = errno;
    unlink(tmp.c_str());
    return Fail(error, err, "write", path);
  }
  return true;
}

bool SetExcludedFromBackup(const std::string& path, bool excluded, Error* error) {
  if (path.empty()) return Fail(error, ENOENT, "exclude from backup", path);
  if (excluded) {
    if (setxattr(path.c_str(), kExcludeFromBackupAttribute, "1", 1, 0) != 0) {
      return Fail(error, errno, "exclude from backup", path);
    }
    return true;
  }
  if (removexattr(path.c_str(), kExcludeFromBackupAttribute) != 0 && errno != ENODATA) {
    return Fail(error, errno, "include in backup", path);
  }
  return true;
}

std::optional<bool> IsExcludedFromBackup(const std::string& path, Error* error) {
  char value[8];
  ssize_t n = getxattr(path.c_str(), kExcludeFromBackupAttribute, value, sizeof value);
  if (n >= 0) return n > 0 && value[0] == '1';
  if (errno == ENODATA) return false;
  Fail(error, errno, "read backup attribute of", path);
  return std::nullopt;
}

}  // namespace fnd
