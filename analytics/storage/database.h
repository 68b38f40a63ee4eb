// ZIVDatabase: the analytics engine's one SQLite database ("rivado-duv-udiredururo.sql" in the
// engine's folder). It holds the raw events waiting to be bundled, the queue of finished upload
// bundles, per-event aggregates, user properties, audience filters and results, the stored
// measurement configuration, purchase and subscription de-duplication sets, conditional user
// properties, complex events under audience evaluation and on-device measurement values. All SQL
// runs through one ZIVSqliteStore.
//
// The schema has no version number: each table is described by its elementary columns, the
// add-on columns that older files may lack and the column types that changed; opening makes the
// file match. A file that cannot be made to match is deleted (the engine then opens once more).
//
// Every method reports failure by its result (false / nullopt / null) and an optional error in
// the engine's domain: 1 = bad argument or missing data, 2 = state refused, 3 = missing data in a
// stored row; errors of the store pass through unchanged.
//
// Thread safety: none. The database is made, used and destroyed on the engine's worker queue.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "analytics/engine/user_attribute.h"
#include "analytics/foundation/errors.h"
#include "analytics/storage/app_metadata.h"
#include "analytics/storage/conditional_user_property.h"
#include "analytics/storage/database_records.h"
#include "analytics/storage/sqlite_store.h"
#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

class APMPBMeasurementBundle;
class APMPBMeasurementConfig;
class ZIVEvent;
class ZIVEventAggregates;
class ZIVPersistedConfig;
namespace dispatch {
class Clock;
}

// The file name of the analytics database.
inline constexpr const char* ZIVDatabaseFileName = "rivado-duv-udiredururo.sql";

// Limits.
inline constexpr int64_t ZIVDatabaseConditionalUserPropertyMaxCount = 1000;
inline constexpr int64_t ZIVDatabaseRawEventsMetadataMaxCount = 100000;
inline constexpr int64_t ZIVDatabaseRawEventsSelectLimit = 1000;
inline constexpr int32_t ZIVDatabasePurchaseTransactionsMaxCount = 1000;
inline constexpr int64_t ZIVDatabaseAllUserAttributeMaxCount = 1000;
inline constexpr int32_t ZIVDatabaseUserAttributePerOriginMaxCount = 25;
inline constexpr int32_t ZIVDatabaseODMValuesMaxCount = 10;

// Names of the stored on-device measurement values.
inline constexpr const char* ZIVDatabaseODM1Value = "odm1_value";
inline constexpr const char* ZIVDatabaseODM1SessionValue = "odm1_session_value";
inline constexpr const char* ZIVDatabaseODM2Value = "odm2_value";
inline constexpr const char* ZIVDatabaseODM1GroupID = "odm1_group_id";

// A queued bundle read back for upload. When the stored bytes are exactly what the message
// encoder writes (every bundle this engine stores), `bundle` holds every field but its events,
// and `events` holds the events undecoded as their field elements (key, length and encoded Event
// of each, in order): the uploader stamps the bundle's own fields and splices the events back,
// so that events are neither decoded nor encoded again. Otherwise `bundle` holds the events as
// messages and `events` is nullopt.
struct ZIVQueuedBundle {
  std::shared_ptr<APMPBMeasurementBundle> bundle;
  std::optional<fnd::Data> events;
  int64_t rowID = 0;

  // What bundle->protoBuffer() would answer with the events in place; nullopt when the bundle
  // does not encode.
  std::optional<fnd::Data> protoBuffer() const;
  // The whole bundle with its events as messages (a new message when they are held apart; null
  // when it cannot be made).
  std::shared_ptr<APMPBMeasurementBundle> wholeBundle() const;
};

// The server settings that the database reads. The engine hands in its server-settings store;
// this base answers the settings' defaults.
class ZIVDatabaseSettings {
 public:
  virtual ~ZIVDatabaseSettings() = default;
  // Raw events kept at most ("measurement.store.max_stored_events_per_app").
  virtual int64_t maxEventsStored() const { return 100000; }
  // Seconds a raw event or bundle may wait for upload ("measurement.upload.max_queue_time").
  virtual double maxQueueTime() const { return 2419200; }
  // Seconds between two sweeps of stale data ("measurement.upload.stale_data_deletion_interval").
  virtual double databaseDeleteStaleBundlesInterval() const { return 86400; }
};

