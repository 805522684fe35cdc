/* The module in-process: start-up, the request frame, sessions, manager
 * login, audit events and housekeeping, called through the exported table
 * the way the host calls it. */
#include "method_fixture.h"

#include "store/stores.h"
#include "policydb/longField.h"
#include "frame/session.h"
#include "policydb/quen.h"

#include <cstdio>
#include <functional>
#include <future>
#include <thread>

extern "C" void postReqHandler(QuenScServer *);

using namespace quensc_test;

namespace {

/* A commit that fails on demand, over the real SQLite store. */
int g_failCommits = 0;   /* how many commits from now on fail */
DbStoreOps g_failingOps;
bool FailingCommit(DbConnection *conn)
{
    if (g_failCommits > 0) {
        g_failCommits--;
        Db_SetError(conn, 1, "injected commit failure");
        return false;
    }
    return PolDb_SqliteStoreOps()->commit(conn);
}

/* Session writes that fail on demand, over the real SQLite store. */
bool g_failSessionWrites = false;
bool FailingSessionExec(DbConnection *conn, const char *sql)
{
    if (g_failSessionWrites && strstr(sql, "PolicyDb_LongField") && !strstr(sql, "SELECT")) {
        Db_SetError(conn, 1, "injected session write failure");
        return false;
    }
    return PolDb_SqliteStoreOps()->exec(conn, sql);
}

/* Runs once, right after the next commit that succeeds: what another
 * request does between two transactions of one request. */
std::function<void()> g_afterCommit;
bool CommitThenInterleave(DbConnection *conn)
{
    bool ok = PolDb_SqliteStoreOps()->commit(conn);
    if (ok && g_afterCommit) {
        std::function<void()> interleave = std::move(g_afterCommit);
        g_afterCommit = nullptr;
        interleave();
    }
    return ok;
}

/* An installation each test configures and starts itself, with manager
 * passwords of its own. Replies are read as their texts. */
class Server : public Installation {
protected:
    void SetUp() override
    {
        adminPassword_ = "admin-secret";
        deskPassword_ = "desk-secret";
        ASSERT_NO_FATAL_FAILURE(Installation::SetUp());
        g_failingOps = *PolDb_SqliteStoreOps();
        g_failingOps.commit = FailingCommit;
    }
    void TearDown() override
    {
        g_failCommits = 0;
        g_failSessionWrites = false;
        Installation::TearDown();
    }
    std::vector<std::string> Call(const char *name, std::initializer_list<xmlrpc_value *> args)
    {
        return Texts(Installation::Call(name, args));
    }
    /* A Quen struct: arguments are read before the rights check, so a
     * rights test must send valid ones. */
    static xmlrpc_value *Quen() { return Build("{s:s,s:s}", "uuid", "frame-q", "name", "Q"); }
    static xmlrpc_value *Cred(int type, const char *pwd)
    {
        if (type == 2)
            return Password(pwd);
        return Build("{s:i,s:{s:s,s:s,s:s}}", "type", 1, "ldap", "name", "bob", "pwd", pwd, "domain", "example.org");
    }
};

using Strings = std::vector<std::string>;

TEST_F(Server, TableHas58RowsAndANullRow)
{
    int n = 0;
    while (methods[n].name) {
        EXPECT_STREQ(methods[n].signature, "");
        EXPECT_STREQ(methods[n].help, "");
        EXPECT_NE(methods[n].handler, nullptr);
        n++;
    }
    EXPECT_EQ(n, 58);
    EXPECT_EQ(methods[58].handler, nullptr);
    EXPECT_EQ(methods[58].signature, nullptr);
    EXPECT_STREQ(methods[0].name, "SessionOpen");
    EXPECT_STREQ(methods[33].name, "InstanceQueryExt");
    EXPECT_STREQ(methods[57].name, "Echo");
}

TEST_F(Server, SessionsOpenEchoAndClose)
{
    Configure();
    ASSERT_NE(Start(), nullptr) << host_.All();
    EXPECT_TRUE(Logged("QUENSC: Corvane Quen Management Server v2.0.1 Started"));

    for (int bad : {9, 11}) {
        EXPECT_EQ(Call("SessionOpen", {I(bad)}), (Strings{"4", "10"}));
        EXPECT_TRUE(Logged("SessionOpen() requested unsupported protocol version: " + std::to_string(bad) +
                           ". (10 - 10"));
    }
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM PolicyDb_LongField"), "0");

    auto opened = Call("SessionOpen", {I(10)});
    ASSERT_EQ(opened.size(), 3u);
    EXPECT_EQ(opened[0], "0");
    std::string id = opened[1];
    EXPECT_EQ(id.size(), 36u);
    EXPECT_EQ(opened[2], "{struct}");

    /* The stored record: 536 bytes, protocol 10 at 532, ttl = session_ttl. */
    DbConnection *conn = Db_Open();
    unsigned char *bytes = nullptr;
    size_t length = 0;
    ASSERT_TRUE(PolDb_LongFieldGetBlob(conn, id.c_str(), &bytes, &length));
    ASSERT_EQ(length, 536u);
    EXPECT_EQ(bytes[532], 10);
    EXPECT_EQ(bytes[533] | bytes[534] | bytes[535], 0);
    EXPECT_EQ(bytes[8] | bytes[9] << 8 | bytes[10] << 16, 86400);
    free(bytes);
    Db_Close(conn);
    long long expires = std::stoll(Scalar("SELECT sessionExpires FROM PolicyDb_LongField"));
    EXPECT_NEAR(expires - time(nullptr), 86400, 5);

    EXPECT_EQ(Call("Echo", {S(id), S("hello 'world'")}), (Strings{"0", "hello 'world'"}));
    EXPECT_EQ(Call("Echo", {S(id), I(7)}), (Strings{"2"}));
    EXPECT_TRUE(Logged("QUENSC: EchoHandler() Error reading rpc msg: "));
    EXPECT_EQ(Call("Echo", {S(id)}), (Strings{"2"}));
    EXPECT_EQ(Call("Echo", {S("no-such-session"), S("x")}), (Strings{"6"}));
    EXPECT_TRUE(Logged("QUENSC: Invalid session id: no-such-session"));
    EXPECT_EQ(Call("Echo", {I(1), S("x")}), (Strings{"2"}));

    EXPECT_EQ(Call("SessionClose", {S(id)}), (Strings{"0"}));
    EXPECT_EQ(Call("SessionClose", {S(id)}), (Strings{"0"}));
    EXPECT_EQ(Call("SessionClose", {S("")}), (Strings{"0"}));
    EXPECT_EQ(Call("Echo", {S(id), S("x")}), (Strings{"6"}));
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM PolicyDb_LongField"), "0");

    /* A bad argument to SessionOpen answers 2 without the reader line. */
    host_.Clear();
    EXPECT_EQ(Call("SessionOpen", {S("ten")}), (Strings{"2"}));
    EXPECT_FALSE(Logged("SessionOpenHandler() Error reading rpc msg"));
}

TEST_F(Server, ManagerLoginRightsAndEvents)
{
    Configure();
    ASSERT_NE(Start(), nullptr) << host_.All();
    std::string id = Open();

    EXPECT_EQ(Call("QuenCreate", {S(id), Quen()}), (Strings{"9"}));
    EXPECT_TRUE(Logged("QUENSC: Security check failed for handler: QuenCreate"));
    EXPECT_EQ(Call("AuthenticateManager", {S(id), Cred(2, "wrong")}), (Strings{"10"}));
    EXPECT_EQ(Call("AuthenticateManager", {S(id), Cred(2, "admin-secret")}), (Strings{"0"}));
    EXPECT_EQ(Call("QuenCreate", {S(id), Quen()}), (Strings{"0"}));
    EXPECT_EQ(Call("QuenInfo", {S(id), S("frame-q")}), (Strings{"0", "{struct}"}));

    /* A directory credential in password mode is refused and clears rights. */
    EXPECT_EQ(Call("AuthenticateManager", {S(id), Cred(1, "admin-secret")}), (Strings{"5"}));
    EXPECT_EQ(Call("QuenCreate", {S(id), Quen()}), (Strings{"9"}));
    EXPECT_EQ(Call("AuthenticateManager", {S(id), Cred(2, "desk-secret")}), (Strings{"0"}));
    EXPECT_EQ(Call("QuenInfo", {S(id), S("frame-q")}), (Strings{"0", "{struct}"})) << "helpdesk passes mask 3";
    EXPECT_EQ(Call("QuenCreate", {S(id), Quen()}), (Strings{"9"})) << "but not mask 1";

    /* The events: numbered, chained, signed; never a password. */
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM PolicyDb_Event WHERE eventType = 1010"), "4");
    EXPECT_EQ(Scalar("SELECT messageParams FROM PolicyDb_Event WHERE eventType = 1010 AND returnCodeText = 'OK' "
                     "ORDER BY eventUID LIMIT 1"),
              "type = PASSWORD, value = \"********\"\tTRUE\tFALSE");
    EXPECT_EQ(Scalar("SELECT loginName || '/' || handlerName || '/' || sessionID FROM PolicyDb_Event WHERE "
                     "eventType = 1010 AND returnCodeText = 'OK' ORDER BY eventUID DESC LIMIT 1"),
              "Helpdesk/AuthenticateManager/" + id);
    EXPECT_EQ(Scalar("SELECT returnCodeText FROM PolicyDb_Event WHERE handlerName = 'QuenCreate' ORDER BY eventUID "
                     "LIMIT 1"),
              "INSUFFICIENT PRIVILEGES");
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM PolicyDb_Event WHERE handlerName = 'Echo'"), "0");
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM PolicyDb_Event WHERE messageParams LIKE '%secret%' OR "
                     "loginName LIKE '%secret%'"),
              "0");
    EXPECT_EQ(host_.All().find("admin-secret"), std::string::npos);
    DbConnection *conn = Db_Open();
    char *bad = nullptr;
    EXPECT_TRUE(PolDb_EventVerifyChain(conn, &bad));
    free(bad);
    Db_Close(conn);
}

