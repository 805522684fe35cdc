/* Quens, packages and policy sets in-process: the per-request lookup
 * tables, policy set resolution and publishing, instance state, counting
 * and inherited windows, package admission, and the method rows of the
 * exported table against a temporary installation. */
#include "method_fixture.h"

#include "policydb/access.h"
#include "store/stores.h"
#include "service/instanceState.h"
#include "frame/lookupCache.h"
#include "service/packageMethods.h"
#include "service/policySets.h"

#include <climits>
#include <ctime>
#include <functional>

using namespace quensc_test;

namespace {

/* ---- a store that counts and fails statements on demand ---------------------- */

std::vector<std::string> g_queries;  /* every SELECT run since the last clear */
std::string g_failQueriesWith;       /* a query containing this text fails */
DbStoreOps g_ops;

bool CountingQuery(DbConnection *conn, const char *sql, DbResultSet **rs)
{
    g_queries.push_back(sql);
    if (!g_failQueriesWith.empty() && strstr(sql, g_failQueriesWith.c_str())) {
        Db_SetError(conn, 1, "injected query failure");
        return false;
    }
    return PolDb_SqliteStoreOps()->query(conn, sql, rs);
}

int Queries(const std::string &needle)
{
    int n = 0;
    for (const std::string &q : g_queries)
        n += q.find(needle) != std::string::npos;
    return n;
}

/* ---- request values ------------------------------------------------------------ */

struct Policy {
    int instType = 0, authType = 0, useInstanceLimit = 0, instanceLimit = 0;
    int usePerUserInstanceLimit = 0, perUserInstanceLimit = 0, expType = 0;
    int64_t expValue1 = 0, expValue2 = 0, sessionLifetime = -1;
    int copyPolicy = 0;
};

/* 64-bit members go out as decimal texts, one of their two wire forms. */
xmlrpc_value *PolicyStruct(const Policy &p)
{
    auto t = [](int64_t v) { return std::to_string(v); };
    return Build("{s:i,s:i,s:i,s:i,s:i,s:i,s:i,s:s,s:s,s:s,s:i}", "instType", p.instType, "authType", p.authType,
                 "useInstanceLimit", p.useInstanceLimit, "instanceLimit", p.instanceLimit, "usePerUserInstanceLimit",
                 p.usePerUserInstanceLimit, "perUserInstanceLimit", p.perUserInstanceLimit, "expType", p.expType,
                 "expValue_1", t(p.expValue1).c_str(), "expValue_2", t(p.expValue2).c_str(), "sessionLifetime",
                 t(p.sessionLifetime).c_str(), "copyPolicy", p.copyPolicy);
}

struct Package {
    std::string uuid, quen, name = "package";
    int useValidDates = 0;
    int64_t start = 0, end = 0;
    std::string key = "the key";
    int disabled = 0, preview = 0;
};

xmlrpc_value *PackageStruct(const Package &p)
{
    return Build("{s:s,s:s,s:s,s:i,s:s,s:s,s:s,s:i,s:i}", "uuid", p.uuid.c_str(), "quen_uuid", p.quen.c_str(),
                 "name", p.name.c_str(), "useValidDates", p.useValidDates, "validDateStart",
                 std::to_string(p.start).c_str(), "validDateEnd", std::to_string(p.end).c_str(), "key", p.key.c_str(),
                 "disabled", p.disabled, "preview", p.preview);
}

/* ---- the fixture ---------------------------------------------------------------- */

/* A started server whose store counts the queries it runs. */
class Service : public MethodFixture {
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(MethodFixture::SetUp());
        g_ops = *PolDb_SqliteStoreOps();
        g_ops.query = CountingQuery;
        Db_SetStoreOpsOverride(&g_ops);
        g_queries.clear();
        g_failQueriesWith.clear();
    }
    void TearDown() override
    {
        g_failQueriesWith.clear();
        MethodFixture::TearDown();
    }
    void CreatePackage(const Package &p) { ASSERT_EQ(Code("PackageCreate", {S(admin_), PackageStruct(p)}), 0); }
    /* Quen q1 with the ordinary package p1 and the preview package pp. */
    void CreateQuenWithPackages()
    {
        CreateQuen("q1");
        CreatePackage({"p1", "q1"});
        Package preview{"pp", "q1"};
        preview.preview = 1;
        CreatePackage(preview);
    }
    void Store(const std::string &quen, const Policy &p, const std::string &client = "client",
               const std::string &host = "host")
    {
        ASSERT_EQ(Code("PolicyStore", {S(admin_), S(quen), S(client), S(host), PolicyStruct(p)}), 0) << host_.All();
    }
    std::string Window(const std::string &uid)
    {
        return Column(uid, "insUseValidDates || ' ' || CAST(insValidDateStart AS INTEGER) || ' ' || "
                           "CAST(insValidDateEnd AS INTEGER)");
    }
};

