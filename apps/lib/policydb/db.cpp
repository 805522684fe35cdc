/* The policy database library's core: module initialisation with the schema
 * check, connections, implicit transactions under the process-wide DB lock,
 * error recording, and the statement helpers shared by every table module. */
#include "policydb/db.h"

#include "store/stores.h"
#include "policydb/event.h"

#include <apr_general.h>
#include <apr_strings.h>
#include <apr_uuid.h>

#include <atomic>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <sys/time.h>
#include <vector>

/* ---- logging ---------------------------------------------------------------- */

static void DefaultSink(const char *text) { fputs(text, stderr); }

static PolDbLogFn g_log = DefaultSink;
static PolDbLogFn g_warning = DefaultSink;
static PolDbLogFn g_panic = DefaultSink;

void PolDb_SetLogFunctions(PolDbLogFn log, PolDbLogFn warning, PolDbLogFn panic)
{
    g_log = log ? log : DefaultSink;
    g_warning = warning ? warning : DefaultSink;
    g_panic = panic ? panic : DefaultSink;
}

static std::string FormatV(const char *fmt, va_list ap)
{
    va_list copy;
    va_copy(copy, ap);
    char small[512];
    int n = vsnprintf(small, sizeof small, fmt, copy);
    va_end(copy);
    if (n < 0)
        return std::string(fmt);
    if (static_cast<size_t>(n) < sizeof small)
        return std::string(small, n);
    std::string out(static_cast<size_t>(n) + 1, '\0');
    vsnprintf(out.data(), out.size(), fmt, ap);
    out.resize(n);
    return out;
}

static std::atomic<int> g_logSuppressed{0};

void PolDb_SuppressLog(bool on) { g_logSuppressed += on ? 1 : -1; }

void PolDb_Log(const char *fmt, ...)
{
    if (g_logSuppressed.load() > 0)
        return;
    va_list ap;
    va_start(ap, fmt);
    std::string line = FormatV(fmt, ap);
    va_end(ap);
    g_log(line.c_str());
}

void PolDb_Warning(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    std::string line = FormatV(fmt, ap);
    va_end(ap);
    g_warning(line.c_str());
}

