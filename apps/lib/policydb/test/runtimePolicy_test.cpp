/* Runtime policy versions on SQLite: creating versions as copies with their
 * access entries, documents at the 2000-character boundary moving to long
 * fields and back, updates keeping, replacing and removing long fields, and
 * 64-bit values. */
#include "testutil.h"

#include "policydb/longField.h"
#include "policydb/runtimePolicy.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

/* A record returned by the module, freed at the end of the scope. */
struct Policy {
    PolDbRuntimePolicy *p = nullptr;
    Policy() = default;
    explicit Policy(PolDbRuntimePolicy *policy) : p(policy) {}
    Policy(const Policy &) = delete;
    Policy &operator=(PolDbRuntimePolicy *policy)
    {
        PolDb_RuntimePolicyFree(p);
        p = policy;
        return *this;
    }
    ~Policy() { PolDb_RuntimePolicyFree(p); }
    PolDbRuntimePolicy *operator->() const { return p; }
};

/* Replaces a text of a record with a heap copy. */
void Set(char *&field, const std::string &value)
{
    free(field);
    field = PolDb_Strdup(value.c_str());
}

} // namespace

class RuntimePolicy : public OpenDb {
protected:
    void Seed() override
    {
        Raw("INSERT INTO PolicyDb_Quen (quenUID, quenName, activePolicySetVersion) VALUES ('q1', 'Quen', 1)");
    }
    PolDbRuntimePolicy *Create(const char *quen = "q1")
    {
        PolDbRuntimePolicy *p = PolDb_RuntimePolicyCreate(conn_, quen);
        EXPECT_TRUE(Db_Commit(conn_));
        return p;
    }
    bool Update(const Policy &p)
    {
        bool ok = PolDb_RuntimePolicyUpdate(conn_, p.p);
        EXPECT_TRUE(Db_Commit(conn_));
        return ok;
    }
    std::string Column(const std::string &column, int version)
    {
        return Scalar("SELECT " + column + " FROM PolicyDb_RuntimePolicy WHERE quenUID = 'q1' AND policyVersion = " +
                      std::to_string(version));
    }
    std::string LongRows(const std::string &key)
    {
        return Scalar("SELECT COUNT(*) FROM PolicyDb_LongField WHERE longFieldKey = '" + key + "'");
    }
    std::string AllLongRows() { return Scalar("SELECT COUNT(*) FROM PolicyDb_LongField"); }
};

TEST_F(RuntimePolicy, FirstVersionIsEmptyAndCopiesNoAccess)
{
    Raw("INSERT INTO PolicyDb_Access (accessPK, quenUID, identityData, accVersion, identityType, identityName, "
        "accInstanceLimit) VALUES ('k0', 'q1', 'S-1-0', 0, 1, 'stray', 0)");
    Policy p(Create());
    ASSERT_NE(p.p, nullptr);
    EXPECT_STREQ(p->quenUID, "q1");
    EXPECT_EQ(p->policyVersion, 1);
    EXPECT_STREQ(p->clientPolicyData, "");
    EXPECT_STREQ(p->hostPolicyData, "");
    EXPECT_STREQ(p->clientPolicyDataExtKey, "");
    EXPECT_STREQ(p->hostPolicyDataExtKey, "");
    EXPECT_EQ(p->expValue1, 0);
    EXPECT_EQ(p->instanceLimit, 0);
    EXPECT_FALSE(p->useInstanceLimit);
    EXPECT_FALSE(p->published);
    EXPECT_GT(p->tsCreated, 0);
    EXPECT_EQ(p->tsCreated, p->tsLastModified);

    EXPECT_EQ(Column("clientPolicyDataExtKey IS NULL", 1), "0");
    EXPECT_EQ(Column("clientPolicyDataExtKey", 1), "");
    EXPECT_EQ(Column("published", 1), "FALSE");
    EXPECT_EQ(Column("rtpTsCreated", 1), std::to_string(p->tsCreated));
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM PolicyDb_Access"), "1");

    /* The next version is a new row, and another Quen starts at 1. */
    Raw("INSERT INTO PolicyDb_Quen (quenUID, quenName, activePolicySetVersion) VALUES ('q''2', 'Two', 1)");
    Policy other(Create("q'2"));
    ASSERT_NE(other.p, nullptr);
    EXPECT_EQ(other->policyVersion, 1);
    Policy second(Create());
    ASSERT_NE(second.p, nullptr);
    EXPECT_EQ(second->policyVersion, 2);
}

