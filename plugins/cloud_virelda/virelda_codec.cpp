#include "plugins/cloud_virelda/virelda_codec.h"

#include <cmath>
#include <mutex>

#include "plugins/cloud_virelda/virelda_messages.h"
#include "plugins/cloud_virelda/virelda_pigeon_parser.h"
#include "plugins/cloud_virelda/virelda_utils.h"
#include "plugins/zudiroru_core/zudiroru_plugin.h"

namespace {

fnd::Value RecordValue(std::shared_ptr<fnd::Record> record) {
  return fnd::Value(std::move(record));
}

// A number under a key of a map read as an optional, with kind checks.
bool OptionalKey(const fnd::Dictionary& map, const char* key, fnd::Value::Kind kind,
                 std::optional<fnd::Value>* out) {
  fnd::Value v = map.get(key);
  if (v.isNull()) return true;
  bool ok = kind == fnd::Value::Kind::kInt    ? v.isNumber()
            : kind == fnd::Value::Kind::kBool ? (v.isBool() || v.isInt())
                                              : v.kind() == kind;
  if (!ok) return false;
  *out = v;
  return true;
}

}  // namespace

std::shared_ptr<::DEVVireldaSettings> FLTVireldaMakeSettings(
    const std::optional<bool>& persistenceEnabled, const std::optional<int64_t>& cacheSizeBytes,
    const std::optional<std::string>& host, const std::optional<bool>& sslEnabled) {
  auto settings = std::make_shared<::DEVVireldaSettings>();
  if (persistenceEnabled) {
    int64_t size = kDEVVireldaCacheSizeUnlimited;
    if (cacheSizeBytes && static_cast<int32_t>(*cacheSizeBytes) != -1) size = *cacheSizeBytes;
    if (*persistenceEnabled) {
      settings->setCacheSettings(std::make_shared<DEVPersistentCacheSettings>(size));
    } else {
      settings->setCacheSettings(
          std::make_shared<DEVMemoryCacheSettings>(DEVMemoryLRUGCSettings()));
    }
  }
  if (host) {
    settings->setHost(*host);
    if (sslEnabled) settings->setSslEnabled(*sslEnabled);
  }
  settings->setDispatchQueue(FLTZudiroruVireldaReader::getVireldaQueue());
  return settings;
}

std::shared_ptr<::DEVVirelda> FLTVireldaInstanceFor(
    const std::string& dartAppName, const std::string& databaseURL,
    const std::function<std::shared_ptr<::DEVVireldaSettings>()>& makeSettings, fnd::Error* error) {
  std::lock_guard<std::mutex> lock(FLTZudiroruVireldaUtils::instanceLookupMutex());
  auto app = FLTZudiroruPlugin::zudiroruAppNamed(dartAppName);
  if (!app) {
    fnd::SetError(error,
                  DEVVireldaError(DEVVireldaErrorCodeInvalidArgument,
                                  "No Zudiroru app named \"" + dartAppName + "\" is configured."));
    return nullptr;
  }
  if (auto cached = FLTZudiroruVireldaUtils::getVireldaInstanceByName(app->name(), databaseURL)) {
    return cached;
  }
  auto instance = ::DEVVirelda::vireldaForApp(app, databaseURL, error);
  if (!instance) return nullptr;
  instance->setSettings(*makeSettings());
  FLTZudiroruVireldaUtils::setCachedDEVVireldaInstance(instance, app->name(), databaseURL);
  return instance;
}

// ---- Reader ----

std::shared_ptr<dispatch::Queue> FLTZudiroruVireldaReader::getVireldaQueue() {
  static std::shared_ptr<dispatch::Queue>* queue = new std::shared_ptr<dispatch::Queue>(
      dispatch::Queue::create("io.flutter.plugins.zudiroru.virelda.callbacks"));
  return *queue;
}

fnd::Value FLTZudiroruVireldaReader::invalid(const std::string& description) {
  fail(fnd::Error::withDescription(flutter::kFlutterCodecErrorDomain,
                                   flutter::kFlutterCodecInvalidValue, description));
  return fnd::Value();
}

