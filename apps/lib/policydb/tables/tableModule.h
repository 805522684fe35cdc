/* Internal to the policy database library: what every table module shares.
 * Each module keeps a statement table with one row per store kind (row 0
 * SQLite, row 1 ODBC) of four statements: insert, update, soft delete and
 * the select column list; both rows hold the same texts in this version. */
#ifndef QUENSC_POLICYDB_TABLEMODULE_H
#define QUENSC_POLICYDB_TABLEMODULE_H

#include "policydb/db.h"

#include <cstdio>

enum PolDbStatementSlot { STMT_INSERT, STMT_UPDATE, STMT_DELETE, STMT_SELECT };

typedef const char *const PolDbStatementTable[2][4];

/* The statement in slot `which` for the connection's store kind. */
inline const char *PolDb_Statement(const PolDbStatementTable &table, const DbConnection *conn, int which)
{
    return table[conn->storeKind == DB_STORE_ODBC ? 1 : 0][which];
}

/* A SQL literal of a record's text; a null text becomes NULL. */
inline const char *PolDb_Literal(DbConnection *conn, const char *text)
{
    return PolDb_EscapeString(conn, false, false, text);
}

/* How the tables store booleans. */
inline const char *PolDb_Flag(bool value) { return value ? "TRUE" : "FALSE"; }

/* PolDb_SelectUnique for a record type: true with *out the record or null
 * (no row); false with *out null after a logged error or several rows. */
template <class T>
bool PolDb_SelectOne(DbConnection *conn, const char *sql, PolDbRowReader reader, PolDbRecordRelease release,
                     const char *name, T **out)
{
    void *found = nullptr;
    bool ok = PolDb_SelectUnique(conn, sql, reader, release, sizeof(T), name, &found);
    *out = static_cast<T *>(found);
    return ok;
}

/* Whether any row of table, deleted ones included (they keep their key),
 * holds value in column: true with *taken set; false (logged) when the table
 * cannot be read. table and column are the module's own names, never input. */
inline bool PolDb_KeyTaken(DbConnection *conn, const char *table, const char *column, const char *value,
                           bool *taken)
{
    *taken = false;
    char *sql = PolDbPsprintf(conn, "SELECT COUNT(*) FROM %s WHERE %s = %s", table, column, PolDb_Literal(conn, value));
    DbResultSet *rs = nullptr;
    if (!Db_Query(conn, sql, &rs))
        return false;
    *taken = rs->ops->next(rs) && rs->ops->getInt(rs, 0) > 0;
    Db_FreeResult(conn, rs);
    return true;
}

/* Formats the statement in `slot` of `table`. The SQLite text is named once
 * more, unevaluated, so that the compiler checks the arguments against it. */
#define POLDB_FORMAT(conn, table, text, slot, ...) \
    ((void)sizeof(printf(text, __VA_ARGS__)), PolDbPsprintf(conn, PolDb_Statement(table, conn, slot), __VA_ARGS__))

#endif