/* ---- lookup tables ----------------------------------------------------------------- */

TEST_F(Service, LookupTablesCacheHitsOnlyAndKeepPolicyVariantsApart)
{
    CreateQuen("q1", "first");
    CreatePackage({"p1", "q1"});
    i_ctx *ctx = Context();
    g_queries.clear();

    EXPECT_EQ(QuenScLookupQuen(ctx, "unknown"), nullptr);
    EXPECT_EQ(QuenScLookupQuen(ctx, "unknown"), nullptr);
    EXPECT_EQ(Queries("FROM PolicyDb_Quen"), 2) << "a miss is read again";

    const PolDbQuen *q = QuenScLookupQuen(ctx, "q1");
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(QuenScLookupQuen(ctx, "q1"), q);
    EXPECT_EQ(QuenScLookupQuen(ctx, "Q1"), nullptr) << "keys are case-sensitive";
    EXPECT_EQ(Queries("FROM PolicyDb_Quen"), 4);
    EXPECT_EQ(QuenScLookupPackage(ctx, "p1"), QuenScLookupPackage(ctx, "p1"));
    EXPECT_EQ(Queries("FROM PolicyDb_Package"), 1);

    const PolDbRuntimePolicy *withLong = QuenScLookupPolicy(ctx, "q1", 1, true);
    const PolDbRuntimePolicy *without = QuenScLookupPolicy(ctx, "q1", 1, false);
    ASSERT_NE(withLong, nullptr);
    ASSERT_NE(without, nullptr);
    EXPECT_NE(withLong, without);
    EXPECT_EQ(Hash_Lookup(ctx->policyLut, "q1 - 1-1"), withLong);
    EXPECT_EQ(Hash_Lookup(ctx->policyLut, "q1 - 1-0"), without);
    EXPECT_EQ(QuenScLookupPolicy(ctx, "q1", 1, true), withLong);
    EXPECT_EQ(Queries("FROM PolicyDb_RuntimePolicy"), 2);

    /* Copies in request memory outlive a reset; borrowed records do not. */
    const char *name = nullptr;
    int active = -1;
    ASSERT_TRUE(QuenScGetQuenInfo(ctx, "q1", nullptr, &name, &active));
    EXPECT_STREQ(name, "first");
    EXPECT_EQ(active, 1);
    PolDbQuen renamed{const_cast<char *>("q1"), const_cast<char *>("second"), 1, 0, 0};
    ASSERT_TRUE(PolDb_QuenUpdate(ctx->conn, &renamed));
    EXPECT_STREQ(QuenScLookupQuen(ctx, "q1")->quenName, "first") << "cached for the rest of the request";
    ASSERT_EQ(QuenScLutReset(ctx), 0);
    EXPECT_EQ(Hash_Count(ctx->policyLut), 0);
    EXPECT_STREQ(QuenScLookupQuen(ctx, "q1")->quenName, "second");
    EXPECT_STREQ(name, "first");

    EXPECT_FALSE(QuenScGetPolicyInfo(ctx, "q1", 0, false, nullptr, nullptr, nullptr, nullptr));
    EXPECT_FALSE(Logged("Failed to retrieve policy set for quen: q1 (0)")) << "version 0 misses silently";
    EXPECT_FALSE(QuenScGetPolicyInfo(ctx, "q1", 9, false, nullptr, nullptr, nullptr, nullptr));
    EXPECT_TRUE(Logged("Failed to retrieve policy set for quen: q1 (9)"));
}