class ZIVDatabase {
 public:
  using Row = fnd::Dictionary;
  template <typename T>
  using CreateBlock = std::function<std::shared_ptr<T>(const Row& row)>;

  // What the database reads from its surroundings; empty members take the process's own.
  struct Environment {
    // Server settings [the defaults of ZIVDatabaseSettings].
    std::shared_ptr<const ZIVDatabaseSettings> settings;
    // Time [dispatch::Clock::current() at each call].
    std::shared_ptr<dispatch::Clock> clock;
  };

  // Opens (creating when missing) the database file `name` in the engine's folder, makes every
  // table match its description and makes sure the app-metadata row exists. An empty name fails
  // with code 1 "Received empty database name in init". A file whose tables cannot be made to
  // match is deleted and null is returned; the caller may try once more.
  static std::shared_ptr<ZIVDatabase> initWithDatabaseName(
      const std::string& name, std::shared_ptr<ZIVPersistedConfig> persistedConfig,
      fnd::Error* error = nullptr, Environment environment = {});

  ~ZIVDatabase();
  ZIVDatabase(const ZIVDatabase&) = delete;
  ZIVDatabase& operator=(const ZIVDatabase&) = delete;

  // Opens a new store on `path` (replacing the old one), ensures every table and the app-metadata
  // row. `context` ("Init", "Reset") names the occasion in log lines.
  [[nodiscard]] bool initializeDatabaseResourcesWithContext(const std::string& context,
                                                            const std::string& databasePath,
                                                            fnd::Error* error = nullptr);
  // Deletes the file and creates an empty schema with a fresh app-metadata row.
  [[nodiscard]] bool reset(fnd::Error* error = nullptr);
  // Runs the block in one exclusive transaction: true commits, false (or an exception) rolls
  // back. A failed transaction logs 12056 and answers false.
  bool performTransaction(const std::function<bool()>& block);

  ZIVSqliteStore* sqliteStore() const { return sqliteStore_.get(); }
  const std::shared_ptr<ZIVPersistedConfig>& persistedConfig() const { return persistedConfig_; }

  // ---- Generic row operations.

  // "SELECT rowid, * FROM table ORDER BY rowid LIMIT limit", each row through the block; rows
  // the block turns into null are left out.
  template <typename T>
  std::optional<std::vector<std::shared_ptr<T>>> allDataTypesFromTableWithName(
      const std::string& table, int64_t tableLimit, fnd::Error* error,
      const CreateBlock<T>& createDataTypeBlock);
  // "SELECT rowid, * FROM table WHERE column = ?", each row through the block; one row that the
  // block turns into null fails the call.
  template <typename T>
  std::optional<std::vector<std::shared_ptr<T>>> dataTypesFromTableWithName(
      const std::string& table, const std::string& column,
      const std::optional<fnd::Value>& columnValue, fnd::Error* error,
      const CreateBlock<T>& createDataTypeBlock);
  [[nodiscard]] bool insertDataType(const Row& row, const std::string& table,
                                    fnd::Error* error = nullptr);
  // Inserts or replaces a row. Allowed when the limit is -1, a row with the column value exists
  // (replacement), or the table holds fewer rows than a limit of at least 1; otherwise code 2
  // "Failed to insert data type. Table is full".
  [[nodiscard]] bool upsertDataType(const Row& row, const std::string& table,
                                    const std::string& column, const fnd::Value& columnValue,
                                    int64_t tableLimit, fnd::Error* error = nullptr);
  // Updates the existing row whose column equals the value; code 2 when there is none.
  [[nodiscard]] bool updateDataType(const std::optional<Row>& row, const std::string& table,
                                    const std::string& column, const fnd::Value& columnValue,
                                    fnd::Error* error = nullptr);

  // ---- App metadata ("app_metadata", one row at rowid 1).

