/* The schema of version 216 as SQLite holds it after initialisation, the
 * indices an existing database is given at start-up, and the indices the
 * planner picks for the instance list queries. */
#include "testutil.h"

#include "policydb/instanceQuery.h"
#include "store/stores.h"

#include <string>

class Schema : public TempDb {
protected:
    void SetUp() override
    {
        TempDb::SetUp();
        ASSERT_TRUE(Init(DB_INIT_CREATE_IF_EMPTY));
    }
};

TEST_F(Schema, TablesMetadataAndEventTypes)
{
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM sqlite_master WHERE type = 'table'"), "12");
    for (int i = 0; i < PolDb_SchemaTableCount; i++)
        EXPECT_EQ(Scalar(std::string("SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND name = '") +
                         PolDb_SchemaTables[i] + "'"),
                  "1")
            << PolDb_SchemaTables[i];
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM PolicyDb_MetaInfo"), "19");
    EXPECT_EQ(Scalar("SELECT value FROM PolicyDb_MetaInfo WHERE name = 'version'"), "216");
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM PolicyDb_MetaInfo WHERE name LIKE 'insCustom_Name' AND value = ''"), "9");
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM PolicyDb_MetaInfo WHERE name LIKE 'insCustom_ReadOnly' AND value = 'FALSE'"),
              "9");
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM PolicyDb_EventType"), "41");
    EXPECT_EQ(Scalar("SELECT group_concat(eventCategoryName, '|') FROM (SELECT DISTINCT eventCategory, "
                     "eventCategoryName FROM PolicyDb_EventType ORDER BY eventCategory)"),
              "N/A|Authentication|QUEN Administration|Package Administration|Instance Administration|"
              "Policy Administration");
    EXPECT_EQ(Scalar("SELECT eventMessage FROM PolicyDb_EventType WHERE eventType = 2030"),
              "Quen \"%s\" Update requested, new name =\"%s\"");
    EXPECT_EQ(Scalar("SELECT eventLogLevel || '/' || eventCategory FROM PolicyDb_EventType WHERE eventType = 4030"),
              "2/4");
    /* Every code is its category times 1000 plus a multiple of ten. */
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM PolicyDb_EventType WHERE eventType / 1000 <> eventCategory "
                     "OR eventType % 10 <> 0"),
              "0");
}

TEST_F(Schema, IndicesWithLowercaseIndicesOnSqlite)
{
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM sqlite_master WHERE type = 'index' AND name LIKE 'PdbIns_%' "
                     "AND tbl_name = 'PolicyDb_Instance' AND name NOT LIKE '%_idxl'"),
              "34");
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM sqlite_master WHERE type = 'index' AND name IN "
                     "('PdbLf_longFieldKey_idx', 'PdbLf_sessionExpires_idx', 'PdbIns_eventCategory_idx', "
                     "'PdbIns_eventType_idx', 'PdbIns_eventTs_idx', 'PdbIns_quenUID_idx', 'PdbIns_custom9_idx')"),
              "7");
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM sqlite_master WHERE name LIKE '%_idxl'"), "15");
    EXPECT_EQ(Scalar("SELECT sql FROM sqlite_master WHERE name = 'PdbIns_custom9_idxl'"),
              "CREATE INDEX PdbIns_custom9_idxl on PolicyDb_Instance(lower(insCustom9))");
    EXPECT_EQ(Scalar("SELECT sql FROM sqlite_master WHERE name = 'PdbIns_pkgActivation_idx'"),
              "CREATE INDEX PdbIns_pkgActivation_idx ON PolicyDb_Instance (packageUID, deleted, activationDate DESC)");
    /* 32 instance + 2 search + 15 lowercase + 2 long-field + 3 event
     * indices, besides SQLite's own. */
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM sqlite_master WHERE type = 'index' AND sql IS NOT NULL"), "54");
}

TEST_F(Schema, StartUpAddsTheSearchIndicesAnOlderDatabaseLacks)
{
    const std::string missing = "SELECT COUNT(*) FROM sqlite_master WHERE name IN ('PdbIns_pkgActivation_idx', "
                                "'PdbIns_quenActivation_idx', 'PdbIns_hostName_idxl')";
    Raw("DROP INDEX PdbIns_pkgActivation_idx; DROP INDEX PdbIns_quenActivation_idx; DROP INDEX PdbIns_hostName_idxl");
    Db_ModuleExit();
    /* The check accepts the database as it is and changes nothing. */
    ASSERT_TRUE(Init(DB_INIT_CHECK_ONLY));
    EXPECT_EQ(Scalar(missing), "0");
    Db_ModuleExit();
    ASSERT_TRUE(Init(DB_INIT_UPGRADE_EXISTING));
    EXPECT_EQ(Scalar(missing), "3");
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM sqlite_master WHERE type = 'index' AND sql IS NOT NULL"), "54");
}

namespace {

/* The planner's details of every step of sql, joined by "; ". */
std::string PlanOf(DbConnection *conn, const std::string &sql)
{
    DbResultSet *rs = nullptr;
    std::string plan;
    if (Db_Query(conn, ("EXPLAIN QUERY PLAN " + sql).c_str(), &rs)) {
        while (rs->ops->next(rs)) {
            char *detail = rs->ops->getString(rs, 3);
            plan += std::string(plan.empty() ? "" : "; ") + detail;
            free(detail);
        }
        Db_FreeResult(conn, rs);
    }
    Db_Commit(conn);
    return plan;
}

} // namespace

