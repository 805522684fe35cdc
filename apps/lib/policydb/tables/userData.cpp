/* The user data table module: add, update, delete, enumerate and read
 * PolicyDb_UserData rows, with the key handling that derives an entry's
 * Quen from its package, and the combined lookup for clients. */
#include "policydb/userData.h"

#include "tables/tableModule.h"

#include "policydb/package.h"

#include <apr_pools.h>

#include <cstdio>
#include <cstdlib>

/* The texts of the statement table (kept as macros so that the compiler
 * checks the arguments of each format, see FORMAT below). The insert
 * registers the new key in the long-field registry and writes the row under
 * it; it takes the escaped key twice. The key conditions of update and
 * delete take literals made with the operator ("= 'x'" or "IS NULL"). */
#define USERDATA_INSERT                                                                                         \
    "INSERT INTO PolicyDb_LongField (longFieldKey, longFieldIndex, longFieldValue) VALUES (%s, 0, 'UserData');" \
    "INSERT INTO PolicyDb_UserData (userDataPK, quenUID, packageUID, activator, udataName, udataValue, "        \
    "udataType, udtTsCreated, udtTsLastModified) VALUES (%s, %s, %s, %s, %s, %s, %d, '%" PRId64 "', '%" PRId64 \
    "')"
#define USERDATA_UPDATE                                                                                         \
    "UPDATE PolicyDb_UserData SET udataValue = %s, udataType = %d, udtTsLastModified = '%" PRId64 "' WHERE "   \
    "deleted = 'FALSE' AND quenUID %s AND packageUID %s AND activator %s AND udataName %s"
#define USERDATA_DELETE                                                                                         \
    "UPDATE PolicyDb_UserData SET deleted = 'TRUE', udtTsLastModified = '%" PRId64 "' WHERE deleted = 'FALSE' " \
    "AND quenUID %s AND packageUID %s AND activator %s AND udataName %s"
#define USERDATA_SELECT                                                                                         \
    "SELECT quenUID, packageUID, activator, udataName, udataValue, udataType, udtTsCreated, udtTsLastModified " \
    "FROM PolicyDb_UserData"

#define USERDATA_NO_QUEN "quenUid is not set and cannot be implied from packageUid\n"

namespace {

/* One row per store kind: SQLite, ODBC. */
const char *const kStatements[2][4] = {
    {USERDATA_INSERT, USERDATA_UPDATE, USERDATA_DELETE, USERDATA_SELECT},
    {USERDATA_INSERT, USERDATA_UPDATE, USERDATA_DELETE, USERDATA_SELECT},
};

#define FORMAT(conn, which, ...) POLDB_FORMAT(conn, kStatements, USERDATA_##which, STMT_##which, __VA_ARGS__)

/* "= 'text'", or "IS NULL" for a missing text. */
const char *Compare(DbConnection *conn, const char *text) { return PolDb_EscapeString(conn, false, true, text); }

/* Empty texts count as missing. */
const char *Present(const char *text) { return text && *text ? text : nullptr; }

/* The key of an entry after the key handling: parts present or null, and
 * the Quen replaced by the package's Quen where a package is given. */
struct Key {
    const char *quen;
    const char *package;
    const char *activator;
    const char *name;
    bool packageFound;       /* false when a given package names no live package */
};

Key Resolve(DbConnection *conn, const char *quenUID, const char *packageUID, const char *activator,
            const char *name)
{
    Key key{Present(quenUID), Present(packageUID), Present(activator), Present(name), true};
    if (key.package) {
        const char *owner = PolDb_QuenOfPackage(conn, key.package);
        key.packageFound = owner != nullptr;
        if (owner)
            key.quen = Present(owner);
    }
    return key;
}

/* "quenUID <op> AND packageUID <op> AND activator <op>" for the parts. */
const char *Condition(DbConnection *conn, const char *quen, const char *package, const char *activator)
{
    return PolDbPsprintf(conn, "quenUID %s AND packageUID %s AND activator %s", Compare(conn, quen),
                         Compare(conn, package), Compare(conn, activator));
}

void ReadUserData(DbResultSet *rs, void *record)
{
    auto *u = static_cast<PolDbUserData *>(record);
    const DbRowOps *ops = rs->ops;
    u->quenUID = ops->getString(rs, 0);
    u->packageUID = ops->getString(rs, 1);
    u->activator = ops->getString(rs, 2);
    u->name = ops->getString(rs, 3);
    u->value = ops->getString(rs, 4);
    u->type = ops->getInt(rs, 5);
    u->tsCreated = ops->getTimestamp(rs, 6);
    u->tsLastModified = ops->getTimestamp(rs, 7);
}

void ReleaseUserData(void *record) { PolDb_UserDataRelease(static_cast<PolDbUserData *>(record)); }

} // namespace

