/* Tests of the data crypto module: the strict Base64 codec, digests of one
 * or more pieces, key creation, encryption round trips and every decryption
 * failure, each checked against the exact warning line it logs. */
#include "policydb/dbcrypto.h"

#include "policydb/db.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::string> g_warnings;
void RecordWarning(const char *text) { g_warnings.emplace_back(text); }
void Ignore(const char *) {}

/* Installs a sink that keeps warning lines; restores the defaults after. */
class DbCryptoTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_warnings.clear();
        PolDb_SetLogFunctions(Ignore, RecordWarning, nullptr);
        static const unsigned char bytes[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
        ASSERT_TRUE(PolDb_CryptoKeyCreate(bytes, sizeof bytes, &key));
    }
    void TearDown() override
    {
        PolDb_CryptoKeyDestroy(key);
        PolDb_SetLogFunctions(nullptr, nullptr, nullptr);
    }
    /* The one warning logged since the last call, "" if none; fails on more. */
    std::string TakeWarning()
    {
        EXPECT_LE(g_warnings.size(), 1u);
        std::string w = g_warnings.empty() ? "" : g_warnings.back();
        g_warnings.clear();
        return w;
    }
    std::string Digest(const char *const *pieces, const size_t *lengths, int count)
    {
        char *d = nullptr;
        EXPECT_TRUE(PolDb_Hash(pieces, lengths, count, &d));
        std::string s = d ? d : "(null)";
        free(d);
        return s;
    }
    std::string Encrypt(const char *plain)
    {
        char *c = nullptr;
        EXPECT_TRUE(PolDb_Encrypt(key, plain, &c));
        std::string s = c ? c : "";
        free(c);
        return s;
    }
    /* Decrypts; "(null)" for a failure, which must leave *plain null. */
    std::string Decrypt(const QCryptKey *k, const char *cipherText)
    {
        char *p = (char *)"junk";
        bool ok = PolDb_Decrypt(k, cipherText, &p);
        EXPECT_EQ(ok, p != nullptr);
        std::string s = p ? p : "(null)";
        free(p);
        return s;
    }

    QCryptKey *key = nullptr;
};

std::string Encode(const std::string &bytes)
{
    char *t = PolDb_Base64Encode((const unsigned char *)bytes.data(), bytes.size());
    std::string s = t ? t : "(null)";
    free(t);
    return s;
}

bool Decode(const char *text, std::string *bytes)
{
    unsigned char *out = (unsigned char *)1;
    size_t n = 99;
    bool ok = PolDb_Base64Decode(text, &out, &n);
    if (!ok) {
        EXPECT_EQ(nullptr, out);
        EXPECT_EQ(0u, n);
        return false;
    }
    EXPECT_NE(nullptr, out);
    bytes->assign((const char *)out, n);
    free(out);
    return true;
}

TEST(DbBase64, RfcVectorsBothWays)
{
    const char *vectors[][2] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},    {"foo", "Zm9v"},
                                {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
    for (auto &v : vectors) {
        EXPECT_EQ(v[1], Encode(v[0]));
        std::string back = "x";
        EXPECT_TRUE(Decode(v[1], &back)) << v[1];
        EXPECT_EQ(v[0], back);
    }
    std::string all;
    for (int i = 0; i < 256; i++)
        all += (char)i;
    std::string back;
    EXPECT_TRUE(Decode(Encode(all).c_str(), &back));
    EXPECT_EQ(all, back);
    EXPECT_EQ(nullptr, PolDb_Base64Encode(nullptr, 3));
}

TEST(DbBase64, RejectsEverythingButCanonicalText)
{
    std::string bytes;
    for (const char *bad : {"Zg=", "Zg", "Zm9vY", "Z===", "====", "Zm=v", "=m9v", "Zm9v=", "Zm9v====",
                            "Zm9v\n", "Zm9v\r\nZm9v", "Zm 9v", "Z-9v", "Z_9v", "Zm9\x80",
                            "Zh==",   /* 'h' leaves a set bit after the last byte */
                            "Zm9="}) {
        EXPECT_FALSE(Decode(bad, &bytes)) << bad;
    }
    EXPECT_FALSE(Decode(nullptr, &bytes));
}

TEST_F(DbCryptoTest, DigestsOfPieces)
{
    const char *abc[] = {"abc"};
    EXPECT_EQ("qZk+NkcGgWq6PiVxeFDCbJzQ2J0=", Digest(abc, nullptr, 1));

    const char *split[] = {"ab", nullptr, "c"};
    const size_t splitLengths[] = {2, 99, 1}; /* a null piece's length is never read */
    EXPECT_EQ("qZk+NkcGgWq6PiVxeFDCbJzQ2J0=", Digest(split, splitLengths, 3));

    /* given lengths are used, so a piece may hold zero bytes */
    const char *binary[] = {"a\0b"};
    const size_t binaryLength[] = {3};
    EXPECT_EQ("Sj3sLR+CRSgIVcQtsO5COfkX/bg=", Digest(binary, binaryLength, 1));

    EXPECT_EQ("2jmj7l5rSw0yVb/vlWAYkK/YBwk=", Digest(nullptr, nullptr, 0));
    EXPECT_EQ("2jmj7l5rSw0yVb/vlWAYkK/YBwk=", Digest(abc, nullptr, -1));
    EXPECT_EQ("", TakeWarning());
}

