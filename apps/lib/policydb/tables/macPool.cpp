/* The MAC pool table module: add, update, delete, enumerate and read
 * PolicyDb_MacPool rows, and the allocation of a Quen's next address. */
#include "policydb/macPool.h"

#include "tables/tableModule.h"

#include <cstdio>
#include <cstdlib>

/* The texts of the statement table (kept as macros so that the compiler
 * checks the arguments of each format, see FORMAT below). */
#define MACPOOL_INSERT                                                                                          \
    "INSERT INTO PolicyDb_MacPool (macPoolUID, quenUID, macPoolName, description, rangeStart, rangeEnd, "      \
    "lastAssigned, mplTsCreated, mplTsLastModified) VALUES (%s, %s, %s, %s, '%" PRId64 "', '%" PRId64 "', '%"  \
    PRId64 "', '%" PRId64 "', '%" PRId64 "')"
#define MACPOOL_UPDATE                                                                                          \
    "UPDATE PolicyDb_MacPool SET quenUID = %s,macPoolName = %s, description = %s, rangeStart = '%" PRId64      \
    "', rangeEnd = '%" PRId64 "', lastAssigned = '%" PRId64 "', mplTsLastModified = '%" PRId64 "' WHERE "      \
    "deleted = 'FALSE' AND macPoolUID = %s"
#define MACPOOL_DELETE                                                                                          \
    "UPDATE PolicyDb_MacPool SET deleted = 'TRUE', mplTsLastModified = '%" PRId64 "' WHERE deleted = 'FALSE' " \
    "AND macPoolUID = %s"
#define MACPOOL_SELECT                                                                                          \
    "SELECT macPoolUID, quenUID, macPoolName, description, rangeStart, rangeEnd, lastAssigned, mplTsCreated, " \
    "mplTsLastModified FROM PolicyDb_MacPool"

namespace {

/* One row per store kind: SQLite, ODBC. */
const char *const kStatements[2][4] = {
    {MACPOOL_INSERT, MACPOOL_UPDATE, MACPOOL_DELETE, MACPOOL_SELECT},
    {MACPOOL_INSERT, MACPOOL_UPDATE, MACPOOL_DELETE, MACPOOL_SELECT},
};

#define FORMAT(conn, which, ...) POLDB_FORMAT(conn, kStatements, MACPOOL_##which, STMT_##which, __VA_ARGS__)

bool ValidRange(int64_t start, int64_t end) { return 1 <= start && start <= end && end <= POLDB_MAC_MAX; }

void ReadMacPool(DbResultSet *rs, void *record)
{
    auto *p = static_cast<PolDbMacPool *>(record);
    const DbRowOps *ops = rs->ops;
    p->macPoolUID = ops->getString(rs, 0);
    p->quenUID = ops->getString(rs, 1);
    p->name = ops->getString(rs, 2);
    p->description = ops->getString(rs, 3);
    p->rangeStart = ops->getInt64(rs, 4);
    p->rangeEnd = ops->getInt64(rs, 5);
    p->lastAssigned = ops->getInt64(rs, 6);
    p->tsCreated = ops->getTimestamp(rs, 7);
    p->tsLastModified = ops->getTimestamp(rs, 8);
    /* The next address handed out is never below the range. (A stored
     * rangeStart of INT64_MIN has no predecessor; such a range is not valid
     * and the pool is never used.) */
    if (p->rangeStart > INT64_MIN && p->lastAssigned < p->rangeStart - 1)
        p->lastAssigned = p->rangeStart - 1;
}

void ReleaseMacPool(void *record) { PolDb_MacPoolRelease(static_cast<PolDbMacPool *>(record)); }

} // namespace

void PolDb_MacPoolRelease(PolDbMacPool *pool)
{
    if (!pool)
        return;
    free(pool->macPoolUID);
    free(pool->quenUID);
    free(pool->name);
    free(pool->description);
    pool->macPoolUID = nullptr;
    pool->quenUID = nullptr;
    pool->name = nullptr;
    pool->description = nullptr;
}

void PolDb_MacPoolFreeArray(PolDbMacPool *pools, int count)
{
    PolDb_FreeArray(pools, count, sizeof(PolDbMacPool), ReleaseMacPool);
}

bool PolDb_MacPoolAdd(DbConnection *conn, const PolDbMacPool *pool)
{
    int64_t now = PolDb_Now();
    if (!ValidRange(pool->rangeStart, pool->rangeEnd)) {
        PolDb_Log("PolDb_MacPoolAdd: Invalid MAC address range %" PRId64 " - %" PRId64 "\n", pool->rangeStart,
                  pool->rangeEnd);
        return false;
    }
    char *sql = FORMAT(conn, INSERT, PolDb_Literal(conn, pool->macPoolUID), PolDb_Literal(conn, pool->quenUID),
                       PolDb_Literal(conn, pool->name), PolDb_Literal(conn, pool->description), pool->rangeStart,
                       pool->rangeEnd, pool->rangeStart - 1, now, now);
    return PolDb_Exec(conn, sql, "MacPoolAdd");
}