void PolDb_Panic(const char *fmt, ...)
{
    char line[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    g_panic(line);
    abort();
}

void *PolDb_Malloc(size_t size)
{
    void *p = malloc(size ? size : 1);
    if (!p)
        POLDB_ALLOC_FAILED();
    return p;
}

char *PolDb_Strdup(const char *text)
{
    char *p = strdup(text ? text : "");
    if (!p)
        POLDB_ALLOC_FAILED();
    return p;
}

/* ---- module state ------------------------------------------------------------ */

/* The copied settings; g_initMarker while Db_ModuleInit runs; null when the
 * module is not initialised. */
static DbModuleSettings *g_settings;
static DbModuleSettings g_initMarker;
static apr_pool_t *g_modulePool;   /* kept for the process lifetime */
static apr_pool_t *g_settingsPool; /* the copied settings; dies with Db_ModuleExit */

static int g_statusCode;
static char g_statusText[257];

static void EnsureApr(void)
{
    static std::once_flag once;
    std::call_once(once, [] { apr_initialize(); });
}

bool Db_ModuleIsInitialized(void) { return g_settings != nullptr; }

const char *Db_ModuleDsn(void) { return g_settings ? g_settings->dsn : nullptr; }

const char *Db_ModuleUser(void) { return g_settings ? g_settings->user : nullptr; }

const char *Db_ModulePassword(void) { return g_settings ? g_settings->password : nullptr; }

const char *Db_ModuleStatusText(void) { return g_statusText; }

void Db_SetModuleStatus(int code, const char *text)
{
    g_statusCode = code;
    snprintf(g_statusText, sizeof g_statusText, "%s", text ? text : "");
}

static const char *DsnForLog(const DbModuleSettings *s)
{
    return (s && s->dsn && *s->dsn) ? s->dsn : "EMPTY";
}

void Db_ModuleExit(void)
{
    const DbModuleSettings *s = (g_settings == &g_initMarker) ? nullptr : g_settings;
    PolDb_Log("[INFO] Db_ModuleExit: Un-initializing, DSN was %s\n", DsnForLog(s));
    PolDb_OdbcFreeEnvironment();   /* nothing when there is none */
    PolDb_SqliteClosePool();
    PolDb_OdbcClearRefusedVersion3();
    g_settings = nullptr;
    if (g_settingsPool) {
        apr_pool_destroy(g_settingsPool);
        g_settingsPool = nullptr;
    }
    FreeEventTypes();
}

static char *CopyText(apr_pool_t *pool, const char *s)
{
    return s ? apr_pstrdup(pool, s) : nullptr;
}

/* Gives an existing SQLite or PostgreSQL database the lowercase and search
 * indices a fresh one has, each only when it is missing (a database made
 * before they existed, or brought up by the upgrade, lacks some). Building
 * them reads the whole instance table once. A failure is logged and the
 * database used as it is: the searches answer the same without them, only
 * slower. Nothing on the other engines. */
static void AddMissingSearchIndexes(DbConnection *conn)
{
    if (!conn || (conn->engine != DB_ENGINE_SQLITE && conn->engine != DB_ENGINE_POSTGRES))
        return;
    if (!Db_Exec(conn, PolDb_MissingSearchIndexScript()) || !Db_Commit(conn))
        PolDb_Log("PolDB_ModuleInit warning: Cannot create search indices, db error %s\n",
                  Db_GetLastErrorText(conn));
}

static void AddMissingSearchIndexes(void)
{
    DbConnection *conn = Db_Open();
    AddMissingSearchIndexes(conn);
    Db_Close(conn);
}

/* Opens a connection, loads the event type table and closes it again. */
static bool LoadEventTypeTable(void)
{
    DbConnection *conn = Db_Open();
    bool ok = false;
    if (conn) {
        ok = LoadEventTypes(conn);
        Db_Commit(conn);
        Db_Close(conn);
    } else {
        int count = 0;
        ok = PolDb_EventTypes(&count) != nullptr;
    }
    if (!ok)
        Db_SetModuleStatus(-1, "Cannot load event type lookup table");
    return ok;
}

bool Db_ModuleInit(const DbModuleSettings *settings, int mode, int *oldVersion, int *newVersion)
{
    if (!oldVersion || !newVersion)
        return false;
    *oldVersion = 0;
    *newVersion = 0;
    const char *dsn = DsnForLog(settings);
    if (!settings)
        return false;

    if (g_settings) {
        PolDb_Log("[INFO] Db_ModuleInit: Requested init for DSN = %s, but PolicyDb Module is already initialized\n",
                  dsn);
        return true;
    }
    g_settings = &g_initMarker;
    PolDb_Log("[INFO] Db_ModuleInit: initializing for DSN = %s\n", dsn);

    EnsureApr();
    if (!g_modulePool && apr_pool_create(&g_modulePool, nullptr) != APR_SUCCESS) {
        g_modulePool = nullptr;
        PolDb_Log("Db_ModuleInit: Cannot inititalize APR pool\n");
        Db_ModuleExit();
        return false;
    }
    if (apr_pool_create(&g_settingsPool, g_modulePool) != APR_SUCCESS)
        POLDB_ALLOC_FAILED();

    auto *copy = static_cast<DbModuleSettings *>(apr_pcalloc(g_settingsPool, sizeof(DbModuleSettings)));
    *copy = *settings;
    copy->dsn = CopyText(g_settingsPool, settings->dsn);
    copy->user = CopyText(g_settingsPool, settings->user);
    copy->password = CopyText(g_settingsPool, settings->password);
    copy->autoTransaction = true;
    g_settings = copy;

    if (copy->storeKind == DB_STORE_ODBC && !PolDb_OdbcCreateEnvironment(3)) {
        PolDb_Log("Cannot initialize ODBC environment\n");
        Db_SetModuleStatus(-1, "Cannot initialize ODBC environment");
        Db_ModuleExit();
        return false;
    }

    if (mode == DB_INIT_NO_CHECK)
        return true;

    bool initialise = (mode == DB_INIT_FORCE_CREATE);
    if (!initialise) {
        if (mode == DB_INIT_UPGRADE_EXISTING && copy->storeKind == DB_STORE_SQLITE) {
            FILE *f = copy->dsn ? fopen(copy->dsn, "r") : nullptr;
            if (!f) {
                PolDb_Log("PolDB_ModuleInit() DB file does not exist: %s", dsn);
                Db_SetModuleStatus(-1, "No database schema found, init required");
                Db_ModuleExit();
                return false;
            }
            fclose(f);
        }

        int found = 0;
        int check = PolDb_CheckSchema(&found);
        *oldVersion = found;
        *newVersion = found;
        switch (check) {
        case POLDB_SCHEMA_CURRENT:
            if (mode == DB_INIT_UPGRADE_OR_CREATE || mode == DB_INIT_UPGRADE_EXISTING)
                AddMissingSearchIndexes();
            break;
        case POLDB_SCHEMA_WRONG_VERSION:
            PolDb_Log("PolDB_ModuleInit: Found database schema with wrong version number = %d\n", found);
            if (mode == DB_INIT_UPGRADE_OR_CREATE || mode == DB_INIT_UPGRADE_EXISTING) {
            upgrade:
                DbConnection *conn = Db_Open();
                bool upgraded = conn && PolDb_UpgradeDbVersion(conn, found);
                if (upgraded)
                    AddMissingSearchIndexes(conn);
                Db_Close(conn);
                DbModuleSettings again = *copy;
                /* The copy dies with Db_ModuleExit: keep the texts alive. */
                std::string keepDsn = copy->dsn ? copy->dsn : "";
                std::string keepUser = copy->user ? copy->user : "";
                std::string keepPassword = copy->password ? copy->password : "";
                bool hadDsn = copy->dsn, hadUser = copy->user, hadPassword = copy->password;
                Db_ModuleExit();
                if (!upgraded)
                    return false;
                again.dsn = hadDsn ? keepDsn.c_str() : nullptr;
                again.user = hadUser ? keepUser.c_str() : nullptr;
                again.password = hadPassword ? keepPassword.c_str() : nullptr;
                int ignored = 0;
                return Db_ModuleInit(&again, DB_INIT_CHECK_ONLY, &ignored, newVersion);
            }
            if (mode == DB_INIT_RECREATE) {
                initialise = true;
                break;
            }
            Db_ModuleExit();
            return false;
        case POLDB_SCHEMA_MISSING:
            PolDb_Log("PolDB_ModuleInit: Found no or empty database\n");
            if (mode == DB_INIT_UPGRADE_OR_CREATE || mode == DB_INIT_UPGRADE_EXISTING) {
                /* An upgrade that stopped while the version row was gone
                 * (a rebuild drops it with the other old tables) is
                 * finished, never replaced by a fresh schema. */
                std::string status = Db_ModuleStatusText();
                DbConnection *probe = Db_Open();
                int pending = 0;
                bool resume = probe && PolDb_UpgradePending(probe, &pending);
                Db_Close(probe);
                Db_SetModuleStatus(-1, status.c_str());
                if (resume) {
                    *oldVersion = pending;
                    *newVersion = pending;
                    found = pending;
                    goto upgrade;
                }
            }
            if (mode == DB_INIT_CHECK_ONLY || mode == DB_INIT_UPGRADE_EXISTING) {
                Db_ModuleExit();
                return false;
            }
            initialise = true;
            break;
        default:
            Db_ModuleExit();
            return false;
        }
    }

    if (initialise) {
        PolDb_Log("PolDb_ModuleInit: Initializing Database schema\n");
        if (!InitSchema()) {
            PolDb_Log("PolDb_ModuleInit: Failed to initialize database schema\n");
            Db_ModuleExit();
            return false;
        }
    }
    *newVersion = POLDB_SCHEMA_VERSION;
    if (copy->storeKind == DB_STORE_ODBC && PolDb_OdbcRefusedVersion3()) {
        PolDb_Log("PolicyDb: Configured ODBC Driver doesn't support default ODBC Ver. 3, re-initializing "
                  "environment to Ver. 2\n");
        PolDb_OdbcFreeEnvironment();
        if (!PolDb_OdbcCreateEnvironment(2)) {
            PolDb_Log("Cannot initialize ODBC environment for Ver. 2\n");
            Db_ModuleExit();
            return false;
        }
    }
    return LoadEventTypeTable();
}

int PolDb_CheckSchema(int *version)
{
    int local = 0;
    int *out = version ? version : &local;
    DbConnection *conn = Db_Open();
    if (!conn) {
        Db_SetModuleStatus(-1, "Cannot open database connection");
        return POLDB_SCHEMA_NO_CONNECTION;
    }
    int result = POLDB_SCHEMA_MISSING;
    const char *text = "No database schema found, init required";
    DbResultSet *rs = nullptr;
    if (Db_Query(conn, "SELECT value FROM PolicyDb_MetaInfo WHERE name = 'version'", &rs)) {
        if (rs->ops->next(rs)) {
            char *value = rs->ops->getString(rs, 0);
            bool unique = !rs->ops->next(rs);
            if (unique) {
                *out = atoi(value);
                result = (*out == POLDB_SCHEMA_VERSION) ? POLDB_SCHEMA_CURRENT : POLDB_SCHEMA_WRONG_VERSION;
                text = result == POLDB_SCHEMA_CURRENT ? "Database operation successful"
                                   : "Database schema wrong version, init required";
            }
            free(value);
        }
        Db_FreeResult(conn, rs);
    }
    Db_Commit(conn);
    Db_Close(conn);
    Db_SetModuleStatus(-1, text);
    return result;
}

bool InitSchema(void)
{
    DbConnection *conn = Db_Open();
    if (!conn) {
        PolDb_Log("Database Schema Init failed: Cannot open DB connection\n");
        Db_SetModuleStatus(-1, "Cannot open database connection");
        return false;
    }
    for (int i = 0; i < PolDb_SchemaTableCount; i++) {
        char *sql = PolDbPsprintf(conn, "DROP TABLE %s", PolDb_SchemaTables[i]);
        if (Db_Exec(conn, sql))
            Db_Commit(conn);
    }
    if (!Db_Exec(conn, PolDb_SchemaScript()) || !Db_Commit(conn)) {
        PolDb_Log("InitSchema: Database Schema Initialization error %s\n", Db_GetLastErrorText(conn));
        Db_SetModuleStatus(-1, "Cannot initialize database schema");
        Db_Close(conn);
        return false;
    }
    /* The lower() indices serve the case-insensitive searches (on SQLite
     * through the range the instance query adds to a LIKE with a literal
     * head). */
    if (conn->engine == DB_ENGINE_ORACLE || conn->engine == DB_ENGINE_POSTGRES || conn->engine == DB_ENGINE_SQLITE) {
        if (!Db_Exec(conn, PolDb_LowercaseIndexScript()) || !Db_Commit(conn))
            PolDb_Log("InitSchema warning: Cannot create lowercase indices, db error %s\n",
                      Db_GetLastErrorText(conn));
    }
    /* The combined indices of the package and Quen lists. */
    if (conn->engine == DB_ENGINE_POSTGRES || conn->engine == DB_ENGINE_SQLITE) {
        if (!Db_Exec(conn, PolDb_SearchIndexScript()) || !Db_Commit(conn))
            PolDb_Log("InitSchema warning: Cannot create search indices, db error %s\n",
                      Db_GetLastErrorText(conn));
    }
    Db_Close(conn);
    if (PolDb_CheckSchema(nullptr) != POLDB_SCHEMA_CURRENT) {
        PolDb_Log("Schema is still wrong after attempted init. Check permissions of the DB user account.\n");
        return false;
    }
    return true;
}

/* ---- set-up entry points of the configuration tool ------------------------- */

static bool AlwaysLocked(void *, bool) { return true; }

static bool SetupInit(int storeKind, const char *dsn, const char *user, const char *password, int mode)
{
    DbModuleSettings s{};
    s.storeKind = storeKind;
    s.dsn = dsn;
    s.user = user;
    s.password = password;
    s.autoTransaction = true;
    s.lockFn = AlwaysLocked;
    s.logStatements = false;
    int oldVersion = 0, newVersion = 0;
    return Db_ModuleInit(&s, mode, &oldVersion, &newVersion);
}

bool PolDb_SetupTestConnection(int storeKind, const char *dsn, const char *user, const char *password)
{
    if (!SetupInit(storeKind, dsn, user, password, DB_INIT_NO_CHECK))
        return false;
    DbConnection *conn = Db_Open();
    bool ok = conn != nullptr;
    Db_Close(conn);
    Db_SetModuleStatus(-1, ok ? "Database operation successful" : "Cannot open database connection");
    Db_ModuleExit();
    return ok;
}

bool PolDb_SetupCheckSchema(int storeKind, const char *dsn, const char *user, const char *password)
{
    int version = 0;
    return PolDb_SetupCheckSchemaVersion(storeKind, dsn, user, password, &version);
}

bool PolDb_SetupCheckSchemaVersion(int storeKind, const char *dsn, const char *user, const char *password,
                                   int *version)
{
    *version = 0;
    if (!SetupInit(storeKind, dsn, user, password, DB_INIT_NO_CHECK))
        return false;
    bool ok = PolDb_CheckSchema(version) == POLDB_SCHEMA_CURRENT;
    Db_ModuleExit();
    return ok;
}

bool PolDb_SetupInitSchema(int storeKind, const char *dsn, const char *user, const char *password)
{
    if (!SetupInit(storeKind, dsn, user, password, DB_INIT_NO_CHECK))
        return false;
    bool ok = InitSchema();
    Db_ModuleExit();
    return ok;
}

bool PolDb_SetupUpgradeSchema(int storeKind, const char *dsn, const char *user, const char *password)
{
    bool ok = SetupInit(storeKind, dsn, user, password, DB_INIT_UPGRADE_OR_CREATE);
    if (ok)
        Db_ModuleExit();
    return ok;
}

bool PolDb_SetupListDataSources(char ***names, char ***descriptions, int *count)
{
    if (names)
        *names = nullptr;
    if (descriptions)
        *descriptions = nullptr;
    if (count)
        *count = 0;
    if (!names || !descriptions || !count)
        return false;
    if (!SetupInit(DB_STORE_ODBC, "", "", "", DB_INIT_NO_CHECK))
        return false;
    std::vector<std::string> n, d;
    bool ok = PolDb_OdbcListDataSources(&n, &d);
    if (ok && !n.empty()) {
        *names = static_cast<char **>(PolDb_Malloc(n.size() * sizeof(char *)));
        *descriptions = static_cast<char **>(PolDb_Malloc(n.size() * sizeof(char *)));
        for (size_t i = 0; i < n.size(); i++) {
            (*names)[i] = PolDb_Strdup(n[i].c_str());
            (*descriptions)[i] = PolDb_Strdup(d[i].c_str());
        }
        *count = static_cast<int>(n.size());
    }
    Db_ModuleExit();
    return ok;
}

/* ---- connections and transactions ------------------------------------------ */

static const DbStoreOps *g_opsOverride;

void Db_SetStoreOpsOverride(const DbStoreOps *ops) { g_opsOverride = ops; }

/* Builds and opens a connection on pool; destroys an owned pool on failure. */
static DbConnection *OpenOn(apr_pool_t *pool, bool ownsPool)
{
    if (!g_settings || g_settings == &g_initMarker) {
        if (ownsPool)
            apr_pool_destroy(pool);
        return nullptr;
    }
    auto *conn = static_cast<DbConnection *>(apr_pcalloc(pool, sizeof(DbConnection)));
    conn->storeKind = g_settings->storeKind;
    conn->autoTransaction = g_settings->autoTransaction;
    conn->pool = pool;
    conn->ownsPool = ownsPool;
    if (conn->storeKind == DB_STORE_SQLITE) {
        conn->engine = DB_ENGINE_SQLITE;
        conn->ops = g_opsOverride ? g_opsOverride : PolDb_SqliteStoreOps();
    } else if (conn->storeKind == DB_STORE_ODBC) {
        conn->ops = g_opsOverride ? g_opsOverride : PolDb_OdbcStoreOps();
    } else {
        PolDb_Panic("NOT_IMPLEMENTED %s:%d\n", __FILE__, __LINE__);
    }
    bool opened = conn->ops->open(conn);
    Db_SetModuleStatus(conn->lastError, conn->lastErrorText);
    if (!opened) {
        PolDb_Log("Db_Open: Cannot open a DB Connection: %s\n", conn->lastErrorText ? conn->lastErrorText : "");
        free(conn->lastErrorText);
        if (ownsPool)
            apr_pool_destroy(pool);
        return nullptr;
    }
    return conn;
}

DbConnection *Db_Open(void)
{
    EnsureApr();
    apr_pool_t *pool = nullptr;
    if (apr_pool_create(&pool, nullptr) != APR_SUCCESS) {
        PolDb_Log("Db_Open: Cannot inititalize APR pool\n");
        return nullptr;
    }
    return OpenOn(pool, true);
}

DbConnection *Db_OpenInPool(apr_pool_t *pool)
{
    return OpenOn(pool, false);
}

bool Db_Close(DbConnection *conn)
{
    if (!conn)
        return true;
    if (conn->inTransaction)
        Db_Rollback(conn);
    bool ok = conn->ops->close(conn);
    free(conn->lastErrorText);
    conn->lastErrorText = nullptr;
    if (conn->ownsPool)
        apr_pool_destroy(conn->pool);
    return ok;
}

static bool EngineIsLocked(const DbConnection *conn)
{
    return conn->engine == DB_ENGINE_SQLITE || conn->engine == DB_ENGINE_POSTGRES;
}

static bool CallLock(bool acquire)
{
    const DbModuleSettings *s = g_settings;
    if (!s || s == &g_initMarker || !s->lockFn)
        return true;
    return s->lockFn(s->lockContext, acquire);
}

/* Undoes one lock step; returns false when the release failed. */
static bool ReleaseLockStep(DbConnection *conn)
{
    POLDB_ASSERT(conn->lockDepth >= 0 && conn->lockDepth <= 1);
    /* A read-only transaction never holds the database lock. */
    POLDB_ASSERT(!conn->readOnly || conn->lockDepth == 0);
    if (!EngineIsLocked(conn) || conn->lockDepth == 0)
        return true;
    conn->lockDepth--;
    if (conn->lockDepth == 0 && !CallLock(false)) {
        PolDb_Log("Db_BegitTx: cannot release DB lock\n");
        return false;
    }
    return true;
}

void Db_SetReadOnly(DbConnection *conn, bool readOnly)
{
    /* A transaction keeps the kind it began with: never upgraded. */
    POLDB_ASSERT(!conn->inTransaction || conn->readOnly == readOnly);
    conn->readOnly = readOnly;
}

bool Db_BeginTx(DbConnection *conn)
{
    /* A connection has one transaction at a time, and holds the lock only
     * inside a write transaction: readers run beside the writer that holds
     * it (the store gives them a snapshot and refuses their writes). */
    POLDB_ASSERT(!conn->inTransaction);
    POLDB_ASSERT(conn->lockDepth == 0);
    if (EngineIsLocked(conn) && !conn->readOnly) {
        if (conn->lockDepth == 0 && !CallLock(true)) {
            PolDb_Log("Db_BegitTx: cannot acquire DB lock\n");
            return false;
        }
        conn->lockDepth++;
    }
    conn->inTransaction = conn->ops->begin(conn);
    if (!conn->inTransaction) {
        PolDb_Log("Failed to start a DB transaction: %s\n", Db_GetLastErrorText(conn));
        ReleaseLockStep(conn);
        return false;
    }
    return true;
}

bool Db_Commit(DbConnection *conn)
{
    if (!conn->inTransaction)
        return true;
    if (!conn->ops->commit(conn)) {
        PolDb_Log("Failed to commit a DB transaction: %s\n", Db_GetLastErrorText(conn));
        conn->errorLatched = true;
        Db_Rollback(conn);
        conn->errorLatched = false;
        return false;
    }
    conn->inTransaction = false;
    return ReleaseLockStep(conn);
}

bool Db_Rollback(DbConnection *conn)
{
    bool ok = conn->ops->rollback(conn);
    if (!ok)
        PolDb_Log("Failed to rollback a DB transaction: %s\n", Db_GetLastErrorText(conn));
    conn->inTransaction = false;
    if (!ReleaseLockStep(conn))
        return false;
    return ok;
}

/* Begins the implicit transaction when one is due. */
static bool EnsureTransaction(DbConnection *conn)
{
    if (conn->autoTransaction && !conn->inTransaction)
        return Db_BeginTx(conn);
    return true;
}

static bool LogStatements(void)
{
    return g_settings && g_settings != &g_initMarker && g_settings->logStatements;
}

/* A failed statement rolls the whole transaction back, keeping its error. */
static void RollbackAfterFailure(DbConnection *conn)
{
    conn->errorLatched = true;
    if (conn->inTransaction)
        Db_Rollback(conn);
    conn->errorLatched = false;
}

bool Db_Exec(DbConnection *conn, const char *sql)
{
    POLDB_ASSERT(conn->openResults == 0);
    if (!EnsureTransaction(conn))
        return false;
    if (LogStatements())
        PolDb_Log("[DEBUG] %s\n", sql);
    if (!conn->ops->exec(conn, sql)) {
        RollbackAfterFailure(conn);
        return false;
    }
    return true;
}

bool Db_Query(DbConnection *conn, const char *sql, DbResultSet **rs)
{
    *rs = nullptr;
    POLDB_ASSERT(conn->openResults == 0);
    if (!EnsureTransaction(conn))
        return false;
    if (LogStatements())
        PolDb_Log("[DEBUG] %s\n", sql);
    if (!conn->ops->query(conn, sql, rs)) {
        *rs = nullptr;
        RollbackAfterFailure(conn);
        return false;
    }
    conn->openResults++;
    return true;
}

void Db_FreeResult(DbConnection *conn, DbResultSet *rs)
{
    if (!rs)
        return;
    POLDB_ASSERT(conn->openResults == 1);
    conn->openResults--;
    conn->ops->freeResult(conn, rs);
}

int Db_GetLastError(DbConnection *conn)
{
    return conn ? conn->lastError : g_statusCode;
}

const char *Db_GetLastErrorText(DbConnection *conn)
{
    if (!conn)
        return g_statusText;
    return conn->lastErrorText ? conn->lastErrorText : "";
}

void Db_SetError(DbConnection *conn, int code, const char *text)
{
    if (!conn) {
        Db_SetModuleStatus(code, text);
        return;
    }
    if (conn->errorLatched)
        return;
    conn->lastError = code;
    free(conn->lastErrorText);
    conn->lastErrorText = text ? PolDb_Strdup(text) : nullptr;
}

/* ---- statement helpers -------------------------------------------------------- */

char *PolDbPsprintf(DbConnection *conn, const char *fmt, ...)
{
    /* The C library's formatter: statement texts carry long literals (a
     * session record, an instance row), which it copies a run at a time
     * where APR's copies a character at a time. */
    va_list ap;
    va_start(ap, fmt);
    char small[1024];
    va_list copy;
    va_copy(copy, ap);
    int n = vsnprintf(small, sizeof small, fmt, copy);
    va_end(copy);
    char *out = nullptr;
    if (n >= 0) {
        out = static_cast<char *>(apr_palloc(conn->pool, static_cast<size_t>(n) + 1));
        if (out && static_cast<size_t>(n) < sizeof small)
            memcpy(out, small, static_cast<size_t>(n) + 1);
        else if (out)
            vsnprintf(out, static_cast<size_t>(n) + 1, fmt, ap);
    }
    va_end(ap);
    if (!out)
        PolDb_Panic("PolDbPsprintf: Cannot allocate memory\n");
    return out;
}

char *PolDb_EscapeString(DbConnection *conn, bool lowercase, bool withOperator, const char *text)
{
    if (!text)
        return apr_pstrdup(conn->pool, withOperator ? "IS NULL" : "NULL");
    size_t len = strlen(text);
    /* Worst case every character doubles; plus operator, quotes, NUL. */
    char *out = static_cast<char *>(apr_palloc(conn->pool, 2 * len + 6));
    if (!out)
        PolDb_Panic("PolDb_EscapeString: Cannot allocate memory\n");
    char *p = out;
    if (withOperator) {
        *p++ = '=';
        *p++ = ' ';
    }
    *p++ = '\'';
    /* Only quotes are doubled: every engine reads a backslash in a literal
     * as itself (the ODBC store turns standard_conforming_strings on for
     * PostgreSQL, its default since 9.1). */
    if (lowercase) {
        for (const char *s = text; *s; s++) {
            char c = static_cast<char>(tolower(static_cast<unsigned char>(*s)));
            if (c == '\'')
                *p++ = c;
            *p++ = c;
        }
    } else {
        /* Copied a quote-free run at a time. */
        for (const char *s = text; *s;) {
            size_t run = strcspn(s, "'");
            memcpy(p, s, run);
            p += run;
            s += run;
            if (*s == '\'') {
                *p++ = '\'';
                *p++ = '\'';
                s++;
            }
        }
    }
    *p++ = '\'';
    *p = '\0';
    return out;
}

char *PolDb_WhereNotDeleted(DbConnection *conn, const char *select, const char *filter)
{
    if (filter)
        return PolDbPsprintf(conn, "%s WHERE deleted = 'FALSE' AND %s", select, filter);
    return PolDbPsprintf(conn, "%s WHERE deleted = 'FALSE'", select);
}

char *PolDb_Where(DbConnection *conn, const char *select, const char *filter)
{
    if (filter)
        return PolDbPsprintf(conn, "%s WHERE %s", select, filter);
    return const_cast<char *>(select);
}

static void TextReserve(PolDbText *text, size_t extra)
{
    size_t need = text->length + extra + 1;
    if (need <= text->capacity)
        return;
    size_t cap = text->capacity ? text->capacity : 256;
    while (cap < need)
        cap *= 2;
    char *p = static_cast<char *>(realloc(text->data, cap));
    if (!p)
        POLDB_ALLOC_FAILED();
    text->data = p;
    text->capacity = cap;
}

void PolDb_TextAppend(PolDbText *text, const char *s)
{
    size_t n = strlen(s);
    TextReserve(text, n);
    memcpy(text->data + text->length, s, n + 1);
    text->length += n;
}

void PolDb_TextAppendf(PolDbText *text, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    std::string piece = FormatV(fmt, ap);
    va_end(ap);
    PolDb_TextAppend(text, piece.c_str());
}

void PolDb_TextFree(PolDbText *text)
{
    free(text->data);
    *text = PolDbText{};
}

bool PolDb_Exec(DbConnection *conn, const char *sql, const char *name)
{
    if (Db_Exec(conn, sql))
        return true;
    PolDb_Log("PolDb_%s: database error while executing SQL statement: %s\n%s\n", name,
              Db_GetLastErrorText(conn), sql);
    return false;
}

bool PolDb_LockAcrossServers(DbConnection *conn, int which, const char *key)
{
    /* Only a section that goes on to write takes it: inside a read-only
     * transaction (which on SQLite does not hold the file's write lock
     * either) it is a write that a wrongly marked request attempted. */
    if (conn->readOnly) {
        PolDb_Log("PolDb_LockAcrossServers: refused inside a read-only transaction\n");
        Db_SetError(conn, -1, "shared lock refused inside a read-only transaction");
        conn->writeRefused = true;
        RollbackAfterFailure(conn);
        return false;
    }
    if (conn->engine != DB_ENGINE_POSTGRES)
        return true;
    const char *hash = key ? PolDbPsprintf(conn, "hashtext(%s)", PolDb_EscapeString(conn, false, false, key)) : "0";
    return PolDb_Exec(conn, PolDbPsprintf(conn, "SELECT pg_advisory_xact_lock(%d, %s)", which, hash),
                      "LockAcrossServers");
}

bool PolDb_RefreshStatistics(DbConnection *conn)
{
    if (conn->engine != DB_ENGINE_SQLITE && conn->engine != DB_ENGINE_POSTGRES)
        return true;
    if (conn->engine == DB_ENGINE_SQLITE) {
        /* Committed here so that other connections reload what is on disk. */
        if (!PolDb_Exec(conn, "ANALYZE", "RefreshStatistics") || !Db_Commit(conn))
            return false;
        PolDb_SqliteStatisticsRefreshed();
        return true;
    }
    /* PostgreSQL: our own tables only. A bare ANALYZE also visits the
     * system catalogues, which only a superuser may analyse (one warning
     * per catalogue in the log on every housekeeping run). */
    std::string sql = "ANALYZE ";
    for (int i = 0; i < PolDb_SchemaTableCount; i++)
        sql += std::string(i ? ", " : "") + PolDb_SchemaTables[i];
    return PolDb_Exec(conn, PolDbPsprintf(conn, "%s", sql.c_str()), "RefreshStatistics");
}

int PolDb_SelectArray(DbConnection *conn, const char *sql, PolDbRowReader reader,
                      void **array, size_t recordSize, const char *name)
{
    *array = nullptr;
    DbResultSet *rs = nullptr;
    if (!Db_Query(conn, sql, &rs)) {
        PolDb_Log("PolDb_%s: database error while executing SQL statement: %s\n%s\n", name,
                  Db_GetLastErrorText(conn), sql);
        return -1;
    }
    int count = 0;
    if (rs->ops->next(rs)) {
        std::string buffer;
        void *scratch = PolDb_Malloc(recordSize);
        do {
            memset(scratch, 0, recordSize);
            reader(rs, scratch);
            buffer.append(static_cast<const char *>(scratch), recordSize);
        } while (rs->ops->next(rs));
        free(scratch);
        count = static_cast<int>(buffer.size() / recordSize);
        *array = PolDb_Malloc(buffer.size());
        memcpy(*array, buffer.data(), buffer.size());
    }
    Db_FreeResult(conn, rs);
    return count;
}

bool PolDb_SelectUnique(DbConnection *conn, const char *sql, PolDbRowReader reader, PolDbRecordRelease release,
                        size_t recordSize, const char *name, void **out)
{
    *out = nullptr;
    void *array = nullptr;
    int count = PolDb_SelectArray(conn, sql, reader, &array, recordSize, name);
    if (count == 1)
        *out = array;   /* a one-record array is exactly one record */
    if (count > 1) {
        PolDb_Log("PolDb_%s: Got %d objects expecting unique while executing SQL statement:\n%s\n", name,
                  count, sql);
        PolDb_FreeArray(array, count, recordSize, release);
    }
    return count == 0 || count == 1;
}

namespace {
struct SingleString {
    char *text;
};
void ReadSingleString(DbResultSet *rs, void *record)
{
    static_cast<SingleString *>(record)->text = rs->ops->getString(rs, 0);
}
void ReleaseSingleString(void *record) { free(static_cast<SingleString *>(record)->text); }
} // namespace

char *SelectSingleString(DbConnection *conn, const char *sql)
{
    void *found = nullptr;
    PolDb_SelectUnique(conn, sql, ReadSingleString, ReleaseSingleString, sizeof(SingleString), "SelectSingleString",
                       &found);
    auto *one = static_cast<SingleString *>(found);
    if (!one)
        return nullptr;
    char *text = one->text;
    free(one);
    return text;
}

void PolDb_FreeArray(void *array, int count, size_t recordSize, PolDbRecordRelease release)
{
    if (!array)
        return;
    if (release)
        for (int i = 0; i < count; i++)
            release(static_cast<char *>(array) + static_cast<size_t>(i) * recordSize);
    free(array);
}

void PolDb_CreateUniqueUID(DbConnection *conn, char buffer[POLDB_UID_SIZE])
{
    /* APR's generator keeps state between calls; one caller at a time. */
    static std::mutex generatorLock;
    for (int attempt = 0; attempt < 3; attempt++) {
        apr_uuid_t uuid;
        {
            std::lock_guard<std::mutex> hold(generatorLock);
            apr_uuid_get(&uuid);
        }
        apr_uuid_format(buffer, &uuid);
        for (char *p = buffer; *p; p++)
            *p = static_cast<char>(tolower(static_cast<unsigned char>(*p)));
        char *sql = PolDbPsprintf(conn, "SELECT DISTINCT longFieldKey FROM PolicyDb_LongField WHERE longFieldKey = %s",
                                  PolDb_EscapeString(conn, false, false, buffer));
        char *found = SelectSingleString(conn, sql);
        if (!found)
            return;
        free(found);
    }
    PolDb_Panic("PolDb_CreateUniqueUID: Cannot find new unique key to insert - aborting");
}

/* ---- values ----------------------------------------------------------------- */

int64_t PolDb_Now(void)
{
    static std::atomic<int64_t> last{0};
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    int64_t value = (static_cast<int64_t>(tv.tv_sec) * 1000 + tv.tv_usec / 1000) * 1000;
    int64_t prev = last.load();
    for (;;) {
        int64_t next = value > prev ? value : prev + 1;
        if (last.compare_exchange_weak(prev, next))
            return next;
    }
}

char *PolDb_MacToString(int64_t value)
{
    char *out = static_cast<char *>(PolDb_Malloc(18));
    auto v = static_cast<uint64_t>(value);
    snprintf(out, 18, "%02X:%02X:%02X:%02X:%02X:%02X", unsigned(v >> 40 & 0xFF), unsigned(v >> 32 & 0xFF),
             unsigned(v >> 24 & 0xFF), unsigned(v >> 16 & 0xFF), unsigned(v >> 8 & 0xFF), unsigned(v & 0xFF));
    return out;
}

int64_t PolDb_MacFromString(const char *text)
{
    if (!text || strlen(text) != 17)
        return 0;
    int64_t value = 0;
    for (int i = 0; i < 17; i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (i % 3 == 2) {
            if (c != ':')
                return 0;
            continue;
        }
        if (!isxdigit(c))
            return 0;
        int digit = isdigit(c) ? c - '0' : (tolower(c) - 'a' + 10);
        value = value << 4 | digit;
    }
    return value;
}

size_t PolDb_Utf8Prefix(const char *text, size_t length, size_t maxBytes)
{
    if (length <= maxBytes)
        return length;
    /* Step back over continuation bytes (10xxxxxx) to the start of the
     * character that the cut would split; a form is at most four bytes. */
    size_t cut = maxBytes;
    for (int back = 0; back < 4 && cut > 0; back++) {
        if ((static_cast<unsigned char>(text[cut]) & 0xC0) != 0x80)
            return cut;
        cut--;
    }
    return (static_cast<unsigned char>(text[cut]) & 0xC0) != 0x80 && cut > 0 ? cut : maxBytes;
}

bool PolDb_StrToBool(const char *text)
{
    return text && strcasecmp(text, "TRUE") == 0;
}

int64_t PolDb_ParseInt64(const char *text)
{
    if (!text)
        return 0;
    return strtoll(text, nullptr, 10);
}
