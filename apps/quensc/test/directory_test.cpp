/* Directory services without a directory: account states, domain/DN
 * conversions, filter escaping, the NetBIOS packets, and the refusals that
 * happen before any network traffic. The paths through a real directory are
 * tested black-box against a domain controller (tests/blackbox). */
#include "recording_host.h"

#include "directory/directory.h"
#include "directory/ldapConn.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

class Directory : public ::testing::Test {
protected:
    void SetUp() override
    {
        ctx_.pool = host_.pool();
        server_.configuration = QuenScConfigDefaults(host_.pool(), nullptr);
        server_.configuration->global.use_ldap = 1;
        server_.configuration->ldap.host = const_cast<char *>("127.0.0.1");
        ctx_.server = &server_;
    }
    RecordingHost host_;
    QuenScServer server_{};
    i_ctx ctx_{};
};

/* 2026-01-01 in 100-nanosecond intervals since 1601. */
constexpr int64_t kNow = 134114976000000000LL;
constexpr const char *kDay = "864000000000";

struct StatusCase {
    const char *what, *maxPwdAge, *pwdLastSet, *control, *expires;
    int expected;
};

TEST_F(Directory, AccountStatusFirstMatchingRuleWins)
{
    const std::string recent = std::to_string(kNow - 10 * 864000000000LL);  /* 10 days ago */
    const std::string old = std::to_string(kNow - 100 * 864000000000LL);    /* 100 days ago */
    const std::string past = std::to_string(kNow - 1);
    const std::string future = std::to_string(kNow + 864000000000LL);
    const std::string age42 = "-36288000000000"; /* 42 days, the usual maximum */
    const std::string age1 = std::string("-") + kDay;
    const std::vector<StatusCase> cases = {
        {"disabled beats everything", age42.c_str(), "0", "530", past.c_str(), QUENSC_USER_ACCOUNT_DISABLED},
        {"locked out", age42.c_str(), "0", "528", past.c_str(), QUENSC_USER_ACCOUNT_LOCKOUT},
        {"cannot change", age42.c_str(), "0", "576", past.c_str(), QUENSC_PASSWORD_CANT_CHANGE},
        {"never expires", age42.c_str(), "0", "66048", past.c_str(), QUENSC_OK},
        {"account expired", age42.c_str(), "0", "512", past.c_str(), QUENSC_USER_ACCOUNT_EXPIRED},
        {"expiry 0 means none", age42.c_str(), recent.c_str(), "512", "0", QUENSC_OK},
        {"expiry max means none", age42.c_str(), recent.c_str(), "512", "9223372036854775807", QUENSC_OK},
        {"future expiry", age42.c_str(), recent.c_str(), "512", future.c_str(), QUENSC_OK},
        {"must change", age42.c_str(), "0", "512", "0", QUENSC_PASSWORD_MUST_CHANGE},
        {"password older than 42 days", age42.c_str(), old.c_str(), "512", "0", QUENSC_PASSWORD_EXPIRED},
        {"password younger than 42 days", age42.c_str(), recent.c_str(), "512", "0", QUENSC_OK},
        {"one day maximum", age1.c_str(), recent.c_str(), "512", "0", QUENSC_PASSWORD_EXPIRED},
        {"maximum 0 never expires", "0", old.c_str(), "512", "0", QUENSC_OK},
        {"maximum 'never' never expires", "-9223372036854775808", old.c_str(), "512", "0", QUENSC_OK},
        {"flagged expired", "0", recent.c_str(), "8389120", "0", QUENSC_PASSWORD_EXPIRED},
        {"no numbers count as 0", "x", "y", "z", "w", QUENSC_PASSWORD_MUST_CHANGE},
        {"cannot change alone, as the password change reads it", "", "", "576", "", QUENSC_PASSWORD_CANT_CHANGE},
    };
    for (const StatusCase &c : cases)
        EXPECT_EQ(QuenScAccountStatusAt(c.maxPwdAge, c.pwdLastSet, c.control, c.expires, kNow), c.expected)
            << c.what;
}

