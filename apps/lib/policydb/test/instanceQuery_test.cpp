/* The instance query builder: the SQL of every operation code per column
 * kind, quoting, the UID list, sort keys and the default tie-break, the
 * paging of the four engines and the count query. The texts are built on
 * connections that never touch a database; the SQL Server statement
 * sequence runs on a scripted store. */
#include "testutil.h"

#include "policydb/instanceQuery.h"

#include <apr_general.h>

#include <climits>
#include <string>
#include <vector>

namespace {

const std::string kPlainColumns =
    "instanceUID, packageUID, quenUID, creatorIdName, creatorIdData, creatorAuthType, activationDate, "
    "lastPolicyCheck, revocationDate, replacementDate, inheritsExpiration, insUseValidDates, insValidDateStart, "
    "insValidDateEnd, insPassword, hostName, hostIp, insProtectionKey, copyProtectionId, insPreview, "
    "guestIpAddress, guestMacAddress, guestMachineName, guestConfigStatus, guestConfigMsg, insTsCreated, "
    "insTsLastModified, insCustom1, insCustom2, insCustom3, insCustom4, insCustom5, insCustom6, insCustom7, "
    "insCustom8, insCustom9";
const std::string kQualifiedColumns =
    "instanceUID, i.packageUID, i.quenUID, creatorIdName, creatorIdData, creatorAuthType, activationDate, "
    "lastPolicyCheck, revocationDate, replacementDate, inheritsExpiration, insUseValidDates, insValidDateStart, "
    "insValidDateEnd, insPassword, hostName, hostIp, insProtectionKey, copyProtectionId, insPreview, "
    "guestIpAddress, guestMacAddress, guestMachineName, guestConfigStatus, guestConfigMsg, insTsCreated, "
    "insTsLastModified, insCustom1, insCustom2, insCustom3, insCustom4, insCustom5, insCustom6, insCustom7, "
    "insCustom8, insCustom9";
const std::string kJoins = "PolicyDb_Instance i JOIN PolicyDb_Package p ON (i.packageUID = p.packageUID) JOIN "
                           "PolicyDb_Quen a ON (i.quenUID = a.quenUID)";
const std::string kInstanceOnly = "PolicyDb_Instance i";
const std::string kLive = " WHERE i.deleted = 'FALSE'";
const std::string kDefaultOrder = " ORDER BY activationDate DESC";

struct FakeConnection {
    DbConnection conn{};
    explicit FakeConnection(int engine = DB_ENGINE_SQLITE)
    {
        apr_initialize();
        apr_pool_create(&conn.pool, nullptr);
        conn.engine = engine;
    }
    ~FakeConnection() { apr_pool_destroy(conn.pool); }
};

/* The conditions after the live-row condition, e.g. " AND hostName = 'x'". */
std::string Extra(const PolDbInstanceQuery &q, int engine = DB_ENGINE_SQLITE)
{
    FakeConnection f(engine);
    std::string sql = PolDb_InstanceQueryCountSql(&f.conn, &q);
    bool joined = q.packageName.op != POLDB_QUERY_NONE || q.quenName.op != POLDB_QUERY_NONE;
    std::string head = "SELECT COUNT(*) FROM " + (joined ? kJoins : kInstanceOnly) + kLive;
    EXPECT_EQ(sql.substr(0, head.size()), head);
    return sql.substr(head.size());
}

PolDbInstanceQuerySql Build(const PolDbInstanceQuery &q, FakeConnection &f)
{
    PolDbInstanceQuerySql sql{};
    EXPECT_TRUE(PolDb_InstanceQueryBuild(&f.conn, &q, &sql));
    return sql;
}

/* The ORDER BY part of the SQLite statement without paging. */
std::string Order(int c1, int d1, int c2 = 0, int d2 = 0, int c3 = 0, int d3 = 0)
{
    PolDbInstanceQuery q{};
    q.sort[0] = {c1, d1};
    q.sort[1] = {c2, d2};
    q.sort[2] = {c3, d3};
    FakeConnection f;
    std::string sql = Build(q, f).select;
    size_t at = sql.find(" ORDER BY ");
    return at == std::string::npos ? "" : sql.substr(at);
}

} // namespace

