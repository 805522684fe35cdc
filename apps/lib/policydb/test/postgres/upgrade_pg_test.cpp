/* The schema upgrade on PostgreSQL through ODBC: the ladder from every
 * version it starts at (the PostgreSQL variant of 206 -> 207 and the
 * lowercase indices included), the re-signed event chain, and version 202,
 * which only SQLite databases can have. One database serves the suite; each
 * test empties it first. */
#include "pgpeer.h"
#include "../testutil.h"
#include "../upgradeFixtures.h"

#include "policydb/event.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>

namespace {

extern PgDatabase *g_database;

class PgUpgrade : public ::testing::TestWithParam<int> {
protected:
    /* One database for both suites of this file, dropped when every test
     * has run (DropUpgradeDatabase below). */
    static void SetUpTestSuite()
    {
        if (!g_database)
            g_database = new PgDatabase("ut_upgrade");
    }

    /* An empty database with the module initialised unchecked on it. */
    void SetUp() override
    {
        ASSERT_TRUE(g_database->ok()) << "no PostgreSQL peer (QUENSC_PG_PEER)";
        ASSERT_TRUE(Init(DB_INIT_NO_CHECK));
        conn_ = Db_Open();
        ASSERT_NE(conn_, nullptr) << log_.All();
        std::string drop;
        for (const char *t : {"PolicyDb_Event", "PolicyDb_EventType", "PolicyDb_QuenscServer", "PolicyDb_MetaInfo",
                              "PolicyDb_Access", "PolicyDb_Instance", "PolicyDb_MacPool", "PolicyDb_RuntimePolicy",
                              "PolicyDb_UserData", "PolicyDb_Package", "PolicyDb_Quen", "PolicyDb_LongField",
                              "PolicyDb_Session", "PolicyDb_Access_old", "PolicyDb_Access_tmp"})
            drop += std::string(drop.empty() ? "" : ";") + "DROP TABLE IF EXISTS " + t + " CASCADE";
        ASSERT_TRUE(Db_Exec(conn_, drop.c_str()) && Db_Commit(conn_)) << Db_GetLastErrorText(conn_);
    }
    void TearDown() override
    {
        Db_Close(conn_);
        Db_ModuleExit();
    }

    bool Init(int mode, int *oldVersion = nullptr)
    {
        DbModuleSettings s = g_database->Settings();
        s.logStatements = logStatements_;
        int o = 0, n = 0;
        return Db_ModuleInit(&s, mode, oldVersion ? oldVersion : &o, &n);
    }

    /* Builds the fixture, closes everything and starts the module as the
     * server does; the connection is open again afterwards. */
    bool BuildAndStart(int version, std::vector<std::vector<std::string>> *before, int *oldVersion)
    {
        EXPECT_TRUE(UpgradeFixture_Build(conn_, version)) << Db_GetLastErrorText(conn_);
        *before = UpgradeFixture_Snapshot(conn_);
        Db_Close(conn_);
        Db_ModuleExit();
        bool ok = Init(DB_INIT_UPGRADE_EXISTING, oldVersion);
        status_ = Db_ModuleStatusText();
        if (!ok) {
            EXPECT_TRUE(Init(DB_INIT_NO_CHECK));
        }
        conn_ = Db_Open();
        return ok;
    }

    std::string Scalar(const std::string &sql)
    {
        char *text = SelectSingleString(conn_, sql.c_str());
        std::string out = text ? text : "<none>";
        free(text);
        Db_Commit(conn_);
        return out;
    }

