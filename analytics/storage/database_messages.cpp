// ZIVDatabase: the table families whose rows hold wire messages: raw events and their metadata,
// the upload queue, the measurement configuration, conditional user properties, complex events
// and the flags of stored audience filters.

#include <cmath>
#include <cstdlib>
#include <limits>
#include <span>
#include <type_traits>

#include "analytics/engine/event.h"
#include "analytics/foundation/additions.h"
#include "analytics/foundation/persisted_config.h"
#include "analytics/proto/messages.h"
#include "analytics/storage/database.h"
#include "analytics/storage/storage_log.h"
#include "platform/security/gzip.h"

namespace {

constexpr const char* kRawEventsTable = "raw_events";
constexpr const char* kRawEventsMetadataTable = "raw_events_metadata";
constexpr const char* kQueueTable = "queue";
constexpr const char* kConditionalPropertiesTable = "conditional_properties";
constexpr const char* kMainEventParamsTable = "main_event_params";

// Largest bundle that a stored queue row may inflate to. Bundles are built from at most a few
// thousand events; anything larger is not a bundle this engine wrote.
constexpr size_t kMaxInflatedBundleSize = 64 * 1024 * 1024;

constexpr int32_t kMaxRetryCount = std::numeric_limits<int32_t>::max();

std::string Placeholders(size_t count) {
  std::string text;
  for (size_t i = 0; i < count; ++i) text += i == 0 ? "?" : ",?";
  return text;
}

fnd::Array RowIDValues(const std::vector<int64_t>& rowIDs) {
  fnd::Array values;
  for (int64_t id : rowIDs) values.push_back(fnd::Value::Int64(id));
  return values;
}

// The encoded event as the conditional-property and complex-event rows store it.
std::optional<fnd::Data> EncodedEvent(const ZIVEvent& event) {
  auto proto = event.protoEvent();
  if (!proto) return std::nullopt;
  return proto->protoBuffer();
}

std::shared_ptr<ZIVEvent> DecodedEvent(const fnd::Value& stored) {
  if (!stored.isData()) return nullptr;
  auto proto = APMPBEvent::initWithBuffer(*stored.data());
  if (!proto) return nullptr;
  return ZIVEvent::initWithEventProto(*proto);
}

// The encoded event as "raw_events"."data" stores it: the name lives in its own column.
std::optional<fnd::Data> EncodedRawEvent(const ZIVEvent& event) {
  return event.encodedProtoEvent(false);
}

}  // namespace

// ---- Raw event metadata.

bool ZIVDatabase::insertIfNotExistsRawEventMetadata(const APMPBMeasurementBundle& metadata,
                                                    fnd::Error* error) {
  std::optional<fnd::Data> data = metadata.protoBuffer();
  if (!data) return ZIVSetError(error, 1, "Failed to encode raw event metadata");
  const auto fingerprint = static_cast<int64_t>(ziv_64LSBMD5(*data));
  if (!sqliteStore_) return ZIVSetError(error, 2, "Row count failed. Database not open.");
  std::optional<int64_t> existing = sqliteStore_->rowCountForTableWithName(
      kRawEventsMetadataTable, "metadata_fingerprint", fnd::Value::Int64(fingerprint), error);
  if (!existing) return false;
  if (*existing > 0) return true;
  Row row;
  row.set("metadata_fingerprint", fnd::Value::Int64(fingerprint));
  row.set("metadata", fnd::Value(*data));
  return upsertDataType(row, kRawEventsMetadataTable, "metadata_fingerprint",
                        fnd::Value::Int64(fingerprint), ZIVDatabaseRawEventsMetadataMaxCount,
                        error);
}

std::shared_ptr<APMPBMeasurementBundle> ZIVDatabase::queryRawEventsMetadataWithFingerprint(
    int64_t fingerprint, fnd::Error* error) {
  auto rows =
      rowsForQuery("SELECT metadata FROM raw_events_metadata WHERE metadata_fingerprint = ?",
                   {fnd::Value::Int64(fingerprint)}, error);
  if (!rows) return nullptr;
  const fnd::Value metadata = rows->empty() ? fnd::Value() : rows->front().get("metadata");
  if (!metadata.isData() || metadata.data()->empty()) {
    ZIVSetError(error, 3, "Event metadata should not be empty for getting measurement bundle");
    return nullptr;
  }
  auto bundle = APMPBMeasurementBundle::initWithBuffer(*metadata.data());
  if (!bundle) ZIVSetError(error, 3, "Unable to parse measurement bundle from event metadata");
  return bundle;
}

bool ZIVDatabase::deleteRawEventMetadataWithMetadataFingerprint(int64_t fingerprint,
                                                                fnd::Error* error) {
  if (!sqliteStore_) {
    return ZIVSetError(error, 2, "Delete records with condition failed. Database not open.");
  }
  return sqliteStore_
      ->deleteRecordsFromTableWithName(kRawEventsMetadataTable, "metadata_fingerprint == ?",
                                       {fnd::Value::Int64(fingerprint)}, error)
      .has_value();
}

bool ZIVDatabase::deleteUnusedRawEventsMetadata(fnd::Error* error) {
  if (!sqliteStore_) {
    return ZIVSetError(error, 2, "Delete records with condition failed. Database not open.");
  }
  return sqliteStore_
      ->deleteRecordsFromTableWithName(
          kRawEventsMetadataTable,
          "metadata_fingerprint NOT IN (SELECT DISTINCT metadata_fingerprint FROM raw_events)", {},
          error)
      .has_value();
}

// ---- Raw events.