TEST_F(Service, PolicyVersionResolutionRepairsOnlyTheMissingWorkingRow)
{
    CreateQuen("q1");
    i_ctx *ctx = Context();
    int version = -1;
    EXPECT_EQ(QuenScGetPolicyVersion(ctx, "nope", false, false, &version), QUENSC_QUEN_DOES_NOT_EXIST);
    EXPECT_EQ(version, 0);
    EXPECT_TRUE(Logged("Failed to find quen: nope"));
    EXPECT_EQ(QuenScGetPolicyVersion(ctx, "q1", true, false, &version), 0);
    EXPECT_EQ(version, 2);

    Sql("DELETE FROM PolicyDb_RuntimePolicy WHERE quenUID = 'q1' AND policyVersion = 2");
    ctx = Context();
    EXPECT_EQ(QuenScGetPolicyVersion(ctx, "q1", true, true, &version), 0) << host_.All();
    EXPECT_EQ(version, 2);
    EXPECT_TRUE(Logged("Could not find policy version 2"));
    EXPECT_TRUE(Logged("Created missing policy version 2"));
    ASSERT_TRUE(Db_Commit(ctx->conn));
    EXPECT_EQ(Scalar("SELECT published FROM PolicyDb_RuntimePolicy WHERE quenUID = 'q1' AND policyVersion = 2"),
              "FALSE");

    /* The current row missing: creating would give version 3, never 1. */
    Sql("DELETE FROM PolicyDb_RuntimePolicy WHERE quenUID = 'q1' AND policyVersion = 1");
    ctx = Context();
    EXPECT_EQ(QuenScGetPolicyVersion(ctx, "q1", false, false, &version), QUENSC_INTERNAL);
    EXPECT_TRUE(Logged("Unexpected version number returned by creation: 3"));
    ASSERT_TRUE(Db_Commit(ctx->conn));
    EXPECT_EQ(Scalar("SELECT MAX(policyVersion) FROM PolicyDb_RuntimePolicy WHERE quenUID = 'q1'"), "2")
        << "no stray version is left behind";

    /* The last active version an int holds has no working version after it. */
    Sql("UPDATE PolicyDb_Quen SET activePolicySetVersion = 2147483647 WHERE quenUID = 'q1'");
    ctx = Context();
    EXPECT_EQ(QuenScGetPolicyVersion(ctx, "q1", true, false, &version), QUENSC_INTERNAL);
    EXPECT_EQ(version, 0);
    EXPECT_TRUE(Logged("Quen q1 has no policy version after 2147483647"));
    EXPECT_FALSE(Logged("-2147483648")) << "never a version from an overflowed sum";
    EXPECT_EQ(QuenScGetPolicyVersion(ctx, "q1", false, false, &version), QUENSC_INTERNAL);
    EXPECT_EQ(version, INT_MAX) << "the current version is still named, though its row is missing";
}

TEST_F(Service, ReadOnlyMethodRepairsAMissingWorkingSetInAWriteTransaction)
{
    CreateQuen("q1");
    Sql("DELETE FROM PolicyDb_RuntimePolicy WHERE quenUID = 'q1' AND policyVersion = 2");
    EXPECT_EQ(Call("PolicyAdminRetrieve", {S(admin_), S("q1"), I(1)})[0].text, "0") << host_.All();
    EXPECT_TRUE(Logged("Created missing policy version 2"));
    EXPECT_EQ(Scalar("SELECT published FROM PolicyDb_RuntimePolicy WHERE quenUID = 'q1' AND policyVersion = 2"),
              "FALSE");
}

TEST_F(Service, PolicySetRefusesAWrongPublishedFlagAndRecordsTheVersion)
{
    CreateQuen("q1");
    Store("q1", Policy{}, "client text", "host text");
    i_ctx *ctx = Context();
    const char *client = nullptr, *host = nullptr;
    QuenScPolicyRecord policy{};
    bool published = false;
    ASSERT_EQ(QuenScGetPolicySet(ctx, "q1", true, &client, &host, &policy, &published), 0);
    EXPECT_STREQ(client, "client text");
    EXPECT_STREQ(host, "host text");
    EXPECT_FALSE(published);
    EXPECT_EQ(policy.sessionLifetime, -1);
    EXPECT_EQ(ctx->event->policyVersion, 2);

    Sql("UPDATE PolicyDb_RuntimePolicy SET published = 'TRUE' WHERE policyVersion = 2");
    Sql("UPDATE PolicyDb_RuntimePolicy SET published = 'FALSE' WHERE policyVersion = 1");
    ctx = Context();
    EXPECT_EQ(QuenScGetPolicySet(ctx, "q1", true, nullptr, nullptr, &policy, nullptr), QUENSC_INTERNAL);
    EXPECT_TRUE(Logged("Found error in quen policy: policy set: 2 - q1 has incorrect published flag 1"));
    EXPECT_EQ(ctx->event->policyVersion, 2);
    EXPECT_EQ(QuenScGetPolicySet(ctx, "q1", false, nullptr, nullptr, &policy, nullptr), QUENSC_INTERNAL);
    EXPECT_TRUE(Logged("Found error in quen policy: policy set: 1 - q1 has incorrect published flag 0"));
    EXPECT_EQ(ctx->event->policyVersion, 1);
}

