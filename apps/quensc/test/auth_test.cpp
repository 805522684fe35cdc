/* Password hashes, their check, the security masks and user name parsing. */
#include "recording_host.h"

#include "frame/managerAuth.h"
#include "directory/directory.h"

#include <gtest/gtest.h>

namespace {

class Auth : public ::testing::Test {
protected:
    void SetUp() override
    {
        ctx_.pool = host_.pool();
        server_.configuration = QuenScConfigDefaults(host_.pool(), nullptr);
        ctx_.server = &server_;
        memset(session_.record, 0, sizeof session_.record);
    }
    RecordingHost host_;
    QuenScServer server_{};
    i_ctx ctx_{};
    QuenScSession session_{};
};

TEST_F(Auth, PasswordHashesAreSaltedSha1InBase64)
{
    /* SHA-1("abc") = a9993e36 4706816a ba3e2571 7850c26c 9cd0d89d */
    EXPECT_STREQ(QuenScPasswordHash(ctx_.pool, nullptr, "abc"), "qZk+NkcGgWq6PiVxeFDCbJzQ2J0=");
    EXPECT_STREQ(QuenScPasswordHash(ctx_.pool, "a", "bc"), "qZk+NkcGgWq6PiVxeFDCbJzQ2J0=");
    EXPECT_STREQ(QuenScPasswordHash(ctx_.pool, "", "abc"), "qZk+NkcGgWq6PiVxeFDCbJzQ2J0=");
    /* SHA-1 of nothing */
    EXPECT_STREQ(QuenScPasswordHash(ctx_.pool, nullptr, nullptr), "2jmj7l5rSw0yVb/vlWAYkK/YBwk=");

    const char *stored = QuenScPasswordHash(ctx_.pool, "instance-1", "pw");
    EXPECT_EQ(QuenScCheckPasswordHash(&ctx_, "instance-1", "pw", stored), QUENSC_OK);
    EXPECT_EQ(QuenScCheckPasswordHash(&ctx_, "instance-2", "pw", stored), QUENSC_AUTHENTICATION_FAILED);
    EXPECT_EQ(QuenScCheckPasswordHash(&ctx_, "instance-1", "PW", stored), QUENSC_AUTHENTICATION_FAILED);
    EXPECT_EQ(QuenScCheckPasswordHash(&ctx_, "instance-1", nullptr, stored), QUENSC_AUTHENTICATION_FAILED);
    EXPECT_EQ(QuenScCheckPasswordHash(&ctx_, nullptr, "pw", nullptr), QUENSC_AUTHENTICATION_FAILED);
}

TEST_F(Auth, SecurityMasks)
{
    EXPECT_EQ(QuenScSecurityCheck(&ctx_, nullptr, "Echo", QUENSC_ACCESS_ANY), QUENSC_OK);
    EXPECT_EQ(QuenScSecurityCheck(&ctx_, nullptr, "QuenCreate", QUENSC_ACCESS_ADMIN), QUENSC_INSUFFICIENT_PRIVILEGES);
    EXPECT_EQ(host_.Texts().back(), "QUENSC: Security check failed for handler: QuenCreate");
    EXPECT_EQ(host_.Lines().back().level, QUENSC_LOG_NOTICE) << "an information line";
    EXPECT_EQ(QuenScSecurityCheck(&ctx_, &session_, "QuenInfo", 3), QUENSC_INSUFFICIENT_PRIVILEGES);
    QuenScSessionSetHelpdesk(&session_, "Helpdesk");
    EXPECT_EQ(QuenScSecurityCheck(&ctx_, &session_, "QuenInfo", 3), QUENSC_OK);
    EXPECT_EQ(QuenScSecurityCheck(&ctx_, &session_, "QuenCreate", 1), QUENSC_INSUFFICIENT_PRIVILEGES);
    QuenScSessionSetAdministrator(&session_, "Administrator");
    QuenScSessionClearHelpdesk(&session_);
    EXPECT_EQ(QuenScSecurityCheck(&ctx_, &session_, "QuenCreate", 1), QUENSC_OK);
    EXPECT_EQ(QuenScSecurityCheck(&ctx_, &session_, "QuenInfo", 3), QUENSC_OK);
}

TEST_F(Auth, SessionRecordTextsAreCutTo255)
{
    std::string longName(300, 'n');
    QuenScSessionMarkInstanceAuthenticated(&session_, longName.c_str(), std::string(400, 'u').c_str());
    EXPECT_EQ(std::string(QuenScSessionUserName(&session_)), std::string(255, 'n'));
    EXPECT_TRUE(QuenScSessionIsAuthenticatedForInstance(&session_, std::string(255, 'u').c_str()));
    EXPECT_FALSE(QuenScSessionIsAuthenticatedForInstance(&session_, std::string(255, 'U').c_str()));
    EXPECT_FALSE(QuenScSessionIsAuthenticatedForInstance(&session_, nullptr));
}

TEST_F(Auth, ParsingUserNames)
{
    char *name = nullptr, *domain = nullptr;
    bool translated = true;
    EXPECT_EQ(QuenParseUser(&ctx_, "bob@example.org", false, &name, &domain, &translated), QUENSC_OK);
    EXPECT_STREQ(name, "bob");
    EXPECT_STREQ(domain, "example.org");
    EXPECT_FALSE(translated);
    EXPECT_EQ(QuenParseUser(&ctx_, "@@bob@a@b", false, &name, &domain, nullptr), QUENSC_OK);
    EXPECT_STREQ(name, "bob");
    EXPECT_STREQ(domain, "a@b");
    EXPECT_EQ(QuenParseUser(&ctx_, "bob@", false, &name, &domain, nullptr), QUENSC_OK);
    EXPECT_STREQ(name, "bob@");
    EXPECT_EQ(domain, nullptr);
    EXPECT_EQ(QuenParseUser(&ctx_, "plain", false, &name, &domain, nullptr), QUENSC_OK);
    EXPECT_STREQ(name, "plain");

    host_.Clear();
    EXPECT_EQ(QuenParseUser(&ctx_, "CORP\\bob", false, &name, &domain, nullptr), QUENSC_INTERNAL);
    EXPECT_EQ(host_.Texts().at(0), "QUENSC: QuenParseUser() Found a NETBIOS name in a QUERY user");
    /* Allowed, but the domain cannot be translated: the whole text is the name. */
    EXPECT_EQ(QuenParseUser(&ctx_, "CORP\\bob", true, &name, &domain, &translated), QUENSC_OK);
    EXPECT_STREQ(name, "CORP\\bob");
    EXPECT_EQ(domain, nullptr);
    EXPECT_FALSE(translated);
}

} // namespace