TEST_F(DbCryptoTest, HashTwoIsDigestOfConcatenation)
{
    char *d = nullptr;
    ASSERT_TRUE(PolDb_HashTwo("ab", "c", &d));
    EXPECT_STREQ("qZk+NkcGgWq6PiVxeFDCbJzQ2J0=", d);
    free(d);
    ASSERT_TRUE(PolDb_HashTwo("salt", "password", &d)); /* salted password form */
    EXPECT_STREQ("WbPo1jfPl+2+I4TPWct0U9/jB4k=", d);
    free(d);
    ASSERT_TRUE(PolDb_HashTwo(nullptr, "abc", &d));
    EXPECT_STREQ("qZk+NkcGgWq6PiVxeFDCbJzQ2J0=", d);
    free(d);
    ASSERT_TRUE(PolDb_HashTwo(nullptr, nullptr, &d));
    EXPECT_STREQ("2jmj7l5rSw0yVb/vlWAYkK/YBwk=", d);
    EXPECT_EQ(28u, strlen(d));
    free(d);
}

TEST_F(DbCryptoTest, KeyCreationFailures)
{
    static const unsigned char bytes[32] = {1};
    QCryptKey *k = (QCryptKey *)1;
    EXPECT_FALSE(PolDb_CryptoKeyCreate(bytes, 0, &k));
    EXPECT_EQ(nullptr, k);
    EXPECT_EQ("Error: CryptoKeyCreate() received 0 bytes for key data", TakeWarning());
    EXPECT_FALSE(PolDb_CryptoKeyCreate(nullptr, 16, &k));
    EXPECT_EQ("Error: CryptoKeyCreate() received 0 bytes for key data", TakeWarning());
    EXPECT_FALSE(PolDb_CryptoKeyCreate(bytes, 15, &k));
    EXPECT_EQ(nullptr, k);
    EXPECT_EQ("Error: Failed to create key: key data must be 16 bytes for AES-128", TakeWarning());
    PolDb_CryptoKeyDestroy(nullptr);
}

TEST_F(DbCryptoTest, EncryptDecryptRoundTrips)
{
    std::string longText(1000, 'x');
    for (const char *plain : {"", "p", "a protected configuration value", "p\xc3\xa4ssw\xc3\xb6rd", longText.c_str()}) {
        std::string c = Encrypt(plain);
        size_t sealed = 16 + (strlen(plain) / 16 + 1) * 16 + 20;
        EXPECT_EQ((sealed + 2) / 3 * 4, c.size());
        EXPECT_EQ(plain, Decrypt(key, c.c_str()));
    }
    EXPECT_NE(Encrypt("same"), Encrypt("same")) << "each encryption has its own IV";
    EXPECT_EQ("", TakeWarning());
}

/* The layout written by one program build must stay readable by the next:
 * this text was made outside the library (openssl command line) for key
 * bytes 00..0f. */
TEST_F(DbCryptoTest, DecryptsTextMadeElsewhere)
{
    EXPECT_EQ("secret value",
              Decrypt(key, "oKGio6SlpqeoqaqrrK2ur1m4gq2C9+q64zrAVzkxSGQuWOcgyhLv/WQholjq9pZ5i84ZwQ=="));
}

TEST_F(DbCryptoTest, DecryptFailuresLogAndYieldNull)
{
    EXPECT_EQ("(null)", Decrypt(key, "not base64!"));
    EXPECT_EQ("ERROR: Failed to base64 decode cipher text", TakeWarning());
    EXPECT_EQ("(null)", Decrypt(key, nullptr));
    EXPECT_EQ("ERROR: Failed to base64 decode cipher text", TakeWarning());
    EXPECT_EQ("(null)", Decrypt(key, ""));
    EXPECT_EQ("Error: decrypt failed: cipher text has an invalid length", TakeWarning());

    std::string c = Encrypt("value");
    static const unsigned char otherBytes[16] = {9};
    QCryptKey *other = nullptr;
    ASSERT_TRUE(PolDb_CryptoKeyCreate(otherBytes, sizeof otherBytes, &other));
    EXPECT_EQ("(null)", Decrypt(other, c.c_str()));
    EXPECT_EQ("Error: decrypt failed: cipher text failed authentication", TakeWarning());
    PolDb_CryptoKeyDestroy(other);
}

TEST_F(DbCryptoTest, AnyChangedCharacterIsRejected)
{
    std::string good = Encrypt("a protected configuration value");
    for (size_t i = 0; i < good.size(); i++) {
        if (good[i] == '=')
            continue;
        std::string bad = good;
        bad[i] = good[i] == 'A' ? 'B' : 'A';
        EXPECT_EQ("(null)", Decrypt(key, bad.c_str())) << "position " << i;
        std::string w = TakeWarning();
        EXPECT_TRUE(w == "Error: decrypt failed: cipher text failed authentication" ||
                    w == "ERROR: Failed to base64 decode cipher text")
            << w;
    }
}

TEST_F(DbCryptoTest, EncryptFailures)
{
    char *c = (char *)"junk";
    EXPECT_FALSE(PolDb_Encrypt(nullptr, "text", &c));
    EXPECT_EQ(nullptr, c);
    EXPECT_EQ("Error: encrypt failed: invalid argument", TakeWarning());
    EXPECT_FALSE(PolDb_Encrypt(key, nullptr, &c));
    EXPECT_EQ(nullptr, c);
    EXPECT_EQ("Error: encrypt failed: invalid argument", TakeWarning());
}

} // namespace
