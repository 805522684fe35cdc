/* Access entries and the instance lifecycle in-process: the limit
 * comparisons, the instantiation check, instance authentication by
 * authType, the session time-to-live an instance gives its session, the
 * lifecycle methods and what their audit events carry, through the rows of
 * the exported table against a temporary installation. */
#include "method_fixture.h"

#include "store/stores.h"
#include "service/instanceState.h"
#include "service/instanceLifecycle.h"
#include "frame/session.h"

#include <climits>

using namespace quensc_test;

namespace {

/* A store whose statements containing a chosen text fail. */
std::string g_failExecWith;
DbStoreOps g_ops;

bool FailingExec(DbConnection *conn, const char *sql)
{
    if (!g_failExecWith.empty() && strstr(sql, g_failExecWith.c_str())) {
        Db_SetError(conn, 1, "injected statement failure");
        return false;
    }
    return PolDb_SqliteStoreOps()->exec(conn, sql);
}

/* ---- values --------------------------------------------------------------------- */

xmlrpc_value *NoCred() { return Build("{s:i}", "type", 0); }
xmlrpc_value *OddCred() { return Build("{s:i}", "type", 7); }
xmlrpc_value *Token(const std::string &t) { return Build("{s:i,s:{s:s}}", "type", 3, "token", "token", t.c_str()); }
xmlrpc_value *Ldap()
{
    return Build("{s:i,s:{s:s,s:s,s:s}}", "type", 1, "ldap", "name", "bob", "pwd", "bobs password", "domain",
                 "example.org");
}
xmlrpc_value *Access(const std::string &data, const std::string &name, int type)
{
    return Build("{s:s,s:s,s:i,s:i,s:i}", "data", data.c_str(), "name", name.c_str(), "type", type,
                 "useInstanceLimit", 1, "instanceLimit", 9);
}

struct Policy {
    int instType = 0, authType = 2, useInstanceLimit = 0, instanceLimit = 0;
    int usePerUserInstanceLimit = 0, perUserInstanceLimit = 0, expType = 0;
    int64_t expValue1 = 0, expValue2 = 0, sessionLifetime = -1;
    int copyPolicy = 2;
};

/* 64-bit members go out as 8-byte base64, the other of their wire forms. */
xmlrpc_value *PolicyStruct(const Policy &p)
{
    xmlrpc_value *st = Build("{s:i,s:i,s:i,s:i,s:i,s:i,s:i,s:i}", "instType", p.instType, "authType", p.authType,
                             "useInstanceLimit", p.useInstanceLimit, "instanceLimit", p.instanceLimit,
                             "usePerUserInstanceLimit", p.usePerUserInstanceLimit, "perUserInstanceLimit",
                             p.perUserInstanceLimit, "expType", p.expType, "copyPolicy", p.copyPolicy);
    Set(st, "expValue_1", I64(p.expValue1));
    Set(st, "expValue_2", I64(p.expValue2));
    Set(st, "sessionLifetime", I64(p.sessionLifetime));
    return st;
}

xmlrpc_value *PackageStruct(const std::string &uuid, const std::string &quen, int preview = 0)
{
    xmlrpc_value *st = Build("{s:s,s:s,s:s,s:i,s:s,s:i,s:i}", "uuid", uuid.c_str(), "quen_uuid", quen.c_str(),
                             "name", ("package " + uuid).c_str(), "useValidDates", 0, "key", "the package key",
                             "disabled", 0, "preview", preview);
    Set(st, "validDateStart", I64(0));
    Set(st, "validDateEnd", I64(0));
    return st;
}

/* ---- the fixture ---------------------------------------------------------------------- */

/* A started server whose store fails chosen statements. Replies are read
 * as their texts. */
class Instances : public MethodFixture {
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(MethodFixture::SetUp());
        g_ops = *PolDb_SqliteStoreOps();
        g_ops.exec = FailingExec;
        Db_SetStoreOpsOverride(&g_ops);
        g_failExecWith.clear();
    }
    void TearDown() override
    {
        g_failExecWith.clear();
        MethodFixture::TearDown();
    }
    std::vector<std::string> Call(const char *name, std::initializer_list<xmlrpc_value *> args)
    {
        return Texts(MethodFixture::Call(name, args));
    }
    /* A Quen with one published set (version 2) and the package "<quen>-p". */
    void Quen(const std::string &uid, const Policy &p)
    {
        CreateQuen(uid);
        Store(uid, p);
        ASSERT_EQ(Code("PolicyPublish", {S(admin_), S(uid)}), 0);
        ASSERT_EQ(Code("PackageCreate", {S(admin_), PackageStruct(uid + "-p", uid)}), 0);
    }
    void Store(const std::string &quen, const Policy &p)
    {
        ASSERT_EQ(Code("PolicyStore", {S(admin_), S(quen), S("c"), S("h"), PolicyStruct(p)}), 0) << host_.All();
    }
    /* InstanceCreate: the code, and the new UID in *uid when it succeeded. */
    int Create(const std::string &session, xmlrpc_value *cred, const std::string &package, std::string *uid = nullptr)
    {
        auto r = Call("InstanceCreate", {S(session), cred, S(package), S("client key"), S("cp id")});
        if (uid)
            *uid = r.size() == 3 ? r[1] : "";
        return std::stoi(r[0]);
    }
    int Rows(const std::string &where)
    {
        return std::stoi(Scalar("SELECT COUNT(*) FROM PolicyDb_Instance WHERE deleted = 'FALSE' AND " + where));
    }
    /* messageParams of the latest event of a type. */
    std::string Params(int eventType) { return EventColumn(eventType, "messageParams"); }
    std::string EventColumn(int eventType, const std::string &column)
    {
        return Scalar("SELECT " + column + " FROM PolicyDb_Event WHERE eventType = " + std::to_string(eventType) +
                      " ORDER BY CAST(eventUID AS INTEGER) DESC LIMIT 1");
    }
    /* The stored session's ttl and user name. */
    std::pair<int64_t, std::string> StoredSession(const std::string &id)
    {
        i_ctx *ctx = Context();
        QuenScSession *s = QuenScSessionLookup(ctx, id.c_str());
        std::pair<int64_t, std::string> out{s ? QuenScSessionTtl(s) : 0, s ? QuenScSessionUserName(s) : "<none>"};
        DropContext();
        return out;
    }
};

