/* The SQLite store's kept statements: how a statement text splits into its
 * shape and values, and that statements run through a kept shape answer for
 * their own values. */
#include "store/sqliteStatements.h"

#include "testutil.h"

#include <gtest/gtest.h>

#include <string>

namespace {

/* The values of a shape as one text: t:TEXT for a text, n:NUMBER for a
 * whole number, separated by '|'. */
std::string Values(const SqliteShape &shape)
{
    std::string out;
    for (const SqliteShape::Value &v : shape.values) {
        if (!out.empty())
            out += '|';
        out += v.isText ? "t:" + shape.texts.substr(v.offset, v.length) : "n:" + std::to_string(v.number);
    }
    return out;
}

struct ShapeCase {
    const char *sql;
    const char *key;
    const char *values;
};

TEST(SqliteShape, ValuesBecomeParametersAndTheRestStays)
{
    const ShapeCase cases[] = {
        {"SELECT a FROM t WHERE k = 'x''y' AND n = 42", "SELECT a FROM t WHERE k = ? AND n = ?", "t:x'y|n:42"},
        {"  select a from t where k=''", "select a from t where k=?", "t:"},
        {"UPDATE t SET a = -7, b = 'O''Neil''s' WHERE c IS NULL", "UPDATE t SET a = -?, b = ? WHERE c IS NULL",
         "n:7|t:O'Neil's"},
        /* Numbers inside names and quoted names are names. */
        {"SELECT insCustom1, \"it's\", [x'y] FROM t2 WHERE `a``b` = 3", "SELECT insCustom1, \"it's\", [x'y] FROM t2 "
         "WHERE `a``b` = ?", "n:3"},
        /* A blob, reals and a number too large for 64 bits keep their text. */
        {"INSERT INTO t VALUES (X'00ff', 1.5, .5, 1e+5, 2E3, 9223372036854775808, 9223372036854775807)",
         "INSERT INTO t VALUES (X'00ff', 1.5, .5, 1e+5, 2E3, 9223372036854775808, ?)", "n:9223372036854775807"},
        /* After ORDER BY (or GROUP BY) a number names a column. */
        {"SELECT a, b FROM t WHERE k = 'v' ORDER BY 2, 'z' LIMIT 5", "SELECT a, b FROM t WHERE k = ? ORDER BY 2, 'z' "
         "LIMIT 5", "t:v"},
        {"SELECT a FROM t GROUP BY 1", "SELECT a FROM t GROUP BY 1", ""},
        {"DELETE FROM t WHERE k = 'a;b' ;  \n", "DELETE FROM t WHERE k = ? ", "t:a;b"},
        {"REPLACE INTO t VALUES ('\xc3\xa9t\xc3\xa9')", "REPLACE INTO t VALUES (?)", "t:\xc3\xa9t\xc3\xa9"},
    };
    for (const ShapeCase &c : cases) {
        SqliteShape shape;
        ASSERT_TRUE(PolDb_SqliteShapeOf(c.sql, &shape)) << c.sql;
        EXPECT_EQ(shape.key, c.key) << c.sql;
        EXPECT_EQ(Values(shape), c.values) << c.sql;
    }
}

TEST(SqliteShape, OnlyOneDmlStatementWithoutParametersOrCommentsIsKept)
{
    for (const char *sql : {"CREATE TABLE t (a VARCHAR(7) DEFAULT 'x')", "BEGIN IMMEDIATE", "ANALYZE", "PRAGMA x = 1",
                            "SELECT 1; SELECT 2", "SELECT a FROM t WHERE k = ?", "SELECT a FROM t WHERE k = :k",
                            "SELECT a FROM t WHERE k = @k", "SELECT a FROM t WHERE k = $k", "SELECT a FROM t -- all",
                            "SELECT a /* all */ FROM t", "SELECT 'unterminated", "SELECT \"unterminated", ""}) {
        SqliteShape shape;
        EXPECT_FALSE(PolDb_SqliteShapeOf(sql, &shape)) << sql;
    }
}

/* Through the store: one kept shape, different values each time. */
class KeptStatements : public TempDb {
protected:
    void SetUp() override
    {
        TempDb::SetUp();
        ASSERT_TRUE(Init(DB_INIT_CREATE_IF_EMPTY));
        Raw("CREATE TABLE t (k VARCHAR(10) PRIMARY KEY, n INTEGER, note VARCHAR(10))");
        conn_ = Db_Open();
        ASSERT_NE(conn_, nullptr);
    }
    void TearDown() override
    {
        Db_Close(conn_);
        TempDb::TearDown();
    }
    /* The first row's cells joined by '|', NULL as "(null)"; "none" when
     * the query answers no row, "failed" when it fails. */
    std::string Row(const char *sql)
    {
        DbResultSet *rs = nullptr;
        if (!Db_Query(conn_, sql, &rs))
            return "failed";
        std::string out = "none";
        if (rs->ops->next(rs)) {
            out.clear();
            for (int col = 0; col < 3; col++) {
                char *text = rs->ops->getString(rs, col);
                out += (col ? "|" : "") + std::string(text);
                free(text);
            }
        }
        Db_FreeResult(conn_, rs);
        return out;
    }
    DbConnection *conn_ = nullptr;
};

TEST_F(KeptStatements, EachRunAnswersForItsOwnValues)
{
    ASSERT_TRUE(Db_Exec(conn_, "INSERT INTO t VALUES ('a', 1, 'one')"));
    ASSERT_TRUE(Db_Exec(conn_, "INSERT INTO t VALUES ('b''c', 22, NULL)"));
    EXPECT_EQ(Row("SELECT k, n, note FROM t WHERE k = 'a'"), "a|1|one");
    EXPECT_EQ(Row("SELECT k, n, note FROM t WHERE k = 'b''c'"), "b'c|22|");
    EXPECT_EQ(Row("SELECT k, n, note FROM t WHERE k = 'zz'"), "none");
    /* A text compared with a number column converts as the literal did. */
    EXPECT_EQ(Row("SELECT k, n, note FROM t WHERE n = '22'"), "b'c|22|");
    EXPECT_EQ(Row("SELECT k, n, note FROM t WHERE n = 1"), "a|1|one");
}

TEST_F(KeptStatements, AFailedRunReportsTheEngineMessageAndTheShapeStaysUsable)
{
    ASSERT_TRUE(Db_Exec(conn_, "INSERT INTO t VALUES ('a', 1, 'one')"));
    ASSERT_TRUE(Db_Commit(conn_));
    EXPECT_FALSE(Db_Exec(conn_, "INSERT INTO t VALUES ('a', 2, 'two')"));
    EXPECT_STREQ(Db_GetLastErrorText(conn_), "UNIQUE constraint failed: t.k");
    EXPECT_FALSE(conn_->inTransaction);
    ASSERT_TRUE(Db_Exec(conn_, "INSERT INTO t VALUES ('b', 2, 'two')"));
    ASSERT_TRUE(Db_Commit(conn_));
    EXPECT_EQ(Scalar("SELECT group_concat(k || n, ',') FROM t"), "a1,b2");
}

} // namespace