TEST_F(Server, SamePasswordForBothRolesGivesBothAndTheHelpdeskName)
{
    /* Version 0 holds clear passwords; start-up hashes them in memory. */
    std::string conf = dir_ + "/conf/quensc.conf";
    Write("/conf/quensc.conf",
          "<quensc_configuration><global><configuration_version>0</configuration_version></global>"
          "<sqlite><db_file>../db/quensc.bin</db_file></sqlite>"
          "<administrators><password>both</password></administrators>"
          "<helpdesk><password>both</password></helpdesk></quensc_configuration>");
    ASSERT_NE(Start(), nullptr) << host_.All();
    EXPECT_EQ(server_->configuration->administrators.password, Hash(nullptr, "both"));
    EXPECT_EQ(server_->configuration->global.configuration_version, 4);
    std::ifstream in(conf);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(text.find("<password>both</password>"), std::string::npos) << "the file is never rewritten";
    std::string id = Open();
    EXPECT_EQ(Call("AuthenticateManager", {S(id), Cred(2, "both")}), (Strings{"0"}));
    DbConnection *conn = Db_Open();
    unsigned char *bytes = nullptr;
    size_t length = 0;
    ASSERT_TRUE(PolDb_LongFieldGetBlob(conn, id.c_str(), &bytes, &length));
    EXPECT_STREQ(reinterpret_cast<char *>(bytes + 16), "Helpdesk");
    EXPECT_EQ(bytes[272], 1);
    EXPECT_EQ(bytes[273], 1);
    free(bytes);
    Db_Close(conn);
}

