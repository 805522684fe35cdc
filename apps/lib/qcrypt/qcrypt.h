/* qcrypt: the cryptography library both programs call, over OpenSSL
 * libcrypto 3. It offers SHA-1 hashing, AES-128 keys and authenticated
 * encryption (AES-128-CBC, then HMAC-SHA-1 over IV and cipher text), error
 * texts, log callbacks and a FIPS switch that is a no-op.
 *
 * Every operation returns an error code (QCRYPT_OK = 0 on success) unless
 * said otherwise; QCrypt_ErrorText turns a code into a printable text.
 * Algorithm objects are static and never freed; keys, hash states and output
 * buffers are the caller's and have their own release call.
 *
 * Cipher text layout: IV (16 bytes) || AES-128-CBC cipher text with PKCS#7
 * padding (a multiple of 16, at least 16) || HMAC-SHA-1 tag (20 bytes) over
 * IV and cipher text. The AES and HMAC keys are derived from the 16 key bytes
 * as HMAC-SHA-1(key bytes, label) with two distinct labels.
 *
 * Thread-safe except QCrypt_SetLogFunctions, which runs at start-up. */
#ifndef QUENSC_QCRYPT_H
#define QUENSC_QCRYPT_H

#include <cstddef>

enum QCryptError {
    QCRYPT_OK = 0,
    QCRYPT_ERR_INVALID_ARGUMENT = 1,
    QCRYPT_ERR_UNKNOWN_ALGORITHM = 2,
    QCRYPT_ERR_KEY_SIZE = 3,
    QCRYPT_ERR_BUFFER_TOO_SMALL = 4,
    QCRYPT_ERR_NO_MEMORY = 5,
    QCRYPT_ERR_BAD_LENGTH = 6,
    QCRYPT_ERR_AUTHENTICATION = 7,
    QCRYPT_ERR_RANDOM = 8,
    QCRYPT_ERR_INTERNAL = 9,
};

#define QCRYPT_SHA1_SIZE 20
#define QCRYPT_AES128_KEY_SIZE 16

struct QCryptHashAlg;
struct QCryptHashState;
struct QCryptCipher;
struct QCryptKey;
struct QCryptKeyedHash;

typedef void (*QCryptLogFn)(const char *text);

/* Installs the program's log, warning and panic functions; the library logs
 * internal failures through the warning function. A null function keeps the
 * default (stderr). The library never ends the process itself. */
void QCrypt_SetLogFunctions(QCryptLogFn log, QCryptLogFn warning, QCryptLogFn panic);

/* Always true: there is no separate FIPS mode to switch on. */
bool QCrypt_EnableFipsMode(void);

/* A static printable text for code; "unknown error code" for any other
 * value. This function can't fail. */
const char *QCrypt_ErrorText(int code);

/* Finds the hash algorithm named exactly "SHA-1". Sets *alg (null on error);
 * unknown names give QCRYPT_ERR_UNKNOWN_ALGORITHM. */
int QCrypt_FindHash(const char *name, const QCryptHashAlg **alg);

/* A new hash state, or null (bad algorithm or out of memory). It is freed
 * by QCrypt_HashFinish. */
QCryptHashState *QCrypt_HashCreate(const QCryptHashAlg *alg);

/* Digest size in bytes (20 for SHA-1); 0 for a null algorithm. */
size_t QCrypt_HashSize(const QCryptHashAlg *alg);

/* Feeds length bytes. A failure is remembered and reported by the finish.
 * Null state, or null bytes with length 0, does nothing. */
void QCrypt_HashUpdate(QCryptHashState *state, const void *bytes, size_t length);

/* Writes the digest to out (outSize must be at least the hash size) and
 * frees the state in every case. */
int QCrypt_HashFinish(QCryptHashState *state, unsigned char *out, size_t outSize);

/* Finds the cipher named exactly "AES-128". Sets *cipher (null on error). */
int QCrypt_FindCipher(const char *name, const QCryptCipher **cipher);

/* Makes a key from exactly 16 key bytes (other lengths give
 * QCRYPT_ERR_KEY_SIZE). *key is set (null on error); the caller destroys it
 * with QCrypt_KeyDestroy. */
int QCrypt_KeyCreate(const QCryptCipher *cipher, const unsigned char *bytes, size_t length, QCryptKey **key);

/* Clears and frees a key. Null is fine. */
void QCrypt_KeyDestroy(QCryptKey *key);

/* Finds the keyed hash named exactly "HMAC-SHA-1". Sets *mac (null on error). */
int QCrypt_FindKeyedHash(const char *name, const QCryptKeyedHash **mac);

/* Encrypts and authenticates length bytes of plain (plain may be null when
 * length is 0). On success *out is a new buffer of *outLength bytes in the
 * layout above, to be handed to QCrypt_ReleaseBuffer; on error *out is null
 * and *outLength 0. */
int QCrypt_Encrypt(const QCryptKey *key, const QCryptKeyedHash *mac, const unsigned char *plain, size_t length,
                   unsigned char **out, size_t *outLength);

/* Checks the tag (in constant time) and then decrypts. Any change to the
 * bytes, or another key, gives QCRYPT_ERR_AUTHENTICATION; a length that no
 * encryption produces gives QCRYPT_ERR_BAD_LENGTH. Output as for encrypt
 * (a successful empty plain text still has a non-null buffer). */
int QCrypt_Decrypt(const QCryptKey *key, const QCryptKeyedHash *mac, const unsigned char *cipher, size_t length,
                   unsigned char **out, size_t *outLength);

/* Clears length bytes of an output buffer of encrypt or decrypt and frees
 * it. Null is fine. */
void QCrypt_ReleaseBuffer(unsigned char *buffer, size_t length);

#endif