class InstanceQuerySql : public ::testing::Test {
protected:
    LogCapture log_;
};

TEST_F(InstanceQuerySql, EmptyQueryIsTheSameOnEveryEngineWithoutPaging)
{
    std::string expected = "SELECT " + kQualifiedColumns + " FROM " + kJoins + kLive + kDefaultOrder;
    for (int engine : {DB_ENGINE_SQLITE, DB_ENGINE_MSSQL, DB_ENGINE_POSTGRES, DB_ENGINE_ORACLE}) {
        PolDbInstanceQuery q{};
        FakeConnection f(engine);
        PolDbInstanceQuerySql sql = Build(q, f);
        EXPECT_EQ(sql.select, expected) << engine;
        EXPECT_EQ(sql.prepare, nullptr);
        EXPECT_EQ(sql.cleanup, nullptr);
    }
    /* An unset first sort key is key 0, which is reported like any other. */
    EXPECT_EQ(log_.Count("Wrong sort clause 0 specified in InstanceQuery, ignoring\n"), 4);
}

TEST_F(InstanceQuerySql, TextColumnAcceptsEveryComparisonAndLike)
{
    struct Case {
        int op;
        const char *sql;
    } cases[] = {
        {1, " AND hostName = 'h1'"},
        {2, " AND hostName < 'h1'"},
        {3, " AND hostName <= 'h1'"},
        {4, " AND hostName > 'h1'"},
        {5, " AND hostName >= 'h1'"},
        {6, " AND lower(hostName) LIKE lower('h1') ESCAPE '\\' AND lower(hostName) >= 'h1' AND lower(hostName) < 'h2'"},
        {7, " AND hostName >= 'h1' AND hostName < 'h9'"},
        {8, " AND hostName >= 'h1' AND hostName <= 'h9'"},
    };
    for (const Case &c : cases) {
        PolDbInstanceQuery q{};
        q.hostName = {c.op, "h1", "h9"};
        EXPECT_EQ(Extra(q), c.sql) << c.op;
    }
    EXPECT_EQ(log_.All(), "");
    for (int op : {9, 10, -1, 1000}) {
        PolDbInstanceQuery q{};
        q.hostName = {op, "h1", "h9"};
        EXPECT_EQ(Extra(q), "") << op;
    }
    EXPECT_EQ(log_.Count("Wrong search clause for hostName specified in InstanceQuery, ignoring\n"), 4);
}

TEST_F(InstanceQuerySql, TextValuesAreQuotedAndWildcardsPassThrough)
{
    PolDbInstanceQuery q{};
    q.creatorIdName = {1, "O'Neil' OR '1'='1", nullptr};
    EXPECT_EQ(Extra(q), " AND creatorIdName = 'O''Neil'' OR ''1''=''1'");

    /* LIKE keeps the caller's own wildcards and escapes: 50\% matches a
     * literal percent sign. The value is not lowered by the builder. */
    q = {};
    q.guestConfigMsg = {6, "Done 50\\%_X", nullptr};
    EXPECT_EQ(Extra(q), " AND lower(guestConfigMsg) LIKE lower('Done 50\\%_X') ESCAPE '\\' AND "
                        "lower(guestConfigMsg) >= 'done 50%' AND lower(guestConfigMsg) < 'done 50&'");
    /* The same text on PostgreSQL, where ESCAPE '\' is one character too. */
    EXPECT_EQ(Extra(q, DB_ENGINE_POSTGRES), " AND lower(guestConfigMsg) LIKE lower('Done 50\\%_X') ESCAPE '\\'");

    /* A missing value is the SQL NULL, which matches nothing. */
    q = {};
    q.hostIp = {1, nullptr, nullptr};
    EXPECT_EQ(Extra(q), " AND hostIp = NULL");
}

