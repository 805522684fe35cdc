/* The instance module and the instance query on SQLite: padded 64-bit
 * columns, the package's Quen on add, soft delete, the custom field
 * metadata, the bulk validity update, clearing a custom field, and queries
 * with conditions, sorting, paging and counting over real rows. */
#include "testutil.h"

#include "policydb/instance.h"
#include "policydb/instanceQuery.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace {

char *T(const char *text) { return const_cast<char *>(text); }

/* An instance filled with the test's own texts (not owned). */
PolDbInstance Sample(const char *uid, const char *package = "p1")
{
    PolDbInstance r{};
    r.instanceUID = T(uid);
    r.packageUID = T(package);
    r.quenUID = T("wrong-quen");
    r.creatorIdName = T("alice");
    r.creatorIdData = T("CN=alice,DC=example");
    r.creatorAuthType = 2;
    r.activationDate = INT64_C(1700000000);
    r.lastPolicyCheck = INT64_C(1700000100);
    r.revocationDate = 0;
    r.replacementDate = INT64_C(5000000000); /* beyond 32 bits */
    r.inheritsExpiration = true;
    r.useValidDates = true;
    r.validDateStart = INT64_C(1690000000);
    r.validDateEnd = INT64_C(1710000000);
    r.password = T("pa'ss");
    r.hostName = T("host-1");
    r.hostIp = T("10.0.0.1");
    r.protectionKey = T("key");
    r.copyProtectionId = nullptr;
    r.preview = false;
    r.guestIpAddress = T("192.168.0.2");
    r.guestMacAddress = T("02:00:00:AB:CD:EF");
    r.guestMachineName = T("guest");
    r.guestConfigStatus = 3;
    r.guestConfigMsg = T("done");
    static const char *customs[] = {"c1", "c2", "c3", "c4", "c5", "c6", "c7", "c8", "c9"};
    for (int i = 0; i < POLDB_INSTANCE_CUSTOM_FIELDS; i++)
        r.custom[i] = T(customs[i]);
    return r;
}

} // namespace

class InstanceTable : public OpenDb {
protected:
    void Seed() override
    {
        Raw("INSERT INTO PolicyDb_Quen (quenUID, quenName, activePolicySetVersion) VALUES ('q1', 'Quen One', 1);"
            "INSERT INTO PolicyDb_Quen (quenUID, quenName, activePolicySetVersion) VALUES ('q2', 'Quen Two', 1);"
            "INSERT INTO PolicyDb_Package (quenUID, packageUID, pkgName, pkgValidDateStart, pkgValidDateEnd) "
            "VALUES ('q1', 'p1', 'Alpha', '0', '0');"
            "INSERT INTO PolicyDb_Package (quenUID, packageUID, pkgName, pkgValidDateStart, pkgValidDateEnd) "
            "VALUES ('q2', 'p2', 'Beta', '0', '0')");
    }
    void Add(const PolDbInstance &r)
    {
        ASSERT_TRUE(PolDb_InstanceAdd(conn_, &r));
        ASSERT_TRUE(Db_Commit(conn_));
    }
    std::string Column(const std::string &column, const std::string &uid)
    {
        return Scalar("SELECT " + column + " FROM PolicyDb_Instance WHERE instanceUID = '" + uid + "'");
    }
};

