/* The Quen, package, access, user data and MAC pool table modules: stored
 * forms, soft-delete filtering, the Quen cascade and preview clean-up, the
 * access version copy, the user data key handling and filters, and the MAC
 * address allocation. */
#include "testutil.h"

#include "policydb/access.h"
#include "store/stores.h"
#include "policydb/instance.h"
#include "policydb/macPool.h"
#include "policydb/package.h"
#include "policydb/quen.h"
#include "policydb/userData.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

namespace {

/* Records point at literals in these tests; Add and Update only read them. */
char *S(const char *text) { return const_cast<char *>(text); }

/* Quotes, a statement separator, a comment, a backslash: must all round-trip. */
const char kNasty[] = "it's'); DROP TABLE PolicyDb_Quen; -- \\ \"x\" ''";

template <typename T, void (*Release)(T *)>
struct RecordDeleter {
    void operator()(T *record) const
    {
        Release(record);
        free(record);
    }
};
template <typename T, void (*Release)(T *)>
using Owned = std::unique_ptr<T, RecordDeleter<T, Release>>;

using QuenPtr = Owned<PolDbQuen, PolDb_QuenRelease>;
using PackagePtr = Owned<PolDbPackage, PolDb_PackageRelease>;
using AccessPtr = Owned<PolDbAccess, PolDb_AccessRelease>;
using UserDataPtr = Owned<PolDbUserData, PolDb_UserDataRelease>;
using MacPoolPtr = Owned<PolDbMacPool, PolDb_MacPoolRelease>;

/* An enumeration result freed with the module's array release. */
template <typename T, void (*FreeArray)(T *, int)>
struct Array {
    T *items = nullptr;
    int count = 0;
    ~Array() { FreeArray(items, count); }
};

PolDbPackage Package(const char *quen, const char *uid, bool preview = false)
{
    PolDbPackage p{};
    p.quenUID = S(quen);
    p.packageUID = S(uid);
    p.name = S("package");
    p.protectionKey = S("key");
    p.preview = preview;
    return p;
}

PolDbAccess Access(const char *quen, const char *data, int version, const char *name = "user")
{
    PolDbAccess a{};
    a.quenUID = S(quen);
    a.identityData = S(data);
    a.accVersion = version;
    a.identityType = 1;
    a.identityName = S(name);
    return a;
}

PolDbUserData UserData(const char *quen, const char *package, const char *activator, const char *name,
                       const char *value = "v")
{
    PolDbUserData u{};
    u.quenUID = S(quen);
    u.packageUID = S(package);
    u.activator = S(activator);
    u.name = S(name);
    u.value = S(value);
    u.type = 7;
    return u;
}

PolDbMacPool Pool(const char *uid, const char *quen, int64_t start, int64_t end)
{
    PolDbMacPool p{};
    p.macPoolUID = S(uid);
    p.quenUID = S(quen);
    p.name = S("pool");
    p.description = S("desc");
    p.rangeStart = start;
    p.rangeEnd = end;
    return p;
}

} // namespace

class Tables : public OpenDb {
protected:
    void Commit() { ASSERT_TRUE(Db_Commit(conn_)); }
    void AddQuen(const char *uid, const char *name = "quen")
    {
        PolDbQuen q{S(uid), S(name), 1, 0, 0};
        ASSERT_TRUE(PolDb_QuenAdd(conn_, &q));
    }
    void AddPackage(const char *quen, const char *uid, bool preview = false)
    {
        PolDbPackage p = Package(quen, uid, preview);
        ASSERT_TRUE(PolDb_PackageAdd(conn_, &p));
    }
    /* An instance row written directly (the instance module is not under
     * test here). */
    void RawInstance(const char *uid, const char *package, const char *quen, bool deleted = false)
    {
        Raw(std::string("INSERT INTO PolicyDb_Instance (instanceUID, packageUID, quenUID, creatorIdName, "
                        "creatorAuthType, activationDate, lastPolicyCheck, revocationDate, replacementDate, "
                        "insValidDateStart, insValidDateEnd, deleted) VALUES ('") +
            uid + "', '" + package + "', '" + quen + "', 'c', 0, '0', '0', '0', '0', '0', '0', '" +
            (deleted ? "TRUE" : "FALSE") + "')");
    }
    void RawRuntimePolicy(const char *quen, int version)
    {
        Raw(std::string("INSERT INTO PolicyDb_RuntimePolicy (quenUID, policyVersion, expirationType, expValue_1, "
                        "expValue_2, cacheLifetime, rtpInstType, rtpAuthType, rtpInstanceLimit, "
                        "rtpPerUserInstanceLimit) VALUES ('") +
            quen + "', " + std::to_string(version) + ", 0, '0', '0', '0', 0, 0, 0, 0)");
    }
    std::string Count(const std::string &table, const std::string &where)
    {
        return Scalar("SELECT COUNT(*) FROM " + table + " WHERE " + where);
    }
};

/* ---- Quen ------------------------------------------------------------------ */

