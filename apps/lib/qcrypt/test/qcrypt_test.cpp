/* Tests of qcrypt: SHA-1 known answers, algorithm lookup, key sizes, the
 * authenticated cipher text (round trips, a fixed vector made with the
 * openssl command line, tampering, wrong keys, bad lengths), error texts. */
#include "qcrypt.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

typedef std::vector<unsigned char> Bytes;

std::string Hex(const unsigned char *p, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

Bytes FromHex(const std::string &hex)
{
    Bytes b;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        b.push_back((unsigned char)std::stoi(hex.substr(i, 2), nullptr, 16));
    return b;
}

/* SHA-1 of text, fed in pieces of at most `step` bytes. */
std::string Sha1Hex(const std::string &text, size_t step)
{
    const QCryptHashAlg *alg = nullptr;
    EXPECT_EQ(QCRYPT_OK, QCrypt_FindHash("SHA-1", &alg));
    QCryptHashState *state = QCrypt_HashCreate(alg);
    EXPECT_NE(nullptr, state);
    for (size_t i = 0; i < text.size(); i += step)
        QCrypt_HashUpdate(state, text.data() + i, std::min(step, text.size() - i));
    unsigned char digest[QCRYPT_SHA1_SIZE];
    EXPECT_EQ(QCRYPT_OK, QCrypt_HashFinish(state, digest, sizeof digest));
    return Hex(digest, sizeof digest);
}

TEST(QCryptHash, KnownVectorsWholeAndInPieces)
{
    const std::string abc448 = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    for (size_t step : {(size_t)1, (size_t)7, (size_t)64, (size_t)1000000}) {
        EXPECT_EQ("da39a3ee5e6b4b0d3255bfef95601890afd80709", Sha1Hex("", step));
        EXPECT_EQ("a9993e364706816aba3e25717850c26c9cd0d89d", Sha1Hex("abc", step));
        EXPECT_EQ("84983e441c3bd26ebaae4aa1f95129e5e54670f1", Sha1Hex(abc448, step));
    }
    EXPECT_EQ("34aa973cd4c4daa4f61eeb2bdbad27316534016f", Sha1Hex(std::string(1000000, 'a'), 4096));
}

TEST(QCryptHash, SizeAndFinishFailures)
{
    const QCryptHashAlg *alg = nullptr;
    ASSERT_EQ(QCRYPT_OK, QCrypt_FindHash("SHA-1", &alg));
    EXPECT_EQ(20u, QCrypt_HashSize(alg));
    EXPECT_EQ(0u, QCrypt_HashSize(nullptr));
    EXPECT_EQ(nullptr, QCrypt_HashCreate(nullptr));

    /* a short buffer is refused, and the state is still freed (leak check) */
    unsigned char small[19];
    EXPECT_EQ(QCRYPT_ERR_BUFFER_TOO_SMALL, QCrypt_HashFinish(QCrypt_HashCreate(alg), small, sizeof small));
    EXPECT_EQ(QCRYPT_ERR_INVALID_ARGUMENT, QCrypt_HashFinish(nullptr, small, sizeof small));
    /* null bytes with a length poison the state instead of being read */
    QCryptHashState *state = QCrypt_HashCreate(alg);
    QCrypt_HashUpdate(state, nullptr, 5);
    unsigned char digest[20];
    EXPECT_EQ(QCRYPT_ERR_INVALID_ARGUMENT, QCrypt_HashFinish(state, digest, sizeof digest));
}

TEST(QCryptLookup, ExactNamesOnly)
{
    const QCryptHashAlg *alg = nullptr;
    const QCryptCipher *cipher = nullptr;
    const QCryptKeyedHash *mac = nullptr;
    EXPECT_EQ(QCRYPT_OK, QCrypt_FindCipher("AES-128", &cipher));
    EXPECT_NE(nullptr, cipher);
    EXPECT_EQ(QCRYPT_OK, QCrypt_FindKeyedHash("HMAC-SHA-1", &mac));
    EXPECT_NE(nullptr, mac);
    for (const char *name : {"SHA1", "sha-1", "SHA-256", "", "AES-128"}) {
        alg = (const QCryptHashAlg *)1;
        EXPECT_EQ(QCRYPT_ERR_UNKNOWN_ALGORITHM, QCrypt_FindHash(name, &alg)) << name;
        EXPECT_EQ(nullptr, alg);
    }
    EXPECT_EQ(QCRYPT_ERR_UNKNOWN_ALGORITHM, QCrypt_FindCipher("AES-256", &cipher));
    EXPECT_EQ(nullptr, cipher);
    EXPECT_EQ(QCRYPT_ERR_UNKNOWN_ALGORITHM, QCrypt_FindKeyedHash("HMAC-SHA-256", &mac));
    EXPECT_EQ(nullptr, mac);
    EXPECT_EQ(QCRYPT_ERR_INVALID_ARGUMENT, QCrypt_FindHash(nullptr, &alg));
    EXPECT_EQ(QCRYPT_ERR_INVALID_ARGUMENT, QCrypt_FindHash("SHA-1", nullptr));
}

TEST(QCryptMisc, ErrorTextsAndFips)
{
    EXPECT_TRUE(QCrypt_EnableFipsMode());
    std::set<std::string> texts;
    for (int code = QCRYPT_OK; code <= QCRYPT_ERR_INTERNAL; code++)
        texts.insert(QCrypt_ErrorText(code));
    EXPECT_EQ(10u, texts.size()) << "each code has its own text";
    EXPECT_EQ(0u, texts.count("unknown error code"));
    EXPECT_STREQ("unknown error code", QCrypt_ErrorText(-1));
    EXPECT_STREQ("unknown error code", QCrypt_ErrorText(1000));
}

class QCryptCipherTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(QCRYPT_OK, QCrypt_FindCipher("AES-128", &cipher));
        ASSERT_EQ(QCRYPT_OK, QCrypt_FindKeyedHash("HMAC-SHA-1", &mac));
        key = MakeKey(0);
    }
    void TearDown() override { QCrypt_KeyDestroy(key); }

    /* A key over the bytes first, first+1, ..., first+15. */
    QCryptKey *MakeKey(unsigned char first)
    {
        unsigned char bytes[16];
        for (int i = 0; i < 16; i++)
            bytes[i] = (unsigned char)(first + i);
        QCryptKey *k = nullptr;
        EXPECT_EQ(QCRYPT_OK, QCrypt_KeyCreate(cipher, bytes, sizeof bytes, &k));
        return k;
    }
    Bytes Encrypt(const std::string &plain)
    {
        unsigned char *out = nullptr;
        size_t n = 0;
        EXPECT_EQ(QCRYPT_OK, QCrypt_Encrypt(key, mac, (const unsigned char *)plain.data(), plain.size(), &out, &n));
        Bytes b(out, out + n);
        QCrypt_ReleaseBuffer(out, n);
        return b;
    }
    /* Decrypts with k; returns the code and fills plain on success. */
    int Decrypt(const QCryptKey *k, const Bytes &c, std::string *plain)
    {
        unsigned char *out = (unsigned char *)1;
        size_t n = 99;
        int rc = QCrypt_Decrypt(k, mac, c.data(), c.size(), &out, &n);
        if (rc != QCRYPT_OK) {
            EXPECT_EQ(nullptr, out);
            EXPECT_EQ(0u, n);
            return rc;
        }
        EXPECT_NE(nullptr, out);
        plain->assign((const char *)out, n);
        QCrypt_ReleaseBuffer(out, n);
        return rc;
    }

    const QCryptCipher *cipher = nullptr;
    const QCryptKeyedHash *mac = nullptr;
    QCryptKey *key = nullptr;
};