TEST_F(InstanceTable, AddStoresPaddedValuesAndThePackagesQuen)
{
    PolDbInstance r = Sample("i1");
    Add(r);
    EXPECT_EQ(Column("activationDate", "i1"), "00000000001700000000");
    EXPECT_EQ(Column("replacementDate", "i1"), "00000000005000000000");
    EXPECT_EQ(Column("revocationDate", "i1"), "00000000000000000000");
    EXPECT_EQ(Column("length(insTsCreated)", "i1"), "20");
    EXPECT_EQ(Column("insTsCreated = insTsLastModified", "i1"), "1");
    EXPECT_EQ(Column("quenUID", "i1"), "q1");
    EXPECT_EQ(Column("copyProtectionId IS NULL", "i1"), "1");
    EXPECT_EQ(Column("deleted", "i1"), "FALSE");

    PolDbInstance *got = BY_KEY(PolDbInstance, PolDb_InstanceGetByPK, conn_, "i1");
    ASSERT_NE(got, nullptr);
    EXPECT_STREQ(got->instanceUID, "i1");
    EXPECT_STREQ(got->packageUID, "p1");
    EXPECT_STREQ(got->quenUID, "q1");
    EXPECT_STREQ(got->creatorIdData, "CN=alice,DC=example");
    EXPECT_EQ(got->creatorAuthType, 2);
    EXPECT_EQ(got->activationDate, INT64_C(1700000000));
    EXPECT_EQ(got->lastPolicyCheck, INT64_C(1700000100));
    EXPECT_EQ(got->replacementDate, INT64_C(5000000000));
    EXPECT_TRUE(got->inheritsExpiration);
    EXPECT_TRUE(got->useValidDates);
    EXPECT_EQ(got->validDateStart, INT64_C(1690000000));
    EXPECT_EQ(got->validDateEnd, INT64_C(1710000000));
    EXPECT_STREQ(got->password, "pa'ss");
    EXPECT_STREQ(got->copyProtectionId, "");
    EXPECT_FALSE(got->preview);
    EXPECT_STREQ(got->guestMacAddress, "02:00:00:AB:CD:EF");
    EXPECT_EQ(got->guestConfigStatus, 3);
    EXPECT_STREQ(got->guestConfigMsg, "done");
    EXPECT_GT(got->tsCreated, INT64_C(1000000000000000));
    EXPECT_EQ(got->tsCreated, got->tsLastModified);
    EXPECT_STREQ(got->custom[0], "c1");
    EXPECT_STREQ(got->custom[8], "c9");
    PolDb_InstanceFree(got);
}

TEST_F(InstanceTable, AddWithUnknownPackageFailsAndRollsBack)
{
    PolDbInstance r = Sample("i-bad", "no-such-package");
    EXPECT_FALSE(PolDb_InstanceAdd(conn_, &r));
    EXPECT_TRUE(log_.Contains("PolDb_InstanceAdd: database error while executing SQL statement"));
    r.packageUID = nullptr;
    EXPECT_FALSE(PolDb_InstanceAdd(conn_, &r));
    EXPECT_TRUE(Db_Commit(conn_));
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM PolicyDb_Instance"), "0");
}

TEST_F(InstanceTable, UpdateWritesEveryColumnButTheCreationTime)
{
    Add(Sample("i1"));
    std::string created = Column("insTsCreated", "i1");
    PolDbInstance r = Sample("i1");
    r.quenUID = T("q2"); /* written as given */
    r.hostName = nullptr;
    r.activationDate = INT64_C(-1);
    r.preview = true;
    r.custom[4] = T("new'5");
    ASSERT_TRUE(PolDb_InstanceUpdate(conn_, &r));
    ASSERT_TRUE(Db_Commit(conn_));
    EXPECT_EQ(Column("quenUID", "i1"), "q2");
    EXPECT_EQ(Column("hostName IS NULL", "i1"), "1");
    EXPECT_EQ(Column("insPreview", "i1"), "TRUE");
    EXPECT_EQ(Column("insCustom5", "i1"), "new'5");
    EXPECT_EQ(Column("insTsCreated", "i1"), created);
    EXPECT_GT(Column("insTsLastModified", "i1"), created);

    PolDbInstance *got = BY_KEY(PolDbInstance, PolDb_InstanceGetByPK, conn_, "i1");
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->activationDate, -1);
    EXPECT_STREQ(got->hostName, "");
    PolDb_InstanceFree(got);
}

