/* Instance attributes and the instance search in-process: custom fields and
 * their server-wide names, guest and host information, the explicit
 * validity window, the copy-protection id, the conversion of a wire query
 * into the query builder's record, the 50-row cap and the counts. */
#include "method_fixture.h"

#include "policydb/instanceQuery.h"
#include "service/serviceMethods.h"

#include <ctime>

using namespace quensc_test;

namespace {

xmlrpc_value *GuestInfo(const std::string &ip, const std::string &mac, const std::string &msg,
                        const std::string &name, int status)
{
    xmlrpc_value *g = Struct({{"ip", ip}, {"macAddress", mac}, {"configMsg", msg}, {"machineName", name}});
    Set(g, "status", I(status));
    return g;
}

/* What the event shows for a date: asctime's layout in local time. */
std::string LocalAsctime(int64_t seconds)
{
    time_t t = static_cast<time_t>(seconds);
    struct tm tm {};
    localtime_r(&t, &tm);
    char text[64];
    strftime(text, sizeof text, "%a %b %e %H:%M:%S %Y\n", &tm);
    return text;
}

} // namespace

class Attributes : public MethodFixture {
protected:
    void SetUp() override
    {
        MethodFixture::SetUp();
        CreateQuen("q1", "Quen one");
        CreatePackage("p1", "q1", "Package one");
        uid_ = CreateInstance("p1");
        ASSERT_EQ(uid_.size(), 36u);
        anyone_ = Login(nullptr);
        helpdesk_ = Login("desk");
    }
    std::string uid_, anyone_, helpdesk_;
};

TEST_F(Attributes, CustomFieldValuesKeepTheRestOfTheRecord)
{
    std::string hash = Column(uid_, "insPassword"), key = Column(uid_, "insProtectionKey");
    ASSERT_FALSE(hash.empty());

    /* Any session may set a value; field number 8 is custom9, shown as 9. */
    EXPECT_EQ(Code("InstanceSetCustomField", {S(anyone_), S(uid_), I(8), S("ninth")}), 0) << host_.All();
    EXPECT_EQ(Column(uid_, "insCustom9"), "ninth");
    EXPECT_EQ(Events(4060), "9\tninth");
    EXPECT_EQ(Sql("SELECT quenUID || ' ' || packageUID || ' ' || instanceUID FROM PolicyDb_Event "
                  "WHERE eventType = 4060"),
              "q1 p1 " + uid_);

    EXPECT_EQ(Code("InstanceSetAllCustomFields", {S(anyone_), S(uid_), S("a"), S("b"), S("c"), S("d"), S("e"),
                                                  S("f"), S("g"), S("h"), S("i")}),
              0);
    EXPECT_EQ(Sql("SELECT insCustom1 || insCustom2 || insCustom3 || insCustom4 || insCustom5 || insCustom6 || "
                  "insCustom7 || insCustom8 || insCustom9 FROM PolicyDb_Instance"),
              "abcdefghi");
    EXPECT_EQ(Events(4070), "a\tb\tc\td\te\tf\tg\th\ti");

    /* The stored password hash and protection key survive every rewrite. */
    EXPECT_EQ(Column(uid_, "insPassword"), hash);
    EXPECT_EQ(Column(uid_, "insProtectionKey"), key);

    /* A value longer than the column is refused and nothing changes. */
    EXPECT_EQ(Code("InstanceSetCustomField", {S(anyone_), S(uid_), I(0), S(std::string(256, 'x'))}), 5);
    EXPECT_EQ(Code("InstanceSetCustomField", {S(anyone_), S(uid_), I(0), S(std::string(255, 'x'))}), 0);
    EXPECT_EQ(Code("InstanceSetAllCustomFields", {S(anyone_), S(uid_), S("1"), S("2"), S("3"), S("4"), S("5"),
                                                  S("6"), S("7"), S("8"), S(std::string(300, 'y'))}),
              5);
    EXPECT_EQ(Column(uid_, "insCustom2"), "b");

    /* A missing ninth value is a read failure, not a partial update. */
    EXPECT_EQ(Code("InstanceSetAllCustomFields", {S(anyone_), S(uid_), S("1"), S("2")}), 2);
    EXPECT_EQ(Column(uid_, "insCustom2"), "b");
}