void PolDb_UserDataRelease(PolDbUserData *entry)
{
    if (!entry)
        return;
    free(entry->quenUID);
    free(entry->packageUID);
    free(entry->activator);
    free(entry->name);
    free(entry->value);
    entry->quenUID = nullptr;
    entry->packageUID = nullptr;
    entry->activator = nullptr;
    entry->name = nullptr;
    entry->value = nullptr;
}

void PolDb_UserDataFreeArray(PolDbUserData *entries, int count)
{
    PolDb_FreeArray(entries, count, sizeof(PolDbUserData), ReleaseUserData);
}

bool PolDb_UserDataAdd(DbConnection *conn, const PolDbUserData *entry)
{
    int64_t now = PolDb_Now();
    Key key = Resolve(conn, entry->quenUID, entry->packageUID, entry->activator, entry->name);
    if (!key.packageFound) {
        PolDb_Log("PolDb_UserDataAdd: Wrong packageUID '%s'\n", key.package);
        return false;
    }
    /* An entry without a Quen could never be found again. */
    if (!key.quen) {
        PolDb_Log("PolDb_UserDataAdd: " USERDATA_NO_QUEN);
        return false;
    }
    auto *pk = static_cast<char *>(apr_palloc(conn->pool, POLDB_UID_SIZE));
    if (!pk)
        POLDB_ALLOC_FAILED();
    PolDb_CreateUniqueUID(conn, pk);
    const char *escapedKey = PolDb_Literal(conn, pk);
    char *sql = FORMAT(conn, INSERT, escapedKey, escapedKey, PolDb_Literal(conn, key.quen),
                       PolDb_Literal(conn, key.package), PolDb_Literal(conn, key.activator),
                       PolDb_Literal(conn, key.name), PolDb_Literal(conn, entry->value), entry->type, now, now);
    return PolDb_Exec(conn, sql, "UserDataAdd");
}

bool PolDb_UserDataUpdate(DbConnection *conn, const PolDbUserData *entry)
{
    int64_t now = PolDb_Now();
    /* The same key handling as Add, or an entry of a package named without
     * its Quen (as Add accepts it) would silently not be updated. */
    Key key = Resolve(conn, entry->quenUID, entry->packageUID, entry->activator, entry->name);
    if (!key.quen) {
        PolDb_Log("PolDb_UserDataUpdate: " USERDATA_NO_QUEN);
        return false;
    }
    char *sql = FORMAT(conn, UPDATE, PolDb_Literal(conn, entry->value), entry->type, now, Compare(conn, key.quen),
                       Compare(conn, key.package), Compare(conn, key.activator), Compare(conn, key.name));
    return PolDb_Exec(conn, sql, "UserDataUpdate");
}

bool PolDb_UserDataDelete(DbConnection *conn, const char *quenUID, const char *packageUID, const char *activator,
                          const char *name)
{
    int64_t now = PolDb_Now();
    Key key = Resolve(conn, quenUID, packageUID, activator, name);
    if (!key.quen) {
        PolDb_Log("PolDb_UserDataRemove: " USERDATA_NO_QUEN);
        return false;
    }
    char *sql = FORMAT(conn, DELETE, now, Compare(conn, key.quen), Compare(conn, key.package),
                       Compare(conn, key.activator), Compare(conn, key.name));
    return PolDb_Exec(conn, sql, "UserDataDelete");
}

