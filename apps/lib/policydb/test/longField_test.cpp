/* Long fields: chunking, quoting, blobs, replacement and session clean-up. */
#include "testutil.h"

#include "policydb/longField.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

class LongField : public OpenDb {
protected:
    /* Stores text under a new key, commits, and returns the key. */
    std::string Store(const std::string &text, const int64_t *expires = nullptr)
    {
        char *key = nullptr;
        EXPECT_TRUE(PolDb_LongFieldAdd(conn_, &key, text.c_str(), expires));
        EXPECT_TRUE(Db_Commit(conn_));
        std::string k = key ? key : "";
        free(key);
        return k;
    }
    std::string Rows(const std::string &key)
    {
        return Scalar("SELECT COUNT(*) FROM PolicyDb_LongField WHERE longFieldKey = '" + key + "'");
    }
    std::string Get(const std::string &key)
    {
        char *v = PolDb_LongFieldGet(conn_, key.c_str());
        std::string out = v ? v : "<null>";
        free(v);
        return out;
    }
};

TEST_F(LongField, ChunksAtTheBoundaries)
{
    struct Case {
        size_t length;
        const char *rows;
    } cases[] = {{0, "1"}, {1, "1"}, {2000, "1"}, {2001, "2"}, {4000, "2"}, {4001, "3"}, {10000, "5"}};
    for (const Case &c : cases) {
        std::string text;
        for (size_t i = 0; i < c.length; i++)
            text += static_cast<char>('a' + i % 26);
        std::string key = Store(text);
        EXPECT_EQ(key.size(), 36u);
        EXPECT_EQ(Rows(key), c.rows) << c.length;
        EXPECT_EQ(Get(key), text) << c.length;
    }
    std::string key = Store(std::string(2001, 'x'));
    EXPECT_EQ(Scalar("SELECT length(longFieldValue) FROM PolicyDb_LongField WHERE longFieldKey = '" + key +
                     "' AND longFieldIndex = 1"),
                     "1");
}

TEST_F(LongField, QuotesAndBackslashesSurviveAcrossChunks)
{
    /* Quotes exactly at the chunk boundary: escaping must not count. */
    std::string text = std::string(1999, 'q') + "''" + "it's \\ a 'test'" + std::string(2000, '\'');
    std::string key = Store(text);
    EXPECT_EQ(Get(key), text);
    EXPECT_EQ(Rows(key), "3");
}

TEST_F(LongField, ReplaceKeepsTheKeyAndDropsExtraChunks)
{
    char *key = nullptr;
    ASSERT_TRUE(PolDb_LongFieldAdd(conn_, &key, std::string(5000, 'a').c_str(), nullptr));
    std::string original = key;
    ASSERT_TRUE(PolDb_LongFieldReplace(conn_, &key, "short", nullptr));
    EXPECT_EQ(std::string(key), original);
    ASSERT_TRUE(Db_Commit(conn_));
    EXPECT_EQ(Rows(original), "1");
    EXPECT_EQ(Get(original), "short");

    char *fresh = strdup("");
    ASSERT_TRUE(PolDb_LongFieldReplace(conn_, &fresh, "new", nullptr));
    EXPECT_EQ(strlen(fresh), 36u) << "an empty key makes Replace create one";
    ASSERT_TRUE(PolDb_LongFieldRemove(conn_, key));
    EXPECT_TRUE(PolDb_LongFieldRemove(conn_, nullptr));
    EXPECT_TRUE(PolDb_LongFieldRemove(conn_, ""));
    ASSERT_TRUE(Db_Commit(conn_));
    EXPECT_EQ(Rows(original), "0");
    EXPECT_EQ(Get(original), "<null>");
    EXPECT_EQ(Get(fresh), "new");
    free(key);
    free(fresh);
}