TEST_F(Attributes, FieldNumbersOutsideTheNineAreRefusedEverywhere)
{
    for (int field : {9, -1}) {
        EXPECT_EQ(Code("InstanceSetCustomField", {S(anyone_), S(uid_), I(field), S("v")}), 5) << field;
        EXPECT_EQ(Code("InstanceSetCustomFieldName", {S(admin_), I(field), S("n")}), 5) << field;
        EXPECT_EQ(Code("InstanceGetCustomFieldName", {S(admin_), I(field)}), 5) << field;
        EXPECT_EQ(Code("InstanceClearCustomField", {S(admin_), I(field)}), 5) << field;
    }
    EXPECT_TRUE(Logged("Received request to update invalid custom field: 9"));
    EXPECT_TRUE(Logged("Received request to update name of invalid custom field: 9"));
    EXPECT_TRUE(Logged("Received request to get name of invalid custom field: -1"));
    /* The instance is looked up first: an unknown one is 21 whatever the
     * field number. */
    EXPECT_EQ(Code("InstanceSetCustomField", {S(anyone_), S("no-such"), I(9), S("v")}), 21);
    EXPECT_TRUE(Logged("Failed to find instance (no-such)"));
    EXPECT_EQ(Sql("SELECT COUNT(*) FROM PolicyDb_Instance WHERE insCustom1 = 'v' OR insCustom9 = 'v'"), "0");
}

TEST_F(Attributes, EventsShowTheLargestFieldNumberOneBasedWithoutWrapping)
{
    /* The 1-based number of field INT32_MAX is 2147483648; it must not
     * wrap (or be undefined) on the way into the event. */
    EXPECT_EQ(Code("InstanceSetCustomField", {S(anyone_), S(uid_), I(INT32_MAX), S("v")}), 5);
    EXPECT_EQ(Code("InstanceSetCustomFieldName", {S(admin_), I(INT32_MAX), S("n")}), 5);
    EXPECT_EQ(Code("InstanceClearCustomField", {S(admin_), I(INT32_MAX)}), 5);
    EXPECT_EQ(Events(4060), "2147483648\tv");
    EXPECT_EQ(Events(4080), "2147483648\tn");
    EXPECT_EQ(Events(4160), "2147483648");
}