bool PolDb_UserDataGetByPK(DbConnection *conn, const char *quenUID, const char *packageUID,
                                     const char *activator, const char *name, PolDbUserData **out)
{
    *out = nullptr;
    Key key = Resolve(conn, quenUID, packageUID, activator, name);
    if (!key.quen) {
        PolDb_Log("PolDb_UserDataGetByPK: " USERDATA_NO_QUEN);
        return false;
    }
    const char *filter =
        PolDbPsprintf(conn, "quenUID %s AND packageUID %s AND activator %s AND udataName %s", Compare(conn, key.quen),
                      Compare(conn, key.package), Compare(conn, key.activator), Compare(conn, key.name));
    return PolDb_SelectOne(conn, PolDb_WhereNotDeleted(conn, PolDb_Statement(kStatements, conn, STMT_SELECT), filter),
                           ReadUserData, ReleaseUserData, "UserDataGetByPK", out);
}

bool PolDb_UserDataEnumerate(DbConnection *conn, const char *filter, PolDbUserData **entries, int *count)
{
    void *array = nullptr;
    int n =
        PolDb_SelectArray(conn, PolDb_WhereNotDeleted(conn, PolDb_Statement(kStatements, conn, STMT_SELECT), filter),
                          ReadUserData, &array, sizeof(PolDbUserData), "UserDataEnumerate");
    *entries = static_cast<PolDbUserData *>(array);
    *count = n < 0 ? 0 : n;
    return n >= 0;
}

bool PolDb_UserDataEnumerateFilter(DbConnection *conn, bool exact, const char *quenUID, const char *packageUID,
                                   const char *activator, PolDbUserData **entries, int *count)
{
    *entries = nullptr;
    *count = 0;
    Key key = Resolve(conn, quenUID, packageUID, activator, nullptr);
    if (!key.quen) {
        PolDb_Log("PolDb_UserDataEnumerateFilter: " USERDATA_NO_QUEN);
        return false;
    }
    const char *select = PolDb_Statement(kStatements, conn, STMT_SELECT);
    char *sql;
    if (exact) {
        sql = PolDbPsprintf(conn, "%s WHERE (deleted = 'FALSE' AND %s)", select,
                            Condition(conn, key.quen, key.package, key.activator));
    } else {
        sql = PolDbPsprintf(conn, "%s WHERE (deleted = 'FALSE' AND ((%s) OR (%s) OR (%s) OR (%s)))", select,
                            Condition(conn, key.quen, nullptr, nullptr),
                            Condition(conn, key.quen, key.package, nullptr),
                            Condition(conn, key.quen, nullptr, key.activator),
                            Condition(conn, key.quen, key.package, key.activator));
    }
    void *array = nullptr;
    int n = PolDb_SelectArray(conn, sql, ReadUserData, &array, sizeof(PolDbUserData), "UserDataEnumerate");
    *entries = static_cast<PolDbUserData *>(array);
    *count = n < 0 ? 0 : n;
    return n >= 0;
}

bool PolDb_UserDataEnumerateAtLevel(DbConnection *conn, const char *quenUID, const char *packageUID,
                                    PolDbUserData **entries, int *count)
{
    const char *filter =
        packageUID ? PolDbPsprintf(conn, "quenUID %s AND packageUID %s", PolDb_EscapeString(conn, false, true, quenUID),
                                   PolDb_EscapeString(conn, false, true, packageUID))
                   : PolDbPsprintf(conn, "quenUID %s AND packageUID IS NULL",
                                   PolDb_EscapeString(conn, false, true, quenUID));
    return PolDb_UserDataEnumerate(conn, filter, entries, count);
}
