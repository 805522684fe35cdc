/* The SQLite store: the eight store operations and the six row operations
 * over an embedded SQLite 3 file, and the small pool of open files behind
 * them. Statements run through the connection's kept statements
 * (sqliteStatements.h) where their shape allows; whole result tables are
 * fetched at once and every value is handled as text. A write transaction
 * is "BEGIN IMMEDIATE"; a read-only one is deferred and refuses every
 * statement that would write before it runs. */
#include "store/stores.h"

#include "store/sqliteStatements.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

namespace {

/* Operations in other processes (the configuration tool beside the server)
 * wait this long for SQLite's file lock before giving up. */
constexpr int kBusyTimeoutMs = 600000;

/* Open files kept for reuse. Opening a file and parsing its schema on the
 * first statement is most of the cost of a short request; a connection
 * still belongs to one caller (and its thread) from open to close, the
 * pool only keeps the file open in between. Each pooled file may hold a
 * page cache, so the pool stays small. */
constexpr size_t kPoolMax = 8;

/* Every connection: write-ahead log with a full sync at each commit. A
 * commit that answered is on disk as with the rollback journal, with fewer
 * syncs, and readers in other processes (the configuration tool, quensc-db)
 * never block on a writer. */
constexpr const char *kConnectionPragmas = "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;";

struct PooledFile {
    sqlite3 *db;
    SqliteStatements *kept;  /* its prepared statements */
    std::string dsn;
    dev_t device;
    ino_t inode;
    uint64_t statistics;   /* the statistics generation its planner has loaded */
    pid_t owner;           /* a file open in a parent is never used after fork */
};

std::mutex g_poolLock;
/* Never destroyed: files still kept at process exit stay reachable. */
std::vector<PooledFile> &g_pool = *new std::vector<PooledFile>;
std::atomic<uint64_t> g_statistics{0};

/* Identity of the file at dsn; false for a file that can't be pooled
 * (no path, an in-memory or missing file). */
bool FileIdentity(const char *dsn, dev_t *device, ino_t *inode)
{
    if (!dsn || !*dsn || dsn[0] == ':')
        return false;
    struct stat st;
    if (stat(dsn, &st) != 0)
        return false;
    *device = st.st_dev;
    *inode = st.st_ino;
    return true;
}

/* Finalizes the file's kept statements, then closes it. */
int CloseFile(sqlite3 *db, SqliteStatements *kept)
{
    PolDb_SqliteStatementsDestroy(kept);
    return sqlite3_close(db);
}

/* A pooled file for dsn whose file is still the one it opened (with its
 * kept statements in *kept), or null. */
sqlite3 *TakePooled(const char *dsn, uint64_t *statistics, SqliteStatements **kept)
{
    dev_t device;
    ino_t inode;
    if (!FileIdentity(dsn, &device, &inode))
        return nullptr;
    std::vector<PooledFile> stale;
    sqlite3 *found = nullptr;
    {
        std::lock_guard<std::mutex> hold(g_poolLock);
        for (size_t i = g_pool.size(); i-- > 0;) {
            PooledFile &f = g_pool[i];
            if (f.owner != getpid()) {
                /* Inherited through fork: its locks belong to the parent.
                 * Forgotten, never closed or used here. */
            } else if (f.dsn != dsn) {
                continue;
            } else if (f.device != device || f.inode != inode) {
                /* The file was replaced underneath: never hand it out. */
                stale.push_back(f);
            } else if (!found) {
                found = f.db;
                *statistics = f.statistics;
                *kept = f.kept;
            } else {
                continue;
            }
            g_pool.erase(g_pool.begin() + static_cast<long>(i));
        }
    }
    for (PooledFile &f : stale)
        CloseFile(f.db, f.kept);
    return found;
}

/* Keeps db for reuse; false when the pool is full or the file can't be
 * pooled (the caller closes it then). */
bool GivePooled(sqlite3 *db, SqliteStatements *kept, const char *dsn, uint64_t statistics)
{
    dev_t device;
    ino_t inode;
    if (!sqlite3_get_autocommit(db) || !FileIdentity(dsn, &device, &inode))
        return false;
    std::lock_guard<std::mutex> hold(g_poolLock);
    if (g_pool.size() >= kPoolMax)
        return false;
    g_pool.push_back(PooledFile{db, kept, dsn, device, inode, statistics, getpid()});
    return true;
}

/* Per connection: the handle, its kept statements and the statistics
 * generation it has loaded. */
struct SqliteHandle {
    sqlite3 *db;
    SqliteStatements *kept;
    uint64_t statistics;
};

struct SqliteResultSet {
    DbResultSet base;   /* must stay first: the row operations */
    int columns;
    int rows;
    int current;        /* -1 before the first next */
    /* The data rows' cells, row after row; null for NULL. They point into
     * texts (a kept statement's rows) or table (a text's get-table). */
    std::vector<const char *> cells;
    std::string texts;
    char **table;
};

SqliteHandle *HandleOf(DbConnection *conn) { return static_cast<SqliteHandle *>(conn->handle); }

sqlite3 *Handle(DbConnection *conn) { return HandleOf(conn)->db; }

const char *Cell(DbResultSet *rs, int col)
{
    auto *s = reinterpret_cast<SqliteResultSet *>(rs);
    if (s->current < 0 || s->current >= s->rows || col < 0 || col >= s->columns)
        return nullptr;
    return s->cells[static_cast<size_t>(s->current) * static_cast<size_t>(s->columns) + static_cast<size_t>(col)];
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
    const char *dsn = Db_ModuleDsn();
    uint64_t statistics = 0;
    SqliteStatements *kept = nullptr;
    sqlite3 *db = TakePooled(dsn, &statistics, &kept);
    if (db) {
        /* The planner reads the statistics once per schema load: a file
         * pooled before the last refresh reloads them. */
        uint64_t current = g_statistics.load();
        if (statistics != current) {
            if (sqlite3_exec(db, "ANALYZE sqlite_schema", nullptr, nullptr, nullptr) == SQLITE_OK) {
                statistics = current;
            } else {
                CloseFile(db, kept);
                db = nullptr;
                kept = nullptr;
            }
        }
    }
    if (!db) {
        /* Nothing reads SQLite's memory statistics, and keeping them takes
         * a process-wide mutex on every allocation. Only possible before
         * SQLite's first use in the process; refused (and harmless) after. */
        static std::once_flag memoryStatistics;
        std::call_once(memoryStatistics, [] { sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0); });
        statistics = g_statistics.load();
        /* A connection belongs to one thread at a time (the pool hands a
         * file to one caller), so SQLite's own per-call locking is not
         * needed. */
        int rc = sqlite3_open_v2(dsn ? dsn : "", &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                 nullptr);
        if (!db)
            POLDB_ALLOC_FAILED();
        if (rc != SQLITE_OK) {
            Db_SetError(conn, rc, sqlite3_errmsg(db));
            PolDb_Log("Db_Open: Can't open database: %s\n", sqlite3_errmsg(db));
            sqlite3_close(db);
            return false;
        }
        sqlite3_busy_timeout(db, kBusyTimeoutMs);
        char *message = nullptr;
        if (sqlite3_exec(db, kConnectionPragmas, nullptr, nullptr, &message) != SQLITE_OK) {
            /* The file stays usable in its current journal mode, which is
             * just as durable; the next open tries again. */
            PolDb_Log("Db_Open: Cannot set the journal mode: %s\n", message ? message : "");
        }
        sqlite3_free(message);
        kept = PolDb_SqliteStatementsCreate(db);
    }
    Db_SetError(conn, SQLITE_OK, sqlite3_errstr(SQLITE_OK));
    auto *h = new SqliteHandle;
    h->db = db;
    h->kept = kept;
    h->statistics = statistics;
    conn->handle = h;
    return true;
}

