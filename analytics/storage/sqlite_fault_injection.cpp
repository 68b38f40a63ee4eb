#include "analytics/storage/sqlite_fault_injection.h"

#include <cstring>

namespace {

// The one active instance's state; the VFS callbacks are plain C functions.
struct FaultState {
  std::atomic<int64_t> counts[3] = {0, 0, 0};
  std::atomic<int> armedCall{-1};
  std::atomic<int64_t> armedAt{0};
  std::atomic<int> code{SQLITE_IOERR};
  std::atomic<bool> fired{false};
};
FaultState gState;
sqlite3_vfs* gUnderlying = nullptr;

// Counts the call and answers the armed error when it is the one to fail.
int Check(ZIVSqliteFaultInjection::Call call) {
  const int kind = static_cast<int>(call);
  const int64_t n = ++gState.counts[kind];
  if (gState.armedCall.load() == kind && n == gState.armedAt.load() &&
      !gState.fired.exchange(true)) {
    return gState.code.load();
  }
  return SQLITE_OK;
}

// Our file: the base, then the underlying VFS's file right behind it.
struct FaultFile {
  sqlite3_file base;
  sqlite3_file* real;
};

sqlite3_file* Real(sqlite3_file* file) { return reinterpret_cast<FaultFile*>(file)->real; }

int Close(sqlite3_file* f) {
  sqlite3_file* real = Real(f);
  return real->pMethods ? real->pMethods->xClose(real) : SQLITE_OK;
}
int Read(sqlite3_file* f, void* buffer, int amount, sqlite3_int64 offset) {
  if (int rc = Check(ZIVSqliteFaultInjection::Call::kRead)) return rc;
  return Real(f)->pMethods->xRead(Real(f), buffer, amount, offset);
}
int Write(sqlite3_file* f, const void* buffer, int amount, sqlite3_int64 offset) {
  if (int rc = Check(ZIVSqliteFaultInjection::Call::kWrite)) return rc;
  return Real(f)->pMethods->xWrite(Real(f), buffer, amount, offset);
}
int Truncate(sqlite3_file* f, sqlite3_int64 size) {
  return Real(f)->pMethods->xTruncate(Real(f), size);
}
int Sync(sqlite3_file* f, int flags) {
  if (int rc = Check(ZIVSqliteFaultInjection::Call::kSync)) return rc;
  return Real(f)->pMethods->xSync(Real(f), flags);
}
int FileSize(sqlite3_file* f, sqlite3_int64* size) {
  return Real(f)->pMethods->xFileSize(Real(f), size);
}
int Lock(sqlite3_file* f, int level) { return Real(f)->pMethods->xLock(Real(f), level); }
int Unlock(sqlite3_file* f, int level) { return Real(f)->pMethods->xUnlock(Real(f), level); }
int CheckReservedLock(sqlite3_file* f, int* out) {
  return Real(f)->pMethods->xCheckReservedLock(Real(f), out);
}
int FileControl(sqlite3_file* f, int op, void* arg) {
  return Real(f)->pMethods->xFileControl(Real(f), op, arg);
}
int SectorSize(sqlite3_file* f) { return Real(f)->pMethods->xSectorSize(Real(f)); }
int DeviceCharacteristics(sqlite3_file* f) {
  return Real(f)->pMethods->xDeviceCharacteristics(Real(f));
}
int ShmMap(sqlite3_file* f, int page, int size, int extend, void volatile** out) {
  return Real(f)->pMethods->xShmMap(Real(f), page, size, extend, out);
}
int ShmLock(sqlite3_file* f, int offset, int n, int flags) {
  return Real(f)->pMethods->xShmLock(Real(f), offset, n, flags);
}
void ShmBarrier(sqlite3_file* f) { Real(f)->pMethods->xShmBarrier(Real(f)); }
int ShmUnmap(sqlite3_file* f, int deleteFlag) {
  return Real(f)->pMethods->xShmUnmap(Real(f), deleteFlag);
}

// Version 2: no memory-mapped reads, so that every read is a call we can count.
const sqlite3_io_methods kMethods = {2,
                                     Close,
                                     Read,
                                     Write,
                                     Truncate,
                                     Sync,
                                     FileSize,
                                     Lock,
                                     Unlock,
                                     CheckReservedLock,
                                     FileControl,
                                     SectorSize,
                                     DeviceCharacteristics,
                                     ShmMap,
                                     ShmLock,
                                     ShmBarrier,
                                     ShmUnmap,
                                     nullptr,
                                     nullptr};

int Open(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* outFlags) {
  auto* ours = reinterpret_cast<FaultFile*>(file);
  ours->real = reinterpret_cast<sqlite3_file*>(ours + 1);
  std::memset(ours->real, 0, static_cast<size_t>(gUnderlying->szOsFile));
  int rc = gUnderlying->xOpen(gUnderlying, name, ours->real, flags, outFlags);
  // The base gets methods only when the real file has them, so that SQLite closes what opened.
  ours->base.pMethods = ours->real->pMethods ? &kMethods : nullptr;
  return rc;
}
int Delete(sqlite3_vfs*, const char* name, int syncDir) {
  return gUnderlying->xDelete(gUnderlying, name, syncDir);
}
int Access(sqlite3_vfs*, const char* name, int flags, int* out) {
  return gUnderlying->xAccess(gUnderlying, name, flags, out);
}
int FullPathname(sqlite3_vfs*, const char* name, int size, char* out) {
  return gUnderlying->xFullPathname(gUnderlying, name, size, out);
}
void* DlOpen(sqlite3_vfs*, const char* name) { return gUnderlying->xDlOpen(gUnderlying, name); }
void DlError(sqlite3_vfs*, int size, char* out) { gUnderlying->xDlError(gUnderlying, size, out); }
void (*DlSym(sqlite3_vfs*, void* handle, const char* symbol))(void) {
  return gUnderlying->xDlSym(gUnderlying, handle, symbol);
}
void DlClose(sqlite3_vfs*, void* handle) { gUnderlying->xDlClose(gUnderlying, handle); }
int Randomness(sqlite3_vfs*, int size, char* out) {
  return gUnderlying->xRandomness(gUnderlying, size, out);
}
int Sleep(sqlite3_vfs*, int micros) { return gUnderlying->xSleep(gUnderlying, micros); }
int CurrentTime(sqlite3_vfs*, double* out) { return gUnderlying->xCurrentTime(gUnderlying, out); }
int GetLastError(sqlite3_vfs*, int size, char* out) {
  return gUnderlying->xGetLastError ? gUnderlying->xGetLastError(gUnderlying, size, out) : 0;
}
int CurrentTimeInt64(sqlite3_vfs*, sqlite3_int64* out) {
  return gUnderlying->xCurrentTimeInt64(gUnderlying, out);
}

}  // namespace