TEST_F(InstanceQuerySql, IntegerColumnRefusesLike)
{
    struct Case {
        int op;
        const char *sql;
    } cases[] = {
        {1, " AND creatorAuthType = -3"},
        {2, " AND creatorAuthType < -3"},
        {3, " AND creatorAuthType <= -3"},
        {4, " AND creatorAuthType > -3"},
        {5, " AND creatorAuthType >= -3"},
        {7, " AND creatorAuthType >= -3 AND creatorAuthType < 2147483647"},
        {8, " AND creatorAuthType >= -3 AND creatorAuthType <= 2147483647"},
        {6, ""},
        {9, ""},
    };
    for (const Case &c : cases) {
        PolDbInstanceQuery q{};
        q.creatorAuthType = {c.op, -3, INT_MAX};
        EXPECT_EQ(Extra(q), c.sql) << c.op;
    }
    EXPECT_EQ(log_.Count("Wrong search clause for creatorAuthType specified in InstanceQuery, ignoring\n"), 2);
}

TEST_F(InstanceQuerySql, TimeColumnWritesQuotedZeroPaddedValues)
{
    const int64_t t1 = INT64_C(1700000000), t2 = INT64_C(5000000000);
    struct Case {
        int op;
        const char *sql;
    } cases[] = {
        {1, " AND activationDate = '00000000001700000000'"},
        {2, " AND activationDate < '00000000001700000000'"},
        {3, " AND activationDate <= '00000000001700000000'"},
        {4, " AND activationDate > '00000000001700000000'"},
        {5, " AND activationDate >= '00000000001700000000'"},
        {7, " AND activationDate >= '00000000001700000000' AND activationDate < '00000000005000000000'"},
        {8, " AND activationDate >= '00000000001700000000' AND activationDate <= '00000000005000000000'"},
        {6, ""},
        {9, ""},
    };
    for (const Case &c : cases) {
        PolDbInstanceQuery q{};
        q.activationDate = {c.op, t1, t2};
        EXPECT_EQ(Extra(q), c.sql) << c.op;
    }
    EXPECT_EQ(log_.Count("Wrong search clause for activationDate specified in InstanceQuery, ignoring\n"), 2);

    PolDbInstanceQuery q{};
    q.tsCreated = {4, INT64_C(9223372036854775807), 0};
    EXPECT_EQ(Extra(q), " AND insTsCreated > '09223372036854775807'");
}

TEST_F(InstanceQuerySql, FlagColumnOnlyAcceptsEquality)
{
    PolDbInstanceQuery q{};
    q.preview = {1, 1};
    EXPECT_EQ(Extra(q), " AND insPreview = 'TRUE'");
    q.preview = {1, 0};
    EXPECT_EQ(Extra(q), " AND insPreview = 'FALSE'");
    q.preview = {1, -7};
    EXPECT_EQ(Extra(q), " AND insPreview = 'TRUE'");
    for (int op = 2; op <= 9; op++) {
        q.preview = {op, 1};
        EXPECT_EQ(Extra(q), "") << op;
    }
    EXPECT_EQ(log_.Count("Wrong search clause for insPreview specified in InstanceQuery, ignoring\n"), 8);
}

TEST_F(InstanceQuerySql, UidListBuildsInOrMatchesNothingWhenEmpty)
{
    const char *uids[] = {"u1", "it's", nullptr};
    PolDbInstanceQuery q{};
    q.uid = {9, uids};
    EXPECT_EQ(Extra(q), " AND instanceUID IN ('u1', 'it''s')");

    const char *none[] = {nullptr};
    q.uid = {9, none};
    EXPECT_EQ(Extra(q), " AND 1 = 0");
    q.uid = {9, nullptr};
    EXPECT_EQ(Extra(q), " AND 1 = 0");
    EXPECT_EQ(log_.All(), "");

    for (int op : {1, 6, 7}) {
        q.uid = {op, uids};
        EXPECT_EQ(Extra(q), "") << op;
    }
    EXPECT_EQ(log_.Count("Wrong search clause for instanceUID specified in InstanceQuery, ignoring\n"), 3);
}