  std::optional<ZIVAppMetadata> queryAppMetadata(fnd::Error* error = nullptr);
  [[nodiscard]] bool updateAppMetadata(const ZIVAppMetadata& appMetadata,
                                       fnd::Error* error = nullptr);
  // The counters, for today's day number: floor((now - midnight offset) / 86400).
  std::optional<ZIVDailyCounts> dailyCounts(fnd::Error* error = nullptr);
  [[nodiscard]] bool updateDailyCounts(const ZIVDailyCounts& dailyCounts,
                                       fnd::Error* error = nullptr);

  // ---- Raw events and their metadata.

  // Stores the encoded bundle under its fingerprint (the 64 least significant bits of its MD5)
  // unless that fingerprint is stored already.
  [[nodiscard]] bool insertIfNotExistsRawEventMetadata(const APMPBMeasurementBundle& metadata,
                                                       fnd::Error* error = nullptr);
  std::shared_ptr<APMPBMeasurementBundle> queryRawEventsMetadataWithFingerprint(
      int64_t fingerprint, fnd::Error* error = nullptr);
  [[nodiscard]] bool deleteRawEventMetadataWithMetadataFingerprint(int64_t fingerprint,
                                                                   fnd::Error* error = nullptr);
  // Deletes the metadata that no raw event refers to.
  [[nodiscard]] bool deleteUnusedRawEventsMetadata(fnd::Error* error = nullptr);
  // Stores one raw event: its name, timestamp (seconds), fingerprint, encoded message (without
  // its name) and real-time flag.
  [[nodiscard]] bool insertRawEvent(const std::shared_ptr<ZIVEvent>& event, int64_t fingerprint,
                                    bool isRealtime, fnd::Error* error = nullptr);
  // Rewrites the row of the raw event's row id from its event; keeps the fingerprint.
  [[nodiscard]] bool updateRawEvent(const ZIVRawEventData& rawEvent, fnd::Error* error = nullptr);
  // The fingerprint of the oldest raw event; nullopt without an error when there is none.
  std::optional<int64_t> nextMetadataFingerprintToProcess(fnd::Error* error = nullptr);
  // Up to ZIVDatabaseRawEventsSelectLimit rows of one fingerprint in row order; the filter sees
  // each row and its first false ends the walk. Rows that do not convert are left out; null when
  // rows were accepted but none converts.
  std::optional<std::vector<std::shared_ptr<ZIVRawEventData>>> rawEventsWithMetadataFingerprint(
      int64_t fingerprint, fnd::Error* error,
      const ZIVSqliteStore::RecordFilter& eventFilter = nullptr);
  // Called with the zero-based row index, the row id and the raw event made from the row as
  // rawEventDataFromDictionary() makes it (null, with the reason in `conversionError`, when the
  // row does not convert); false ends the walk.
  using RawEventVisitor =
      std::function<bool(size_t index, int64_t rowID, std::shared_ptr<ZIVRawEventData> rawEvent,
                         const fnd::Error& conversionError)>;
  // The same rows as rawEventsWithMetadataFingerprint() reads, each converted once straight from
  // the query's row (no record is built) and handed to the visitor: for the bundler, which cuts
  // its run as it goes. The walk ends at the row of index `rowLimit` without converting it.
  // False, with the error, only when the query fails.
  [[nodiscard]] bool visitRawEventsWithMetadataFingerprint(int64_t fingerprint, size_t rowLimit,
                                                           fnd::Error* error,
                                                           const RawEventVisitor& visitor);
  // Every raw event, at most maxEventsStored rows, in row order.
  std::optional<std::vector<std::shared_ptr<ZIVRawEventData>>> allRawEventsWithError(
      fnd::Error* error = nullptr);
  // One row -> a raw event: the event parsed from "data" with the row's name and timestamp; its
  // origin parameter "_o" must be a string.
  std::shared_ptr<ZIVRawEventData> rawEventDataFromDictionary(const Row& row,
                                                              fnd::Error* error = nullptr);
  // MAX(timestamp): nullopt without an error when the table is empty.
  std::optional<double> queryLatestRawEventTime(fnd::Error* error = nullptr);
  std::optional<bool> containsRawEventWithMetadataFingerprint(int64_t fingerprint,
                                                              fnd::Error* error = nullptr);
  std::optional<bool> containsRealtimeRawEventsWithError(fnd::Error* error = nullptr);
  std::optional<bool> isRawEventsTableEmpty(fnd::Error* error = nullptr);
  [[nodiscard]] bool deleteRawEventsWithMaxRowID(int64_t rowID, fnd::Error* error = nullptr);
  // Keeps the newest maxEventsStored - 1 rows; answers the number deleted.
  std::optional<int64_t> deleteRawEventsOverAbsoluteLimit(fnd::Error* error = nullptr);
  // Deletes raw events further than `maxAge` seconds from now.
  [[nodiscard]] bool deleteStaleRawEventsDataOlderThanMaxAge(double maxAge,
                                                             fnd::Error* error = nullptr);