TEST_F(RuntimePolicy, NewVersionCopiesTheNewestWithItsAccessEntries)
{
    Policy v1(Create());
    Policy v2(Create());
    Policy v3(Create());
    ASSERT_NE(v3.p, nullptr);
    v3->expirationType = 2;
    v3->expValue1 = INT64_C(3000000000); /* above 2^31 */
    v3->expValue2 = INT64_C(-9000000000);
    v3->cacheLifetime = INT64_C(9223372036854775807);
    v3->instType = 4;
    v3->authType = 5;
    v3->useInstanceLimit = true;
    v3->instanceLimit = 6;
    v3->usePerUserInstanceLimit = true;
    v3->perUserInstanceLimit = 7;
    v3->copyPolicy = 8;
    v3->published = true;
    Set(v3->clientPolicyData, "<client v='3'/>");
    Set(v3->hostPolicyData, "<host/>");
    ASSERT_TRUE(Update(v3));
    for (int i = 0; i < 3; i++)
        Raw("INSERT INTO PolicyDb_Access (accessPK, quenUID, identityData, accVersion, identityType, identityName, "
            "accUseInstanceLimit, accInstanceLimit) VALUES ('k" +
            std::to_string(i) + "', 'q1', 'S-1-" + std::to_string(i) + "', 3, 1, 'user" + std::to_string(i) +
            "', 'TRUE', 2)");
    Raw("INSERT INTO PolicyDb_Access (accessPK, quenUID, identityData, accVersion, identityType, identityName, "
        "accInstanceLimit) VALUES ('k9', 'q1', 'S-1-9', 2, 1, 'old', 0)");

    Policy v4(Create());
    ASSERT_NE(v4.p, nullptr);
    EXPECT_EQ(v4->policyVersion, 4);
    EXPECT_EQ(v4->expirationType, 2);
    EXPECT_EQ(v4->expValue1, INT64_C(3000000000));
    EXPECT_EQ(v4->expValue2, INT64_C(-9000000000));
    EXPECT_EQ(v4->cacheLifetime, INT64_C(9223372036854775807));
    EXPECT_EQ(v4->perUserInstanceLimit, 7);
    EXPECT_EQ(v4->copyPolicy, 8);
    EXPECT_TRUE(v4->usePerUserInstanceLimit);
    EXPECT_FALSE(v4->published);
    EXPECT_GT(v4->tsCreated, v3->tsCreated);
    EXPECT_STREQ(v4->clientPolicyData, "<client v='3'/>");

    Policy read(BY_KEY(PolDbRuntimePolicy, PolDb_RuntimePolicyGetByPK, conn_, "q1", 4, false));
    ASSERT_NE(read.p, nullptr);
    EXPECT_EQ(read->expValue1, INT64_C(3000000000));
    EXPECT_EQ(read->cacheLifetime, INT64_C(9223372036854775807));
    EXPECT_EQ(read->instanceLimit, 6);
    EXPECT_EQ(Column("expValue_1", 4), "3000000000");

    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM PolicyDb_Access WHERE accVersion = 4"), "3");
    EXPECT_EQ(Scalar("SELECT group_concat(identityName, ',') FROM (SELECT identityName FROM PolicyDb_Access WHERE "
                     "accVersion = 4 ORDER BY identityName)"),
              "user0,user1,user2");
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM PolicyDb_Access WHERE accVersion = 3"), "3");
}

