/* The long-field module: values of any length stored in PolicyDb_LongField
 * as numbered chunks of at most 2000 characters under one key, binary blobs
 * stored as Base64, session blobs with an expiry, and the clean-up of
 * expired sessions. The table is also the registry of every identifier that
 * PolDb_CreateUniqueUID hands out.
 *
 * Keys are passed by reference as the caller's own heap text (malloc): an
 * empty or null key makes the operation create one, replacing the caller's
 * text. Every operation runs inside the connection's implicit transaction;
 * a failed statement has rolled it back when the operation returns false. */
#ifndef QUENSC_POLICYDB_LONGFIELD_H
#define QUENSC_POLICYDB_LONGFIELD_H

#include "policydb/db.h"

#define POLDB_LONGFIELD_CHUNK 2000

/* expires: seconds since 1970-01-01 UTC, or null for a value that never
 * expires. */
bool PolDb_LongFieldAdd(DbConnection *conn, char **key, const char *text, const int64_t *expires);
bool PolDb_LongFieldAddBlob(DbConnection *conn, char **key, const void *bytes, size_t length,
                            const int64_t *expires);

/* Deletes the key's chunks (when the key is set) and adds the new value
 * under the same key. */
bool PolDb_LongFieldReplace(DbConnection *conn, char **key, const char *text, const int64_t *expires);
bool PolDb_LongFieldReplaceBlob(DbConnection *conn, char **key, const void *bytes, size_t length,
                                const int64_t *expires);

/* Deletes every chunk of the key; a null or empty key is a success. */
bool PolDb_LongFieldRemove(DbConnection *conn, const char *key);
bool PolDb_LongFieldRemoveBlob(DbConnection *conn, const char *key);

/* The whole value, newly allocated (caller frees), or null when the key has
 * no rows or the read failed. */
char *PolDb_LongFieldGet(DbConnection *conn, const char *key);

/* The decoded blob, newly allocated (caller frees), and its length. False,
 * after logging, when the key has no data or the data is not Base64. */
bool PolDb_LongFieldGetBlob(DbConnection *conn, const char *key, unsigned char **bytes, size_t *length);

/* Session blobs are the rows with an expiry. PolDb_SessionGetBlob reads like
 * PolDb_LongFieldGetBlob but only a session blob: any other long value under
 * the key counts as "no data". PolDb_SessionRemove deletes the key's session
 * rows and never another long value; a key without session rows (or a null
 * or empty key) is a success. */
bool PolDb_SessionGetBlob(DbConnection *conn, const char *key, unsigned char **bytes, size_t *length);
bool PolDb_SessionRemove(DbConnection *conn, const char *key);

/* Deletes every session blob whose expiry is not later than now. */
bool PolDb_SessionCleanup(DbConnection *conn);

#endif
