/* Tests of the configuration record and its reader: the defaults, every key
 * absent, empty and set, integer conversion, the walk's end at an empty
 * section, unknown elements, XML text decoding, the stored secrets of each
 * configuration version (clear, obfuscated, tampered), the file and parse
 * failures with their exact lines, path resolution, and that no secret ever
 * reaches a log. */
#include "frame/config.h"

#include "policydb/db.h"
#include "policydb/dbcrypto.h"
#include "frame/log.h"
#include "recording_host.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> g_dbLines;
void RecordDbLine(const char *text) { g_dbLines.emplace_back(text); }

/* A scratch installation folder DIR with DIR/conf/quensc.conf, a recording
 * host, and a sink for the crypto module's own warnings. */
class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/quensc_config_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ASSERT_EQ(mkdir((dir_ + "/conf").c_str(), 0700), 0);
        path_ = dir_ + "/conf/quensc.conf";
        g_dbLines.clear();
        PolDb_SetLogFunctions(RecordDbLine, RecordDbLine, nullptr);
    }
    void TearDown() override
    {
        PolDb_SetLogFunctions(nullptr, nullptr, nullptr);
        std::string command = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(system(command.c_str()), 0);
    }

    /* Writes the file as given and reads it over fresh defaults. */
    int ReadRaw(const std::string &content)
    {
        std::ofstream(path_, std::ios::binary) << content;
        cfg_ = QuenScConfigDefaults(host_.pool(), path_.c_str());
        return QuenScConfigRead(host_.pool(), cfg_);
    }
    /* Reads a file whose root holds the given sections. */
    int Read(const std::string &sections)
    {
        return ReadRaw("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<quensc_configuration>\n" + sections +
                       "</quensc_configuration>\n");
    }
    /* A text as the configuration tool stores a secret. */
    static std::string Obfuscate(const char *plain, const unsigned char *keyBytes = PolDb_ConfigObfuscationKey)
    {
        QCryptKey *key = nullptr;
        EXPECT_TRUE(PolDb_CryptoKeyCreate(keyBytes, 16, &key));
        char *cipher = nullptr;
        EXPECT_TRUE(PolDb_Encrypt(key, plain, &cipher));
        std::string s = cipher ? cipher : "";
        free(cipher);
        PolDb_CryptoKeyDestroy(key);
        return s;
    }
    std::string Under(const std::string &relative) const { return dir_ + "/conf/" + relative; }
    /* Every line logged by the module and by the crypto module. */
    std::string AllLogs() const
    {
        std::string all = host_.All();
        for (const std::string &l : g_dbLines)
            all += l;
        return all;
    }

    RecordingHost host_;
    std::string dir_, path_;
    QuenScConfig *cfg_ = nullptr;
};

std::string Str(const char *text) { return text ? text : "(null)"; }

TEST_F(ConfigTest, WithoutAFileTheDefaultsStandUnresolved)
{
    QuenScConfig *cfg = QuenScConfigDefaults(host_.pool(), nullptr);
    EXPECT_EQ(QuenScConfigRead(host_.pool(), cfg), 0);
    EXPECT_TRUE(host_.Texts().empty());
    EXPECT_EQ(cfg->path, nullptr);
    EXPECT_STREQ(cfg->sqlite.db_file, "../db/quensc.bin");
    EXPECT_STREQ(cfg->global.db_type, "sqlite");
}

