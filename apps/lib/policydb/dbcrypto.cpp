/* The data crypto module of dbcrypto.h: digests, keys, encryption and
 * decryption over qcrypt, and the strict Base64 codec. */
#include "policydb/dbcrypto.h"

#include "policydb/db.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

const unsigned char PolDb_ConfigObfuscationKey[16] = {0xf2, 0x7f, 0xc9, 0xc4, 0x43, 0xf4, 0xa7, 0x04,
                                                      0x48, 0xb9, 0x7b, 0x2a, 0xe6, 0xc6, 0x22, 0x47};

static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

char *PolDb_Base64Encode(const unsigned char *bytes, size_t length)
{
    if (!bytes && length > 0)
        return nullptr;
    if (length > (SIZE_MAX - 1) / 4 * 3 - 3)
        return nullptr;
    char *text = (char *)malloc((length + 2) / 3 * 4 + 1);
    if (!text)
        return nullptr;
    char *p = text;
    for (size_t i = 0; i < length; i += 3) {
        size_t left = length - i;
        uint32_t v = (uint32_t)bytes[i] << 16;
        if (left > 1) v |= (uint32_t)bytes[i + 1] << 8;
        if (left > 2) v |= bytes[i + 2];
        *p++ = kAlphabet[(v >> 18) & 63];
        *p++ = kAlphabet[(v >> 12) & 63];
        *p++ = left > 1 ? kAlphabet[(v >> 6) & 63] : '=';
        *p++ = left > 2 ? kAlphabet[v & 63] : '=';
    }
    *p = '\0';
    return text;
}

/* The 6-bit value of each Base64 character by byte, -1 for the others
 * (a table: session records are decoded on every request). */
struct Base64Values {
    signed char of[256];
    constexpr Base64Values() : of()
    {
        for (int c = 0; c < 256; c++)
            of[c] = -1;
        for (int i = 0; i < 64; i++)
            of[static_cast<unsigned char>(kAlphabet[i])] = static_cast<signed char>(i);
    }
};
static constexpr Base64Values kBase64Values;

static int Base64Value(unsigned char c) { return kBase64Values.of[c]; }

bool PolDb_Base64Decode(const char *text, unsigned char **out, size_t *outLength)
{
    *out = nullptr;
    *outLength = 0;
    if (!text)
        return false;
    size_t length = strlen(text);
    if (length % 4 != 0)
        return false;
    size_t padding = 0;
    if (length > 0 && text[length - 1] == '=')
        padding = text[length - 2] == '=' ? 2 : 1;
    unsigned char *bytes = (unsigned char *)malloc(length / 4 * 3 + 1);
    if (!bytes)
        return false;

    size_t n = 0;
    for (size_t i = 0; i < length; i += 4) {
        bool last = i + 4 == length;
        size_t symbols = last ? 4 - padding : 4; /* the '=' are only at the very end */
        uint32_t v = 0;
        for (size_t j = 0; j < 4; j++) {
            int d = j < symbols ? Base64Value((unsigned char)text[i + j]) : 0;
            if (d < 0) {
                free(bytes);
                return false;
            }
            v = (v << 6) | (uint32_t)d;
        }
        /* bits that belong to no byte must be zero (one text per byte string) */
        if ((symbols == 2 && (v & 0xFFFF)) || (symbols == 3 && (v & 0xFF))) {
            free(bytes);
            return false;
        }
        bytes[n++] = (unsigned char)(v >> 16);
        if (symbols > 2) bytes[n++] = (unsigned char)(v >> 8);
        if (symbols > 3) bytes[n++] = (unsigned char)v;
    }
    *out = bytes;
    *outLength = n;
    return true;
}

bool PolDb_Hash(const char *const *pieces, const size_t *lengths, int count, char **digest)
{
    *digest = nullptr;
    const QCryptHashAlg *alg = nullptr;
    if (QCrypt_FindHash("SHA-1", &alg) != QCRYPT_OK) {
        PolDb_Warning("Error: Failed to get SHA-1 hash object");
        return false;
    }
    QCryptHashState *state = QCrypt_HashCreate(alg);
    if (!state) {
        PolDb_Warning("Error: Could not create crypto hash state");
        return false;
    }
    size_t size = QCrypt_HashSize(alg);
    unsigned char *buffer = (unsigned char *)calloc(1, size);
    if (!buffer)
        POLDB_ALLOC_FAILED();
    for (int i = 0; pieces && i < count; i++) {
        if (pieces[i])
            QCrypt_HashUpdate(state, pieces[i], lengths ? lengths[i] : strlen(pieces[i]));
    }
    int rc = QCrypt_HashFinish(state, buffer, size);
    if (rc != QCRYPT_OK) {
        PolDb_Warning("Error: hashing failed: %s", QCrypt_ErrorText(rc));
    } else {
        *digest = PolDb_Base64Encode(buffer, size);
        if (!*digest)
            PolDb_Warning("Error: faileed to base64 encode hash");
    }
    free(buffer);
    return *digest != nullptr;
}

