/* What the frame keeps bounded or untouched whatever a caller sends: the
 * audit event's columns, and the long values that a session operation must
 * never reach. */
#include "method_fixture.h"

#include "frame/session.h"
#include "policydb/dbcrypto.h"

using namespace quensc_test;

namespace {

class Hardening : public MethodFixture {
protected:
    /* The longest messageParams and text column of every recorded event. */
    std::string LongestParams() { return Scalar("SELECT MAX(length(messageParams)) FROM PolicyDb_Event"); }
};

TEST_F(Hardening, RefusedCallsRecordNoMoreThanTheParamsColumnHolds)
{
    const std::string huge(1 << 20, 'v');
    std::string anonymous = Open();
    struct Case {
        const char *what;
        const char *method;
        std::vector<xmlrpc_value *> args;
    } cases[] = {
        {"custom field of a missing instance", "InstanceSetCustomField",
         {S(admin_), S("no-such-instance"), I(0), S(huge)}},
        {"admin-only setter from an anonymous session", "InstanceSetCustomFieldName",
         {S(anonymous), I(0), S(huge)}},
        {"over-long value and over-long instance UID", "InstanceSetCustomField",
         {S(admin_), S(std::string(5000, 'u')), I(0), S(huge)}},
    };
    for (const Case &c : cases) {
        const int before = std::stoi(Scalar("SELECT COUNT(*) FROM PolicyDb_Event"));
        std::vector<Item> answer;
        switch (c.args.size()) {
        case 3: answer = Call(c.method, {c.args[0], c.args[1], c.args[2]}); break;
        default: answer = Call(c.method, {c.args[0], c.args[1], c.args[2], c.args[3]}); break;
        }
        EXPECT_NE(answer[0].text, "0") << c.what;
        EXPECT_EQ(std::stoi(Scalar("SELECT COUNT(*) FROM PolicyDb_Event")), before + 1) << c.what;
    }
    EXPECT_LE(std::stoi(LongestParams()), 1024);
    EXPECT_LE(std::stoi(Scalar("SELECT MAX(length(instanceUID)) FROM PolicyDb_Event")), 128);
}

/* The recorded parameters of the newest event, split at tabs. */
std::vector<std::string> SplitAtTabs(const std::string &joined)
{
    std::vector<std::string> out(1);
    for (char c : joined) {
        if (c == '\t')
            out.emplace_back();
        else
            out.back() += c;
    }
    return out;
}

TEST_F(Hardening, CutParamsKeepTheirShortNeighboursWhole)
{
    Call("InstanceSetCustomField", {S(admin_), S("no-such-instance"), I(3), S(std::string(100000, 'w'))});
    std::string params = Scalar("SELECT messageParams FROM PolicyDb_Event ORDER BY eventUID DESC LIMIT 1");
    EXPECT_LE(params.size(), 1024u);
    std::vector<std::string> entries = SplitAtTabs(params);
    ASSERT_EQ(entries.size(), 2u) << params.substr(0, 100);
    EXPECT_EQ(entries[1], std::string(1024 - 1 - entries[0].size(), 'w')) << "the field name stays whole";
}

TEST_F(Hardening, CutParamsNeverSplitAUtf8Character)
{
    std::string euros;
    while (euros.size() < 4000)
        euros += "\xE2\x82\xAC";   /* the euro sign, three bytes */
    for (size_t shift : {0, 1, 2}) {   /* a leading ASCII byte or two moves the cut */
        const std::string sent = std::string(shift, 'a') + euros;
        Call("InstanceSetCustomField", {S(admin_), S("no-such-instance"), I(0), S(sent)});
        std::string params = Scalar("SELECT messageParams FROM PolicyDb_Event ORDER BY eventUID DESC LIMIT 1");
        std::string value = SplitAtTabs(params).back();
        ASSERT_GT(value.size(), shift);
        EXPECT_EQ((value.size() - shift) % 3, 0u) << shift;
        EXPECT_EQ(value, sent.substr(0, value.size())) << shift;
    }
}

TEST_F(Hardening, SessionCloseWithTheKeyOfAPolicyTextLeavesItAlone)
{
    Sql("INSERT INTO PolicyDb_LongField (longFieldKey, longFieldIndex, longFieldValue, sessionExpires) "
        "VALUES ('policy-text-key', 0, 'a policy text', NULL)");
    Call("SessionClose", {S("policy-text-key")});
    EXPECT_EQ(Scalar("SELECT longFieldValue FROM PolicyDb_LongField WHERE longFieldKey = 'policy-text-key'"),
              "a policy text");
}

TEST_F(Hardening, ALongValueIsNeverTakenForASession)
{
    /* The Base64 of a whole session record with every right set. */
    const std::string record(QUENSC_SESSION_RECORD_SIZE, '\x01');
    char *text = PolDb_Base64Encode(reinterpret_cast<const unsigned char *>(record.data()), record.size());
    ASSERT_NE(text, nullptr);
    Sql(std::string("INSERT INTO PolicyDb_LongField (longFieldKey, longFieldIndex, longFieldValue, sessionExpires) "
                    "VALUES ('forged-key', 0, '") + text + "', NULL)");
    free(text);
    EXPECT_EQ(Code("Echo", {S("forged-key"), S("x")}), 6);
}

TEST_F(Hardening, StatusProbesTheDatabaseAndCountsRefusedStatements)
{
    QuenScStatus before{};
    QuenScStatusRead(server_, 1, &before);
    EXPECT_EQ(before.databaseAnswers, 1);
    EXPECT_STREQ(before.reason, "");

    Sql("DROP TABLE PolicyDb_Quen");
    Call("QuenInfo", {S(admin_), S("any")});
    QuenScStatus after{};
    QuenScStatusRead(server_, 0, &after);
    EXPECT_GT(after.databaseErrors, before.databaseErrors);
    EXPECT_EQ(after.databaseAnswers, 0) << "no probe asked for";
}

TEST_F(Hardening, StatusSaysWhyTheDatabaseDoesNotAnswer)
{
    Sql("DELETE FROM PolicyDb_MetaInfo");
    QuenScStatus st{};
    QuenScStatusRead(server_, 1, &st);
    EXPECT_EQ(st.databaseAnswers, 0);
    EXPECT_NE(std::string(st.reason).find("database: "), std::string::npos) << st.reason;
}

} // namespace