TEST_F(ConfigTest, AbsentKeysKeepDefaultsWithPathsUnderTheConfFolder)
{
    ASSERT_EQ(Read("<global><configuration_version>1</configuration_version></global>\n"), 0);
    EXPECT_EQ(host_.Texts(), (std::vector<std::string>{"QUENSC: [global]", "QUENSC:    configuration_version = 1"}));
    EXPECT_STREQ(cfg_->path, path_.c_str());
    EXPECT_EQ(cfg_->global.configuration_version, 1);
    EXPECT_EQ(Str(cfg_->global.lock_file), Under("../db/global.lock"));
    EXPECT_STREQ(cfg_->global.db_type, "sqlite");
    EXPECT_EQ(cfg_->global.session_ttl, 86400);
    EXPECT_EQ(cfg_->global.session_reap_cycle, 21600);
    EXPECT_EQ(Str(cfg_->sqlite.db_file), Under("../db/quensc.bin"));
    EXPECT_EQ(Str(cfg_->sqlite.lock_file), Under("../db/quensc.lock"));
    EXPECT_EQ(Str(cfg_->odbc.lock_file), Under("../db/quensc.lock"));
    EXPECT_EQ(Str(cfg_->krb5.conf_file), Under("../conf/krb5.ini"));
    EXPECT_EQ(Str(cfg_->krb5.lock_file), Under("../tmp/krb5.lock"));
    EXPECT_EQ(Str(cfg_->ssl.cert), Under("../ssl/server.crt"));
    EXPECT_EQ(Str(cfg_->ssl.cert_chain), Under("../ssl/chain.crt"));
    EXPECT_EQ(cfg_->ldap.secure, 1);
    EXPECT_EQ(cfg_->krb5.ticket_lifetime, 86400);
    EXPECT_EQ(cfg_->krb5.translate_realm, 1);
    EXPECT_EQ(cfg_->global.use_ldap, 0);
    for (char *text : {cfg_->odbc.dsn, cfg_->odbc.username, cfg_->odbc.password, cfg_->ldap.host,
                       cfg_->ldap.search_dn, cfg_->krb5.query_user_pass, cfg_->administrators.password,
                       cfg_->helpdesk.ldap_group_dn})
        EXPECT_EQ(text, nullptr);
    /* a missing logging section: purge by age, one day */
    EXPECT_EQ(cfg_->logging.purge_type, 1);
    EXPECT_EQ(cfg_->logging.purge_value, 86400);
}

TEST_F(ConfigTest, EmptyElementsGiveNoValueOrTheirIntegers)
{
    ASSERT_EQ(Read("<global><configuration_version/><use_ldap/><db_type/><session_ttl/><session_reap_cycle/>"
                   "<lock_file/></global>\n"
                   "<sqlite><db_file/><lock_file></lock_file></sqlite>\n"
                   "<odbc><dsn/><username/><password/><lock_file/></odbc>\n"
                   "<ssl><cert/><cert_chain/></ssl>\n"
                   "<ldap><host/><secure/><search_dn/></ldap>\n"
                   "<krb5><default_realm/><query_user/><query_user_pass/><conf_file/><lock_file/>"
                   "<ticket_lifetime/><translate_realm/></krb5>\n"
                   "<administrators><ldap_group/><ldap_group_dn/><password/></administrators>\n"
                   "<helpdesk><ldap_group/><ldap_group_dn/><password/></helpdesk>\n"
                   "<logging><quen_admin/><package_admin/><policy_admin/><instance_admin/><authentication/>"
                   "<purge_type/><purge_value/></logging>\n"),
              0);
    EXPECT_EQ(cfg_->global.configuration_version, 0);
    EXPECT_EQ(cfg_->global.use_ldap, 0);
    EXPECT_EQ(cfg_->global.db_type, nullptr);
    EXPECT_EQ(cfg_->global.session_ttl, 86400);
    EXPECT_EQ(cfg_->global.session_reap_cycle, 21600);
    for (char *text : {cfg_->global.lock_file, cfg_->sqlite.db_file, cfg_->sqlite.lock_file, cfg_->odbc.dsn,
                       cfg_->odbc.username, cfg_->odbc.password, cfg_->odbc.lock_file, cfg_->ssl.cert,
                       cfg_->ssl.cert_chain, cfg_->ldap.host, cfg_->ldap.search_dn, cfg_->krb5.default_realm,
                       cfg_->krb5.query_user, cfg_->krb5.query_user_pass, cfg_->krb5.conf_file, cfg_->krb5.lock_file,
                       cfg_->administrators.ldap_group, cfg_->administrators.ldap_group_dn,
                       cfg_->administrators.password, cfg_->helpdesk.ldap_group, cfg_->helpdesk.ldap_group_dn,
                       cfg_->helpdesk.password})
        EXPECT_EQ(text, nullptr) << text;
    EXPECT_EQ(cfg_->ldap.secure, 0);
    EXPECT_EQ(cfg_->krb5.ticket_lifetime, 86400);
    EXPECT_EQ(cfg_->krb5.translate_realm, 1);
    EXPECT_EQ(cfg_->logging.quen_admin, 0);
    EXPECT_EQ(cfg_->logging.authentication, 0);
    EXPECT_EQ(cfg_->logging.purge_type, 0);
    EXPECT_EQ(cfg_->logging.purge_value, 0);

    std::vector<std::string> texts = host_.Texts();
    EXPECT_EQ(texts.size(), 9u + 37u);
    EXPECT_EQ(texts[3], "QUENSC:    db_type = ");
    EXPECT_EQ(texts[13], "QUENSC:    password = **********"); /* masked even when empty */
}