bool ZIVDatabase::insertRawEvent(const std::shared_ptr<ZIVEvent>& event, int64_t fingerprint,
                                 bool isRealtime, fnd::Error* error) {
  if (!event) return ZIVSetError(error, 1, "Received nil raw event");
  std::optional<fnd::Data> data = EncodedRawEvent(*event);
  if (!data) return ZIVSetError(error, 1, "Failed to encode raw event");
  Row row;
  row.set("name", event->name());
  row.set("timestamp", event->timestamp());
  row.set("metadata_fingerprint", fnd::Value::Int64(fingerprint));
  row.set("data", fnd::Value(std::move(*data)));
  row.set("is_realtime", isRealtime ? 1 : 0);
  return insertDataType(row, kRawEventsTable, error);
}

bool ZIVDatabase::updateRawEvent(const ZIVRawEventData& rawEvent, fnd::Error* error) {
  if (!rawEvent.rawEvent()) return ZIVSetError(error, 1, "Received nil raw event");
  std::optional<fnd::Data> data = EncodedRawEvent(*rawEvent.rawEvent());
  if (!data) return ZIVSetError(error, 1, "Failed to encode raw event");
  Row row;
  row.set("name", rawEvent.rawEvent()->name());
  row.set("timestamp", rawEvent.rawEvent()->timestamp());
  row.set("metadata_fingerprint", fnd::Value::Int64(rawEvent.metadataFingerprint()));
  row.set("data", fnd::Value(std::move(*data)));
  row.set("is_realtime", rawEvent.rawEvent()->isRealtime() ? 1 : 0);
  return updateDataType(row, kRawEventsTable, "rowid", fnd::Value::Int64(rawEvent.rowID()), error);
}

std::optional<int64_t> ZIVDatabase::nextMetadataFingerprintToProcess(fnd::Error* error) {
  auto rows = rowsForQuery("SELECT metadata_fingerprint, MIN(rowid) FROM raw_events", {}, error);
  if (!rows || rows->empty()) return std::nullopt;
  const fnd::Value fingerprint = rows->front().get("metadata_fingerprint");
  if (!fingerprint.isInt()) return std::nullopt;
  return fingerprint.asInt();
}

namespace {

// The event of a stored row through its decoded message; sets *error and answers null when the
// bytes do not decode or lack a string origin.
std::shared_ptr<ZIVEvent> EventFromStoredMessage(const fnd::Data& data, const fnd::Value& name,
                                                 std::optional<double> rowTimestamp, bool* refused,
                                                 fnd::Error* error) {
  auto proto = APMPBEvent::initWithBuffer(data);
  if (!proto) {
    ZIVSetError(error, 3, "Cannot create an event from database. Unable to parse event data");
    return nullptr;
  }
  // The origin must be there, as a string.
  bool hasOrigin = false;
  auto params = NANOGetArray(proto.get(), APMPBEvent::kParams, &APMPBEventParam::messageClass());
  for (const fnd::Value& item : params.value_or(fnd::Array())) {
    auto param = item.recordAs<APMPBEventParam>();
    if (!param || NANOGetString(param.get(), APMPBEventParam::kName) != "_o") continue;
    if (!NANOGetString(param.get(), APMPBEventParam::kStringValue)) {
      ZIVSetError(error, 3,
                  "Cannot create an event from database. Origin parameter is not a string");
      return nullptr;
    }
    hasOrigin = true;
  }
  if (!hasOrigin) {
    ZIVSetError(error, 3, "Cannot create an event from database. Missing origin parameter");
    return nullptr;
  }
  NANOSetString(proto.get(), APMPBEvent::kName, name);
  *refused = true;  // From here on, a null event is one the constructor refused.
  // The row's timestamp is the event's, to the full precision of its column.
  return rowTimestamp ? ZIVEvent::initWithEventProto(*proto, *rowTimestamp)
                      : ZIVEvent::initWithEventProto(*proto);
}

}  // namespace

namespace {

// A raw event row -> its raw event, from the row's columns: `data` present as bytes, `name` and
// the fingerprint as the row holds them (null when absent), `timestamp` when it is a number.
std::shared_ptr<ZIVRawEventData> RawEventFromColumns(std::span<const uint8_t> data,
                                                     const fnd::Value& name,
                                                     std::optional<double> timestamp, int64_t rowID,
                                                     std::optional<int64_t> fingerprint,
                                                     fnd::Error* error) {
  // The rows this program writes hold the plain form that is read without building the message;
  // anything else takes the message's road.
  std::optional<std::shared_ptr<ZIVEvent>> direct;
  if (name.isString()) direct = ZIVEvent::initWithEncodedEvent(data, name.asString(), timestamp);
  bool refused = direct.has_value();
  std::shared_ptr<ZIVEvent> event =
      direct ? *direct
             : EventFromStoredMessage(fnd::Data(data.begin(), data.end()), name, timestamp,
                                      &refused, error);
  if (!event) {
    if (refused) ZIVSetError(error, 3, "Cannot create an event from database. Invalid event");
    return nullptr;
  }
  auto rawEvent = ZIVRawEventData::initWithRawEvent(event, rowID, fingerprint);
  if (!rawEvent) ZIVSetError(error, 3, "Cannot create an event from database. Invalid event");
  return rawEvent;
}

void SetMissingEventDataError(fnd::Error* error) {
  ZIVSetError(error, 3, "Cannot create an event from database. Missing event data");
}

}  // namespace

