/* The audit event chain: numbering, signatures, retries, parameters and
 * quoting, verification, and purging by age and by count. */
#include "testutil.h"

#include "policydb/dbcrypto.h"
#include "policydb/event.h"
#include "store/stores.h"

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

char *T(const char *text) { return const_cast<char *>(text); }

/* An event filled with the test's own texts; only the three texts that
 * PolDb_EventAdd allocates are freed. */
struct TestEvent {
    PolDbEvent e{};
    explicit TestEvent(int type = 2020)
    {
        e.eventType = type;
        e.loginName = T("alice");
        e.quenUID = T("q-1");
        e.policyVersion = 3;
        e.clientIP = T("127.0.0.1");
        e.turnaroundTime = 1234;
        e.handlerName = T("quen.destroy");
        e.messageParams[0] = T("Quen A");
        e.messageParamCount = 1;
    }
    TestEvent(const TestEvent &) = delete;
    ~TestEvent()
    {
        free(e.eventUID);
        free(e.prevEventUID);
        free(e.eventSignature);
    }
};

struct EventArray {
    PolDbEvent *events = nullptr;
    int count = -1;
    ~EventArray() { PolDb_EventFreeArray(events, count); }
};

} // namespace

class EventLog : public TempDb {
protected:
    void SetUp() override
    {
        TempDb::SetUp();
        ASSERT_TRUE(Init(DB_INIT_CREATE_IF_EMPTY));
        Open();
    }
    void TearDown() override
    {
        Db_Close(conn_);
        TempDb::TearDown();
    }
    void Open() { ASSERT_NE(conn_ = Db_Open(), nullptr); }
    void AddMany(int n)
    {
        for (int i = 0; i < n; i++) {
            TestEvent t;
            ASSERT_TRUE(PolDb_EventAdd(conn_, &t.e));
        }
        ASSERT_TRUE(Db_Commit(conn_));
    }
    /* Reads the events matching filter, committing so that Raw can write. */
    void Read(EventArray &out, const char *filter)
    {
        EXPECT_TRUE(PolDb_EventEnumerate(conn_, filter, &out.events, &out.count));
        EXPECT_TRUE(Db_Commit(conn_));
    }
    /* "" for a sound chain, else the first bad eventUID. */
    std::string Verify()
    {
        char *bad = nullptr;
        bool sound = PolDb_EventVerifyChain(conn_, &bad);
        EXPECT_TRUE(Db_Commit(conn_));
        std::string out = sound ? "" : (bad ? bad : "<unreadable>");
        free(bad);
        return out;
    }
    std::string Range() { return Scalar("SELECT COUNT(*) || ':' || ifnull(MIN(eventUID), '') || '..' || ifnull(MAX(eventUID), '') "
                                         "FROM PolicyDb_Event"); }
    bool Purge(int type, int64_t value)
    {
        bool ok = PolDb_EventPurgeOldEvents(conn_, type, value);
        EXPECT_TRUE(Db_Commit(conn_));
        return ok;
    }

    static bool Hook(void *context, bool acquire)
    {
        auto *self = static_cast<EventLog *>(context);
        if (acquire && self->armed_ && ++self->acquires_ == 2)
            self->Raw(self->onSecondTry_);
        return true;
    }

    DbConnection *conn_ = nullptr;
    bool armed_ = false;
    int acquires_ = 0;
    std::string onSecondTry_;
};

