#include "analytics/foundation/persistent_dictionary.h"

#include <utility>

#include "analytics/foundation/console_log.h"
#include "analytics/foundation/file_locations.h"
#include "platform/foundation/file_system.h"
#include "platform/foundation/flush_at_exit.h"
#include "platform/foundation/property_list.h"

namespace {

constexpr const char* kQueueLabel = "ZIVPersistentDictionary";
constexpr double kWriteDelay = 1.0;

bool IsNumber(const fnd::Value& value) { return value.isNumber() || value.isBool(); }

}  // namespace

bool ZIVWriteDictionaryToURL(const fnd::Dictionary& dictionary, const std::string& path) {
  if (!fnd::PropertyList::WriteFile(fnd::Value(dictionary), path, fnd::PropertyListFormat::kXML,
                                    0600)) {
    ZIVStoreLogError(43000, "Cannot persist configs to disk");
    return false;
  }
  return true;
}

std::shared_ptr<ZIVPersistentDictionary> ZIVPersistentDictionary::create(
    const std::string& fileName, std::shared_ptr<dispatch::Clock> clock) {
  if (fileName.empty()) return nullptr;
  std::string path = ZIVFilePathForPersistentDictionaryName(fileName);
  if (path.empty()) return nullptr;
  if (!fnd::CreateDirectories(fnd::DirectoryName(path))) {
    ZIVStoreLogError(43004, "Cannot create subdirectories for config plist files.");
    return nullptr;
  }
  fnd::Dictionary contents;
  if (fnd::FileExists(path)) {
    fnd::Error error;
    std::optional<fnd::Value> loaded = fnd::PropertyList::ReadFile(path, &error);
    if (loaded && loaded->isDictionary()) {
      contents = *loaded->dictionary();
    } else {
      ZIVStoreLogWarning(
          43005, "Cannot read config plist file; starting with empty configs. Error " +
                     (loaded ? std::string("root is not a dictionary") : error.description()));
    }
  }
  std::shared_ptr<ZIVPersistentDictionary> dictionary(
      new ZIVPersistentDictionary(std::move(path), std::move(contents), std::move(clock)));
  // A change made less than a second before the process ends is written by the exit handler.
  std::weak_ptr<ZIVPersistentDictionary> weak = dictionary;
  fnd::FlushAtExit(dictionary, [weak] {
    if (auto self = weak.lock()) self->persistToDisk();
  });
  return dictionary;
}

ZIVPersistentDictionary::ZIVPersistentDictionary(std::string path, fnd::Dictionary contents,
                                                 std::shared_ptr<dispatch::Clock> clock)
    : path_(std::move(path)),
      queue_(dispatch::Queue::create(kQueueLabel, dispatch::Qos::kUtility, std::move(clock))),
      contents_(std::move(contents)) {}

ZIVPersistentDictionary::~ZIVPersistentDictionary() { persistToDisk(); }

bool ZIVPersistentDictionary::isAcceptedValue(const fnd::Value& value) {
  const bool acceptedKind = value.isString() || IsNumber(value) || value.isArray() ||
                            value.isDictionary() || value.isDate() || value.isData();
  return acceptedKind && fnd::PropertyList::IsValid(value);
}

std::optional<fnd::Value> ZIVPersistentDictionary::objectForKey(const std::string& key) const {
  if (key.empty()) {
    ZIVStoreLogWarning(43001, "Cannot get object for invalid config key.");
    return std::nullopt;
  }
  std::lock_guard<std::mutex> lock(mu_);
  const fnd::Value* value = contents_.find(fnd::Value(key));
  if (!value) return std::nullopt;
  return *value;
}

bool ZIVPersistentDictionary::setObject(const fnd::Value& value, const std::string& key) {
  if (key.empty()) {
    ZIVStoreLogWarning(43002, "Cannot set object for invalid config key.");
    return false;
  }
  if (!value.isNull() && !isAcceptedValue(value)) {
    ZIVStoreLogWarning(43003,
                       "Cannot set invalid object to config. Must be a string, number, array, "
                       "dictionary, date, or data. Value " +
                           value.description());
    return false;
  }
  std::lock_guard<std::mutex> lock(mu_);
  const fnd::Value* stored = contents_.find(fnd::Value(key));
  if (value.isNull()) {
    if (!stored) return true;
    contents_.erase(fnd::Value(key));
  } else {
    // Kinds are compared too: 1, 1.0 and true are different values in the file.
    if (stored && *stored == value) return true;
    contents_.set(fnd::Value(key), value);
  }
  scheduleWriteLocked();
  return true;
}

void ZIVPersistentDictionary::clearAllData() {
  std::lock_guard<std::mutex> lock(mu_);
  if (contents_.empty()) return;
  contents_.clear();
  scheduleWriteLocked();
}

void ZIVPersistentDictionary::synchronize() { persistToDisk(); }

bool ZIVPersistentDictionary::hasPendingWrite() const {
  std::lock_guard<std::mutex> lock(mu_);
  return pendingWrite_;
}

uint64_t ZIVPersistentDictionary::writeCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return writeCount_;
}

void ZIVPersistentDictionary::scheduleWriteLocked() {
  pendingWrite_ = true;
  if (writeArmed_) return;
  writeArmed_ = true;
  std::weak_ptr<ZIVPersistentDictionary> weak = weak_from_this();
  queue_->after(kWriteDelay, [weak] {
    auto self = weak.lock();
    if (!self) return;
    {
      std::lock_guard<std::mutex> lock(self->mu_);
      self->writeArmed_ = false;
    }
    self->persistToDisk();
  });
}

void ZIVPersistentDictionary::persistToDisk() {
  std::lock_guard<std::mutex> writeLock(writeMu_);
  fnd::Dictionary copy;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!pendingWrite_) return;
    copy = contents_;
    pendingWrite_ = false;
  }
  const bool written = ZIVWriteDictionaryToURL(copy, path_);
  std::lock_guard<std::mutex> lock(mu_);
  if (written) {
    ++writeCount_;
  } else {
    pendingWrite_ = true;
  }
}