TEST_F(Server, CertificatesAndTheChain)
{
    Configure();
    ASSERT_NE(Start(), nullptr) << host_.All();
    std::string id = Open();
    auto r = Call("SslCertsRetrieve", {S(id)});
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[1], std::string(1000, 'C') + std::string(2000, 'H'));

    remove((dir_ + "/ssl/chain.crt").c_str());
    ASSERT_NE(Start(), nullptr) << host_.All();
    EXPECT_TRUE(Logged("Failed to read the cert chain file: "));
    id = Open();
    EXPECT_EQ(Call("SslCertsRetrieve", {S(id)}), (Strings{"0", std::string(1000, 'C')}));

    remove((dir_ + "/ssl/server.crt").c_str());
    EXPECT_EQ(Start(), nullptr);
    EXPECT_TRUE(Logged("QUENSC: Error updating server record at startup"));
}

TEST_F(Server, StartupRefusals)
{
    Configure("<configuration_version>3</configuration_version><db_type>SQLite</db_type>");
    /* Only the exact texts "sqlite" and "odbc" choose a store. */
    EXPECT_EQ(Start(), nullptr);
    EXPECT_TRUE(Logged("QUENSC: Illegal db_type specified in configuration: SQLite"));

    Write("/conf/quensc.conf",
          "<quensc_configuration><global><configuration_version>2</configuration_version><use_ldap>1</use_ldap>"
          "</global><sqlite><db_file>../db/quensc.bin</db_file></sqlite></quensc_configuration>");
    EXPECT_EQ(Start(), nullptr);
    EXPECT_TRUE(Logged("LDAP configuration detected.  The QMS upgrade requires that the server be re-configured"));

    Configure("<configuration_version>7</configuration_version><db_type>sqlite</db_type>");
    EXPECT_NE(Start(), nullptr) << "an unknown later version runs no step";

    remove((dir_ + "/db/quensc.bin").c_str());
    Configure();
    EXPECT_EQ(Start(), nullptr);
    EXPECT_TRUE(Logged("QUENSC: Error opening database: " + dir_ + "/conf/../db/quensc.bin"));
    struct stat st;
    EXPECT_NE(stat((dir_ + "/db/quensc.bin").c_str(), &st), 0) << "start-up never creates the database";
}