TEST_F(RuntimePolicy, DocumentsMoveToLongFieldsAboveTwoThousandCharacters)
{
    Policy v1(Create());
    ASSERT_NE(v1.p, nullptr);
    std::string exact(2000, 'c');
    std::string longer = std::string(1999, 'h') + "'x";
    Set(v1->clientPolicyData, exact);
    Set(v1->hostPolicyData, longer);
    ASSERT_TRUE(Update(v1));
    EXPECT_EQ(Column("length(clientPolicyData)", 1), "2000");
    EXPECT_EQ(Column("clientPolicyDataExtKey", 1), "");
    EXPECT_EQ(Column("hostPolicyData", 1), "");
    std::string hostKey = Column("hostPolicyDataExtKey", 1);
    ASSERT_EQ(hostKey.size(), 36u);
    EXPECT_EQ(LongRows(hostKey), "2");

    Policy plain(BY_KEY(PolDbRuntimePolicy, PolDb_RuntimePolicyGetByPK, conn_, "q1", 1, false));
    ASSERT_NE(plain.p, nullptr);
    EXPECT_STREQ(plain->hostPolicyData, "");
    EXPECT_EQ(plain->hostPolicyDataExtKey, hostKey);
    Policy full(BY_KEY(PolDbRuntimePolicy, PolDb_RuntimePolicyGetByPK, conn_, "q1", 1, true));
    ASSERT_NE(full.p, nullptr);
    EXPECT_EQ(full->hostPolicyData, longer);
    EXPECT_EQ(full->clientPolicyData, exact);
    EXPECT_EQ(full->hostPolicyDataExtKey, hostKey);

    /* The next version gets long fields of its own. */
    Policy v2(Create());
    ASSERT_NE(v2.p, nullptr);
    EXPECT_EQ(v2->hostPolicyData, longer);
    EXPECT_STREQ(v2->clientPolicyDataExtKey, "");
    std::string copyKey = Column("hostPolicyDataExtKey", 2);
    EXPECT_EQ(copyKey, v2->hostPolicyDataExtKey);
    ASSERT_EQ(copyKey.size(), 36u);
    EXPECT_NE(copyKey, hostKey);
    EXPECT_EQ(LongRows(copyKey), "2");
    EXPECT_EQ(LongRows(hostKey), "2");
    EXPECT_EQ(Column("hostPolicyData", 2), "");
    EXPECT_EQ(Column("length(clientPolicyData)", 2), "2000");
}

TEST_F(RuntimePolicy, UpdatesKeepReplaceAndRemoveLongFields)
{
    Policy v1(Create());
    ASSERT_NE(v1.p, nullptr);
    std::string big(4500, 'b');
    Set(v1->clientPolicyData, big);
    Set(v1->hostPolicyData, std::string(2001, 'h'));
    ASSERT_TRUE(Update(v1));
    std::string clientKey = Column("clientPolicyDataExtKey", 1);
    std::string hostKey = Column("hostPolicyDataExtKey", 1);
    ASSERT_EQ(LongRows(clientKey), "3");
    ASSERT_EQ(LongRows(hostKey), "2");

    /* Unchanged long document: same key, same rows (the record's own keys
     * are not trusted). */
    Policy again(BY_KEY(PolDbRuntimePolicy, PolDb_RuntimePolicyGetByPK, conn_, "q1", 1, true));
    ASSERT_NE(again.p, nullptr);
    Set(again->clientPolicyDataExtKey, "bogus");
    again->instanceLimit = 42;
    ASSERT_TRUE(Update(again));
    EXPECT_EQ(Column("clientPolicyDataExtKey", 1), clientKey);
    EXPECT_EQ(LongRows(clientKey), "3");
    EXPECT_EQ(LongRows("bogus"), "0");
    EXPECT_EQ(Column("rtpInstanceLimit", 1), "42");

    /* Another long text stays under the same key with new chunks. */
    Set(again->clientPolicyData, std::string(2500, 'n'));
    ASSERT_TRUE(Update(again));
    EXPECT_EQ(Column("clientPolicyDataExtKey", 1), clientKey);
    EXPECT_EQ(LongRows(clientKey), "2");

    /* Shortening to 10 characters removes the rows and stores it inline. */
    Set(again->clientPolicyData, "short text");
    Set(again->hostPolicyData, "");
    ASSERT_TRUE(Update(again));
    EXPECT_EQ(Column("clientPolicyData", 1), "short text");
    EXPECT_EQ(Column("clientPolicyDataExtKey", 1), "");
    EXPECT_EQ(Column("hostPolicyDataExtKey", 1), "");
    EXPECT_EQ(AllLongRows(), "0");

    /* Growing an inline document past 2000 makes a new key. */
    Set(again->hostPolicyData, std::string(2001, 'g'));
    ASSERT_TRUE(Update(again));
    std::string newKey = Column("hostPolicyDataExtKey", 1);
    EXPECT_EQ(newKey.size(), 36u);
    EXPECT_EQ(LongRows(newKey), "2");
    EXPECT_EQ(Column("hostPolicyData", 1), "");
    Policy full(BY_KEY(PolDbRuntimePolicy, PolDb_RuntimePolicyGetByPK, conn_, "q1", 1, true));
    ASSERT_NE(full.p, nullptr);
    EXPECT_EQ(full->hostPolicyData, std::string(2001, 'g'));
    EXPECT_STREQ(full->clientPolicyData, "short text");
    EXPECT_GT(full->tsLastModified, full->tsCreated);
    EXPECT_EQ(full->tsCreated, v1->tsCreated);

    /* A null document counts as empty. */
    free(full->hostPolicyData);
    full->hostPolicyData = nullptr;
    ASSERT_TRUE(Update(full));
    EXPECT_EQ(Column("hostPolicyData IS NULL", 1), "0");
    EXPECT_EQ(LongRows(newKey), "0");
}