std::shared_ptr<ZIVRawEventData> ZIVDatabase::rawEventDataFromDictionary(const Row& row,
                                                                         fnd::Error* error) {
  const fnd::Value data = row.get("data");
  if (!data.isData()) {
    SetMissingEventDataError(error);
    return nullptr;
  }
  const fnd::Value rowTimestamp = row.get("timestamp");
  const fnd::Value fingerprint = row.get("metadata_fingerprint");
  return RawEventFromColumns(
      *data.data(), row.get("name"),
      rowTimestamp.isNumber() ? std::optional<double>(rowTimestamp.asDouble()) : std::nullopt,
      row.get("rowid").asInt(0),
      fingerprint.isInt() ? std::optional<int64_t>(fingerprint.asInt()) : std::nullopt, error);
}

namespace {

constexpr const char* kRawEventsOfFingerprintQuery =
    "SELECT rowid, * FROM raw_events WHERE metadata_fingerprint = ? ORDER BY rowid ASC LIMIT ?";

}  // namespace

std::optional<std::vector<std::shared_ptr<ZIVRawEventData>>>
ZIVDatabase::rawEventsWithMetadataFingerprint(int64_t fingerprint, fnd::Error* error,
                                              const ZIVSqliteStore::RecordFilter& eventFilter) {
  if (!sqliteStore_) {
    ZIVSetError(error, 2, "Query records failed. Database not open.");
    return std::nullopt;
  }
  auto rows = sqliteStore_->recordsForQuery(
      kRawEventsOfFingerprintQuery,
      {fnd::Value::Int64(fingerprint), fnd::Value::Int64(ZIVDatabaseRawEventsSelectLimit)}, error,
      eventFilter ? eventFilter : [](size_t, const Row&) { return true; });
  if (!rows) return std::nullopt;
  std::vector<std::shared_ptr<ZIVRawEventData>> events;
  fnd::Error conversionError;
  for (const Row& row : *rows) {
    if (auto event = rawEventDataFromDictionary(row, &conversionError)) {
      events.push_back(std::move(event));
    }
  }
  if (!rows->empty() && events.empty()) {
    fnd::SetError(error, conversionError);
    return std::nullopt;
  }
  return events;
}

bool ZIVDatabase::visitRawEventsWithMetadataFingerprint(int64_t fingerprint, size_t rowLimit,
                                                        fnd::Error* error,
                                                        const RawEventVisitor& visitor) {
  if (!sqliteStore_) return ZIVSetError(error, 2, "Query records failed. Database not open.");
  // Column positions by name, found in the first row: the table's columns may come in any order.
  struct Columns {
    int rowID = -1, name = -1, timestamp = -1, fingerprint = -1, data = -1;
  };
  std::optional<Columns> columns;
  return sqliteStore_->visitRowsForQuery(
      kRawEventsOfFingerprintQuery,
      {fnd::Value::Int64(fingerprint), fnd::Value::Int64(ZIVDatabaseRawEventsSelectLimit)}, error,
      [&](size_t index, const ZIVSqliteRow& row) {
        if (index >= rowLimit) return false;
        if (!columns) {
          columns.emplace();
          // A later column of the same name wins, as it does in a record.
          for (int column = 0; column < row.columnCount(); ++column) {
            const char* name = row.name(column);
            if (!name) continue;
            const std::string_view text(name);
            if (text == "rowid") columns->rowID = column;
            if (text == "name") columns->name = column;
            if (text == "timestamp") columns->timestamp = column;
            if (text == "metadata_fingerprint") columns->fingerprint = column;
            if (text == "data") columns->data = column;
          }
        }
        // Each column as its record value would read: see rawEventDataFromDictionary().
        auto valueOf = [&](int column) {
          return column < 0 ? fnd::Value() : row.value(column).value_or(fnd::Value());
        };
        const int64_t rowID = columns->rowID >= 0 && row.type(columns->rowID) == SQLITE_INTEGER
                                  ? row.integer(columns->rowID)
                                  : valueOf(columns->rowID).asInt(0);
        fnd::Error conversionError;
        std::shared_ptr<ZIVRawEventData> rawEvent;
        const std::span<const uint8_t> data =
            columns->data >= 0 && row.type(columns->data) == SQLITE_BLOB
                ? row.blob(columns->data)
                : std::span<const uint8_t>();
        if (data.empty()) {
          SetMissingEventDataError(&conversionError);
        } else {
          std::optional<double> timestamp;
          const int timestampType = columns->timestamp >= 0 ? row.type(columns->timestamp) : -1;
          if (timestampType == SQLITE_INTEGER) {
            timestamp = static_cast<double>(row.integer(columns->timestamp));
          } else if (timestampType == SQLITE_FLOAT) {
            timestamp = row.real(columns->timestamp);
          }
          const bool hasFingerprint =
              columns->fingerprint >= 0 && row.type(columns->fingerprint) == SQLITE_INTEGER;
          rawEvent = RawEventFromColumns(
              data, valueOf(columns->name), timestamp, rowID,
              hasFingerprint ? std::optional<int64_t>(row.integer(columns->fingerprint))
                             : std::nullopt,
              &conversionError);
        }
        return visitor(index, rowID, std::move(rawEvent), conversionError);
      });
}

std::optional<std::vector<std::shared_ptr<ZIVRawEventData>>> ZIVDatabase::allRawEventsWithError(
    fnd::Error* error) {
  auto rows = rowsForQuery("SELECT rowid, * FROM raw_events ORDER BY rowid LIMIT ?",
                           {fnd::Value::Int64(settings_->maxEventsStored())}, error);
  if (!rows) return std::nullopt;
  std::vector<std::shared_ptr<ZIVRawEventData>> events;
  for (const Row& row : *rows) {
    if (auto event = rawEventDataFromDictionary(row)) events.push_back(std::move(event));
  }
  return events;
}

namespace {

std::optional<double> OptionalDouble(const std::optional<fnd::Value>& value) {
  if (!value) return std::nullopt;
  return value->asDouble();
}

}  // namespace