/* ---- pure rules -------------------------------------------------------------------------- */

TEST(InstanceRules, QuenLimitIsUnsignedPerUserLimitSignedAndQuenExpiry)
{
    EXPECT_FALSE(QuenScQuenLimitReached(1, 2));
    EXPECT_TRUE(QuenScQuenLimitReached(2, 2));
    EXPECT_TRUE(QuenScQuenLimitReached(0, 0));
    EXPECT_FALSE(QuenScQuenLimitReached(1000000, -1)) << "a negative Quen limit never refuses";
    EXPECT_FALSE(QuenScQuenLimitReached(INT_MAX, INT_MIN));

    EXPECT_FALSE(QuenScPerUserLimitReached(1, 2));
    EXPECT_TRUE(QuenScPerUserLimitReached(2, 2));
    EXPECT_TRUE(QuenScPerUserLimitReached(0, 0));
    EXPECT_TRUE(QuenScPerUserLimitReached(0, -1)) << "a negative per-user limit always refuses";

    QuenScPolicyRecord p{};
    EXPECT_FALSE(QuenScQuenExpired(&p, 5));
    p.expType = 1;
    EXPECT_TRUE(QuenScQuenExpired(&p, 5)) << "zero days";
    p.expValue1 = 3;
    EXPECT_FALSE(QuenScQuenExpired(&p, INT64_MAX));
    p.expType = 2;
    p.expValue1 = 100;
    p.expValue2 = 200;
    EXPECT_FALSE(QuenScQuenExpired(&p, 100));
    EXPECT_FALSE(QuenScQuenExpired(&p, 200));
    EXPECT_TRUE(QuenScQuenExpired(&p, 99));
    EXPECT_TRUE(QuenScQuenExpired(&p, 201));
    p.expType = 9;
    EXPECT_FALSE(QuenScQuenExpired(&p, 0));
}