TEST_F(RuntimePolicy, MissingVersionsAndLostLongDataAreReported)
{
    Policy ghost(static_cast<PolDbRuntimePolicy *>(calloc(1, sizeof(PolDbRuntimePolicy))));
    ghost->quenUID = PolDb_Strdup("q1");
    ghost->policyVersion = 7;
    EXPECT_FALSE(Update(ghost));
    EXPECT_TRUE(log_.Contains("PolicyDb: No such policy quenUid = q1, policyVersion = 7\n"));
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM PolicyDb_RuntimePolicy"), "0");
    EXPECT_EQ(BY_KEY(PolDbRuntimePolicy, PolDb_RuntimePolicyGetByPK, conn_, "q1", 7, true), nullptr);

    Policy v1(Create());
    ASSERT_NE(v1.p, nullptr);
    Set(v1->clientPolicyData, std::string(3000, 'z'));
    ASSERT_TRUE(Update(v1));
    std::string key = Column("clientPolicyDataExtKey", 1);
    ASSERT_TRUE(Db_Commit(conn_));
    Raw("DELETE FROM PolicyDb_LongField WHERE longFieldKey = '" + key + "'");

    log_.Clear();
    EXPECT_EQ(BY_KEY(PolDbRuntimePolicy, PolDb_RuntimePolicyGetByPK, conn_, "q1", 1, true), nullptr);
    EXPECT_TRUE(log_.Contains("PolicyDb: Cannot get long policy data for rtpolicy quenUid = q1, policyVersion = 1\n"));
    Policy plain(BY_KEY(PolDbRuntimePolicy, PolDb_RuntimePolicyGetByPK, conn_, "q1", 1, false));
    EXPECT_NE(plain.p, nullptr);
    /* No copy can be made of a version whose long data is gone. */
    EXPECT_EQ(Create(), nullptr);
    EXPECT_EQ(Scalar("SELECT MAX(policyVersion) FROM PolicyDb_RuntimePolicy"), "1");
    EXPECT_FALSE(Update(v1));

    /* Deleted versions are invisible but keep their numbers. */
    ASSERT_TRUE(Db_Commit(conn_));
    Raw("UPDATE PolicyDb_RuntimePolicy SET deleted = 'TRUE'");
    EXPECT_EQ(BY_KEY(PolDbRuntimePolicy, PolDb_RuntimePolicyGetByPK, conn_, "q1", 1, false), nullptr);
    PolDbRuntimePolicy *all = nullptr;
    int count = -1;
    ASSERT_TRUE(PolDb_RuntimePolicyEnumerate(conn_, nullptr, &all, &count));
    EXPECT_EQ(count, 0);
    EXPECT_EQ(all, nullptr);
}

TEST_F(RuntimePolicy, FailedReadIsNotMistakenForAFirstVersion)
{
    Policy v1(Create());
    ASSERT_NE(v1.p, nullptr);
    ASSERT_TRUE(Db_Commit(conn_));
    /* A column the select needs is gone: the read fails, nothing restarts
     * the numbering. */
    Raw("ALTER TABLE PolicyDb_RuntimePolicy RENAME COLUMN copyPolicy TO copyPolicyOld");
    EXPECT_EQ(PolDb_RuntimePolicyGetNextVersion(conn_, "q1"), nullptr);
    EXPECT_TRUE(log_.Contains("PolDb_PolDbRuntimePolicy::GetNextVersion: database error"));
    EXPECT_EQ(Create(), nullptr);
}

TEST_F(RuntimePolicy, EnumerateReadsLiveVersionsWithoutLongData)
{
    Policy v1(Create());
    Set(v1->clientPolicyData, std::string(2001, 'e'));
    ASSERT_TRUE(Update(v1));
    Policy v2(Create());
    PolDbRuntimePolicy *all = nullptr;
    int count = 0;
    ASSERT_TRUE(PolDb_RuntimePolicyEnumerate(conn_, "quenUID = 'q1' ORDER BY policyVersion", &all, &count));
    ASSERT_EQ(count, 2);
    EXPECT_EQ(all[0].policyVersion, 1);
    EXPECT_STREQ(all[0].clientPolicyData, "");
    EXPECT_EQ(strlen(all[0].clientPolicyDataExtKey), 36u);
    EXPECT_EQ(all[1].policyVersion, 2);
    PolDb_RuntimePolicyFreeArray(all, count);
}