std::optional<double> ZIVDatabase::queryLatestRawEventTime(fnd::Error* error) {
  if (!sqliteStore_) {
    ZIVSetError(error, 2, "Query numeric result failed. Database not open.");
    return std::nullopt;
  }
  return OptionalDouble(
      sqliteStore_->numberForQuery("SELECT MAX(timestamp) FROM raw_events", {}, error));
}

std::optional<bool> ZIVDatabase::containsRawEventWithMetadataFingerprint(int64_t fingerprint,
                                                                         fnd::Error* error) {
  return boolForQuery(
      "SELECT EXISTS (SELECT 1 FROM raw_events WHERE metadata_fingerprint = ? LIMIT 1)",
      {fnd::Value::Int64(fingerprint)}, error);
}

std::optional<bool> ZIVDatabase::containsRealtimeRawEventsWithError(fnd::Error* error) {
  return boolForQuery("SELECT EXISTS (SELECT 1 FROM raw_events WHERE is_realtime = 1 LIMIT 1)", {},
                      error);
}

std::optional<bool> ZIVDatabase::isRawEventsTableEmpty(fnd::Error* error) {
  return boolForQuery("SELECT NOT EXISTS (SELECT 1 FROM raw_events LIMIT 1)", {}, error);
}

bool ZIVDatabase::deleteRawEventsWithMaxRowID(int64_t rowID, fnd::Error* error) {
  if (!sqliteStore_) {
    return ZIVSetError(error, 2, "Delete records with condition failed. Database not open.");
  }
  return sqliteStore_
      ->deleteRecordsFromTableWithName(kRawEventsTable, "rowid <= ?", {fnd::Value::Int64(rowID)},
                                       error)
      .has_value();
}

std::optional<int64_t> ZIVDatabase::deleteRawEventsOverAbsoluteLimit(fnd::Error* error) {
  return trimTable(kRawEventsTable, settings_->maxEventsStored() - 1, error);
}

bool ZIVDatabase::deleteStaleRawEventsDataOlderThanMaxAge(double maxAge, fnd::Error* error) {
  if (maxAge < 0) {
    return ZIVSetError(error, 1, "Cannot delete stale raw events given negative time period");
  }
  if (!sqliteStore_) {
    return ZIVSetError(error, 2, "Delete records with condition failed. Database not open.");
  }
  return sqliteStore_
      ->deleteRecordsFromTableWithName(kRawEventsTable,
                                       "abs(timestamp - cast(? as REAL)) > cast(? as REAL)",
                                       {fnd::Value(now()), fnd::Value(maxAge)}, error)
      .has_value();
}

// ---- Upload queue.

bool ZIVDatabase::insertBundle(const APMPBMeasurementBundle& bundle, bool isRealtime,
                               fnd::Error* error) {
  std::optional<fnd::Data> data = bundle.protoBuffer();
  if (!data) return ZIVSetError(error, 1, "Failed to insert nil bundle");
  return insertBundle(bundle, *data, isRealtime, error);
}

bool ZIVDatabase::insertBundle(const APMPBMeasurementBundle& bundle, const fnd::Data& encoded,
                               bool isRealtime, fnd::Error* error) {
  const fnd::Data* data = &encoded;
  if (data->empty()) return ZIVSetError(error, 1, "Failed to insert nil bundle");
  std::optional<std::string> appID = NANOGetString(&bundle, APMPBMeasurementBundle::kAppId);
  if (!appID || appID->empty()) {
    return ZIVSetError(error, 1, "Failed to insert bundle without App ID");
  }
  const int64_t endMillis = NANOGetInt64(&bundle, APMPBMeasurementBundle::kEndTimestampMillis);
  if (endMillis <= 0)
    return ZIVSetError(error, 1, "Failed to insert bundle without valid timestamp");

  // A failed sweep leaves stale rows for the next one; the bundle is stored all the same.
  (void)maybeDeleteStaleData(nullptr);
  const double endTimestamp = static_cast<double>(endMillis) / 1000.0;
  if (now() - endTimestamp > settings_->maxQueueTime()) {
    ZIVStorageLog(4, 12016, "Storing bundle outside of the max uploading time span", {});
  }
  // A queue row is inflated before upload and never leaves the device as it is: the fastest level
  // keeps the bundling pass short, and rows of any level stay readable.
  fnd::Data compressed = security::Gzip(*data, security::kBestSpeed);
  if (compressed.empty()) return ZIVSetError(error, 2, "Failed to compress bundle");
  ZIVStorageLog(7, 12018, "Saving bundle. size (bytes)",
                {fnd::Value::Int64(static_cast<int64_t>(compressed.size()))});
  Row row;
  row.set("data", fnd::Value(std::move(compressed)));
  row.set("bundle_end_timestamp", endTimestamp);
  row.set("is_realtime", isRealtime ? 1 : 0);
  row.set("retry_count", NANOGetInt32(&bundle, APMPBMeasurementBundle::kRetryCount));
  return insertDataType(row, kQueueTable, error);
}