TEST_F(ConfigTest, EveryKeyReadWithItsValue)
{
    std::string odbcSecret = Obfuscate("odbc-Secret-1");
    std::string krbSecret = Obfuscate("krb-Secret-2");
    ASSERT_EQ(Read("\t<global>\n"
                   "\t\t<configuration_version>3</configuration_version>\n"
                   "\t\t<use_ldap>1</use_ldap>\n"
                   "\t\t<db_type>odbc</db_type>\n"
                   "\t\t<session_ttl>3600</session_ttl>\n"
                   "\t\t<session_reap_cycle>600</session_reap_cycle>\n"
                   "\t\t<lock_file>/var/lock/global.lock</lock_file>\n"
                   "\t</global>\n"
                   "\t<sqlite><db_file>data/q.bin</db_file><lock_file>/var/lock/q.lock</lock_file></sqlite>\n"
                   "\t<odbc><dsn>QuenDSN</dsn><username>quen</username><password>" +
                   odbcSecret +
                   "</password><lock_file>../db/odbc.lock</lock_file></odbc>\n"
                   "\t<ssl><cert>/etc/q/server.crt</cert><cert_chain>chain.pem</cert_chain></ssl>\n"
                   "\t<ldap><host>dc1.example.test</host><secure>0</secure>"
                   "<search_dn>DC=example,DC=test</search_dn></ldap>\n"
                   "\t<krb5><default_realm>EXAMPLE.TEST</default_realm><query_user>svc@example.test</query_user>"
                   "<query_user_pass>" +
                   krbSecret +
                   "</query_user_pass><conf_file>/etc/krb5.conf</conf_file><lock_file>/tmp/k.lock</lock_file>"
                   "<ticket_lifetime>7200</ticket_lifetime><translate_realm>0</translate_realm></krb5>\n"
                   "\t<administrators><ldap_group>Admins</ldap_group><ldap_group_dn>CN=Admins,DC=example,DC=test"
                   "</ldap_group_dn><password>AdminHash</password></administrators>\n"
                   "\t<helpdesk><ldap_group>Help</ldap_group><ldap_group_dn>CN=Help,DC=example,DC=test"
                   "</ldap_group_dn><password>HelpHash</password></helpdesk>\n"
                   "\t<logging><quen_admin>1</quen_admin><package_admin>2</package_admin>"
                   "<policy_admin>3</policy_admin><instance_admin>4</instance_admin>"
                   "<authentication>0</authentication><purge_type>2</purge_type>"
                   "<purge_value>5000000000</purge_value></logging>\n"),
              0);

    EXPECT_EQ(cfg_->global.configuration_version, 3);
    EXPECT_EQ(cfg_->global.use_ldap, 1);
    EXPECT_STREQ(cfg_->global.db_type, "odbc");
    EXPECT_EQ(cfg_->global.session_ttl, 3600);
    EXPECT_EQ(cfg_->global.session_reap_cycle, 600);
    EXPECT_STREQ(cfg_->global.lock_file, "/var/lock/global.lock");
    EXPECT_EQ(Str(cfg_->sqlite.db_file), Under("data/q.bin"));
    EXPECT_STREQ(cfg_->sqlite.lock_file, "/var/lock/q.lock");
    EXPECT_STREQ(cfg_->odbc.dsn, "QuenDSN");
    EXPECT_STREQ(cfg_->odbc.username, "quen");
    EXPECT_STREQ(cfg_->odbc.password, "odbc-Secret-1");
    EXPECT_EQ(Str(cfg_->odbc.lock_file), Under("../db/odbc.lock"));
    EXPECT_STREQ(cfg_->ssl.cert, "/etc/q/server.crt");
    EXPECT_EQ(Str(cfg_->ssl.cert_chain), Under("chain.pem"));
    EXPECT_STREQ(cfg_->ldap.host, "dc1.example.test");
    EXPECT_EQ(cfg_->ldap.secure, 0);
    EXPECT_STREQ(cfg_->ldap.search_dn, "DC=example,DC=test");
    EXPECT_STREQ(cfg_->krb5.default_realm, "EXAMPLE.TEST");
    EXPECT_STREQ(cfg_->krb5.query_user, "svc@example.test");
    EXPECT_STREQ(cfg_->krb5.query_user_pass, "krb-Secret-2");
    EXPECT_STREQ(cfg_->krb5.conf_file, "/etc/krb5.conf");
    EXPECT_STREQ(cfg_->krb5.lock_file, "/tmp/k.lock");
    EXPECT_EQ(cfg_->krb5.ticket_lifetime, 7200);
    EXPECT_EQ(cfg_->krb5.translate_realm, 0);
    EXPECT_STREQ(cfg_->administrators.ldap_group, "Admins");
    EXPECT_STREQ(cfg_->administrators.ldap_group_dn, "CN=Admins,DC=example,DC=test");
    EXPECT_STREQ(cfg_->administrators.password, "AdminHash");
    EXPECT_STREQ(cfg_->helpdesk.ldap_group, "Help");
    EXPECT_STREQ(cfg_->helpdesk.ldap_group_dn, "CN=Help,DC=example,DC=test");
    EXPECT_STREQ(cfg_->helpdesk.password, "HelpHash");
    EXPECT_EQ(cfg_->logging.quen_admin, 1);
    EXPECT_EQ(cfg_->logging.package_admin, 2);
    EXPECT_EQ(cfg_->logging.policy_admin, 3);
    EXPECT_EQ(cfg_->logging.instance_admin, 4);
    EXPECT_EQ(cfg_->logging.authentication, 0);
    EXPECT_EQ(cfg_->logging.purge_type, 2);
    EXPECT_EQ(cfg_->logging.purge_value, 5000000000LL);

    const std::vector<std::string> expected = {
        "[global]",
        "   configuration_version = 3",
        "   use_ldap = 1",
        "   db_type = odbc",
        "   session_ttl = 3600",
        "   session_reap_cycle = 600",
        "   lock_file = /var/lock/global.lock",
        "[sqlite]",
        "   db_file = data/q.bin",
        "   lock_file = /var/lock/q.lock",
        "[odbc]",
        "   dsn = QuenDSN",
        "   username = quen",
        "   password = **********",
        "   lock_file = ../db/odbc.lock",
        "[ssl]",
        "   cert = /etc/q/server.crt",
        "   cert_chain = chain.pem",
        "[ldap]",
        "   host = dc1.example.test",
        "   secure = 0",
        "   search_dn = DC=example,DC=test",
        "[krb5]",
        "   default_realm = EXAMPLE.TEST",
        "   query_user = svc@example.test",
        "   query_user_pass = **********",
        "   conf_file = /etc/krb5.conf",
        "   lock_file = /tmp/k.lock",
        "   ticket_lifetime = 7200",
        "   translate_realm = 0",
        "[administrators]",
        "   ldap_group = Admins",
        "   ldap_group_dn = CN=Admins,DC=example,DC=test",
        "   password = **********",
        "[helpdesk]",
        "   ldap_group = Help",
        "   ldap_group_dn = CN=Help,DC=example,DC=test",
        "   password = **********",
        "[logging]",
        "   quen_admin = 1",
        "   package_admin = 2",
        "   policy_admin = 3",
        "   instance_admin = 4",
        "   authentication = 0",
        "   purge_type = 2",
        "   purge_value = 5000000000",
    };
    std::vector<std::string> texts = host_.Texts();
    ASSERT_EQ(texts.size(), expected.size());
    for (size_t i = 0; i < expected.size(); i++)
        EXPECT_EQ(texts[i], "QUENSC: " + expected[i]);
    for (const std::string &secret :
         {std::string("odbc-Secret-1"), std::string("krb-Secret-2"), std::string("AdminHash"),
          std::string("HelpHash"), odbcSecret, krbSecret})
        EXPECT_EQ(AllLogs().find(secret), std::string::npos) << secret;
}

