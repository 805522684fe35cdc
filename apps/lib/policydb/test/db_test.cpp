/* The database core and its statement helpers: quoting, formats, values,
 * clocks and identifiers under threads, module modes, and transactions with
 * the DB lock. */
#include "testutil.h"

#include "policydb/event.h"
#include "policydb/longField.h"

#include <apr_general.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <thread>
#include <vector>

namespace {

/* A connection record that is never opened: enough for the helpers that
 * only need a pool and an engine. */
struct FakeConnection {
    DbConnection conn{};
    explicit FakeConnection(int engine)
    {
        apr_initialize();
        apr_pool_create(&conn.pool, nullptr);
        conn.engine = engine;
    }
    ~FakeConnection() { apr_pool_destroy(conn.pool); }
};

std::string Esc(int engine, bool lower, bool op, const char *text)
{
    FakeConnection f(engine);
    return PolDb_EscapeString(&f.conn, lower, op, text);
}

} // namespace

TEST(Escaping, QuotesNullOperatorsAndEngines)
{
    EXPECT_EQ(Esc(DB_ENGINE_SQLITE, false, false, "O'Neil"), "'O''Neil'");
    EXPECT_EQ(Esc(DB_ENGINE_SQLITE, false, false, "''"), "''''''");
    EXPECT_EQ(Esc(DB_ENGINE_SQLITE, false, false, ""), "''");
    EXPECT_EQ(Esc(DB_ENGINE_SQLITE, false, false, nullptr), "NULL");
    EXPECT_EQ(Esc(DB_ENGINE_SQLITE, false, true, nullptr), "IS NULL");
    EXPECT_EQ(Esc(DB_ENGINE_SQLITE, false, true, "x"), "= 'x'");
    EXPECT_EQ(Esc(DB_ENGINE_SQLITE, true, false, "MiXeD'Q"), "'mixed''q'");
}

/* Every engine reads a literal the standard way (on PostgreSQL the ODBC
 * store turns standard_conforming_strings on): a backslash stays one
 * backslash, only quotes are doubled. */
TEST(Escaping, BackslashStaysOneBackslashOnEveryEngine)
{
    for (int engine : {DB_ENGINE_SQLITE, DB_ENGINE_MSSQL, DB_ENGINE_POSTGRES, DB_ENGINE_ORACLE}) {
        SCOPED_TRACE(engine);
        EXPECT_EQ(Esc(engine, false, false, "a\\b"), "'a\\b'");
        EXPECT_EQ(Esc(engine, false, false, "\\'"), "'\\'''");
        EXPECT_EQ(Esc(engine, false, false, "100%_\\"), "'100%_\\'");
    }
}

TEST(Statements, FormatsAndWhereForms)
{
    FakeConnection f(DB_ENGINE_SQLITE);
    int64_t big = INT64_C(9223372036854775807), neg = INT64_C(-42);
    EXPECT_STREQ(PolDbPsprintf(&f.conn, "'%" PRId64 "'", big), "'9223372036854775807'");
    EXPECT_STREQ(PolDbPsprintf(&f.conn, "'%020" PRId64 "'", INT64_C(1700000000)), "'00000000001700000000'");
    EXPECT_STREQ(PolDbPsprintf(&f.conn, "%020" PRId64, neg), "-0000000000000000042");
    EXPECT_STREQ(PolDbPsprintf(&f.conn, "%" PRId64, neg), "-42");
    EXPECT_EQ(PolDb_ParseInt64("00000000001700000000"), INT64_C(1700000000));
    EXPECT_EQ(PolDb_ParseInt64("-9223372036854775808"), INT64_MIN);
    EXPECT_EQ(PolDb_ParseInt64(nullptr), 0);

    EXPECT_STREQ(PolDb_WhereNotDeleted(&f.conn, "SELECT a FROM t", "a = 'x'"),
                 "SELECT a FROM t WHERE deleted = 'FALSE' AND a = 'x'");
    EXPECT_STREQ(PolDb_WhereNotDeleted(&f.conn, "SELECT a FROM t", nullptr), "SELECT a FROM t WHERE deleted = 'FALSE'");
    EXPECT_STREQ(PolDb_Where(&f.conn, "SELECT a FROM t", "b = 1"), "SELECT a FROM t WHERE b = 1");
    EXPECT_STREQ(PolDb_Where(&f.conn, "SELECT a FROM t", nullptr), "SELECT a FROM t");

    PolDbText text{};
    PolDb_TextAppend(&text, "SELECT ");
    for (int i = 0; i < 500; i++)
        PolDb_TextAppendf(&text, "%s%d", i ? ", " : "", i);
    EXPECT_EQ(std::string(text.data).substr(0, 14), "SELECT 0, 1, 2");
    EXPECT_EQ(std::string(text.data).substr(text.length - 4), " 499");
    PolDb_TextFree(&text);
}