TEST_F(Tables, QuenRoundTripsQuotedTextsAndStampsUnpaddedTimes)
{
    PolDbQuen q{S(kNasty), S(kNasty), 3, 0, 0};
    ASSERT_TRUE(PolDb_QuenAdd(conn_, &q));
    Commit();
    EXPECT_EQ(Count("PolicyDb_Quen", "1"), "1");   /* the table survived */

    QuenPtr got(BY_KEY(PolDbQuen, PolDb_QuenGetByPK, conn_, kNasty));
    ASSERT_TRUE(got);
    EXPECT_STREQ(got->quenUID, kNasty);
    EXPECT_STREQ(got->quenName, kNasty);
    EXPECT_EQ(got->activePolicySetVersion, 3);
    EXPECT_GT(got->tsCreated, 0);
    EXPECT_EQ(got->tsCreated, got->tsLastModified);
    EXPECT_EQ(Scalar("SELECT quenTsCreated FROM PolicyDb_Quen"), std::to_string(got->tsCreated));

    PolDbQuen changed{S(kNasty), S("renamed"), 4, 0, 0};
    ASSERT_TRUE(PolDb_QuenUpdate(conn_, &changed));
    Commit();
    QuenPtr after(BY_KEY(PolDbQuen, PolDb_QuenGetByPK, conn_, kNasty));
    ASSERT_TRUE(after);
    EXPECT_STREQ(after->quenName, "renamed");
    EXPECT_EQ(after->activePolicySetVersion, 4);
    EXPECT_EQ(after->tsCreated, got->tsCreated);
    EXPECT_GT(after->tsLastModified, got->tsLastModified);
}

TEST_F(Tables, QuenAddOfATakenUidFailsAndIsLogged)
{
    AddQuen("q1");
    Commit();
    PolDbQuen again{S("q1"), S("other"), 1, 0, 0};
    EXPECT_FALSE(PolDb_QuenAdd(conn_, &again));
    EXPECT_TRUE(log_.Contains("PolDb_QuenAdd: database error while executing SQL statement: "));
    EXPECT_EQ(Scalar("SELECT quenName FROM PolicyDb_Quen WHERE quenUID = 'q1'"), "quen");
}

TEST_F(Tables, DeletedRowsAreInvisibleToEnumerateAndGetByPK)
{
    AddQuen("q1", "one");
    AddQuen("q2", "two");
    AddPackage("q1", "p1");
    AddPackage("q2", "p2");
    ASSERT_TRUE(PolDb_QuenDelete(conn_, "q1"));
    Commit();

    EXPECT_FALSE(QuenPtr(BY_KEY(PolDbQuen, PolDb_QuenGetByPK, conn_, "q1")));
    EXPECT_FALSE(PackagePtr(BY_KEY(PolDbPackage, PolDb_PackageGetByPK, conn_, "p1")));
    EXPECT_EQ(PolDb_QuenOfPackage(conn_, "p1"), nullptr);
    Array<PolDbQuen, PolDb_QuenFreeArray> quens;
    ASSERT_TRUE(PolDb_QuenEnumerate(conn_, nullptr, &quens.items, &quens.count));
    ASSERT_EQ(quens.count, 1);
    EXPECT_STREQ(quens.items[0].quenUID, "q2");
    Array<PolDbPackage, PolDb_PackageFreeArray> packages;
    ASSERT_TRUE(PolDb_PackageEnumerate(conn_, "quenUID = 'q1'", &packages.items, &packages.count));
    EXPECT_EQ(packages.count, 0);
    EXPECT_EQ(packages.items, nullptr);
    /* Soft delete: the rows are still there. */
    EXPECT_EQ(Count("PolicyDb_Quen", "quenUID = 'q1' AND deleted = 'TRUE'"), "1");
    /* An update does not bring a deleted Quen back. */
    PolDbQuen revive{S("q1"), S("back"), 9, 0, 0};
    EXPECT_TRUE(PolDb_QuenUpdate(conn_, &revive));
    Commit();
    EXPECT_EQ(Scalar("SELECT quenName FROM PolicyDb_Quen WHERE quenUID = 'q1'"), "one");
}

TEST_F(Tables, LookupsByKeyTellNoneFromFailed)
{
    AddQuen("q1");
    AddPackage("q1", "p1");
    Commit();
    PolDbQuen *quen = nullptr;
    PolDbPackage *package = nullptr;
    EXPECT_TRUE(PolDb_QuenGetByPK(conn_, "nope", &quen));
    EXPECT_EQ(quen, nullptr);
    EXPECT_TRUE(PolDb_PackageGetByPK(conn_, "nope", &package));
    EXPECT_EQ(package, nullptr);
    bool taken = true;
    EXPECT_TRUE(PolDb_InstanceUidTaken(conn_, "nope", &taken));
    EXPECT_FALSE(taken);
    Commit();

    Raw("DROP TABLE PolicyDb_Quen");
    Raw("DROP TABLE PolicyDb_Package");
    Raw("DROP TABLE PolicyDb_Instance");
    EXPECT_FALSE(PolDb_QuenGetByPK(conn_, "q1", &quen));
    EXPECT_EQ(quen, nullptr);
    EXPECT_FALSE(PolDb_PackageGetByPK(conn_, "p1", &package));
    EXPECT_EQ(package, nullptr);
    EXPECT_FALSE(PolDb_InstanceUidTaken(conn_, "i1", &taken));
}