TEST_F(EventLog, NumbersChainAndUnknownTypes)
{
    TestEvent unknown(4242);
    EXPECT_FALSE(PolDb_EventAdd(conn_, &unknown.e));
    EXPECT_STREQ(Db_GetLastErrorText(conn_), "Unknown event type 4242");
    EXPECT_EQ(Db_GetLastError(conn_), -1);
    EXPECT_EQ(unknown.e.eventUID, nullptr);

    TestEvent first, second;
    first.e.eventCategory = 99;
    ASSERT_TRUE(PolDb_EventAdd(conn_, &first.e));
    ASSERT_TRUE(PolDb_EventAdd(conn_, &second.e));
    ASSERT_TRUE(Db_Commit(conn_));
    EXPECT_STREQ(first.e.eventUID, "1");
    EXPECT_EQ(first.e.prevEventUID, nullptr);
    EXPECT_EQ(first.e.eventCategory, 2);
    EXPECT_STREQ(second.e.eventUID, "2");
    EXPECT_STREQ(second.e.prevEventUID, "1");
    EXPECT_LT(first.e.eventTs, second.e.eventTs);
    ASSERT_NE(second.e.eventSignature, nullptr);
    EXPECT_EQ(strlen(second.e.eventSignature), 28u);
    EXPECT_EQ(Scalar("SELECT group_concat(ifnull(prevEventUID, 'none') || '/' || eventCategory, ' ') FROM "
                     "(SELECT * FROM PolicyDb_Event ORDER BY eventUID)"),
              "none/2 1/2");
    EXPECT_EQ(Scalar("SELECT eventSignature FROM PolicyDb_Event WHERE eventUID = 2"), second.e.eventSignature);
    EXPECT_EQ(Verify(), "");

    /* Numbers go on past 2^31 - 1 instead of wrapping to a negative one. */
    Raw("INSERT INTO PolicyDb_Event (eventUID, eventTs, eventType, prevEventUID) VALUES (2147483647, '1', 10, 2)");
    TestEvent big;
    ASSERT_TRUE(PolDb_EventAdd(conn_, &big.e));
    EXPECT_STREQ(big.e.eventUID, "2147483648");
    EXPECT_STREQ(big.e.prevEventUID, "2147483647");
}

TEST_F(EventLog, SignatureCoversEveryFieldInTableOrder)
{
    TestEvent t;
    PolDbEvent e = t.e;   /* a copy: its texts are all the test's own */
    e.eventUID = T("2");
    e.eventTs = 0x0102030405060708;
    e.eventCategory = 2;
    e.turnaroundTime = INT64_C(1) << 40;
    e.messageParams[1] = T("x");
    e.messageParamCount = 2;
    e.prevEventUID = T("1");
    std::string bytes = std::string("2") + "\x08\x07\x06\x05\x04\x03\x02\x01" + "aliceq-1" +
                        std::string("\x03\0\0\0\x02\0\0\0\xe4\x07\0\0", 12) + "127.0.0.1" +
                        std::string("\0\0\0\0\0\x01\0\0", 8) + "quen.destroy" + "Quen A" + "x" + "1";
    const char *piece = bytes.data();
    size_t length = bytes.size();
    char *expected = nullptr;
    ASSERT_TRUE(PolDb_Hash(&piece, &length, 1, &expected));
    const std::string base = SignEvent(conn_, &e);
    EXPECT_EQ(base, expected);
    free(expected);
    e.sessionID = T("");
    EXPECT_EQ(SignEvent(conn_, &e), base) << "an empty text signs like a missing one";

    /* Each single change gives a digest of its own. */
    std::set<std::string> seen{base};
    auto changed = [&](auto &field, auto value) {
        auto saved = field;
        field = value;
        EXPECT_TRUE(seen.insert(SignEvent(conn_, &e)).second) << seen.size();
        field = saved;
    };
    changed(e.eventUID, T("3"));
    changed(e.eventTs, e.eventTs + 1);
    changed(e.loginName, T("bob"));
    changed(e.quenUID, T("q-2"));
    changed(e.packageUID, T("p"));
    changed(e.instanceUID, T("i"));
    changed(e.policyVersion, 4);
    changed(e.eventCategory, 3);
    changed(e.eventType, 2030);
    changed(e.sessionID, T("s"));
    changed(e.clientIP, T("127.0.0.2"));
    changed(e.serverIP, T("127.0.0.3"));
    changed(e.turnaroundTime, e.turnaroundTime + (INT64_C(1) << 32));
    changed(e.handlerName, T("h"));
    changed(e.returnCodeText, T("OK"));
    changed(e.messageParams[0], T("Quen B"));
    changed(e.messageParamCount, 1);
    changed(e.prevEventUID, T("7"));
    changed(e.prevEventUID, nullptr);
}