TEST_F(Attributes, FieldNamesAreServerWideAndClearingEmptiesEveryInstance)
{
    std::string second = CreateInstance("p1");
    Sql("UPDATE PolicyDb_MetaInfo SET value = 'TRUE' WHERE name = 'insCustom3ReadOnly'");

    EXPECT_EQ(Code("InstanceSetCustomFieldName", {S(admin_), I(0), S("Cost centre")}), 0) << host_.All();
    EXPECT_EQ(Code("InstanceSetCustomFieldName", {S(admin_), I(2), S("Owner")}), 0);
    EXPECT_EQ(Events(4080), "1\tCost centre|3\tOwner");
    /* Naming a field neither sets nor drops its read-only flag. */
    EXPECT_EQ(Sql("SELECT value FROM PolicyDb_MetaInfo WHERE name = 'insCustom3ReadOnly'"), "TRUE");
    EXPECT_EQ(Sql("SELECT value FROM PolicyDb_MetaInfo WHERE name = 'insCustom1ReadOnly'"), "FALSE");

    auto one = Call("InstanceGetCustomFieldName", {S(helpdesk_), I(0)});
    ASSERT_EQ(one.size(), 2u);
    EXPECT_EQ(one[1].text, "Cost centre");
    auto all = Call("InstanceGetAllCustomFieldNames", {S(helpdesk_)});
    ASSERT_EQ(all.size(), 10u);
    EXPECT_EQ(all[1].text, "Cost centre");
    EXPECT_EQ(all[2].text, "");
    EXPECT_EQ(all[3].text, "Owner");
    EXPECT_EQ(Code("InstanceSetCustomFieldName", {S(helpdesk_), I(0), S("x")}), 9);
    EXPECT_EQ(Code("InstanceGetAllCustomFieldNames", {S(anyone_)}), 9);

    for (const std::string &uid : {uid_, second})
        ASSERT_EQ(Code("InstanceSetCustomField", {S(anyone_), S(uid), I(0), S("cc-" + uid)}), 0);
    ASSERT_EQ(Code("InstanceSetCustomField", {S(anyone_), S(uid_), I(2), S("kept")}), 0);
    EXPECT_EQ(Code("InstanceClearCustomField", {S(helpdesk_), I(0)}), 9);
    EXPECT_EQ(Code("InstanceClearCustomField", {S(admin_), I(0)}), 0);
    EXPECT_EQ(Sql("SELECT COUNT(*) FROM PolicyDb_Instance WHERE insCustom1 <> ''"), "0");
    EXPECT_EQ(Column(uid_, "insCustom3"), "kept");
    EXPECT_EQ(Call("InstanceGetCustomFieldName", {S(admin_), I(0)})[1].text, "");
    EXPECT_EQ(Call("InstanceGetCustomFieldName", {S(admin_), I(2)})[1].text, "Owner");
    /* The refused call is recorded too, with its code. */
    EXPECT_EQ(Sql("SELECT returnCodeText || ' ' || messageParams FROM PolicyDb_Event WHERE eventType = 4160 "
                  "ORDER BY CAST(eventUID AS INTEGER)"),
              "INSUFFICIENT PRIVILEGES 1|OK 1");

    /* Reading the names fails as a whole when one metadata row is gone. */
    Sql("DELETE FROM PolicyDb_MetaInfo WHERE name = 'insCustom9ReadOnly'");
    EXPECT_EQ(Code("InstanceGetCustomFieldName", {S(admin_), I(0)}), 2);
    EXPECT_EQ(Code("InstanceSetCustomFieldName", {S(admin_), I(0), S("x")}), 2);
    EXPECT_TRUE(Logged("Error get custom field info from database: "));
}

TEST_F(Attributes, GuestAndHostInformation)
{
    EXPECT_EQ(Code("InstanceSetGuestInfo",
                   {S(anyone_), S(uid_), GuestInfo("10.0.0.7", "02:aa", "configured", "vm-7", 7)}),
              0)
        << host_.All();
    EXPECT_EQ(Column(uid_, "guestIpAddress || ' ' || guestMacAddress || ' ' || guestConfigMsg || ' ' || "
                     "guestMachineName || ' ' || guestConfigStatus"),
              "10.0.0.7 02:aa configured vm-7 7");
    EXPECT_EQ(Code("InstanceSetGuestInfo", {S(anyone_), S(uid_), GuestInfo("", "", "", "", 1)}), 0);
    EXPECT_EQ(Code("InstanceSetGuestInfo", {S(anyone_), S(uid_), GuestInfo("", "", "", "", 2)}), 0);
    EXPECT_EQ(Events(4110), "10.0.0.7\t02:aa\tconfigured\tvm-7\tUNKNOWN|\t\t\t\tSUCCESS|\t\t\t\tFAILURE");

    /* Unknown instance: 21 and nothing written anywhere. */
    EXPECT_EQ(Code("InstanceSetGuestInfo", {S(anyone_), S("ghost"), GuestInfo("9.9.9.9", "", "", "", 1)}), 21);
    EXPECT_EQ(Sql("SELECT COUNT(*) FROM PolicyDb_Instance WHERE guestIpAddress = '9.9.9.9'"), "0");
    /* Over-long texts are refused. */
    EXPECT_EQ(Code("InstanceSetGuestInfo",
                   {S(anyone_), S(uid_), GuestInfo("", "", std::string(513, 'm'), "", 1)}),
              5);

    EXPECT_EQ(Code("InstanceSetHostInfo", {S(anyone_), S(uid_), Struct({{"hostname", "host-1"}, {"ip", "192.0.2.1"}})}),
              0);
    EXPECT_EQ(Events(4120), "192.0.2.1\thost-1");
    EXPECT_EQ(Code("InstanceSetHostInfo", {S(anyone_), S(uid_), Struct({{"hostname", "h"}})}), 2);

    auto info = Call("InstanceInfo", {S(admin_), S(uid_)});
    ASSERT_EQ(info.size(), 2u) << host_.All();
    EXPECT_EQ(info[1].members["hostInfo.hostname"], "host-1");
    EXPECT_EQ(info[1].members["hostInfo.ip"], "192.0.2.1");
    EXPECT_EQ(info[1].members["guestInfo.status"], "2");
}

