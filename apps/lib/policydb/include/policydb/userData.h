/* The user data table module: typed access to PolicyDb_UserData, the named
 * values attached to a Quen, to one of its packages, and optionally to one
 * user (the activator).
 *
 * An entry is identified by (quenUID, packageUID, activator, name). In every
 * operation's key an empty text counts as missing (stored as SQL NULL and
 * compared with IS NULL), and when a packageUID is given the quenUID is
 * replaced by the Quen of that package: an entry of a package always lives
 * under the package's Quen, whatever Quen the caller names. Its row also has
 * a generated primary key (userDataPK), not part of the record, registered
 * by Add in the long-field key registry (index 0, value 'UserData').
 *
 * Every operation runs inside the connection's implicit transaction and
 * leaves the commit to the caller; a failed statement has been logged with
 * the operation's tag ("UserDataAdd", ...) and has rolled that transaction
 * back when the operation returns false.
 *
 * Records own their texts (malloc). A record read from the database holds ""
 * for a NULL column, never a null pointer. Records handed to Add and Update
 * are only read. */
#ifndef QUENSC_POLICYDB_USERDATA_H
#define QUENSC_POLICYDB_USERDATA_H

#include "policydb/db.h"

struct PolDbUserData {
    char *quenUID;
    char *packageUID;        /* "" or null: the entry is for the whole Quen */
    char *activator;         /* "" or null: the entry is for every user */
    char *name;
    char *value;             /* opaque to the server */
    int type;                /* opaque to the server */
    int64_t tsCreated;       /* microseconds (PolDb_Now) */
    int64_t tsLastModified;
};

/* Frees the texts of one record and nulls them (not the record itself). */
void PolDb_UserDataRelease(PolDbUserData *entry);

/* Releases every record of an array from an enumeration and frees the
 * array. A null array is fine. */
void PolDb_UserDataFreeArray(PolDbUserData *entries, int count);

/* Registers a new key and inserts the entry under it with both timestamps
 * set to now (the record's timestamps are ignored); one statement text. A
 * packageUID that names no live package fails with the log line
 * "PolDb_UserDataAdd: Wrong packageUID '<uid>'"; an entry with neither Quen
 * nor package fails with "PolDb_UserDataAdd: quenUid is not set and cannot
 * be implied from packageUid". It does not check whether the key is taken. */
bool PolDb_UserDataAdd(DbConnection *conn, const PolDbUserData *entry);

/* Rewrites value and type of the live entry with the record's key and sets
 * its last-modified time. Fails, logging "PolDb_UserDataUpdate: quenUid is
 * not set and cannot be implied from packageUid", when the key names no
 * Quen; succeeds also when no live row matches. */
bool PolDb_UserDataUpdate(DbConnection *conn, const PolDbUserData *entry);

/* Marks the live entry with this key deleted. Fails, logging
 * "PolDb_UserDataRemove: quenUid is not set and cannot be implied from
 * packageUid", when the key names no Quen. */
bool PolDb_UserDataDelete(DbConnection *conn, const char *quenUID, const char *packageUID, const char *activator,
                          const char *name);

/* Looks up the live entry with this key. True with *out the entry, newly
 * allocated (PolDb_UserDataRelease it, then free it), or true with *out null
 * when there is none. False, with *out null, when the read failed or the key
 * matches several rows (logged), or the key names no Quen (logged as
 * "PolDb_UserDataGetByPK: quenUid is not set and cannot be implied from
 * packageUid"). */
bool PolDb_UserDataGetByPK(DbConnection *conn, const char *quenUID, const char *packageUID, const char *activator,
                           const char *name, PolDbUserData **out);

/* Reads the live entries matching filter (an SQL condition; null for all;
 * quote values with PolDb_EscapeString) into a newly allocated array (null
 * for none), freed with PolDb_UserDataFreeArray. False, with *entries null
 * and *count 0, after a logged database error. */
bool PolDb_UserDataEnumerate(DbConnection *conn, const char *filter, PolDbUserData **entries, int *count);

/* The entries that apply to (quenUID, packageUID, activator), as
 * PolDb_UserDataEnumerate returns them. With exact set: the entries stored
 * for exactly that key (missing parts match only missing parts). Otherwise:
 * the Quen-wide entries, the package-wide entries of the package, the
 * activator's own entries on the Quen and the activator's own entries on
 * the package (those of the four that the arguments name), so a client sees
 * everything meant for it in one query. Fails, logging
 * "PolDb_UserDataEnumerateFilter: quenUid is not set and cannot be implied
 * from packageUid", when the arguments name no Quen. */
bool PolDb_UserDataEnumerateFilter(DbConnection *conn, bool exact, const char *quenUID, const char *packageUID,
                                   const char *activator, PolDbUserData **entries, int *count);

/* The entries stored at one level, for a manager's list: with packageUID,
 * every entry of that package (any activator); without, every entry of the
 * Quen that belongs to no package. As PolDb_UserDataEnumerate returns them. */
bool PolDb_UserDataEnumerateAtLevel(DbConnection *conn, const char *quenUID, const char *packageUID,
                                    PolDbUserData **entries, int *count);

#endif
