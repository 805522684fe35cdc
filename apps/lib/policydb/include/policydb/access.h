/* The access table module: typed access to PolicyDb_Access, the entries
 * that say who may create instances of a Quen, versioned together with the
 * Quen's policy sets.
 *
 * An entry is identified by (quenUID, identityData, accVersion). Its row
 * also has a generated primary key (accessPK) that is not part of the
 * record; Add makes it with PolDb_CreateUniqueUID and registers it in the
 * long-field key registry (a row with index 0 and the value 'Access').
 *
 * Every operation runs inside the connection's implicit transaction and
 * leaves the commit to the caller; a failed statement has been logged with
 * the operation's tag ("AccessAdd", ...) and has rolled that transaction
 * back when the operation returns false.
 *
 * Records own their texts (malloc). A record read from the database holds ""
 * for a NULL column, never a null pointer. Records handed to Add, AddAll and
 * Update are only read. */
#ifndef QUENSC_POLICYDB_ACCESS_H
#define QUENSC_POLICYDB_ACCESS_H

#include "policydb/db.h"

struct PolDbAccess {
    char *quenUID;
    char *identityData;      /* SID of a user or group, or a token value */
    int accVersion;          /* the policy set version the entry belongs to */
    int identityType;
    char *identityName;
    bool useInstanceLimit;
    int instanceLimit;
    int64_t tsCreated;       /* microseconds (PolDb_Now) */
    int64_t tsLastModified;
};

/* Frees the texts of one record and nulls them (not the record itself). */
void PolDb_AccessRelease(PolDbAccess *access);

/* Releases every record of an array from an enumeration and frees the
 * array. A null array is fine. */
void PolDb_AccessFreeArray(PolDbAccess *entries, int count);

/* Registers a new key and inserts the entry under it with both timestamps
 * set to now (the record's timestamps are ignored); one statement text. It
 * does not check whether the logical key is taken. */
bool PolDb_AccessAdd(DbConnection *conn, const PolDbAccess *access);

/* Adds the count records in array order with PolDb_AccessAdd; stops at the
 * first failure and returns false (the transaction, and with it the records
 * added before, has then been rolled back). */
bool PolDb_AccessAddAll(DbConnection *conn, const PolDbAccess *entries, int count);

/* Rewrites type, name and limits of the live entry with the record's
 * (quenUID, identityData, accVersion) and sets its last-modified time.
 * Succeeds also when no live row matches. */
bool PolDb_AccessUpdate(DbConnection *conn, const PolDbAccess *access);

/* Marks the live entry (quenUID, identityData, accVersion) deleted. */
bool PolDb_AccessDelete(DbConnection *conn, const char *quenUID, const char *identityData, int accVersion);

/* Reads the live entries matching filter (an SQL condition; null for all;
 * quote values with PolDb_EscapeString) into a newly allocated array (null
 * for none), freed with PolDb_AccessFreeArray. False, with *entries null and
 * *count 0, after a logged database error. */
bool PolDb_AccessEnumerate(DbConnection *conn, const char *filter, PolDbAccess **entries, int *count);

/* PolDb_AccessEnumerate of the live entries of one version of a Quen. */
bool PolDb_AccessEnumerateVersion(DbConnection *conn, const char *quenUID, int accVersion, PolDbAccess **entries,
                                  int *count);

/* Looks up the live entry (quenUID, identityData, accVersion). True with
 * *out the entry, newly allocated (PolDb_AccessRelease it, then free it), or
 * true with *out null when there is none. False, with *out null, when the
 * read failed or the key matches several rows (both logged). */
bool PolDb_AccessGetByPK(DbConnection *conn, const char *quenUID, const char *identityData, int accVersion,
                         PolDbAccess **out);

/* Copies the live entries of version fromVersion of the Quen to version
 * toVersion (used when a policy set gets a new version). The copies are
 * added in the order the entries are read; copy i (0-based) gets now + i as
 * both timestamps, so they keep that order. An identity that toVersion
 * holds already is not copied, so a logical key never appears twice (and
 * copying a version onto itself changes nothing). A version without entries
 * copies nothing. Returns false when a read or an insert failed. */
bool PolDb_AccessCopyVersion(DbConnection *conn, const char *quenUID, int fromVersion, int toVersion);

#endif