TEST_F(Attributes, ExplicitValidityWindow)
{
    const int64_t start = 1700000000, end = 1800000000;
    /* Managers only. */
    EXPECT_EQ(Code("InstanceSetExpiration", {S(anyone_), S(uid_), I(0), I(1), I64(start), I64(end)}), 9);

    EXPECT_EQ(Code("InstanceSetExpiration", {S(helpdesk_), S(uid_), I(0), I(1), I64(end), I64(start)}), 5);
    EXPECT_EQ(Column(uid_, "inheritsExpiration"), "TRUE");

    EXPECT_EQ(Code("InstanceSetExpiration", {S(helpdesk_), S(uid_), I(0), I(1), I64(start), I64(start)}), 0);
    EXPECT_EQ(Column(uid_, "inheritsExpiration || insUseValidDates || ' ' || CAST(insValidDateStart AS INTEGER) || ' ' || "
                     "CAST(insValidDateEnd AS INTEGER)"),
              "FALSETRUE 1700000000 1700000000");
    EXPECT_EQ(Events(4130).substr(0, 11), "FALSE\tTRUE\t");
    EXPECT_NE(Events(4130).find(LocalAsctime(start) + "\t" + LocalAsctime(start)), std::string::npos);

    /* Enable clear: the dates are ignored, the window is open. */
    EXPECT_EQ(Code("InstanceSetExpiration", {S(admin_), S(uid_), I(0), I(0), I64(end), I64(start)}), 0);
    EXPECT_EQ(Column(uid_, "insUseValidDates || ' ' || CAST(insValidDateStart AS INTEGER) || ' ' || insValidDateEnd"),
              "FALSE 0 09223372036854775807");

    /* Inherit: the window comes from the Quen's policy set again. */
    ASSERT_EQ(Code("InstanceSetExpiration", {S(admin_), S(uid_), I(0), I(1), I64(start), I64(end)}), 0);
    EXPECT_EQ(Code("InstanceSetExpiration", {S(admin_), S(uid_), I(1), I(1), I64(end), I64(start)}), 0);
    EXPECT_EQ(Column(uid_, "inheritsExpiration || insUseValidDates || ' ' || CAST(insValidDateStart AS INTEGER)"),
              "TRUEFALSE 0");

    /* Without a policy set to inherit from nothing is written. */
    ASSERT_EQ(Code("InstanceSetExpiration", {S(admin_), S(uid_), I(0), I(1), I64(start), I64(end)}), 0);
    Sql("DELETE FROM PolicyDb_RuntimePolicy");
    EXPECT_EQ(Code("InstanceSetExpiration", {S(admin_), S(uid_), I(1), I(0), I64(0), I64(0)}), 22);
    EXPECT_TRUE(Logged("Failed to update expiration date for instance: " + uid_));
    EXPECT_EQ(Column(uid_, "inheritsExpiration || ' ' || CAST(insValidDateEnd AS INTEGER)"), "FALSE 1800000000");

    EXPECT_EQ(Code("InstanceSetExpiration", {S(admin_), S("ghost"), I(0), I(0), I64(0), I64(0)}), 21);
    /* A date of the wrong wire type is a read failure. */
    EXPECT_EQ(Code("InstanceSetExpiration", {S(admin_), S(uid_), I(0), I(0), I(5), I64(0)}), 2);
}