TEST_F(QCryptCipherTest, KeyNeedsExactly16Bytes)
{
    unsigned char bytes[32] = {0};
    for (size_t n : {(size_t)0, (size_t)1, (size_t)15, (size_t)17, (size_t)32}) {
        QCryptKey *k = (QCryptKey *)1;
        EXPECT_EQ(QCRYPT_ERR_KEY_SIZE, QCrypt_KeyCreate(cipher, bytes, n, &k)) << n;
        EXPECT_EQ(nullptr, k);
    }
    QCryptKey *k = nullptr;
    EXPECT_EQ(QCRYPT_ERR_INVALID_ARGUMENT, QCrypt_KeyCreate(cipher, nullptr, 16, &k));
    EXPECT_EQ(QCRYPT_ERR_INVALID_ARGUMENT, QCrypt_KeyCreate(nullptr, bytes, 16, &k));
    QCrypt_KeyDestroy(nullptr);
}

TEST_F(QCryptCipherTest, RoundTripsAtBlockBoundaries)
{
    for (size_t n : {0, 1, 15, 16, 17, 31, 32, 100, 4097}) {
        std::string plain;
        for (size_t i = 0; i < n; i++)
            plain += (char)(i * 7 + 1);
        Bytes c = Encrypt(plain);
        EXPECT_EQ(16 + (n / 16 + 1) * 16 + 20, c.size()) << n;
        std::string back = "junk";
        EXPECT_EQ(QCRYPT_OK, Decrypt(key, c, &back)) << n;
        EXPECT_EQ(plain, back);
    }
}