TEST_F(Tables, CascadeDeleteMarksEverythingOfTheQuenWithOneTimestamp)
{
    for (const char *q : {"qa", "qb"}) {
        AddQuen(q);
        std::string pkg = std::string("p-") + q;
        AddPackage(q, pkg.c_str());
        PolDbUserData u = UserData(q, nullptr, nullptr, "n");
        ASSERT_TRUE(PolDb_UserDataAdd(conn_, &u));
        PolDbAccess a = Access(q, "sid", 1);
        ASSERT_TRUE(PolDb_AccessAdd(conn_, &a));
        std::string pool = std::string("m-") + q;
        PolDbMacPool m = Pool(pool.c_str(), q, 10, 20);
        ASSERT_TRUE(PolDb_MacPoolAdd(conn_, &m));
    }
    Commit();
    RawInstance("i-qa", "p-qa", "qa");
    RawInstance("i-qb", "p-qb", "qb");
    RawRuntimePolicy("qa", 1);
    RawRuntimePolicy("qb", 1);

    ASSERT_TRUE(PolDb_QuenDelete(conn_, "qa"));
    Commit();
    const std::string stamps =
        "SELECT udtTsLastModified AS ts FROM PolicyDb_UserData WHERE quenUID = 'qa' AND deleted = 'TRUE' "
        "UNION ALL SELECT insTsLastModified FROM PolicyDb_Instance WHERE quenUID = 'qa' AND deleted = 'TRUE' "
        "UNION ALL SELECT pkgTsLastModified FROM PolicyDb_Package WHERE quenUID = 'qa' AND deleted = 'TRUE' "
        "UNION ALL SELECT accTsLastModified FROM PolicyDb_Access WHERE quenUID = 'qa' AND deleted = 'TRUE' "
        "UNION ALL SELECT mplTsLastModified FROM PolicyDb_MacPool WHERE quenUID = 'qa' AND deleted = 'TRUE' "
        "UNION ALL SELECT rtpTsLastModified FROM PolicyDb_RuntimePolicy WHERE quenUID = 'qa' AND deleted = 'TRUE' "
        "UNION ALL SELECT quenTsLastModified FROM PolicyDb_Quen WHERE quenUID = 'qa' AND deleted = 'TRUE'";
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM (" + stamps + ")"), "7");
    EXPECT_EQ(Scalar("SELECT COUNT(DISTINCT ts) FROM (" + stamps + ")"), "1");
    std::string stamp = Scalar("SELECT ts FROM (" + stamps + ")");
    EXPECT_GT(PolDb_ParseInt64(stamp.c_str()), 0);

    /* The other Quen is untouched. */
    for (const char *table : {"PolicyDb_UserData", "PolicyDb_Instance", "PolicyDb_Package", "PolicyDb_Access",
                              "PolicyDb_MacPool", "PolicyDb_RuntimePolicy", "PolicyDb_Quen"})
        EXPECT_EQ(Count(table, "quenUID = 'qb' AND deleted = 'FALSE'"), "1") << table;

    /* Deleting again succeeds and keeps the first time. */
    EXPECT_TRUE(PolDb_QuenDelete(conn_, "qa"));
    Commit();
    EXPECT_EQ(Scalar("SELECT COUNT(DISTINCT ts) FROM (" + stamps + ")"), "1");
    EXPECT_EQ(Scalar("SELECT ts FROM (" + stamps + ")"), stamp);
}

TEST_F(Tables, RemovePreviewRemovesOnlyThePreviewPackagesAndAllTheirRows)
{
    AddQuen("q");
    AddQuen("other");
    AddPackage("q", "pv", true);
    AddPackage("q", "pn", false);
    AddPackage("other", "ov", true);
    for (const char *pkg : {"pv", "pn", "ov"}) {
        PolDbUserData u = UserData(nullptr, pkg, nullptr, "live");
        ASSERT_TRUE(PolDb_UserDataAdd(conn_, &u));
        PolDbUserData gone = UserData(nullptr, pkg, nullptr, "gone");
        ASSERT_TRUE(PolDb_UserDataAdd(conn_, &gone));
        ASSERT_TRUE(PolDb_UserDataDelete(conn_, nullptr, pkg, nullptr, "gone"));
    }
    Commit();
    RawInstance("i-pv", "pv", "q");
    RawInstance("i-pv-deleted", "pv", "q", true);
    RawInstance("i-pn", "pn", "q");
    RawInstance("i-ov", "ov", "other");

    ASSERT_TRUE(PolDb_QuenRemovePreview(conn_, "q"));
    Commit();
    /* Nothing is left that names the removed package, not even rows that
     * were already marked deleted. */
    for (const char *table : {"PolicyDb_UserData", "PolicyDb_Instance", "PolicyDb_Package"}) {
        EXPECT_EQ(Count(table, "packageUID = 'pv'"), "0") << table;
        EXPECT_EQ(Count(table, "packageUID = 'pn' AND deleted = 'FALSE'"), "1") << table;
        EXPECT_EQ(Count(table, "packageUID = 'ov' AND deleted = 'FALSE'"), "1") << table;
    }
    EXPECT_EQ(Count("PolicyDb_UserData", "packageUID = 'pn' AND deleted = 'TRUE'"), "1");
    EXPECT_TRUE(PolDb_QuenRemovePreview(conn_, "q"));   /* nothing left to do */
}

/* ---- packages ----------------------------------------------------------------- */