bool PolDb_HashTwo(const char *first, const char *second, char **digest)
{
    const char *pieces[2] = {first, second};
    size_t lengths[2] = {first ? strlen(first) : 0, second ? strlen(second) : 0};
    return PolDb_Hash(pieces, lengths, 2, digest);
}

bool PolDb_CryptoKeyCreate(const unsigned char *bytes, size_t length, QCryptKey **key)
{
    *key = nullptr;
    if (!bytes || length == 0) {
        PolDb_Warning("Error: CryptoKeyCreate() received 0 bytes for key data");
        return false;
    }
    const QCryptCipher *cipher = nullptr;
    int rc = QCrypt_FindCipher("AES-128", &cipher);
    if (rc != QCRYPT_OK) {
        PolDb_Warning("Error: Failed to get cipher object: %s", QCrypt_ErrorText(rc));
        return false;
    }
    rc = QCrypt_KeyCreate(cipher, bytes, length, key);
    if (rc != QCRYPT_OK) {
        PolDb_Warning("Error: Failed to create key: %s", QCrypt_ErrorText(rc));
        return false;
    }
    return true;
}

void PolDb_CryptoKeyDestroy(QCryptKey *key)
{
    QCrypt_KeyDestroy(key);
}

/* The keyed hash both directions use; logs the failure. */
static const QCryptKeyedHash *FindHmacSha1(void)
{
    const QCryptKeyedHash *mac = nullptr;
    int rc = QCrypt_FindKeyedHash("HMAC-SHA-1", &mac);
    if (rc != QCRYPT_OK)
        PolDb_Warning("Error: Failed to get keyed hash HMAC SHA1 object: %s", QCrypt_ErrorText(rc));
    return mac;
}

bool PolDb_Encrypt(const QCryptKey *key, const char *plain, char **cipherText)
{
    *cipherText = nullptr;
    const QCryptKeyedHash *mac = FindHmacSha1();
    if (!mac)
        return false;
    if (!plain) {
        PolDb_Warning("Error: encrypt failed: %s", QCrypt_ErrorText(QCRYPT_ERR_INVALID_ARGUMENT));
        return false;
    }
    unsigned char *bytes = nullptr;
    size_t length = 0;
    int rc = QCrypt_Encrypt(key, mac, (const unsigned char *)plain, strlen(plain), &bytes, &length);
    if (rc != QCRYPT_OK) {
        PolDb_Warning("Error: encrypt failed: %s", QCrypt_ErrorText(rc));
        return false;
    }
    *cipherText = PolDb_Base64Encode(bytes, length);
    if (!*cipherText)
        PolDb_Warning("Error: faileed to base64 encode cipher text");
    QCrypt_ReleaseBuffer(bytes, length);
    return *cipherText != nullptr;
}

bool PolDb_Decrypt(const QCryptKey *key, const char *cipherText, char **plain)
{
    *plain = nullptr;
    unsigned char *sealed = nullptr;
    size_t sealedLength = 0;
    if (!PolDb_Base64Decode(cipherText, &sealed, &sealedLength)) {
        PolDb_Warning("ERROR: Failed to base64 decode cipher text");
        return false;
    }
    const QCryptKeyedHash *mac = FindHmacSha1();
    unsigned char *bytes = nullptr;
    size_t length = 0;
    int rc = mac ? QCrypt_Decrypt(key, mac, sealed, sealedLength, &bytes, &length) : QCRYPT_ERR_UNKNOWN_ALGORITHM;
    free(sealed);
    if (!mac)
        return false;
    if (rc != QCRYPT_OK) {
        PolDb_Warning("Error: decrypt failed: %s", QCrypt_ErrorText(rc));
        return false;
    }
    char *text = (char *)malloc(length + 1);
    if (!text)
        POLDB_ALLOC_FAILED();
    memcpy(text, bytes, length);
    text[length] = '\0';
    QCrypt_ReleaseBuffer(bytes, length);
    *plain = text;
    return true;
}