TEST_F(ConfigTest, IntegersUseTheOrdinaryDecimalConversion)
{
    ASSERT_EQ(Read("<global><use_ldap>abc</use_ldap><session_ttl>12abc</session_ttl>"
                   "<session_reap_cycle> -5</session_reap_cycle><configuration_version>99999999999"
                   "</configuration_version></global>\n"
                   "<ldap><secure> </secure></ldap>\n"
                   "<logging><purge_type>-99999999999</purge_type><purge_value>-9000000000</purge_value>"
                   "<quen_admin>+4</quen_admin></logging>\n"),
              0);
    EXPECT_EQ(cfg_->global.use_ldap, 0);
    EXPECT_EQ(cfg_->global.session_ttl, 12);
    EXPECT_EQ(cfg_->global.session_reap_cycle, -5);
    /* out of range stops at the limit instead of wrapping */
    EXPECT_EQ(cfg_->global.configuration_version, INT32_MAX);
    EXPECT_EQ(cfg_->logging.purge_type, INT32_MIN);
    EXPECT_EQ(cfg_->ldap.secure, 0);
    EXPECT_EQ(cfg_->logging.purge_value, -9000000000LL);
    EXPECT_EQ(cfg_->logging.quen_admin, 4);
    /* the log shows the text as written */
    EXPECT_EQ(host_.Texts()[2], "QUENSC:    session_ttl = 12abc");
}