TEST_F(Tables, PackageRoundTripsEveryFieldAndWritesFlagsAsText)
{
    AddQuen("q");
    PolDbPackage p{S("q"), S(kNasty), S(kNasty), true, 1000, 2000, S(kNasty), true, false, 0, 0};
    ASSERT_TRUE(PolDb_PackageAdd(conn_, &p));
    Commit();
    EXPECT_EQ(Scalar("SELECT pkgUseValidDates || pkgDisabled || pkgPreview FROM PolicyDb_Package"), "TRUETRUEFALSE");
    EXPECT_EQ(Scalar("SELECT pkgValidDateStart || '-' || pkgValidDateEnd FROM PolicyDb_Package"), "1000-2000");

    PackagePtr got(BY_KEY(PolDbPackage, PolDb_PackageGetByPK, conn_, kNasty));
    ASSERT_TRUE(got);
    EXPECT_STREQ(got->quenUID, "q");
    EXPECT_STREQ(got->name, kNasty);
    EXPECT_STREQ(got->protectionKey, kNasty);
    EXPECT_TRUE(got->useValidDates);
    EXPECT_EQ(got->validDateStart, 1000);
    EXPECT_EQ(got->validDateEnd, 2000);
    EXPECT_TRUE(got->disabled);
    EXPECT_FALSE(got->preview);
    EXPECT_EQ(got->tsCreated, got->tsLastModified);

    /* The Quen of a package never changes, whatever the record says. */
    PolDbPackage changed{S("elsewhere"), S(kNasty), S("new"), false, 5, 6, nullptr, false, true, 0, 0};
    ASSERT_TRUE(PolDb_PackageUpdate(conn_, &changed));
    Commit();
    PackagePtr after(BY_KEY(PolDbPackage, PolDb_PackageGetByPK, conn_, kNasty));
    ASSERT_TRUE(after);
    EXPECT_STREQ(after->quenUID, "q");
    EXPECT_STREQ(after->name, "new");
    EXPECT_STREQ(after->protectionKey, "");   /* written as NULL */
    EXPECT_FALSE(after->useValidDates);
    EXPECT_TRUE(after->preview);
    EXPECT_EQ(after->validDateEnd, 6);
    EXPECT_EQ(after->tsCreated, got->tsCreated);
    EXPECT_GT(after->tsLastModified, after->tsCreated);

    EXPECT_STREQ(PolDb_QuenOfPackage(conn_, kNasty), "q");
    EXPECT_EQ(PolDb_QuenOfPackage(conn_, "unknown"), nullptr);
    EXPECT_EQ(PolDb_QuenOfPackage(conn_, nullptr), nullptr);
}

/* ---- access ------------------------------------------------------------------ */

TEST_F(Tables, AccessAddRegistersItsKeyAndUsesTheLogicalKey)
{
    AddQuen("q");
    PolDbAccess a = Access("q", kNasty, 1, kNasty);
    a.useInstanceLimit = true;
    a.instanceLimit = 5;
    ASSERT_TRUE(PolDb_AccessAdd(conn_, &a));
    PolDbAccess v2 = Access("q", kNasty, 2);
    ASSERT_TRUE(PolDb_AccessAdd(conn_, &v2));
    Commit();

    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM PolicyDb_LongField l JOIN PolicyDb_Access a ON l.longFieldKey = "
                     "a.accessPK WHERE l.longFieldIndex = 0 AND l.longFieldValue = 'Access' AND "
                     "l.sessionExpires IS NULL AND length(a.accessPK) = 36"),
              "2");
    EXPECT_EQ(Scalar("SELECT COUNT(DISTINCT accessPK) FROM PolicyDb_Access"), "2");

    AccessPtr got(BY_KEY(PolDbAccess, PolDb_AccessGetByPK, conn_, "q", kNasty, 1));
    ASSERT_TRUE(got);
    EXPECT_STREQ(got->identityName, kNasty);
    EXPECT_TRUE(got->useInstanceLimit);
    EXPECT_EQ(got->instanceLimit, 5);
    EXPECT_EQ(got->identityType, 1);

    /* Update and delete touch only the entry of their version. */
    PolDbAccess changed = Access("q", kNasty, 1, "renamed");
    changed.identityType = 2;
    ASSERT_TRUE(PolDb_AccessUpdate(conn_, &changed));
    ASSERT_TRUE(PolDb_AccessDelete(conn_, "q", kNasty, 2));
    Commit();
    AccessPtr v1(BY_KEY(PolDbAccess, PolDb_AccessGetByPK, conn_, "q", kNasty, 1));
    ASSERT_TRUE(v1);
    EXPECT_STREQ(v1->identityName, "renamed");
    EXPECT_EQ(v1->identityType, 2);
    EXPECT_FALSE(v1->useInstanceLimit);
    EXPECT_GT(v1->tsLastModified, v1->tsCreated);
    EXPECT_FALSE(AccessPtr(BY_KEY(PolDbAccess, PolDb_AccessGetByPK, conn_, "q", kNasty, 2)));
    Array<PolDbAccess, PolDb_AccessFreeArray> all;
    ASSERT_TRUE(PolDb_AccessEnumerate(conn_, nullptr, &all.items, &all.count));
    EXPECT_EQ(all.count, 1);
}

namespace {
/* A store seam on the access inserts: counts them, fails the one numbered
 * g_failAtInsert (1-based; 0 for none), and pauses 2 ms before each when
 * g_slowInserts is set, so that the clock moves on between inserts. */
const DbStoreOps *g_realOps;
int g_accessInserts;
int g_failAtInsert;
bool g_slowInserts;

bool SeamExec(DbConnection *conn, const char *sql)
{
    if (strstr(sql, "INSERT INTO PolicyDb_Access")) {
        if (++g_accessInserts == g_failAtInsert) {
            Db_SetError(conn, 1, "injected failure");
            return false;
        }
        if (g_slowInserts)
            usleep(2000);
    }
    return g_realOps->exec(conn, sql);
}

DbConnection *OpenWithSeam(int failAt, bool slow)
{
    static DbStoreOps ops;
    g_realOps = PolDb_SqliteStoreOps();
    ops = *g_realOps;
    ops.exec = SeamExec;
    g_accessInserts = 0;
    g_failAtInsert = failAt;
    g_slowInserts = slow;
    Db_SetStoreOpsOverride(&ops);
    DbConnection *conn = Db_Open();
    Db_SetStoreOpsOverride(nullptr);
    return conn;
}
} // namespace