ZIVSqliteFaultInjection::ZIVSqliteFaultInjection() {
  sqlite3_initialize();
  underlying_ = sqlite3_vfs_find(nullptr);
  gUnderlying = underlying_;
  vfs_.iVersion = 2;
  vfs_.szOsFile = static_cast<int>(sizeof(FaultFile)) + underlying_->szOsFile;
  vfs_.mxPathname = underlying_->mxPathname;
  vfs_.zName = "quellmark-fault-injection";
  vfs_.xOpen = Open;
  vfs_.xDelete = Delete;
  vfs_.xAccess = Access;
  vfs_.xFullPathname = FullPathname;
  vfs_.xDlOpen = DlOpen;
  vfs_.xDlError = DlError;
  vfs_.xDlSym = DlSym;
  vfs_.xDlClose = DlClose;
  vfs_.xRandomness = Randomness;
  vfs_.xSleep = Sleep;
  vfs_.xCurrentTime = CurrentTime;
  vfs_.xGetLastError = GetLastError;
  vfs_.xCurrentTimeInt64 = CurrentTimeInt64;
  clear();
  sqlite3_vfs_register(&vfs_, 1);
}

ZIVSqliteFaultInjection::~ZIVSqliteFaultInjection() {
  sqlite3_vfs_unregister(&vfs_);
  sqlite3_vfs_register(underlying_, 1);  // The default again.
}

void ZIVSqliteFaultInjection::failNth(Call call, int64_t n, int code) {
  clear();
  gState.code = code;
  gState.armedAt = n;
  gState.armedCall = static_cast<int>(call);
}

void ZIVSqliteFaultInjection::clear() {
  gState.armedCall = -1;
  gState.fired = false;
  for (auto& count : gState.counts) count = 0;
}

int64_t ZIVSqliteFaultInjection::count(Call call) const {
  return gState.counts[static_cast<int>(call)].load();
}

bool ZIVSqliteFaultInjection::fired() const { return gState.fired.load(); }
