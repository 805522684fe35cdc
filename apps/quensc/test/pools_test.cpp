/* User data and MAC pools in-process, for what the black-box stories do not
 * show: the exact log lines of refusals, the recorded event parameters, the
 * order checks of MacPoolAdd and a removed pool's UID staying taken. */
#include "method_fixture.h"

#include "service/serviceMethods.h"

using namespace quensc_test;

namespace {

xmlrpc_value *UserData(const std::string &activator, const std::string &name, const std::string &value, int type)
{
    xmlrpc_value *u = Struct({{"activator", activator}, {"name", name}, {"value", value}});
    Set(u, "type", I(type));
    return u;
}

xmlrpc_value *Pool(const std::string &uid, const std::string &quen, const std::string &start, const std::string &end,
                   const std::string &lastAssigned = "")
{
    return Struct({{"uuid", uid},
                   {"quen_uuid", quen},
                   {"name", "pool " + uid},
                   {"description", "range of " + uid},
                   {"rangeStart", start},
                   {"rangeEnd", end},
                   {"lastAssigned", lastAssigned}});
}

} // namespace

class UserDataMethods : public MethodFixture {
protected:
    void SetUp() override
    {
        MethodFixture::SetUp();
        CreateQuen("q1");
        CreatePackage("p1", "q1");
        client_ = Login(nullptr);
    }
    std::string client_;
};

TEST_F(UserDataMethods, UnknownOwnersAndBadEntriesAreRefused)
{
    EXPECT_EQ(Code("UserDataAddToQuen", {S(admin_), S("nope"), UserData("", "n", "v", 0)}), 18);
    EXPECT_TRUE(Logged("Faield to find quen (nope) while attempting to add a UserDataobject."));
    EXPECT_EQ(Code("UserDataAddToQuen", {S(admin_), S(""), UserData("", "n", "v", 0)}), 18);
    EXPECT_EQ(Code("UserDataAddToPackage", {S(admin_), S("nope"), UserData("", "n", "v", 0)}), 19);
    EXPECT_TRUE(Logged("Failed to find package (nope) while attempting to add a UserData object"));
    EXPECT_EQ(Code("UserDataListByQuen", {S(admin_), S("nope")}), 18);
    EXPECT_EQ(Code("UserDataListByPackage", {S(admin_), S("nope")}), 19);
    EXPECT_EQ(Code("UserDataQuery", {S(client_), S("nope")}), 19);
    EXPECT_TRUE(Logged("Failed to find package (nope) while querying for user data"));

    EXPECT_EQ(Code("UserDataAddToQuen", {S(admin_), S("q1"), UserData("", "", "v", 0)}), 5);
    EXPECT_EQ(Code("UserDataAddToQuen", {S(admin_), S("q1"), UserData("", "n", std::string(2049, 'v'), 0)}), 5);
    EXPECT_EQ(Code("UserDataAddToQuen", {S(admin_), S("q1"), UserData("", "n", std::string(2048, 'v'), 0)}), 0);
    EXPECT_EQ(Code("UserDataAddToQuen", {S(admin_), S("q1"), UserData(std::string(129, 'a'), "n", "v", 0)}), 5);
    /* A struct without its type member is a read failure. */
    EXPECT_EQ(Code("UserDataAddToQuen", {S(admin_), S("q1"), Struct({{"activator", ""}, {"name", "t"}, {"value", "v"}})}),
              2);
    EXPECT_EQ(Sql("SELECT COUNT(*) FROM PolicyDb_UserData"), "1");

    /* Removing: the key parts in the log line, 23 for an unknown owner. */
    EXPECT_EQ(Code("UserDataRemoveFromPackage", {S(admin_), S("p1"), S(""), S("n")}), 23);
    EXPECT_TRUE(Logged("Failed to find user data to remove (p1 -  - n)"));
    EXPECT_EQ(Code("UserDataRemoveFromPackage", {S(admin_), S("nope"), S(""), S("n")}), 23);
    EXPECT_EQ(Code("UserDataRemoveFromQuen", {S(admin_), S("q1"), S(""), S("n")}), 0);
    EXPECT_EQ(Events(5070), "n");
}