TEST_F(EventLog, VerifyChainFindsAlteredAndRemovedEvents)
{
    AddMany(5);
    EXPECT_EQ(Verify(), "");
    std::string login = Scalar("SELECT loginName FROM PolicyDb_Event WHERE eventUID = 3");
    Raw("UPDATE PolicyDb_Event SET loginName = 'mallory' WHERE eventUID = 3");
    EXPECT_EQ(Verify(), "3");
    Raw("UPDATE PolicyDb_Event SET loginName = '" + login + "' WHERE eventUID = 3");
    EXPECT_EQ(Verify(), "");
    Raw("UPDATE PolicyDb_Event SET eventSignature = 'AAAAAAAAAAAAAAAAAAAAAAAAAAA=' WHERE eventUID = 2");
    EXPECT_EQ(Verify(), "2");
    Raw("DELETE FROM PolicyDb_Event WHERE eventUID IN (1, 2)");
    EXPECT_EQ(Verify(), "3") << "a head that names a predecessor lost it";
    Raw("DELETE FROM PolicyDb_Event WHERE eventUID = 4");
    Raw("UPDATE PolicyDb_Event SET prevEventUID = NULL WHERE eventUID = 3");
    EXPECT_EQ(Verify(), "3");
}

TEST_F(EventLog, RetriesWithTheNewHighestNumberThenGivesUp)
{
    AddMany(2);
    Db_Close(conn_);
    Db_ModuleExit();
    ASSERT_TRUE(Init(DB_INIT_CHECK_ONLY, nullptr, nullptr, Hook, this));
    Open();
    /* Another server takes number 3 between our read and our insert. */
    Raw("CREATE TRIGGER collide BEFORE INSERT ON PolicyDb_Event WHEN NEW.eventUID = 3 "
        "BEGIN SELECT RAISE(ABORT, 'UNIQUE constraint failed: PolicyDb_Event.eventUID'); END");
    onSecondTry_ = "DROP TRIGGER collide; INSERT INTO PolicyDb_Event (eventUID, eventTs, eventType, prevEventUID) "
                   "VALUES (3, '1', 10, 2)";
    log_.Clear();
    armed_ = true;
    TestEvent t;
    ASSERT_TRUE(PolDb_EventAdd(conn_, &t.e));
    ASSERT_TRUE(Db_Commit(conn_));
    armed_ = false;
    EXPECT_STREQ(t.e.eventUID, "4");
    EXPECT_STREQ(t.e.prevEventUID, "3");
    EXPECT_EQ(log_.Count("PolDb_EventAdd: possible UID collision, retrying\n"), 1);

    Raw("CREATE TRIGGER refuse BEFORE INSERT ON PolicyDb_Event BEGIN SELECT RAISE(ABORT, 'refused'); END");
    log_.Clear();
    onSecondTry_.clear();
    acquires_ = 0;
    armed_ = true;
    TestEvent lost;
    EXPECT_FALSE(PolDb_EventAdd(conn_, &lost.e));
    armed_ = false;
    EXPECT_EQ(acquires_, 3) << "each try runs in a transaction of its own";
    EXPECT_EQ(log_.Count("PolDb_EventAdd: possible UID collision, retrying\n"), 2);
    EXPECT_EQ(log_.Count("Cannot log the event after three tries, aborting"), 1);
    EXPECT_STREQ(Db_GetLastErrorText(conn_), "refused");
    EXPECT_EQ(lost.e.eventUID, nullptr);
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM PolicyDb_Event"), "4");
}