/* ---- policy sets through the method rows ------------------------------------------ */

TEST_F(Service, PublishCopiesTheSetItsLongTextsAndItsAccessEntries)
{
    CreateQuen("q1");
    std::string longText(5000, 'x');
    Policy p;
    p.instType = 1;
    p.authType = 2;
    p.useInstanceLimit = 1;
    p.instanceLimit = 7;
    p.expType = 2;
    p.expValue1 = 100;
    p.expValue2 = INT64_C(9000000000);
    p.sessionLifetime = 3600;
    p.copyPolicy = 2;
    Store("q1", p, longText, "host");

    DbConnection *conn = Db_Open();
    for (const char *who : {"S-1-5-21-1", "S-1-5-21-2"}) {
        PolDbAccess a{const_cast<char *>("q1"), const_cast<char *>(who), 2, 0, const_cast<char *>(who), true, 3,
                      0, 0};
        ASSERT_TRUE(PolDb_AccessAdd(conn, &a));
    }
    ASSERT_TRUE(Db_Commit(conn));

    ASSERT_EQ(Code("PolicyPublish", {S(admin_), S("q1")}), 0) << host_.All();
    EXPECT_EQ(Scalar("SELECT activePolicySetVersion FROM PolicyDb_Quen WHERE quenUID = 'q1'"), "2");
    EXPECT_EQ(Scalar("SELECT published FROM PolicyDb_RuntimePolicy WHERE policyVersion = 2"), "TRUE");
    EXPECT_EQ(Scalar("SELECT published FROM PolicyDb_RuntimePolicy WHERE policyVersion = 3"), "FALSE");

    auto current = Call("PolicyAdminRetrieve", {S(admin_), S("q1"), I(0)});
    auto working = Call("PolicyAdminRetrieve", {S(admin_), S("q1"), I(1)});
    ASSERT_EQ(current.size(), 4u);
    ASSERT_EQ(working.size(), 4u);
    EXPECT_EQ(current[1].text, longText);
    EXPECT_EQ(working[1].text, longText);
    EXPECT_EQ(working[3].members, current[3].members);
    EXPECT_EQ(current[3].members["expValue_2"], "9000000000");
    EXPECT_EQ(current[3].members["instanceLimit"], "7");

    PolDbAccess *entries = nullptr;
    int count = 0;
    ASSERT_TRUE(PolDb_AccessEnumerateVersion(conn, "q1", 3, &entries, &count));
    ASSERT_EQ(count, 2);
    EXPECT_EQ(entries[0].identityType + entries[1].identityType, 0);
    EXPECT_EQ(entries[0].instanceLimit, 3);
    PolDb_AccessFreeArray(entries, count);
    Db_Close(conn);

    EXPECT_EQ(Scalar("SELECT policyVersion FROM PolicyDb_Event WHERE eventType = 5040"), "2");
    EXPECT_EQ(Scalar("SELECT messageParams FROM PolicyDb_Event WHERE eventType = 5040"), "2");
    EXPECT_EQ(Scalar("SELECT quenUID FROM PolicyDb_Event WHERE eventType = 5040"), "q1");
    EXPECT_EQ(Code("PolicyPublish", {S(admin_), S("nope")}), QUENSC_QUEN_DOES_NOT_EXIST);
    EXPECT_TRUE(Logged("Failed to find quen (nope)"));
}

/* ---- instance state, counting, windows ------------------------------------------------ */

PolDbInstance Record(int64_t start, int64_t end)
{
    PolDbInstance r{};
    r.instanceUID = const_cast<char *>("i1");
    r.useValidDates = true;
    r.validDateStart = start;
    r.validDateEnd = end;
    return r;
}