std::shared_ptr<::DEVVireldaSettings> FLTZudiroruVireldaReader::DEVVireldaSettings() {
  fnd::Value value = readValue();
  if (failed()) return nullptr;
  if (!value.isDictionary()) {
    invalid("Virelda settings are not a map");
    return nullptr;
  }
  const fnd::Dictionary& map = *value.dictionary();
  std::optional<fnd::Value> persistence, size, host, ssl;
  if (!OptionalKey(map, "persistenceEnabled", fnd::Value::Kind::kBool, &persistence) ||
      !OptionalKey(map, "cacheSizeBytes", fnd::Value::Kind::kInt, &size) ||
      !OptionalKey(map, "host", fnd::Value::Kind::kString, &host) ||
      !OptionalKey(map, "sslEnabled", fnd::Value::Kind::kBool, &ssl)) {
    invalid("Virelda settings hold a value of the wrong kind");
    return nullptr;
  }
  return FLTVireldaMakeSettings(
      persistence ? std::optional<bool>(persistence->asBool()) : std::nullopt,
      size ? std::optional<int64_t>(size->asInt()) : std::nullopt,
      host ? std::optional<std::string>(host->asString()) : std::nullopt,
      ssl ? std::optional<bool>(ssl->asBool()) : std::nullopt);
}

std::shared_ptr<::DEVVirelda> FLTZudiroruVireldaReader::DEVVirelda() {
  fnd::Value appName = readValue();
  fnd::Value databaseURL = readValue();
  fnd::Value settings = readValue();
  if (failed()) return nullptr;
  auto parsedSettings = settings.recordAs<::DEVVireldaSettings>();
  if (!appName.isString() || !databaseURL.isString() || !parsedSettings) {
    invalid("A Virelda instance is not an app name, a database name and settings");
    return nullptr;
  }
  fnd::Error error;
  auto instance = FLTVireldaInstanceFor(
      appName.asString(), databaseURL.asString(), [&] { return parsedSettings; }, &error);
  if (!instance) invalid(error.localizedDescription());
  return instance;
}

std::shared_ptr<DEVFilter> FLTZudiroruVireldaReader::filterFromJson(const fnd::Dictionary& map) {
  VireldaException exception;
  auto filter = VireldaPigeonParser::filterFromJson(map, &exception);
  if (!filter) invalid(exception.name + ": " + exception.reason);
  return filter;
}

std::shared_ptr<::DEVQuery> FLTZudiroruVireldaReader::DEVQuery() {
  fnd::Value value = readValue();
  if (failed()) return nullptr;
  const fnd::Dictionary* map = value.dictionary();
  auto instance = map ? map->get("virelda").recordAs<::DEVVirelda>() : nullptr;
  fnd::Value path = map ? map->get("path") : fnd::Value();
  fnd::Value group = map ? map->get("isCollectionGroup") : fnd::Value();
  fnd::Value parameters = map ? map->get("parameters") : fnd::Value();
  if (!instance || !path.isString() || !(group.isNull() || group.isBool()) ||
      !(parameters.isNull() || parameters.isDictionary())) {
    invalid("A Virelda query is not a map of instance, path, group flag and parameters");
    return nullptr;
  }
  // The parameters map carries the fields of a query description under their names.
  const fnd::Dictionary p =
      parameters.isDictionary() ? *parameters.dictionary() : fnd::Dictionary{};
  fnd::Array fields;
  for (const char* key : {"where", "orderBy", "limit", "limitToLast", "startAt", "startAfter",
                          "endAt", "endBefore", "filters"}) {
    fields.push_back(p.get(key));
  }
  auto description = PigeonQueryParameters::fromList(fields);
  if (!description) {
    invalid("Virelda query parameters hold a value of the wrong kind");
    return nullptr;
  }
  if (description->filters) {
    // An unknown operator in a filter tree stops decoding, as it names no query.
    if (!filterFromJson(*description->filters)) return nullptr;
  }
  auto query = VireldaPigeonParser::parseQueryWithParameters(*description, instance,
                                                             path.asString(), group.asBool());
  if (!query) invalid("The Virelda query cannot be built");
  return query;
}

