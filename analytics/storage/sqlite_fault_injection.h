// ZIVSqliteFaultInjection: an SQLite VFS laid over the default one that makes the Nth file read,
// write or sync fail with a chosen SQLite error (an I/O error, a full disk), so that tests reach
// the failure paths of the stores the way a failing disk would. While an instance lives it is
// SQLite's default VFS: every connection opened in that time goes through it; connections
// opened before keep the VFS they had. Counting starts at construction and at every failNth().
//
// Thread safety: one instance at a time per process. Its counters are atomic, so connections
// used on other threads may run while a test arms or reads it.
#pragma once

#include <sqlite3.h>

#include <atomic>
#include <cstdint>

class ZIVSqliteFaultInjection {
 public:
  enum class Call { kRead = 0, kWrite = 1, kSync = 2 };

  ZIVSqliteFaultInjection();
  ~ZIVSqliteFaultInjection();
  ZIVSqliteFaultInjection(const ZIVSqliteFaultInjection&) = delete;
  ZIVSqliteFaultInjection& operator=(const ZIVSqliteFaultInjection&) = delete;

  // From now on, the `n`th call of the kind (1 for the next one) answers `code` instead of
  // reaching the file, once; every count starts again from 0.
  void failNth(Call call, int64_t n, int code = SQLITE_IOERR);
  // Disarms and starts every count again.
  void clear();
  // Calls of the kind since the last failNth() or clear().
  int64_t count(Call call) const;
  // Whether the armed failure has happened.
  bool fired() const;

 private:
  sqlite3_vfs vfs_{};
  sqlite3_vfs* underlying_ = nullptr;
};
