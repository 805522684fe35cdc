/* The MAC pool table module: typed access to PolicyDb_MacPool, the ranges
 * of 48-bit Ethernet addresses a Quen hands out to its virtual machines,
 * and the allocation of the next free address.
 *
 * Addresses are 48-bit values held in 64-bit ints (PolDb_MacToString and
 * PolDb_MacFromString convert them). A pool's range is valid when
 * 1 <= rangeStart <= rangeEnd <= POLDB_MAC_MAX; 0 is never an address (it
 * means "none"). A pool keeps rangeStart - 1 <= lastAssigned <= rangeEnd,
 * where rangeStart - 1 means that nothing has been handed out yet.
 *
 * Every operation runs inside the connection's implicit transaction and
 * leaves the commit to the caller; a failed statement has been logged with
 * the operation's tag ("MacPoolAdd", ...) and has rolled that transaction
 * back when the operation returns false.
 *
 * Records own their texts (malloc). A record read from the database holds ""
 * for a NULL column, never a null pointer, and a lastAssigned below
 * rangeStart - 1 is read as rangeStart - 1. Records handed to Add and
 * Update are only read. */
#ifndef QUENSC_POLICYDB_MACPOOL_H
#define QUENSC_POLICYDB_MACPOOL_H

#include "policydb/db.h"

#define POLDB_MAC_MAX INT64_C(0xFFFFFFFFFFFF)

struct PolDbMacPool {
    char *macPoolUID;
    char *quenUID;
    char *name;
    char *description;
    int64_t rangeStart;      /* first address of the range */
    int64_t rangeEnd;        /* last address of the range, inclusive */
    int64_t lastAssigned;    /* the address handed out most recently */
    int64_t tsCreated;       /* microseconds (PolDb_Now) */
    int64_t tsLastModified;
};

/* Frees the texts of one record and nulls them (not the record itself). */
void PolDb_MacPoolRelease(PolDbMacPool *pool);

/* Releases every record of an array from an enumeration and frees the
 * array. A null array is fine. */
void PolDb_MacPoolFreeArray(PolDbMacPool *pools, int count);

/* Inserts the pool, empty (lastAssigned = rangeStart - 1 whatever the record
 * holds), with both timestamps set to now. A range that is not valid is
 * refused with the log line "PolDb_MacPoolAdd: Invalid MAC address range
 * <start> - <end>" (decimal values) and false; nothing is written. */
bool PolDb_MacPoolAdd(DbConnection *conn, const PolDbMacPool *pool);

/* Rewrites Quen, name, description, range and lastAssigned of the live pool
 * pool->macPoolUID and sets its last-modified time. A range that is not
 * valid, or a lastAssigned outside rangeStart - 1 .. rangeEnd, is refused
 * with the log line "PolDb_MacPoolUpdate: Invalid MAC address range
 * <start> - <end>, last assigned <last>" and false. Lowering lastAssigned
 * makes the pool hand addresses out again. Succeeds also when no live row
 * matches. */
bool PolDb_MacPoolUpdate(DbConnection *conn, const PolDbMacPool *pool);

/* Marks the live pool macPoolUID deleted. */
bool PolDb_MacPoolDelete(DbConnection *conn, const char *macPoolUID);

/* Reads the live pools matching filter (an SQL condition; null for all;
 * quote values with PolDb_EscapeString) into a newly allocated array (null
 * for none), freed with PolDb_MacPoolFreeArray. False, with *pools null and
 * *count 0, after a logged database error. */
bool PolDb_MacPoolEnumerate(DbConnection *conn, const char *filter, PolDbMacPool **pools, int *count);

/* The live pools of a Quen in ascending macPoolUID order, as
 * PolDb_MacPoolEnumerate returns them. */
bool PolDb_MacPoolEnumerateByQuen(DbConnection *conn, const char *quenUID, PolDbMacPool **pools, int *count);

/* Looks up the live pool macPoolUID. True with *out the pool, newly
 * allocated (PolDb_MacPoolRelease it, then free it), or true with *out null
 * when there is none. False, with *out null, when the read failed (logged). */
bool PolDb_MacPoolGetByPK(DbConnection *conn, const char *macPoolUID, PolDbMacPool **out);

/* Whether a live or removed pool holds the UID (a removed pool keeps its
 * row and so its key): true with *taken set; false (logged) when the table
 * cannot be read. */
bool PolDb_MacPoolUidTaken(DbConnection *conn, const char *macPoolUID, bool *taken);

/* Hands out the next address of the Quen: the first pool in macPoolUID
 * order that has room gets lastAssigned + 1 stored as its lastAssigned, and
 * that value is the result, always within the pool's range. Pools whose
 * stored range is not valid are skipped, each logged as
 * "PolDb_MacPoolAllocateAddress: Skipping MAC pool '<uid>' with invalid
 * range <start> - <end>". Returns 0 when no pool has room, or when reading
 * or rewriting the pool failed (logged; later pools are then not tried).
 * Two allocations cannot hand out the same address as long as they run in
 * transactions that the store serialises (the process-wide DB lock on
 * SQLite and PostgreSQL); the caller commits. */
int64_t PolDb_MacPoolAllocateAddress(DbConnection *conn, const char *quenUID);

#endif
