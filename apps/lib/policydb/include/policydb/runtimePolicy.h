/* The runtime policy module: the versioned policy sets of a Quen in
 * PolicyDb_RuntimePolicy. A Quen has versions 1, 2, 3, ...; a new version
 * starts as a copy of the newest one (with its access entries) and is then
 * edited until it is published.
 *
 * Each version carries two policy documents, one for the client runtime and
 * one for the host. A document of at most 2000 characters is stored in its
 * column; a longer one is stored as a long field (longField.h) and the row
 * keeps only its key in the matching ext key column, with '' in the data
 * column. A record read "with long data" holds both documents in
 * clientPolicyData and hostPolicyData whatever their length, and still
 * carries the ext keys.
 *
 * Every operation runs inside the connection's implicit transaction and
 * leaves the commit to the caller; a failed statement has been logged and
 * has rolled that transaction back when the operation fails. Rows are
 * deleted only by the Quen's cascade delete (quen.h). */
#ifndef QUENSC_POLICYDB_RUNTIMEPOLICY_H
#define QUENSC_POLICYDB_RUNTIMEPOLICY_H

#include "policydb/db.h"

/* Longest document kept in its own column. */
#define POLDB_RTPOLICY_INLINE_MAX 2000

/* One policy set version, in the column order of the select statement.
 * Records returned by this module own every text (heap, released by
 * PolDb_RuntimePolicyRelease); a text read from a NULL column is "". The
 * ext keys of a new record that has not been stored yet are null. */
struct PolDbRuntimePolicy {
    char *quenUID;
    int policyVersion;
    char *clientPolicyData;
    char *clientPolicyDataExtKey;  /* "" or null: the document is inline */
    char *hostPolicyData;
    char *hostPolicyDataExtKey;
    int expirationType;
    int64_t expValue1;             /* column expValue_1 */
    int64_t expValue2;             /* column expValue_2 */
    int64_t cacheLifetime;
    int instType;                  /* rtpInstType */
    int authType;                  /* rtpAuthType */
    bool useInstanceLimit;         /* rtpUseInstanceLimit */
    int instanceLimit;             /* rtpInstanceLimit */
    bool usePerUserInstanceLimit;  /* rtpUsePerUserInstanceLimit */
    int perUserInstanceLimit;      /* rtpPerUserInstanceLimit */
    int copyPolicy;
    bool published;
    int64_t tsCreated;             /* rtpTsCreated, microseconds (PolDb_Now) */
    int64_t tsLastModified;        /* rtpTsLastModified */
};

/* Frees every text the record holds and nulls it (not the record itself). */
void PolDb_RuntimePolicyRelease(PolDbRuntimePolicy *policy);
/* Releases a single record of this module and frees it. Null is fine. */
void PolDb_RuntimePolicyFree(PolDbRuntimePolicy *policy);
/* Releases every record of an array and the array. Null is fine. */
void PolDb_RuntimePolicyFreeArray(PolDbRuntimePolicy *policies, int count);

/* The next version of the Quen's policy set, not stored: a copy of the
 * newest live version with its long data loaded, or, when the Quen has no
 * version yet, version 1 with empty documents, every number 0 and every flag
 * false. Either way published is false, both timestamps are PolDb_Now() and
 * the ext keys are null (the copy has no long fields of its own yet).
 * Newly allocated (PolDb_RuntimePolicyFree); null when the newest version
 * cannot be read or its long data cannot be loaded (logged). */
PolDbRuntimePolicy *PolDb_RuntimePolicyGetNextVersion(DbConnection *conn, const char *quenUID);

/* Creates and stores the next version (see GetNextVersion), its long
 * documents under new long-field keys of its own, and, from version 2 on,
 * copies the access entries of the previous version to it. Returns the
 * stored version with its long data, newly allocated (PolDb_RuntimePolicyFree),
 * or null on failure. */
PolDbRuntimePolicy *PolDb_RuntimePolicyCreate(DbConnection *conn, const char *quenUID);

/* Looks up the live version (quenUID, version), with its long documents
 * loaded when withLongData is set. True with *out the set, newly allocated
 * (PolDb_RuntimePolicyFree), or true with *out null when there is none.
 * False, with *out null, when the read failed or the long data could not be
 * loaded (logged). */
bool PolDb_RuntimePolicyGetByPK(DbConnection *conn, const char *quenUID, int version, bool withLongData,
                                PolDbRuntimePolicy **out);

/* Rewrites the live version (policy->quenUID, policy->policyVersion) from
 * the record: every field except the creation time, with the modification
 * time set to PolDb_Now(). The record's ext keys are not used: a document
 * equal to the stored one keeps its storage, a changed one replaces it
 * (long fields of the old text are removed; a new text over 2000 characters
 * is stored as a long field). A null document counts as "". False (logged)
 * when the version does not exist or a statement failed. */
bool PolDb_RuntimePolicyUpdate(DbConnection *conn, const PolDbRuntimePolicy *policy);

/* Reads the live versions matching filter (an SQL condition; null for all;
 * quote values with PolDb_EscapeString), without their long data, into a
 * newly allocated array (null for none; PolDb_RuntimePolicyFreeArray).
 * False, with *policies null and *count 0, after a logged error. */
bool PolDb_RuntimePolicyEnumerate(DbConnection *conn, const char *filter, PolDbRuntimePolicy **policies,
                                  int *count);

#endif