TEST_F(Tables, AccessCopyVersionStampsCopiesInOrderAndNeverDuplicatesAKey)
{
    AddQuen("q");
    const char *ids[] = {"a", "b", "c"};
    for (const char *id : ids) {
        PolDbAccess a = Access("q", id, 1, id);
        ASSERT_TRUE(PolDb_AccessAdd(conn_, &a));
    }
    Commit();
    /* Copies are stamped from one clock reading, however long they take. */
    DbConnection *slow = OpenWithSeam(0, true);
    ASSERT_NE(slow, nullptr);
    int64_t before = PolDb_Now();
    ASSERT_TRUE(PolDb_AccessCopyVersion(slow, "q", 1, 2));
    EXPECT_EQ(g_accessInserts, 3);
    ASSERT_TRUE(Db_Commit(slow));
    Db_Close(slow);

    Array<PolDbAccess, PolDb_AccessFreeArray> source, copies;
    ASSERT_TRUE(PolDb_AccessEnumerateVersion(conn_, "q", 1, &source.items, &source.count));
    ASSERT_TRUE(PolDb_AccessEnumerateVersion(conn_, "q", 2, &copies.items, &copies.count));
    ASSERT_EQ(source.count, 3);
    ASSERT_EQ(copies.count, 3);
    std::vector<std::pair<int64_t, std::string>> created;
    for (int i = 0; i < copies.count; i++) {
        EXPECT_EQ(copies.items[i].accVersion, 2);
        EXPECT_EQ(copies.items[i].tsCreated, copies.items[i].tsLastModified);
        created.emplace_back(copies.items[i].tsCreated, copies.items[i].identityData);
    }
    std::sort(created.begin(), created.end());
    EXPECT_GT(created[0].first, before);
    EXPECT_EQ(created[1].first, created[0].first + 1);
    EXPECT_EQ(created[2].first, created[0].first + 2);
    /* In the order the source was read. */
    EXPECT_EQ(created[0].second + created[1].second + created[2].second, "abc");
    /* New rows under new keys; the source keeps its rows. */
    EXPECT_EQ(Scalar("SELECT COUNT(DISTINCT accessPK) FROM PolicyDb_Access"), "6");
    EXPECT_EQ(Count("PolicyDb_LongField", "longFieldValue = 'Access'"), "6");

    /* A version without entries copies nothing. */
    EXPECT_TRUE(PolDb_AccessCopyVersion(conn_, "q", 7, 8));
    /* Onto itself, or onto a version that holds one of the identities: no
     * logical key appears twice and the target's own entry stays. */
    EXPECT_TRUE(PolDb_AccessCopyVersion(conn_, "q", 1, 1));
    PolDbAccess kept = Access("q", "b", 3, "kept");
    ASSERT_TRUE(PolDb_AccessAdd(conn_, &kept));
    EXPECT_TRUE(PolDb_AccessCopyVersion(conn_, "q", 1, 3));
    Commit();
    EXPECT_EQ(Count("PolicyDb_Access", "accVersion = 1"), "3");
    EXPECT_EQ(Count("PolicyDb_Access", "accVersion = 3"), "3");
    EXPECT_EQ(Count("PolicyDb_Access", "accVersion = 8"), "0");
    AccessPtr b3(BY_KEY(PolDbAccess, PolDb_AccessGetByPK, conn_, "q", "b", 3));
    ASSERT_TRUE(b3);
    EXPECT_STREQ(b3->identityName, "kept");
}

TEST_F(Tables, AccessAddAllStopsAtTheFirstFailure)
{
    AddQuen("q");
    Commit();
    DbConnection *conn = OpenWithSeam(2, false);
    ASSERT_NE(conn, nullptr);

    PolDbAccess entries[] = {Access("q", "a", 1), Access("q", "b", 1), Access("q", "c", 1)};
    EXPECT_FALSE(PolDb_AccessAddAll(conn, entries, 3));
    EXPECT_EQ(g_accessInserts, 2);   /* the third was never tried */
    EXPECT_TRUE(log_.Contains("PolDb_AccessAdd: database error while executing SQL statement: injected failure"));
    Db_Close(conn);
    /* The failure rolled the first insert back with its key registration. */
    EXPECT_EQ(Count("PolicyDb_Access", "1"), "0");
    EXPECT_EQ(Count("PolicyDb_LongField", "longFieldValue = 'Access'"), "0");

    EXPECT_TRUE(PolDb_AccessAddAll(conn_, entries, 3));
    EXPECT_TRUE(PolDb_AccessAddAll(conn_, nullptr, 0));
    Commit();
    EXPECT_EQ(Count("PolicyDb_Access", "1"), "3");
}

/* ---- user data ------------------------------------------------------------------ */