  // ---- Upload queue ("queue").

  // Stores the bundle gzip-compressed. It must be non-empty, carry an app id and an end time
  // above 0. Stale data is swept first.
  [[nodiscard]] bool insertBundle(const APMPBMeasurementBundle& bundle, bool isRealtime,
                                  fnd::Error* error = nullptr);
  // The same with the bundle's encoding made by the caller (the bundle's fields with its events
  // spliced in, see APMPBMessage::protoBufferWithItems): `encoded` is what is stored; app id, end
  // time and retry count are read from `bundle`.
  [[nodiscard]] bool insertBundle(const APMPBMeasurementBundle& bundle, const fnd::Data& encoded,
                                  bool isRealtime, fnd::Error* error = nullptr);
  using BundleAndRowID = std::pair<std::shared_ptr<APMPBMeasurementBundle>, int64_t>;
  // Up to `countLimit` bundles in row order; the first always, later ones while the running sum
  // of encoded sizes stays within `sizeLimit`. Rows that cannot be decoded are skipped.
  std::optional<std::vector<BundleAndRowID>> queryBundlesWithCountLimit(
      int64_t countLimit, int64_t sizeLimit, fnd::Error* error = nullptr);
  // The same rows, in the same order and with the same refusals and log lines, each read for
  // upload (ZIVQueuedBundle): a row that the full decode refuses is skipped here too.
  std::optional<std::vector<ZIVQueuedBundle>> queryQueuedBundlesWithCountLimit(
      int64_t countLimit, int64_t sizeLimit, fnd::Error* error = nullptr);
  std::optional<std::vector<BundleAndRowID>> queryBundlesWithRowIDs(
      const std::vector<int64_t>& rowIDs, fnd::Error* error = nullptr);
  [[nodiscard]] bool incrementRetryCounterForBundlesWithIDs(const std::vector<int64_t>& rowIDs,
                                                            fnd::Error* error = nullptr);
  [[nodiscard]] bool deleteBundlesWithRowIDs(const std::vector<int64_t>& rowIDs,
                                             fnd::Error* error = nullptr);
  // When more than databaseDeleteStaleBundlesInterval has passed since the last sweep, deletes
  // raw events and bundles older than maxQueueTime and answers true; false when it was not due.
  std::optional<bool> maybeDeleteStaleData(fnd::Error* error = nullptr);
  std::optional<double> queryLatestBundleTime(fnd::Error* error = nullptr);
  std::optional<bool> containsRealtimeBundlesWithError(fnd::Error* error = nullptr);
  std::optional<bool> isQueuedBundleTableEmpty(fnd::Error* error = nullptr);

  // ---- Event aggregates ("events", and the snapshot "events_snapshot").