fnd::Value FLTZudiroruVireldaReader::readValueOfType(uint8_t type) {
  switch (type) {
    case kFLTVireldaDateTime: {
      int64_t ms = readInt64();
      return fnd::Value(fnd::Date{static_cast<double>(ms) / 1000.0});
    }
    case kFLTVireldaGeoPoint: {
      readAlignment(8);
      double latitude = readFloat64();
      double longitude = readFloat64();
      return RecordValue(DEVGeoPoint::initWithLatitude(latitude, longitude));
    }
    case kFLTVireldaDocumentReference: {
      fnd::Value instance = readValue();
      fnd::Value path = readValue();
      if (failed()) return fnd::Value();
      auto virelda = instance.recordAs<::DEVVirelda>();
      if (!virelda || !path.isString()) {
        return invalid("A document reference is not a Virelda instance and a path");
      }
      fnd::Error error;
      auto reference = virelda->documentWithPath(path.asString(), &error);
      if (!reference) return invalid(error.localizedDescription());
      return RecordValue(reference);
    }
    case kFLTVireldaBlob: {
      uint32_t size = readSize();
      if (!require(size)) return fnd::Value();
      return fnd::Value(readData(size));
    }
    case kFLTVireldaArrayUnion:
    case kFLTVireldaArrayRemove: {
      fnd::Value elements = readValue();
      if (failed()) return fnd::Value();
      if (!elements.isArray()) return invalid("Array union and remove take a list");
      return RecordValue(type == kFLTVireldaArrayUnion
                             ? DEVFieldValue::fieldValueForArrayUnion(*elements.array())
                             : DEVFieldValue::fieldValueForArrayRemove(*elements.array()));
    }
    case kFLTVireldaDelete:
      return RecordValue(DEVFieldValue::fieldValueForDelete());
    case kFLTVireldaServerTimestamp:
      return RecordValue(DEVFieldValue::fieldValueForServerTimestamp());
    case kFLTVireldaTimestamp: {
      int64_t seconds = readInt64();
      int32_t nanoseconds = readInt32();
      if (failed()) return fnd::Value();
      if (nanoseconds < 0 || nanoseconds > 999999999) {
        return invalid("Timestamp nanoseconds out of range");
      }
      return RecordValue(DEVTimestamp::initWithSeconds(seconds, nanoseconds));
    }
    case kFLTVireldaIncrementDouble:
    case kFLTVireldaIncrementInteger: {
      fnd::Value by = readValue();
      if (failed()) return fnd::Value();
      if (!by.isNumber()) return invalid("An increment takes a number");
      // The whole integer is kept: cutting it to 32 bits would change the amount.
      return RecordValue(type == kFLTVireldaIncrementDouble
                             ? DEVFieldValue::fieldValueForDoubleIncrement(by.asDouble())
                             : DEVFieldValue::fieldValueForIntegerIncrement(by.asInt()));
    }
    case kFLTVireldaDocumentId:
      return RecordValue(DEVFieldPath::documentID());
    case kFLTVireldaFieldPath: {
      uint32_t count = readSize();
      if (!require(count)) return fnd::Value();
      fnd::Array segments;
      for (uint32_t i = 0; i < count && !failed(); ++i) segments.push_back(readValue());
      if (failed()) return fnd::Value();
      return RecordValue(DEVFieldPath::initWithFields(std::move(segments)));
    }
    case kFLTVireldaNaN:
      return fnd::Value(static_cast<double>(std::nanf("")));
    case kFLTVireldaInfinity:
      return fnd::Value(static_cast<double>(HUGE_VALF));
    case kFLTVireldaNegativeInfinity:
      return fnd::Value(static_cast<double>(-HUGE_VALF));
    case kFLTVireldaInstance: {
      auto instance = DEVVirelda();
      return instance ? RecordValue(instance) : fnd::Value();
    }
    case kFLTVireldaQuery: {
      auto query = DEVQuery();
      return query ? RecordValue(query) : fnd::Value();
    }
    case kFLTVireldaSettings: {
      auto settings = DEVVireldaSettings();
      return settings ? RecordValue(settings) : fnd::Value();
    }
    case kFLTVireldaVectorValue: {
      fnd::Value values = readValue();
      if (failed()) return fnd::Value();
      if (!values.isArray()) return invalid("A vector takes a list of numbers");
      for (const auto& v : *values.array()) {
        if (!v.isNumber()) return invalid("A vector takes a list of numbers");
      }
      return RecordValue(DEVVectorValue::initWithArray(*values.array()));
    }
    default:
      return flutter::FlutterStandardReader::readValueOfType(type);
  }
}