TEST_F(Server, CommitFailureTurnsSuccessIntoInternal)
{
    Configure();
    ASSERT_NE(Start(), nullptr) << host_.All();
    std::string id = Open();
    Db_SetStoreOpsOverride(&g_failingOps);
    /* The request's commit fails; the audit event's own commit does not. */
    g_failCommits = 1;
    /* The session was never stored, so no id may be handed out. */
    EXPECT_EQ(Call("SessionOpen", {I(10)}), (Strings{"2"}));
    EXPECT_TRUE(Logged("QUENSC: SessionOpenHandler() Error committing DB transaction!"));
    g_failCommits = 1;
    EXPECT_EQ(Call("AuthenticateManager", {S(id), Cred(2, "admin-secret")}), (Strings{"2"}));
    EXPECT_EQ(Call("QuenCreate", {S(id), Quen()}), (Strings{"9"})) << "the rights were rolled back with the work";
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM PolicyDb_LongField"), "1");
    EXPECT_EQ(Scalar("SELECT returnCodeText FROM PolicyDb_Event WHERE handlerName = 'SessionOpen' ORDER BY "
                     "eventUID DESC LIMIT 1"),
              "INTERNAL");
}

TEST_F(Server, FailedSessionStoreOfAWriterAnswersInternalNotSuccess)
{
    /* A ttl under ten seconds: every request stores its session. */
    Configure("<configuration_version>3</configuration_version><db_type>sqlite</db_type><session_ttl>5</session_ttl>");
    ASSERT_NE(Start(), nullptr) << host_.All();
    std::string id = Login("admin-secret");
    DbStoreOps ops = *PolDb_SqliteStoreOps();
    ops.exec = FailingSessionExec;
    Db_SetStoreOpsOverride(&ops);
    g_failSessionWrites = true;
    /* The failed store rolls back the Quen with it: success would be a lie. */
    EXPECT_EQ(Call("QuenCreate", {S(id), Quen()}), (Strings{"2"}));
    g_failSessionWrites = false;
    EXPECT_TRUE(Logged("Failed to add/update session " + id));
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM PolicyDb_Quen"), "0");
}

TEST_F(Server, ARegistryLockThatCannotBeReleasedAnswersInternalAndIsStillAudited)
{
    Configure();
    ASSERT_NE(Start(), nullptr) << host_.All();
    std::string id = Open();
    const QuenScMethod *row = methods;
    while (row->name && strcmp(row->name, "SslCertsRetrieve") != 0)
        row++;
    ASSERT_NE(row->name, nullptr);

    /* Called without the registry lock held: releasing it fails. */
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    xmlrpc_value *params = xmlrpc_array_new(&env);
    xmlrpc_value *arg = S(id);
    xmlrpc_array_append_item(&env, params, arg);
    xmlrpc_DECREF(arg);
    xmlrpc_value *result = row->handler(&env, params, server_);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(Texts(Items(result)), (Strings{"2"}));
    xmlrpc_DECREF(result);
    xmlrpc_DECREF(params);
    xmlrpc_env_clean(&env);

    /* No work was done, but the request is in the audit trail... */
    EXPECT_EQ(Scalar("SELECT returnCodeText FROM PolicyDb_Event WHERE handlerName = 'SslCertsRetrieve'"),
              "INTERNAL");
    /* ...and the handler did not take the lock it never gave up. */
    EXPECT_NE(apr_thread_mutex_unlock(server_->registryLock), APR_SUCCESS);
}