TEST_F(InstanceQuerySql, EveryConditionInItsFixedOrder)
{
    const char *uids[] = {"u", nullptr};
    PolDbInstanceQuery q{};
    q.uid = {9, uids};
    q.packageUID = {1, "pk", nullptr};
    q.quenUID = {1, "qu", nullptr};
    q.packageName = {1, "pn", nullptr};
    q.quenName = {1, "qn", nullptr};
    q.creatorIdName = {1, "cn", nullptr};
    q.creatorIdData = {1, "cd", nullptr};
    q.creatorAuthType = {1, 2, 0};
    q.activationDate = {1, 1, 0};
    q.lastPolicyCheck = {1, 2, 0};
    q.revocationDate = {1, 3, 0};
    q.replacementDate = {1, 4, 0};
    q.inheritsExpiration = {1, 1};
    q.useValidDates = {1, 0};
    q.validDateStart = {1, 5, 0};
    q.validDateEnd = {1, 6, 0};
    q.copyProtectionId = {1, "cp", nullptr};
    q.preview = {1, 1};
    q.hostName = {1, "hn", nullptr};
    q.hostIp = {1, "hi", nullptr};
    q.guestIpAddress = {1, "gi", nullptr};
    q.guestMacAddress = {1, "gm", nullptr};
    q.guestMachineName = {1, "gn", nullptr};
    q.guestConfigStatus = {1, 7, 0};
    q.guestConfigMsg = {1, "gc", nullptr};
    q.tsCreated = {1, 8, 0};
    q.tsLastModified = {1, 9, 0};
    const char *customs[] = {"c1", "c2", "c3", "c4", "c5", "c6", "c7", "c8", "c9"};
    for (int i = 0; i < 9; i++)
        q.custom[i] = {1, customs[i], nullptr};
    EXPECT_EQ(Extra(q),
              " AND instanceUID IN ('u') AND i.packageUID = 'pk' AND i.quenUID = 'qu' AND p.pkgName = 'pn' AND "
              "a.quenName = 'qn' AND creatorIdName = 'cn' AND creatorIdData = 'cd' AND creatorAuthType = 2 AND "
              "activationDate = '00000000000000000001' AND lastPolicyCheck = '00000000000000000002' AND "
              "revocationDate = '00000000000000000003' AND replacementDate = '00000000000000000004' AND "
              "inheritsExpiration = 'TRUE' AND insUseValidDates = 'FALSE' AND "
              "insValidDateStart = '00000000000000000005' AND insValidDateEnd = '00000000000000000006' AND "
              "copyProtectionId = 'cp' AND insPreview = 'TRUE' AND hostName = 'hn' AND hostIp = 'hi' AND "
              "guestIpAddress = 'gi' AND guestMacAddress = 'gm' AND guestMachineName = 'gn' AND "
              "guestConfigStatus = 7 AND guestConfigMsg = 'gc' AND insTsCreated = '00000000000000000008' AND "
              "insTsLastModified = '00000000000000000009' AND insCustom1 = 'c1' AND insCustom2 = 'c2' AND "
              "insCustom3 = 'c3' AND insCustom4 = 'c4' AND insCustom5 = 'c5' AND insCustom6 = 'c6' AND "
              "insCustom7 = 'c7' AND insCustom8 = 'c8' AND insCustom9 = 'c9'");
    EXPECT_EQ(log_.All(), "");
}