TEST(InstanceState, BitsActiveTestAndTtl)
{
    RecordingHost host; /* initialises APR for the pool below */
    const int64_t now = 1000000;
    PolDbInstance r = Record(0, INT64_MAX);
    EXPECT_EQ(QuenScInstanceRunState(&r, now), 0);
    r.revocationDate = now + 1;
    EXPECT_EQ(QuenScInstanceRunState(&r, now), 0) << "revocation not reached yet";
    r.revocationDate = now;
    EXPECT_EQ(QuenScInstanceRunState(&r, now), QUENSC_INSTANCE_REVOKED);
    r.revocationDate = 0;
    r.replacementDate = now;
    EXPECT_EQ(QuenScInstanceRunState(&r, now), QUENSC_INSTANCE_REPLACED);
    r.revocationDate = now + 100; /* a later revocation does not hide the replacement */
    EXPECT_EQ(QuenScInstanceRunState(&r, now), QUENSC_INSTANCE_REPLACED);
    r.replacementDate = now + 1;
    r.revocationDate = 0;
    EXPECT_EQ(QuenScInstanceRunState(&r, now), 0);

    r = Record(now, now);
    EXPECT_EQ(QuenScInstanceRunState(&r, now), 0) << "both ends are inside";
    EXPECT_EQ(QuenScInstanceTtl(&r, now), 0);
    EXPECT_EQ(QuenScInstanceRunState(&r, now + 1), QUENSC_INSTANCE_NOT_VALID);
    EXPECT_EQ(QuenScInstanceRunState(&r, now - 1), QUENSC_INSTANCE_NOT_VALID);
    r.useValidDates = false;
    EXPECT_EQ(QuenScInstanceRunState(&r, now + 1), QUENSC_INSTANCE_NOT_VALID) << "tested without useValidDates";
    EXPECT_EQ(QuenScInstanceTtl(&r, now + 1), -1);

    r = Record(now - 10, now + 50);
    EXPECT_EQ(QuenScInstanceTtl(&r, now), 50);
    EXPECT_EQ(QuenScInstanceTtl(&r, now + 51), 0);
    r.validDateEnd = INT64_MAX;
    EXPECT_EQ(QuenScInstanceTtl(&r, now), INT64_MAX - now);
    r.validDateStart = INT64_MIN;
    EXPECT_EQ(QuenScInstanceTtl(&r, -5), INT64_MAX) << "clamped, not overflowed";

    EXPECT_TRUE(QuenScInstanceStateIsActive(QUENSC_INSTANCE_PASSWORD_SET));
    EXPECT_FALSE(QuenScInstanceStateIsActive(QUENSC_INSTANCE_NOT_VALID | QUENSC_INSTANCE_PASSWORD_SET));

    apr_pool_t *pool = nullptr;
    apr_pool_create(&pool, nullptr);
    r = Record(0, INT64_MAX);
    std::string empty = Hash("i1", "");
    r.password = empty.data();
    EXPECT_EQ(QuenScInstanceState(pool, &r, now), 0);
    std::string other = Hash("i1", "secret");
    r.password = other.data();
    EXPECT_EQ(QuenScInstanceState(pool, &r, now), QUENSC_INSTANCE_PASSWORD_SET);
    r.password = nullptr;
    EXPECT_EQ(QuenScInstanceState(pool, &r, now), QUENSC_INSTANCE_PASSWORD_SET) << "no hash counts as set";
    r.password = const_cast<char *>("");
    r.revocationDate = 1;
    EXPECT_EQ(QuenScInstanceState(pool, &r, now), QUENSC_INSTANCE_PASSWORD_SET | QUENSC_INSTANCE_REVOKED);
    apr_pool_destroy(pool);
}

struct Window {
    bool use;
    int64_t start, end;
};

Window Expiration(int type, int64_t v1, int64_t v2, int64_t activation)
{
    Window w{};
    QuenScExpirationFromPolicy(type, v1, v2, activation, &w.use, &w.start, &w.end);
    return w;
}

