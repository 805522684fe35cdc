/* The policy database library: module initialisation and the schema check,
 * connections over a table of store operations, implicit transactions (write
 * transactions under the process-wide DB lock, read-only ones beside them
 * without it), error recording, and the statement helpers every
 * table module builds on (formatting, quoting, record arrays, unique keys,
 * the microsecond clock, MAC texts).
 *
 * Ownership in one sentence: statement texts and escaped literals live in the
 * connection's pool until the connection closes; texts and record arrays that
 * a function says are "newly allocated" are the caller's, freed with free()
 * (texts) or PolDb_FreeArray (record arrays).
 *
 * Threads: module init and exit run before and after request handling and are
 * not thread-safe. A DbConnection belongs to one thread at a time. PolDb_Now
 * and PolDb_CreateUniqueUID are safe to call from any number of threads. */
#ifndef QUENSC_POLICYDB_DB_H
#define QUENSC_POLICYDB_DB_H

#include <apr_pools.h>
#include <cinttypes>
#include <cstddef>
#include <cstdint>

/* ---- logging supplied by the deliverable ------------------------------ */

/* Each receives one finished line (most end in "\n"). The panic function
 * logs the line; the library then ends the process whatever it does. */
typedef void (*PolDbLogFn)(const char *text);

/* Installs the deliverable's log, warning and panic functions. A null
 * function keeps the default, which writes to stderr. */
void PolDb_SetLogFunctions(PolDbLogFn log, PolDbLogFn warning, PolDbLogFn panic);

