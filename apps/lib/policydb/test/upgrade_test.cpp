/* The schema upgrade on SQLite: each step alone against the next version's
 * layout, the whole ladder through module init, what the data hooks do, an
 * unknown version, and recovery from a failure injected at every statement
 * and every commit of the ladder. */
#include "policydb/event.h"
#include "store/stores.h"
#include "testutil.h"
#include "upgradeFixtures.h"

#include <sqlite3.h>

#include <algorithm>
#include <set>

namespace {

/* Tables and columns (name, type, key position) of a SQLite file, sorted. */
std::string Layout(const std::string &file)
{
    sqlite3 *db = nullptr;
    sqlite3_open(file.c_str(), &db);
    sqlite3_stmt *st = nullptr;
    std::set<std::string> lines;
    const char *sql = "SELECT m.name, p.name, p.type, p.pk FROM sqlite_master m, pragma_table_info(m.name) p "
                      "WHERE m.type = 'table'";
    if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK)
        while (sqlite3_step(st) == SQLITE_ROW) {
            std::string line;
            for (int c = 0; c < 4; c++)
                line += std::string(reinterpret_cast<const char *>(sqlite3_column_text(st, c))) + " ";
            lines.insert(line);
        }
    sqlite3_finalize(st);
    sqlite3_close(db);
    std::string out;
    for (const std::string &l : lines)
        out += l + "\n";
    return out;
}

bool Includes(const std::vector<std::string> &after, const std::vector<std::string> &before)
{
    return std::includes(after.begin(), after.end(), before.begin(), before.end());
}

class Upgrade : public TempDb {
protected:
    void TearDown() override
    {
        Db_Close(conn_);
        conn_ = nullptr;
        Db_SetStoreOpsOverride(nullptr);
        TempDb::TearDown();
    }

    /* A database of `version` at path(), the module initialised without a
     * check and conn_ open on it. */
    void Build(int version)
    {
        ASSERT_TRUE(Init(DB_INIT_NO_CHECK));
        conn_ = Db_Open();
        ASSERT_NE(conn_, nullptr);
        ASSERT_TRUE(UpgradeFixture_Build(conn_, version)) << Db_GetLastErrorText(conn_);
    }

    /* Closes the connection and the module. */
    void Finish()
    {
        Db_Close(conn_);
        conn_ = nullptr;
        Db_ModuleExit();
    }

    /* The layout a database of `version` has, built in a file of its own. */
    std::string ExpectedLayout(int version)
    {
        std::string file = dir_ + "/expected.bin";
        DbModuleSettings s{};
        s.storeKind = DB_STORE_SQLITE;
        s.dsn = file.c_str();
        int o = 0, n = 0;
        EXPECT_TRUE(Db_ModuleInit(&s, version == 216 ? DB_INIT_CREATE_IF_EMPTY : DB_INIT_NO_CHECK, &o, &n));
        if (version != 216) {
            DbConnection *c = Db_Open();
            EXPECT_TRUE(UpgradeFixture_Build(c, version));
            Db_Close(c);
        }
        Db_ModuleExit();
        return Layout(file);
    }

    std::vector<std::vector<std::string>> Snapshot()
    {
        DbConnection *c = Db_Open();
        auto rows = UpgradeFixture_Snapshot(c);
        Db_Close(c);
        return rows;
    }

    void ExpectRowsKept(const std::vector<std::vector<std::string>> &before,
                        const std::vector<std::vector<std::string>> &after)
    {
        const auto &tables = UpgradeFixture_Tables();
        ASSERT_EQ(before.size(), after.size());
        for (size_t i = 0; i < before.size(); i++) {
            EXPECT_FALSE(before[i].empty()) << tables[i].name;
            EXPECT_TRUE(Includes(after[i], before[i])) << tables[i].name;
        }
    }

    DbConnection *conn_ = nullptr;
};

const int kVersions[] = {202, 206, 207, 208, 209, 210, 211, 212, 213, 214, 215};

int Next(int version) { return version == 202 ? 206 : version + 1; }

class EachStep : public Upgrade, public ::testing::WithParamInterface<int> {};

TEST_P(EachStep, GivesTheNextLayoutAndKeepsEveryRow)
{
    int v = GetParam();
    Build(v);
    auto before = UpgradeFixture_Snapshot(conn_);
    ASSERT_TRUE(PolDb_UpgradeOneStep(conn_, v)) << log_.All();
    auto after = UpgradeFixture_Snapshot(conn_);
    char *version = SelectSingleString(conn_, "SELECT value FROM PolicyDb_MetaInfo WHERE name = 'version'");
    Db_Commit(conn_);
    EXPECT_STREQ(version, std::to_string(Next(v)).c_str());
    free(version);
    EXPECT_TRUE(log_.Contains("PolicyDb: Upgrading to version " + std::to_string(Next(v))));
    Finish();
    ExpectRowsKept(before, after);
    std::string layout = Layout(path());
    EXPECT_EQ(layout, ExpectedLayout(Next(v)));
}

