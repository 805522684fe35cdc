/* The ODBC store against a real PostgreSQL: the private cluster of
 * tests/peers/postgres.sh, named by the state file in QUENSC_PG_PEER. Each
 * suite gets a database of its own with a system data source of the same
 * name under a private ODBCSYSINI. */
#include "pgpeer.h"
#include "store/stores.h"
#include "../testutil.h"

#include "policydb/db.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

class PgStore : public ::testing::Test {
protected:
    static void SetUpTestSuite() { database_ = new PgDatabase("ut_store"); }
    static void TearDownTestSuite()
    {
        delete database_;
        database_ = nullptr;
    }

    void SetUp() override
    {
        ASSERT_TRUE(database_->ok()) << "no PostgreSQL peer (QUENSC_PG_PEER)";
        ASSERT_TRUE(Init(DB_INIT_UPGRADE_OR_CREATE));
        conn_ = Db_Open();
        ASSERT_NE(conn_, nullptr);
    }
    void TearDown() override
    {
        Db_Close(conn_);
        Db_ModuleExit();
    }

    bool Init(int mode, const char *password = nullptr, const char *dsn = nullptr)
    {
        DbModuleSettings s = database_->Settings();
        if (password)
            s.password = password;
        if (dsn)
            s.dsn = dsn;
        int oldVersion = 0, newVersion = 0;
        return Db_ModuleInit(&s, mode, &oldVersion, &newVersion);
    }

    std::string Scalar(const std::string &sql)
    {
        char *text = SelectSingleString(conn_, sql.c_str());
        std::string out = text ? text : "<none>";
        free(text);
        return out;
    }

    static PgDatabase *database_;
    DbConnection *conn_ = nullptr;
    LogCapture log_;
};

PgDatabase *PgStore::database_;

} // namespace

TEST_F(PgStore, DetectsPostgresAndKeepsTheEngineForLaterConnections)
{
    EXPECT_EQ(conn_->engine, DB_ENGINE_POSTGRES);
    log_.Clear();
    DbConnection *second = Db_Open();
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->engine, DB_ENGINE_POSTGRES);
    EXPECT_FALSE(log_.Contains("detected RDBMS Engine"));
    Db_Close(second);
}

TEST_F(PgStore, FreshSchemaHasItsRowsAndTheLowercaseIndices)
{
    Db_Close(conn_);
    conn_ = nullptr;
    ASSERT_TRUE(InitSchema());
    conn_ = Db_Open();
    ASSERT_NE(conn_, nullptr);
    EXPECT_EQ(PolDb_CheckSchema(nullptr), 0);
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM PolicyDb_MetaInfo"), "19");
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM PolicyDb_EventType"), "41");
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM pg_indexes WHERE indexname LIKE '%\\_idxl' ESCAPE '\\'"), "15");
    EXPECT_EQ(Scalar("SELECT indexdef FROM pg_indexes WHERE indexname = 'pdbins_pkgactivation_idx'"),
              "CREATE INDEX pdbins_pkgactivation_idx ON public.policydb_instance USING btree (packageuid, deleted, "
              "activationdate DESC)");
}

/* Texts the escaping must carry through unchanged: backslashes (also before
 * a quote and at the end), quotes, LIKE wildcards, a statement separator,
 * a comment, and characters outside ASCII up to four bytes long. */
TEST_F(PgStore, TextsRoundTripExactly)
{
    const char *texts[] = {
        "C:\\path\\to\\file", "ends in \\", "\\'", "O'Neil ''", "100% _done_", "a;b; DROP TABLE x",
        "-- not a comment", "gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x98\x80", "{fn now()} ?",
    };
    int i = 0;
    for (const char *text : texts) {
        SCOPED_TRACE(text);
        std::string name = "rt" + std::to_string(i++);
        std::string sql = "INSERT INTO PolicyDb_MetaInfo (name, value) VALUES ('" + name + "', " +
                          PolDb_EscapeString(conn_, false, false, text) + ")";
        ASSERT_TRUE(Db_Exec(conn_, sql.c_str())) << Db_GetLastErrorText(conn_);
        EXPECT_EQ(Scalar("SELECT value FROM PolicyDb_MetaInfo WHERE name = '" + name + "'"), text);
        EXPECT_EQ(Scalar(std::string("SELECT name FROM PolicyDb_MetaInfo WHERE value ") +
                         PolDb_EscapeString(conn_, false, true, text)),
                  name);
    }
    Db_Rollback(conn_);
}

