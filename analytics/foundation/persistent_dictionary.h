// ZIVPersistentDictionary: a dictionary kept in a property-list file of its own in the engine's
// folder (ZIVFilePathForPersistentDictionaryName), with the typed interface of ZIVUserDefaults.
// A change is written back at most about once a second: the first change after a write arms a
// write one second later on the dictionary's serial queue "ZIVPersistentDictionary", and every
// change until then rides along. A pending write is also done by synchronize(), when the
// dictionary is destroyed, and at normal process exit (platform/foundation/flush_at_exit.h).
//
// Accepted values: string, number (bool, integer, double), array, dictionary, date, data, with
// property-list values inside. Keys are non-empty strings. A bad key or value changes nothing and
// writes a coded line straight to the console (category "DuvUdiredururo").
//
// A file that cannot be read as a property list, or whose root is not a dictionary, loads as an
// empty dictionary with a line on the console (43005); the next write replaces it.
//
// Thread safety: every method may be called from any thread; the contents are guarded by the
// object's own mutex.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "analytics/foundation/typed_store.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/value.h"

// Writes the dictionary as a property list at the path. A failure logs 43000 and returns false.
bool ZIVWriteDictionaryToURL(const fnd::Dictionary& dictionary, const std::string& path);

class ZIVPersistentDictionary : public std::enable_shared_from_this<ZIVPersistentDictionary>,
                                public ZIVTypedStore<ZIVPersistentDictionary> {
 public:
  // The dictionary of the file named `fileName` in the engine's folder, or nullptr for an empty
  // name or path, or when the folder cannot be made (logs 43004). Delayed writes use `clock`
  // (dispatch::Clock::current() when null).
  static std::shared_ptr<ZIVPersistentDictionary> create(
      const std::string& fileName, std::shared_ptr<dispatch::Clock> clock = nullptr);

  ~ZIVPersistentDictionary();
  ZIVPersistentDictionary(const ZIVPersistentDictionary&) = delete;
  ZIVPersistentDictionary& operator=(const ZIVPersistentDictionary&) = delete;

  // The file's path.
  const std::string& path() const { return path_; }
  // The serial queue on which the delayed writes run.
  const std::shared_ptr<dispatch::Queue>& queue() const { return queue_; }

  // The value for the key, or nullopt. An empty key logs 43001 and gives nullopt.
  std::optional<fnd::Value> objectForKey(const std::string& key) const;
  // Stores the value (a null value removes the key) and arms a write when this changed the
  // contents. Returns false, changing nothing, for an empty key (logs 43002) or a value that is
  // not accepted (logs 43003).
  bool setObject(const fnd::Value& value, const std::string& key);
  void removeObjectForKey(const std::string& key) { setObject(fnd::Value(), key); }

  // Typed reads and writes (integerForKey, stringForKey, setInteger, ...): ZIVTypedStore.

  // Empties a non-empty dictionary and arms a write.
  void clearAllData();

  // Writes a pending change now; does nothing when everything is written.
  void synchronize();

  // True while a change waits to be written (also after a failed write).
  bool hasPendingWrite() const;
  // How many times the contents were written to the file successfully.
  uint64_t writeCount() const;

  // True for the kinds of value the dictionary accepts.
  static bool isAcceptedValue(const fnd::Value& value);

 private:
  ZIVPersistentDictionary(std::string path, fnd::Dictionary contents,
                          std::shared_ptr<dispatch::Clock> clock);

  // Marks the contents changed and arms the delayed write unless one is armed.
  // REQUIRES: mu_ held.
  void scheduleWriteLocked();
  // Writes the contents when they hold a change the file lacks. A failed write leaves the change
  // pending, so that synchronize(), the next armed write or the destructor tries again.
  void persistToDisk();

  // Constant after construction.
  const std::string path_;
  const std::shared_ptr<dispatch::Queue> queue_;

  mutable std::mutex mu_;
  fnd::Dictionary contents_;   // Guarded by mu_.
  bool pendingWrite_ = false;  // Guarded by mu_; the file lacks a change.
  bool writeArmed_ = false;    // Guarded by mu_; a delayed write is queued.
  uint64_t writeCount_ = 0;    // Guarded by mu_; successful writes.

  // Serialises file writes, so that an older copy never lands after a newer one.
  std::mutex writeMu_;
};