TEST_F(ConfigTest, TicketLifetimeHasAFloorOf120)
{
    const std::pair<const char *, int32_t> cases[] = {
        {"50", 120}, {"-1", 120}, {"0", 120}, {"junk", 120}, {"119", 120}, {"120", 120}, {"121", 121}};
    for (const auto &[text, expected] : cases) {
        ASSERT_EQ(Read(std::string("<krb5><ticket_lifetime>") + text + "</ticket_lifetime></krb5>\n"), 0);
        EXPECT_EQ(cfg_->krb5.ticket_lifetime, expected) << text;
    }
}

TEST_F(ConfigTest, AnEmptySectionEndsTheWalk)
{
    /* the empty helpdesk hides logging; the later global is not read either */
    for (const char *empty : {"<helpdesk/>", "<helpdesk></helpdesk>", "<unknown/>"}) {
        host_.Clear();
        ASSERT_EQ(Read(std::string("<sqlite><db_file>/a.bin</db_file></sqlite>") + empty +
                       "<logging><purge_type>2</purge_type></logging><global><db_type>odbc</db_type></global>"),
                  0);
        EXPECT_STREQ(cfg_->sqlite.db_file, "/a.bin") << empty;
        EXPECT_EQ(cfg_->logging.purge_type, 1) << empty;
        EXPECT_STREQ(cfg_->global.db_type, "sqlite") << empty;
        EXPECT_EQ(host_.Texts(), (std::vector<std::string>{"QUENSC: [sqlite]", "QUENSC:    db_file = /a.bin"}));
    }

    /* white space is text: such a section is read (it has no keys) and the
     * walk goes on */
    ASSERT_EQ(Read("<helpdesk>\n\t</helpdesk><logging><purge_type>2</purge_type></logging>"), 0);
    EXPECT_EQ(cfg_->logging.purge_type, 2);
    EXPECT_EQ(cfg_->helpdesk.password, nullptr);
}