TEST_F(InstanceTable, DeleteIsSoftAndHidesTheRow)
{
    Add(Sample("i1"));
    Add(Sample("i2"));
    std::string modified = Column("insTsLastModified", "i1");
    ASSERT_TRUE(PolDb_InstanceDelete(conn_, "i1"));
    ASSERT_TRUE(Db_Commit(conn_));
    EXPECT_EQ(Column("deleted", "i1"), "TRUE");
    EXPECT_GT(Column("insTsLastModified", "i1"), modified);
    EXPECT_EQ(BY_KEY(PolDbInstance, PolDb_InstanceGetByPK, conn_, "i1"), nullptr);

    /* Deleting again or an unknown UID changes nothing. */
    std::string stamp = Column("insTsLastModified", "i1");
    EXPECT_TRUE(PolDb_InstanceDelete(conn_, "i1"));
    EXPECT_TRUE(PolDb_InstanceDelete(conn_, "nobody' OR '1'='1"));
    ASSERT_TRUE(Db_Commit(conn_));
    EXPECT_EQ(Column("insTsLastModified", "i1"), stamp);
    EXPECT_EQ(Column("deleted", "i2"), "FALSE");

    /* An update does not revive a deleted row. */
    PolDbInstance r = Sample("i1");
    r.hostName = T("revived");
    EXPECT_TRUE(PolDb_InstanceUpdate(conn_, &r));
    ASSERT_TRUE(Db_Commit(conn_));
    EXPECT_EQ(Column("hostName", "i1"), "host-1");

    PolDbInstance *all = nullptr;
    int count = -1;
    ASSERT_TRUE(PolDb_InstanceEnumerate(conn_, nullptr, &all, &count));
    ASSERT_EQ(count, 1);
    EXPECT_STREQ(all[0].instanceUID, "i2");
    PolDb_InstanceFreeArray(all, count);

    ASSERT_TRUE(PolDb_InstanceEnumerate(conn_, "hostName = 'none'", &all, &count));
    EXPECT_EQ(count, 0);
    EXPECT_EQ(all, nullptr);
    EXPECT_FALSE(PolDb_InstanceEnumerate(conn_, "no_such_column = 1", &all, &count));
    EXPECT_EQ(count, 0);
    EXPECT_EQ(all, nullptr);
    EXPECT_TRUE(log_.Contains("PolDb_InstanceEnumerate: database error"));
}

TEST_F(InstanceTable, CustomFieldNamesAndFlags)
{
    const char **names = nullptr;
    bool *readOnly = nullptr;
    ASSERT_TRUE(PolDb_InstanceGetCustomFields(conn_, &names, &readOnly));
    for (int i = 0; i < POLDB_INSTANCE_CUSTOM_FIELDS; i++) {
        EXPECT_STREQ(names[i], "");
        EXPECT_FALSE(readOnly[i]);
    }

    const char *newNames[] = {"Cost centre", "Owner's name", "", "d", "e", "f", "g", "h", "Last"};
    bool flags[] = {true, false, true, false, false, false, false, false, true};
    ASSERT_TRUE(PolDb_InstanceSetCustomFields(conn_, newNames, flags));
    ASSERT_TRUE(Db_Commit(conn_));
    ASSERT_TRUE(PolDb_InstanceGetCustomFields(conn_, &names, &readOnly));
    for (int i = 0; i < POLDB_INSTANCE_CUSTOM_FIELDS; i++) {
        EXPECT_STREQ(names[i], newNames[i]) << i;
        EXPECT_EQ(readOnly[i], flags[i]) << i;
    }

    /* Names only: the flags stay. A null name reads back as "". */
    const char *renamed[] = {"A", nullptr, "C", "D", "E", "F", "G", "H", "I"};
    ASSERT_TRUE(PolDb_InstanceSetCustomFields(conn_, renamed, nullptr));
    ASSERT_TRUE(PolDb_InstanceGetCustomFields(conn_, &names, nullptr));
    EXPECT_STREQ(names[0], "A");
    EXPECT_STREQ(names[1], "");
    ASSERT_TRUE(PolDb_InstanceGetCustomFields(conn_, &names, &readOnly));
    EXPECT_TRUE(readOnly[0]);
    EXPECT_TRUE(readOnly[8]);
    ASSERT_TRUE(Db_Commit(conn_));

    /* A missing metadata row fails the read with both outputs null. */
    Raw("DELETE FROM PolicyDb_MetaInfo WHERE name = 'insCustom7ReadOnly'");
    EXPECT_FALSE(PolDb_InstanceGetCustomFields(conn_, &names, &readOnly));
    EXPECT_EQ(names, nullptr);
    EXPECT_EQ(readOnly, nullptr);
    /* The flags are checked also when the caller wants the names only. */
    EXPECT_FALSE(PolDb_InstanceGetCustomFields(conn_, &names, nullptr));
    EXPECT_EQ(names, nullptr);
    ASSERT_TRUE(Db_Commit(conn_));
    Raw("INSERT INTO PolicyDb_MetaInfo (name, value) VALUES ('insCustom7ReadOnly', 'true')");
    Raw("DELETE FROM PolicyDb_MetaInfo WHERE name = 'insCustom1Name'");
    EXPECT_FALSE(PolDb_InstanceGetCustomFields(conn_, &names, &readOnly));
    EXPECT_EQ(names, nullptr);
    EXPECT_EQ(readOnly, nullptr);
    ASSERT_TRUE(Db_Commit(conn_));
    Raw("INSERT INTO PolicyDb_MetaInfo (name, value) VALUES ('insCustom1Name', 'back')");
    ASSERT_TRUE(PolDb_InstanceGetCustomFields(conn_, &names, &readOnly));
    EXPECT_STREQ(names[0], "back");
    EXPECT_TRUE(readOnly[6]) << "flags are read ignoring case";
    EXPECT_FALSE(PolDb_InstanceSetCustomFields(conn_, nullptr, flags));
}