TEST_F(Server, HousekeepingReapsOncePerCycle)
{
    Configure("<configuration_version>3</configuration_version><db_type>sqlite</db_type><session_ttl>1</session_ttl>"
              "<session_reap_cycle>21600</session_reap_cycle>");
    ASSERT_NE(Start(), nullptr) << host_.All();
    std::string id = Open();
    /* Make the session look expired. */
    DbConnection *conn = Db_Open();
    ASSERT_TRUE(Db_Exec(conn, "UPDATE PolicyDb_LongField SET sessionExpires = '1000'"));
    ASSERT_TRUE(Db_Commit(conn));
    EXPECT_EQ(Call("Echo", {S(id), S("still usable until reaped")})[0], "0");

    /* Another thread doing the housekeeping: this one skips it. */
    apr_thread_mutex_lock(server_->contextLock);
    postReqHandler(server_);
    apr_thread_mutex_unlock(server_->contextLock);
    EXPECT_EQ(Call("Echo", {S(id), S("x")})[0], "0");
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM sqlite_master WHERE name = 'sqlite_stat1'"), "0");

    postReqHandler(server_);   /* the first run after start-up reaps */
    EXPECT_EQ(Call("Echo", {S(id), S("x")}), (Strings{"6"}));
    EXPECT_GT(server_->lastReaping, 0);
    /* ... and leaves the query planner statistics of the tables behind. */
    EXPECT_NE(Scalar("SELECT COUNT(*) FROM sqlite_stat1"), "0");

    std::string second = Open();
    ASSERT_TRUE(Db_Exec(conn, "UPDATE PolicyDb_LongField SET sessionExpires = '1000'"));
    ASSERT_TRUE(Db_Commit(conn));
    postReqHandler(server_);   /* within the cycle: nothing happens */
    EXPECT_EQ(Call("Echo", {S(second), S("x")})[0], "0");
    server_->lastReaping -= int64_t(21600) * 1000000;
    postReqHandler(server_);
    EXPECT_EQ(Call("Echo", {S(second), S("x")}), (Strings{"6"}));
    Db_Close(conn);
    postReqHandler(nullptr);
    EXPECT_TRUE(Logged("QUENSC: Received NULL input parameters in post request handler."));
}

TEST_F(Server, ReadMethodLeavesAFreshUnchangedSessionUnwritten)
{
    Configure();
    ASSERT_NE(Start(), nullptr) << host_.All();
    std::string id = Call("SessionOpen", {I(10)})[1];
    Sql("CREATE TABLE session_writes (n INTEGER)");
    for (const char *what : {"INSERT", "UPDATE", "DELETE"})
        Sql(std::string("CREATE TRIGGER session_writes_") + what + " AFTER " + what +
            " ON PolicyDb_LongField BEGIN INSERT INTO session_writes VALUES (1); END");
    std::string events = Scalar("SELECT COUNT(*) FROM PolicyDb_Event");

    EXPECT_EQ(Call("InstanceGetState", {S(id), S("no-such-instance")})[0], "21");
    EXPECT_EQ(Call("InstanceGetState", {S(id), S("no-such-instance")})[0], "21");
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM session_writes"), "0") << "only the access time moved";
    EXPECT_EQ(std::stoi(Scalar("SELECT COUNT(*) FROM PolicyDb_Event")), std::stoi(events) + 2)
        << "each call is still audited";

    /* A change beyond the access time is written at once. */
    EXPECT_EQ(Call("AuthenticateManager", {S(id), Cred(2, "admin-secret")}), (Strings{"0"}));
    EXPECT_NE(Scalar("SELECT COUNT(*) FROM session_writes"), "0");
}

TEST_F(Server, ReadOnlyRequestsRunWhileAWriterHoldsTheLock)
{
    /* No audit events: each is written in a transaction of its own, which
     * would rightly wait for the writer. */
    Configure(kGlobal, "", 0);
    ASSERT_NE(Start(), nullptr) << host_.All();
    std::string id = Login("admin-secret");
    std::promise<void> holding, finished;
    std::thread writer([&] {
        DbConnection *conn = Db_Open();
        PolDbQuen quen{};
        quen.quenUID = const_cast<char *>("pending");
        quen.quenName = const_cast<char *>("pending");
        EXPECT_TRUE(PolDb_QuenAdd(conn, &quen));   /* holds the lock until its commit */
        holding.set_value();
        finished.get_future().wait();
        EXPECT_TRUE(Db_Commit(conn));
        Db_Close(conn);
    });
    holding.get_future().wait();
    /* Were either request to wait for the lock, this thread would wait for
     * ever: the writer commits only after both answered. */
    EXPECT_EQ(Call("QuenQuery", {S(id)}), (Strings{"0", "0"})) << "the writer's row is not committed yet";
    EXPECT_EQ(Call("Echo", {S(id), S("beside a writer")}), (Strings{"0", "beside a writer"}));
    finished.set_value();
    writer.join();
    EXPECT_EQ(Call("QuenQuery", {S(id)})[1], "1");
}

