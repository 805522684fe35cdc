/* The instance module: typed access to PolicyDb_Instance (add, update, soft
 * delete, enumerate, get by key), the names and read-only flags of the nine
 * custom instance fields kept in PolicyDb_MetaInfo, and two bulk updates.
 *
 * Every 64-bit value of an instance row (dates and timestamps) is stored as
 * a text zero-padded to 20 digits, so that the range conditions of the
 * instance query (instanceQuery.h) can compare the stored texts.
 *
 * Every operation runs inside the connection's implicit transaction and
 * leaves the commit to the caller; a failed statement has rolled that
 * transaction back (with whatever else it held) when the operation returns. */
#ifndef QUENSC_POLICYDB_INSTANCE_H
#define QUENSC_POLICYDB_INSTANCE_H

#include "policydb/db.h"

#define POLDB_INSTANCE_CUSTOM_FIELDS 9

/* One instance, in the column order of the select statement. Records read
 * from the database own every text (heap, "" for a NULL column), released
 * by PolDb_InstanceRelease. Records handed to Add and Update are only read;
 * a null text there is written as SQL NULL. */
struct PolDbInstance {
    char *instanceUID;
    char *packageUID;
    char *quenUID;
    char *creatorIdName;
    char *creatorIdData;
    int creatorAuthType;
    int64_t activationDate;      /* seconds since 1970-01-01 UTC */
    int64_t lastPolicyCheck;
    int64_t revocationDate;
    int64_t replacementDate;
    bool inheritsExpiration;
    bool useValidDates;          /* column insUseValidDates */
    int64_t validDateStart;      /* insValidDateStart */
    int64_t validDateEnd;        /* insValidDateEnd */
    char *password;              /* insPassword */
    char *hostName;
    char *hostIp;
    char *protectionKey;         /* insProtectionKey */
    char *copyProtectionId;
    bool preview;                /* insPreview */
    char *guestIpAddress;
    char *guestMacAddress;
    char *guestMachineName;
    int guestConfigStatus;
    char *guestConfigMsg;
    int64_t tsCreated;           /* insTsCreated, microseconds (PolDb_Now) */
    int64_t tsLastModified;      /* insTsLastModified */
    char *custom[POLDB_INSTANCE_CUSTOM_FIELDS]; /* insCustom1 .. insCustom9 */
};

/* The columns of an instance row in record order, plain and with the
 * instance table's alias i where the joined tables share a column name. */
#define POLDB_INSTANCE_COLUMNS                                                                                   \
    "instanceUID, packageUID, quenUID, creatorIdName, creatorIdData, creatorAuthType, activationDate, "          \
    "lastPolicyCheck, revocationDate, replacementDate, inheritsExpiration, insUseValidDates, insValidDateStart, " \
    "insValidDateEnd, insPassword, hostName, hostIp, insProtectionKey, copyProtectionId, insPreview, "            \
    "guestIpAddress, guestMacAddress, guestMachineName, guestConfigStatus, guestConfigMsg, insTsCreated, "        \
    "insTsLastModified, insCustom1, insCustom2, insCustom3, insCustom4, insCustom5, insCustom6, insCustom7, "     \
    "insCustom8, insCustom9"
#define POLDB_INSTANCE_QUALIFIED_COLUMNS                                                                         \
    "instanceUID, i.packageUID, i.quenUID, creatorIdName, creatorIdData, creatorAuthType, activationDate, "      \
    "lastPolicyCheck, revocationDate, replacementDate, inheritsExpiration, insUseValidDates, insValidDateStart, " \
    "insValidDateEnd, insPassword, hostName, hostIp, insProtectionKey, copyProtectionId, insPreview, "            \
    "guestIpAddress, guestMacAddress, guestMachineName, guestConfigStatus, guestConfigMsg, insTsCreated, "        \
    "insTsLastModified, insCustom1, insCustom2, insCustom3, insCustom4, insCustom5, insCustom6, insCustom7, "     \
    "insCustom8, insCustom9"