TEST_F(InstanceTable, BulkValidityUpdateTouchesOnlyInheritingLiveInstancesOfTheQuen)
{
    PolDbInstance r = Sample("match");
    Add(r);
    r = Sample("other-quen", "p2");
    Add(r);
    r = Sample("own-expiry");
    r.inheritsExpiration = false;
    Add(r);
    r = Sample("preview");
    r.preview = true;
    Add(r);
    r = Sample("deleted");
    Add(r);
    ASSERT_TRUE(PolDb_InstanceDelete(conn_, "deleted"));

    ASSERT_TRUE(PolDb_InstanceUpdateValidDates(conn_, "q1", false, false, INT64_C(4102444800), INT64_C(-5)));
    ASSERT_TRUE(Db_Commit(conn_));
    EXPECT_EQ(Column("insUseValidDates || insValidDateStart || ':' || insValidDateEnd", "match"),
              "FALSE00000000004102444800:-0000000000000000005");
    for (const char *untouched : {"other-quen", "own-expiry", "preview", "deleted"})
        EXPECT_EQ(Column("insUseValidDates || insValidDateStart", untouched), "TRUE00000000001690000000")
            << untouched;

    ASSERT_TRUE(PolDb_InstanceUpdateValidDates(conn_, "q1", true, true, 1, 2));
    ASSERT_TRUE(Db_Commit(conn_));
    EXPECT_EQ(Column("insValidDateEnd", "preview"), "00000000000000000002");
    EXPECT_EQ(Column("insValidDateEnd", "match"), "-0000000000000000005");

    /* A quote in the Quen UID is data, not SQL. */
    ASSERT_TRUE(PolDb_InstanceUpdateValidDates(conn_, "x' OR '1'='1", true, true, 7, 7));
    ASSERT_TRUE(Db_Commit(conn_));
    EXPECT_EQ(Column("insValidDateEnd", "preview"), "00000000000000000002");
}