class UserDataTables : public Tables {
protected:
    void SetUp() override
    {
        Tables::SetUp();
        AddQuen("q");
        AddQuen("q2");
        AddPackage("q", "p");
        AddPackage("q", "p2");
        AddPackage("q2", "other");
    }
    void Add(const char *quen, const char *package, const char *activator, const char *name)
    {
        PolDbUserData u = UserData(quen, package, activator, name);
        ASSERT_TRUE(PolDb_UserDataAdd(conn_, &u)) << name;
    }
    /* The sorted names of a filter's result, or "<failed>". */
    std::string Names(bool exact, const char *quen, const char *package, const char *activator)
    {
        Array<PolDbUserData, PolDb_UserDataFreeArray> found;
        if (!PolDb_UserDataEnumerateFilter(conn_, exact, quen, package, activator, &found.items, &found.count))
            return "<failed>";
        std::vector<std::string> names;
        for (int i = 0; i < found.count; i++)
            names.push_back(found.items[i].name);
        std::sort(names.begin(), names.end());
        std::string joined;
        for (const auto &n : names)
            joined += (joined.empty() ? "" : ",") + n;
        return joined;
    }
};

TEST_F(UserDataTables, AddDerivesTheQuenFromThePackageAndRegistersItsKey)
{
    Add("q2", "p", "", "n");   /* wrong Quen, empty activator */
    Commit();
    EXPECT_EQ(Count("PolicyDb_UserData", "quenUID = 'q' AND packageUID = 'p' AND activator IS NULL"), "1");
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM PolicyDb_LongField l JOIN PolicyDb_UserData u ON l.longFieldKey = "
                     "u.userDataPK WHERE l.longFieldIndex = 0 AND l.longFieldValue = 'UserData' AND "
                     "length(u.userDataPK) = 36"),
              "1");

    PolDbUserData wrong = UserData("q", "nope", nullptr, "n");
    EXPECT_FALSE(PolDb_UserDataAdd(conn_, &wrong));
    EXPECT_TRUE(log_.Contains("PolDb_UserDataAdd: Wrong packageUID 'nope'\n"));
    PolDbUserData nowhere = UserData("", nullptr, "u", "n");
    EXPECT_FALSE(PolDb_UserDataAdd(conn_, &nowhere));
    EXPECT_TRUE(log_.Contains("PolDb_UserDataAdd: quenUid is not set and cannot be implied from packageUid\n"));
    Commit();
    EXPECT_EQ(Count("PolicyDb_UserData", "1"), "1");
    EXPECT_EQ(Count("PolicyDb_LongField", "longFieldValue = 'UserData'"), "1");
}

TEST_F(UserDataTables, KeyPartsMatchByValueOrByNullAndQuotedTextsRoundTrip)
{
    PolDbUserData u = UserData("q", nullptr, kNasty, kNasty, kNasty);
    ASSERT_TRUE(PolDb_UserDataAdd(conn_, &u));
    Commit();
    UserDataPtr got(BY_KEY(PolDbUserData, PolDb_UserDataGetByPK, conn_, "q", "", kNasty, kNasty));
    ASSERT_TRUE(got);
    EXPECT_STREQ(got->value, kNasty);
    EXPECT_STREQ(got->packageUID, "");
    EXPECT_EQ(got->type, 7);
    EXPECT_EQ(got->tsCreated, got->tsLastModified);
    /* A present part never matches a missing one, nor the other way round. */
    EXPECT_FALSE(UserDataPtr(BY_KEY(PolDbUserData, PolDb_UserDataGetByPK, conn_, "q", "p", kNasty, kNasty)));
    EXPECT_FALSE(UserDataPtr(BY_KEY(PolDbUserData, PolDb_UserDataGetByPK, conn_, "q", nullptr, nullptr, kNasty)));
    EXPECT_FALSE(UserDataPtr(BY_KEY(PolDbUserData, PolDb_UserDataGetByPK, conn_, "q2", nullptr, kNasty, kNasty)));

    EXPECT_FALSE(UserDataPtr(BY_KEY(PolDbUserData, PolDb_UserDataGetByPK, conn_, nullptr, "", kNasty, kNasty)));
    EXPECT_TRUE(log_.Contains("PolDb_UserDataGetByPK: quenUid is not set and cannot be implied from packageUid\n"));
    EXPECT_FALSE(PolDb_UserDataDelete(conn_, "", nullptr, kNasty, kNasty));
    EXPECT_TRUE(log_.Contains("PolDb_UserDataRemove: quenUid is not set and cannot be implied from packageUid\n"));
    Commit();
    EXPECT_EQ(Count("PolicyDb_UserData", "deleted = 'FALSE'"), "1");
}

TEST_F(UserDataTables, UpdateAndDeleteThroughThePackageAlone)
{
    Add(nullptr, "p", "u", "n");
    Commit();
    /* Named by package only, as Add accepted it. */
    PolDbUserData changed = UserData(nullptr, "p", "u", "n", "second");
    changed.type = 9;
    ASSERT_TRUE(PolDb_UserDataUpdate(conn_, &changed));
    Commit();
    UserDataPtr got(BY_KEY(PolDbUserData, PolDb_UserDataGetByPK, conn_, nullptr, "p", "u", "n"));
    ASSERT_TRUE(got);
    EXPECT_STREQ(got->quenUID, "q");
    EXPECT_STREQ(got->value, "second");
    EXPECT_EQ(got->type, 9);
    EXPECT_GT(got->tsLastModified, got->tsCreated);

    PolDbUserData orphan = UserData(nullptr, "", "u", "n");
    EXPECT_FALSE(PolDb_UserDataUpdate(conn_, &orphan));
    EXPECT_TRUE(log_.Contains("PolDb_UserDataUpdate: quenUid is not set and cannot be implied from packageUid\n"));

    ASSERT_TRUE(PolDb_UserDataDelete(conn_, "q2", "p", "u", "n"));
    Commit();
    EXPECT_FALSE(UserDataPtr(BY_KEY(PolDbUserData, PolDb_UserDataGetByPK, conn_, "q", "p", "u", "n")));
    EXPECT_EQ(Count("PolicyDb_UserData", "deleted = 'TRUE'"), "1");
    EXPECT_EQ(Names(false, "q", "p", "u"), "");
}