namespace {

// The bytes a queue row inflates to; nullopt when the row cannot be read.
std::optional<fnd::Data> InflatedQueueRow(const fnd::Dictionary& row) {
  const fnd::Value data = row.get("data");
  if (!data.isData() || data.data()->empty()) return std::nullopt;
  fnd::Data inflated;
  if (!security::Gunzip(*data.data(), kMaxInflatedBundleSize, &inflated)) return std::nullopt;
  return inflated;
}

// The row's retry count, stored into the bundle read from it.
void SetRetryCount(const fnd::Dictionary& row, APMPBMeasurementBundle* bundle) {
  const int64_t retryCount = row.get("retry_count").asInt(0);
  if (retryCount > 0) {
    NANOSetInt32(bundle, APMPBMeasurementBundle::kRetryCount,
                 static_cast<int32_t>(std::min<int64_t>(retryCount, kMaxRetryCount)));
  }
}

// One queue row -> its bundle with the row's retry count; null when the row cannot be read.
std::shared_ptr<APMPBMeasurementBundle> BundleFromQueueRow(const fnd::Dictionary& row,
                                                           size_t* encodedSize) {
  std::optional<fnd::Data> inflated = InflatedQueueRow(row);
  if (!inflated) return nullptr;
  auto bundle = APMPBMeasurementBundle::initWithBuffer(*inflated);
  if (!bundle) return nullptr;
  SetRetryCount(row, bundle.get());
  *encodedSize = inflated->size();
  return bundle;
}

// One queue row -> the bundle read for upload; nullopt for exactly the rows BundleFromQueueRow
// refuses, with the same log lines (the bytes that are not kept undecoded take its full decode).
std::optional<ZIVQueuedBundle> QueuedBundleFromQueueRow(const fnd::Dictionary& row,
                                                        size_t* encodedSize) {
  std::optional<fnd::Data> inflated = InflatedQueueRow(row);
  if (!inflated) return std::nullopt;
  ZIVQueuedBundle queued;
  fnd::Data events;
  queued.bundle = APMPBMeasurementBundle::initWithBufferKeepingElements(
      *inflated, APMPBMeasurementBundle::kEvents, &events);
  if (queued.bundle) {
    queued.events = std::move(events);
  } else {
    queued.bundle = APMPBMeasurementBundle::initWithBuffer(*inflated);
    if (!queued.bundle) return std::nullopt;
  }
  SetRetryCount(row, queued.bundle.get());
  queued.rowID = row.get("rowid").asInt();
  *encodedSize = inflated->size();
  return queued;
}

// Up to `countLimit` queue rows in row order, each read by `read` (which skips a row by answering
// nullopt); the first read bundle always, later ones while the running sum of encoded sizes stays
// within `sizeLimit`.
template <typename Read>
auto WalkQueue(ZIVSqliteStore* store, int64_t countLimit, int64_t sizeLimit, fnd::Error* error,
               Read read)
    -> std::optional<std::vector<
        typename std::invoke_result_t<Read, const fnd::Dictionary&, size_t*>::value_type>> {
  using Item = typename std::invoke_result_t<Read, const fnd::Dictionary&, size_t*>::value_type;
  if (!store) {
    ZIVSetError(error, 2, "Query records failed. Database not open.");
    return std::nullopt;
  }
  std::vector<Item> bundles;
  int64_t totalSize = 0;
  // The rows are taken one at a time and the walk ends at the first bundle over the size limit:
  // the rows after it, up to the count limit, are never read.
  auto rows = store->recordsForQuery(
      "SELECT rowid, data, retry_count FROM queue ORDER BY rowid ASC LIMIT ?",
      {fnd::Value::Int64(countLimit)}, error, [&](size_t, const fnd::Dictionary& row) {
        size_t size = 0;
        std::optional<Item> bundle = read(row, &size);
        if (!bundle) return true;
        if (!bundles.empty() && totalSize + static_cast<int64_t>(size) > sizeLimit) return false;
        totalSize += static_cast<int64_t>(size);
        bundles.push_back(std::move(*bundle));
        return true;
      });
  if (!rows) return std::nullopt;
  return bundles;
}

}  // namespace

std::optional<fnd::Data> ZIVQueuedBundle::protoBuffer() const {
  if (!bundle) return std::nullopt;
  if (!events) return bundle->protoBuffer();
  return bundle->protoBufferWithElements(APMPBMeasurementBundle::kEvents, *events);
}

std::shared_ptr<APMPBMeasurementBundle> ZIVQueuedBundle::wholeBundle() const {
  if (!events) return bundle;
  std::optional<fnd::Data> bytes = protoBuffer();
  return bytes ? APMPBMeasurementBundle::initWithBuffer(*bytes) : nullptr;
}

std::optional<std::vector<ZIVDatabase::BundleAndRowID>> ZIVDatabase::queryBundlesWithCountLimit(
    int64_t countLimit, int64_t sizeLimit, fnd::Error* error) {
  return WalkQueue(sqliteStore_.get(), countLimit, sizeLimit, error,
                   [](const Row& row, size_t* size) -> std::optional<BundleAndRowID> {
                     auto bundle = BundleFromQueueRow(row, size);
                     if (!bundle) return std::nullopt;
                     return BundleAndRowID(std::move(bundle), row.get("rowid").asInt());
                   });
}

std::optional<std::vector<ZIVQueuedBundle>> ZIVDatabase::queryQueuedBundlesWithCountLimit(
    int64_t countLimit, int64_t sizeLimit, fnd::Error* error) {
  return WalkQueue(sqliteStore_.get(), countLimit, sizeLimit, error, &QueuedBundleFromQueueRow);
}

std::optional<std::vector<ZIVDatabase::BundleAndRowID>> ZIVDatabase::queryBundlesWithRowIDs(
    const std::vector<int64_t>& rowIDs, fnd::Error* error) {
  if (rowIDs.empty()) return std::vector<BundleAndRowID>();
  auto rows = rowsForQuery("SELECT rowid, data, retry_count FROM queue WHERE rowid IN (" +
                               Placeholders(rowIDs.size()) + ")",
                           RowIDValues(rowIDs), error);
  if (!rows) return std::nullopt;
  std::vector<BundleAndRowID> bundles;
  for (const Row& row : *rows) {
    size_t size = 0;
    if (auto bundle = BundleFromQueueRow(row, &size)) {
      bundles.emplace_back(std::move(bundle), row.get("rowid").asInt());
    }
  }
  return bundles;
}