/* ---- creation -------------------------------------------------------------------------------- */

TEST_F(Instances, CreateStoresTheRecordAndItsInheritedWindow)
{
    Policy p;
    p.expType = 1;
    p.expValue1 = 1;
    Quen("q1", p);
    std::string client = Open(), uid;
    auto r = Call("InstanceCreate", {S(client), NoCred(), S("q1-p"), S("client key"), S("cp id")});
    ASSERT_EQ(r.size(), 3u) << host_.All();
    EXPECT_EQ(r[0], "0");
    uid = r[1];
    EXPECT_EQ(uid.size(), 36u);
    EXPECT_EQ(r[2], "the package key");

    EXPECT_EQ(Column(uid, "creatorIdName || '|' || IFNULL(creatorIdData, '-') || '|' || creatorAuthType"), "N/A||0");
    EXPECT_EQ(Column(uid, "insProtectionKey || '|' || copyProtectionId"), "client key|cp id");
    EXPECT_EQ(Column(uid, "insPassword"), Hash(uid.c_str(), ""));
    EXPECT_EQ(Column(uid, "inheritsExpiration || insPreview || insUseValidDates"), "TRUEFALSETRUE");
    int64_t activation = std::stoll(Column(uid, "activationDate"));
    EXPECT_EQ(std::stoll(Column(uid, "lastPolicyCheck")), activation);
    EXPECT_EQ(std::stoll(Column(uid, "insValidDateStart")), activation);
    /* One day counts the activation day itself: 23:59:00 UTC of that day. */
    EXPECT_EQ(std::stoll(Column(uid, "insValidDateEnd")), activation / 86400 * 86400 + 86400 - 60);

    EXPECT_EQ(Call("InstanceGetState", {S(client), S(uid)})[1], "0") << "a fresh instance has no password";

    /* The event names the new instance and shows the credential's type. */
    EXPECT_EQ(Params(4020), "type = NULL");
    EXPECT_EQ(EventColumn(4020, "instanceUID || '|' || packageUID || '|' || quenUID || '|' || policyVersion"),
              uid + "|q1-p|q1|2");

    EXPECT_EQ(Code("InstanceVerify", {S(Open()), S(uid)}), QUENSC_AUTHENTICATION_FAILED);
    EXPECT_TRUE(Logged("Failed attempt to verify instance (" + uid + ") because session is not authenticated"));
    EXPECT_EQ(Code("InstanceInfo", {S(client), S("nope")}), QUENSC_INSTANCE_DOES_NOT_EXIST);
    EXPECT_EQ(Code("InstanceCreate", {S(client), NoCred(), S("nope"), S(""), S("")}), QUENSC_PACKAGE_DOES_NOT_EXIST);
    EXPECT_EQ(Code("InstanceCreate", {S(client), NoCred(), S("q1-p"), S(std::string(1025, 'k')), S("")}),
              QUENSC_INVALID_PARAMETER);
}

TEST_F(Instances, ARefusedOrFailedCreationStoresNothing)
{
    Policy p;
    p.useInstanceLimit = 1;
    p.instanceLimit = 1;
    Quen("q1", p);
    std::string client = Open();
    ASSERT_EQ(Create(client, NoCred(), "q1-p"), 0);
    std::string fresh = Open();
    EXPECT_EQ(Create(fresh, NoCred(), "q1-p"), QUENSC_QUEN_INSTANCE_LIMIT_EXCEEDED);
    EXPECT_EQ(StoredSession(fresh).second, "");

    /* The insert comes last: when it fails, nothing else was written, and
     * the session is not marked for an instance that does not exist. */
    Sql("UPDATE PolicyDb_RuntimePolicy SET rtpUseInstanceLimit = 'FALSE'");
    g_failExecWith = "INSERT INTO PolicyDb_Instance";
    EXPECT_EQ(Create(fresh, NoCred(), "q1-p"), QUENSC_INTERNAL);
    g_failExecWith.clear();
    EXPECT_TRUE(Logged("Error adding instance to db: injected statement failure"));
    EXPECT_EQ(Rows("1 = 1"), 1);
    EXPECT_EQ(StoredSession(fresh).second, "");
}