  std::optional<std::vector<std::shared_ptr<ZIVEventAggregates>>> allEventAggregates(
      fnd::Error* error = nullptr);
  // Null without an error when there is none.
  std::shared_ptr<ZIVEventAggregates> eventAggregatesWithName(const std::string& name,
                                                              fnd::Error* error = nullptr);
  std::shared_ptr<ZIVEventAggregates> eventAggregatesSnapshotWithName(const std::string& name,
                                                                      fnd::Error* error = nullptr);
  [[nodiscard]] bool updateEventAggregates(const ZIVEventAggregates& aggregates,
                                           fnd::Error* error = nullptr);
  [[nodiscard]] bool clearCurrentSessionCounts(fnd::Error* error = nullptr);
  [[nodiscard]] bool deleteAllEventAggregates(fnd::Error* error = nullptr);
  [[nodiscard]] bool deleteAllEventAggregatesInSnapshot(fnd::Error* error = nullptr);
  // Names that do not begin with "_".
  std::optional<int64_t> publicEventCount(fnd::Error* error = nullptr);
  // Replaces "events_snapshot" with a copy of "events".
  [[nodiscard]] bool createEventsSnapshotTable(fnd::Error* error = nullptr);
  // Copies the snapshot back into "events" (keeping the current "_f" aggregates when the
  // snapshot's have no lifetime count) and empties the snapshot. No snapshot, or an empty one,
  // changes nothing.
  [[nodiscard]] bool restoreFromEventsSnapshotTable(fnd::Error* error = nullptr);

  // ---- User attributes ("user_attributes").

  // Null without an error when there is none.
  std::shared_ptr<ZIVUserAttribute> userAttributeWithName(const std::string& name,
                                                          fnd::Error* error = nullptr);
  std::optional<bool> containsUserAttributeWithName(const std::string& name,
                                                    fnd::Error* error = nullptr);
  std::optional<int64_t> userAttributeCountForOrigin(const std::string& origin,
                                                     fnd::Error* error = nullptr);
  std::optional<int64_t> publicUserAttributeCount(fnd::Error* error = nullptr);
  // Names beginning "_ltv_", newest first.
  std::optional<std::vector<std::shared_ptr<ZIVUserAttribute>>> allLifetimeValueUserAttributes(
      fnd::Error* error = nullptr);
  // Up to ZIVDatabaseAllUserAttributeMaxCount attributes; without `includingInternal`, names
  // beginning "_" or with a reserved prefix are left out.
  std::optional<std::vector<std::shared_ptr<ZIVUserAttribute>>> userAttributesIncludingInternal(
      bool includingInternal, fnd::Error* error = nullptr);
  // Writes origin, name, value and set time, replacing the row of the same name, within
  // ZIVDatabaseAllUserAttributeMaxCount rows.
  [[nodiscard]] bool updateUserAttribute(const std::shared_ptr<ZIVUserAttribute>& attribute,
                                         fnd::Error* error = nullptr);
  [[nodiscard]] bool deleteUserAttributeWithName(const std::string& name,
                                                 fnd::Error* error = nullptr);

  // ---- Audience filters and results.

  [[nodiscard]] bool updateEventFilters(const std::vector<ZIVEventFilter>& filters,
                                        fnd::Error* error = nullptr);
  [[nodiscard]] bool updatePropertyFilters(const std::vector<ZIVPropertyFilter>& filters,
                                           fnd::Error* error = nullptr);
  [[nodiscard]] bool deleteEventFilters(const std::vector<ZIVEventFilter>& filters,
                                        fnd::Error* error = nullptr);
  [[nodiscard]] bool deletePropertyFilters(const std::vector<ZIVPropertyFilter>& filters,
                                           fnd::Error* error = nullptr);
  [[nodiscard]] bool deleteAllEventFilters(fnd::Error* error = nullptr);
  [[nodiscard]] bool deleteAllPropertyFilters(fnd::Error* error = nullptr);
  std::optional<std::vector<ZIVEventFilter>> eventFiltersForEventName(const std::string& eventName,
                                                                      fnd::Error* error = nullptr);
  std::optional<std::vector<ZIVPropertyFilter>> propertyFiltersForPropertyName(
      const std::string& propertyName, fnd::Error* error = nullptr);
  std::optional<std::set<int32_t>> allAudienceIDs(fnd::Error* error = nullptr);
  // Audience id -> the ids of its session-scoped event and property filters.
  std::optional<std::map<int32_t, std::set<int32_t>>> allSessionScopedFilters(
      fnd::Error* error = nullptr);
  [[nodiscard]] bool updateFilterResults(const std::vector<ZIVFilterResult>& results,
                                         fnd::Error* error = nullptr);
  std::optional<std::map<int32_t, ZIVFilterResult>> allFilterResults(fnd::Error* error = nullptr);
  // nullopt without an error when there is none.
  std::optional<ZIVFilterResult> filterResultForAudienceID(int32_t audienceID,
                                                           fnd::Error* error = nullptr);
  [[nodiscard]] bool deleteFilterResults(const std::vector<ZIVFilterResult>& results,
                                         fnd::Error* error = nullptr);