TEST(Values, MacAddressesRoundTripAndMalformedTexts)
{
    int64_t v = PolDb_MacFromString("02:00:00:AB:CD:EF");
    EXPECT_EQ(v, INT64_C(0x020000ABCDEF));
    char *text = PolDb_MacToString(v);
    EXPECT_STREQ(text, "02:00:00:AB:CD:EF");
    free(text);
    EXPECT_EQ(PolDb_MacFromString("02:00:00:ab:cd:ef"), INT64_C(0x020000ABCDEF));
    text = PolDb_MacToString(INT64_C(0xFFFF123456789ABC)); /* only the low 48 bits count */
    EXPECT_STREQ(text, "12:34:56:78:9A:BC");
    free(text);
    text = PolDb_MacToString(0);
    EXPECT_STREQ(text, "00:00:00:00:00:00");
    free(text);

    for (const char *bad : {"02-00-00-AB-CD-EF", "02:00:00:AB:CD:E", "02:00:00:AB:CD:EF0", "02:00:00:AB:CD:EG",
                            "0200:00:AB:CD:EF:", "", " 2:00:00:AB:CD:EF", "02:00:00:AB:CD:-F"})
        EXPECT_EQ(PolDb_MacFromString(bad), 0) << bad;
    EXPECT_EQ(PolDb_MacFromString(nullptr), 0);
}

TEST(Values, BooleansIgnoreCase)
{
    EXPECT_TRUE(PolDb_StrToBool("TRUE"));
    EXPECT_TRUE(PolDb_StrToBool("true"));
    EXPECT_TRUE(PolDb_StrToBool("TrUe"));
    EXPECT_FALSE(PolDb_StrToBool("TRUE "));
    EXPECT_FALSE(PolDb_StrToBool("1"));
    EXPECT_FALSE(PolDb_StrToBool(""));
    EXPECT_FALSE(PolDb_StrToBool(nullptr));
}