TEST_F(InstanceTable, ClearCustomFieldEmptiesOneFieldAndItsName)
{
    Add(Sample("i1"));
    Add(Sample("i2", "p2"));
    Add(Sample("gone"));
    ASSERT_TRUE(PolDb_InstanceDelete(conn_, "gone"));
    const char *names[] = {"N1", "N2", "N3", "N4", "N5", "N6", "N7", "N8", "N9"};
    ASSERT_TRUE(PolDb_InstanceSetCustomFields(conn_, names, nullptr));

    ASSERT_TRUE(PolDb_InstanceClearCustomField(conn_, 0));
    ASSERT_TRUE(Db_Commit(conn_));
    EXPECT_EQ(Column("insCustom1", "i1"), "");
    EXPECT_EQ(Column("insCustom1 IS NULL", "i2"), "0");
    EXPECT_EQ(Column("insCustom1", "i2"), "");
    EXPECT_EQ(Column("insCustom1", "gone"), "c1");
    EXPECT_EQ(Column("insCustom2", "i1"), "c2");
    EXPECT_EQ(Scalar("SELECT value FROM PolicyDb_MetaInfo WHERE name = 'insCustom1Name'"), "");
    EXPECT_EQ(Scalar("SELECT value FROM PolicyDb_MetaInfo WHERE name = 'insCustom2Name'"), "N2");

    ASSERT_TRUE(PolDb_InstanceClearCustomField(conn_, 8));
    ASSERT_TRUE(Db_Commit(conn_));
    EXPECT_EQ(Column("insCustom9", "i2"), "");
    EXPECT_EQ(Scalar("SELECT value FROM PolicyDb_MetaInfo WHERE name = 'insCustom9Name'"), "");

    for (int bad : {-1, 9, 1000}) {
        EXPECT_FALSE(PolDb_InstanceClearCustomField(conn_, bad));
        EXPECT_TRUE(log_.Contains("PolDb_InstanceClearCustomField: custom field index " + std::to_string(bad)));
    }
    EXPECT_EQ(Column("insCustom2", "i1"), "c2");
}

/* ---- queries over real rows ------------------------------------------------ */

class InstanceQueryDb : public InstanceTable {
protected:
    void SetUp() override
    {
        InstanceTable::SetUp();
        /* Five instances; activation dates 100..500, i3 and i4 share one. */
        const struct {
            const char *uid, *package, *host, *msg;
            int64_t activation;
        } rows[] = {
            {"i1", "p1", "alpha", "50% done", 100}, {"i2", "p1", "Beta", "500 done", 200},
            {"i3", "p2", "gamma", "all_done", 300}, {"i4", "p2", "delta", "allXdone", 300},
            {"i5", "p1", "ALPHA-2", "none", 500},
        };
        for (const auto &row : rows) {
            PolDbInstance r = Sample(row.uid, row.package);
            r.hostName = T(row.host);
            r.guestConfigMsg = T(row.msg);
            r.activationDate = row.activation;
            Add(r);
        }
        Add(Sample("dead"));
        ASSERT_TRUE(PolDb_InstanceDelete(conn_, "dead"));
        ASSERT_TRUE(Db_Commit(conn_));
    }
    std::vector<std::string> Uids(const PolDbInstanceQuery &q)
    {
        PolDbInstance *rows = nullptr;
        int count = 0;
        std::vector<std::string> uids;
        EXPECT_TRUE(PolDb_InstanceQuery(conn_, &q, &rows, &count));
        for (int i = 0; i < count; i++)
            uids.emplace_back(rows[i].instanceUID);
        PolDb_InstanceFreeArray(rows, count);
        int total = -1;
        EXPECT_TRUE(PolDb_InstanceQueryCount(conn_, &q, &total));
        if (q.pageSize == 0) {
            EXPECT_EQ(total, count);
        }
        return uids;
    }
    using V = std::vector<std::string>;
};

TEST_F(InstanceQueryDb, DefaultOrderIsNewestActivationFirst)
{
    PolDbInstanceQuery q{};
    V uids = Uids(q);
    ASSERT_EQ(uids.size(), 5u);
    EXPECT_EQ(uids[0], "i5");
    EXPECT_EQ(uids[4], "i1");

    /* Package name descending; within a package newest activation first
     * (i3 and i4 share both, so their order is the database's). */
    q.sort[0] = {4, 1};
    V byPackage = Uids(q);
    ASSERT_EQ(byPackage.size(), 5u);
    EXPECT_EQ(V(byPackage.begin() + 2, byPackage.end()), (V{"i5", "i2", "i1"}));
    EXPECT_NE(byPackage[0], byPackage[1]);
    for (int i = 0; i < 2; i++)
        EXPECT_TRUE(byPackage[i] == "i3" || byPackage[i] == "i4");

    q.sort[0] = {1, 0};
    EXPECT_EQ(Uids(q), (V{"i1", "i2", "i3", "i4", "i5"}));
}