TEST_F(InstanceQuerySql, SortKeysAndTheActivationDateTieBreak)
{
    EXPECT_EQ(Order(19, 0), " ORDER BY hostName ASC, activationDate DESC");
    EXPECT_EQ(log_.Count("Wrong sort clause 0 specified in InstanceQuery, ignoring\n"), 1);
    log_.Clear();

    EXPECT_EQ(Order(9, 0, 6, 1), " ORDER BY activationDate ASC, creatorIdName DESC");
    EXPECT_EQ(log_.Count("Wrong sort clause 0 specified in InstanceQuery, ignoring\n"), 1);
    log_.Clear();

    EXPECT_EQ(Order(4, 1, 28, 0, 36, 1),
              " ORDER BY p.pkgName DESC, insCustom1 ASC, insCustom9 DESC, activationDate DESC");
    EXPECT_EQ(log_.All(), "");

    /* The first bad key ends the list: key 3 is never looked at. */
    EXPECT_EQ(Order(37, 0, 5, 1, 9, 0), " ORDER BY activationDate DESC");
    EXPECT_EQ(Order(2, 0, -1, 0, 9, 0), " ORDER BY i.packageUID ASC, activationDate DESC");
    EXPECT_EQ(log_.Count("Wrong sort clause 37 specified"), 1);
    EXPECT_EQ(log_.Count("Wrong sort clause -1 specified"), 1);
    EXPECT_EQ(log_.Count("Wrong sort clause"), 2);
    log_.Clear();

    /* A repeated key adds nothing (SQL Server refuses a column twice). */
    EXPECT_EQ(Order(19, 0, 19, 1, 9, 0), " ORDER BY hostName ASC, activationDate ASC");
    EXPECT_EQ(Order(9, 1, 9, 0, 9, 0), " ORDER BY activationDate DESC");
    EXPECT_EQ(log_.All(), "");

    const char *names[] = {"instanceUID",       "i.packageUID",     "i.quenUID",        "p.pkgName",
                           "a.quenName",        "creatorIdName",    "creatorIdData",    "creatorAuthType",
                           "activationDate",    "lastPolicyCheck",  "revocationDate",   "replacementDate",
                           "inheritsExpiration", "insUseValidDates", "insValidDateStart", "insValidDateEnd",
                           "copyProtectionId",  "insPreview",       "hostName",         "hostIp",
                           "guestMacAddress",   "guestMachineName", "guestConfigStatus", "guestConfigMsg",
                           "guestIpAddress",    "insTsCreated",     "insTsLastModified", "insCustom1",
                           "insCustom2",        "insCustom3",       "insCustom4",       "insCustom5",
                           "insCustom6",        "insCustom7",       "insCustom8",       "insCustom9"};
    for (int code = 1; code <= 36; code++) {
        std::string expected = std::string(" ORDER BY ") + names[code - 1] + " DESC";
        if (code != 9)
            expected += ", activationDate DESC";
        EXPECT_EQ(Order(code, 1, code, 0, code, 0), expected) << code;
    }
}

TEST_F(InstanceQuerySql, LimitOffsetOnSqliteAndPostgres)
{
    PolDbInstanceQuery q{};
    q.pageStart = 10;
    q.pageSize = 10;
    q.hostName = {1, "h", nullptr};
    for (int engine : {DB_ENGINE_SQLITE, DB_ENGINE_POSTGRES}) {
        FakeConnection f(engine);
        PolDbInstanceQuerySql sql = Build(q, f);
        EXPECT_EQ(sql.select, "SELECT " + kQualifiedColumns + " FROM " + kJoins + kLive + " AND hostName = 'h'" +
                                  kDefaultOrder + " LIMIT 10 OFFSET 10");
        EXPECT_EQ(sql.prepare, nullptr);
        EXPECT_EQ(sql.cleanup, nullptr);
    }
    q.pageStart = INT_MAX;
    q.pageSize = INT_MAX;
    FakeConnection f;
    EXPECT_TRUE(std::string(Build(q, f).select).ends_with(" LIMIT 2147483647 OFFSET 2147483647"));
}