TEST_F(PgStore, LikeWithBackslashEscapeMatchesWildcardsLiterally)
{
    ASSERT_TRUE(Db_Exec(conn_, "INSERT INTO PolicyDb_MetaInfo (name, value) VALUES ('l1', 'Done 50%_X')"));
    ASSERT_TRUE(Db_Exec(conn_, "INSERT INTO PolicyDb_MetaInfo (name, value) VALUES ('l2', 'Done 501aX')"));
    std::string sql = std::string("SELECT name FROM PolicyDb_MetaInfo WHERE lower(value) LIKE lower(") +
                      PolDb_EscapeString(conn_, false, false, "Done 50\\%\\_X") + ") ESCAPE " +
                      PolDb_EscapeString(conn_, false, false, "\\");
    EXPECT_EQ(Scalar(sql), "l1");
    Db_Rollback(conn_);
}

TEST_F(PgStore, NullReadsAsEmptyZeroAndFalse)
{
    DbResultSet *rs = nullptr;
    ASSERT_TRUE(Db_Query(conn_, "SELECT NULL, CAST(NULL AS INTEGER), NULL", &rs));
    ASSERT_TRUE(rs->ops->next(rs));
    char *text = rs->ops->getString(rs, 0);
    EXPECT_STREQ(text, "");
    free(text);
    EXPECT_EQ(rs->ops->getInt(rs, 1), 0);
    EXPECT_FALSE(rs->ops->getBool(rs, 2));
    EXPECT_FALSE(rs->ops->next(rs));
    EXPECT_FALSE(rs->ops->next(rs));
    Db_FreeResult(conn_, rs);
}

TEST_F(PgStore, ValuesLongerThanOneReadBufferComeBackWhole)
{
    std::string expected;
    for (int i = 0; i < 3000; i++)
        expected += "\xC3\xA9\xE2\x82\xAC";   /* 5 bytes, 2 UTF-16 units each */
    EXPECT_EQ(Scalar("SELECT repeat('\xC3\xA9\xE2\x82\xAC', 3000)"), expected);
}

TEST_F(PgStore, UpdateMatchingNoRowSucceeds)
{
    EXPECT_TRUE(Db_Exec(conn_, "UPDATE PolicyDb_MetaInfo SET value = 'x' WHERE name = 'no such row'"));
    EXPECT_TRUE(Db_Exec(conn_, "DELETE FROM PolicyDb_MetaInfo WHERE name = 'no such row'"));
}

TEST_F(PgStore, FailedStatementRollsBackTheWholeTransaction)
{
    ASSERT_TRUE(Db_Exec(conn_, "INSERT INTO PolicyDb_MetaInfo (name, value) VALUES ('gone', 'x')"));
    EXPECT_FALSE(Db_Exec(conn_, "INSERT INTO PolicyDb_NoSuchTable VALUES (1)"));
    EXPECT_NE(std::string(Db_GetLastErrorText(conn_)).find("42P01"), std::string::npos) << Db_GetLastErrorText(conn_);
    EXPECT_FALSE(conn_->inTransaction);
    EXPECT_EQ(conn_->lockDepth, 0);
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM PolicyDb_MetaInfo WHERE name = 'gone'"), "0");
}

TEST_F(PgStore, ScriptWithSeparatorInsideALiteralRunsStatementByStatement)
{
    ASSERT_TRUE(Db_Exec(conn_, "INSERT INTO PolicyDb_MetaInfo (name, value) VALUES ('s1', 'a;b');"
                               "INSERT INTO PolicyDb_MetaInfo (name, value) VALUES ('s2', 'c')"));
    EXPECT_EQ(Scalar("SELECT value FROM PolicyDb_MetaInfo WHERE name = 's1'"), "a;b");
    EXPECT_EQ(Scalar("SELECT value FROM PolicyDb_MetaInfo WHERE name = 's2'"), "c");
    Db_Rollback(conn_);
}

TEST_F(PgStore, ClosingTwiceLogsAlreadyClosedAndSucceeds)
{
    EXPECT_TRUE(conn_->ops->close(conn_));
    EXPECT_TRUE(conn_->ops->close(conn_));
    EXPECT_TRUE(log_.Contains("OdbcClose: Already closed"));
}

TEST_F(PgStore, ListsTheConfiguredDataSource)
{
    Db_Close(conn_);
    conn_ = nullptr;
    Db_ModuleExit();
    char **names = nullptr, **descriptions = nullptr;
    int count = 0;
    ASSERT_TRUE(PolDb_SetupListDataSources(&names, &descriptions, &count));
    bool found = false;
    for (int i = 0; i < count; i++) {
        found = found || database_->Name() == names[i];
        free(names[i]);
        free(descriptions[i]);
    }
    free(names);
    free(descriptions);
    EXPECT_TRUE(found);
    ASSERT_TRUE(Init(DB_INIT_CHECK_ONLY));
}