TEST_F(Directory, DomainAndDnConvertBothWays)
{
    EXPECT_STREQ(QuenScDomainToDn(ctx_.pool, "quen.test"), "dc=quen,dc=test");
    EXPECT_STREQ(QuenScDomainToDn(ctx_.pool, "a.b.c"), "dc=a,dc=b,dc=c");
    EXPECT_STREQ(QuenScDomainToDn(ctx_.pool, "single"), "dc=single");
    EXPECT_STREQ(QuenScDnToDomain(ctx_.pool, "DC=quen,DC=test"), "quen.test");
    EXPECT_STREQ(QuenScDnToDomain(ctx_.pool, "CN=bob,CN=Users, d c =quen,dc=test"), "quen.test");
    EXPECT_STREQ(QuenScDnToDomain(ctx_.pool, "CN=bob,OU=x"), "");
}

TEST_F(Directory, FilterValuesAreEscaped)
{
    const std::vector<std::pair<const char *, const char *>> cases = {
        {"bob", "bob"},
        {"*", "\\2a"},
        {"a)(cn=*", "a\\29\\28cn=\\2a"},
        {"back\\slash", "back\\5cslash"},
        {"J\xc3\xb6rg", "J\xc3\xb6rg"},
        {nullptr, ""},
    };
    for (const auto &[in, out] : cases)
        EXPECT_STREQ(QuenScLdapEscapeFilterValue(ctx_.pool, in), out) << (in ? in : "(null)");
}

