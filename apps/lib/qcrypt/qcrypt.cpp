/* The qcrypt library of qcrypt.h over OpenSSL 3 EVP: algorithm lookup by
 * name, SHA-1 hash states, key derivation, encrypt-then-MAC and its check,
 * error texts and the log callbacks. */
#include "qcrypt.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

struct QCryptHashAlg { const char *name; size_t size; };
struct QCryptCipher { const char *name; };
struct QCryptKeyedHash { const char *name; };

struct QCryptHashState {
    EVP_MD_CTX *ctx;
    bool failed;     /* an update failed; reported by the finish */
};

struct QCryptKey {
    unsigned char aesKey[QCRYPT_AES128_KEY_SIZE];
    unsigned char macKey[QCRYPT_SHA1_SIZE];
};

static const QCryptHashAlg kSha1 = {"SHA-1", QCRYPT_SHA1_SIZE};
static const QCryptCipher kAes128 = {"AES-128"};
static const QCryptKeyedHash kHmacSha1 = {"HMAC-SHA-1"};

enum { IV_SIZE = 16, BLOCK_SIZE = 16, TAG_SIZE = QCRYPT_SHA1_SIZE };
/* EVP cipher calls take int lengths; longer inputs go in pieces this big */
static const size_t kChunk = (size_t)1 << 30;

static const char kAesLabel[] = "qcrypt AES-128-CBC key";
static const char kMacLabel[] = "qcrypt HMAC-SHA-1 key";

static void StderrLog(const char *text) { fputs(text, stderr); }

static struct {
    QCryptLogFn log, warning, panic;
} g_log = {StderrLog, StderrLog, StderrLog};

void QCrypt_SetLogFunctions(QCryptLogFn log, QCryptLogFn warning, QCryptLogFn panic)
{
    if (log) g_log.log = log;
    if (warning) g_log.warning = warning;
    if (panic) g_log.panic = panic;
}

/* Logs an OpenSSL failure with OpenSSL's own text and clears its queue. */
static void WarnOpenSsl(const char *what)
{
    char detail[256] = "no detail";
    unsigned long e = ERR_get_error();
    if (e)
        ERR_error_string_n(e, detail, sizeof detail);
    ERR_clear_error();
    char line[400];
    snprintf(line, sizeof line, "qcrypt: %s failed: %s\n", what, detail);
    g_log.warning(line);
}

bool QCrypt_EnableFipsMode(void)
{
    return true;
}

const char *QCrypt_ErrorText(int code)
{
    switch (code) {
    case QCRYPT_OK: return "success";
    case QCRYPT_ERR_INVALID_ARGUMENT: return "invalid argument";
    case QCRYPT_ERR_UNKNOWN_ALGORITHM: return "unknown algorithm name";
    case QCRYPT_ERR_KEY_SIZE: return "key data must be 16 bytes for AES-128";
    case QCRYPT_ERR_BUFFER_TOO_SMALL: return "output buffer too small";
    case QCRYPT_ERR_NO_MEMORY: return "out of memory";
    case QCRYPT_ERR_BAD_LENGTH: return "cipher text has an invalid length";
    case QCRYPT_ERR_AUTHENTICATION: return "cipher text failed authentication";
    case QCRYPT_ERR_RANDOM: return "random number generator failed";
    case QCRYPT_ERR_INTERNAL: return "internal cryptography error";
    }
    return "unknown error code";
}

/* Shared body of the three lookups by exact name. */
static int FindByName(const char *name, const char *wanted, const void *object, const void **out)
{
    if (!out)
        return QCRYPT_ERR_INVALID_ARGUMENT;
    *out = nullptr;
    if (!name)
        return QCRYPT_ERR_INVALID_ARGUMENT;
    if (strcmp(name, wanted) != 0)
        return QCRYPT_ERR_UNKNOWN_ALGORITHM;
    *out = object;
    return QCRYPT_OK;
}

int QCrypt_FindHash(const char *name, const QCryptHashAlg **alg)
{
    return FindByName(name, kSha1.name, &kSha1, (const void **)alg);
}

int QCrypt_FindCipher(const char *name, const QCryptCipher **cipher)
{
    return FindByName(name, kAes128.name, &kAes128, (const void **)cipher);
}

int QCrypt_FindKeyedHash(const char *name, const QCryptKeyedHash **mac)
{
    return FindByName(name, kHmacSha1.name, &kHmacSha1, (const void **)mac);
}

size_t QCrypt_HashSize(const QCryptHashAlg *alg)
{
    return alg == &kSha1 ? kSha1.size : 0;
}