TEST(PgStoreRefusals, BadCredentialsAndSourcesFailWithAClearStatus)
{
    PgDatabase database("ut_refusals");
    ASSERT_TRUE(database.ok());
    LogCapture log;
    const struct {
        const char *dsn;
        const char *password;
        const char *expect;   /* in the logged reason */
    } cases[] = {
        {nullptr, "wrong password", "password authentication failed"},
        {"no_such_source", nullptr, "IM002"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expect);
        DbModuleSettings s = database.Settings();
        if (c.dsn)
            s.dsn = c.dsn;
        if (c.password)
            s.password = c.password;
        int oldVersion = 0, newVersion = 0;
        EXPECT_FALSE(Db_ModuleInit(&s, DB_INIT_UPGRADE_EXISTING, &oldVersion, &newVersion));
        EXPECT_FALSE(Db_ModuleIsInitialized());
        EXPECT_STREQ(Db_ModuleStatusText(), "Cannot open database connection");
        EXPECT_TRUE(log.Contains("Db_Open: Cannot open a DB Connection:")) << log.All();
        EXPECT_TRUE(log.Contains(c.expect)) << log.All();
        EXPECT_FALSE(log.Contains(database.Settings().password));
    }
}

TEST(PgStoreRefusals, DatabaseWithoutSchemaIsRefusedAtStartUp)
{
    PgDatabase database("ut_empty");
    ASSERT_TRUE(database.ok());
    LogCapture log;
    DbModuleSettings s = database.Settings();
    int oldVersion = 0, newVersion = 0;
    EXPECT_FALSE(Db_ModuleInit(&s, DB_INIT_UPGRADE_EXISTING, &oldVersion, &newVersion));
    EXPECT_TRUE(log.Contains("PolDB_ModuleInit: Found no or empty database"));
    EXPECT_STREQ(Db_ModuleStatusText(), "No database schema found, init required");
}

TEST_F(PgStore, RefreshingStatisticsStaysWithOurOwnTables)
{
    log_.Clear();
    EXPECT_TRUE(PolDb_RefreshStatistics(conn_));
    EXPECT_FALSE(log_.Contains("only superuser")) << log_.All();
}

TEST_F(PgStore, NonAsciiValueFillingItsColumnReadsBack)
{
    std::string full;
    for (int i = 0; i < 254; i++)
        full += "\xC3\xA9";
    full += "x";
    std::string sql = "UPDATE PolicyDb_MetaInfo SET value = " + std::string(PolDb_EscapeString(conn_, false, false, full.c_str())) +
                      " WHERE name = 'insCustom1Name'";
    ASSERT_TRUE(Db_Exec(conn_, sql.c_str()));
    EXPECT_EQ(Scalar("SELECT value FROM PolicyDb_MetaInfo WHERE name = 'insCustom1Name'"), full);
    EXPECT_EQ(Scalar("SELECT CAST(value AS VARCHAR(255)) FROM PolicyDb_MetaInfo WHERE name = 'insCustom1Name'"), full);
    Db_Rollback(conn_);
}

namespace {
DbStoreOps g_refusingOps;
bool OpenRefusingVersion3(DbConnection *conn)
{
    PolDb_OdbcNoteRefusedVersion3();   /* as the driver's "requested version" warning does */
    return PolDb_OdbcStoreOps()->open(conn);
}
} // namespace

TEST(PgStoreVersion2, DriverRefusingVersion3GetsAVersion2Environment)
{
    PgDatabase database("ut_v2");
    ASSERT_TRUE(database.ok());
    LogCapture log;
    DbModuleSettings s = database.Settings();
    int oldVersion = 0, newVersion = 0;
    g_refusingOps = *PolDb_OdbcStoreOps();
    g_refusingOps.open = OpenRefusingVersion3;
    Db_SetStoreOpsOverride(&g_refusingOps);
    bool ok = Db_ModuleInit(&s, DB_INIT_UPGRADE_OR_CREATE, &oldVersion, &newVersion);
    Db_SetStoreOpsOverride(nullptr);
    ASSERT_TRUE(ok);
    EXPECT_TRUE(log.Contains("PolicyDb: Configured ODBC Driver doesn't support default ODBC Ver. 3, "
                             "re-initializing environment to Ver. 2"));
    DbConnection *conn = Db_Open();   /* the version-2 environment connects */
    ASSERT_NE(conn, nullptr);
    EXPECT_EQ(conn->engine, DB_ENGINE_POSTGRES);
    Db_Close(conn);
    Db_ModuleExit();
    EXPECT_FALSE(PolDb_OdbcRefusedVersion3());
}
