/* The SQLite store: the eight store operations and the six row operations
 * over an embedded SQLite 3 file. Whole result tables are fetched at once
 * (get-table) and every value is handled as text. */
#include "store/stores.h"

#include <sqlite3.h>

#include <cstdlib>

namespace {

/* Operations in other processes (the configuration tool beside the server)
 * wait this long for SQLite's file lock before giving up. */
constexpr int kBusyTimeoutMs = 600000;

struct SqliteResultSet {
    DbResultSet base;   /* must stay first: the row operations */
    int columns;
    int rows;
    char **table;       /* header row, then the data rows */
    int current;        /* -1 before the first next */
};

sqlite3 *Handle(DbConnection *conn) { return static_cast<sqlite3 *>(conn->handle); }

const char *Cell(DbResultSet *rs, int col)
{
    auto *s = reinterpret_cast<SqliteResultSet *>(rs);
    if (s->current < 0 || s->current >= s->rows || col < 0 || col >= s->columns)
        return nullptr;
    return s->table[(s->current + 1) * s->columns + col];
}

/* Records the outcome of a call on the connection and frees SQLite's text. */
bool Record(DbConnection *conn, int rc, char *message)
{
    Db_SetError(conn, rc, rc == SQLITE_OK ? nullptr : (message ? message : sqlite3_errstr(rc)));
    sqlite3_free(message);
    return rc == SQLITE_OK;
}

bool RunFixed(DbConnection *conn, const char *sql, const char *failureLine)
{
    char *message = nullptr;
    int rc = sqlite3_exec(Handle(conn), sql, nullptr, nullptr, &message);
    if (rc != SQLITE_OK)
        PolDb_Log(failureLine, message ? message : sqlite3_errstr(rc));
    return Record(conn, rc, message);
}

bool RowNext(DbResultSet *rs)
{
    auto *s = reinterpret_cast<SqliteResultSet *>(rs);
    if (s->current + 1 < s->rows) {
        s->current++;
        return true;
    }
    return false;
}

int RowGetInt(DbResultSet *rs, int col)
{
    const char *v = Cell(rs, col);
    return v ? atoi(v) : 0;
}

int64_t RowGetInt64(DbResultSet *rs, int col) { return PolDb_ParseInt64(Cell(rs, col)); }

bool RowGetBool(DbResultSet *rs, int col)
{
    const char *v = Cell(rs, col);
    return PolDb_StrToBool(v ? v : "");
}

char *RowGetString(DbResultSet *rs, int col) { return PolDb_Strdup(Cell(rs, col)); }

int64_t RowGetTimestamp(DbResultSet *rs, int col) { return rs->ops->getInt64(rs, col); }

const DbRowOps kRowOps = {RowNext, RowGetInt, RowGetInt64, RowGetBool, RowGetString, RowGetTimestamp};

bool StoreOpen(DbConnection *conn)
{
    sqlite3 *db = nullptr;
    const char *dsn = Db_ModuleDsn();
    int rc = sqlite3_open(dsn ? dsn : "", &db);
    if (!db)
        POLDB_ALLOC_FAILED();
    Db_SetError(conn, rc, rc == SQLITE_OK ? sqlite3_errstr(rc) : sqlite3_errmsg(db));
    if (rc != SQLITE_OK) {
        PolDb_Log("Db_Open: Can't open database: %s\n", sqlite3_errmsg(db));
        sqlite3_close(db);
        return false;
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    conn->handle = db;
    return true;
}

bool StoreClose(DbConnection *conn)
{
    int rc = sqlite3_close(Handle(conn));
    Db_SetError(conn, rc, rc == SQLITE_OK ? "OK" : "Error closing SQLite DB Connection");
    if (rc == SQLITE_OK)
        conn->handle = nullptr;
    return rc == SQLITE_OK;
}

bool StoreBegin(DbConnection *conn)
{
    return RunFixed(conn, "BEGIN IMMEDIATE", "Db_BeginTx: BEGIN IMMEDIATE error: %s\n");
}

bool StoreCommit(DbConnection *conn)
{
    return RunFixed(conn, "COMMIT", "Db_Commit: COMMIT error: %s\n");
}

bool StoreRollback(DbConnection *conn)
{
    /* SQLite itself ends the transaction on some errors (a full disk, an
     * interrupted statement); there is then nothing left to roll back. */
    if (sqlite3_get_autocommit(Handle(conn)))
        return true;
    return RunFixed(conn, "ROLLBACK", "Db_Rollback: ROLLBACK error: %s\n");
}

bool StoreExec(DbConnection *conn, const char *sql)
{
    char *message = nullptr;
    int rc = sqlite3_exec(Handle(conn), sql, nullptr, nullptr, &message);
    return Record(conn, rc, message);
}

bool StoreQuery(DbConnection *conn, const char *sql, DbResultSet **rs)
{
    char **table = nullptr;
    int rows = 0, columns = 0;
    char *message = nullptr;
    int rc = sqlite3_get_table(Handle(conn), sql, &table, &rows, &columns, &message);
    if (!Record(conn, rc, message)) {
        sqlite3_free_table(table);
        *rs = nullptr;
        return false;
    }
    auto *s = static_cast<SqliteResultSet *>(PolDb_Malloc(sizeof(SqliteResultSet)));
    s->base.ops = &kRowOps;
    s->columns = columns;
    s->rows = rows;
    s->table = table;
    s->current = -1;
    *rs = &s->base;
    return true;
}

void StoreFreeResult(DbConnection *, DbResultSet *rs)
{
    auto *s = reinterpret_cast<SqliteResultSet *>(rs);
    sqlite3_free_table(s->table);
    free(s);
}

const DbStoreOps kStoreOps = {StoreOpen, StoreClose, StoreBegin, StoreCommit,
                              StoreRollback, StoreExec, StoreQuery, StoreFreeResult};

} // namespace

const DbStoreOps *PolDb_SqliteStoreOps(void) { return &kStoreOps; }