bool ZIVDatabase::incrementRetryCounterForBundlesWithIDs(const std::vector<int64_t>& rowIDs,
                                                         fnd::Error* error) {
  if (rowIDs.empty()) return ZIVSetError(error, 1, "Received empty bundle row ids");
  std::optional<bool> atLimit =
      boolForQuery("SELECT EXISTS (SELECT 1 FROM queue WHERE retry_count = ? LIMIT 1)",
                   {fnd::Value(kMaxRetryCount)}, error);
  if (!atLimit) return false;
  if (*atLimit) {
    ZIVStorageLog(1, 12054,
                  "The number of upload retries exceeds the limit. Will remain unchanged.", {});
  }
  const std::string rowCondition = "rowid IN (" + Placeholders(rowIDs.size()) + ")";
  fnd::Array parameters = RowIDValues(rowIDs);
  return sqliteStore_->performSavepointWithError(error, [&]() {
    // Rows of older files have no count yet; NULL + 1 would stay NULL for ever.
    if (!sqliteStore_->executeSQL(
            "UPDATE queue SET retry_count = 0 WHERE retry_count IS NULL AND " + rowCondition,
            parameters, error)) {
      return false;
    }
    fnd::Array withLimit = parameters;
    withLimit.push_back(fnd::Value(kMaxRetryCount));
    return sqliteStore_->increaseColumn("retry_count", 1, kQueueTable,
                                        rowCondition + " AND retry_count < ?", withLimit, error);
  });
}

bool ZIVDatabase::deleteBundlesWithRowIDs(const std::vector<int64_t>& rowIDs, fnd::Error* error) {
  if (rowIDs.empty()) return ZIVSetError(error, 1, "Received empty bundle row ids");
  if (!sqliteStore_) {
    return ZIVSetError(error, 2, "Delete records with condition failed. Database not open.");
  }
  return sqliteStore_
      ->deleteRecordsFromTableWithName(
          kQueueTable, "rowid IN (" + Placeholders(rowIDs.size()) + ")", RowIDValues(rowIDs), error)
      .has_value();
}

std::optional<bool> ZIVDatabase::maybeDeleteStaleData(fnd::Error* error) {
  if (!sqliteStore_) {
    ZIVSetError(error, 2, "Delete records with condition failed. Database not open.");
    return std::nullopt;
  }
  const double current = now();
  const double lastSweep =
      persistedConfig_ ? persistedConfig_->lastDeleteStaleBundlesTimestamp() : 0;
  // A clock set back must not hold the sweep off until it has caught up again.
  if (std::fabs(current - lastSweep) <= settings_->databaseDeleteStaleBundlesInterval()) {
    return false;
  }
  const double maxAge = settings_->maxQueueTime();
  bool swept = sqliteStore_->performSavepointWithError(error, [&]() {
    return deleteStaleRawEventsDataOlderThanMaxAge(maxAge, error) &&
           sqliteStore_
               ->deleteRecordsFromTableWithName(
                   kQueueTable, "abs(bundle_end_timestamp - cast(? as REAL)) > cast(? as REAL)",
                   {fnd::Value(current), fnd::Value(maxAge)}, error)
               .has_value();
  });
  if (!swept) return std::nullopt;
  if (persistedConfig_) persistedConfig_->setLastDeleteStaleBundlesTimestamp(current);
  return true;
}

std::optional<double> ZIVDatabase::queryLatestBundleTime(fnd::Error* error) {
  if (!sqliteStore_) {
    ZIVSetError(error, 2, "Query numeric result failed. Database not open.");
    return std::nullopt;
  }
  return OptionalDouble(
      sqliteStore_->numberForQuery("SELECT MAX(bundle_end_timestamp) FROM queue", {}, error));
}

std::optional<bool> ZIVDatabase::containsRealtimeBundlesWithError(fnd::Error* error) {
  return boolForQuery("SELECT EXISTS (SELECT 1 FROM queue WHERE is_realtime = 1 LIMIT 1)", {},
                      error);
}

std::optional<bool> ZIVDatabase::isQueuedBundleTableEmpty(fnd::Error* error) {
  return boolForQuery("SELECT NOT EXISTS (SELECT 1 FROM queue LIMIT 1)", {}, error);
}

// ---- Measurement configuration.

bool ZIVDatabase::updateRemoteConfig(const fnd::Data& data, fnd::Error* error) {
  auto config = data.empty() ? nullptr : APMPBMeasurementConfig::initWithBuffer(data);
  if (!config) return ZIVSetError(error, 1, "Invalid measurement config data");
  std::optional<std::string> appID = NANOGetString(config.get(), APMPBMeasurementConfig::kAppId);
  if (!appID || appID->empty()) {
    return ZIVSetError(error, 1, "Missing Rivado app ID in measurement configuration");
  }
  Row row;
  row.set("remote_config_data", fnd::Value(data));
  row.set("remote_config_timestamp", now());
  return updateDataType(row, "app_metadata", "rowid", fnd::Value("1"), error);
}

bool ZIVDatabase::updateRemoteConfigSuccessfulTimestamp(double timestamp, fnd::Error* error) {
  Row row;
  row.set("remote_config_timestamp", timestamp);
  return updateDataType(row, "app_metadata", "rowid", fnd::Value("1"), error);
}

