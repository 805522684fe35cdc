/* Tests of the configuration file as the tool reads and writes it: the
 * round trip through the server's reader (values XML reserves, secrets),
 * the tool's own reading rules (walk end, purge days and defaults, version
 * upgrades, level names) and the escaping that refuses what XML cannot
 * carry. */
#include "toolConfig.h"

#include "frame/config.h"
#include "frame/configFile.h"
#include "policydb/db.h"
#include "recording_host.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

void Quiet(const char *) {}

class ToolConfigTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/qcfg_config_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = std::string(pattern) + "/";
        ASSERT_EQ(mkdir((dir_ + "conf").c_str(), 0700), 0);
        PolDb_SetLogFunctions(Quiet, Quiet, nullptr);
    }
    void TearDown() override
    {
        PolDb_SetLogFunctions(nullptr, nullptr, nullptr);
        ASSERT_EQ(system(("rm -rf '" + dir_ + "'").c_str()), 0);
    }
    void WriteRaw(const std::string &sections, int version = 3)
    {
        std::ofstream(dir_ + "conf/quensc.conf")
            << "<?xml version=\"1.0\"?>\n<quensc_configuration><global><configuration_version>" << version
            << "</configuration_version></global>" << sections << "</quensc_configuration>\n";
    }
    /* Reads the file into a fresh session over the tool's defaults. */
    bool Read(QcfgSession &s)
    {
        s = QcfgSession();
        EXPECT_TRUE(SetDefaultSetting(s, dir_));
        return ReadConfigFile(s, dir_);
    }
    std::string Get(QcfgSession &s, const char *section, const char *key)
    {
        return QcfgSess_RetrieveStringValue(s, section, key);
    }

    RecordingHost host_;
    std::string dir_;
};

const char kAwkward[] = "a<b & c>d \"quoted\" 'single'\ttab\nline\r\xc3\xa9";

TEST_F(ToolConfigTest, ServerReadsBackWhatTheToolWrote)
{
    QcfgSession s;
    ASSERT_TRUE(SetDefaultSetting(s, dir_));
    QcfgSess_StoreStringValue(s, "global", "db_type", "odbc");
    QcfgSess_StoreStringValue(s, "odbc", "dsn", kAwkward);
    QcfgSess_StoreStringValue(s, "odbc", "password", "odbc <secret> & \"more\"");
    QcfgSess_StoreStringValue(s, "krb5", "query_user_pass", "ldap secret");
    QcfgSess_StoreStringValue(s, "ldap", "host", "dc&1.example.test");
    QcfgSess_StoreStringValue(s, "logging", "quen_admin", "Debug");
    QcfgSess_StoreStringValue(s, "logging", "purge_type", "1");
    QcfgSess_StoreStringValue(s, "logging", "purge_value", "3");
    ASSERT_TRUE(WriteConfigFile(s, dir_));

    QuenScConfig *cfg = QuenScConfigDefaults(host_.pool(), (dir_ + "conf/quensc.conf").c_str());
    ASSERT_EQ(QuenScConfigRead(host_.pool(), cfg), QUENSC_OK);
    EXPECT_STREQ(cfg->global.db_type, "odbc");
    EXPECT_EQ(cfg->global.configuration_version, 3);
    EXPECT_STREQ(cfg->odbc.dsn, kAwkward);
    EXPECT_STREQ(cfg->odbc.password, "odbc <secret> & \"more\"");
    EXPECT_STREQ(cfg->krb5.query_user_pass, "ldap secret");
    EXPECT_STREQ(cfg->ldap.host, "dc&1.example.test");
    EXPECT_EQ(cfg->logging.quen_admin, 4);
    EXPECT_EQ(cfg->logging.purge_type, 1);
    EXPECT_EQ(cfg->logging.purge_value, 3 * 86400);
    EXPECT_EQ(cfg->ldap.secure, 1);
}

TEST_F(ToolConfigTest, ToolReadsBackWhatItWrote)
{
    QcfgSession s;
    ASSERT_TRUE(SetDefaultSetting(s, dir_));
    QcfgSess_StoreStringValue(s, "odbc", "dsn", kAwkward);
    QcfgSess_StoreStringValue(s, "odbc", "password", "p<w>");
    QcfgSess_StoreStringValue(s, "logging", "purge_type", "2");
    QcfgSess_StoreStringValue(s, "logging", "purge_value", "5000");
    ASSERT_TRUE(WriteConfigFile(s, dir_));

    QcfgSession back;
    ASSERT_TRUE(Read(back));
    EXPECT_EQ(Get(back, "odbc", "dsn"), kAwkward);
    EXPECT_EQ(Get(back, "odbc", "password"), "p<w>");
    EXPECT_EQ(Get(back, "logging", "purge_type"), "2");
    EXPECT_EQ(Get(back, "logging", "purge_value"), "5000");
}

