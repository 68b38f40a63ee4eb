// The schema of the analytics database as data: for each table, the elementary columns it is
// created with, the add-on columns that older files may lack, and the columns whose declared type
// changed (the table is rebuilt when a file still has the old type).
//
// Thread safety: the description is built once and read-only afterwards.
#pragma once

#include <string>
#include <vector>

#include "analytics/storage/sqlite_store.h"

struct ZIVDatabaseTableDescription {
  std::string name;
  ZIVSqliteStore::ElementaryColumnInfo elementary;
  ZIVSqliteStore::AddOnColumnInfo addOn;
  ZIVSqliteStore::ModifyColumnInfo modify;
};

// The fourteen tables of the analytics database, in the order they are ensured at open.
const std::vector<ZIVDatabaseTableDescription>& ZIVDatabaseTables();
// The description of one table, or null.
const ZIVDatabaseTableDescription* ZIVDatabaseTableNamed(const std::string& name);