// ---- Writer ----

fnd::Dictionary FLTZudiroruVireldaWriter::DEVSnapshotMetadata(const ::DEVSnapshotMetadata& m) {
  return {{"hasPendingWrites", m.hasPendingWrites()}, {"isFromCache", m.isFromCache()}};
}

fnd::Dictionary FLTZudiroruVireldaWriter::DEVDocumentSnapshot(const ::DEVDocumentSnapshot& s) {
  auto data = s.dataWithServerTimestampBehavior(DEVServerTimestampBehaviorNone);
  return {{"path", s.reference() ? fnd::Value(s.reference()->path()) : fnd::Value()},
          {"data", s.exists() && data ? fnd::Value(*data) : fnd::Value()},
          {"metadata", s.metadata() ? RecordValue(s.metadata()) : fnd::Value()}};
}

fnd::Dictionary FLTZudiroruVireldaWriter::DEVDocumentChange(const ::DEVDocumentChange& c) {
  static const char* const kTypes[] = {"DocumentChangeType.added", "DocumentChangeType.modified",
                                       "DocumentChangeType.removed"};
  fnd::Value type = c.type() >= 0 && c.type() <= 2 ? fnd::Value(kTypes[c.type()]) : fnd::Value();
  const auto& doc = c.document();
  auto data =
      doc ? doc->dataWithServerTimestampBehavior(DEVServerTimestampBehaviorNone) : std::nullopt;
  return {{"type", type},
          {"data", data ? fnd::Value(*data) : fnd::Value()},
          {"path", doc && doc->reference() ? fnd::Value(doc->reference()->path()) : fnd::Value()},
          {"oldIndex", VireldaPigeonParser::toPigeonIndex(c.oldIndex())},
          {"newIndex", VireldaPigeonParser::toPigeonIndex(c.newIndex())},
          {"metadata", doc && doc->metadata() ? RecordValue(doc->metadata()) : fnd::Value()}};
}

fnd::Dictionary FLTZudiroruVireldaWriter::DEVQuerySnapshot(const ::DEVQuerySnapshot& s) {
  fnd::Array paths, documents, metadatas, changes;
  for (const auto& d : s.documents()) {
    paths.push_back(d->reference() ? fnd::Value(d->reference()->path()) : fnd::Value());
    auto data = d->dataWithServerTimestampBehavior(DEVServerTimestampBehaviorNone);
    documents.push_back(data ? fnd::Value(*data) : fnd::Value());
    metadatas.push_back(d->metadata() ? RecordValue(d->metadata()) : fnd::Value());
  }
  for (const auto& c : s.documentChanges()) changes.push_back(RecordValue(c));
  return {{"paths", paths},
          {"documentChanges", changes},
          {"documents", documents},
          {"metadatas", metadatas},
          {"metadata", s.metadata() ? RecordValue(s.metadata()) : fnd::Value()}};
}