std::shared_ptr<APMPBMeasurementConfig> ZIVDatabase::queryMeasurementConfigWithError(
    fnd::Error* error) {
  auto rows = rowsForQuery("SELECT remote_config_data FROM app_metadata LIMIT 1", {}, error);
  if (!rows || rows->empty()) return nullptr;
  const fnd::Value data = rows->front().get("remote_config_data");
  if (!data.isData()) return nullptr;
  auto config = APMPBMeasurementConfig::initWithBuffer(*data.data());
  if (!config) ZIVSetError(error, 3, "Remote config data is corrupted");
  return config;
}

std::optional<double> ZIVDatabase::lastRemoteConfigUpdateTimestamp(fnd::Error* error) {
  if (!sqliteStore_) {
    ZIVSetError(error, 2, "Query numeric result failed. Database not open.");
    return std::nullopt;
  }
  return OptionalDouble(sqliteStore_->numberForQuery(
      "SELECT remote_config_timestamp FROM app_metadata LIMIT 1", {}, error));
}

// ---- Conditional user properties.

bool ZIVDatabase::updateConditionalUserProperty(const ZIVConditionalUserProperty& property,
                                                fnd::Error* error) {
  if (property.name.empty()) {
    return ZIVSetError(error, 1, "Received empty conditional user property name");
  }
  if (property.origin.empty()) {
    return ZIVSetError(error, 1, "Received empty conditional user property origin");
  }
  if (!property.value || property.value->isArray()) {
    return ZIVSetError(error, 1, "Received conditional user property without value");
  }
  Row row;
  row.set("name", property.name);
  row.set("origin", property.origin);
  row.set("value", property.value->object());
  row.set("creation_timestamp", property.creationTimestamp);
  row.set("active", property.active ? 1 : 0);
  row.set("trigger_timeout", property.triggerTimeout);
  row.set("triggered_timestamp", property.triggeredTimestamp);
  row.set("time_to_live", property.timeToLive);
  row.set("trigger_event_name", property.triggerEventName);
  const std::pair<const char*, const std::shared_ptr<ZIVEvent>*> events[] = {
      {"timed_out_event", &property.timedOutEvent},
      {"triggered_event", &property.triggeredEvent},
      {"expired_event", &property.expiredEvent}};
  for (const auto& [column, event] : events) {
    std::optional<fnd::Data> data = *event ? EncodedEvent(**event) : std::nullopt;
    row.set(column, data ? fnd::Value(std::move(*data)) : fnd::Value());
  }
  return upsertDataType(row, kConditionalPropertiesTable, "name", fnd::Value(property.name),
                        ZIVDatabaseConditionalUserPropertyMaxCount, error);
}

std::shared_ptr<ZIVConditionalUserProperty> ZIVDatabase::conditionalUserPropertyFromRow(
    const Row& row) {
  auto property = std::make_shared<ZIVConditionalUserProperty>();
  property->name = row.get("name").asString();
  property->origin = row.get("origin").asString();
  const fnd::Value value = row.get("value");
  if (value.isString()) {
    property->value = ZIVValue::initWithString(value.asString());
  } else if (value.isInt()) {
    property->value = ZIVValue::initWithInt64(value.asInt());
  } else if (value.isDouble()) {
    property->value = ZIVValue::initWithDouble(value.asDouble());
  }
  property->creationTimestamp = row.get("creation_timestamp").asDouble(0);
  property->active = row.get("active").asInt(0) != 0;
  property->triggerTimeout = row.get("trigger_timeout").asDouble(0);
  property->triggeredTimestamp = row.get("triggered_timestamp").asDouble(0);
  property->timeToLive = row.get("time_to_live").asDouble(0);
  property->triggerEventName = row.get("trigger_event_name").asString();
  property->timedOutEvent = DecodedEvent(row.get("timed_out_event"));
  property->triggeredEvent = DecodedEvent(row.get("triggered_event"));
  property->expiredEvent = DecodedEvent(row.get("expired_event"));
  return property;
}

std::shared_ptr<ZIVConditionalUserProperty> ZIVDatabase::conditionalUserPropertyWithName(
    const std::string& name, fnd::Error* error) {
  auto items = dataTypesFromTableWithName<ZIVConditionalUserProperty>(
      kConditionalPropertiesTable, "name", fnd::Value(name), error,
      [this](const Row& row) { return conditionalUserPropertyFromRow(row); });
  if (!items || items->empty()) return nullptr;
  return items->front();
}

bool ZIVDatabase::deleteConditionalUserPropertyWithName(const std::string& name,
                                                        fnd::Error* error) {
  if (!sqliteStore_) return ZIVSetError(error, 2, "Delete record failed. Database not open.");
  return sqliteStore_->deleteRecordFromTableWithName(kConditionalPropertiesTable, "name",
                                                     fnd::Value(name), error);
}

std::optional<std::vector<std::shared_ptr<ZIVConditionalUserProperty>>>
ZIVDatabase::conditionalUserPropertiesWithCondition(const std::string& condition,
                                                    const fnd::Array& parameterValues,
                                                    fnd::Error* error) {
  auto rows = rowsForQuery(
      std::string("SELECT rowid, * FROM ") + kConditionalPropertiesTable + " WHERE " + condition,
      parameterValues, error);
  if (!rows) return std::nullopt;
  std::vector<std::shared_ptr<ZIVConditionalUserProperty>> properties;
  for (const Row& row : *rows) properties.push_back(conditionalUserPropertyFromRow(row));
  return properties;
}

std::optional<std::vector<std::shared_ptr<ZIVConditionalUserProperty>>>
ZIVDatabase::timedOutConditionalUserPropertiesWithError(fnd::Error* error) {
  return conditionalUserPropertiesWithCondition(
      "active=0 and abs(? - creation_timestamp) > trigger_timeout", {fnd::Value(now())}, error);
}

