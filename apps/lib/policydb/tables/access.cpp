/* The access table module: add, update, delete, enumerate and read
 * PolicyDb_Access rows, and the copy of a version's entries to a new one. */
#include "policydb/access.h"

#include "tables/tableModule.h"

#include <apr_pools.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

/* The texts of the statement table (kept as macros so that the compiler
 * checks the arguments of each format, see FORMAT below). The insert
 * registers the new key in the long-field registry and writes the row under
 * it; it takes the escaped key twice. */
#define ACCESS_INSERT                                                                                           \
    "INSERT INTO PolicyDb_LongField (longFieldKey, longFieldIndex, longFieldValue) VALUES (%s, 0, 'Access');"  \
    "INSERT INTO PolicyDb_Access (accessPK, quenUID, identityData, accVersion, identityType, identityName, "    \
    "accUseInstanceLimit, accInstanceLimit, accTsCreated, accTsLastModified ) VALUES (%s, %s, %s, %d, %d, %s, " \
    "'%s', %d, '%" PRId64 "', '%" PRId64 "' )"
#define ACCESS_UPDATE                                                                                           \
    "UPDATE PolicyDb_Access SET identityType = %d, identityName = %s, accUseInstanceLimit = '%s', "            \
    "accInstanceLimit = %d, accTsLastModified = '%" PRId64 "' WHERE deleted = 'FALSE' AND quenUID = %s AND "   \
    "identityData = %s AND accVersion = %d"
#define ACCESS_DELETE                                                                                           \
    "UPDATE PolicyDb_Access SET deleted = 'TRUE', accTsLastModified = '%" PRId64 "' WHERE deleted = 'FALSE' "  \
    "AND quenUID = %s AND identityData = %s AND accVersion = %d"
#define ACCESS_SELECT                                                                                           \
    "SELECT quenUID, identityData, accVersion, identityType, identityName, accUseInstanceLimit, "              \
    "accInstanceLimit, accTsCreated, accTsLastModified FROM PolicyDb_Access"

namespace {

/* One row per store kind: SQLite, ODBC. */
const char *const kStatements[2][4] = {
    {ACCESS_INSERT, ACCESS_UPDATE, ACCESS_DELETE, ACCESS_SELECT},
    {ACCESS_INSERT, ACCESS_UPDATE, ACCESS_DELETE, ACCESS_SELECT},
};

#define FORMAT(conn, which, ...) POLDB_FORMAT(conn, kStatements, ACCESS_##which, STMT_##which, __VA_ARGS__)

void ReadAccess(DbResultSet *rs, void *record)
{
    auto *a = static_cast<PolDbAccess *>(record);
    const DbRowOps *ops = rs->ops;
    a->quenUID = ops->getString(rs, 0);
    a->identityData = ops->getString(rs, 1);
    a->accVersion = ops->getInt(rs, 2);
    a->identityType = ops->getInt(rs, 3);
    a->identityName = ops->getString(rs, 4);
    a->useInstanceLimit = ops->getBool(rs, 5);
    a->instanceLimit = ops->getInt(rs, 6);
    a->tsCreated = ops->getTimestamp(rs, 7);
    a->tsLastModified = ops->getTimestamp(rs, 8);
}

void ReleaseAccess(void *record) { PolDb_AccessRelease(static_cast<PolDbAccess *>(record)); }

/* Inserts the entry under a new registered key with the given timestamps. */
bool AddWithTimes(DbConnection *conn, const PolDbAccess *a, int64_t created, int64_t modified)
{
    auto *key = static_cast<char *>(apr_palloc(conn->pool, POLDB_UID_SIZE));
    if (!key)
        POLDB_ALLOC_FAILED();
    PolDb_CreateUniqueUID(conn, key);
    const char *escapedKey = PolDb_Literal(conn, key);
    char *sql = FORMAT(conn, INSERT, escapedKey, escapedKey, PolDb_Literal(conn, a->quenUID),
                       PolDb_Literal(conn, a->identityData), a->accVersion, a->identityType,
                       PolDb_Literal(conn, a->identityName), PolDb_Flag(a->useInstanceLimit), a->instanceLimit, created,
                       modified);
    return PolDb_Exec(conn, sql, "AccessAdd");
}

bool SameIdentity(const char *a, const char *b) { return strcmp(a ? a : "", b ? b : "") == 0; }

bool HoldsIdentity(const PolDbAccess *entries, int count, const char *identityData)
{
    for (int i = 0; i < count; i++)
        if (SameIdentity(entries[i].identityData, identityData))
            return true;
    return false;
}

} // namespace