INSTANTIATE_TEST_SUITE_P(Versions, EachStep, ::testing::ValuesIn(kVersions));

class Ladder : public Upgrade, public ::testing::WithParamInterface<int> {};

TEST_P(Ladder, ServerStartUpBringsTheDatabaseTo216)
{
    int v = GetParam();
    Build(v);
    auto before = UpgradeFixture_Snapshot(conn_);
    Finish();
    int oldVersion = 0, newVersion = 0;
    ASSERT_TRUE(Init(DB_INIT_UPGRADE_EXISTING, &oldVersion, &newVersion)) << log_.All();
    EXPECT_EQ(oldVersion, v);
    EXPECT_EQ(newVersion, 216);
    EXPECT_TRUE(log_.Contains("PolicyDb: Beginning Database Upgrade from version " + std::to_string(v) +
                              " to version 216"));
    EXPECT_TRUE(log_.Contains("PolicyDb: Database Upgrade from version " + std::to_string(v) +
                              " to version 216 SUCCESFUL"));
    ExpectRowsKept(before, Snapshot());
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM PolicyDb_LongField WHERE longFieldKey = 'PolicyDb_UpgradeStep'"), "0");
    Db_ModuleExit();
    EXPECT_EQ(Layout(path()), ExpectedLayout(216));
}

INSTANTIATE_TEST_SUITE_P(Versions, Ladder, ::testing::ValuesIn(kVersions));

TEST_F(Upgrade, From215AddsDeleteTypePadsEveryInstanceTimeAndReSignsTheChain)
{
    Build(215);
    char *bad = nullptr;
    EXPECT_FALSE(PolDb_EventVerifyChain(conn_, &bad));
    free(bad);
    ASSERT_TRUE(PolDb_UpgradeOneStep(conn_, 215));
    EXPECT_EQ(Scalar("SELECT eventMessage FROM PolicyDb_EventType WHERE eventType = 4170"), "Instance Delete requested");
    for (const char *column : {"activationDate", "lastPolicyCheck", "revocationDate", "replacementDate",
                               "insValidDateStart", "insValidDateEnd", "insTsCreated", "insTsLastModified"})
        EXPECT_EQ(Scalar(std::string("SELECT COUNT(*) FROM PolicyDb_Instance WHERE length(") + column + ") <> 20"),
                  "0")
            << column;
    EXPECT_EQ(Scalar("SELECT activationDate FROM PolicyDb_Instance WHERE instanceUID = 'I3'"), "00000000001700000002");
    bad = nullptr;
    EXPECT_TRUE(PolDb_EventVerifyChain(conn_, &bad)) << (bad ? bad : "");
    free(bad);
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM PolicyDb_Event"), std::to_string(FIXTURE_EVENTS));
}

TEST_F(Upgrade, From209CreatesTheMissingPreviewPolicies)
{
    Build(209);
    ASSERT_TRUE(PolDb_UpgradeOneStep(conn_, 209));
    /* Q1 had its preview (2); Q2 (active 1) and Q3 (active 2) had none. */
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM PolicyDb_RuntimePolicy WHERE quenUID = 'Q1'"), "2");
    EXPECT_EQ(Scalar("SELECT published FROM PolicyDb_RuntimePolicy WHERE quenUID = 'Q2' AND policyVersion = 2"),
              "FALSE");
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM PolicyDb_RuntimePolicy WHERE quenUID = 'Q3' AND policyVersion = 3"), "1");
    EXPECT_TRUE(log_.Contains("[INFO] DB Upgrade CreatePreviewPolicies: Created preview policy set for quen uid = Q2"));
    EXPECT_FALSE(log_.Contains("quen uid = Q1"));
    /* The new version takes over the access entries of the active one. */
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM PolicyDb_Access WHERE quenUID = 'Q3' AND accVersion = 3"), "1");
}