TEST(Expiration, DaysCountFromTheUtcDayOfActivation)
{
    RecordingHost host;
    const int64_t day = INT64_C(19723) * 86400; /* 2024-01-01 00:00:00 UTC */
    Window w = Expiration(1, 1, 0, day + 10 * 3600);
    EXPECT_TRUE(w.use);
    EXPECT_EQ(w.start, day + 10 * 3600);
    EXPECT_EQ(w.end, day + 86400 - 60) << "23:59:00 of the activation day";
    EXPECT_EQ(Expiration(1, 1, 0, day).end, day + 86400 - 60);
    EXPECT_EQ(Expiration(1, 1, 0, day + 86399).end, day + 86400 - 60) << "the last second still counts as day 1";
    EXPECT_EQ(Expiration(1, 1, 0, day + 86400).end, day + 2 * 86400 - 60);
    EXPECT_EQ(Expiration(1, 30, 0, day + 1).end, day + 30 * 86400 - 60);
    EXPECT_EQ(Expiration(1, 0, 0, day + 5).end, day - 60);
    EXPECT_EQ(Expiration(1, 1, 0, 0).end, 86400 - 60);
    EXPECT_EQ(host.All(), "") << "no fallback for ordinary dates";

    /* No overflow for absurd day counts: the end is clamped. */
    EXPECT_EQ(Expiration(1, INT64_MAX, 0, day).end, INT64_MAX);
    EXPECT_EQ(Expiration(1, INT64_MAX / 86400, 0, day).end, INT64_MAX);
    EXPECT_EQ(Expiration(1, INT64_MIN, 0, day).end, INT64_MIN);
    EXPECT_EQ(Expiration(1, -1, 0, day).end, day - 86400 - 60);

    /* Where APR has no calendar day, the activation date stands in without
     * the 60 seconds. */
    EXPECT_EQ(Expiration(1, 2, 0, -3600).end, -3600 + 2 * 86400);
    EXPECT_NE(host.All().find("apr_time_exp_get() failed: "), std::string::npos);
    EXPECT_EQ(Expiration(1, 1, 0, INT64_MAX - 5).end, INT64_MAX);
    EXPECT_EQ(Expiration(1, -1, 0, INT64_MIN + 5).end, INT64_MIN);
    EXPECT_NE(host.All().find("apr_time_exp_lt() failed: "), std::string::npos);

    w = Expiration(0, 5, 6, day);
    EXPECT_FALSE(w.use);
    EXPECT_EQ(w.start, 0);
    EXPECT_EQ(w.end, INT64_MAX);
    w = Expiration(2, 5, 6, day);
    EXPECT_TRUE(w.use);
    EXPECT_EQ(w.start, 5);
    EXPECT_EQ(w.end, 6);
    w = Expiration(7, 5, 6, day);
    EXPECT_TRUE(w.use);
    EXPECT_EQ(w.start, 0);
    EXPECT_EQ(w.end, 0);

    QuenScPolicyRecord a{}, b{};
    a.expType = b.expType = 1;
    b.expValue2 = 9;
    EXPECT_FALSE(QuenScExpirationSettingsDiffer(&a, &b)) << "type 1 only looks at the day count";
    b.expValue1 = 1;
    EXPECT_TRUE(QuenScExpirationSettingsDiffer(&a, &b));
    a.expType = b.expType = 0;
    EXPECT_FALSE(QuenScExpirationSettingsDiffer(&a, &b));
    a.expType = b.expType = 2;
    EXPECT_TRUE(QuenScExpirationSettingsDiffer(&a, &b));
}

/* ---- argument reading ------------------------------------------------------------ */

/* A read function names the objects of the arguments it could read in the
 * audit event, so that a refused call still shows what it aimed at; what
 * follows an unreadable argument is neither read nor named. */
TEST_F(Service, AnUnreadableArgumentKeepsWhatTheArgumentsBeforeItNamed)
{
    auto cred = [] { return Build("{s:i}", "type", 0); };
    const std::string &id = admin_;
    const struct {
        const char *method;
        std::function<int()> call;
        int eventType;
        const char *named; /* Quen|package|instance|parameters, "-" for none */
    } cases[] = {
        {"AccessAdd", [&] { return Code("AccessAdd", {S(id), S("q1"), I(5)}); }, QUENSC_EVT_ACCESS_ADD, "q1|-|-|"},
        /* Names nobody, whatever was read. */
        {"AccessRemove", [&] { return Code("AccessRemove", {S(id), S("q1"), I(5)}); }, QUENSC_EVT_ACCESS_REMOVE,
         "q1|-|-|USER\t\t"},
        {"InstanceCreate", [&] { return Code("InstanceCreate", {S(id), cred(), S("pk"), I(3)}); },
         QUENSC_EVT_INSTANCE_CREATE, "-|pk|-|type = NULL"},
        {"InstanceCopy",
         [&] { return Code("InstanceCopy", {S(id), cred(), cred(), S("src"), S("k"), S("c"), S("1")}); },
         QUENSC_EVT_INSTANCE_COPY, "-|-|src|type = NULL\ttype = NULL"},
        {"InstanceEnable", [&] { return Code("InstanceEnable", {S(id), cred(), I(1), S("i1")}); },
         QUENSC_EVT_INSTANCE_ENABLE, "-|-|-|"},
        {"InstanceEnable", [&] { return Code("InstanceEnable", {S(id), cred(), cred(), I(4)}); },
         QUENSC_EVT_INSTANCE_ENABLE, "-|-|-|type = NULL\ttype = NULL"},
        {"PolicyRetrieve", [&] { return Code("PolicyRetrieve", {S(id), S("pk"), S("i1"), S("1")}); },
         QUENSC_EVT_POLICY_ADMIN, "-|pk|i1|"},
        {"PackageCreate", [&] { return Code("PackageCreate", {S(id), Struct({{"uuid", "pk"}})}); },
         QUENSC_EVT_PACKAGE_CREATE, "-|-|-|"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.call(), QUENSC_INTERNAL) << c.method;
        EXPECT_EQ(Scalar("SELECT COALESCE(NULLIF(quenUID, ''), '-') || '|' || COALESCE(NULLIF(packageUID, ''), "
                         "'-') || '|' || COALESCE(NULLIF(instanceUID, ''), '-') || '|' || messageParams FROM "
                         "PolicyDb_Event WHERE eventType = " + std::to_string(c.eventType) +
                         " ORDER BY CAST(eventUID AS INTEGER) DESC LIMIT 1"),
                  c.named)
            << c.method;
    }
}