TEST_F(ToolConfigTest, SecretsAreObfuscatedInTheFile)
{
    QcfgSession s;
    ASSERT_TRUE(SetDefaultSetting(s, dir_));
    QcfgSess_StoreStringValue(s, "odbc", "password", "plainly-visible");
    ASSERT_TRUE(WriteConfigFile(s, dir_));
    std::stringstream text;
    text << std::ifstream(dir_ + "conf/quensc.conf").rdbuf();
    EXPECT_EQ(text.str().find("plainly-visible"), std::string::npos);
}

TEST_F(ToolConfigTest, EmptySectionEndsTheWalk)
{
    WriteRaw("<helpdesk></helpdesk><ldap><host>h</host></ldap>");
    QcfgSession s;
    ASSERT_TRUE(Read(s));
    EXPECT_EQ(Get(s, "ldap", "host"), "");
    EXPECT_EQ(QcfgSess_RetrieveIntValue(s, nullptr, "helpdesk"), 0);
}

TEST_F(ToolConfigTest, PurgeRules)
{
    struct Case {
        const char *name;
        const char *logging;
        const char *type;
        const char *value;
    } cases[] = {
        {"an hour is no whole day: keep all", "<logging><purge_type>1</purge_type><purge_value>3600</purge_value></logging>",
         "0", "0"},
        {"seconds become days", "<logging><purge_type>1</purge_type><purge_value>172800</purge_value></logging>", "1",
         "2"},
        {"no logging section: by age, 14 days", "", "1", "14"},
        {"a count stays a count", "<logging><purge_type>2</purge_type><purge_value>70</purge_value></logging>", "2",
         "70"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        WriteRaw(c.logging);
        QcfgSession s;
        ASSERT_TRUE(Read(s));
        EXPECT_EQ(Get(s, "logging", "purge_type"), c.type);
        EXPECT_EQ(Get(s, "logging", "purge_value"), c.value);
    }
}

TEST_F(ToolConfigTest, VersionRules)
{
    struct Case {
        const char *name;
        int version;
        const char *sections;
        bool configured;
    } cases[] = {
        {"version 4 is refused", 4, "", false},
        {"a negative version is refused", -1, "", false},
        {"version 1 is upgraded", 1, "", true},
        {"version 2 in password mode is upgraded", 2, "", true},
        {"version 2 in directory mode must be entered again", 2,
         "<global><use_ldap>1</use_ldap></global>", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        WriteRaw(c.sections, c.version);
        QcfgSession s;
        EXPECT_EQ(Read(s), c.configured);
    }
}

TEST_F(ToolConfigTest, VersionZeroPasswordsAreHashedWhenRead)
{
    WriteRaw("<administrators><password>clear</password></administrators>", 0);
    QcfgSession s;
    ASSERT_TRUE(Read(s));
    std::string hash;
    ASSERT_TRUE(QcfgHashPassword("clear", hash));
    EXPECT_EQ(Get(s, "administrators", "password"), hash);
}

TEST_F(ToolConfigTest, LevelDigitsBecomeNames)
{
    WriteRaw("<logging><quen_admin>0</quen_admin><package_admin>3</package_admin><policy_admin>9</policy_admin>"
             "</logging>");
    QcfgSession s;
    ASSERT_TRUE(Read(s));
    EXPECT_EQ(Get(s, "logging", "quen_admin"), "None");
    EXPECT_EQ(Get(s, "logging", "package_admin"), "Informative");
    EXPECT_EQ(Get(s, "logging", "policy_admin"), "Normal");
}

TEST_F(ToolConfigTest, UnreadableFileMeansNotConfigured)
{
    struct Case {
        const char *name;
        const char *content;
    } cases[] = {
        {"not XML", "<quensc_configuration><global>"},
        {"empty root", "<quensc_configuration></quensc_configuration>"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream(dir_ + "conf/quensc.conf") << c.content;
        QcfgSession s;
        EXPECT_FALSE(Read(s));
    }
}

TEST(ConfigEscape, RefusesWhatXmlCannotCarry)
{
    RecordingHost host;
    struct Case {
        const char *name;
        const char *value;
        const char *expected; /* null: refused */
    } cases[] = {
        {"plain", "abc", "abc"},
        {"reserved characters", "<&>\"'", "&lt;&amp;&gt;&quot;&apos;"},
        {"line ends kept as references", "a\r\nb", "a&#13;&#10;b"},
        {"control character", "a\x01", nullptr},
        {"broken UTF-8", "a\xc3", nullptr},
        {"overlong UTF-8", "\xc0\xaf", nullptr},
        {"UTF-8 letter", "\xc3\xa9", "\xc3\xa9"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const char *got = QuenScConfigEscapeText(host.pool(), c.value);
        if (c.expected)
            EXPECT_STREQ(got, c.expected);
        else
            EXPECT_EQ(got, nullptr);
    }
}

} // namespace
