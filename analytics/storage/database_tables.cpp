// ZIVDatabase: event aggregates, user attributes, audience filters and results, de-duplication
// sets and on-device measurement values.

#include "analytics/engine/event.h"
#include "analytics/foundation/monitor_context.h"
#include "analytics/storage/database.h"
#include "analytics/storage/database_schema.h"
#include "analytics/storage/storage_log.h"

namespace {

constexpr const char* kEventsTable = "events";
constexpr const char* kEventsSnapshotTable = "events_snapshot";
constexpr const char* kUserAttributesTable = "user_attributes";
constexpr const char* kEventFiltersTable = "event_filters";
constexpr const char* kPropertyFiltersTable = "property_filters";
constexpr const char* kFilterValuesTable = "audience_filter_values";
constexpr const char* kODMValuesTable = "odm_values";

// The aggregates of the first-open event, which survive a restore from an older snapshot.
constexpr const char* kFirstOpenEventName = "_f";

bool HasPrefix(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// Names that the engine keeps for itself: internal ones and those with a reserved prefix.
bool IsInternalUserAttributeName(const std::string& name) {
  return HasPrefix(name, "_") || HasPrefix(name, "zudiroru_") || HasPrefix(name, "rivado_") ||
         HasPrefix(name, "ra_");
}

int32_t Int32Column(const fnd::Dictionary& row, const char* column, int32_t fallback = 0) {
  const fnd::Value value = row.get(column);
  return value.isNumber() ? static_cast<int32_t>(value.asInt()) : fallback;
}

fnd::Data DataColumn(const fnd::Dictionary& row, const char* column) {
  const fnd::Value value = row.get(column);
  return value.isData() ? *value.data() : fnd::Data();
}

std::shared_ptr<ZIVEventAggregates> AggregatesFromRow(const fnd::Dictionary& row) {
  const fnd::Value name = row.get("name");
  if (!name.isString()) return nullptr;
  auto aggregates = ZIVEventAggregates::initWithName(
      name.asString(), Int32Column(row, "lifetime_count"), Int32Column(row, "current_bundle_count"),
      Int32Column(row, "current_session_count"), row.get("last_fire_timestamp").asDouble(0));
  if (!aggregates) return nullptr;
  aggregates->setLastBundledTimestamp(row.get("last_bundled_timestamp").asDouble(0));
  const fnd::Value complexID = row.get("last_sampled_complex_event_id");
  if (complexID.isNumber()) aggregates->setLastSampledComplexEventID(complexID.asInt());
  // A rate of 0 means "never sampled" to no reader; an older row without one has the start rate.
  const int32_t rate = Int32Column(row, "last_sampling_rate", 1);
  aggregates->setLastSamplingRate(rate > 0 ? rate : 1);
  aggregates->setLastExemptFromSampling(Int32Column(row, "last_exempt_from_sampling") != 0);
  aggregates->setLastBundledDay(Int32Column(row, "last_bundled_day"));
  return aggregates;
}

fnd::Dictionary RowFromAggregates(const ZIVEventAggregates& aggregates) {
  fnd::Dictionary row;
  row.set("name", aggregates.name());
  row.set("lifetime_count", aggregates.lifetimeCount());
  row.set("current_bundle_count", aggregates.currentBundleCount());
  row.set("current_session_count", aggregates.currentSessionCount());
  row.set("last_fire_timestamp", aggregates.lastFireTimestamp());
  row.set("last_bundled_timestamp", aggregates.lastBundledTimestamp());
  row.set("last_sampling_rate", aggregates.lastSamplingRate());
  row.set("last_exempt_from_sampling", aggregates.lastExemptFromSampling() ? 1 : 0);
  row.set("last_bundled_day", aggregates.lastBundledDay());
  if (aggregates.lastSampledComplexEventID()) {
    row.set("last_sampled_complex_event_id",
            fnd::Value::Int64(*aggregates.lastSampledComplexEventID()));
  } else {
    row.set("last_sampled_complex_event_id", nullptr);
  }
  return row;
}

// "?,?,?" for `count` parameters.
std::string Placeholders(size_t count) {
  std::string text;
  for (size_t i = 0; i < count; ++i) text += i == 0 ? "?" : ",?";
  return text;
}

}  // namespace

// ---- Event aggregates.

std::optional<std::vector<std::shared_ptr<ZIVEventAggregates>>> ZIVDatabase::allEventAggregates(
    fnd::Error* error) {
  auto rows = rowsForQuery("SELECT rowid, * FROM events ORDER BY rowid", {}, error);
  if (!rows) return std::nullopt;
  std::vector<std::shared_ptr<ZIVEventAggregates>> result;
  for (const Row& row : *rows) {
    if (auto aggregates = AggregatesFromRow(row)) result.push_back(std::move(aggregates));
  }
  return result;
}

std::shared_ptr<ZIVEventAggregates> ZIVDatabase::eventAggregatesWithName(const std::string& name,
                                                                         fnd::Error* error) {
  auto items = dataTypesFromTableWithName<ZIVEventAggregates>(
      kEventsTable, "name", fnd::Value(name), error, AggregatesFromRow);
  if (!items || items->empty()) return nullptr;
  return items->front();
}

std::shared_ptr<ZIVEventAggregates> ZIVDatabase::eventAggregatesSnapshotWithName(
    const std::string& name, fnd::Error* error) {
  auto items = dataTypesFromTableWithName<ZIVEventAggregates>(
      kEventsSnapshotTable, "name", fnd::Value(name), error, AggregatesFromRow);
  if (!items || items->empty()) return nullptr;
  return items->front();
}

bool ZIVDatabase::updateEventAggregates(const ZIVEventAggregates& aggregates, fnd::Error* error) {
  return upsertDataType(RowFromAggregates(aggregates), kEventsTable, "name",
                        fnd::Value(aggregates.name()), -1, error);
}

bool ZIVDatabase::clearCurrentSessionCounts(fnd::Error* error) {
  if (!sqliteStore_) return ZIVSetError(error, 2, "Update record failed. Database not open.");
  return sqliteStore_->updateAllRecordsInTableWithName(kEventsTable, "current_session_count",
                                                       fnd::Value(0), error);
}

bool ZIVDatabase::deleteAllEventAggregates(fnd::Error* error) {
  if (!sqliteStore_) return ZIVSetError(error, 2, "Delete all records failed. Database not open.");
  return sqliteStore_->deleteAllRecordsFromTableWithName(kEventsTable, error);
}

bool ZIVDatabase::deleteAllEventAggregatesInSnapshot(fnd::Error* error) {
  if (!sqliteStore_) return ZIVSetError(error, 2, "Delete all records failed. Database not open.");
  return sqliteStore_->deleteAllRecordsFromTableWithName(kEventsSnapshotTable, error);
}

std::optional<int64_t> ZIVDatabase::publicEventCount(fnd::Error* error) {
  if (!sqliteStore_) {
    ZIVSetError(error, 2, "Query numeric result failed. Database not open.");
    return std::nullopt;
  }
  auto count = sqliteStore_->numberForQuery(
      "SELECT count(1) FROM events WHERE name NOT LIKE '!_%' ESCAPE '!'", {}, error);
  if (!count) return std::nullopt;
  return count->asInt();
}

bool ZIVDatabase::createEventsSnapshotTable(fnd::Error* error) {
  if (!sqliteStore_) return ZIVSetError(error, 2, "Ensure table failed. Database not open.");
  const ZIVDatabaseTableDescription* events = ZIVDatabaseTableNamed(kEventsTable);
  return sqliteStore_->performSavepointWithError(error, [&]() {
    if (!sqliteStore_->executeSQL(std::string("DROP TABLE IF EXISTS ") + kEventsSnapshotTable,
                                  error)) {
      return false;
    }
    fnd::Error ensureError;
    if (!sqliteStore_->ensureTableWithName(kEventsSnapshotTable, events->elementary, events->addOn,
                                           events->modify, &ensureError)) {
      ZIVStorageLog(4, 12058, "Failed to ensure event snapshot table",
                    {ZIVErrorContext(ensureError)});
      return fnd::SetError(error, ensureError);
    }
    return sqliteStore_->copySharedColumnsFromTable(kEventsTable, kEventsSnapshotTable, error);
  });
}

bool ZIVDatabase::restoreFromEventsSnapshotTable(fnd::Error* error) {
  if (!sqliteStore_) return ZIVSetError(error, 2, "Table exists failed. Database not open.");
  std::optional<bool> exists = sqliteStore_->tableExists(kEventsSnapshotTable, error);
  if (!exists) return false;
  if (!*exists) return true;
  std::optional<int64_t> count =
      sqliteStore_->rowCountForTableWithName(kEventsSnapshotTable, error);
  if (!count) return false;
  if (*count == 0) return true;
  return sqliteStore_->performSavepointWithError(error, [&]() {
    fnd::Error lookupError;
    std::shared_ptr<ZIVEventAggregates> currentFirstOpen =
        eventAggregatesWithName(kFirstOpenEventName, &lookupError);
    if (!currentFirstOpen && lookupError.code() != 0) return fnd::SetError(error, lookupError);
    std::shared_ptr<ZIVEventAggregates> snapshotFirstOpen =
        eventAggregatesSnapshotWithName(kFirstOpenEventName, &lookupError);
    if (!snapshotFirstOpen && lookupError.code() != 0) return fnd::SetError(error, lookupError);

    if (!sqliteStore_->deleteAllRecordsFromTableWithName(kEventsTable, error) ||
        !sqliteStore_->copySharedColumnsFromTable(kEventsSnapshotTable, kEventsTable, error)) {
      return false;
    }
    // A first open counted after the snapshot was taken must not be counted again.
    if (currentFirstOpen && (!snapshotFirstOpen || snapshotFirstOpen->lifetimeCount() == 0) &&
        !updateEventAggregates(*currentFirstOpen, error)) {
      return false;
    }
    return sqliteStore_->deleteAllRecordsFromTableWithName(kEventsSnapshotTable, error);
  });
}

// ---- User attributes.

std::shared_ptr<ZIVUserAttribute> ZIVDatabase::userAttributeFromRow(const Row& row) {
  const fnd::Value name = row.get("name");
  const fnd::Value stored = row.get("value");
  if (!name.isString()) return nullptr;
  ZIVValuePtr value;
  if (stored.isString()) {
    value = ZIVValue::initWithString(stored.asString());
  } else if (stored.isInt()) {
    value = ZIVValue::initWithInt64(stored.asInt());
  } else if (stored.isDouble()) {
    value = ZIVValue::initWithDouble(stored.asDouble());
  } else {
    return nullptr;
  }
  const fnd::Value origin = row.get("origin");
  return ZIVUserAttribute::initWithOrigin(origin.isString() ? origin.asString() : std::string(),
                                          name.asString(), value,
                                          row.get("set_timestamp").asDouble(0));
}

std::shared_ptr<ZIVUserAttribute> ZIVDatabase::userAttributeWithName(const std::string& name,
                                                                     fnd::Error* error) {
  auto items = dataTypesFromTableWithName<ZIVUserAttribute>(
      kUserAttributesTable, "name", fnd::Value(name), error,
      [this](const Row& row) { return userAttributeFromRow(row); });
  if (!items || items->empty()) return nullptr;
  return items->front();
}

std::optional<bool> ZIVDatabase::containsUserAttributeWithName(const std::string& name,
                                                               fnd::Error* error) {
  if (name.empty()) {
    ZIVSetError(error, 1, "Received empty user property name");
    return std::nullopt;
  }
  return boolForQuery("SELECT EXISTS (SELECT 1 FROM user_attributes WHERE name = ? LIMIT 1)",
                      {fnd::Value(name)}, error);
}

std::optional<int64_t> ZIVDatabase::userAttributeCountForOrigin(const std::string& origin,
                                                                fnd::Error* error) {
  if (origin.empty()) {
    ZIVSetError(error, 1, "Received empty user property origin");
    return std::nullopt;
  }
  if (!sqliteStore_) {
    ZIVSetError(error, 2, "Query numeric result failed. Database not open.");
    return std::nullopt;
  }
  auto count = sqliteStore_->numberForQuery("SELECT count(1) FROM user_attributes WHERE origin = ?",
                                            {fnd::Value(origin)}, error);
  if (!count) return std::nullopt;
  return count->asInt();
}

std::optional<int64_t> ZIVDatabase::publicUserAttributeCount(fnd::Error* error) {
  if (!sqliteStore_) {
    ZIVSetError(error, 2, "Query numeric result failed. Database not open.");
    return std::nullopt;
  }
  auto count = sqliteStore_->numberForQuery(
      "SELECT count(1) FROM user_attributes WHERE name NOT LIKE '!_%' ESCAPE '!'", {}, error);
  if (!count) return std::nullopt;
  return count->asInt();
}

std::optional<std::vector<std::shared_ptr<ZIVUserAttribute>>>
ZIVDatabase::allLifetimeValueUserAttributes(fnd::Error* error) {
  auto rows = rowsForQuery(
      "SELECT * FROM user_attributes WHERE name LIKE '!_ltv!_%' ESCAPE '!' ORDER BY set_timestamp "
      "DESC",
      {}, error);
  if (!rows) return std::nullopt;
  std::vector<std::shared_ptr<ZIVUserAttribute>> result;
  for (const Row& row : *rows) {
    if (auto attribute = userAttributeFromRow(row)) result.push_back(std::move(attribute));
  }
  return result;
}

std::optional<std::vector<std::shared_ptr<ZIVUserAttribute>>>
ZIVDatabase::userAttributesIncludingInternal(bool includingInternal, fnd::Error* error) {
  auto all = allDataTypesFromTableWithName<ZIVUserAttribute>(
      kUserAttributesTable, ZIVDatabaseAllUserAttributeMaxCount, error,
      [this](const Row& row) { return userAttributeFromRow(row); });
  if (!all || includingInternal) return all;
  std::vector<std::shared_ptr<ZIVUserAttribute>> result;
  for (auto& attribute : *all) {
    if (!IsInternalUserAttributeName(attribute->name())) result.push_back(std::move(attribute));
  }
  return result;
}

bool ZIVDatabase::updateUserAttribute(const std::shared_ptr<ZIVUserAttribute>& attribute,
                                      fnd::Error* error) {
  if (!attribute) return ZIVSetError(error, 1, "Received nil user property");
  if (attribute->origin().empty()) {
    return ZIVSetError(error, 1, "Received empty origin for user property");
  }
  if (attribute->name().empty())
    return ZIVSetError(error, 1, "Received empty name for user property");
  const ZIVValuePtr& value = attribute->value();
  if (!value || value->isArray()) {
    return ZIVSetError(error, 1, "Received unsupported value for user property");
  }
  if (value->isString() && value->stringValue()->empty()) {
    return ZIVSetError(error, 1, "Received empty string value for user property");
  }
  Row row;
  row.set("origin", attribute->origin());
  row.set("name", attribute->name());
  row.set("value", value->object());
  row.set("set_timestamp", attribute->lastSetTimestamp());
  return upsertDataType(row, kUserAttributesTable, "name", fnd::Value(attribute->name()),
                        ZIVDatabaseAllUserAttributeMaxCount, error);
}

bool ZIVDatabase::deleteUserAttributeWithName(const std::string& name, fnd::Error* error) {
  if (!sqliteStore_) return ZIVSetError(error, 2, "Delete record failed. Database not open.");
  return sqliteStore_->deleteRecordFromTableWithName(kUserAttributesTable, "name", fnd::Value(name),
                                                     error);
}

// ---- Audience filters and results.

bool ZIVDatabase::updateEventFilters(const std::vector<ZIVEventFilter>& filters,
                                     fnd::Error* error) {
  if (filters.empty()) return ZIVSetError(error, 1, "Received empty event filters");
  if (!sqliteStore_) return ZIVSetError(error, 2, "Upsert record failed. Database not open.");
  return sqliteStore_->performSavepointWithError(error, [&]() {
    for (const ZIVEventFilter& filter : filters) {
      if (filter.eventName.empty() || filter.data.empty()) {
        return ZIVSetError(error, 1, "Received invalid event filter");
      }
      Row row;
      row.set("audience_id", filter.audienceID);
      row.set("filter_id", filter.filterID);
      row.set("event_name", filter.eventName);
      row.set("data", fnd::Value(filter.data));
      row.set("session_scoped", filter.sessionScoped ? 1 : 0);
      if (!sqliteStore_->upsertRecord(row, kEventFiltersTable, error)) return false;
    }
    return true;
  });
}

bool ZIVDatabase::updatePropertyFilters(const std::vector<ZIVPropertyFilter>& filters,
                                        fnd::Error* error) {
  if (filters.empty()) return ZIVSetError(error, 1, "Received empty property filters");
  if (!sqliteStore_) return ZIVSetError(error, 2, "Upsert record failed. Database not open.");
  return sqliteStore_->performSavepointWithError(error, [&]() {
    for (const ZIVPropertyFilter& filter : filters) {
      if (filter.propertyName.empty() || filter.data.empty()) {
        return ZIVSetError(error, 1, "Received invalid property filter");
      }
      Row row;
      row.set("audience_id", filter.audienceID);
      row.set("filter_id", filter.filterID);
      row.set("property_name", filter.propertyName);
      row.set("data", fnd::Value(filter.data));
      row.set("session_scoped", filter.sessionScoped ? 1 : 0);
      if (!sqliteStore_->upsertRecord(row, kPropertyFiltersTable, error)) return false;
    }
    return true;
  });
}

namespace {

template <typename Filter>
std::string FilterKeyCondition(const std::vector<Filter>& filters) {
  std::string condition;
  for (const Filter& filter : filters) {
    if (!condition.empty()) condition += " OR ";
    condition += "(audience_id=" + std::to_string(filter.audienceID) +
                 " AND filter_id=" + std::to_string(filter.filterID) + ")";
  }
  return condition;
}

}  // namespace

bool ZIVDatabase::deleteEventFilters(const std::vector<ZIVEventFilter>& filters,
                                     fnd::Error* error) {
  if (filters.empty()) return ZIVSetError(error, 1, "Received empty event filters");
  if (!sqliteStore_) {
    return ZIVSetError(error, 2, "Delete records with condition failed. Database not open.");
  }
  return sqliteStore_
      ->deleteRecordsFromTableWithName(kEventFiltersTable, FilterKeyCondition(filters), {}, error)
      .has_value();
}

bool ZIVDatabase::deletePropertyFilters(const std::vector<ZIVPropertyFilter>& filters,
                                        fnd::Error* error) {
  if (filters.empty()) return ZIVSetError(error, 1, "Received empty property filters");
  if (!sqliteStore_) {
    return ZIVSetError(error, 2, "Delete records with condition failed. Database not open.");
  }
  return sqliteStore_
      ->deleteRecordsFromTableWithName(kPropertyFiltersTable, FilterKeyCondition(filters), {},
                                       error)
      .has_value();
}

bool ZIVDatabase::deleteAllEventFilters(fnd::Error* error) {
  if (!sqliteStore_) return ZIVSetError(error, 2, "Delete all records failed. Database not open.");
  return sqliteStore_->deleteAllRecordsFromTableWithName(kEventFiltersTable, error);
}

bool ZIVDatabase::deleteAllPropertyFilters(fnd::Error* error) {
  if (!sqliteStore_) return ZIVSetError(error, 2, "Delete all records failed. Database not open.");
  return sqliteStore_->deleteAllRecordsFromTableWithName(kPropertyFiltersTable, error);
}

std::optional<std::vector<ZIVEventFilter>> ZIVDatabase::eventFiltersForEventName(
    const std::string& eventName, fnd::Error* error) {
  if (eventName.empty()) {
    ZIVSetError(error, 1, "Received empty event name for event filters");
    return std::nullopt;
  }
  auto items = dataTypesFromTableWithName<ZIVEventFilter>(
      kEventFiltersTable, "event_name", fnd::Value(eventName), error,
      [](const Row& row) -> std::shared_ptr<ZIVEventFilter> {
        auto filter = std::make_shared<ZIVEventFilter>();
        filter->audienceID = Int32Column(row, "audience_id");
        filter->filterID = Int32Column(row, "filter_id");
        filter->eventName = row.get("event_name").asString();
        filter->data = DataColumn(row, "data");
        if (!ZIVEventFilterFlagsFromData(filter->data, &filter->sessionScoped, &filter->dynamic,
                                         &filter->sequence)) {
          return nullptr;
        }
        return filter;
      });
  if (!items) return std::nullopt;
  std::vector<ZIVEventFilter> result;
  for (const auto& item : *items) result.push_back(*item);
  return result;
}

std::optional<std::vector<ZIVPropertyFilter>> ZIVDatabase::propertyFiltersForPropertyName(
    const std::string& propertyName, fnd::Error* error) {
  if (propertyName.empty()) {
    ZIVSetError(error, 1, "Received empty property name for property filters");
    return std::nullopt;
  }
  auto items = dataTypesFromTableWithName<ZIVPropertyFilter>(
      kPropertyFiltersTable, "property_name", fnd::Value(propertyName), error,
      [](const Row& row) -> std::shared_ptr<ZIVPropertyFilter> {
        auto filter = std::make_shared<ZIVPropertyFilter>();
        filter->audienceID = Int32Column(row, "audience_id");
        filter->filterID = Int32Column(row, "filter_id");
        filter->propertyName = row.get("property_name").asString();
        filter->data = DataColumn(row, "data");
        if (!ZIVPropertyFilterFlagsFromData(filter->data, &filter->sessionScoped, &filter->dynamic,
                                            &filter->sequence)) {
          return nullptr;
        }
        return filter;
      });
  if (!items) return std::nullopt;
  std::vector<ZIVPropertyFilter> result;
  for (const auto& item : *items) result.push_back(*item);
  return result;
}

std::optional<std::set<int32_t>> ZIVDatabase::allAudienceIDs(fnd::Error* error) {
  auto rows = rowsForQuery(
      "SELECT audience_id FROM event_filters UNION SELECT audience_id FROM property_filters", {},
      error);
  if (!rows) return std::nullopt;
  std::set<int32_t> ids;
  for (const Row& row : *rows) ids.insert(Int32Column(row, "audience_id"));
  return ids;
}

std::optional<std::map<int32_t, std::set<int32_t>>> ZIVDatabase::allSessionScopedFilters(
    fnd::Error* error) {
  auto rows = rowsForQuery(
      "SELECT audience_id, filter_id FROM event_filters WHERE session_scoped = 1 UNION SELECT "
      "audience_id, filter_id FROM property_filters WHERE session_scoped = 1",
      {}, error);
  if (!rows) return std::nullopt;
  std::map<int32_t, std::set<int32_t>> filters;
  for (const Row& row : *rows) {
    filters[Int32Column(row, "audience_id")].insert(Int32Column(row, "filter_id"));
  }
  return filters;
}

bool ZIVDatabase::updateFilterResults(const std::vector<ZIVFilterResult>& results,
                                      fnd::Error* error) {
  if (results.empty()) return ZIVSetError(error, 1, "Received empty audience filter results");
  if (!sqliteStore_) return ZIVSetError(error, 2, "Upsert record failed. Database not open.");
  return sqliteStore_->performSavepointWithError(error, [&]() {
    for (const ZIVFilterResult& result : results) {
      if (result.currentResults.empty()) {
        return ZIVSetError(error, 1, "Received empty current audience filter results");
      }
      Row row;
      row.set("audience_id", result.audienceID);
      row.set("current_results", fnd::Value(result.currentResults));
      row.set("previous_results",
              result.previousResults.empty() ? fnd::Value() : fnd::Value(result.previousResults));
      if (!sqliteStore_->upsertRecord(row, kFilterValuesTable, error)) return false;
    }
    return true;
  });
}

namespace {

ZIVFilterResult FilterResultFromRow(const fnd::Dictionary& row) {
  return ZIVFilterResult{Int32Column(row, "audience_id"), DataColumn(row, "current_results"),
                         DataColumn(row, "previous_results")};
}

}  // namespace

std::optional<std::map<int32_t, ZIVFilterResult>> ZIVDatabase::allFilterResults(fnd::Error* error) {
  auto rows = rowsForQuery("SELECT rowid, * FROM audience_filter_values", {}, error);
  if (!rows) return std::nullopt;
  std::map<int32_t, ZIVFilterResult> results;
  for (const Row& row : *rows) {
    ZIVFilterResult result = FilterResultFromRow(row);
    results[result.audienceID] = std::move(result);
  }
  return results;
}

std::optional<ZIVFilterResult> ZIVDatabase::filterResultForAudienceID(int32_t audienceID,
                                                                      fnd::Error* error) {
  auto rows = rowsForQuery("SELECT rowid, * FROM audience_filter_values WHERE audience_id = ?",
                           {fnd::Value(audienceID)}, error);
  if (!rows || rows->empty()) return std::nullopt;
  return FilterResultFromRow(rows->front());
}

bool ZIVDatabase::deleteFilterResults(const std::vector<ZIVFilterResult>& results,
                                      fnd::Error* error) {
  if (results.empty()) return ZIVSetError(error, 1, "Received empty audience filter results");
  if (!sqliteStore_) {
    return ZIVSetError(error, 2, "Delete records with condition failed. Database not open.");
  }
  fnd::Array ids;
  for (const ZIVFilterResult& result : results) ids.push_back(fnd::Value(result.audienceID));
  return sqliteStore_
      ->deleteRecordsFromTableWithName(
          kFilterValuesTable, "audience_id IN (" + Placeholders(ids.size()) + ")", ids, error)
      .has_value();
}

// ---- De-duplication sets.

std::optional<bool> ZIVDatabase::insertIfNotDuplicate(const std::string& table,
                                                      const std::string& column,
                                                      const std::string& value, fnd::Error* error) {
  if (value.empty()) return false;
  if (!sqliteStore_) {
    ZIVSetError(error, 2, "Upsert record failed. Database not open.");
    return std::nullopt;
  }
  std::optional<bool> inserted;
  bool done = sqliteStore_->performSavepointWithError(error, [&]() {
    std::optional<bool> exists =
        boolForQuery("SELECT EXISTS (SELECT 1 FROM " + table + " WHERE " + column + " = ? LIMIT 1)",
                     {fnd::Value(value)}, error);
    if (!exists) return false;
    if (*exists) {
      inserted = false;
      return true;
    }
    Row row;
    row.set(column, value);
    if (!sqliteStore_->upsertRecord(row, table, error)) return false;
    if (!trimTable(table, ZIVDatabasePurchaseTransactionsMaxCount, error)) return false;
    inserted = true;
    return true;
  });
  if (!done) return std::nullopt;
  return inserted;
}

std::optional<bool> ZIVDatabase::insertIfNotDuplicatePurchaseFingerprint(
    const std::string& fingerprint, fnd::Error* error) {
  return insertIfNotDuplicate("purchase_transactions", "fingerprint", fingerprint, error);
}

std::optional<bool> ZIVDatabase::insertIfNotDuplicateSubscriptionID(
    const std::string& subscriptionID, fnd::Error* error) {
  return insertIfNotDuplicate("subscriptions", "subscription_id", subscriptionID, error);
}

std::optional<int64_t> ZIVDatabase::deleteSubscriptionsOverLimit(fnd::Error* error) {
  return trimTable("subscriptions", ZIVDatabasePurchaseTransactionsMaxCount, error);
}

// ---- On-device measurement values.

std::optional<ZIVDatabase::Row> ZIVDatabase::ODMValueWithName(const std::string& name,
                                                              fnd::Error* error) {
  if (name.empty()) {
    ZIVSetError(error, 1, "Received empty on-device measurement value name");
    return std::nullopt;
  }
  auto rows = rowsForQuery("SELECT set_timestamp, value FROM odm_values WHERE name = ?",
                           {fnd::Value(name)}, error);
  if (!rows || rows->empty()) return std::nullopt;
  return rows->front();
}

bool ZIVDatabase::updateODMValue(const std::string& value, const std::string& name,
                                 double setTimestamp, fnd::Error* error) {
  if (name.empty()) return ZIVSetError(error, 1, "Received empty on-device measurement value name");
  if (value.empty()) return ZIVSetError(error, 1, "Received empty on-device measurement value");
  Row row;
  row.set("name", name);
  row.set("value", value);
  row.set("set_timestamp", setTimestamp);
  return upsertDataType(row, kODMValuesTable, "name", fnd::Value(name),
                        ZIVDatabaseODMValuesMaxCount, error);
}

bool ZIVDatabase::deleteODMValueWithName(const std::string& name, fnd::Error* error) {
  if (name.empty()) return ZIVSetError(error, 1, "Received empty on-device measurement value name");
  if (!sqliteStore_) return ZIVSetError(error, 2, "Delete record failed. Database not open.");
  return sqliteStore_->deleteRecordFromTableWithName(kODMValuesTable, "name", fnd::Value(name),
                                                     error);
}