TEST_F(Service, CountingAndDestroyLookOnlyAtActiveOrdinaryInstances)
{
    CreateQuenWithPackages();
    int64_t now = time(nullptr);
    AddInstance({"active-a", "p1", "alice"});
    AddInstance({"active-b", "p1", "bob"});
    AddInstance({"revoked", "p1", "alice", 1000, 5000});
    InstanceRow expired{"expired", "p1", "alice"};
    expired.end = now - 10;
    AddInstance(expired);
    AddInstance({"replaced", "p1", "alice", 1000, 0, 5000});
    InstanceRow later{"revoked-later", "p1", "alice", 1000, now + 3600};
    AddInstance(later);
    InstanceRow pv{"preview", "pp", "alice"};
    pv.preview = true;
    AddInstance(pv);

    i_ctx *ctx = Context();
    int count = -1;
    ASSERT_EQ(QuenScCountActiveInstances(ctx, "q1", nullptr, &count), 0);
    EXPECT_EQ(count, 3);
    ASSERT_EQ(QuenScCountActiveInstances(ctx, "q1", "alice", &count), 0);
    EXPECT_EQ(count, 2);
    ASSERT_EQ(QuenScCountActiveInstances(ctx, "q1", "o'hara", &count), 0);
    EXPECT_EQ(count, 0);
    DropContext();

    EXPECT_EQ(Code("QuenDestroy", {S(admin_), S("q1")}), QUENSC_HAS_VALID_INSTANCES);
    /* An unreadable instance table must not let the Quen go. */
    g_failQueriesWith = "FROM PolicyDb_Instance";
    EXPECT_EQ(Code("QuenDestroy", {S(admin_), S("q1")}), QUENSC_INTERNAL);
    EXPECT_TRUE(Logged("Error enumerating instances in db: injected query failure"));
    g_failQueriesWith.clear();
    Sql("UPDATE PolicyDb_Instance SET revocationDate = '00000000000000001000' WHERE instanceUID LIKE '%active%' "
        "OR instanceUID = 'revoked-later'");
    EXPECT_EQ(Code("QuenDestroy", {S(admin_), S("q1")}), 0) << host_.All();
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM PolicyDb_Instance WHERE deleted = 'FALSE'"), "0");
    EXPECT_EQ(Code("QuenInfo", {S(admin_), S("q1")}), QUENSC_QUEN_DOES_NOT_EXIST);
    EXPECT_EQ(Scalar("SELECT messageParams FROM PolicyDb_Event WHERE eventType = 2020 "
                     "ORDER BY CAST(eventUID AS INTEGER) DESC"),
              "a quen");
}

