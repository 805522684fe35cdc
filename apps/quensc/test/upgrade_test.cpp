/* The start-up data step of schema version 215: clear instance passwords
 * become salted hashes and inherited windows are computed again. */
#include "method_fixture.h"

#include "frame/managerAuth.h"
#include "service/dataUpgrade.h"

namespace {
using namespace quensc_test;

class DataUpgrade : public MethodFixture {};

TEST_F(DataUpgrade, HashesClearPasswordsAndRecomputesWindows)
{
    CreateQuen("q");
    CreatePackage("p", "q");
    InstanceRow inheriting;
    inheriting.uid = "i-inherits";
    inheriting.package = "p";
    inheriting.useValidDates = true;
    inheriting.start = 5;
    inheriting.end = 6;
    AddInstance(inheriting);
    InstanceRow own = inheriting;
    own.uid = "i-own";
    own.inherits = false;
    AddInstance(own);
    InstanceRow gone = inheriting;
    gone.uid = "i-deleted";
    AddInstance(gone);
    Sql("UPDATE PolicyDb_Instance SET insPassword = 'clear '' pw'");
    Sql("UPDATE PolicyDb_Instance SET deleted = 'TRUE' WHERE instanceUID = 'i-deleted'");

    i_ctx *ctx = Context();
    ASSERT_EQ(QuenScDataUpgradeTo215(ctx), QUENSC_OK);
    ASSERT_TRUE(Db_Commit(ctx->conn));
    EXPECT_TRUE(Logged("QUENSC: Performing Data Upgrade to v.215"));
    EXPECT_TRUE(Logged("QUENSC: Updated 2 instances..."));

    std::string hash = QuenScPasswordHash(host_.pool(), "i-inherits", "clear ' pw");
    EXPECT_EQ(Scalar("SELECT insPassword FROM PolicyDb_Instance WHERE instanceUID = 'i-inherits'"), hash);
    EXPECT_EQ(Scalar("SELECT insPassword FROM PolicyDb_Instance WHERE instanceUID = 'i-own'"),
              QuenScPasswordHash(host_.pool(), "i-own", "clear ' pw"));
    EXPECT_EQ(Scalar("SELECT insPassword FROM PolicyDb_Instance WHERE instanceUID = 'i-deleted'"), "clear ' pw");
    /* A fresh Quen's current set never expires. */
    EXPECT_EQ(Scalar("SELECT insUseValidDates || ' ' || insValidDateStart || ' ' || insValidDateEnd FROM "
                     "PolicyDb_Instance WHERE instanceUID = 'i-inherits'"),
              "FALSE 00000000000000000000 09223372036854775807");
    EXPECT_EQ(Scalar("SELECT insUseValidDates || ' ' || insValidDateEnd FROM PolicyDb_Instance WHERE instanceUID "
                     "= 'i-own'"),
              "TRUE 00000000000000000006");
}

TEST_F(DataUpgrade, AnInstanceWithoutAPolicySetStopsTheStep)
{
    CreateQuen("q");
    CreatePackage("p", "q");
    InstanceRow row;
    row.uid = "i1";
    row.package = "p";
    AddInstance(row);
    Sql("DELETE FROM PolicyDb_RuntimePolicy");
    i_ctx *ctx = Context();
    EXPECT_EQ(QuenScDataUpgradeTo215(ctx), QUENSC_INTERNAL);
    EXPECT_TRUE(Logged("QUENSC: Failed to calculate expiration dates for instance: i1"));
    EXPECT_FALSE(Logged("Updated"));
}

} // namespace