/* ---- MAC pools ----------------------------------------------------------------------------- */

class MacPools : public MethodFixture {
protected:
    void SetUp() override
    {
        MethodFixture::SetUp();
        CreateQuen("q1");
        CreateQuen("q2");
        CreatePackage("p1", "q1");
        CreatePackage("p2", "q2");
        instance_ = CreateInstance("p1");
        other_ = CreateInstance("p2");
        client_ = Login(nullptr);
    }
    /* The next address for the instance, or "<code>" when refused. */
    std::string Request(const std::string &instance)
    {
        auto answer = Call("MacAddressRequest", {S(client_), S(instance)});
        return answer[0].text == "0" && answer.size() == 2 ? answer[1].text : "<" + answer[0].text + ">";
    }
    std::string instance_, other_, client_;
};

TEST_F(MacPools, AddressesComeInPoolUidOrderUntilEveryPoolIsFull)
{
    EXPECT_EQ(Request(instance_), "<24>");
    EXPECT_TRUE(Logged("Received a mac address request for an quen without mac pools (quen-uuid: q1 "
                       "instance-uuid: " + instance_ + ")"));

    /* B is added first, A second: A still comes first. Either case of hex
     * digit is accepted; answers are upper case. */
    ASSERT_EQ(Code("MacPoolAdd", {S(admin_), Pool("B", "q1", "02:00:00:00:01:fe", "02:00:00:00:01:FF")}), 0)
        << host_.All();
    ASSERT_EQ(Code("MacPoolAdd", {S(admin_), Pool("A", "q1", "02:00:00:00:00:00", "02:00:00:00:00:02",
                                                   "02:00:00:00:00:01")}),
              0);
    ASSERT_EQ(Code("MacPoolAdd", {S(admin_), Pool("C", "q2", "0A:00:00:00:00:01", "0A:00:00:00:00:01")}), 0);

    std::vector<std::string> got;
    for (int i = 0; i < 6; i++)
        got.push_back(Request(instance_));
    EXPECT_EQ(got, (std::vector<std::string>{"02:00:00:00:00:00", "02:00:00:00:00:01", "02:00:00:00:00:02",
                                             "02:00:00:00:01:FE", "02:00:00:00:01:FF", "<37>"}));
    EXPECT_TRUE(Logged("MAC Pools for quen (q1) exhausted"));
    /* A one-address pool hands out exactly that address, once. */
    EXPECT_EQ(Request(other_), "0A:00:00:00:00:01");
    EXPECT_EQ(Request(other_), "<37>");
    EXPECT_EQ(Request("ghost"), "<21>");

    EXPECT_EQ(Sql("SELECT messageParams || ' ' || quenUID || ' ' || packageUID FROM PolicyDb_Event "
                  "WHERE eventType = 4150 AND returnCodeText = 'OK' ORDER BY CAST(eventUID AS INTEGER) LIMIT 1"),
              "02:00:00:00:00:00 q1 p1");
    EXPECT_EQ(Sql("SELECT COUNT(*) FROM PolicyDb_Event WHERE eventType = 4150 AND instanceUID = '" + instance_ + "'"),
              "7");

    auto listed = Call("MacPoolQuery", {S(admin_), S("q1")});
    ASSERT_EQ(listed.size(), 4u) << host_.All();
    EXPECT_EQ(listed[1].text, "2");
    std::map<std::string, std::map<std::string, std::string>> byUid;
    for (size_t i = 2; i < listed.size(); i++)
        byUid[listed[i].members["uuid"]] = listed[i].members;
    EXPECT_EQ(byUid["A"]["rangeStart"], "02:00:00:00:00:00");
    EXPECT_EQ(byUid["A"]["lastAssigned"], "02:00:00:00:00:02");
    EXPECT_EQ(byUid["B"]["rangeStart"], "02:00:00:00:01:FE");
    EXPECT_EQ(byUid["B"]["quen_uuid"], "q1");
    EXPECT_EQ(byUid["B"]["description"], "range of B");
}