bool StoreClose(DbConnection *conn)
{
    auto *h = HandleOf(conn);
    int rc = SQLITE_OK;
    if (!GivePooled(h->db, h->kept, Db_ModuleDsn(), h->statistics)) {
        rc = CloseFile(h->db, h->kept);
        h->kept = nullptr;
    }
    Db_SetError(conn, rc, rc == SQLITE_OK ? "OK" : "Error closing SQLite DB Connection");
    if (rc == SQLITE_OK) {
        delete h;
        conn->handle = nullptr;
    }
    return rc == SQLITE_OK;
}

bool StoreBegin(DbConnection *conn)
{
    /* Deferred for a read-only transaction: the snapshot starts at the first
     * read and the file's write lock is never taken. Its statements are
     * checked before they run (AllowedNow). */
    if (conn->readOnly)
        return RunFixed(conn, "BEGIN", "Db_BeginTx: BEGIN error: %s\n");
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

/* True when every statement of sql only reads. A statement that cannot be
 * prepared ends the check with true: running sql then reports that error,
 * after only the statements before it, which were checked. */
bool TextOnlyReads(sqlite3 *db, const char *sql)
{
    const char *tail = sql;
    while (tail && *tail) {
        sqlite3_stmt *stmt = nullptr;
        if (sqlite3_prepare_v2(db, tail, -1, &stmt, &tail) != SQLITE_OK)
            return true;
        const bool reads = !stmt || sqlite3_stmt_readonly(stmt);
        sqlite3_finalize(stmt);
        if (!reads)
            return false;
    }
    return true;
}

/* Whether sql (kept: its kept statement, or null to run it as text) may run
 * now. Inside a read-only transaction a statement that would write is a
 * wrongly marked request: it is refused before it runs (SQLITE_READONLY,
 * the transaction rolled back by the caller) and told loudly, the log line
 * naming the statement by its first three words (its kind and table), never
 * its values. The check is made here rather than by "PRAGMA query_only",
 * because switching that pragma expires every kept statement. */
bool AllowedNow(DbConnection *conn, sqlite3_stmt *kept, const char *sql)
{
    if (!conn->readOnly || (kept ? sqlite3_stmt_readonly(kept) != 0 : TextOnlyReads(Handle(conn), sql)))
        return true;
    if (kept)
        PolDb_SqliteStatementDone(kept);
    conn->writeRefused = true;
    const char *p = sql;
    for (int words = 0; words < 3 && *p; words++) {
        while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r')
            p++;
        while (*p && *p != ' ' && *p != '\t' && *p != '\n' && *p != '\r' && *p != '(')
            p++;
    }
    const int head = static_cast<int>(p - sql > 120 ? 120 : p - sql);
    PolDb_Log("Db_Exec: refused a statement that writes inside a read-only transaction: %.*s\n", head, sql);
    return Record(conn, SQLITE_READONLY, nullptr);
}

/* The kept statement for sql with its values bound, or null when sql has
 * no shape that can be kept (it is then run as text). */
sqlite3_stmt *KeptStatement(DbConnection *conn, const char *sql)
{
    SqliteHandle *h = HandleOf(conn);
    return h->kept ? PolDb_SqliteStatementFor(h->kept, sql) : nullptr;
}

/* Records the outcome of stepping a kept statement to its end (rc: the
 * last step's code), as sqlite3_exec would have reported it. */
bool RecordStep(DbConnection *conn, sqlite3_stmt *stmt, int rc)
{
    if (rc == SQLITE_DONE) {
        PolDb_SqliteStatementDone(stmt);
        return Record(conn, SQLITE_OK, nullptr);
    }
    char *message = sqlite3_mprintf("%s", sqlite3_errmsg(Handle(conn)));
    PolDb_SqliteStatementDone(stmt);
    return Record(conn, rc, message);
}

bool StoreExec(DbConnection *conn, const char *sql)
{
    sqlite3_stmt *stmt = KeptStatement(conn, sql);
    if (!AllowedNow(conn, stmt, sql))
        return false;
    if (stmt) {
        int rc;
        while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        }
        return RecordStep(conn, stmt, rc);
    }
    char *message = nullptr;
    int rc = sqlite3_exec(Handle(conn), sql, nullptr, nullptr, &message);
    return Record(conn, rc, message);
}