  // ---- Measurement configuration (in the app-metadata row).

  // Stores an encoded configuration that parses and carries an app id, with the current time.
  [[nodiscard]] bool updateRemoteConfig(const fnd::Data& data, fnd::Error* error = nullptr);
  [[nodiscard]] bool updateRemoteConfigSuccessfulTimestamp(double timestamp,
                                                           fnd::Error* error = nullptr);
  // Null without an error when none is stored.
  std::shared_ptr<APMPBMeasurementConfig> queryMeasurementConfigWithError(
      fnd::Error* error = nullptr);
  std::optional<double> lastRemoteConfigUpdateTimestamp(fnd::Error* error = nullptr);

  // ---- De-duplication sets.

  // false for an empty or stored fingerprint; otherwise stores it, keeps the newest 1000 and
  // answers true.
  std::optional<bool> insertIfNotDuplicatePurchaseFingerprint(const std::string& fingerprint,
                                                              fnd::Error* error = nullptr);
  std::optional<bool> insertIfNotDuplicateSubscriptionID(const std::string& subscriptionID,
                                                         fnd::Error* error = nullptr);
  // Keeps the newest 1000 subscription ids; answers the number deleted.
  std::optional<int64_t> deleteSubscriptionsOverLimit(fnd::Error* error = nullptr);

  // ---- Conditional user properties ("conditional_properties").

  [[nodiscard]] bool updateConditionalUserProperty(const ZIVConditionalUserProperty& property,
                                                   fnd::Error* error = nullptr);
  // Null without an error when there is none.
  std::shared_ptr<ZIVConditionalUserProperty> conditionalUserPropertyWithName(
      const std::string& name, fnd::Error* error = nullptr);
  [[nodiscard]] bool deleteConditionalUserPropertyWithName(const std::string& name,
                                                           fnd::Error* error = nullptr);
  // "SELECT rowid, * FROM conditional_properties WHERE condition".
  std::optional<std::vector<std::shared_ptr<ZIVConditionalUserProperty>>>
  conditionalUserPropertiesWithCondition(const std::string& condition,
                                         const fnd::Array& parameterValues,
                                         fnd::Error* error = nullptr);
  std::optional<std::vector<std::shared_ptr<ZIVConditionalUserProperty>>>
  timedOutConditionalUserPropertiesWithError(fnd::Error* error = nullptr);
  std::optional<std::vector<std::shared_ptr<ZIVConditionalUserProperty>>>
  expiredConditionalUserPropertiesWithError(fnd::Error* error = nullptr);
  std::optional<std::vector<std::shared_ptr<ZIVConditionalUserProperty>>>
  triggeredConditionalUserPropertiesWithEventName(const std::string& eventName,
                                                  fnd::Error* error = nullptr);
  // Names beginning with `prefix` and origins matching `origin`, each only when non-empty.
  std::optional<std::vector<std::shared_ptr<ZIVConditionalUserProperty>>>
  conditionalUserPropertiesWithPrefix(const std::string& prefix, const std::string& origin,
                                      fnd::Error* error = nullptr);

  // ---- Complex events under audience evaluation ("main_event_params").

  [[nodiscard]] bool updateComplexEventForAudienceEvaluationWithEventID(
      int64_t eventID, int64_t childEventCount, const std::shared_ptr<ZIVEvent>& mainEvent,
      fnd::Error* error = nullptr);
  // (main event, children left to process); nullopt without an error when there is none.
  std::optional<std::pair<std::shared_ptr<ZIVEvent>, int64_t>>
  mainEventAndChildCountPairWithEventID(int64_t eventID, fnd::Error* error = nullptr);
  [[nodiscard]] bool deleteComplexEventForAudienceEvaluationWithEventID(
      int64_t eventID, fnd::Error* error = nullptr);