TEST_F(Upgrade, From209StopsWhenTheNextPolicyVersionWouldNotBeThePreview)
{
    Build(209);
    /* Q2 is active at 1 and lacks 2, but has 3: a new version would be 4. */
    ASSERT_TRUE(Db_Exec(conn_, "INSERT INTO PolicyDb_RuntimePolicy (quenUID, policyVersion, expirationType, "
                               "expValue_1, expValue_2, cacheLifetime, rtpInstType, rtpAuthType, rtpInstanceLimit, "
                               "rtpPerUserInstanceLimit) VALUES ('Q2', 3, 1, '0', '0', '0', 1, 1, 0, 0)") &&
                Db_Commit(conn_));
    EXPECT_FALSE(PolDb_UpgradeOneStep(conn_, 209));
    EXPECT_TRUE(log_.Contains(
        "[ERROR] DB Upgrade CreatePreviewPolicies: Inconsistent current policy version for quen uid Q2"));
    EXPECT_EQ(std::string(Db_ModuleStatusText()), "Database upgrade failed: Cannot Execute Runtime Upgrade");
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM PolicyDb_RuntimePolicy WHERE policyVersion = 4"), "0");
    EXPECT_EQ(Scalar("SELECT value FROM PolicyDb_MetaInfo WHERE name = 'version'"), "209");
}

TEST_F(Upgrade, From207GivesEveryAccessRowARegisteredUniqueKey)
{
    Build(207);
    ASSERT_TRUE(PolDb_UpgradeOneStep(conn_, 207));
    EXPECT_EQ(Scalar("SELECT COUNT(DISTINCT accessPK) FROM PolicyDb_Access WHERE length(accessPK) = 36"),
              std::to_string(FIXTURE_ACCESS_ROWS));
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM PolicyDb_Access a JOIN PolicyDb_LongField l ON l.longFieldKey = "
                     "a.accessPK AND l.longFieldIndex = 0 AND l.longFieldValue = 'Access'"),
              std::to_string(FIXTURE_ACCESS_ROWS));
    EXPECT_EQ(Scalar("SELECT length(accessPK) FROM PolicyDb_Access WHERE deleted = 'TRUE'"), "36");
}

TEST_F(Upgrade, From206OnSqliteAddsTombstonesWithTheirDefault)
{
    Build(206);
    ASSERT_TRUE(PolDb_UpgradeOneStep(conn_, 206));
    for (const char *table : {"PolicyDb_Access", "PolicyDb_Quen", "PolicyDb_Instance", "PolicyDb_MacPool",
                              "PolicyDb_Package", "PolicyDb_RuntimePolicy", "PolicyDb_UserData"}) {
        EXPECT_EQ(Scalar(std::string("SELECT dflt_value FROM pragma_table_info('") + table +
                         "') WHERE name = 'deleted'"),
                  "'FALSE'")
            << table;
        EXPECT_EQ(Scalar(std::string("SELECT COUNT(*) FROM ") + table + " WHERE deleted IS NOT 'FALSE'"), "0");
    }
}

TEST_F(Upgrade, From202KeepsUserDataWhosePackageIsGone)
{
    Build(202);
    ASSERT_TRUE(PolDb_UpgradeOneStep(conn_, 202));
    EXPECT_EQ(Scalar("SELECT userDataPK FROM PolicyDb_UserData WHERE udataName = 'orphan'"), "Q3:P-GONE::orphan");
    EXPECT_EQ(Scalar("SELECT userDataPK FROM PolicyDb_UserData WHERE udataName = 'color'"), "Q1:P1::color");
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM sqlite_master WHERE name = 'PolicyDb_Session'"), "0");
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM sqlite_master WHERE name LIKE '%\\_tmp' ESCAPE '\\'"), "0");
}

class UnknownVersion : public Upgrade, public ::testing::WithParamInterface<int> {};

TEST_P(UnknownVersion, FailsWithThePathMessageAndTouchesNothing)
{
    int v = GetParam();
    Build(206);
    ASSERT_TRUE(Db_Exec(conn_, ("UPDATE PolicyDb_MetaInfo SET value = '" + std::to_string(v) +
                                "' WHERE name = 'version'").c_str()) &&
                Db_Commit(conn_));
    Finish();
    std::string before = Layout(path());
    ASSERT_TRUE(Init(DB_INIT_NO_CHECK));
    auto rows = Snapshot();
    Db_ModuleExit();

    EXPECT_FALSE(Init(DB_INIT_UPGRADE_EXISTING));
    std::string message = "Database upgrade failed: Don't know an upgrade path from version " + std::to_string(v);
    EXPECT_EQ(std::string(Db_ModuleStatusText()), message);
    EXPECT_TRUE(log_.Contains("PolDb_UpgradeDbVersion: " + message));
    EXPECT_TRUE(log_.Contains("to version 216 FAILED"));
    EXPECT_EQ(Layout(path()), before);
    EXPECT_EQ(Scalar("SELECT value FROM PolicyDb_MetaInfo WHERE name = 'version'"), std::to_string(v));
    ASSERT_TRUE(Init(DB_INIT_NO_CHECK));
    EXPECT_EQ(Snapshot(), rows);
}