TEST_F(Service, PublishAndStoreCarryExpirationToInheritingInstances)
{
    CreateQuenWithPackages();
    const int64_t day = INT64_C(19723) * 86400;
    AddInstance({"inherits", "p1", "a", day + 3600});
    InstanceRow own{"own", "p1", "a", day + 3600};
    own.inherits = false;
    own.useValidDates = true;
    own.start = 5;
    own.end = 6;
    AddInstance(own);
    InstanceRow pv{"preview", "pp", "a", day + 3600};
    pv.preview = true;
    AddInstance(pv);

    Policy p;
    p.expType = 2;
    p.expValue1 = 100;
    p.expValue2 = 200;
    Store("q1", p);
    EXPECT_EQ(Window("preview"), "TRUE 100 200") << "a stored working set moves preview instances";
    EXPECT_EQ(Window("inherits"), "FALSE 0 9223372036854775807");
    ASSERT_EQ(Code("PolicyPublish", {S(admin_), S("q1")}), 0) << host_.All();
    EXPECT_EQ(Window("inherits"), "TRUE 100 200");
    EXPECT_EQ(Window("own"), "TRUE 5 6");

    p.expType = 1;
    p.expValue1 = 3;
    Store("q1", p);
    ASSERT_EQ(Code("PolicyPublish", {S(admin_), S("q1")}), 0) << host_.All();
    EXPECT_EQ(Window("inherits"), "TRUE " + std::to_string(day + 3600) + " " + std::to_string(day + 3 * 86400 - 60));
    EXPECT_EQ(Window("preview"), Window("inherits"));

    /* Only the end of a type-1 set changes: instances are left alone. */
    Sql("UPDATE PolicyDb_Instance SET insValidDateEnd = '00000000000000000777' WHERE instanceUID = 'inherits'");
    p.expValue2 = 999;
    Store("q1", p);
    ASSERT_EQ(Code("PolicyPublish", {S(admin_), S("q1")}), 0);
    EXPECT_EQ(Window("inherits"), "TRUE " + std::to_string(day + 3600) + " 777");

    /* A failed instance read rolls the publish back and says so. */
    p.expValue1 = 4;
    Store("q1", p);
    g_failQueriesWith = "inheritsExpiration='TRUE'";
    EXPECT_EQ(Code("PolicyPublish", {S(admin_), S("q1")}), QUENSC_INTERNAL);
    g_failQueriesWith.clear();
    EXPECT_TRUE(Logged("Error doing bulk update of instance expiration date"));
    EXPECT_EQ(Scalar("SELECT activePolicySetVersion FROM PolicyDb_Quen"), "4");
    EXPECT_EQ(Scalar("SELECT published FROM PolicyDb_RuntimePolicy WHERE policyVersion = 5"), "FALSE");
}

/* ---- packages ------------------------------------------------------------------------------ */

TEST_F(Service, PackageAdmissionBoundsAndFlags)
{
    CreateQuen("q1");
    Package window{"w", "q1"};
    window.useValidDates = 1;
    window.start = 1000;
    window.end = 2000;
    CreatePackage(window);
    Package ignored{"ignored", "q1"};
    ignored.start = 5000;
    ignored.end = 10;
    CreatePackage(ignored);
    Package disabled{"off", "q1"};
    disabled.disabled = 1;
    disabled.preview = 1;
    CreatePackage(disabled);

    i_ctx *ctx = Context();
    const char *quen = nullptr, *key = nullptr;
    bool preview = true;
    EXPECT_EQ(QuenScPackageAdmissionAt(ctx, "w", 1000, &quen, &key, &preview), 0);
    EXPECT_STREQ(quen, "q1");
    EXPECT_STREQ(key, "the key");
    EXPECT_FALSE(preview);
    EXPECT_EQ(QuenScPackageAdmissionAt(ctx, "w", 2000, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(QuenScPackageAdmissionAt(ctx, "w", 2001, nullptr, nullptr, nullptr), QUENSC_PACKAGE_EXPIRED);
    EXPECT_EQ(QuenScPackageAdmissionAt(ctx, "w", 999, nullptr, nullptr, nullptr), QUENSC_PACKAGE_EXPIRED);
    EXPECT_EQ(QuenScPackageAdmission(ctx, "ignored", nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(QuenScPackageAdmission(ctx, "off", nullptr, nullptr, nullptr), QUENSC_PACKAGE_DISABLED);
    EXPECT_EQ(QuenScPackageAdmission(ctx, "nope", nullptr, nullptr, nullptr), QUENSC_PACKAGE_DOES_NOT_EXIST);
    EXPECT_TRUE(Logged("Failed to find package to verify: nope"));
}

TEST(PackageText, ValidityInAsctimeLayoutWithItsNewlines)
{
    RecordingHost host; /* initialises APR for the pool below */
    const char *saved = getenv("TZ");
    std::string keep = saved ? saved : "";
    setenv("TZ", "UTC0", 1);
    tzset();
    apr_pool_t *pool = nullptr;
    apr_pool_create(&pool, nullptr);
    EXPECT_STREQ(QuenScPackageValidityText(pool, 0, 0, 0), "");
    EXPECT_STREQ(QuenScPackageValidityText(pool, 1, 0, 2 * 86400 + 3 * 3600 + 4 * 60 + 5),
                 "valid from Thu Jan  1 00:00:00 1970\n to Sat Jan  3 03:04:05 1970\n, ");
    /* Years asctime has no room for, and dates no calendar holds. */
    EXPECT_STREQ(QuenScPackageValidityText(pool, 1, INT64_C(253402300800), INT64_MAX),
                 "valid from Sat Jan  1 00:00:00 10000\n to 9223372036854775807\n, ");
    apr_pool_destroy(pool);
    if (saved)
        setenv("TZ", keep.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

} // namespace