TEST_F(Instances, TokenEntriesAdmitAndThePerUserLimitCountsEachHolder)
{
    Policy p;
    p.instType = 2;
    p.usePerUserInstanceLimit = 1;
    p.perUserInstanceLimit = 2;
    ASSERT_EQ(Code("QuenCreate", {S(admin_), Build("{s:s,s:s}", "uuid", "q1", "name", "q")}), 0);
    Store("q1", p);
    ASSERT_EQ(Code("AccessAdd", {S(admin_), S("q1"), Access("tok-1", "", 2)}), 0);
    ASSERT_EQ(Code("AccessAdd", {S(admin_), S("q1"), Access("lab token", "Lab", 2)}), 0);
    ASSERT_EQ(Code("PolicyPublish", {S(admin_), S("q1")}), 0);
    ASSERT_EQ(Code("PackageCreate", {S(admin_), PackageStruct("q1-p", "q1")}), 0);
    std::string client = Open(), uid;

    ASSERT_EQ(Create(client, Token("tok-1"), "q1-p", &uid), 0) << host_.All();
    EXPECT_EQ(Column(uid, "creatorIdName || '|' || creatorIdData || '|' || creatorAuthType"), "Password|tok-1|2");
    EXPECT_EQ(Params(4020), "type = TOKEN, value = \"tok-1\"");
    ASSERT_EQ(Create(client, Token("tok-1"), "q1-p"), 0);
    EXPECT_EQ(Create(client, Token("tok-1"), "q1-p"), QUENSC_ACCESS_INSTANCE_LIMIT_EXCEEDED);

    /* Token comparison passes over blanks; the entry's own spelling is
     * recorded, so both spellings count against one holder. */
    ASSERT_EQ(Create(client, Token("labtoken"), "q1-p", &uid), 0);
    EXPECT_EQ(Column(uid, "creatorIdName || '|' || creatorIdData"), "Lab|lab token");
    ASSERT_EQ(Create(client, Token("lab token"), "q1-p"), 0);
    EXPECT_EQ(Create(client, Token("labtoken"), "q1-p"), QUENSC_ACCESS_INSTANCE_LIMIT_EXCEEDED);

    EXPECT_EQ(Create(client, Token("TOK-1"), "q1-p"), QUENSC_ACCESS_DENIED) << "tokens are case-sensitive";
    EXPECT_EQ(Create(client, Token(""), "q1-p"), QUENSC_ACCESS_DENIED);
    EXPECT_EQ(Create(client, Password("tok-1"), "q1-p"), QUENSC_INVALID_PARAMETER);
    EXPECT_EQ(Create(client, NoCred(), "q1-p"), QUENSC_INVALID_PARAMETER);

    /* The per-user comparison is signed: -1 refuses a matched holder even
     * when no instance is active at all. */
    p.perUserInstanceLimit = -1;
    Store("q1", p);
    ASSERT_EQ(Code("PolicyPublish", {S(admin_), S("q1")}), 0);
    Sql("UPDATE PolicyDb_Instance SET revocationDate = '00000000000000001000'");
    EXPECT_EQ(Create(client, Token("tok-1"), "q1-p"), QUENSC_ACCESS_INSTANCE_LIMIT_EXCEEDED)
        << "even with no active instance at all";
}

/* ---- authentication ------------------------------------------------------------------------ */