TEST_F(ConfigTest, UnknownSectionsAndKeysAreSkipped)
{
    ASSERT_EQ(Read("<Global><db_type>odbc</db_type></Global>\n"
                   "<extra><x>1</x></extra>\n"
                   "<ldap><ca_file>/etc/ldap.crt</ca_file><host>dc</host></ldap>\n"
                   "<global><password>Hunter22</password><DB_TYPE>odbc</DB_TYPE><session_ttl>60</session_ttl></global>\n"),
              0);
    EXPECT_STREQ(cfg_->global.db_type, "sqlite");
    EXPECT_STREQ(cfg_->ldap.host, "dc");
    EXPECT_EQ(cfg_->global.session_ttl, 60);
    std::vector<RecordedLine> lines = host_.Lines();
    std::vector<std::string> texts = host_.Texts();
    EXPECT_EQ(texts, (std::vector<std::string>{
                         "QUENSC: Invalid element in config file: Global",
                         "QUENSC: Invalid element in config file: extra",
                         "QUENSC: [ldap]",
                         "QUENSC: Invalid element in config file: ca_file",
                         "QUENSC:    host = dc",
                         "QUENSC: [global]",
                         "QUENSC: Invalid element in config file: password",
                         "QUENSC: Invalid element in config file: DB_TYPE",
                         "QUENSC:    session_ttl = 60",
                     }));
    EXPECT_EQ(lines[0].level, QUENSC_LOG_WARNING);
    EXPECT_EQ(lines[2].level, QUENSC_LOG_NOTICE);
}

TEST_F(ConfigTest, TextsAreDecodedAndKeptAsWritten)
{
    ASSERT_EQ(Read("<global><db_type> sqlite </db_type></global>\n"
                   "<odbc><dsn>a &amp; b &lt;c&gt; &#233;</dsn><username><![CDATA[x<y]]>z</username></odbc>\n"
                   "<ldap><search_dn>OU=Caf\xC3\xA9,DC=x</search_dn></ldap>\n"),
              0);
    EXPECT_STREQ(cfg_->global.db_type, " sqlite ");
    EXPECT_STREQ(cfg_->odbc.dsn, "a & b <c> \xC3\xA9");
    EXPECT_STREQ(cfg_->odbc.username, "x<yz");
    EXPECT_STREQ(cfg_->ldap.search_dn, "OU=Caf\xC3\xA9,DC=x");
}

/* The four secrets of a file of the given version, each its own text. */
std::string Secrets(int version, const std::string &odbc, const std::string &krb)
{
    return "<global><configuration_version>" + std::to_string(version) +
           "</configuration_version></global>\n"
           "<odbc><password>" +
           odbc + "</password></odbc>\n<krb5><query_user_pass>" + krb +
           "</query_user_pass></krb5>\n"
           "<administrators><password>ClearAdmin</password></administrators>\n"
           "<helpdesk><password>ClearHelp</password></helpdesk>\n";
}

TEST_F(ConfigTest, OldVersionsKeepSecretsAsStored)
{
    /* version 0 holds clear passwords (hashed later by the start-up
     * upgrade); versions up to 1, and negative ones, are not unscrambled */
    std::string scrambled = Obfuscate("x");
    for (int version : {0, 1, -1}) {
        host_.Clear();
        ASSERT_EQ(Read(Secrets(version, "OdbcClear", scrambled)), 0) << version;
        EXPECT_STREQ(cfg_->odbc.password, "OdbcClear");
        EXPECT_EQ(cfg_->krb5.query_user_pass, scrambled);
        EXPECT_STREQ(cfg_->administrators.password, "ClearAdmin");
        EXPECT_STREQ(cfg_->helpdesk.password, "ClearHelp");
        for (const char *secret : {"OdbcClear", "ClearAdmin", "ClearHelp"})
            EXPECT_EQ(AllLogs().find(secret), std::string::npos) << secret;
        EXPECT_EQ(AllLogs().find(scrambled), std::string::npos);
    }
}