/* Reads every row of a kept statement into s. */
int ReadRows(sqlite3_stmt *stmt, SqliteResultSet *s)
{
    s->columns = sqlite3_column_count(stmt);
    std::vector<size_t> offsets;   /* into s->texts; SIZE_MAX for NULL */
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        for (int col = 0; col < s->columns; col++) {
            const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(stmt, col));
            if (!text) {
                if (sqlite3_column_type(stmt, col) != SQLITE_NULL)
                    return SQLITE_NOMEM;
                offsets.push_back(SIZE_MAX);
                continue;
            }
            offsets.push_back(s->texts.size());
            s->texts.append(text);
            s->texts += '\0';
        }
        s->rows++;
    }
    s->cells.reserve(offsets.size());
    for (size_t offset : offsets)
        s->cells.push_back(offset == SIZE_MAX ? nullptr : s->texts.data() + offset);
    return rc;
}

bool StoreQuery(DbConnection *conn, const char *sql, DbResultSet **rs)
{
    *rs = nullptr;
    sqlite3_stmt *stmt = KeptStatement(conn, sql);
    if (!AllowedNow(conn, stmt, sql))
        return false;
    auto *s = new SqliteResultSet{};
    s->base.ops = &kRowOps;
    s->current = -1;
    if (stmt) {
        if (!RecordStep(conn, stmt, ReadRows(stmt, s))) {
            delete s;
            return false;
        }
        *rs = &s->base;
        return true;
    }
    int rows = 0, columns = 0;
    char *message = nullptr;
    int rc = sqlite3_get_table(Handle(conn), sql, &s->table, &rows, &columns, &message);
    if (!Record(conn, rc, message)) {
        sqlite3_free_table(s->table);
        delete s;
        return false;
    }
    s->columns = columns;
    s->rows = rows;
    /* The header row (the column names) is not needed. */
    s->cells.assign(s->table + columns, s->table + static_cast<size_t>(rows + 1) * static_cast<size_t>(columns));
    *rs = &s->base;
    return true;
}

void StoreFreeResult(DbConnection *, DbResultSet *rs)
{
    auto *s = reinterpret_cast<SqliteResultSet *>(rs);
    sqlite3_free_table(s->table);
    delete s;
}

const DbStoreOps kStoreOps = {StoreOpen, StoreClose, StoreBegin, StoreCommit,
                              StoreRollback, StoreExec, StoreQuery, StoreFreeResult};

} // namespace

const DbStoreOps *PolDb_SqliteStoreOps(void) { return &kStoreOps; }

void PolDb_SqliteStatisticsRefreshed(void) { g_statistics++; }

void PolDb_SqliteClosePool(void)
{
    std::vector<PooledFile> files;
    {
        std::lock_guard<std::mutex> hold(g_poolLock);
        files.swap(g_pool);
    }
    for (PooledFile &f : files)
        if (f.owner == getpid())
            CloseFile(f.db, f.kept);
}

