/* The data crypto module: SHA-1 digests of text as Base64, AES-128 keys,
 * authenticated encryption of text to Base64 and back (all cryptography by
 * qcrypt), and the strict Base64 codec that the long-field module shares.
 *
 * Every text or byte result is newly allocated with malloc and belongs to
 * the caller (free()); on failure the output is null, nothing is left
 * allocated, and the reason has been logged as one warning line. Running out
 * of memory for a digest buffer or a plain text panics. Thread-safe. */
#ifndef QUENSC_POLICYDB_DBCRYPTO_H
#define QUENSC_POLICYDB_DBCRYPTO_H

#include "qcrypt.h"

#include <cstddef>

/* Sets *digest to the Base64 of SHA-1 over the non-null pieces in order
 * (always 28 characters), each piece taking its length from lengths; lengths
 * may be null when every piece is a zero-terminated text. No pieces (count
 * <= 0 or pieces null) gives the digest of the empty input. Returns false,
 * with *digest null, after logging a failure. */
bool PolDb_Hash(const char *const *pieces, const size_t *lengths, int count, char **digest);

/* PolDb_Hash of the two texts one after the other (SHA-1 of their
 * concatenation); a null text counts as no piece. */
bool PolDb_HashTwo(const char *first, const char *second, char **digest);

/* Sets *key to a new AES-128 key made from the key bytes (qcrypt wants 16),
 * which the caller destroys with PolDb_CryptoKeyDestroy; or to null, after
 * logging, when the bytes are missing, empty or refused. */
bool PolDb_CryptoKeyCreate(const unsigned char *bytes, size_t length, QCryptKey **key);

/* The fixed key value from which both programs create the configuration
 * obfuscation key (PolDb_CryptoKeyCreate) that scrambles the stored secrets
 * of the configuration file. Changing it makes every existing file's
 * secrets unreadable. */
extern const unsigned char PolDb_ConfigObfuscationKey[16];

/* Destroys a key of PolDb_CryptoKeyCreate. Null is fine. */
void PolDb_CryptoKeyDestroy(QCryptKey *key);

/* Sets *cipherText to the Base64 of the authenticated encryption of plain's
 * bytes (without the terminating zero); null after a logged failure
 * (including a null plain text or key). */
bool PolDb_Encrypt(const QCryptKey *key, const char *plain, char **cipherText);

/* Sets *plain to the zero-terminated text that cipherText decrypts to under
 * key; null after a logged failure: not Base64, altered, or made with
 * another key. */
bool PolDb_Decrypt(const QCryptKey *key, const char *cipherText, char **plain);

/* Base64 (RFC 4648 alphabet, '=' padding, no line breaks) of length bytes,
 * as a new zero-terminated text; "" for no bytes. Null when bytes is null
 * with a length, or out of memory. Logs nothing. */
char *PolDb_Base64Encode(const unsigned char *bytes, size_t length);

/* Decodes Base64 text strictly: a length that is a multiple of 4, only the
 * alphabet, '=' only as one or two final characters, unused bits zero.
 * On success *out is a new buffer (non-null even when *outLength is 0).
 * Returns false, with *out null and *outLength 0, for a null text, bad
 * input or out of memory. Logs nothing. */
bool PolDb_Base64Decode(const char *text, unsigned char **out, size_t *outLength);

#endif