INSTANTIATE_TEST_SUITE_P(Versions, UnknownVersion, ::testing::Values(203, 204, 205, 217));

/* ---- recovery ------------------------------------------------------------------- */

/* The SQLite store with one chosen statement or commit failing. */
struct Injection {
    bool onCommit = false;
    int failAt = 0;   /* 1-based; 0 counts only */
    int seen = 0;
};
Injection g_injection;

bool Counted(DbConnection *conn, bool commit)
{
    if (commit != g_injection.onCommit)
        return true;
    if (++g_injection.seen != g_injection.failAt)
        return true;
    Db_SetError(conn, 1, "injected store failure");
    return false;
}

bool FailingExec(DbConnection *conn, const char *sql)
{
    return Counted(conn, false) && PolDb_SqliteStoreOps()->exec(conn, sql);
}

bool FailingCommit(DbConnection *conn)
{
    return Counted(conn, true) && PolDb_SqliteStoreOps()->commit(conn);
}

const DbStoreOps *InjectingOps()
{
    static DbStoreOps ops;
    ops = *PolDb_SqliteStoreOps();
    ops.exec = FailingExec;
    ops.commit = FailingCommit;
    return &ops;
}

struct RecoveryCase {
    int version;
    bool onCommit;
    bool firstStepOnly;
};

void PrintTo(const RecoveryCase &c, std::ostream *out)
{
    *out << c.version << (c.onCommit ? " commit" : " statement") << (c.firstStepOnly ? " first step" : " ladder");
}

class Recovery : public Upgrade, public ::testing::WithParamInterface<RecoveryCase> {};

TEST_P(Recovery, ALaterAttemptFinishesAStepThatFailedAtAnyPoint)
{
    const RecoveryCase c = GetParam();
    /* How many statements (or commits) the ladder takes; for a long ladder
     * the first step's (and a few of module init's around it), since the
     * later steps have cases of their own. */
    Build(c.version);
    auto before = UpgradeFixture_Snapshot(conn_);
    if (c.firstStepOnly) {
        g_injection = Injection{c.onCommit, 0, 0};
        Db_SetStoreOpsOverride(InjectingOps());
        Db_Close(conn_);
        conn_ = Db_Open();
        ASSERT_TRUE(PolDb_UpgradeOneStep(conn_, c.version));
    }
    Finish();
    int total = g_injection.seen + 4;
    if (!c.firstStepOnly) {
        g_injection = Injection{c.onCommit, 0, 0};
        Db_SetStoreOpsOverride(InjectingOps());
        ASSERT_TRUE(Init(DB_INIT_UPGRADE_EXISTING));
        Db_ModuleExit();
        total = g_injection.seen;
    }
    ASSERT_GT(total, 5);

    for (int k = 1; k <= total; k++) {
        SCOPED_TRACE("failure at " + std::to_string(k) + " of " + std::to_string(total));
        Db_SetStoreOpsOverride(nullptr);
        unlink(path().c_str());
        Build(c.version);
        Finish();
        g_injection = Injection{c.onCommit, k, 0};
        Db_SetStoreOpsOverride(InjectingOps());
        bool first = Init(DB_INIT_UPGRADE_EXISTING);
        Db_ModuleExit();
        Db_SetStoreOpsOverride(nullptr);
        /* The server tries again on its next start, the tool by its
         * upgrade command: both end with every row at 216. */
        int oldVersion = 0, newVersion = 0;
        ASSERT_TRUE(Init(k % 2 ? DB_INIT_UPGRADE_EXISTING : DB_INIT_UPGRADE_OR_CREATE, &oldVersion, &newVersion))
            << "first attempt " << (first ? "succeeded" : "failed") << "\n"
            << log_.All();
        EXPECT_EQ(newVersion, 216);
        ExpectRowsKept(before, Snapshot());
        Db_ModuleExit();
        if (HasFailure())
            break;
    }
}

INSTANTIATE_TEST_SUITE_P(Steps, Recovery,
                         ::testing::Values(RecoveryCase{202, false, true}, RecoveryCase{202, true, true},
                                           RecoveryCase{207, false, true}, RecoveryCase{207, true, true},
                                           RecoveryCase{209, false, true}, RecoveryCase{214, false, false},
                                           RecoveryCase{215, true, false}),
                         [](const auto &info) {
                             return std::to_string(info.param.version) + (info.param.onCommit ? "Commit" : "Exec");
                         });

} // namespace