TEST_F(Attributes, CopyProtectionIdIsStoredAsGivenAndSearchable)
{
    const std::string id = "opaque ' id \\ with quotes";
    EXPECT_EQ(Code("InstanceSetCopyProtectionId", {S(anyone_), S(uid_), S(id)}), 9);
    EXPECT_EQ(Code("InstanceSetCopyProtectionId", {S(helpdesk_), S(uid_), S(id)}), 0) << host_.All();
    EXPECT_EQ(Column(uid_, "copyProtectionId"), id);
    EXPECT_EQ(Sql("SELECT COUNT(*) FROM PolicyDb_Event WHERE eventType = 4140 AND instanceUID = '" + uid_ + "' "
                  "AND returnCodeText = 'OK'"),
              "1");
    EXPECT_EQ(Call("InstanceInfo", {S(admin_), S(uid_)})[1].members["copyProtectionId"], id);

    xmlrpc_value *clause = Struct({{"val0", id}});
    Set(clause, "type", I(1));
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    xmlrpc_value *query = xmlrpc_struct_new(&env);
    Set(query, "copyProtectionIdClause", clause);
    auto found = Call("InstanceQueryExt", {S(admin_), query});
    ASSERT_EQ(found.size(), 3u) << host_.All();
    EXPECT_EQ(found[2].members["uuid"], uid_);

    EXPECT_EQ(Code("InstanceSetCopyProtectionId", {S(admin_), S(uid_), S(std::string(1025, 'c'))}), 5);
    EXPECT_EQ(Code("InstanceSetCopyProtectionId", {S(admin_), S("ghost"), S("x")}), 21);
}

/* ---- the instance search ------------------------------------------------------------- */

class Queries : public MethodFixture {
protected:
    void SetUp() override
    {
        MethodFixture::SetUp();
        CreateQuen("qa", "Alpha");
        CreateQuen("qb", "Beta");
        CreatePackage("pa", "qa", "Package A");
        CreatePackage("pb", "qb", "Package B");
        anyone_ = Login(nullptr);
        helpdesk_ = Login("desk");
    }
    /* n instances of package, activated at base + i, UIDs prefix + i
     * (zero-padded). */
    void Fill(const std::string &package, const std::string &prefix, int n, int64_t base)
    {
        for (int i = 0; i < n; i++) {
            char uid[64];
            snprintf(uid, sizeof uid, "%s%03d", prefix.c_str(), i);
            InstanceRow row;
            row.uid = uid;
            row.package = package;
            row.activation = base + i;
            row.hostName = "host-" + std::to_string(i % 7);
            AddInstance(row);
        }
    }
    xmlrpc_value *Query(int limit, int offset)
    {
        xmlrpc_env env;
        xmlrpc_env_init(&env);
        xmlrpc_value *q = xmlrpc_struct_new(&env);
        Set(q, "limit", I(limit));
        Set(q, "offset", I(offset));
        return q;
    }
    std::string anyone_, helpdesk_;
};