TEST_F(Instances, AuthenticationFollowsTheAuthTypeThenTheState)
{
    Quen("q1", Policy{}); /* authType 2 */
    std::string client = Open(), uid;
    ASSERT_EQ(Create(client, NoCred(), "q1-p", &uid), 0);
    auto authenticate = [&](const QuenScCredential *cred, bool marked = false) {
        i_ctx *ctx = Context();
        QuenScSession *session = QuenScSessionNew(ctx, 10);
        if (marked)
            QuenScSessionMarkInstanceAuthenticated(session, "x", uid.c_str());
        PolDbInstance *instance = nullptr;
        int rc = QuenScInstanceAuthenticate(ctx, session, cred, uid.c_str(), &instance);
        EXPECT_NE(instance, nullptr);
        DropContext();
        return rc;
    };
    QuenScCredential empty{QUENSC_CRED_PASSWORD, "", nullptr, nullptr};
    QuenScCredential wrong{QUENSC_CRED_PASSWORD, "wrong", nullptr, nullptr};
    QuenScCredential right{QUENSC_CRED_PASSWORD, "s3cret", nullptr, nullptr};
    QuenScCredential token{QUENSC_CRED_TOKEN, "s3cret", nullptr, nullptr};
    QuenScCredential ldap{QUENSC_CRED_LDAP, "bob", "pw", "example.org"};

    EXPECT_EQ(authenticate(&empty), 0) << "no password set: the empty one";
    EXPECT_EQ(authenticate(&wrong), QUENSC_AUTHENTICATION_FAILED);
    EXPECT_TRUE(Logged("Failed authenticate instance: " + uid));
    EXPECT_EQ(authenticate(&token), QUENSC_INVALID_PARAMETER);
    EXPECT_EQ(authenticate(nullptr), QUENSC_AUTHENTICATION_FAILED) << "no credential: the session must know it";
    EXPECT_EQ(authenticate(nullptr, true), 0);
    ASSERT_EQ(Code("InstanceSetPassword", {S(admin_), S(uid), S("s3cret")}), 0);
    EXPECT_EQ(authenticate(&right), 0);
    EXPECT_EQ(authenticate(&empty), QUENSC_AUTHENTICATION_FAILED);

    auto setAuthType = [&](int type) {
        Sql("UPDATE PolicyDb_RuntimePolicy SET rtpAuthType = " + std::to_string(type) + " WHERE policyVersion = 2");
    };
    setAuthType(1);
    EXPECT_EQ(authenticate(&ldap), QUENSC_LDAP_CONNECT_FAILED) << "the directory is out of reach";
    EXPECT_TRUE(Logged("Error authenticating ldap user 'bob'"));
    EXPECT_EQ(authenticate(&right), QUENSC_INVALID_PARAMETER);
    for (int type : {0, 3}) {
        setAuthType(type);
        EXPECT_EQ(authenticate(&wrong), 0) << type;
    }
    setAuthType(7);
    EXPECT_EQ(authenticate(&right), QUENSC_INTERNAL);
    EXPECT_TRUE(Logged("Invalid quen authentication type: 7"));

    setAuthType(0);
    ASSERT_EQ(Code("InstanceRevoke", {S(admin_), S(uid)}), 0);
    EXPECT_EQ(authenticate(&wrong), QUENSC_INSTANCE_CANNOT_RUN);
    EXPECT_EQ(authenticate(nullptr, true), QUENSC_INSTANCE_CANNOT_RUN);

    i_ctx *ctx = Context();
    PolDbInstance *none = nullptr;
    EXPECT_EQ(QuenScInstanceAuthenticate(ctx, nullptr, &right, "nope", &none), QUENSC_INSTANCE_DOES_NOT_EXIST);
    EXPECT_EQ(none, nullptr);
    EXPECT_TRUE(Logged("Failed to find instance (nope)"));
}