TEST_F(LongField, BlobsRoundTripAndBadDataIsReported)
{
    unsigned char bytes[536];
    for (size_t i = 0; i < sizeof bytes; i++)
        bytes[i] = static_cast<unsigned char>(i * 7);
    char *key = nullptr;
    ASSERT_TRUE(PolDb_LongFieldAddBlob(conn_, &key, bytes, sizeof bytes, nullptr));
    ASSERT_TRUE(Db_Commit(conn_));
    unsigned char *out = nullptr;
    size_t length = 0;
    ASSERT_TRUE(PolDb_LongFieldGetBlob(conn_, key, &out, &length));
    ASSERT_EQ(length, sizeof bytes);
    EXPECT_EQ(memcmp(out, bytes, length), 0);
    free(out);
    for (size_t n : {size_t(0), size_t(1), size_t(2), size_t(3)}) {
        char *k = nullptr;
        ASSERT_TRUE(PolDb_LongFieldReplaceBlob(conn_, &k, bytes, n, nullptr));
        ASSERT_TRUE(PolDb_LongFieldGetBlob(conn_, k, &out, &length));
        EXPECT_EQ(length, n);
        free(out);
        free(k);
    }

    EXPECT_FALSE(PolDb_LongFieldGetBlob(conn_, "no-such-key", &out, &length));
    EXPECT_EQ(out, nullptr);
    EXPECT_TRUE(log_.Contains("PolDb_LongFieldGetBlob: No data associated with key = no-such-key\n"));
    for (const char *bad : {"not base64!", "abc", "ab=c", "@@@@"}) {
        std::string k = Store(bad);
        EXPECT_FALSE(PolDb_LongFieldGetBlob(conn_, k.c_str(), &out, &length)) << bad;
        EXPECT_TRUE(log_.Contains("PolDb_LongFieldGetBlob: Data associated with key = " + k +
                                  " is not a valid base64 encoded string\n"))
            << bad;
    }
    free(key);
}

TEST_F(LongField, SessionCleanupKeepsUnexpiredAndNeverExpiring)
{
    int64_t now = time(nullptr);
    int64_t past = now - 10, future = now + 3600;
    std::string expired = Store("old", &past);
    std::string expiresNow = Store("now", &now);
    std::string alive = Store("alive", &future);
    std::string forever = Store("forever");
    ASSERT_TRUE(PolDb_SessionCleanup(conn_));
    ASSERT_TRUE(Db_Commit(conn_));
    EXPECT_EQ(Rows(expired), "0");
    EXPECT_EQ(Rows(expiresNow), "0");
    EXPECT_EQ(Rows(alive), "1");
    EXPECT_EQ(Rows(forever), "1");
    EXPECT_EQ(Scalar("SELECT sessionExpires IS NULL FROM PolicyDb_LongField WHERE longFieldKey = '" + forever + "'"),
              "1");
}

TEST_F(LongField, FailedInsertRollsBackTheWholeValue)
{
    char *key = strdup("dup");
    ASSERT_TRUE(PolDb_LongFieldAdd(conn_, &key, "first", nullptr));
    ASSERT_TRUE(Db_Commit(conn_));
    ASSERT_TRUE(PolDb_LongFieldRemove(conn_, "other"));
    /* Same key again: the primary key refuses chunk 0. */
    EXPECT_FALSE(PolDb_LongFieldAdd(conn_, &key, std::string(3000, 'z').c_str(), nullptr));
    EXPECT_FALSE(conn_->inTransaction);
    EXPECT_TRUE(log_.Contains("PolDb_LongFieldAdd: database error while executing SQL statement:"));
    EXPECT_EQ(Get("dup"), "first");
    free(key);
}

/* A multi-byte character across the 2000-byte mark goes whole into the
 * next piece: every stored piece is valid UTF-8 and the value reads back
 * unchanged. */
TEST_F(LongField, PiecesNeverSplitAUtf8Character)
{
    const char *characters[] = {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"};
    for (const char *ch : characters) {
        SCOPED_TRACE(strlen(ch));
        std::string text = std::string(1999, 'a');
        for (int i = 0; i < 1500; i++)
            text += ch;
        std::string key = Store(text);
        EXPECT_EQ(Get(key), text);
        EXPECT_EQ(Scalar("SELECT length(CAST(longFieldValue AS BLOB)) FROM PolicyDb_LongField WHERE longFieldKey = '" +
                         key + "' AND longFieldIndex = 0"),
                  "1999");
    }
}

TEST(Utf8Prefix, CutsOnlyBetweenCharacters)
{
    const struct {
        const char *text;
        size_t max;
        size_t expected;
    } cases[] = {
        {"abc", 5, 3},                       /* fits */
        {"abc", 2, 2},
        {"a\xC3\xA9", 2, 1},                 /* would split a two-byte form */
        {"a\xE2\x82\xAC", 3, 1},
        {"a\xF0\x9F\x98\x80", 4, 1},
        {"a\xF0\x9F\x98\x80" "b", 5, 5},
        {"\xE2\x82\xAC\xE2\x82\xAC", 4, 3},
        {"\x80\x80\x80\x80\x80\x80", 3, 3},  /* no boundary near: not UTF-8, cut at the limit */
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(PolDb_Utf8Prefix(c.text, strlen(c.text), c.max), c.expected);
    }
}