TEST_F(UserDataTables, FilterCombinesQuenPackageAndOwnEntries)
{
    Add("q", nullptr, nullptr, "quen");
    Add("q", "p", nullptr, "package");
    Add("q", nullptr, "u", "userOnQuen");
    Add("q", "p", "u", "userOnPackage");
    Add("q", "p", "v", "otherUser");
    Add("q", "p2", nullptr, "otherPackage");
    Add("q2", nullptr, nullptr, "otherQuen");
    Commit();

    EXPECT_EQ(Names(true, "q", nullptr, nullptr), "quen");
    EXPECT_EQ(Names(true, "q", "p", nullptr), "package");
    EXPECT_EQ(Names(true, nullptr, "p", ""), "package");   /* Quen from the package */
    EXPECT_EQ(Names(true, "q", "p", "u"), "userOnPackage");
    EXPECT_EQ(Names(true, "q", nullptr, "u"), "userOnQuen");

    EXPECT_EQ(Names(false, "q", nullptr, nullptr), "quen");
    EXPECT_EQ(Names(false, "q", "p", nullptr), "package,quen");
    EXPECT_EQ(Names(false, "q", nullptr, "u"), "quen,userOnQuen");
    EXPECT_EQ(Names(false, "q", "p", "u"), "package,quen,userOnPackage,userOnQuen");
    EXPECT_EQ(Names(false, "q2", "p", "u"), "package,quen,userOnPackage,userOnQuen");
    EXPECT_EQ(Names(false, "q", "p", kNasty), "package,quen");

    EXPECT_EQ(Names(false, nullptr, "unknown", "u"), "<failed>");
    EXPECT_TRUE(
        log_.Contains("PolDb_UserDataEnumerateFilter: quenUid is not set and cannot be implied from packageUid\n"));
}

/* ---- MAC pools ---------------------------------------------------------------------- */

class MacPools : public Tables {
protected:
    void SetUp() override
    {
        Tables::SetUp();
        AddQuen("q");
        AddQuen("q2");
    }
    void Add(const char *uid, const char *quen, int64_t start, int64_t end)
    {
        PolDbMacPool p = Pool(uid, quen, start, end);
        ASSERT_TRUE(PolDb_MacPoolAdd(conn_, &p)) << uid;
    }
    std::string Next(const char *quen = "q")
    {
        int64_t address = PolDb_MacPoolAllocateAddress(conn_, quen);
        if (address == 0)
            return "none";
        char *text = PolDb_MacToString(address);
        std::string out = text;
        free(text);
        return out;
    }
};

TEST_F(MacPools, AddStartsEmptyAndTheReaderNeverGoesBelowTheRange)
{
    PolDbMacPool p = Pool(kNasty, "q", 100, 200);
    p.lastAssigned = 5;
    p.name = S(kNasty);
    p.description = S(kNasty);
    ASSERT_TRUE(PolDb_MacPoolAdd(conn_, &p));
    Commit();
    EXPECT_EQ(Scalar("SELECT rangeStart || ',' || rangeEnd || ',' || lastAssigned FROM PolicyDb_MacPool"),
              "100,200,99");
    Raw("UPDATE PolicyDb_MacPool SET lastAssigned = '3'");
    MacPoolPtr got(BY_KEY(PolDbMacPool, PolDb_MacPoolGetByPK, conn_, kNasty));
    ASSERT_TRUE(got);
    EXPECT_STREQ(got->name, kNasty);
    EXPECT_STREQ(got->description, kNasty);
    EXPECT_EQ(got->lastAssigned, 99);
    EXPECT_EQ(PolDb_MacPoolAllocateAddress(conn_, "q"), 100);
    Commit();
    EXPECT_EQ(Scalar("SELECT lastAssigned FROM PolicyDb_MacPool"), "100");
}

TEST_F(MacPools, HandsOutEveryAddressOnceInOrderThenReportsExhaustion)
{
    Add("only", "q", PolDb_MacFromString("02:00:00:00:00:00"), PolDb_MacFromString("02:00:00:00:00:02"));
    Commit();
    EXPECT_EQ(Next(), "02:00:00:00:00:00");
    EXPECT_EQ(Next(), "02:00:00:00:00:01");
    Commit();
    /* The state lives in the database: a new connection continues. */
    DbConnection *other = Db_Open();
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(PolDb_MacPoolAllocateAddress(other, "q"), PolDb_MacFromString("02:00:00:00:00:02"));
    ASSERT_TRUE(Db_Commit(other));
    Db_Close(other);
    EXPECT_EQ(Next(), "none");
    EXPECT_EQ(Next(), "none");
    Commit();
    EXPECT_EQ(Scalar("SELECT lastAssigned FROM PolicyDb_MacPool"),
              std::to_string(PolDb_MacFromString("02:00:00:00:00:02")));
}