TEST_F(Instances, VerifyRenewsTheSessionTtlFromTheGoverningSet)
{
    Policy p;
    p.sessionLifetime = 7200;
    Quen("q1", p);
    ASSERT_EQ(Code("PackageCreate", {S(admin_), PackageStruct("q1-preview", "q1", 1)}), 0);
    std::string client = Open(), uid, preview;
    ASSERT_EQ(Create(client, NoCred(), "q1-p", &uid), 0);
    EXPECT_EQ(StoredSession(client).first, 600) << "creating alone does not renew";
    ASSERT_EQ(Code("InstanceVerify", {S(client), S(uid)}), 0);
    EXPECT_EQ(StoredSession(client).first, 7200);

    p.sessionLifetime = 9000; /* the working set only */
    Store("q1", p);
    std::string other = Open();
    ASSERT_EQ(Create(other, NoCred(), "q1-preview", &preview), 0);
    ASSERT_EQ(Code("InstanceVerify", {S(other), S(preview)}), 0);
    EXPECT_EQ(StoredSession(other).first, 9000) << "a preview instance runs the working set";
    ASSERT_EQ(Code("InstanceVerify", {S(client), S(uid)}), 0);
    EXPECT_EQ(StoredSession(client).first, 7200);

    Sql("UPDATE PolicyDb_RuntimePolicy SET cacheLifetime = 60 WHERE policyVersion = 2");
    ASSERT_EQ(Code("InstanceVerify", {S(client), S(uid)}), 0);
    EXPECT_EQ(StoredSession(client).first, 600) << "session_ttl is the floor";
    Sql("UPDATE PolicyDb_RuntimePolicy SET cacheLifetime = -1 WHERE policyVersion = 2");
    ASSERT_EQ(Code("InstanceVerify", {S(client), S(uid)}), 0);
    EXPECT_EQ(StoredSession(client).first, -1);

    i_ctx *ctx = Context();
    QuenScSession *s = QuenScSessionNew(ctx, 10);
    QuenScPolicyRecord policy{};
    policy.sessionLifetime = 7200;
    QuenScSessionRenewTtl(ctx, s, &policy);
    EXPECT_EQ(QuenScSessionTtl(s), 7200);
    QuenScSessionSetTtl(s, 5);
    QuenScSessionRenewTtl(ctx, s, nullptr);
    EXPECT_EQ(QuenScSessionTtl(s), 600);
}

TEST_F(Instances, GetKeyAdoptsTheSessionAndRefusesUnknownCredentials)
{
    Quen("q1", Policy{});
    std::string creator = Open(), uid;
    ASSERT_EQ(Create(creator, NoCred(), "q1-p", &uid), 0);
    std::string later = Open();
    EXPECT_EQ(Code("InstanceGetKey", {S(later), Password("nope"), S(uid)}), QUENSC_AUTHENTICATION_FAILED);
    EXPECT_TRUE(Logged("Failed to validate instance: " + uid));
    EXPECT_EQ(Call("InstanceGetKey", {S(later), Password(""), S(uid)})[1], "client key");
    EXPECT_EQ(StoredSession(later).second, "N/A");
    EXPECT_EQ(Params(1030), "type = PASSWORD, value = \"********\"");
    EXPECT_EQ(EventColumn(1030, "instanceUID || '|' || quenUID || '|' || packageUID"), uid + "|q1|q1-p");

    Sql("UPDATE PolicyDb_RuntimePolicy SET rtpAuthType = 0 WHERE policyVersion = 2");
    EXPECT_EQ(Code("InstanceGetKey", {S(Open()), OddCred(), S(uid)}), QUENSC_INVALID_PARAMETER);
    EXPECT_TRUE(Logged("Invalid credential type!"));
}

/* ---- lifecycle ------------------------------------------------------------------------------- */