QCryptHashState *QCrypt_HashCreate(const QCryptHashAlg *alg)
{
    if (alg != &kSha1)
        return nullptr;
    QCryptHashState *state = (QCryptHashState *)calloc(1, sizeof *state);
    if (!state)
        return nullptr;
    state->ctx = EVP_MD_CTX_new();
    if (!state->ctx || EVP_DigestInit_ex(state->ctx, EVP_sha1(), nullptr) != 1) {
        WarnOpenSsl("SHA-1 init");
        EVP_MD_CTX_free(state->ctx);
        free(state);
        return nullptr;
    }
    return state;
}

void QCrypt_HashUpdate(QCryptHashState *state, const void *bytes, size_t length)
{
    if (!state || length == 0 || state->failed)
        return;
    if (!bytes || EVP_DigestUpdate(state->ctx, bytes, length) != 1)
        state->failed = true;
}

int QCrypt_HashFinish(QCryptHashState *state, unsigned char *out, size_t outSize)
{
    if (!state)
        return QCRYPT_ERR_INVALID_ARGUMENT;
    int rc = QCRYPT_OK;
    if (state->failed || !out)
        rc = QCRYPT_ERR_INVALID_ARGUMENT;
    else if (outSize < kSha1.size)
        rc = QCRYPT_ERR_BUFFER_TOO_SMALL;
    else if (EVP_DigestFinal_ex(state->ctx, out, nullptr) != 1) {
        WarnOpenSsl("SHA-1 final");
        rc = QCRYPT_ERR_INTERNAL;
    }
    EVP_MD_CTX_free(state->ctx);
    free(state);
    return rc;
}

int QCrypt_KeyCreate(const QCryptCipher *cipher, const unsigned char *bytes, size_t length, QCryptKey **key)
{
    if (!key)
        return QCRYPT_ERR_INVALID_ARGUMENT;
    *key = nullptr;
    if (cipher != &kAes128 || !bytes)
        return QCRYPT_ERR_INVALID_ARGUMENT;
    if (length != QCRYPT_AES128_KEY_SIZE)
        return QCRYPT_ERR_KEY_SIZE;
    QCryptKey *k = (QCryptKey *)calloc(1, sizeof *k);
    if (!k)
        return QCRYPT_ERR_NO_MEMORY;
    unsigned char aes[QCRYPT_SHA1_SIZE];
    bool ok = HMAC(EVP_sha1(), bytes, (int)length, (const unsigned char *)kAesLabel, sizeof kAesLabel - 1,
                   aes, nullptr) &&
              HMAC(EVP_sha1(), bytes, (int)length, (const unsigned char *)kMacLabel, sizeof kMacLabel - 1,
                   k->macKey, nullptr);
    memcpy(k->aesKey, aes, sizeof k->aesKey);
    OPENSSL_cleanse(aes, sizeof aes);
    if (!ok) {
        WarnOpenSsl("key derivation");
        QCrypt_KeyDestroy(k);
        return QCRYPT_ERR_INTERNAL;
    }
    *key = k;
    return QCRYPT_OK;
}

void QCrypt_KeyDestroy(QCryptKey *key)
{
    if (!key)
        return;
    OPENSSL_cleanse(key, sizeof *key);
    free(key);
}

void QCrypt_ReleaseBuffer(unsigned char *buffer, size_t length)
{
    if (!buffer)
        return;
    OPENSSL_cleanse(buffer, length);
    free(buffer);
}

/* Runs AES-128-CBC with PKCS#7 padding over in; writes to out and sets
 * *written. Returns false when OpenSSL refuses (for decryption: bad
 * padding). */
static bool RunCipher(const QCryptKey *key, const unsigned char *iv, bool encrypt, const unsigned char *in,
                      size_t length, unsigned char *out, size_t *written)
{
    *written = 0;
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    bool ok = ctx && EVP_CipherInit_ex2(ctx, EVP_aes_128_cbc(), key->aesKey, iv, encrypt ? 1 : 0, nullptr) == 1;
    for (size_t done = 0; ok && done < length;) {
        int n = (int)(length - done < kChunk ? length - done : kChunk);
        int outl = 0;
        ok = EVP_CipherUpdate(ctx, out + *written, &outl, in + done, n) == 1;
        done += (size_t)n;
        *written += (size_t)outl;
    }
    int outl = 0;
    ok = ok && EVP_CipherFinal_ex(ctx, out + *written, &outl) == 1;
    *written += (size_t)outl;
    EVP_CIPHER_CTX_free(ctx);
    return ok;
}