TEST_F(Server, ReadOnlyRequestWritesItsDueSessionBackUnlessClosedMeanwhile)
{
    /* A ttl under ten seconds: every request's store is due. */
    Configure("<configuration_version>3</configuration_version><db_type>sqlite</db_type><session_ttl>5</session_ttl>");
    ASSERT_NE(Start(), nullptr) << host_.All();
    std::string id = Open();
    Sql("UPDATE PolicyDb_LongField SET sessionExpires = '4000000000'");
    EXPECT_EQ(Call("InstanceGetState", {S(id), S("no-such-instance")})[0], "21");
    EXPECT_NEAR(std::stoll(Scalar("SELECT sessionExpires FROM PolicyDb_LongField")) - time(nullptr), 5, 3);

    /* Closed by another request between the read and the write-back: the
     * session is not brought back. */
    DbStoreOps ops = *PolDb_SqliteStoreOps();
    ops.commit = CommitThenInterleave;
    Db_SetStoreOpsOverride(&ops);
    g_afterCommit = [&] { Sql("DELETE FROM PolicyDb_LongField WHERE longFieldKey = '" + id + "'"); };
    EXPECT_EQ(Call("InstanceGetState", {S(id), S("no-such-instance")})[0], "21");
    EXPECT_FALSE(g_afterCommit);
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM PolicyDb_LongField"), "0");
}

TEST_F(Server, RequestPoolIsReusedEmptyByTheNextRequest)
{
    Configure();
    ASSERT_NE(Start(), nullptr) << host_.All();
    i_ctx *first = QuenScContextCreate(server_);
    ASSERT_NE(first, nullptr);
    apr_pool_t *pool = first->pool;
    first->eventParams[0] = "left behind";
    QuenScContextDestroy(first);
    i_ctx *second = QuenScContextCreate(server_);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->pool, pool) << "the pool was kept rather than destroyed";
    EXPECT_EQ(second->eventParams[0], nullptr) << "the next request starts from a cleared pool";
    EXPECT_NE(second->conn, nullptr);
    QuenScContextDestroy(second);
}

TEST(SessionRecord, ExpiryNeverOverflows)
{
    EXPECT_EQ(QuenScSessionExpiry(1000, -1), INT64_MAX);
    EXPECT_EQ(QuenScSessionExpiry(1000, 86400), 87400);
    EXPECT_EQ(QuenScSessionExpiry(1000, INT64_MAX), INT64_MAX);
    EXPECT_EQ(QuenScSessionExpiry(INT64_MAX - 5, 10), INT64_MAX);
}

TEST(SessionRecord, WrittenBackOnlyWhenChangedOrItsAccessTimeIsStale)
{
    struct Case {
        const char *what;
        int64_t ttl;
        int64_t storedAccess;
        int64_t now;
        bool adminMarked;   /* changed beyond the access time */
        bool expected;
    };
    const Case cases[] = {
        {"fresh and unchanged", 3600, 1000, 1030, false, false},
        {"unchanged, bound reached", 3600, 1000, 1000 + QUENSC_SESSION_TOUCH_SECONDS, false, true},
        {"unchanged, never expires", -1, 1000, 1059, false, false},
        {"short ttl: a tenth of it", 100, 1000, 1010, false, true},
        {"short ttl, within a tenth", 100, 1000, 1009, false, false},
        {"ttl under ten seconds: always", 5, 1000, 1000, false, true},
        {"clock went back", 3600, 1000, 999, false, true},
        {"role mark changed", 3600, 1000, 1001, true, true},
    };
    for (const Case &c : cases) {
        QuenScSession s{};
        QuenScSessionSetTtl(&s, c.ttl);
        for (int i = 0; i < 8; i++)
            s.record[SESSION_OFF_LAST_ACCESS + i] = static_cast<unsigned char>(uint64_t(c.storedAccess) >> (8 * i));
        memcpy(s.stored, s.record, sizeof s.record);
        if (c.adminMarked)
            QuenScSessionSetAdministrator(&s, "admin");
        EXPECT_EQ(QuenScSessionNeedsStore(&s, c.now), c.expected) << c.what;
    }
}

} // namespace