void PolDb_Log(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void PolDb_Warning(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void PolDb_Panic(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/* Checks an invariant the library keeps; a broken one panics (and so ends
 * in the host's fatal call) with the expression and where it was checked. */
#define POLDB_ASSERT(expr) \
    ((expr) ? (void)0 : PolDb_Panic("Invariant broken: %s at %s:%d\n", #expr, __FILE__, __LINE__))

#define POLDB_ALLOC_FAILED() \
    PolDb_Panic("Unrecoverable memory allocation failure at %s:%d\n", __FILE__, __LINE__)

/* malloc/strdup that panic instead of returning null. */
void *PolDb_Malloc(size_t size);
char *PolDb_Strdup(const char *text);

/* ---- module --------------------------------------------------------------- */

#define POLDB_SCHEMA_VERSION 216

enum DbStoreKind { DB_STORE_SQLITE = 0, DB_STORE_ODBC = 1 };

enum DbEngine {
    DB_ENGINE_UNKNOWN = 0,
    DB_ENGINE_SQLITE = 1,
    DB_ENGINE_MSSQL = 2,
    DB_ENGINE_POSTGRES = 3,
    DB_ENGINE_ORACLE = 4,
};

/* What Db_ModuleInit does when the schema is not current:
 *   mode  wrong version        no schema
 *   0     fail                 fail
 *   1     upgrade              initialise
 *   2     fail                 initialise
 *   3     drop and initialise  initialise
 *   4     upgrade              fail (SQLite: the file must also exist)
 *   5     initialise, unchecked
 *   6     nothing is checked */
enum DbInitMode {
    DB_INIT_CHECK_ONLY = 0,
    DB_INIT_UPGRADE_OR_CREATE = 1,
    DB_INIT_CREATE_IF_EMPTY = 2,
    DB_INIT_RECREATE = 3,
    DB_INIT_UPGRADE_EXISTING = 4,
    DB_INIT_FORCE_CREATE = 5,
    DB_INIT_NO_CHECK = 6,
};

/* Acquires (true) or releases (false) the process-wide DB lock. */
typedef bool (*DbLockFn)(void *context, bool acquire);

struct DbModuleSettings {
    int storeKind;          /* DbStoreKind */
    const char *dsn;        /* SQLite file path, or ODBC data source name */
    const char *user;       /* ODBC only */
    const char *password;   /* ODBC only */
    bool autoTransaction;   /* ignored: the module always uses true */
    DbLockFn lockFn;        /* null: no locking */
    void *lockContext;
    bool logStatements;     /* log every statement as "[DEBUG] %s\n" */
};

/* Initialises the module for one store and checks (and, by mode, creates or
 * upgrades) the schema, then loads the event type table. Both outputs are
 * required; they are set to 0 first. On success *newVersion is 216 (unless
 * mode 6) and *oldVersion the version found before any change. Returns false
 * after logging why; a failed init leaves the module uninitialised. A second
 * call while initialised logs and returns true without touching anything.
 * In the upgrading modes (DB_INIT_UPGRADE_OR_CREATE, DB_INIT_UPGRADE_EXISTING)
 * a current or upgraded SQLite or PostgreSQL database also gets the search
 * indices it lacks; failing to build them is logged, not a failed init. */
bool Db_ModuleInit(const DbModuleSettings *settings, int mode, int *oldVersion, int *newVersion);

/* Un-initialises the module. Safe to call when not initialised. */
void Db_ModuleExit(void);

/* Whether the module holds settings (set during and after init). */
bool Db_ModuleIsInitialized(void);

/* The DSN the module was initialised with (null if none). */
const char *Db_ModuleDsn(void);

/* The module status: the last open attempt's error, or a schema operation's
 * status text (code -1). The text is at most 256 characters. */
const char *Db_ModuleStatusText(void);
void Db_SetModuleStatus(int code, const char *text);

/* What PolDb_CheckSchema finds. */
enum PolDbSchemaState {
    POLDB_SCHEMA_CURRENT = 0,       /* version 216 */
    POLDB_SCHEMA_WRONG_VERSION = 1, /* another version: upgrade or init */
    POLDB_SCHEMA_MISSING = 2,       /* no schema (or no readable version row) */
    POLDB_SCHEMA_NO_CONNECTION = 3, /* the database cannot be opened */
};

/* The state of the module's database as a PolDbSchemaState. The found
 * version goes to *version when given (for POLDB_SCHEMA_CURRENT and
 * POLDB_SCHEMA_WRONG_VERSION). Sets the module status text. */
int PolDb_CheckSchema(int *version);

/* Drops every table and creates the schema of version 216. */
bool InitSchema(void);

/* Set-up entry points of the configuration tool: each initialises the module
 * for the given store, does its one step and un-initialises it again. The
 * module status text afterwards says what happened. */
bool PolDb_SetupTestConnection(int storeKind, const char *dsn, const char *user, const char *password);
bool PolDb_SetupCheckSchema(int storeKind, const char *dsn, const char *user, const char *password);
/* The same, also giving the version found (0 when none could be read). */
bool PolDb_SetupCheckSchemaVersion(int storeKind, const char *dsn, const char *user, const char *password,
                                   int *version);
bool PolDb_SetupInitSchema(int storeKind, const char *dsn, const char *user, const char *password);
bool PolDb_SetupUpgradeSchema(int storeKind, const char *dsn, const char *user, const char *password);
/* Lists ODBC data sources; names and descriptions are newly allocated
 * arrays of newly allocated texts (free each, then the array). */
bool PolDb_SetupListDataSources(char ***names, char ***descriptions, int *count);

/* ---- connections -------------------------------------------------------- */

struct DbConnection;
struct DbResultSet;

/* Operations of one result set. Column indexes are 0-based. */
struct DbRowOps {
    bool (*next)(DbResultSet *rs);                /* first call moves to row 1 */
    int (*getInt)(DbResultSet *rs, int col);      /* 0 for NULL */
    int64_t (*getInt64)(DbResultSet *rs, int col);/* 0 for NULL */
    bool (*getBool)(DbResultSet *rs, int col);    /* "TRUE" ignoring case */
    char *(*getString)(DbResultSet *rs, int col); /* newly allocated; "" for NULL */
    int64_t (*getTimestamp)(DbResultSet *rs, int col);
};

/* Every store's result set starts with its row operations. */
struct DbResultSet {
    const DbRowOps *ops;
};

/* The eight operations a store implements; each gets the connection first. */
struct DbStoreOps {
    bool (*open)(DbConnection *conn);
    bool (*close)(DbConnection *conn);
    bool (*begin)(DbConnection *conn);
    bool (*commit)(DbConnection *conn);
    bool (*rollback)(DbConnection *conn);
    bool (*exec)(DbConnection *conn, const char *sql);
    bool (*query)(DbConnection *conn, const char *sql, DbResultSet **rs);
    void (*freeResult)(DbConnection *conn, DbResultSet *rs);
};

struct DbConnection {
    int storeKind;          /* selects the statement row of every table module */
    int engine;             /* DbEngine */
    bool inTransaction;
    bool autoTransaction;   /* begin implicitly before the first statement */
    const DbStoreOps *ops;
    /* The kind of the transactions begun on this connection (set with
     * Db_SetReadOnly, never while one is open): a read-only transaction
     * takes no database lock, is deferred ("BEGIN" on SQLite, which in
     * write-ahead-log mode runs beside a writer on its own snapshot) and
     * writes nothing. A transaction keeps its kind from begin to end: it is
     * never upgraded to a writer (under write-ahead logging an upgrade can
     * fail at once, SQLITE_BUSY_SNAPSHOT); what must be written after all
     * is written in a write transaction of its own. */
    bool readOnly;
    /* Set for good when a statement that writes was refused inside a
     * read-only transaction (SQLite; PolDb_LockAcrossServers on every
     * engine): a read was marked where a write happens, which the caller
     * reports as an internal error. */
    bool writeRefused;
    /* Holds of the database lock: on the engines that take it (SQLite and
     * PostgreSQL), exactly 1 while a write transaction is open and 0
     * otherwise (always 0 for a read-only one); never negative. */
    int lockDepth;
    int lastError;          /* 0 = none */
    char *lastErrorText;    /* owned (malloc) */
    bool errorLatched;      /* keep the first error across a rollback */
    apr_pool_t *pool;
    bool ownsPool;
    void *handle;           /* sqlite3* or ODBC connection */
    void *stmt;             /* ODBC statement of the current statement */
    /* Result sets not yet freed. One statement at a time: a statement runs
     * only while none is open, so at most one is. */
    int openResults;
};

/* Replaces the operations of the configured store for connections opened
 * from now on (null restores them). A seam for tests that need a store to
 * fail at a chosen point; not thread-safe against Db_Open. */
void Db_SetStoreOpsOverride(const DbStoreOps *ops);

/* Opens a new connection on its own pool, or returns null after logging. */
DbConnection *Db_Open(void);
/* Opens a connection built on the caller's pool, which it does not own
 * (statement texts then live as long as that pool). */
DbConnection *Db_OpenInPool(apr_pool_t *pool);
/* Rolls back an open transaction, closes, frees. Null returns true. */
bool Db_Close(DbConnection *conn);

/* Makes the transactions begun on conn from now on read-only (true) or
 * write transactions (false, the default of every new connection); see
 * DbConnection.readOnly. Only between transactions: one may be open only
 * when the kind does not change (a broken rule panics). This function
 * can't fail otherwise. */
void Db_SetReadOnly(DbConnection *conn, bool readOnly);

/* Begins a transaction of the connection's kind: a write transaction takes
 * the database lock (SQLite and PostgreSQL) and, on SQLite, the file's
 * write lock ("BEGIN IMMEDIATE"); a read-only one takes neither. */
bool Db_BeginTx(DbConnection *conn);
bool Db_Commit(DbConnection *conn);
bool Db_Rollback(DbConnection *conn);

/* Run a statement, beginning the implicit transaction first if needed. A
 * failure rolls the whole transaction back (and releases the DB lock); the
 * statement's own error text stays on the connection. */
bool Db_Exec(DbConnection *conn, const char *sql);
bool Db_Query(DbConnection *conn, const char *sql, DbResultSet **rs);
void Db_FreeResult(DbConnection *conn, DbResultSet *rs);

/* The connection's last error, or the module status when conn is null. */
int Db_GetLastError(DbConnection *conn);
const char *Db_GetLastErrorText(DbConnection *conn);

/* Records an error (used by the stores). Null conn sets the module status;
 * a latched connection keeps its first error. text may be null. */
void Db_SetError(DbConnection *conn, int code, const char *text);

/* ---- statement helpers (results live in the connection's pool) --------- */

/* printf-style formatting (the C library's). Use PRId64 for 64-bit. */
char *PolDbPsprintf(DbConnection *conn, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

/* A SQL literal for text: 'text' with quotes doubled (a backslash stays
 * itself on every engine), or NULL for a null text. withOperator prefixes
 * "= " / "IS "; lowercase lowers every character. */
char *PolDb_EscapeString(DbConnection *conn, bool lowercase, bool withOperator, const char *text);

/* "<select> WHERE deleted = 'FALSE' [AND <filter>]" */
char *PolDb_WhereNotDeleted(DbConnection *conn, const char *select, const char *filter);
/* "<select> WHERE <filter>", or select itself for a null filter */
char *PolDb_Where(DbConnection *conn, const char *select, const char *filter);

/* A growing heap text for builders; free with PolDb_TextFree. */
struct PolDbText {
    char *data;
    size_t length;
    size_t capacity;
};
void PolDb_TextAppend(PolDbText *text, const char *s);
void PolDb_TextAppendf(PolDbText *text, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void PolDb_TextFree(PolDbText *text);

/* Refreshes the statistics the engine's query planner chooses indices by
 * (ANALYZE on SQLite and PostgreSQL; nothing on the other engines, which
 * keep their own). Without them SQLite picks the low-selectivity `deleted`
 * index for every instance query. On SQLite the refresh is committed at
 * once and every connection opened afterwards plans with it. Logged like
 * PolDb_Exec on failure. */
bool PolDb_RefreshStatistics(DbConnection *conn);

/* Critical sections that several servers on one database must not run at
 * the same time (each reads a value and writes what follows from it). */
enum PolDbSharedLock {
    POLDB_LOCK_MAC_POOLS = 1,       /* key: the Quen whose pools hand out addresses */
    POLDB_LOCK_QUEN_INSTANCES = 2,  /* key: the Quen whose instances are counted */
    POLDB_LOCK_EVENT_CHAIN = 3,     /* no key: the next event number */
};

/* Takes the shared lock `which` (for key, or for the whole section when key
 * is null) until the connection's transaction ends, waiting for any other
 * server that holds it. On PostgreSQL a transaction-level advisory lock;
 * on SQLite nothing is needed ("BEGIN IMMEDIATE" already holds the file's
 * write lock for the whole transaction); SQL Server and Oracle keep their
 * own locking. Returns false after logging (and rolling back) when the lock
 * could not be taken, and on a read-only connection, where it is refused
 * like a write (writeRefused is set). */
bool PolDb_LockAcrossServers(DbConnection *conn, int which, const char *key);

/* Runs a statement; on failure logs
 * "PolDb_<name>: database error while executing SQL statement: ..." */
bool PolDb_Exec(DbConnection *conn, const char *sql, const char *name);

/* Fills one record from the current row. */
typedef void (*PolDbRowReader)(DbResultSet *rs, void *record);
/* Releases what one record owns (not the record itself). */
typedef void (*PolDbRecordRelease)(void *record);

/* Runs a query and reads every row into a newly allocated array of records.
 * Returns the count (0 leaves *array null), or -1 after logging an error. */
int PolDb_SelectArray(DbConnection *conn, const char *sql, PolDbRowReader reader,
                      void **array, size_t recordSize, const char *name);

/* Looks up the single matching record. True with *out set to it (newly
 * allocated: release it, then free it), or true with *out null when no row
 * matches. False, with *out null, for a database error or several rows
 * (both logged): "none" and "failed" are different answers. */
bool PolDb_SelectUnique(DbConnection *conn, const char *sql, PolDbRowReader reader, PolDbRecordRelease release,
                        size_t recordSize, const char *name, void **out);

/* Column 0 of the only row, newly allocated; null otherwise. */
char *SelectSingleString(DbConnection *conn, const char *sql);

/* Releases every record of an array and the array. Null is fine. */
void PolDb_FreeArray(void *array, int count, size_t recordSize, PolDbRecordRelease release);

#define POLDB_UID_SIZE 37   /* 36 characters and the terminator */

/* Writes a new identifier, unused in the long-field registry, to buffer.
 * Never hands out the same identifier twice in one process. */
void PolDb_CreateUniqueUID(DbConnection *conn, char buffer[POLDB_UID_SIZE]);

/* ---- values ---------------------------------------------------------------- */

/* Microseconds since 1970-01-01 UTC at millisecond resolution, strictly
 * increasing across every thread of the process. */
int64_t PolDb_Now(void);

/* "%02X:%02X:%02X:%02X:%02X:%02X" of the low 48 bits, newly allocated. */
char *PolDb_MacToString(int64_t value);
/* The value of "XX:XX:XX:XX:XX:XX"; 0 for null or anything malformed. */
int64_t PolDb_MacFromString(const char *text);

/* The length of the longest prefix of text[0..length) that is at most
 * maxBytes long and does not end inside a UTF-8 character (a cut never
 * splits a multi-byte form; text that is not UTF-8 is cut at maxBytes when
 * no boundary is near). This function can't fail. */
size_t PolDb_Utf8Prefix(const char *text, size_t length, size_t maxBytes);

/* True exactly when text equals "TRUE" ignoring case. */
bool PolDb_StrToBool(const char *text);

/* Reads a decimal 64-bit text as the stores do ("%I64d"); 0 when none. */
int64_t PolDb_ParseInt64(const char *text);

#endif