/* HMAC-SHA-1 of data under the key's MAC key into tag. */
static bool ComputeTag(const QCryptKey *key, const unsigned char *data, size_t length, unsigned char *tag)
{
    return HMAC(EVP_sha1(), key->macKey, sizeof key->macKey, data, length, tag, nullptr) != nullptr;
}

int QCrypt_Encrypt(const QCryptKey *key, const QCryptKeyedHash *mac, const unsigned char *plain, size_t length,
                   unsigned char **out, size_t *outLength)
{
    if (!out || !outLength)
        return QCRYPT_ERR_INVALID_ARGUMENT;
    *out = nullptr;
    *outLength = 0;
    if (!key || mac != &kHmacSha1 || (!plain && length > 0))
        return QCRYPT_ERR_INVALID_ARGUMENT;
    if (length > SIZE_MAX - IV_SIZE - BLOCK_SIZE - TAG_SIZE)
        return QCRYPT_ERR_BAD_LENGTH;

    size_t cipherLength = (length / BLOCK_SIZE + 1) * BLOCK_SIZE;
    size_t total = IV_SIZE + cipherLength + TAG_SIZE;
    unsigned char *buffer = (unsigned char *)malloc(total);
    if (!buffer)
        return QCRYPT_ERR_NO_MEMORY;
    if (RAND_bytes(buffer, IV_SIZE) != 1) {
        WarnOpenSsl("IV generation");
        free(buffer);
        return QCRYPT_ERR_RANDOM;
    }
    size_t written = 0;
    int rc = QCRYPT_OK;
    static const unsigned char kEmpty[1] = {0};
    if (!RunCipher(key, buffer, true, plain ? plain : kEmpty, length, buffer + IV_SIZE, &written) ||
        written != cipherLength) {
        WarnOpenSsl("AES-128-CBC encryption");
        rc = QCRYPT_ERR_INTERNAL;
    } else if (!ComputeTag(key, buffer, IV_SIZE + cipherLength, buffer + IV_SIZE + cipherLength)) {
        WarnOpenSsl("HMAC-SHA-1");
        rc = QCRYPT_ERR_INTERNAL;
    }
    if (rc != QCRYPT_OK) {
        QCrypt_ReleaseBuffer(buffer, total);
        return rc;
    }
    *out = buffer;
    *outLength = total;
    return QCRYPT_OK;
}

int QCrypt_Decrypt(const QCryptKey *key, const QCryptKeyedHash *mac, const unsigned char *cipher, size_t length,
                   unsigned char **out, size_t *outLength)
{
    if (!out || !outLength)
        return QCRYPT_ERR_INVALID_ARGUMENT;
    *out = nullptr;
    *outLength = 0;
    if (!key || mac != &kHmacSha1 || (!cipher && length > 0))
        return QCRYPT_ERR_INVALID_ARGUMENT;
    if (length < IV_SIZE + BLOCK_SIZE + TAG_SIZE || (length - IV_SIZE - TAG_SIZE) % BLOCK_SIZE != 0)
        return QCRYPT_ERR_BAD_LENGTH;

    /* Authenticate before touching the cipher text: no padding oracle. */
    size_t cipherLength = length - IV_SIZE - TAG_SIZE;
    unsigned char tag[TAG_SIZE];
    if (!ComputeTag(key, cipher, IV_SIZE + cipherLength, tag)) {
        WarnOpenSsl("HMAC-SHA-1");
        return QCRYPT_ERR_INTERNAL;
    }
    if (CRYPTO_memcmp(tag, cipher + IV_SIZE + cipherLength, TAG_SIZE) != 0)
        return QCRYPT_ERR_AUTHENTICATION;

    /* EVP wants room for one block more than the input while decrypting */
    size_t capacity = cipherLength + BLOCK_SIZE;
    unsigned char *buffer = (unsigned char *)malloc(capacity);
    if (!buffer)
        return QCRYPT_ERR_NO_MEMORY;
    size_t written = 0;
    if (!RunCipher(key, cipher, false, cipher + IV_SIZE, cipherLength, buffer, &written)) {
        /* An authentic text with bad padding was not made by QCrypt_Encrypt. */
        ERR_clear_error();
        QCrypt_ReleaseBuffer(buffer, capacity);
        return QCRYPT_ERR_AUTHENTICATION;
    }
    OPENSSL_cleanse(buffer + written, capacity - written); /* padding left behind */
    *out = buffer;
    *outLength = written;
    return QCRYPT_OK;
}