    DbConnection *conn_ = nullptr;
    std::string status_;   /* the module status right after the start */
    bool logStatements_ = false;
    LogCapture log_;
};

PgDatabase *g_database;

/* Drops the suites' database once every test has run. */
struct DropUpgradeDatabase : ::testing::Environment {
    void TearDown() override
    {
        delete g_database;
        g_database = nullptr;
    }
};
const auto *const g_dropAtEnd = ::testing::AddGlobalTestEnvironment(new DropUpgradeDatabase);


TEST_P(PgUpgrade, LadderKeepsEveryRowAndEndsInTheCurrentLayout)
{
    std::vector<std::vector<std::string>> before;
    int oldVersion = 0;
    ASSERT_TRUE(BuildAndStart(GetParam(), &before, &oldVersion)) << log_.All();
    EXPECT_EQ(oldVersion, GetParam());
    auto after = UpgradeFixture_Snapshot(conn_);
    ASSERT_EQ(after.size(), before.size());
    for (size_t i = 0; i < before.size(); i++)
        EXPECT_TRUE(std::includes(after[i].begin(), after[i].end(), before[i].begin(), before[i].end()))
            << UpgradeFixture_Tables()[i].name;
    EXPECT_EQ(Scalar("SELECT value FROM PolicyDb_MetaInfo WHERE name = 'version'"), "216");
    /* The tombstones' default, also when the column came with the two
     * statements PostgreSQL takes. */
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM information_schema.columns WHERE column_name = 'deleted' AND "
                     "column_default LIKE '%FALSE%'"),
              "7");
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM pg_indexes WHERE indexname LIKE 'pdbins_custom%_idxl'"), "9");
    /* Start-up adds the lowercase and search indices the ladder leaves out. */
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM pg_indexes WHERE indexname LIKE '%\\_idxl' ESCAPE '\\' OR "
                     "indexname IN ('pdbins_pkgactivation_idx', 'pdbins_quenactivation_idx')"),
              "17");
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM information_schema.tables WHERE table_name LIKE '%_tmp'"), "0");
}

INSTANTIATE_TEST_SUITE_P(Versions, PgUpgrade, ::testing::Values(206, 207, 208, 209, 210, 211, 214, 215));

using PgUpgradeCases = PgUpgrade;

TEST_F(PgUpgradeCases, From215ReSignsEveryEventSoTheChainVerifies)
{
    std::vector<std::vector<std::string>> before;
    int oldVersion = 0;
    ASSERT_TRUE(BuildAndStart(215, &before, &oldVersion)) << log_.All();
    char *bad = nullptr;
    EXPECT_TRUE(PolDb_EventVerifyChain(conn_, &bad)) << (bad ? bad : "");
    free(bad);
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM PolicyDb_Event"), std::to_string(FIXTURE_EVENTS));
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM PolicyDb_Instance WHERE length(insTsCreated) <> 20"), "0");
    EXPECT_EQ(Scalar("SELECT eventMessage FROM PolicyDb_EventType WHERE eventType = 4170"),
              "Instance Delete requested");
}

TEST_F(PgUpgradeCases, From206AddsTombstonesWithTheTwoStatementForm)
{
    std::vector<std::vector<std::string>> before;
    int oldVersion = 0;
    logStatements_ = true;
    ASSERT_TRUE(BuildAndStart(206, &before, &oldVersion)) << log_.All();
    EXPECT_TRUE(log_.Contains("ALTER TABLE PolicyDb_Access ADD deleted VARCHAR(7);"
                              "ALTER TABLE PolicyDb_Access ALTER deleted SET DEFAULT 'FALSE'"));
    EXPECT_FALSE(log_.Contains("ADD deleted VARCHAR(7) DEFAULT"));
}

TEST_F(PgUpgradeCases, Version202HasNoPathAndIsLeftAlone)
{
    std::vector<std::vector<std::string>> before;
    int oldVersion = 0;
    EXPECT_FALSE(BuildAndStart(202, &before, &oldVersion));
    EXPECT_EQ(status_, "Database upgrade failed: Don't know an upgrade path from version 202");
    EXPECT_EQ(Scalar("SELECT value FROM PolicyDb_MetaInfo WHERE name = 'version'"), "202");
    EXPECT_EQ(UpgradeFixture_Snapshot(conn_), before);
}

} // namespace