/* The row reader of both column lists (a PolDbRowReader for PolDbInstance)
 * and the matching PolDbRecordRelease. */
void PolDb_InstanceReadRow(DbResultSet *rs, void *record);
void PolDb_InstanceReleaseRecord(void *record);

/* Frees every text the record holds and nulls it (not the record itself). */
void PolDb_InstanceRelease(PolDbInstance *instance);
/* Releases a record of PolDb_InstanceGetByPK and frees it. Null is fine. */
void PolDb_InstanceFree(PolDbInstance *instance);
/* Releases every record of an array and the array. Null is fine. */
void PolDb_InstanceFreeArray(PolDbInstance *instances, int count);

/* Adds an instance. Both timestamps become one PolDb_Now() value (the
 * record's are ignored) and the quenUID written is always the Quen of the
 * record's package: an unknown package makes the insert fail. */
bool PolDb_InstanceAdd(DbConnection *conn, const PolDbInstance *instance);

/* Writes every column of the live row of instance->instanceUID from the
 * record (quenUID as given), with insTsLastModified = PolDb_Now(); the
 * creation time is kept. Succeeds also when no live row matched. */
bool PolDb_InstanceUpdate(DbConnection *conn, const PolDbInstance *instance);

/* Marks the live row deleted and stamps its modification time. */
bool PolDb_InstanceDelete(DbConnection *conn, const char *instanceUID);

/* Reads the live instances matching filter (an SQL condition on the plain
 * columns, or null for all; quote values with PolDb_EscapeString) into a
 * newly allocated array (null for none), freed with PolDb_InstanceFreeArray.
 * False, with *instances null and *count 0, after a logged error. */
bool PolDb_InstanceEnumerate(DbConnection *conn, const char *filter, PolDbInstance **instances, int *count);

/* Looks up the live instance of that UID. True with *out the instance,
 * newly allocated (PolDb_InstanceFree), or true with *out null when there is
 * none. False, with *out null, when the read failed (logged). */
bool PolDb_InstanceGetByPK(DbConnection *conn, const char *instanceUID, PolDbInstance **out);

/* Whether any row, deleted ones included (they keep their key), holds the
 * UID: true with *taken set; false (logged) when the table cannot be read. */
bool PolDb_InstanceUidTaken(DbConnection *conn, const char *instanceUID, bool *taken);

/* The live non-preview instances of the Quen, all of them or, with
 * creatorIdData, those of that creator; as PolDb_InstanceEnumerate returns
 * them. */
bool PolDb_InstanceEnumerateNonPreview(DbConnection *conn, const char *quenUID, const char *creatorIdData,
                                       PolDbInstance **instances, int *count);

/* The live instances of the Quen with this preview flag that inherit their
 * expiration from its policy set; as PolDb_InstanceEnumerate returns them. */
bool PolDb_InstanceEnumerateInheriting(DbConnection *conn, const char *quenUID, bool preview,
                                       PolDbInstance **instances, int *count);

/* Reads the display names of the nine custom fields and, when readOnly is
 * given, their read-only flags. The arrays of nine entries live in the
 * connection's pool. When any of the metadata rows is missing the result is
 * false and both outputs are null. */
bool PolDb_InstanceGetCustomFields(DbConnection *conn, const char ***names, bool **readOnly);

/* Writes the nine names (names has nine entries; a null entry is written as
 * SQL NULL, which reads back as "") and, when readOnly is given, the nine
 * read-only flags. Stops at the first failing statement. */
bool PolDb_InstanceSetCustomFields(DbConnection *conn, const char *const *names, const bool *readOnly);

/* Sets the validity window of every live instance of the Quen that inherits
 * its expiration from the Quen and has the given preview flag. */
bool PolDb_InstanceUpdateValidDates(DbConnection *conn, const char *quenUID, bool preview, bool useValidDates,
                                    int64_t start, int64_t end);

/* Empties custom field index + 1 (index 0 to 8) on every live instance and
 * the field's display name. Another index is refused (false, logged) without
 * touching the database. */
bool PolDb_InstanceClearCustomField(DbConnection *conn, int index);

#endif