TEST_F(ConfigTest, NewerVersionsUnscrambleBothSecrets)
{
    for (int version : {2, 3, 7}) {
        std::string odbc = Obfuscate("p@ss <odbc> & more");
        std::string krb = Obfuscate("kerberos pass");
        ASSERT_EQ(Read(Secrets(version, odbc, krb)), 0) << version;
        EXPECT_STREQ(cfg_->odbc.password, "p@ss <odbc> & more");
        EXPECT_STREQ(cfg_->krb5.query_user_pass, "kerberos pass");
        EXPECT_STREQ(cfg_->administrators.password, "ClearAdmin");
        for (const std::string &secret : {std::string("p@ss"), std::string("kerberos"), odbc, krb})
            EXPECT_EQ(AllLogs().find(secret), std::string::npos) << secret;
    }

    /* empty secrets are not unscrambled and stay without a value */
    ASSERT_EQ(Read(Secrets(3, "", "")), 0);
    EXPECT_EQ(cfg_->odbc.password, nullptr);
    EXPECT_EQ(cfg_->krb5.query_user_pass, nullptr);

    /* a clear empty text scrambles to a real cipher text: it comes back "" */
    ASSERT_EQ(Read(Secrets(2, Obfuscate(""), Obfuscate("k"))), 0);
    EXPECT_STREQ(cfg_->odbc.password, "");
    EXPECT_STREQ(cfg_->krb5.query_user_pass, "k");
}

/* A valid Base64 text of the same length with one character changed. */
std::string Tamper(std::string text)
{
    text[10] = text[10] == 'A' ? 'B' : 'A';
    return text;
}