std::optional<std::vector<std::shared_ptr<ZIVConditionalUserProperty>>>
ZIVDatabase::expiredConditionalUserPropertiesWithError(fnd::Error* error) {
  return conditionalUserPropertiesWithCondition(
      "active=1 and abs(? - triggered_timestamp) > time_to_live", {fnd::Value(now())}, error);
}

std::optional<std::vector<std::shared_ptr<ZIVConditionalUserProperty>>>
ZIVDatabase::triggeredConditionalUserPropertiesWithEventName(const std::string& eventName,
                                                             fnd::Error* error) {
  if (eventName.empty()) {
    ZIVSetError(error, 1, "Received empty trigger event name");
    return std::nullopt;
  }
  return conditionalUserPropertiesWithCondition(
      "active=0 and trigger_event_name=? and abs(? - creation_timestamp) <= trigger_timeout",
      {fnd::Value(eventName), fnd::Value(now())}, error);
}

std::optional<std::vector<std::shared_ptr<ZIVConditionalUserProperty>>>
ZIVDatabase::conditionalUserPropertiesWithPrefix(const std::string& prefix,
                                                 const std::string& origin, fnd::Error* error) {
  std::vector<std::string> conditions;
  fnd::Array parameters;
  if (!prefix.empty()) {
    conditions.push_back("name LIKE ? || '%'");
    parameters.push_back(fnd::Value(prefix));
  }
  if (!origin.empty()) {
    conditions.push_back("origin LIKE ?");
    parameters.push_back(fnd::Value(origin));
  }
  std::string condition;
  for (const std::string& part : conditions) {
    if (!condition.empty()) condition += " AND ";
    condition += part;
  }
  return conditionalUserPropertiesWithCondition(condition.empty() ? "1 == 1" : condition,
                                                parameters, error);
}

// ---- Complex events.

bool ZIVDatabase::updateComplexEventForAudienceEvaluationWithEventID(
    int64_t eventID, int64_t childEventCount, const std::shared_ptr<ZIVEvent>& mainEvent,
    fnd::Error* error) {
  if (!mainEvent) return ZIVSetError(error, 1, "Received nil main event");
  std::optional<fnd::Data> data = EncodedEvent(*mainEvent);
  if (!data) return ZIVSetError(error, 1, "Failed to encode main event");
  Row row;
  row.set("event_id", fnd::Value::Int64(eventID));
  row.set("children_to_process", fnd::Value::Int64(childEventCount));
  row.set("main_event", fnd::Value(std::move(*data)));
  return upsertDataType(row, kMainEventParamsTable, "event_id", fnd::Value::Int64(eventID), -1,
                        error);
}

std::optional<std::pair<std::shared_ptr<ZIVEvent>, int64_t>>
ZIVDatabase::mainEventAndChildCountPairWithEventID(int64_t eventID, fnd::Error* error) {
  auto rows = rowsForQuery(
      std::string("SELECT * FROM ") + kMainEventParamsTable + " WHERE event_id=? LIMIT 1",
      {fnd::Value::Int64(eventID)}, error);
  if (!rows || rows->empty()) return std::nullopt;
  auto event = DecodedEvent(rows->front().get("main_event"));
  if (!event) {
    ZIVSetError(error, 3, "Unable to parse main event of complex event");
    return std::nullopt;
  }
  return std::make_pair(event, rows->front().get("children_to_process").asInt(0));
}

bool ZIVDatabase::deleteComplexEventForAudienceEvaluationWithEventID(int64_t eventID,
                                                                     fnd::Error* error) {
  if (!sqliteStore_) {
    return ZIVSetError(error, 2, "Delete records with condition failed. Database not open.");
  }
  return sqliteStore_
      ->deleteRecordsFromTableWithName(kMainEventParamsTable, "event_id=?",
                                       {fnd::Value::Int64(eventID)}, error)
      .has_value();
}

// ---- Stored filter flags.

bool ZIVEventFilterFlagsFromData(const fnd::Data& data, bool* sessionScoped, bool* dynamic,
                                 bool* sequence) {
  auto filter = APMPBEventFilter::initWithBuffer(data);
  if (!filter) return false;
  *dynamic = NANOGetBool(filter.get(), APMPBEventFilter::kTag6Flag);
  *sequence = NANOGetBool(filter.get(), APMPBEventFilter::kTag7Flag);
  *sessionScoped = NANOGetBool(filter.get(), APMPBEventFilter::kTag8Flag);
  return true;
}

bool ZIVPropertyFilterFlagsFromData(const fnd::Data& data, bool* sessionScoped, bool* dynamic,
                                    bool* sequence) {
  auto filter = APMPBPropertyFilter::initWithBuffer(data);
  if (!filter) return false;
  *dynamic = NANOGetBool(filter.get(), APMPBPropertyFilter::kTag4Flag);
  *sequence = NANOGetBool(filter.get(), APMPBPropertyFilter::kTag5Flag);
  *sessionScoped = NANOGetBool(filter.get(), APMPBPropertyFilter::kTag6Flag);
  return true;
}

// ---- ZIVRawEventData.

std::shared_ptr<ZIVRawEventData> ZIVRawEventData::initWithRawEvent(
    std::shared_ptr<ZIVEvent> rawEvent, int64_t rowID, std::optional<int64_t> fingerprint) {
  if (!rawEvent) {
    ZIVStorageLog(4, 28000, "Failed to create raw event data. Raw event is nil", {});
    return nullptr;
  }
  if (!fingerprint) {
    ZIVStorageLog(4, 28001, "Failed to create raw event data. Metadata fingerprint is nil", {});
    return nullptr;
  }
  return std::make_shared<ZIVRawEventData>(std::move(rawEvent), rowID, *fingerprint);
}