TEST_F(InstanceQuerySql, OracleRownumWindow)
{
    PolDbInstanceQuery q{};
    q.pageStart = 10;
    q.pageSize = 10;
    q.sort[0] = {19, 0};
    FakeConnection f(DB_ENGINE_ORACLE);
    PolDbInstanceQuerySql sql = Build(q, f);
    EXPECT_EQ(sql.select, "SELECT " + kPlainColumns + "  FROM (SELECT q.*, ROWNUM rn from (SELECT " +
                              kQualifiedColumns + " FROM " + kJoins + kLive +
                              " ORDER BY hostName ASC, activationDate DESC) q WHERE ROWNUM < 21) WHERE rn >= 11");
    EXPECT_EQ(sql.prepare, nullptr);
    EXPECT_EQ(sql.cleanup, nullptr);

    /* The bounds are computed without overflowing an int. */
    q.pageStart = INT_MAX;
    q.pageSize = INT_MAX;
    EXPECT_TRUE(std::string(Build(q, f).select).ends_with(" q WHERE ROWNUM < 4294967295) WHERE rn >= 2147483648"));
}

TEST_F(InstanceQuerySql, SqlServerTemporaryTableInThreeStatements)
{
    PolDbInstanceQuery q{};
    q.pageStart = 10;
    q.pageSize = 10;
    q.quenName = {6, "a%", nullptr};
    FakeConnection f(DB_ENGINE_MSSQL);
    PolDbInstanceQuerySql sql = Build(q, f);
    ASSERT_NE(sql.prepare, nullptr);
    ASSERT_NE(sql.cleanup, nullptr);
    EXPECT_EQ(sql.prepare, "SELECT " + kQualifiedColumns + " , RowNum = Identity (int, 1, 1) INTO #t FROM " + kJoins +
                               kLive + " AND lower(a.quenName) LIKE lower('a%') ESCAPE '\\'" + kDefaultOrder);
    EXPECT_EQ(sql.select, "SELECT " + kPlainColumns + " FROM #t WHERE RowNum >= 11 AND RowNum < 21");
    EXPECT_STREQ(sql.cleanup, "DROP TABLE #t");

    q.pageStart = 0;
    q.pageSize = 1;
    EXPECT_EQ(std::string(Build(q, f).select), "SELECT " + kPlainColumns + " FROM #t WHERE RowNum >= 1 AND RowNum < 2");
    q.pageStart = INT_MAX;
    q.pageSize = INT_MAX;
    EXPECT_TRUE(std::string(Build(q, f).select).ends_with(" WHERE RowNum >= 2147483648 AND RowNum < 4294967295"));
}

TEST_F(InstanceQuerySql, NegativePageIsRefused)
{
    for (int engine : {DB_ENGINE_SQLITE, DB_ENGINE_MSSQL, DB_ENGINE_POSTGRES, DB_ENGINE_ORACLE}) {
        FakeConnection f(engine);
        PolDbInstanceQuerySql sql{};
        PolDbInstanceQuery q{};
        q.pageSize = 10;
        q.pageStart = -1;
        EXPECT_FALSE(PolDb_InstanceQueryBuild(&f.conn, &q, &sql));
        EXPECT_EQ(sql.select, nullptr);
        q.pageSize = -1;
        q.pageStart = 0;
        EXPECT_FALSE(PolDb_InstanceQueryBuild(&f.conn, &q, &sql));
    }
    EXPECT_EQ(log_.Count("Wrong page (size 10, start -1) specified in InstanceQuery\n"), 4);
    EXPECT_EQ(log_.Count("Wrong page (size -1, start 0) specified in InstanceQuery\n"), 4);
}

TEST_F(InstanceQuerySql, CountIgnoresSortingAndPaging)
{
    PolDbInstanceQuery q{};
    q.pageStart = 5;
    q.pageSize = 5;
    q.sort[0] = {3, 1};
    q.guestConfigStatus = {8, 1, 3};
    for (int engine : {DB_ENGINE_SQLITE, DB_ENGINE_MSSQL, DB_ENGINE_POSTGRES, DB_ENGINE_ORACLE}) {
        FakeConnection f(engine);
        EXPECT_EQ(PolDb_InstanceQueryCountSql(&f.conn, &q), "SELECT COUNT(*) FROM " + kInstanceOnly + kLive +
                                                                " AND guestConfigStatus >= 1 AND guestConfigStatus <= 3");
    }
    EXPECT_EQ(log_.All(), "");
}