TEST_F(Instances, CopyRecordEventsAndCopyPolicyRefusals)
{
    Quen("q1", Policy{}); /* copy policy 2: the caller chooses */
    std::string client = Open(), source;
    ASSERT_EQ(Create(client, NoCred(), "q1-p", &source), 0);
    ASSERT_EQ(Code("InstanceSetPassword", {S(admin_), S(source), S("owner pw")}), 0);
    Sql("UPDATE PolicyDb_Instance SET guestMacAddress = '00:11:22:33:44:55', hostName = 'host-a', lastPolicyCheck = "
        "'00000000000000000777' WHERE instanceUID = '" + source + "'");
    auto copy = [&](int replace, std::string *uid) {
        auto r = Call("InstanceCopy",
                      {S(client), NoCred(), Password("owner pw"), S(source), S("copy key"), S("copy cp"), I(replace)});
        *uid = r.size() == 2 ? r[1] : "";
        return std::stoi(r[0]);
    };
    std::string uid;
    ASSERT_EQ(copy(0, &uid), 0) << host_.All();
    EXPECT_EQ(Params(4030), "type = NULL\ttype = PASSWORD, value = \"********\"\tFALSE\tALLOWED\t" + uid);
    EXPECT_EQ(EventColumn(4030, "instanceUID"), source);
    EXPECT_EQ(Column(uid, "insPassword"), Hash(uid.c_str(), "owner pw")) << "salted with the copy's own UID";
    EXPECT_EQ(Column(uid, "guestMacAddress || '|' || IFNULL(hostName, '') || '|' || CAST(lastPolicyCheck AS "
                          "INTEGER) || '|' || insProtectionKey"),
              "00:11:22:33:44:55||0|copy key");

    Policy p;
    p.copyPolicy = 0;
    Store("q1", p);
    ASSERT_EQ(Code("PolicyPublish", {S(admin_), S("q1")}), 0);
    EXPECT_EQ(copy(1, &uid), QUENSC_INSTANCE_CANNOT_COPY);
    EXPECT_EQ(Params(4030), "type = NULL\ttype = PASSWORD, value = \"********\"\tTRUE\tNOT ALLOWED");
    Sql("UPDATE PolicyDb_RuntimePolicy SET copyPolicy = 5 WHERE policyVersion = 3");
    EXPECT_EQ(copy(1, &uid), QUENSC_INTERNAL);
    EXPECT_TRUE(Logged("Invalid value for copy policy: 5"));
    EXPECT_EQ(Params(4030), "type = NULL\ttype = PASSWORD, value = \"********\"\tTRUE\tUNKNOWN");
    EXPECT_EQ(Rows("1 = 1"), 2);
}

TEST_F(Instances, EnableKeepsAManagersSessionAndChecksTheOwner)
{
    Quen("q1", Policy{});
    std::string client = Open(), source;
    ASSERT_EQ(Create(client, NoCred(), "q1-p", &source), 0);
    ASSERT_EQ(Code("InstanceCopy", {S(client), NoCred(), Password(""), S(source), S(""), S(""), I(1)}), 0);
    std::string owner = Open();
    EXPECT_EQ(Code("InstanceEnable", {S(owner), Password("wrong"), NoCred(), S(source)}),
              QUENSC_AUTHENTICATION_FAILED);
    EXPECT_TRUE(Logged("Failed to authenticate as owner of instance during enable: " + source));
    EXPECT_TRUE(Logged("Security check failed for handler: InstanceEnable"));
    ASSERT_EQ(Code("InstanceEnable", {S(owner), Password(""), Token("t"), S(source)}), 0) << host_.All();
    EXPECT_EQ(Params(4050), "type = TOKEN, value = \"t\"\ttype = PASSWORD, value = \"********\"");
    EXPECT_EQ(Code("InstanceVerify", {S(owner), S(source)}), 0) << "the owner's session runs it now";

    std::string desk = Open();
    ASSERT_EQ(Code("AuthenticateManager", {S(desk), Password("desk")}), 0);
    ASSERT_EQ(Code("InstanceRevoke", {S(desk), S(source)}), 0);
    ASSERT_EQ(Code("InstanceEnable", {S(desk), NoCred(), NoCred(), S(source)}), 0);
    EXPECT_EQ(Column(source, "CAST(revocationDate AS INTEGER)"), "0");
    EXPECT_EQ(StoredSession(desk).second, "Helpdesk") << "a manager's later events keep naming the manager";
}

TEST_F(Instances, PasswordsChangeOnlyWithTheOldOneAndNeverReachALog)
{
    Quen("q1", Policy{});
    std::string client = Open(), uid;
    ASSERT_EQ(Create(client, NoCred(), "q1-p", &uid), 0);
    ASSERT_EQ(Code("InstanceSetPassword", {S(admin_), S(uid), S("hunter2")}), 0);
    std::string hash = Column(uid, "insPassword");
    EXPECT_EQ(hash, Hash(uid.c_str(), "hunter2"));
    EXPECT_EQ(Code("InstanceChangePassword", {S(client), S(uid), S("wrong"), S("swordfish")}),
              QUENSC_AUTHENTICATION_FAILED);
    EXPECT_EQ(Column(uid, "insPassword"), hash);
    ASSERT_EQ(Code("InstanceChangePassword", {S(client), S(uid), S("hunter2"), S("swordfish")}), 0);
    EXPECT_EQ(Column(uid, "insPassword"), Hash(uid.c_str(), "swordfish"));
    EXPECT_EQ(EventColumn(4100, "instanceUID || '|' || returnCodeText || '|' || messageParams"), uid + "|OK|");
    EXPECT_EQ(Code("InstanceSetPassword", {S(client), S(uid), S("x")}), QUENSC_INSUFFICIENT_PRIVILEGES);
    EXPECT_EQ(host_.All().find("hunter2"), std::string::npos);
    EXPECT_EQ(host_.All().find("swordfish"), std::string::npos);
}