TEST_F(ConfigTest, TamperedSecretsFailWithExactLines)
{
    static const unsigned char otherKey[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    const std::string good = Obfuscate("GoodSecret");
    struct Case {
        std::string odbc, krb, line;
    } cases[] = {
        {Tamper(Obfuscate("OdbcSecret")), good, "QUENSC: Failed to de-obfuscate odbc->password conf value"},
        {"OdbcSecretInClear", good, "QUENSC: Failed to de-obfuscate odbc->password conf value"},
        /* the first failure ends the unscrambling */
        {Tamper(Obfuscate("OdbcSecret")), Tamper(Obfuscate("KrbSecret")),
         "QUENSC: Failed to de-obfuscate odbc->password conf value"},
        {good, Tamper(Obfuscate("KrbSecret")), "QUENSC: Failed to de-obfuscate krb5->query_user_pwd conf value"},
        {"", Obfuscate("KrbSecret", otherKey), "QUENSC: Failed to de-obfuscate krb5->query_user_pwd conf value"},
    };
    for (const Case &c : cases) {
        host_.Clear();
        g_dbLines.clear();
        EXPECT_EQ(Read(Secrets(3, c.odbc, c.krb)), QUENSC_INTERNAL) << c.line;
        std::vector<std::string> texts = host_.Texts();
        ASSERT_GE(texts.size(), 2u);
        EXPECT_EQ(texts[texts.size() - 2], c.line);
        EXPECT_EQ(texts.back(), "QUENSC: Error during config file de-obfuscation");
        EXPECT_EQ(g_dbLines.size(), 1u); /* the crypto module's reason */
        for (const std::string &secret : {std::string("Secret"), c.odbc, c.krb}) {
            if (!secret.empty()) {
                EXPECT_EQ(AllLogs().find(secret), std::string::npos) << secret;
            }
        }
    }
}

TEST_F(ConfigTest, FileFailures)
{
    /* missing file */
    cfg_ = QuenScConfigDefaults(host_.pool(), (dir_ + "/conf/none.conf").c_str());
    EXPECT_EQ(QuenScConfigRead(host_.pool(), cfg_), QUENSC_INTERNAL);
    EXPECT_EQ(host_.Texts(), std::vector<std::string>{"QUENSC: Cannot open file " + dir_ + "/conf/none.conf"});

    /* a folder opens but cannot be read */
    host_.Clear();
    cfg_ = QuenScConfigDefaults(host_.pool(), (dir_ + "/conf").c_str());
    EXPECT_EQ(QuenScConfigRead(host_.pool(), cfg_), QUENSC_INTERNAL);
    EXPECT_EQ(host_.Texts(), std::vector<std::string>{"QUENSC: Cannot open file " + dir_ + "/conf"});

    const std::pair<std::string, std::string> broken[] = {
        {"<quensc_configuration><global></quensc_configuration>", "mismatched tag"},
        {"", "no element found"},
        {"<a/><b/>", "junk after document element"},
        {"<quensc_configuration><global><db_type>x &nope; y</db_type></global></quensc_configuration>",
         "undefined entity"},
    };
    for (const auto &[content, reason] : broken) {
        host_.Clear();
        EXPECT_EQ(ReadRaw(content), QUENSC_INVALID_CONFIG_FILE) << content;
        std::vector<std::string> texts = host_.Texts();
        ASSERT_EQ(texts.size(), 1u) << content;
        std::string prefix = "QUENSC: Cannot parse XML file " + path_ + " (";
        EXPECT_EQ(texts[0].substr(0, prefix.size()), prefix);
        EXPECT_NE(texts[0].find(reason), std::string::npos) << texts[0];
        EXPECT_EQ(texts[0].back(), ')');
    }

    for (const char *content : {"<quensc_configuration/>", "<quensc_configuration></quensc_configuration>"}) {
        host_.Clear();
        EXPECT_EQ(ReadRaw(content), QUENSC_INVALID_CONFIG_FILE);
        EXPECT_EQ(host_.Texts(), std::vector<std::string>{"QUENSC: Root element of config file is empty!"});
    }
}

TEST_F(ConfigTest, AnyRootWithContentIsAccepted)
{
    /* the root's name is not checked; text alone is content */
    EXPECT_EQ(ReadRaw("<config>\n</config>"), 0);
    EXPECT_EQ(ReadRaw("<other><global><db_type>odbc</db_type></global></other>"), 0);
    EXPECT_STREQ(cfg_->global.db_type, "odbc");
    EXPECT_EQ(host_.Texts().size(), 2u);
}

TEST_F(ConfigTest, ResolvePath)
{
    apr_pool_t *pool = host_.pool();
    QuenScConfig *cfg = QuenScConfigDefaults(pool, "/srv/q/conf/quensc.conf");
    EXPECT_STREQ(QuenScConfigResolvePath(pool, cfg, "../db/quensc.bin"), "/srv/q/conf/../db/quensc.bin");
    EXPECT_STREQ(QuenScConfigResolvePath(pool, cfg, "/abs/x"), "/abs/x");
    EXPECT_STREQ(QuenScConfigResolvePath(pool, cfg, ""), "");
    EXPECT_EQ(QuenScConfigResolvePath(pool, cfg, nullptr), nullptr);

    cfg = QuenScConfigDefaults(pool, "/quensc.conf");
    EXPECT_STREQ(QuenScConfigResolvePath(pool, cfg, "db/x"), "/db/x");

    /* no configuration file: relative to the working directory */
    cfg = QuenScConfigDefaults(pool, nullptr);
    EXPECT_STREQ(QuenScConfigResolvePath(pool, cfg, "../db/x"), "../db/x");

    /* a relative configuration path is pinned to the working directory */
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    cfg = QuenScConfigDefaults(pool, "conf/quensc.conf");
    EXPECT_EQ(Str(QuenScConfigResolvePath(pool, cfg, "../db/x")), std::string(cwd) + "/conf/../db/x");
    cfg = QuenScConfigDefaults(pool, "quensc.conf");
    EXPECT_EQ(Str(QuenScConfigResolvePath(pool, cfg, "db/x")), std::string(cwd) + "/db/x");
}

TEST_F(ConfigTest, ResolvedDefaultsNameTheInstallationFiles)
{
    /* what start-up opens is the installation's file, not one under the
     * working directory */
    ASSERT_EQ(mkdir((dir_ + "/db").c_str(), 0700), 0);
    std::ofstream(dir_ + "/db/quensc.bin") << "db";
    ASSERT_EQ(Read("<global><use_ldap>0</use_ldap></global>"), 0);
    std::ifstream in(cfg_->sqlite.db_file);
    std::string content;
    in >> content;
    EXPECT_EQ(content, "db");
}

} // namespace