TEST_F(InstanceQueryDb, ConditionsSelectTheRightRows)
{
    PolDbInstanceQuery q{};
    q.sort[0] = {1, 0};
    q.activationDate = {7, 200, 500}; /* 200 <= date < 500 */
    EXPECT_EQ(Uids(q), (V{"i2", "i3", "i4"}));
    q.activationDate = {8, 200, 500};
    EXPECT_EQ(Uids(q), (V{"i2", "i3", "i4", "i5"}));
    q.activationDate = {2, 300, 0};
    EXPECT_EQ(Uids(q), (V{"i1", "i2"}));

    q = {};
    q.sort[0] = {1, 0};
    q.hostName = {6, "alpha%", nullptr}; /* case-insensitive */
    EXPECT_EQ(Uids(q), (V{"i1", "i5"}));
    q.hostName = {};
    q.guestConfigMsg = {6, "50\\%%", nullptr}; /* a literal percent sign */
    EXPECT_EQ(Uids(q), (V{"i1"}));
    q.guestConfigMsg = {6, "all\\_done", nullptr}; /* a literal underscore */
    EXPECT_EQ(Uids(q), (V{"i3"}));
    q.guestConfigMsg = {6, "all_done", nullptr};
    EXPECT_EQ(Uids(q), (V{"i3", "i4"}));

    q = {};
    q.sort[0] = {1, 0};
    q.packageName = {1, "Beta", nullptr};
    EXPECT_EQ(Uids(q), (V{"i3", "i4"}));
    q.packageName = {};
    q.quenName = {1, "Quen One", nullptr};
    EXPECT_EQ(Uids(q), (V{"i1", "i2", "i5"}));
    const char *list[] = {"i2", "i4", "dead", "x' OR '1'='1", nullptr};
    q.uid = {9, list};
    EXPECT_EQ(Uids(q), (V{"i2"}));
    const char *none[] = {nullptr};
    q = {};
    q.uid = {9, none};
    EXPECT_EQ(Uids(q), V{});
}

TEST_F(InstanceQueryDb, PagesAndCountsOnSqlite)
{
    PolDbInstanceQuery q{};
    q.sort[0] = {1, 1};
    q.pageSize = 2;
    q.pageStart = 0;
    EXPECT_EQ(Uids(q), (V{"i5", "i4"}));
    q.pageStart = 2;
    EXPECT_EQ(Uids(q), (V{"i3", "i2"}));
    q.pageStart = 4;
    EXPECT_EQ(Uids(q), (V{"i1"}));
    q.pageStart = 5;
    EXPECT_EQ(Uids(q), V{});

    int total = 0;
    q.hostName = {6, "%a%", nullptr};
    ASSERT_TRUE(PolDb_InstanceQueryCount(conn_, &q, &total));
    EXPECT_EQ(total, 5);
    q.hostName = {1, "nobody", nullptr};
    ASSERT_TRUE(PolDb_InstanceQueryCount(conn_, &q, &total));
    EXPECT_EQ(total, 0);

    /* A query that the database refuses fails with count -1 / 0. */
    ASSERT_TRUE(Db_Commit(conn_));
    Raw("DROP TABLE PolicyDb_Quen");
    PolDbInstance *rows = nullptr;
    int count = 0;
    EXPECT_FALSE(PolDb_InstanceQuery(conn_, &q, &rows, &count));
    EXPECT_EQ(count, -1);
    EXPECT_EQ(rows, nullptr);
    total = 7;
    /* A count without a name clause reads the instance table alone. */
    Raw("DROP TABLE PolicyDb_Instance");
    EXPECT_FALSE(PolDb_InstanceQueryCount(conn_, &q, &total));
    EXPECT_EQ(total, 0);
}
