/* Databases of older schema versions for the upgrade tests, built by code
 * from the layouts each older version had: the layout of version 202, or
 * that of version 206 followed by the changes of each later version up to
 * the one asked for. Every table holds rows, deleted ones included where the
 * version has a tombstone column. The SQL is plain enough for SQLite and
 * PostgreSQL alike. */
#ifndef QUENSC_POLICYDB_UPGRADEFIXTURES_H
#define QUENSC_POLICYDB_UPGRADEFIXTURES_H

#include "policydb/db.h"

#include <string>
#include <vector>

/* Writes the tables and rows of `version` (202, or 206 to 215) through conn
 * and commits. False (with the statement's error on conn) on failure. */
bool UpgradeFixture_Build(DbConnection *conn, int version);

/* Adds `instances` instances of package P1 (and, for version 215,
 * `events` chained events) to a fixture of `version`, for benchmarks. */
bool UpgradeFixture_AddVolume(DbConnection *conn, int version, long instances, long events);

/* A table whose rows must survive the upgrade, with the columns every
 * version from 202 on has and that the upgrade leaves alone. */
struct FixtureTable {
    const char *name;
    const char *columns;   /* the first is the row's key */
};
const std::vector<FixtureTable> &UpgradeFixture_Tables(void);

/* The rows of a table as texts "col=value|..." sorted; numbers are written
 * as their value, so "0000000042" and "42" compare alike. */
std::vector<std::string> UpgradeFixture_Rows(DbConnection *conn, const FixtureTable &table);

/* Every row of every table of UpgradeFixture_Tables, one text per table. */
std::vector<std::vector<std::string>> UpgradeFixture_Snapshot(DbConnection *conn);

/* The fixture's counts, for the tests that look at a whole table. */
enum {
    FIXTURE_QUENS = 3,
    FIXTURE_ACCESS_ROWS = 4,      /* one of them deleted from version 207 on */
    FIXTURE_INSTANCES = 3,        /* one of them deleted from version 207 on */
    FIXTURE_EVENTS = 3,           /* version 215 */
};

#endif
