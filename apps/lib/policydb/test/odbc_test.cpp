/* The ODBC store's text handling that needs no driver: UTF-8 <-> UTF-16 and
 * the splitting of scripts into statements. The store against a real
 * PostgreSQL is tested in test/postgres/. */
#include "store/stores.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::string> Split(const char *sql)
{
    std::vector<std::string> out;
    for (const PolDbStatementPiece &p : PolDb_SplitStatements(sql))
        out.emplace_back(sql + p.offset, p.length);
    return out;
}

} // namespace

TEST(OdbcText, Utf8RoundTripsThroughUtf16)
{
    const struct {
        const char *utf8;
        std::u16string utf16;
    } cases[] = {
        {"", u""},
        {"plain ascii", u"plain ascii"},
        {"gr\xC3\xBC\xC3\x9F", u"gr\u00FC\u00DF"},                      /* two-byte forms */
        {"\xE2\x82\xAC 5", u"\u20AC 5"},                                 /* three bytes */
        {"\xF0\x9F\x98\x80", std::u16string{char16_t(0xD83D), char16_t(0xDE00)}}, /* a surrogate pair */
        {"\xEF\xBF\xBF", u"\uFFFF"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.utf8);
        std::u16string wide;
        ASSERT_TRUE(PolDb_Utf8ToUtf16(c.utf8, strlen(c.utf8), &wide));
        EXPECT_EQ(wide, c.utf16);
        std::string back;
        ASSERT_TRUE(PolDb_Utf16ToUtf8(wide, &back));
        EXPECT_EQ(back, c.utf8);
    }
}

TEST(OdbcText, MalformedUtf8IsRefused)
{
    const char *cases[] = {
        "\x80",              /* a continuation byte alone */
        "a\xC3",             /* cut after the lead byte */
        "\xE2\x82",          /* cut inside a three-byte form */
        "\xC0\xAF",          /* over-long slash */
        "\xED\xA0\x80",      /* a surrogate written in UTF-8 */
        "\xF4\x90\x80\x80",  /* beyond U+10FFFF */
        "\xFF",
    };
    for (const char *c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c)));
        std::u16string wide;
        EXPECT_FALSE(PolDb_Utf8ToUtf16(c, strlen(c), &wide));
    }
}

TEST(OdbcText, UnpairedSurrogateInUtf16IsRefused)
{
    for (const std::u16string &wide : {std::u16string{char16_t(0xD800)}, std::u16string{char16_t(0xDC00), u'a'},
                                       std::u16string{char16_t(0xD800), u'a'}}) {
        std::string utf8;
        EXPECT_FALSE(PolDb_Utf16ToUtf8(wide, &utf8));
    }
}

TEST(OdbcScript, SplitsAtSemicolonsOutsideLiterals)
{
    const struct {
        const char *sql;
        std::vector<std::string> pieces;
    } cases[] = {
        {"A;B", {"A", "B"}},
        {" A ; ;\n B ;", {"A", "B"}},
        {"", {}},
        {"INSERT INTO t VALUES ('a;b')", {"INSERT INTO t VALUES ('a;b')"}},
        {"X 'it''s; fine';Y", {"X 'it''s; fine'", "Y"}},
        {"SELECT \"odd;name\" FROM t;Z", {"SELECT \"odd;name\" FROM t", "Z"}},
        {"X 'back\\';Y'", {"X 'back\\'", "Y'"}},   /* a backslash does not escape the quote */
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.sql);
        EXPECT_EQ(Split(c.sql), c.pieces);
    }
}

TEST(OdbcScript, SchemaScriptSplitsIntoItsStatements)
{
    std::vector<std::string> pieces = Split(PolDb_SchemaScript());
    int creates = 0, inserts = 0;
    for (const std::string &p : pieces) {
        creates += p.rfind("CREATE TABLE", 0) == 0;
        inserts += p.rfind("INSERT", 0) == 0;
    }
    EXPECT_EQ(creates, 12);
    EXPECT_EQ(inserts, 19 + 41);
}
