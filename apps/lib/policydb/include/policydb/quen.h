/* The Quen table module: typed access to PolicyDb_Quen, the cascade delete
 * that retires a Quen together with everything that belongs to it, and the
 * clean-up of its preview packages.
 *
 * Every operation runs inside the connection's implicit transaction and
 * leaves the commit to the caller; a failed statement has been logged with
 * the operation's tag ("QuenAdd", ...) and has rolled that transaction back
 * (with whatever else it held) when the operation returns false.
 *
 * Records own their texts (malloc). A record read from the database holds ""
 * for a NULL column, never a null pointer. Records handed to Add and Update
 * are only read. */
#ifndef QUENSC_POLICYDB_QUEN_H
#define QUENSC_POLICYDB_QUEN_H

#include "policydb/db.h"

struct PolDbQuen {
    char *quenUID;
    char *quenName;
    int activePolicySetVersion;
    int64_t tsCreated;       /* microseconds (PolDb_Now) */
    int64_t tsLastModified;
};

/* Frees the texts of one record and nulls them (not the record itself). */
void PolDb_QuenRelease(PolDbQuen *quen);

/* Releases every record of an array from PolDb_QuenEnumerate and frees the
 * array. A null array is fine. */
void PolDb_QuenFreeArray(PolDbQuen *quens, int count);

/* Inserts the Quen with both timestamps set to now (the record's timestamps
 * are ignored). Fails on an existing quenUID, deleted or not. */
bool PolDb_QuenAdd(DbConnection *conn, const PolDbQuen *quen);

/* Rewrites name and active policy set version of the live Quen quen->quenUID
 * and sets its last-modified time. Succeeds also when no live row matches. */
bool PolDb_QuenUpdate(DbConnection *conn, const PolDbQuen *quen);

/* Marks the Quen and all its user data, instances, packages, access entries,
 * MAC pools and runtime policies deleted, all with one and the same
 * last-modified time, in one statement text. Rows already deleted keep
 * their time, so deleting twice succeeds and changes nothing. */
bool PolDb_QuenDelete(DbConnection *conn, const char *quenUID);

/* Reads the live Quens matching filter (an SQL condition; null for all;
 * quote values with PolDb_EscapeString) into a newly allocated array (null
 * for none), freed with PolDb_QuenFreeArray. False, with *quens null and
 * *count 0, after a logged database error. */
bool PolDb_QuenEnumerate(DbConnection *conn, const char *filter, PolDbQuen **quens, int *count);

/* Looks up the live Quen quenUID. True with *out the Quen, newly allocated
 * (PolDb_QuenRelease it, then free it), or true with *out null when there is
 * none. False, with *out null, when the read failed (logged). */
bool PolDb_QuenGetByPK(DbConnection *conn, const char *quenUID, PolDbQuen **out);

/* Physically deletes the live preview packages of the Quen together with
 * every user data entry and instance of those packages (live or already
 * marked deleted, so nothing is left pointing at a removed package). Other
 * packages and their rows are untouched. */
bool PolDb_QuenRemovePreview(DbConnection *conn, const char *quenUID);

#endif