TEST(Clock, StrictlyIncreasingAcrossThreads)
{
    int64_t a = PolDb_Now(), b = PolDb_Now();
    EXPECT_GT(b, a);
    /* Within one millisecond the values step by exactly one microsecond. */
    EXPECT_TRUE(b == a + 1 || b % 1000 == 0);

    constexpr int kThreads = 8, kCalls = 20000;
    std::vector<std::vector<int64_t>> seen(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([&, t] {
            seen[t].reserve(kCalls);
            for (int i = 0; i < kCalls; i++)
                seen[t].push_back(PolDb_Now());
        });
    for (auto &th : threads)
        th.join();
    std::set<int64_t> all;
    for (auto &v : seen) {
        for (size_t i = 1; i < v.size(); i++)
            ASSERT_GT(v[i], v[i - 1]);
        all.insert(v.begin(), v.end());
    }
    EXPECT_EQ(all.size(), size_t(kThreads * kCalls)) << "two threads received the same timestamp";
}

/* ---- module modes ---------------------------------------------------------- */

class ModuleInit : public TempDb {};

TEST_F(ModuleInit, MissingFileInServerModeFailsAndIsNeverCreated)
{
    EXPECT_FALSE(Init(DB_INIT_UPGRADE_EXISTING));
    EXPECT_STREQ(Db_ModuleStatusText(), "No database schema found, init required");
    EXPECT_TRUE(log_.Contains("PolDB_ModuleInit() DB file does not exist: " + path()));
    struct stat st;
    EXPECT_NE(stat(path().c_str(), &st), 0);
    EXPECT_FALSE(Db_ModuleIsInitialized());
}

TEST_F(ModuleInit, CreatesThenReopensAndSecondInitIsANoOp)
{
    int oldVersion = -1, newVersion = -1;
    ASSERT_TRUE(Init(DB_INIT_CREATE_IF_EMPTY, &oldVersion, &newVersion));
    EXPECT_EQ(oldVersion, 0);
    EXPECT_EQ(newVersion, 216);
    int count = 0;
    EXPECT_NE(PolDb_EventTypes(&count), nullptr);
    EXPECT_EQ(count, 41);

    log_.Clear();
    Raw("INSERT INTO PolicyDb_Quen (quenUID, quenName, activePolicySetVersion) VALUES ('q', 'n', 1)");
    EXPECT_TRUE(Init(DB_INIT_RECREATE, &oldVersion, &newVersion));
    EXPECT_TRUE(log_.Contains("but PolicyDb Module is already initialized"));
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM PolicyDb_Quen"), "1") << "a second init touched the database";

    Db_ModuleExit();
    EXPECT_TRUE(log_.Contains("[INFO] Db_ModuleExit: Un-initializing, DSN was " + path()));
    ASSERT_TRUE(Init(DB_INIT_UPGRADE_EXISTING, &oldVersion, &newVersion));
    EXPECT_EQ(oldVersion, 216);
    EXPECT_EQ(newVersion, 216);
}

TEST_F(ModuleInit, ModesOnMissingWrongAndDuplicatedSchemas)
{
    Raw("CREATE TABLE unrelated (x INTEGER)");
    EXPECT_FALSE(Init(DB_INIT_CHECK_ONLY));
    EXPECT_TRUE(log_.Contains("PolDB_ModuleInit: Found no or empty database"));
    EXPECT_FALSE(Init(DB_INIT_UPGRADE_EXISTING));
    ASSERT_TRUE(Init(DB_INIT_UPGRADE_OR_CREATE));
    Db_ModuleExit();

    /* Two version rows are no schema at all. */
    Raw("CREATE TABLE meta2 AS SELECT * FROM PolicyDb_MetaInfo; DROP TABLE PolicyDb_MetaInfo;"
        "CREATE TABLE PolicyDb_MetaInfo (name VARCHAR(128), value VARCHAR(1024));"
        "INSERT INTO PolicyDb_MetaInfo SELECT * FROM meta2; INSERT INTO PolicyDb_MetaInfo VALUES ('version', '216')");
    ASSERT_TRUE(Init(DB_INIT_NO_CHECK));
    int version = -1;
    EXPECT_EQ(PolDb_CheckSchema(&version), 2);
    EXPECT_STREQ(Db_ModuleStatusText(), "No database schema found, init required");
    Db_ModuleExit();

    /* A wrong version: modes 0 and 2 refuse, mode 3 recreates, and the
     * upgrade modes fail while no upgrade path exists. */
    ASSERT_TRUE(Init(DB_INIT_FORCE_CREATE));
    Db_ModuleExit();
    Raw("UPDATE PolicyDb_MetaInfo SET value = '210' WHERE name = 'version'");
    int oldVersion = 0, newVersion = 0;
    EXPECT_FALSE(Init(DB_INIT_CHECK_ONLY, &oldVersion, &newVersion));
    EXPECT_EQ(oldVersion, 210);
    EXPECT_TRUE(log_.Contains("PolDB_ModuleInit: Found database schema with wrong version number = 210"));
    EXPECT_FALSE(Init(DB_INIT_CREATE_IF_EMPTY));
    EXPECT_FALSE(Init(DB_INIT_UPGRADE_EXISTING));
    EXPECT_FALSE(Db_ModuleIsInitialized());
    EXPECT_EQ(Scalar("SELECT value FROM PolicyDb_MetaInfo WHERE name = 'version'"), "210");
    ASSERT_TRUE(Init(DB_INIT_RECREATE, &oldVersion, &newVersion));
    EXPECT_EQ(oldVersion, 210);
    EXPECT_EQ(newVersion, 216);
}

TEST_F(ModuleInit, OutputsAreRequiredAndAnUnknownOdbcSourceCannotOpen)
{
    DbModuleSettings s{};
    s.storeKind = DB_STORE_SQLITE;
    std::string p = path();
    s.dsn = p.c_str();
    int v = 0;
    EXPECT_FALSE(Db_ModuleInit(&s, DB_INIT_NO_CHECK, nullptr, &v));
    EXPECT_FALSE(Db_ModuleInit(&s, DB_INIT_NO_CHECK, &v, nullptr));
    s.storeKind = DB_STORE_ODBC;
    s.dsn = "SomeDsn";
    int o = 0, n = 0;
    EXPECT_TRUE(Db_ModuleInit(&s, DB_INIT_NO_CHECK, &o, &n));   /* nothing is checked */
    EXPECT_EQ(Db_Open(), nullptr);
    EXPECT_TRUE(log_.Contains("Db_Open: Cannot open a DB Connection: IM002")) << log_.All();
    Db_ModuleExit();
    EXPECT_FALSE(Db_ModuleIsInitialized());
    EXPECT_FALSE(PolDb_SetupListDataSources(nullptr, nullptr, nullptr));
}

TEST_F(ModuleInit, SetupEntryPointsLeaveTheModuleClosed)
{
    std::string p = path();
    EXPECT_TRUE(PolDb_SetupTestConnection(DB_STORE_SQLITE, p.c_str(), nullptr, nullptr));
    EXPECT_STREQ(Db_ModuleStatusText(), "Database operation successful");
    EXPECT_FALSE(PolDb_SetupCheckSchema(DB_STORE_SQLITE, p.c_str(), nullptr, nullptr));
    EXPECT_TRUE(PolDb_SetupInitSchema(DB_STORE_SQLITE, p.c_str(), nullptr, nullptr));
    EXPECT_TRUE(PolDb_SetupCheckSchema(DB_STORE_SQLITE, p.c_str(), nullptr, nullptr));
    EXPECT_TRUE(PolDb_SetupUpgradeSchema(DB_STORE_SQLITE, p.c_str(), nullptr, nullptr));
    EXPECT_FALSE(Db_ModuleIsInitialized());
    EXPECT_FALSE(PolDb_SetupTestConnection(DB_STORE_SQLITE, (dir_ + "/missing/dir/x.bin").c_str(), nullptr, nullptr));
    EXPECT_STREQ(Db_ModuleStatusText(), "Cannot open database connection");
}

/* ---- connections, transactions and the DB lock ----------------------------- */

namespace {
struct LockProbe {
    std::atomic<int> held{0};
    std::atomic<int> acquisitions{0};
    bool failAcquire = false;
};
bool ProbeLock(void *context, bool acquire)
{
    auto *probe = static_cast<LockProbe *>(context);
    if (acquire) {
        if (probe->failAcquire)
            return false;
        probe->held++;
        probe->acquisitions++;
    } else {
        probe->held--;
    }
    return true;
}

struct Pair {
    char *a;
    int b;
};
void ReadPair(DbResultSet *rs, void *record)
{
    auto *p = static_cast<Pair *>(record);
    p->a = rs->ops->getString(rs, 0);
    p->b = rs->ops->getInt(rs, 1);
}
void ReleasePair(void *record) { free(static_cast<Pair *>(record)->a); }
} // namespace

class Connections : public TempDb {
protected:
    void SetUp() override
    {
        TempDb::SetUp();
        ASSERT_TRUE(Init(DB_INIT_CREATE_IF_EMPTY, nullptr, nullptr, ProbeLock, &probe_));
        Raw("CREATE TABLE t (a VARCHAR(10), b INTEGER, c VARCHAR(7))");
    }
    LockProbe probe_;
};

TEST_F(Connections, FailedStatementRollsBackAndReleasesTheLock)
{
    DbConnection *conn = Db_Open();
    ASSERT_NE(conn, nullptr);
    EXPECT_EQ(conn->engine, DB_ENGINE_SQLITE);
    ASSERT_TRUE(PolDb_Exec(conn, "INSERT INTO t VALUES ('kept?', 1, 'TRUE')", "TAdd"));
    EXPECT_TRUE(conn->inTransaction);
    EXPECT_EQ(conn->lockDepth, 1);
    EXPECT_EQ(probe_.held, 1);

    EXPECT_FALSE(PolDb_Exec(conn, "INSERT INTO no_such_table VALUES (1)", "TAdd"));
    EXPECT_FALSE(conn->inTransaction);
    EXPECT_EQ(conn->lockDepth, 0);
    EXPECT_EQ(probe_.held, 0);
    /* The statement's own error survives the rollback, and is logged once. */
    EXPECT_NE(std::string(Db_GetLastErrorText(conn)).find("no such table"), std::string::npos);
    EXPECT_EQ(log_.Count("PolDb_TAdd: database error while executing SQL statement: no such table: no_such_table\n"
                         "INSERT INTO no_such_table VALUES (1)\n"),
              1);
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM t"), "0") << "the earlier insert was not rolled back";

    /* The next statement opens a new transaction, and commit releases. */
    ASSERT_TRUE(PolDb_Exec(conn, "INSERT INTO t VALUES ('new', 2, 'false')", "TAdd"));
    EXPECT_EQ(probe_.held, 1);
    ASSERT_TRUE(Db_Commit(conn));
    EXPECT_EQ(probe_.held, 0);
    EXPECT_EQ(conn->lockDepth, 0);
    EXPECT_TRUE(Db_Commit(conn)) << "commit without a transaction is a no-op";
    EXPECT_TRUE(Db_Close(conn));
    EXPECT_EQ(Scalar("SELECT a FROM t"), "new");
}

TEST_F(Connections, CloseRollsBackAndLockRefusalFailsTheStatement)
{
    DbConnection *conn = Db_Open();
    ASSERT_TRUE(Db_Exec(conn, "INSERT INTO t VALUES ('gone', 1, NULL)"));
    EXPECT_TRUE(Db_Close(conn));
    EXPECT_EQ(probe_.held, 0);
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM t"), "0");

    conn = Db_Open();
    probe_.failAcquire = true;
    EXPECT_FALSE(Db_Exec(conn, "INSERT INTO t VALUES ('x', 1, NULL)"));
    EXPECT_TRUE(log_.Contains("Db_BegitTx: cannot acquire DB lock"));
    EXPECT_EQ(conn->lockDepth, 0);
    EXPECT_FALSE(conn->inTransaction);
    probe_.failAcquire = false;
    EXPECT_TRUE(Db_Close(conn));
}

TEST_F(Connections, ReadOnlyTransactionTakesNoLockAndRunsBesideAWriter)
{
    Raw("INSERT INTO t VALUES ('before', 1, NULL)");
    const int acquisitions = probe_.acquisitions;
    DbConnection *reader = Db_Open();
    Db_SetReadOnly(reader, true);
    char *count = SelectSingleString(reader, "SELECT COUNT(*) FROM t");
    EXPECT_STREQ(count, "1");
    free(count);
    EXPECT_TRUE(reader->inTransaction);
    EXPECT_EQ(reader->lockDepth, 0);
    EXPECT_EQ(probe_.acquisitions, acquisitions);
    /* The file's write lock is free too: a writer elsewhere commits at once
     * (Raw waits for no lock), and the reader keeps its snapshot. */
    Raw("INSERT INTO t VALUES ('after', 2, NULL)");
    count = SelectSingleString(reader, "SELECT COUNT(*) FROM t");
    EXPECT_STREQ(count, "1");
    free(count);
    EXPECT_TRUE(Db_Commit(reader));

    /* Back to a writer: the next transaction takes the lock again. */
    Db_SetReadOnly(reader, false);
    EXPECT_TRUE(Db_Exec(reader, "INSERT INTO t VALUES ('written', 3, NULL)"));
    EXPECT_EQ(probe_.held, 1);
    EXPECT_TRUE(Db_Commit(reader));
    EXPECT_EQ(probe_.held, 0);
    EXPECT_FALSE(reader->writeRefused);
    Db_Close(reader);
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM t"), "3");
}

TEST_F(Connections, WriteInsideAReadOnlyTransactionIsRefusedAndLogged)
{
    Raw("INSERT INTO t VALUES ('kept', 1, NULL)");
    const int acquisitions = probe_.acquisitions;
    const struct {
        const char *sql;
        const char *logged;
    } cases[] = {
        {"INSERT INTO t VALUES ('x', 2, NULL)", "INSERT INTO t"},
        {"UPDATE t SET b = 5 WHERE a = 'kept'", "UPDATE t SET"},
        {"DELETE FROM t WHERE a = 'kept'", "DELETE FROM t"},
        {"CREATE TEMP TABLE scratch (x INTEGER)", "CREATE TEMP TABLE"},
    };
    for (const auto &c : cases) {
        DbConnection *conn = Db_Open();
        Db_SetReadOnly(conn, true);
        log_.Clear();
        EXPECT_FALSE(Db_Exec(conn, c.sql)) << c.sql;
        EXPECT_TRUE(conn->writeRefused) << c.sql;
        EXPECT_FALSE(conn->inTransaction) << c.sql;
        EXPECT_TRUE(log_.Contains(std::string("Db_Exec: refused a statement that writes inside a read-only "
                                              "transaction: ") + c.logged + "\n"))
            << log_.All();
        Db_Close(conn);
    }
    /* The shared lock is only ever taken before a write. */
    DbConnection *conn = Db_Open();
    Db_SetReadOnly(conn, true);
    EXPECT_FALSE(PolDb_LockAcrossServers(conn, POLDB_LOCK_EVENT_CHAIN, nullptr));
    EXPECT_TRUE(conn->writeRefused);
    EXPECT_TRUE(log_.Contains("PolDb_LockAcrossServers: refused inside a read-only transaction"));
    Db_Close(conn);
    EXPECT_EQ(Scalar("SELECT a || b FROM t"), "kept1");
    EXPECT_EQ(probe_.acquisitions, acquisitions);
}

TEST_F(Connections, RowOperationsOnNullsEmptyResultsAndUniqueSelects)
{
    Raw("INSERT INTO t VALUES (NULL, NULL, NULL); INSERT INTO t VALUES ('x', 7, 'True')");
    DbConnection *conn = Db_Open();
    DbResultSet *rs = nullptr;
    ASSERT_TRUE(Db_Query(conn, "SELECT a, b, c, b FROM t WHERE a IS NULL", &rs));
    ASSERT_TRUE(rs->ops->next(rs));
    char *s = rs->ops->getString(rs, 0);
    EXPECT_STREQ(s, "");
    free(s);
    EXPECT_EQ(rs->ops->getInt(rs, 1), 0);
    EXPECT_EQ(rs->ops->getInt64(rs, 1), 0);
    EXPECT_EQ(rs->ops->getTimestamp(rs, 3), 0);
    EXPECT_FALSE(rs->ops->getBool(rs, 2));
    EXPECT_FALSE(rs->ops->next(rs));
    EXPECT_FALSE(rs->ops->next(rs)) << "next after the end keeps returning false";
    Db_FreeResult(conn, rs);

    ASSERT_TRUE(Db_Query(conn, "SELECT a FROM t WHERE 0", &rs));
    EXPECT_FALSE(rs->ops->next(rs));
    Db_FreeResult(conn, rs);

    void *array = nullptr;
    EXPECT_EQ(PolDb_SelectArray(conn, "SELECT a, b FROM t WHERE 0", ReadPair, &array, sizeof(Pair), "T"), 0);
    EXPECT_EQ(array, nullptr);
    EXPECT_EQ(PolDb_SelectArray(conn, "SELECT a, b FROM t ORDER BY b", ReadPair, &array, sizeof(Pair), "T"), 2);
    auto *pairs = static_cast<Pair *>(array);
    EXPECT_STREQ(pairs[1].a, "x");
    EXPECT_EQ(pairs[1].b, 7);
    PolDb_FreeArray(array, 2, sizeof(Pair), ReleasePair);

    void *found = nullptr;
    EXPECT_TRUE(
        PolDb_SelectUnique(conn, "SELECT a, b FROM t WHERE b = 7", ReadPair, ReleasePair, sizeof(Pair), "TGetByPK", &found));
    auto *one = static_cast<Pair *>(found);
    ASSERT_NE(one, nullptr);
    EXPECT_STREQ(one->a, "x");
    ReleasePair(one);
    free(one);
    EXPECT_TRUE(PolDb_SelectUnique(conn, "SELECT a, b FROM t WHERE b = 8", ReadPair, ReleasePair, sizeof(Pair),
                                   "TGetByPK", &found));
    EXPECT_EQ(found, nullptr) << "no row is a successful lookup that found nothing";
    EXPECT_FALSE(PolDb_SelectUnique(conn, "SELECT a, b FROM t", ReadPair, ReleasePair, sizeof(Pair), "TGetByPK", &found));
    EXPECT_EQ(found, nullptr);
    EXPECT_TRUE(log_.Contains("PolDb_TGetByPK: Got 2 objects expecting unique while executing SQL statement:\n"
                              "SELECT a, b FROM t\n"));
    EXPECT_EQ(PolDb_SelectArray(conn, "SELECT nope FROM t", ReadPair, &array, sizeof(Pair), "TEnumerate"), -1);
    EXPECT_EQ(SelectSingleString(conn, "SELECT a FROM t"), nullptr);
    char *single = SelectSingleString(conn, "SELECT c FROM t WHERE b = 7");
    EXPECT_STREQ(single, "True");
    free(single);
    Db_Close(conn);
}

TEST_F(Connections, CloseRecordsOkAndOpenFailureIsReported)
{
    DbConnection *conn = Db_Open();
    /* Db_Close frees the connection; look at the store's close directly. */
    EXPECT_TRUE(conn->ops->close(conn));
    EXPECT_EQ(conn->lastError, 0);
    EXPECT_STREQ(conn->lastErrorText, "OK");
    free(conn->lastErrorText);
    apr_pool_destroy(conn->pool);
}

TEST_F(Connections, UniqueIdentifiersNeverRepeatAcrossThreads)
{
    constexpr int kThreads = 4, kEach = 300;
    std::vector<std::vector<std::string>> made(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([&, t] {
            DbConnection *conn = Db_Open();
            for (int i = 0; i < kEach; i++) {
                char uid[POLDB_UID_SIZE];
                PolDb_CreateUniqueUID(conn, uid);
                made[t].push_back(uid);
            }
            Db_Commit(conn);
            Db_Close(conn);
        });
    for (auto &th : threads)
        th.join();
    std::set<std::string> all;
    for (auto &v : made)
        for (auto &uid : v) {
            ASSERT_EQ(uid.size(), 36u);
            EXPECT_EQ(uid[8], '-');
            EXPECT_EQ(uid.find_first_not_of("0123456789abcdef-"), std::string::npos) << uid;
            all.insert(uid);
        }
    EXPECT_EQ(all.size(), size_t(kThreads * kEach));
}

TEST_F(Connections, EventTypeLookup)
{
    int category = -1, level = -1;
    const char *message = LookupEventType(2020, &category, &level);
    ASSERT_NE(message, nullptr);
    EXPECT_STREQ(message, "Quen \"%s\" Destroy requested");
    EXPECT_EQ(category, 2);
    EXPECT_EQ(level, 1);
    EXPECT_EQ(LookupEventType(2025, &category, &level), nullptr);
    EXPECT_EQ(category, 0);
    EXPECT_EQ(level, 4);
    EXPECT_NE(LookupEventType(0, nullptr, nullptr), nullptr);
    EXPECT_NE(LookupEventType(5100, nullptr, nullptr), nullptr);
    Db_ModuleExit();
    EXPECT_EQ(LookupEventType(2020, &category, &level), nullptr) << "the table dies with the module";
}

/* ---- the SQLite store's open files -------------------------------------------- */

namespace {
std::string Single(DbConnection *conn, const char *sql)
{
    char *text = SelectSingleString(conn, sql);
    std::string out = text ? text : "(null)";
    free(text);
    Db_Commit(conn);
    return out;
}

/* The planner's choice for a query that an equality on `a` serves without
 * statistics, and a range on `b` with them (`a` is one value throughout). */
constexpr const char *kPlanQuery = "EXPLAIN QUERY PLAN SELECT * FROM s WHERE a = 1 AND b > 5";
std::string Plan(DbConnection *conn)
{
    DbResultSet *rs = nullptr;
    std::string plan;
    if (Db_Query(conn, kPlanQuery, &rs)) {
        while (rs->ops->next(rs)) {
            char *detail = rs->ops->getString(rs, 3);
            plan += detail;
            free(detail);
        }
        Db_FreeResult(conn, rs);
    }
    Db_Commit(conn);
    return plan;
}
} // namespace

TEST_F(Connections, EveryConnectionWritesAheadWithFullSync)
{
    DbConnection *conn = Db_Open();
    ASSERT_NE(conn, nullptr);
    EXPECT_EQ(Single(conn, "PRAGMA journal_mode"), "wal");
    EXPECT_EQ(Single(conn, "PRAGMA synchronous"), "2") << "FULL";
    Db_Close(conn);
    conn = Db_Open();   /* a reused file keeps both */
    EXPECT_EQ(Single(conn, "PRAGMA synchronous"), "2");
    Db_Close(conn);
}

TEST_F(Connections, ReusedConnectionsPlanWithRefreshedStatistics)
{
    Raw("CREATE TABLE s (a INTEGER, b INTEGER); CREATE INDEX s_a ON s (a); CREATE INDEX s_b ON s (b);"
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2000) "
        "INSERT INTO s SELECT 1, i FROM n");
    /* Two files that parsed the schema before the refresh wait in the pool. */
    DbConnection *first = Db_Open(), *second = Db_Open();
    EXPECT_NE(Plan(first).find("s_a"), std::string::npos);
    EXPECT_NE(Plan(second).find("s_a"), std::string::npos);
    Db_Close(first);
    Db_Close(second);

    DbConnection *conn = Db_Open();
    ASSERT_TRUE(PolDb_RefreshStatistics(conn));
    EXPECT_FALSE(conn->inTransaction) << "the refresh is committed";
    EXPECT_EQ(probe_.held, 0);
    Db_Close(conn);

    first = Db_Open();
    second = Db_Open();
    EXPECT_NE(Plan(first).find("s_b"), std::string::npos) << Plan(first);
    EXPECT_NE(Plan(second).find("s_b"), std::string::npos) << Plan(second);
    Db_Close(first);
    Db_Close(second);
}

TEST_F(Connections, ReplacedFileIsNeverServedFromTheReusedConnections)
{
    DbConnection *conn = Db_Open();
    ASSERT_TRUE(Db_Exec(conn, "INSERT INTO t VALUES ('old', 1, NULL)"));
    ASSERT_TRUE(Db_Commit(conn));
    Db_Close(conn);

    std::string p = path();
    ASSERT_EQ(unlink(p.c_str()), 0);
    unlink((p + "-wal").c_str());
    unlink((p + "-shm").c_str());
    Raw("CREATE TABLE t (a VARCHAR(10), b INTEGER, c VARCHAR(7)); INSERT INTO t VALUES ('new', 2, NULL)");

    conn = Db_Open();
    EXPECT_EQ(Single(conn, "SELECT a FROM t"), "new");
    Db_Close(conn);
}