TEST_F(InstanceQuerySql, CountJoinsOnlyForPackageOrQuenNameClauses)
{
    FakeConnection f(DB_ENGINE_POSTGRES);
    PolDbInstanceQuery q{};
    EXPECT_EQ(PolDb_InstanceQueryCountSql(&f.conn, &q), "SELECT COUNT(*) FROM " + kInstanceOnly + kLive);
    q.packageUID = {1, "p1", nullptr};
    EXPECT_EQ(PolDb_InstanceQueryCountSql(&f.conn, &q),
              "SELECT COUNT(*) FROM " + kInstanceOnly + kLive + " AND i.packageUID = 'p1'");
    q = {};
    q.packageName = {1, "P", nullptr};
    EXPECT_EQ(PolDb_InstanceQueryCountSql(&f.conn, &q),
              "SELECT COUNT(*) FROM " + kJoins + kLive + " AND p.pkgName = 'P'");
    q = {};
    q.quenName = {1, "Q", nullptr};
    EXPECT_EQ(PolDb_InstanceQueryCountSql(&f.conn, &q),
              "SELECT COUNT(*) FROM " + kJoins + kLive + " AND a.quenName = 'Q'");
}

TEST_F(InstanceQuerySql, LikeWithLiteralHeadAlsoBoundsTheLoweredColumnOnSqlite)
{
    struct Case {
        const char *pattern;
        const char *range;   /* after the LIKE condition; "" for none */
    } cases[] = {
        {"USER01%", " AND lower(hostName) >= 'user01' AND lower(hostName) < 'user02'"},
        {"ab_c", " AND lower(hostName) >= 'ab' AND lower(hostName) < 'ac'"},
        {"a\\_b%", " AND lower(hostName) >= 'a_b' AND lower(hostName) < 'a_c'"},
        {"it's%", " AND lower(hostName) >= 'it''s' AND lower(hostName) < 'it''t'"},
        {"az\x7f%", " AND lower(hostName) >= 'az\x7f' AND lower(hostName) < 'a{'"},
        {"x\xc3\xa9%", " AND lower(hostName) >= 'x' AND lower(hostName) < 'y'"},
        {"%x", ""},
        {"_x", ""},
        {"\xc3\xa9x", ""},
        {"", ""},
        {"\\", ""},
    };
    for (const Case &c : cases) {
        PolDbInstanceQuery q{};
        q.hostName = {6, c.pattern, nullptr};
        FakeConnection f;
        std::string like = " AND lower(hostName) LIKE lower(" +
                           std::string(PolDb_EscapeString(&f.conn, false, false, c.pattern)) + ") ESCAPE '\\'";
        EXPECT_EQ(Extra(q), like + c.range) << c.pattern;
        EXPECT_EQ(Extra(q, DB_ENGINE_POSTGRES), like) << "no range off SQLite: " << c.pattern;
    }
}

/* ---- the SQL Server statement sequence on a scripted store ------------------ */

namespace {

struct Script {
    std::vector<std::string> statements;
    bool failFill = false;
    bool failSelect = false;
    bool failDrop = false;
    int rows = 0;
};
Script *g_script;

struct ScriptedRows {
    DbResultSet base;
    int left;
};

bool RowNext(DbResultSet *rs) { return reinterpret_cast<ScriptedRows *>(rs)->left-- > 0; }
int RowInt(DbResultSet *, int) { return 0; }
int64_t RowInt64(DbResultSet *, int) { return 0; }
bool RowBool(DbResultSet *, int) { return false; }
char *RowString(DbResultSet *, int) { return PolDb_Strdup("x"); }
const DbRowOps kRows = {RowNext, RowInt, RowInt64, RowBool, RowString, RowInt64};

bool Ok(DbConnection *) { return true; }
bool Exec(DbConnection *conn, const char *sql)
{
    g_script->statements.push_back(sql);
    bool fail = std::string(sql).starts_with("DROP") ? g_script->failDrop : g_script->failFill;
    Db_SetError(conn, fail ? 1 : 0, fail ? "scripted failure" : nullptr);
    return !fail;
}
bool Query(DbConnection *conn, const char *sql, DbResultSet **rs)
{
    g_script->statements.push_back(sql);
    if (g_script->failSelect) {
        Db_SetError(conn, 1, "scripted failure");
        return false;
    }
    *rs = &(new ScriptedRows{{&kRows}, g_script->rows})->base;
    return true;
}
void FreeResult(DbConnection *, DbResultSet *rs) { delete reinterpret_cast<ScriptedRows *>(rs); }
const DbStoreOps kScriptedStore = {Ok, Ok, Ok, Ok, Ok, Exec, Query, FreeResult};

} // namespace