TEST_F(Directory, NetbiosQueryEncodesUpperCasePaddedNameWithSuffix1C)
{
    unsigned char *packet = nullptr;
    size_t length = 0;
    ASSERT_EQ(QuenScNetbiosCreateQuery(&ctx_, "quen", &packet, &length), QUENSC_OK);
    ASSERT_EQ(length, 50u);
    const unsigned char header[12] = {0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(memcmp(packet, header, 12), 0);
    EXPECT_EQ(packet[12], 0x20);
    /* "QUEN" + 11 spaces + 0x1C, each byte as 'A' + high nibble, 'A' + low nibble. */
    std::string name = "FBFFEFEO";
    for (int i = 0; i < 11; i++)
        name += "CA";
    name += "BM";
    EXPECT_EQ(std::string(reinterpret_cast<char *>(packet + 13), 32), name);
    EXPECT_EQ(packet[45], 0);
    const unsigned char tail[4] = {0, 0x20, 0, 1};
    EXPECT_EQ(memcmp(packet + 46, tail, 4), 0);
}

std::vector<unsigned char> Response(size_t length, int answers, int type, int dataLength)
{
    std::vector<unsigned char> r(length, 0);
    r[7] = static_cast<unsigned char>(answers);
    r[46] = static_cast<unsigned char>(type >> 8);
    r[47] = static_cast<unsigned char>(type);
    r[55] = static_cast<unsigned char>(dataLength);
    if (length >= 62) {
        r[58] = 10;
        r[59] = 1;
        r[60] = 2;
        r[61] = 200;
    }
    return r;
}

TEST_F(Directory, NetbiosResponsesAreCheckedInOrder)
{
    struct Case {
        std::vector<unsigned char> response;
        bool ok;
        const char *notice;
    };
    const std::vector<Case> cases = {
        {Response(62, 1, 0x20, 6), true, nullptr},
        {Response(61, 1, 0x20, 6), false, "QUENSC: Buffer received is less than expected size (62 > 61)"},
        {Response(62, 2, 0x20, 6), false, "QUENSC: Invalid answer count (2 != 1)"},
        {Response(62, 1, 0x21, 6), false, "QUENSC: Invalid answer type (33 != 32)"},
        {Response(62, 1, 0x20, 5), false, "QUENSC: Invlaid answer data length (5 < 6)"},
    };
    for (const Case &c : cases) {
        host_.Clear();
        char address[16] = "";
        EXPECT_EQ(QuenScNetbiosParseResponse(c.response.data(), c.response.size(), address), c.ok);
        if (c.ok)
            EXPECT_STREQ(address, "10.1.2.200");
        else
            EXPECT_EQ(host_.Texts().at(0), c.notice);
    }
}

TEST_F(Directory, NetbiosNamesOfSixteenBytesAreNotQueried)
{
    server_.configuration->ldap.host = const_cast<char *>("127.0.0.9");
    EXPECT_EQ(QuenScNetbiosDomainToNamingContext(&ctx_, "ABCDEFGHIJKLMNOP"), nullptr);
    EXPECT_EQ(QuenScNetbiosDomainToNamingContext(&ctx_, ""), nullptr);
    EXPECT_TRUE(host_.Texts().empty()) << host_.All();
}

TEST_F(Directory, NetbiosIsNotQueriedWithoutTheDirectory)
{
    server_.configuration->global.use_ldap = 0;
    server_.configuration->ldap.host = const_cast<char *>("127.0.0.9");
    EXPECT_EQ(QuenScNetbiosDomainToNamingContext(&ctx_, "QUEN"), nullptr);
    EXPECT_TRUE(host_.Texts().empty()) << host_.All();
}

TEST_F(Directory, QueryAccountInNetbiosFormIsRefusedBeforeAnyConnection)
{
    server_.configuration->krb5.query_user = const_cast<char *>("QUEN\\query");
    server_.configuration->ldap.host = const_cast<char *>("127.0.0.9");
    QuenScLdapConn conn{};
    conn.host = "127.0.0.9";
    EXPECT_EQ(QuenScLdapOpen(&ctx_, &conn), QUENSC_INTERNAL);
    EXPECT_EQ(conn.handle, nullptr);
    EXPECT_FALSE(conn.bound);
    EXPECT_EQ(host_.Texts().back(), "QUENSC: QuenScLdapOpen(): Failed to parse query_user QUEN\\query");
}

TEST_F(Directory, PasswordValuesAreQuotedUtf16LittleEndian)
{
    struct berval value {};
    ASSERT_TRUE(QuenScUnicodePwdValue(ctx_.pool, "a\xc3\xa9\xf0\x9f\x94\x91", &value));
    /* '"', 'a', U+00E9, U+1F511 as a surrogate pair, '"' */
    const unsigned char expected[] = {0x22, 0, 0x61, 0, 0xE9, 0, 0x3D, 0xD8, 0x11, 0xDD, 0x22, 0};
    ASSERT_EQ(value.bv_len, sizeof expected);
    EXPECT_EQ(memcmp(value.bv_val, expected, sizeof expected), 0);
}

TEST_F(Directory, PasswordValuesRefuseBrokenUtf8AndOverlongPasswords)
{
    struct berval value {};
    const std::vector<std::string> refused = {"\xc3", "\xc0\xaf", "\xed\xa0\x80", "\xff", std::string(8192, 'p')};
    for (const std::string &password : refused)
        EXPECT_FALSE(QuenScUnicodePwdValue(ctx_.pool, password.c_str(), &value)) << password.size();
    EXPECT_TRUE(QuenScUnicodePwdValue(ctx_.pool, std::string(8191, 'p').c_str(), &value));
}

TEST_F(Directory, EmptyPasswordNeverBinds)
{
    EXPECT_EQ(QuenScLdapBind(nullptr, "bob@quen.test", ""), LDAP_INVALID_CREDENTIALS);
    EXPECT_EQ(QuenScLdapBind(nullptr, "bob@quen.test", nullptr), LDAP_INVALID_CREDENTIALS);
}

TEST_F(Directory, EmptyUserOrGroupIsNoMembershipWithoutAConnection)
{
    EXPECT_EQ(QuenScLdapIsMember(&ctx_, "", "CN=g"), QUENSC_AUTHENTICATION_FAILED);
    EXPECT_EQ(QuenScLdapIsMember(&ctx_, "CN=u", nullptr), QUENSC_AUTHENTICATION_FAILED);
    EXPECT_TRUE(host_.Texts().empty()) << host_.All();
}

} // namespace