TEST_F(MacPools, PoolsAreUsedInUidOrderAndOnlyTheQuensLivePools)
{
    Add("B", "q", 1000, 1001);
    Add("A", "q", 500, 500);   /* one address */
    Add("0-deleted", "q", 1, 100);
    Add("0-other", "q2", 1, 100);
    ASSERT_TRUE(PolDb_MacPoolDelete(conn_, "0-deleted"));
    Commit();
    EXPECT_EQ(PolDb_MacPoolAllocateAddress(conn_, "q"), 500);
    EXPECT_EQ(PolDb_MacPoolAllocateAddress(conn_, "q"), 1000);   /* A is full */
    EXPECT_EQ(PolDb_MacPoolAllocateAddress(conn_, "q"), 1001);
    EXPECT_EQ(PolDb_MacPoolAllocateAddress(conn_, "q"), 0);
    EXPECT_EQ(PolDb_MacPoolAllocateAddress(conn_, "nobody"), 0);
    EXPECT_EQ(PolDb_MacPoolAllocateAddress(conn_, kNasty), 0);
    Commit();
    MacPoolPtr other(BY_KEY(PolDbMacPool, PolDb_MacPoolGetByPK, conn_, "0-other"));
    ASSERT_TRUE(other);
    EXPECT_EQ(other->lastAssigned, 0);
    EXPECT_FALSE(MacPoolPtr(BY_KEY(PolDbMacPool, PolDb_MacPoolGetByPK, conn_, "0-deleted")));
    Array<PolDbMacPool, PolDb_MacPoolFreeArray> pools;
    ASSERT_TRUE(PolDb_MacPoolEnumerateByQuen(conn_, "q", &pools.items, &pools.count));
    ASSERT_EQ(pools.count, 2);
    EXPECT_STREQ(pools.items[0].macPoolUID, "A");
    EXPECT_STREQ(pools.items[1].macPoolUID, "B");
}

TEST_F(MacPools, InvalidRangesAreRefusedAndNothingIsWritten)
{
    struct Case {
        int64_t start, end;
    } cases[] = {
        {PolDb_MacFromString("02-00-00-00-00-01"), PolDb_MacFromString("02:00:00:00:00:09")},   /* malformed: 0 */
        {PolDb_MacFromString("02:00:00:00:00:01"), PolDb_MacFromString("02:00:00:00:00:0")},    /* 16 characters */
        {10, 9},                                                                             /* start after end */
        {1, POLDB_MAC_MAX + 1},                                                              /* beyond 48 bits */
        {INT64_MIN, 5},
    };
    for (const Case &c : cases) {
        PolDbMacPool p = Pool("bad", "q", c.start, c.end);
        EXPECT_FALSE(PolDb_MacPoolAdd(conn_, &p)) << c.start << " " << c.end;
    }
    EXPECT_EQ(log_.Count("PolDb_MacPoolAdd: Invalid MAC address range "), 5);
    /* The whole 48-bit space is usable, up to its last address. */
    Add("full", "q", POLDB_MAC_MAX, POLDB_MAC_MAX);
    EXPECT_EQ(PolDb_MacPoolAllocateAddress(conn_, "q"), POLDB_MAC_MAX);
    EXPECT_EQ(PolDb_MacPoolAllocateAddress(conn_, "q"), 0);

    /* Update keeps the invariant rangeStart - 1 <= lastAssigned <= rangeEnd. */
    PolDbMacPool p = Pool("full", "q", 10, 20);
    p.lastAssigned = 21;
    EXPECT_FALSE(PolDb_MacPoolUpdate(conn_, &p));
    p.lastAssigned = 8;
    EXPECT_FALSE(PolDb_MacPoolUpdate(conn_, &p));
    EXPECT_EQ(log_.Count("PolDb_MacPoolUpdate: Invalid MAC address range 10 - 20, last assigned "), 2);
    p.lastAssigned = 9;
    EXPECT_TRUE(PolDb_MacPoolUpdate(conn_, &p));
    Commit();
    EXPECT_EQ(Count("PolicyDb_MacPool", "1"), "1");
    EXPECT_EQ(PolDb_MacPoolAllocateAddress(conn_, "q"), 10);
}

TEST_F(MacPools, CorruptStoredRangesAreSkippedWithoutOverflow)
{
    Add("z-good", "q", 50, 60);
    Commit();
    Raw("INSERT INTO PolicyDb_MacPool (macPoolUID, quenUID, rangeStart, rangeEnd, lastAssigned) VALUES "
        "('a-min', 'q', '-9223372036854775808', '9223372036854775807', '-9223372036854775808'), "
        "('b-huge', 'q', '99999999999999999999', '99999999999999999999', '0'), "
        "('c-text', 'q', 'junk', '12', 'junk'), "
        "('d-full', 'q', '1', '9223372036854775807', '9223372036854775807')");
    MacPoolPtr min(BY_KEY(PolDbMacPool, PolDb_MacPoolGetByPK, conn_, "a-min"));
    ASSERT_TRUE(min);
    EXPECT_EQ(min->lastAssigned, INT64_MIN);
    EXPECT_EQ(PolDb_MacPoolAllocateAddress(conn_, "q"), 50);
    EXPECT_TRUE(log_.Contains("PolDb_MacPoolAllocateAddress: Skipping MAC pool 'a-min' with invalid range "));
    EXPECT_TRUE(log_.Contains("Skipping MAC pool 'b-huge'"));
    EXPECT_TRUE(log_.Contains("Skipping MAC pool 'c-text'"));
    EXPECT_TRUE(log_.Contains("Skipping MAC pool 'd-full'"));
    Commit();
    EXPECT_EQ(Count("PolicyDb_MacPool", "lastAssigned = '50' AND macPoolUID = 'z-good'"), "1");
    EXPECT_EQ(Count("PolicyDb_MacPool", "lastAssigned = 'junk'"), "1");
}