TEST_F(Queries, EveryClauseReachesTheBuilderUnderItsOwnColumn)
{
    const char *texts[] = {"packageUuid", "quenUuid", "packageName", "quenName", "creatorName", "creatorData",
                           "copyProtectionId", "hostName", "hostIp", "guestMacAddress", "guestMachineName",
                           "guestConfigMsg", "guestIp"};
    QuenScInstanceQuery q{};
    QuenScTextClause *textClauses[] = {&q.packageUuid, &q.quenUuid, &q.packageName, &q.quenName,
                                       &q.creatorName, &q.creatorData, &q.copyProtectionId, &q.hostName,
                                       &q.hostIp, &q.guestMacAddress, &q.guestMachineName, &q.guestConfigMsg,
                                       &q.guestIp};
    for (int i = 0; i < 13; i++)
        *textClauses[i] = QuenScTextClause{1, texts[i], nullptr};
    std::string customs[9];
    for (int i = 0; i < 9; i++) {
        customs[i] = "c" + std::to_string(i + 1);
        q.custom[i] = QuenScTextClause{6, customs[i].c_str(), nullptr};
    }
    const char *uids[] = {"u1", "u'2", nullptr};
    q.uuid = QuenScTextListClause{9, uids};
    q.creatorType = QuenScIntClause{8, 2, 3};
    q.guestConfigStatus = QuenScIntClause{1, 7, 0};
    QuenScDateClause *dates[] = {&q.activationDate, &q.lastPolicyCheck, &q.revocationDate, &q.replacementDate,
                                 &q.validDateStart, &q.validDateEnd, &q.tsCreated, &q.tsLastModified};
    for (int i = 0; i < 8; i++)
        *dates[i] = QuenScDateClause{7, 100 + i, 200 + i};
    q.inheritsExpiration = QuenScBoolClause{1, 1};
    q.useValidDates = QuenScBoolClause{1, 0};
    q.preview = QuenScBoolClause{1, 1};
    q.limit = 10;
    q.offset = 20;
    q.sortOrder1 = 19;
    q.sortDescending1 = 1;
    q.sortOrder2 = 4;
    q.sortOrder3 = 0;

    PolDbInstanceQuery d;
    QuenScInstanceQueryToDb(&q, &d);
    EXPECT_EQ(d.pageSize, 10);
    EXPECT_EQ(d.pageStart, 20);

    DbConnection *conn = Db_Open();
    ASSERT_NE(conn, nullptr);
    std::string where = PolDb_InstanceQueryCountSql(conn, &d);
    const char *columns[] = {"i.packageUID", "i.quenUID", "p.pkgName", "a.quenName", "creatorIdName",
                             "creatorIdData", "copyProtectionId", "hostName", "hostIp", "guestMacAddress",
                             "guestMachineName", "guestConfigMsg", "guestIpAddress"};
    for (int i = 0; i < 13; i++)
        EXPECT_NE(where.find(std::string(columns[i]) + " = '" + texts[i] + "'"), std::string::npos) << columns[i];
    for (int i = 0; i < 9; i++)
        EXPECT_NE(where.find("lower(insCustom" + std::to_string(i + 1) + ") LIKE lower('c" + std::to_string(i + 1) +
                             "')"),
                  std::string::npos)
            << i;
    EXPECT_NE(where.find("instanceUID IN ('u1', 'u''2')"), std::string::npos) << where;
    EXPECT_NE(where.find("creatorAuthType >= 2 AND creatorAuthType <= 3"), std::string::npos);
    EXPECT_NE(where.find("guestConfigStatus = 7"), std::string::npos);
    const char *dateColumns[] = {"activationDate", "lastPolicyCheck", "revocationDate", "replacementDate",
                                 "insValidDateStart", "insValidDateEnd", "insTsCreated", "insTsLastModified"};
    for (int i = 0; i < 8; i++) {
        char expected[160];
        snprintf(expected, sizeof expected, "%s >= '%020d' AND %s < '%020d'", dateColumns[i], 100 + i,
                 dateColumns[i], 200 + i);
        EXPECT_NE(where.find(expected), std::string::npos) << expected;
    }
    EXPECT_NE(where.find("inheritsExpiration = 'TRUE' AND insUseValidDates = 'FALSE'"), std::string::npos);
    EXPECT_NE(where.find("insPreview = 'TRUE'"), std::string::npos);

    PolDbInstanceQuerySql sql;
    ASSERT_TRUE(PolDb_InstanceQueryBuild(conn, &d, &sql));
    std::string select = sql.select;
    EXPECT_NE(select.find(" ORDER BY hostName DESC, p.pkgName ASC, activationDate DESC LIMIT 10 OFFSET 20"),
              std::string::npos)
        << select;
    Db_Close(conn);
}