  // ---- On-device measurement values ("odm_values").

  // The row as {"set_timestamp", "value"}; nullopt without an error when there is none.
  std::optional<Row> ODMValueWithName(const std::string& name, fnd::Error* error = nullptr);
  [[nodiscard]] bool updateODMValue(const std::string& value, const std::string& name,
                                    double setTimestamp, fnd::Error* error = nullptr);
  [[nodiscard]] bool deleteODMValueWithName(const std::string& name, fnd::Error* error = nullptr);

 private:
  ZIVDatabase(std::shared_ptr<ZIVPersistedConfig> persistedConfig, Environment environment);

  bool ensureAllTables(fnd::Error* error);
  bool initializeAppMetadata(fnd::Error* error);
  double now() const;
  std::optional<std::vector<Row>> rowsForQuery(const std::string& sql, const fnd::Array& params,
                                               fnd::Error* error);
  std::optional<bool> boolForQuery(const std::string& sql, const fnd::Array& params,
                                   fnd::Error* error);
  std::optional<int64_t> trimTable(const std::string& table, int64_t keep, fnd::Error* error);
  std::optional<bool> insertIfNotDuplicate(const std::string& table, const std::string& column,
                                           const std::string& value, fnd::Error* error);
  std::shared_ptr<ZIVConditionalUserProperty> conditionalUserPropertyFromRow(const Row& row);
  std::shared_ptr<ZIVUserAttribute> userAttributeFromRow(const Row& row);

  // Constant after construction.
  const std::shared_ptr<ZIVPersistedConfig> persistedConfig_;
  const std::shared_ptr<const ZIVDatabaseSettings> settings_;
  const std::shared_ptr<dispatch::Clock> clock_;  // Null: dispatch::Clock::current().

  // Owned by the worker queue.
  std::unique_ptr<ZIVSqliteStore> sqliteStore_;
};

// ---- Template definitions.

template <typename T>
std::optional<std::vector<std::shared_ptr<T>>> ZIVDatabase::allDataTypesFromTableWithName(
    const std::string& table, int64_t tableLimit, fnd::Error* error,
    const CreateBlock<T>& createDataTypeBlock) {
  if (!createDataTypeBlock) {
    ZIVSetError(error, 1, "Received nil block to get all data types");
    return std::nullopt;
  }
  auto rows = rowsForQuery(
      "SELECT rowid, * FROM " + table + " ORDER BY rowid LIMIT " + std::to_string(tableLimit), {},
      error);
  if (!rows) return std::nullopt;
  std::vector<std::shared_ptr<T>> result;
  for (const Row& row : *rows) {
    if (auto item = createDataTypeBlock(row)) result.push_back(std::move(item));
  }
  return result;
}

template <typename T>
std::optional<std::vector<std::shared_ptr<T>>> ZIVDatabase::dataTypesFromTableWithName(
    const std::string& table, const std::string& column,
    const std::optional<fnd::Value>& columnValue, fnd::Error* error,
    const CreateBlock<T>& createDataTypeBlock) {
  auto fail = [error](const char* text) {
    ZIVSetError(error, 1, text);
    return std::optional<std::vector<std::shared_ptr<T>>>();
  };
  if (table.empty()) return fail("Received empty table name to create data type from table");
  if (column.empty()) return fail("Received empty column name to create data type from table");
  if (!columnValue) return fail("Received nil column value to create data type from table");
  if (!createDataTypeBlock) return fail("Received nil block to create data type from table");
  auto rows = rowsForQuery("SELECT rowid, * FROM " + table + " WHERE " + column + " = ?",
                           {*columnValue}, error);
  if (!rows) return std::nullopt;
  std::vector<std::shared_ptr<T>> result;
  for (const Row& row : *rows) {
    auto item = createDataTypeBlock(row);
    if (!item) return fail("Failed to initialize data types from dictionaries");
    result.push_back(std::move(item));
  }
  return result;
}