void PolDb_AccessRelease(PolDbAccess *access)
{
    if (!access)
        return;
    free(access->quenUID);
    free(access->identityData);
    free(access->identityName);
    access->quenUID = nullptr;
    access->identityData = nullptr;
    access->identityName = nullptr;
}

void PolDb_AccessFreeArray(PolDbAccess *entries, int count)
{
    PolDb_FreeArray(entries, count, sizeof(PolDbAccess), ReleaseAccess);
}

bool PolDb_AccessAdd(DbConnection *conn, const PolDbAccess *access)
{
    int64_t now = PolDb_Now();
    return AddWithTimes(conn, access, now, now);
}

bool PolDb_AccessAddAll(DbConnection *conn, const PolDbAccess *entries, int count)
{
    for (int i = 0; i < count; i++)
        if (!PolDb_AccessAdd(conn, &entries[i]))
            return false;
    return true;
}

bool PolDb_AccessUpdate(DbConnection *conn, const PolDbAccess *access)
{
    int64_t now = PolDb_Now();
    char *sql =
        FORMAT(conn, UPDATE, access->identityType, PolDb_Literal(conn, access->identityName),
               PolDb_Flag(access->useInstanceLimit), access->instanceLimit, now, PolDb_Literal(conn, access->quenUID),
               PolDb_Literal(conn, access->identityData), access->accVersion);
    return PolDb_Exec(conn, sql, "AccessUpdate");
}

bool PolDb_AccessDelete(DbConnection *conn, const char *quenUID, const char *identityData, int accVersion)
{
    int64_t now = PolDb_Now();
    char *sql = FORMAT(conn, DELETE, now, PolDb_Literal(conn, quenUID), PolDb_Literal(conn, identityData), accVersion);
    return PolDb_Exec(conn, sql, "AccessDelete");
}

bool PolDb_AccessEnumerate(DbConnection *conn, const char *filter, PolDbAccess **entries, int *count)
{
    void *array = nullptr;
    int n =
        PolDb_SelectArray(conn, PolDb_WhereNotDeleted(conn, PolDb_Statement(kStatements, conn, STMT_SELECT), filter),
                          ReadAccess, &array, sizeof(PolDbAccess), "AccessEnumerate");
    *entries = static_cast<PolDbAccess *>(array);
    *count = n < 0 ? 0 : n;
    return n >= 0;
}

bool PolDb_AccessEnumerateVersion(DbConnection *conn, const char *quenUID, int accVersion, PolDbAccess **entries,
                                  int *count)
{
    const char *filter =
        PolDbPsprintf(conn, "quenUID = %s AND accVersion = %d", PolDb_Literal(conn, quenUID), accVersion);
    return PolDb_AccessEnumerate(conn, filter, entries, count);
}

bool PolDb_AccessGetByPK(DbConnection *conn, const char *quenUID, const char *identityData,
                                 int accVersion, PolDbAccess **out)
{
    *out = nullptr;
    const char *filter = PolDbPsprintf(conn, "quenUID = %s AND identityData = %s AND accVersion = %d",
                                       PolDb_Literal(conn, quenUID), PolDb_Literal(conn, identityData), accVersion);
    return PolDb_SelectOne(conn, PolDb_WhereNotDeleted(conn, PolDb_Statement(kStatements, conn, STMT_SELECT), filter),
                           ReadAccess, ReleaseAccess, "AccessGetByPK", out);
}

bool PolDb_AccessCopyVersion(DbConnection *conn, const char *quenUID, int fromVersion, int toVersion)
{
    PolDbAccess *source = nullptr;
    int sourceCount = 0;
    if (!PolDb_AccessEnumerateVersion(conn, quenUID, fromVersion, &source, &sourceCount))
        return false;
    if (sourceCount == 0)
        return true;
    PolDbAccess *target = nullptr;
    int targetCount = 0;
    if (!PolDb_AccessEnumerateVersion(conn, quenUID, toVersion, &target, &targetCount)) {
        PolDb_AccessFreeArray(source, sourceCount);
        return false;
    }
    int64_t now = PolDb_Now();
    int64_t copied = 0;
    bool ok = true;
    for (int i = 0; i < sourceCount && ok; i++) {
        PolDbAccess &entry = source[i];
        /* Skip identities the target holds, and repeats within the source
         * (whose first copy the target holds by now). */
        if (HoldsIdentity(target, targetCount, entry.identityData) || HoldsIdentity(source, i, entry.identityData))
            continue;
        entry.accVersion = toVersion;
        ok = AddWithTimes(conn, &entry, now + copied, now + copied);
        copied++;
    }
    PolDb_AccessFreeArray(target, targetCount);
    PolDb_AccessFreeArray(source, sourceCount);
    return ok;
}