TEST_F(Queries, AtMostFiftyPerCallPagedByOffsetAndCountedInFull)
{
    Fill("pa", "a", 40, 10000);
    Fill("pb", "b", 25, 20000);

    /* No clauses, limit 0: 50 of the 65, newest activation first, from both
     * Quens, and the truncation is logged. */
    host_.Clear();
    auto page = Call("InstanceQueryExt", {S(admin_), Query(0, 0)});
    ASSERT_EQ(page.size(), 52u) << host_.All();
    EXPECT_EQ(page[1].text, "50");
    EXPECT_EQ(page[2].members["uuid"], "b024");
    EXPECT_EQ(page[2].members["quen_name"], "Beta");
    EXPECT_EQ(page[2].members["package_name"], "Package B");
    EXPECT_EQ(page[51].members["uuid"], "a015");
    EXPECT_TRUE(Logged("Truncated query to 50 responses"));

    /* A negative limit counts as too large; 10 is taken as it is. */
    host_.Clear();
    EXPECT_EQ(Call("InstanceQueryExt", {S(admin_), Query(-1, 0)})[1].text, "50");
    EXPECT_TRUE(Logged("Truncated query to 50 responses"));
    host_.Clear();
    auto ten = Call("InstanceQueryExt", {S(admin_), Query(10, 60)});
    EXPECT_EQ(ten[1].text, "5");
    EXPECT_EQ(ten.back().members["uuid"], "a000");
    EXPECT_FALSE(Logged("Truncated query"));

    /* Offset beyond the end: nothing; a negative offset is refused. */
    EXPECT_EQ(Call("InstanceQueryExt", {S(admin_), Query(10, 65)})[1].text, "0");
    EXPECT_EQ(Code("InstanceQueryExt", {S(admin_), Query(10, -1)}), 5);

    /* The count ignores paging and is not capped. */
    auto count = Call("InstanceQueryCount", {S(helpdesk_), Query(5, 3)});
    ASSERT_EQ(count.size(), 2u);
    EXPECT_EQ(count[1].text, "65");

    xmlrpc_value *q = Query(0, 0);
    xmlrpc_value *clause = Struct({{"val0", "qa"}});
    Set(clause, "type", I(1));
    Set(q, "quenUuidClause", clause);
    EXPECT_EQ(Call("InstanceQueryCount", {S(admin_), q})[1].text, "40");

    EXPECT_EQ(Code("InstanceQueryExt", {S(anyone_), Query(0, 0)}), 9);
    EXPECT_EQ(Code("InstanceQueryCount", {S(anyone_), Query(0, 0)}), 9);
}

TEST_F(Queries, RowsAreShownAsInstanceInfoShowsThemAtQueryTime)
{
    const int64_t now = time(nullptr);
    InstanceRow ended;
    ended.uid = "ended";
    ended.package = "pa";
    ended.useValidDates = true;
    ended.start = now - 100;
    ended.end = now - 1;
    ended.activation = 2;
    AddInstance(ended);
    InstanceRow open;
    open.uid = "open";
    open.package = "pa";
    open.activation = 1;
    open.hostName = "h";
    open.custom[4] = "five";
    AddInstance(open);

    auto rows = Call("InstanceQueryExt", {S(admin_), Query(50, 0)});
    ASSERT_EQ(rows.size(), 4u) << host_.All();
    ASSERT_EQ(rows[2].members["uuid"], "ended");
    EXPECT_EQ(std::stoi(rows[2].members["state"]) & 0x2, 0x2);
    EXPECT_EQ(rows[2].members["ttl"], "0");
    ASSERT_EQ(rows[3].members["uuid"], "open");
    auto info = Call("InstanceInfo", {S(admin_), S("open")});
    ASSERT_EQ(info.size(), 2u);
    EXPECT_EQ(rows[3].members, info[1].members);
    EXPECT_EQ(rows[3].members["custom5"], "five");

    /* A limit of the wrong wire type is a read failure, not a default. */
    xmlrpc_value *q = Query(0, 0);
    Set(q, "limit", S("10"));
    EXPECT_EQ(Code("InstanceQueryExt", {S(admin_), q}), 2);
}