TEST_F(QCryptCipherTest, FreshIvEachTime)
{
    Bytes a = Encrypt("same text"), b = Encrypt("same text");
    EXPECT_NE(Bytes(a.begin(), a.begin() + 16), Bytes(b.begin(), b.begin() + 16));
    EXPECT_NE(a, b);
}

/* Made with the openssl command line: keys = HMAC-SHA-1(key bytes 00..0f,
 * label), IV a0..af, plain "secret value". Pins the layout, so texts stored
 * by one build stay readable by the next. */
TEST_F(QCryptCipherTest, DecryptsFixedVector)
{
    Bytes c = FromHex("a0a1a2a3a4a5a6a7a8a9aaabacadaeaf59b882ad82f7eabae33ac057393148642e58e720ca12effd"
                      "6421a258eaf696798bce19c1");
    std::string plain;
    EXPECT_EQ(QCRYPT_OK, Decrypt(key, c, &plain));
    EXPECT_EQ("secret value", plain);
}

TEST_F(QCryptCipherTest, EverySingleByteChangeIsDetected)
{
    Bytes good = Encrypt("a protected configuration value");
    for (size_t i = 0; i < good.size(); i++) {
        for (unsigned char flip : {0x01, 0x80}) {
            Bytes bad = good;
            bad[i] ^= flip;
            std::string plain;
            EXPECT_EQ(QCRYPT_ERR_AUTHENTICATION, Decrypt(key, bad, &plain)) << "byte " << i;
        }
    }
}

TEST_F(QCryptCipherTest, WrongKeyFails)
{
    Bytes c = Encrypt("for key 0");
    QCryptKey *other = MakeKey(1);
    std::string plain;
    EXPECT_EQ(QCRYPT_ERR_AUTHENTICATION, Decrypt(other, c, &plain));
    QCrypt_KeyDestroy(other);
}

TEST_F(QCryptCipherTest, BadLengthsAndArguments)
{
    Bytes c = Encrypt("twenty bytes of text"); /* 16 + 32 + 20 = 68 bytes */
    ASSERT_EQ(68u, c.size());
    std::string plain;
    for (size_t n : {0, 1, 36, 51, 67}) /* short or not IV + blocks + tag */
        EXPECT_EQ(QCRYPT_ERR_BAD_LENGTH, Decrypt(key, Bytes(c.begin(), c.begin() + n), &plain)) << n;
    /* a whole block cut out (or appended) still has a valid length */
    Bytes cut(c.begin(), c.begin() + 16);
    cut.insert(cut.end(), c.begin() + 32, c.end());
    EXPECT_EQ(QCRYPT_ERR_AUTHENTICATION, Decrypt(key, cut, &plain));
    Bytes grown = c;
    grown.insert(grown.end(), 16, 0);
    EXPECT_EQ(QCRYPT_ERR_AUTHENTICATION, Decrypt(key, grown, &plain));

    unsigned char *out = nullptr;
    size_t n = 0;
    EXPECT_EQ(QCRYPT_ERR_INVALID_ARGUMENT, QCrypt_Encrypt(nullptr, mac, c.data(), 1, &out, &n));
    EXPECT_EQ(QCRYPT_ERR_INVALID_ARGUMENT, QCrypt_Encrypt(key, nullptr, c.data(), 1, &out, &n));
    EXPECT_EQ(QCRYPT_ERR_INVALID_ARGUMENT, QCrypt_Encrypt(key, mac, nullptr, 1, &out, &n));
    EXPECT_EQ(QCRYPT_ERR_INVALID_ARGUMENT, QCrypt_Decrypt(key, nullptr, c.data(), c.size(), &out, &n));
    EXPECT_EQ(nullptr, out);
    QCrypt_ReleaseBuffer(nullptr, 10);
}

} // namespace