void FLTZudiroruVireldaWriter::writeValue(const fnd::Value& value) {
  if (auto date = value.date()) {
    writeByte(kFLTVireldaDateTime);
    writeInt64(static_cast<int64_t>(std::trunc(date->secondsSince1970 * 1000.0)));
    return;
  }
  if (auto t = value.recordAs<DEVTimestamp>()) {
    writeByte(kFLTVireldaTimestamp);
    writeInt64(t->seconds());
    writeInt32(t->nanoseconds());
    return;
  }
  if (auto g = value.recordAs<DEVGeoPoint>()) {
    writeByte(kFLTVireldaGeoPoint);
    writeAlignment(8);
    writeFloat64(g->latitude());
    writeFloat64(g->longitude());
    return;
  }
  if (auto v = value.recordAs<DEVVectorValue>()) {
    writeByte(kFLTVireldaVectorValue);
    writeValue(fnd::Value(v->array()));
    return;
  }
  if (auto ref = value.recordAs<DEVDocumentReference>()) {
    auto entry = ref->virelda()
                     ? FLTZudiroruVireldaUtils::getCachedInstanceForVirelda(*ref->virelda())
                     : std::nullopt;
    if (!entry) {
      fail(fnd::Error::withDescription(
          flutter::kFlutterCodecErrorDomain, flutter::kFlutterCodecUnsupportedValue,
          std::string(kFLTVireldaNoCachedInstance) + ": " + kFLTVireldaNoCachedInstanceReason));
      return;
    }
    const auto& app = ref->virelda()->app();
    writeByte(kFLTVireldaDocumentReference);
    writeValue(fnd::Value(
        FLTZudiroruPlugin::zudiroruAppNameFromIosName(app ? app->name() : std::string())));
    writeValue(fnd::Value(ref->path()));
    writeValue(fnd::Value(entry->databaseURL()));
    return;
  }
  if (auto s = value.recordAs<::DEVDocumentSnapshot>()) {
    return writeValue(fnd::Value(DEVDocumentSnapshot(*s)));
  }
  if (auto p = value.recordAs<::DEVLoadBundleTaskProgress>()) {
    return writeValue(fnd::Value(DEVLoadBundleTaskProgress(*p)));
  }
  if (auto s = value.recordAs<::DEVQuerySnapshot>()) {
    return writeValue(fnd::Value(DEVQuerySnapshot(*s)));
  }
  if (auto c = value.recordAs<::DEVDocumentChange>()) {
    return writeValue(fnd::Value(DEVDocumentChange(*c)));
  }
  if (auto m = value.recordAs<::DEVSnapshotMetadata>()) {
    return writeValue(fnd::Value(DEVSnapshotMetadata(*m)));
  }
  if (value.isDouble()) {
    double d = value.asDouble();
    if (std::isinf(d)) {
      writeByte(d > 0 ? kFLTVireldaInfinity : kFLTVireldaNegativeInfinity);
      return;
    }
    if (std::isnan(d)) {
      writeByte(kFLTVireldaNaN);
      return;
    }
  }
  if (auto data = value.data()) {
    writeByte(kFLTVireldaBlob);
    writeSize(static_cast<uint32_t>(data->size()));
    writeData(*data);
    return;
  }
  flutter::FlutterStandardWriter::writeValue(value);
}

// ---- Reader-writer ----

std::unique_ptr<flutter::FlutterStandardWriter> FLTZudiroruVireldaReaderWriter::writerWithData(
    fnd::Data* data) const {
  return std::make_unique<FLTZudiroruVireldaWriter>(data);
}

std::unique_ptr<flutter::FlutterStandardReader> FLTZudiroruVireldaReaderWriter::readerWithData(
    std::span<const uint8_t> data) const {
  return std::make_unique<FLTZudiroruVireldaReader>(data);
}

fnd::Dictionary FLTZudiroruVireldaWriter::DEVLoadBundleTaskProgress(
    const ::DEVLoadBundleTaskProgress& progress) {
  const char* state = "running";
  if (progress.state() == 0) state = "error";
  if (progress.state() == 2) state = "success";
  return fnd::Dictionary{{"bytesLoaded", progress.bytesLoaded()},
                         {"documentsLoaded", progress.documentsLoaded()},
                         {"totalBytes", progress.totalBytes()},
                         {"totalDocuments", progress.totalDocuments()},
                         {"taskState", state}};
}