class InstanceQueryRun : public ::testing::Test {
protected:
    InstanceQueryRun() : f_(DB_ENGINE_MSSQL)
    {
        g_script = &script_;
        f_.conn.ops = &kScriptedStore;
        f_.conn.autoTransaction = true;
        q_.pageSize = 10;
        q_.pageStart = 20;
    }
    ~InstanceQueryRun() override
    {
        free(f_.conn.lastErrorText);
        g_script = nullptr;
    }
    bool Run()
    {
        PolDbInstance *rows = nullptr;
        bool ok = PolDb_InstanceQuery(&f_.conn, &q_, &rows, &count_);
        if (ok) {
            EXPECT_EQ(rows == nullptr, count_ == 0);
        } else {
            EXPECT_EQ(rows, nullptr);
        }
        PolDb_InstanceFreeArray(rows, count_);
        return ok;
    }
    LogCapture log_;
    Script script_;
    FakeConnection f_;
    PolDbInstanceQuery q_{};
    int count_ = 0;
};

TEST_F(InstanceQueryRun, FillsReadsAndDropsTheTemporaryTable)
{
    script_.rows = 3;
    EXPECT_TRUE(Run());
    EXPECT_EQ(count_, 3);
    ASSERT_EQ(script_.statements.size(), 3u);
    EXPECT_TRUE(script_.statements[0].find(" INTO #t FROM ") != std::string::npos);
    EXPECT_EQ(script_.statements[1], "SELECT " + kPlainColumns + " FROM #t WHERE RowNum >= 21 AND RowNum < 31");
    EXPECT_EQ(script_.statements[2], "DROP TABLE #t");

    /* Without paging SQL Server runs the one plain statement. */
    script_ = {};
    q_.pageSize = 0;
    EXPECT_TRUE(Run());
    EXPECT_EQ(count_, 0);
    ASSERT_EQ(script_.statements.size(), 1u);
    EXPECT_TRUE(script_.statements[0].ends_with(kDefaultOrder));
}

TEST_F(InstanceQueryRun, EachFailingStepFailsTheQuery)
{
    script_.failFill = true;
    EXPECT_FALSE(Run());
    EXPECT_EQ(count_, -1);
    EXPECT_EQ(script_.statements.size(), 1u);
    EXPECT_TRUE(log_.Contains("PolDb_InstanceQuery: database error while executing SQL statement: scripted failure"));

    /* A failed read rolls the transaction back with the table's creation. */
    script_ = {};
    script_.failSelect = true;
    EXPECT_FALSE(Run());
    EXPECT_EQ(count_, -1);
    EXPECT_EQ(script_.statements.size(), 2u);
    EXPECT_TRUE(log_.Contains("PolDb_InstanceEnumerate: database error while executing SQL statement"));

    /* The rows read are not handed out when the drop fails. */
    script_ = {};
    script_.failDrop = true;
    script_.rows = 2;
    EXPECT_FALSE(Run());
    EXPECT_EQ(count_, -1);
    EXPECT_EQ(script_.statements.size(), 3u);

    log_.Clear();
    script_ = {};
    q_.pageStart = -5;
    EXPECT_FALSE(Run());
    EXPECT_EQ(count_, -1);
    EXPECT_TRUE(script_.statements.empty());
    EXPECT_TRUE(log_.Contains("Wrong page (size 10, start -5)"));
}