/* With the statistics the server's housekeeping keeps (here over 400
 * instances in two packages of two Quens, 400 creators), each list query
 * reads its index; the package page comes in the index's order, unsorted. */
TEST_F(Schema, InstanceListQueriesReadTheirIndex)
{
    Raw("WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 399) "
        "INSERT INTO PolicyDb_Instance (instanceUID, packageUID, quenUID, creatorIdName, creatorAuthType, "
        "activationDate, lastPolicyCheck, revocationDate, replacementDate, insValidDateStart, insValidDateEnd) "
        "SELECT 'i' || i, 'p' || (i % 2), 'q' || (i % 2), 'user' || i, 0, printf('%020d', i), 0, 0, 0, 0, 0 FROM n");
    struct Case {
        const char *name;
        PolDbInstanceQuery query;
        bool count;
        const char *index;
    };
    PolDbInstanceQuery package{}, quen{}, creator{};
    package.packageUID = {POLDB_QUERY_EQ, "p1", nullptr};
    package.pageSize = 50;
    quen.quenUID = {POLDB_QUERY_EQ, "q1", nullptr};
    creator.creatorIdName = {POLDB_QUERY_LIKE, "USER01%", nullptr};
    creator.pageSize = 50;
    const Case cases[] = {
        {"package page", package, false, "SEARCH i USING INDEX PdbIns_pkgActivation_idx (packageUID=? AND deleted=?)"},
        {"package count", package, true, "SEARCH i USING COVERING INDEX PdbIns_pkgActivation_idx"},
        {"Quen count", quen, true, "SEARCH i USING COVERING INDEX PdbIns_quenActivation_idx"},
        {"creator prefix page", creator, false, "SEARCH i USING INDEX PdbIns_creatorIdName_idxl"},
    };
    DbConnection *conn = Db_Open();
    ASSERT_NE(conn, nullptr);
    ASSERT_TRUE(PolDb_RefreshStatistics(conn));
    for (const Case &c : cases) {
        PolDbInstanceQuerySql sql{};
        ASSERT_TRUE(PolDb_InstanceQueryBuild(conn, &c.query, &sql));
        std::string plan = PlanOf(conn, c.count ? PolDb_InstanceQueryCountSql(conn, &c.query) : sql.select);
        EXPECT_NE(plan.find(c.index), std::string::npos) << c.name << ": " << plan;
        if (&c == &cases[0]) {
            EXPECT_EQ(plan.find("TEMP B-TREE"), std::string::npos) << plan;
        }
    }
    Db_Close(conn);
}

TEST_F(Schema, ColumnsDefaultsAndConstraints)
{
    Raw("INSERT INTO PolicyDb_Quen (quenUID, quenName, activePolicySetVersion) VALUES ('q', 'n', 1)");
    EXPECT_EQ(Scalar("SELECT deleted || '/' || quenTsCreated || '/' || quenTsLastModified FROM PolicyDb_Quen"),
              "FALSE/0/0");
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM pragma_table_info('PolicyDb_Instance')"), "37");
    EXPECT_EQ(Scalar("SELECT type FROM pragma_table_info('PolicyDb_UserData') WHERE name = 'userDataPK'"),
              "VARCHAR(516)");
    EXPECT_EQ(Scalar("SELECT pk FROM pragma_table_info('PolicyDb_Event') WHERE name = 'eventUID'"), "1");
    /* The UNIQUE prevEventUID keeps two writers from both chaining onto the same predecessor. */
    Raw("INSERT INTO PolicyDb_Event (eventUID, prevEventUID) VALUES (1, NULL);"
        "INSERT INTO PolicyDb_Event (eventUID, prevEventUID) VALUES (2, 1)");
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM pragma_index_list('PolicyDb_Event') WHERE \"unique\" = 1"), "1");
    EXPECT_EQ(Scalar("SELECT group_concat(name) FROM pragma_table_info('PolicyDb_LongField') WHERE pk > 0"),
              "longFieldKey,longFieldIndex");
}

TEST_F(Schema, ReinitialisingDropsEverything)
{
    Raw("INSERT INTO PolicyDb_Quen (quenUID, quenName, activePolicySetVersion) VALUES ('q', 'n', 1);"
        "INSERT INTO PolicyDb_LongField (longFieldKey, longFieldIndex, longFieldValue) VALUES ('k', 0, 'v')");
    Db_ModuleExit();
    ASSERT_TRUE(Init(DB_INIT_FORCE_CREATE));
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM PolicyDb_Quen"), "0");
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM PolicyDb_LongField"), "0");
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM PolicyDb_EventType"), "41");
}

TEST(SchemaScripts, NoSemicolonInsideLiteralsAndLowercaseIndexText)
{
    /* The ODBC store splits scripts on ';': no literal may hold one. */
    std::string script = PolDb_SchemaScript();
    bool inLiteral = false;
    for (char c : script) {
        if (c == '\'')
            inLiteral = !inLiteral;
        ASSERT_FALSE(inLiteral && c == ';');
    }
    EXPECT_FALSE(inLiteral);
    std::string lower = PolDb_LowercaseIndexScript();
    EXPECT_EQ(lower.substr(0, lower.find(';')),
              "CREATE INDEX PdbIns_creatorIdName_idxl on PolicyDb_Instance(lower(creatorIdName))");
    EXPECT_NE(lower.find(";CREATE INDEX PdbIns_custom9_idxl on PolicyDb_Instance(lower(insCustom9))"),
              std::string::npos);
    size_t statements = 1;
    for (char c : lower)
        statements += c == ';';
    EXPECT_EQ(statements, 15u);
}