TEST_F(EventLog, ParametersAndQuotesReadBackAndVerify)
{
    TestEvent tabs;   /* an entry with a tab reads back as two */
    tabs.e.messageParams[0] = T("a\tb");
    tabs.e.messageParams[1] = nullptr;
    tabs.e.messageParams[2] = T("c");
    tabs.e.messageParamCount = 3;
    TestEvent many;   /* more than ten: the tenth keeps the rest */
    const char *ten[] = {"0", "1", "2", "3", "4", "5", "6", "7", "x\ty", "9"};
    for (int i = 0; i < 10; i++)
        many.e.messageParams[i] = T(ten[i]);
    many.e.messageParamCount = 12;
    TestEvent none;
    none.e.messageParamCount = -3;
    TestEvent quoted; /* a different hostile text in every text field */
    char **fields[] = {&quoted.e.loginName,  &quoted.e.quenUID,     &quoted.e.packageUID,  &quoted.e.instanceUID,
                       &quoted.e.sessionID,  &quoted.e.clientIP,    &quoted.e.serverIP,    &quoted.e.handlerName,
                       &quoted.e.returnCodeText, &quoted.e.messageParams[0]};
    std::vector<std::string> values;
    for (int i = 0; i < 10; i++)
        values.push_back("O'Neil " + std::to_string(i) + " \\' ''; DROP TABLE PolicyDb_Event; --");
    for (int i = 0; i < 10; i++)
        *fields[i] = values[i].data();
    for (TestEvent *t : {&tabs, &many, &none, &quoted})
        ASSERT_TRUE(PolDb_EventAdd(conn_, &t->e));
    ASSERT_TRUE(Db_Commit(conn_));
    EXPECT_EQ(Verify(), "");

    EventArray all;
    Read(all, "1 = 1 ORDER BY eventUID");
    ASSERT_EQ(all.count, 4);
    auto params = [](const PolDbEvent &e) {
        std::string out;
        for (int i = 0; i < e.messageParamCount; i++)
            out += std::string(i ? "|" : "") + e.messageParams[i];
        return out;
    };
    EXPECT_EQ(params(all.events[0]), "a|b||c");
    EXPECT_EQ(params(all.events[1]), "0|1|2|3|4|5|6|7|x|y\t9");
    EXPECT_EQ(all.events[2].messageParamCount, 0);
    const PolDbEvent &q = all.events[3];
    const char *readBack[] = {q.loginName, q.quenUID,  q.packageUID,  q.instanceUID,    q.sessionID,
                              q.clientIP,  q.serverIP, q.handlerName, q.returnCodeText, q.messageParams[0]};
    for (int i = 0; i < 10; i++)
        EXPECT_EQ(readBack[i], values[i]);
    EXPECT_EQ(q.turnaroundTime, 1234);
    EXPECT_EQ(q.policyVersion, 3);
    EXPECT_STREQ(q.eventSignature, quoted.e.eventSignature);

    EventArray byLogin;   /* filters quote their values */
    Read(byLogin, PolDbPsprintf(conn_, "loginName = %s", PolDb_EscapeString(conn_, false, false, values[0].c_str())));
    ASSERT_EQ(byLogin.count, 1);
    EXPECT_STREQ(byLogin.events[0].eventUID, "4");
    PolDbEvent *events = nullptr;
    int count = 7;
    EXPECT_FALSE(PolDb_EventEnumerate(conn_, "no such column = 1", &events, &count));
    EXPECT_EQ(events, nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(log_.Contains("PolDb_EventEnumerate: database error"));
}

TEST_F(EventLog, PurgeByCountKeepsTheNewestAndMakesANewHead)
{
    AddMany(25);
    std::string signatures = Scalar("SELECT group_concat(eventSignature) FROM PolicyDb_Event");
    EXPECT_TRUE(Purge(POLDB_EVENT_PURGE_BY_COUNT, 25));
    EXPECT_TRUE(Purge(POLDB_EVENT_PURGE_BY_COUNT, 30));
    EXPECT_TRUE(Purge(POLDB_EVENT_PURGE_BY_COUNT, INT64_MAX));
    EXPECT_EQ(Scalar("SELECT group_concat(eventSignature) FROM PolicyDb_Event"), signatures);

    std::string old16 = Scalar("SELECT eventSignature FROM PolicyDb_Event WHERE eventUID = 16");
    EXPECT_TRUE(Purge(POLDB_EVENT_PURGE_BY_COUNT, 10));
    EXPECT_EQ(Range(), "10:16..25");
    EXPECT_EQ(Scalar("SELECT prevEventUID IS NULL FROM PolicyDb_Event WHERE eventUID = 16"), "1");
    EXPECT_NE(Scalar("SELECT eventSignature FROM PolicyDb_Event WHERE eventUID = 16"), old16);
    EXPECT_EQ(Verify(), "");
    TestEvent next;
    ASSERT_TRUE(PolDb_EventAdd(conn_, &next.e));
    EXPECT_STREQ(next.e.prevEventUID, "25");
    ASSERT_TRUE(Db_Commit(conn_));

    /* The computed first event is missing: nothing is deleted. */
    Raw("DELETE FROM PolicyDb_Event WHERE eventUID = 22");
    log_.Clear();
    EXPECT_FALSE(Purge(POLDB_EVENT_PURGE_BY_COUNT, 5));
    EXPECT_TRUE(log_.Contains("PolDb_EventPurgeOldEvents: failed to purge old events. DB Message: N/A\n"));
    EXPECT_EQ(Range(), "10:16..26");
}

TEST_F(EventLog, PurgeByAge)
{
    AddMany(8);
    /* No limit before every timestamp deletes anything, however far back. */
    EXPECT_TRUE(Purge(POLDB_EVENT_PURGE_BY_AGE, 999999999));
    EXPECT_TRUE(Purge(POLDB_EVENT_PURGE_BY_AGE, INT64_MAX));
    EXPECT_EQ(Range(), "8:1..8");

    Raw("UPDATE PolicyDb_Event SET eventTs = eventTs - 3600000000 WHERE eventUID <= 5");
    EXPECT_TRUE(Purge(POLDB_EVENT_PURGE_BY_AGE, 60));
    EXPECT_EQ(Range(), "3:6..8");
    EXPECT_EQ(Verify(), "");

    Raw("UPDATE PolicyDb_Event SET eventTs = eventTs - 3600000000");
    EXPECT_TRUE(Purge(POLDB_EVENT_PURGE_BY_AGE, 60));
    EXPECT_EQ(Range(), "0:..");
    TestEvent fresh;
    ASSERT_TRUE(PolDb_EventAdd(conn_, &fresh.e));
    EXPECT_STREQ(fresh.e.eventUID, "1");
    EXPECT_EQ(fresh.e.prevEventUID, nullptr);
}

TEST_F(EventLog, PurgeSettingsThatDoNothingOrAreRefused)
{
    AddMany(3);
    EXPECT_TRUE(Purge(POLDB_EVENT_PURGE_NONE, 1));
    EXPECT_TRUE(Purge(POLDB_EVENT_PURGE_BY_AGE, 0));
    EXPECT_TRUE(Purge(POLDB_EVENT_PURGE_BY_COUNT, 0));
    log_.Clear();
    EXPECT_FALSE(Purge(3, 1));
    EXPECT_TRUE(log_.Contains("failed to purge old events. DB Message: Unknown event purge type 3\n"));
    /* A negative age would put the limit in the future and delete all. */
    EXPECT_FALSE(Purge(POLDB_EVENT_PURGE_BY_AGE, -60));
    EXPECT_TRUE(log_.Contains("DB Message: Invalid event purge value -60\n"));
    EXPECT_FALSE(Purge(POLDB_EVENT_PURGE_BY_COUNT, -1));
    EXPECT_EQ(Range(), "3:1..3");
    EXPECT_EQ(Verify(), "");
}

/* Nine long values (as event 4070 carries them) and a long login name are
 * fitted to their columns, cut between characters, and the event is stored
 * with a signature that verifies. */
TEST_F(EventLog, LongParametersAreFittedToTheirColumnsAndStillVerify)
{
    TestEvent t;
    std::string value = "x" + std::string(200, 'y');
    for (int i = 0; i < 200; i++)
        value += "\xE2\x82\xAC";
    std::vector<std::string> values(9, value);
    for (int i = 0; i < 9; i++)
        t.e.messageParams[i] = values[i].data();
    t.e.messageParamCount = 9;
    std::string login = std::string(127, 'l') + "\xC3\xA9";
    t.e.loginName = login.data();
    ASSERT_TRUE(PolDb_EventAdd(conn_, &t.e));
    ASSERT_TRUE(Db_Commit(conn_));
    EXPECT_EQ(Verify(), "");
    std::string stored = Scalar("SELECT messageParams FROM PolicyDb_Event");
    EXPECT_LE(stored.size(), 1024u);
    EXPECT_GE(stored.size(), 1021u);
    std::u16string wide;
    EXPECT_TRUE(PolDb_Utf8ToUtf16(stored.data(), stored.size(), &wide)) << "cut inside a character";
    EXPECT_EQ(stored.substr(0, value.size()), value);
    EXPECT_EQ(Scalar("SELECT loginName FROM PolicyDb_Event"), std::string(127, 'l'));
}
