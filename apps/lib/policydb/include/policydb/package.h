/* The package table module: typed access to PolicyDb_Package and the lookup
 * of a package's Quen.
 *
 * Packages are never deleted one by one: the Quen's cascade delete marks
 * them deleted and the Quen's preview clean-up removes its preview packages
 * (quen.h). The Quen of a package never changes.
 *
 * Every operation runs inside the connection's implicit transaction and
 * leaves the commit to the caller; a failed statement has been logged with
 * the operation's tag ("PackageAdd", ...) and has rolled that transaction
 * back when the operation returns false.
 *
 * Records own their texts (malloc). A record read from the database holds ""
 * for a NULL column, never a null pointer. Records handed to Add and Update
 * are only read. */
#ifndef QUENSC_POLICYDB_PACKAGE_H
#define QUENSC_POLICYDB_PACKAGE_H

#include "policydb/db.h"

struct PolDbPackage {
    char *quenUID;
    char *packageUID;
    char *name;
    bool useValidDates;
    int64_t validDateStart;  /* seconds since 1970-01-01 UTC */
    int64_t validDateEnd;
    char *protectionKey;
    bool disabled;
    bool preview;
    int64_t tsCreated;       /* microseconds (PolDb_Now) */
    int64_t tsLastModified;
};

/* Frees the texts of one record and nulls them (not the record itself). */
void PolDb_PackageRelease(PolDbPackage *package);

/* Releases every record of an array from PolDb_PackageEnumerate and frees
 * the array. A null array is fine. */
void PolDb_PackageFreeArray(PolDbPackage *packages, int count);

/* Inserts the package with both timestamps set to now (the record's
 * timestamps are ignored). */
bool PolDb_PackageAdd(DbConnection *conn, const PolDbPackage *package);

/* Rewrites name, validity, protection key and the two flags of the live
 * package package->packageUID and sets its last-modified time. The
 * record's quenUID is not written. Succeeds also when no live row matches. */
bool PolDb_PackageUpdate(DbConnection *conn, const PolDbPackage *package);

/* Reads the live packages matching filter (an SQL condition; null for all;
 * quote values with PolDb_EscapeString) into a newly allocated array (null
 * for none), freed with PolDb_PackageFreeArray. False, with *packages null
 * and *count 0, after a logged database error. */
bool PolDb_PackageEnumerate(DbConnection *conn, const char *filter, PolDbPackage **packages, int *count);

/* Looks up the live package packageUID. True with *out the package, newly
 * allocated (PolDb_PackageRelease it, then free it), or true with *out null
 * when there is none. False, with *out null, when the read failed (logged). */
bool PolDb_PackageGetByPK(DbConnection *conn, const char *packageUID, PolDbPackage **out);

/* The live packages of the Quen, or every live package for a null quenUID;
 * as PolDb_PackageEnumerate returns them. */
bool PolDb_PackageEnumerateByQuen(DbConnection *conn, const char *quenUID, PolDbPackage **packages, int *count);

/* The quenUID of the live package packageUID as a copy in the connection's
 * pool (valid until the connection closes, not to be freed), or null when
 * there is no such package or the read failed (logged). */
const char *PolDb_QuenOfPackage(DbConnection *conn, const char *packageUID);

#endif