/* ---- access entries and the directory ------------------------------------------------------ */

TEST_F(Instances, AccessEntryRefusalsAndDirectoryPaths)
{
    Policy p;
    p.instType = 1;
    Quen("q1", p);
    EXPECT_EQ(Code("AccessAdd", {S(admin_), S("q1"), Access("CN=Staff,DC=example,DC=org", "Staff", 1)}),
              QUENSC_LDAP_CONNECT_FAILED) << "the directory is out of reach";
    EXPECT_EQ(Params(5010), "GROUP\tStaff\tCN=Staff,DC=example,DC=org");
    EXPECT_EQ(EventColumn(5010, "policyVersion"), "3");
    EXPECT_EQ(Code("AccessAdd", {S(admin_), S("q1"), Access("x", "odd type", 3)}), QUENSC_INVALID_PARAMETER);
    EXPECT_EQ(Code("AccessAdd", {S(admin_), S("q1"), Access(std::string(129, 't'), "long", 2)}),
              QUENSC_INVALID_PARAMETER);
    EXPECT_EQ(Code("AccessAdd", {S(admin_), S("nope"), Access("t", "t", 2)}), QUENSC_QUEN_DOES_NOT_EXIST);
    EXPECT_EQ(Call("AccessQuery", {S(admin_), S("q1"), I(1)})[1], "0");
    EXPECT_EQ(Code("AccessRemove", {S(admin_), S("q1"), S("x")}), QUENSC_ACCESS_DOES_NOT_EXIST);
    EXPECT_TRUE(Logged("Failed to find access object (q1:x) during AccessRemove"));

    std::string client = Open(), uid;
    EXPECT_EQ(Create(client, Ldap(), "q1-p"), QUENSC_AUTHENTICATION_FAILED) << "the directory login fails";
    EXPECT_EQ(Params(4020), "type = LDAP, name = \"bob\", domain = \"example.org\"");
    EXPECT_EQ(Create(client, Token("t"), "q1-p"), QUENSC_INVALID_PARAMETER);

    /* The owner's directory password change. */
    p.instType = 0;
    Store("q1", p);
    ASSERT_EQ(Code("PolicyPublish", {S(admin_), S("q1")}), 0);
    ASSERT_EQ(Create(client, NoCred(), "q1-p", &uid), 0);
    auto change = [&](xmlrpc_value *cred) {
        return Code("LdapUserChangePassword", {S(client), S(uid), cred, S("new password")});
    };
    EXPECT_EQ(change(Ldap()), QUENSC_NO_USER_DIRECTORY);
    EXPECT_TRUE(Logged("Password change request failed, because ldap is not configured"));
    EXPECT_EQ(EventColumn(1020, "instanceUID || '|' || quenUID"), uid + "|q1");
    server_->configuration->global.use_ldap = 1;
    /* No directory host: every failure of the change itself is 17. */
    EXPECT_EQ(change(Ldap()), QUENSC_PASSWORD_CHANGE_FAILED);
    ASSERT_EQ(Code("InstanceRevoke", {S(admin_), S(uid)}), 0);
    EXPECT_EQ(change(Ldap()), QUENSC_INSTANCE_CANNOT_RUN);
    EXPECT_TRUE(Logged("Password change request failed, because instance (" + uid + ") can't run"));
    server_->configuration->global.use_ldap = 0;
    EXPECT_EQ(host_.All().find("new password"), std::string::npos);
    EXPECT_EQ(host_.All().find("bobs password"), std::string::npos);
}

} // namespace