bool PolDb_MacPoolUpdate(DbConnection *conn, const PolDbMacPool *pool)
{
    int64_t now = PolDb_Now();
    if (!ValidRange(pool->rangeStart, pool->rangeEnd) || pool->lastAssigned < pool->rangeStart - 1 ||
        pool->lastAssigned > pool->rangeEnd) {
        PolDb_Log("PolDb_MacPoolUpdate: Invalid MAC address range %" PRId64 " - %" PRId64 ", last assigned %" PRId64
                  "\n",
                  pool->rangeStart, pool->rangeEnd, pool->lastAssigned);
        return false;
    }
    char *sql = FORMAT(conn, UPDATE, PolDb_Literal(conn, pool->quenUID), PolDb_Literal(conn, pool->name),
                       PolDb_Literal(conn, pool->description), pool->rangeStart, pool->rangeEnd, pool->lastAssigned,
                       now, PolDb_Literal(conn, pool->macPoolUID));
    return PolDb_Exec(conn, sql, "MacPoolUpdate");
}

bool PolDb_MacPoolDelete(DbConnection *conn, const char *macPoolUID)
{
    int64_t now = PolDb_Now();
    char *sql = FORMAT(conn, DELETE, now, PolDb_Literal(conn, macPoolUID));
    return PolDb_Exec(conn, sql, "MacPoolDelete");
}

namespace {

bool SelectPools(DbConnection *conn, const char *sql, const char *tag, PolDbMacPool **pools, int *count)
{
    void *array = nullptr;
    int n = PolDb_SelectArray(conn, sql, ReadMacPool, &array, sizeof(PolDbMacPool), tag);
    *pools = static_cast<PolDbMacPool *>(array);
    *count = n < 0 ? 0 : n;
    return n >= 0;
}

} // namespace

bool PolDb_MacPoolEnumerate(DbConnection *conn, const char *filter, PolDbMacPool **pools, int *count)
{
    return SelectPools(conn, PolDb_WhereNotDeleted(conn, PolDb_Statement(kStatements, conn, STMT_SELECT), filter),
                       "MacPoolEnumerate", pools, count);
}

bool PolDb_MacPoolEnumerateByQuen(DbConnection *conn, const char *quenUID, PolDbMacPool **pools, int *count)
{
    char *sql = PolDbPsprintf(conn, "%s WHERE deleted = 'FALSE' AND quenUID = %s ORDER BY macPoolUID",
                              PolDb_Statement(kStatements, conn, STMT_SELECT), PolDb_Literal(conn, quenUID));
    return SelectPools(conn, sql, "MacPoolEnumerateByQuen", pools, count);
}

bool PolDb_MacPoolGetByPK(DbConnection *conn, const char *macPoolUID, PolDbMacPool **out)
{
    *out = nullptr;
    const char *filter = PolDbPsprintf(conn, "macPoolUID = %s", PolDb_Literal(conn, macPoolUID));
    return PolDb_SelectOne(conn, PolDb_WhereNotDeleted(conn, PolDb_Statement(kStatements, conn, STMT_SELECT), filter),
                           ReadMacPool, ReleaseMacPool, "MacPoolGetByPK", out);
}

bool PolDb_MacPoolUidTaken(DbConnection *conn, const char *macPoolUID, bool *taken)
{
    return PolDb_KeyTaken(conn, "PolicyDb_MacPool", "macPoolUID", macPoolUID, taken);
}

int64_t PolDb_MacPoolAllocateAddress(DbConnection *conn, const char *quenUID)
{
    /* Another server on the same database must not read the same
     * lastAssigned before this transaction has written the next one. */
    if (!PolDb_LockAcrossServers(conn, POLDB_LOCK_MAC_POOLS, quenUID))
        return 0;
    PolDbMacPool *pools = nullptr;
    int count = 0;
    if (!PolDb_MacPoolEnumerateByQuen(conn, quenUID, &pools, &count))
        return 0;
    int64_t address = 0;
    for (int i = 0; i < count; i++) {
        PolDbMacPool &pool = pools[i];
        if (!ValidRange(pool.rangeStart, pool.rangeEnd)) {
            PolDb_Log("PolDb_MacPoolAllocateAddress: Skipping MAC pool '%s' with invalid range %" PRId64 " - %" PRId64
                      "\n",
                      pool.macPoolUID, pool.rangeStart, pool.rangeEnd);
            continue;
        }
        /* The reader keeps lastAssigned >= rangeStart - 1, so with room left
         * the next address lies within the range (and cannot overflow). */
        if (pool.lastAssigned >= pool.rangeEnd)
            continue;
        pool.lastAssigned++;
        if (PolDb_MacPoolUpdate(conn, &pool))
            address = pool.lastAssigned;
        break;
    }
    PolDb_MacPoolFreeArray(pools, count);
    return address;
}