TEST_F(MacPools, NewPoolsStartEmptyAndBadRangesAreRefused)
{
    EXPECT_EQ(Code("MacPoolAdd", {S(admin_), Pool("P", "q1", "02:00:00:00:00", "02:00:00:00:00:09")}), 36);
    EXPECT_EQ(Code("MacPoolAdd", {S(admin_), Pool("P", "q1", "02:00:00:00:00:00", "zz:00:00:00:00:09")}), 36);
    EXPECT_EQ(Code("MacPoolAdd", {S(admin_), Pool("P", "q1", "00:00:00:00:00:00", "00:00:00:00:00:09")}), 36);
    EXPECT_EQ(Code("MacPoolAdd", {S(admin_), Pool("P", "q1", "02-00-00-00-00-00", "02:00:00:00:00:09")}), 36);
    EXPECT_EQ(Code("MacPoolAdd", {S(admin_), Pool("P", "q1", "02:00:00:00:00:09", "02:00:00:00:00:08")}), 5);
    EXPECT_EQ(Code("MacPoolAdd", {S(admin_), Pool("", "q1", "02:00:00:00:00:00", "02:00:00:00:00:08")}), 5);
    EXPECT_EQ(Code("MacPoolAdd", {S(admin_), Pool("P", "nope", "02:00:00:00:00:00", "02:00:00:00:00:08")}), 18);
    EXPECT_TRUE(Logged("Failed to find quen (nope) while adding a MAC POOL object"));
    EXPECT_EQ(Code("MacPoolAdd", {S(client_), Pool("P", "q1", "02:00:00:00:00:00", "02:00:00:00:00:08")}), 9);
    EXPECT_EQ(Sql("SELECT COUNT(*) FROM PolicyDb_MacPool"), "0");

    /* Whatever lastAssigned the request holds, the pool starts empty. */
    ASSERT_EQ(Code("MacPoolAdd", {S(admin_), Pool("P", "q1", "FF:FF:FF:FF:FF:FE", "ff:ff:ff:ff:ff:ff",
                                                   "FF:FF:FF:FF:FF:FF")}),
              0);
    EXPECT_EQ(Events(5090).substr(0, 2), "P\t");
    EXPECT_EQ(Code("MacPoolAdd", {S(admin_), Pool("P", "q2", "02:00:00:00:00:00", "02:00:00:00:00:08")}), 25);
    EXPECT_TRUE(Logged("Attempt to create a duplicate MacPool object (P) failed"));
    EXPECT_EQ(Request(instance_), "FF:FF:FF:FF:FF:FE");
    EXPECT_EQ(Request(instance_), "FF:FF:FF:FF:FF:FF");
    EXPECT_EQ(Request(instance_), "<37>");

    /* Removal: the event shows the pool found; afterwards there is none,
     * and its UID stays taken. */
    EXPECT_EQ(Code("MacPoolRemove", {S(admin_), S("P")}), 0);
    EXPECT_EQ(Sql("SELECT quenUID || ' ' || messageParams FROM PolicyDb_Event WHERE eventType = 5100"),
              "q1 P\tpool P\trange of P\tFF:FF:FF:FF:FF:FE\tFF:FF:FF:FF:FF:FF\tFF:FF:FF:FF:FF:FF");
    EXPECT_EQ(Code("MacPoolRemove", {S(admin_), S("P")}), 24);
    EXPECT_EQ(Call("MacPoolQuery", {S(admin_), S("q1")})[1].text, "0");
    EXPECT_EQ(Request(instance_), "<24>");
    EXPECT_EQ(Code("MacPoolAdd", {S(admin_), Pool("P", "q1", "02:00:00:00:00:00", "02:00:00:00:00:08")}), 25);

    EXPECT_EQ(Code("MacPoolQuery", {S(admin_), S("")}), 18);
    EXPECT_TRUE(Logged("QUEN '' not found, while querying for mac pools"));
    EXPECT_EQ(Code("MacPoolQuery", {S(client_), S("q1")}), 9);
}
