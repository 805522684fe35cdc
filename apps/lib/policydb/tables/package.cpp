/* The package table module: add, update, enumerate and read
 * PolicyDb_Package rows, and the Quen of a package. */
#include "policydb/package.h"

#include "tables/tableModule.h"

#include <apr_strings.h>

#include <cstdio>
#include <cstdlib>

/* The texts of the statement table (kept as macros so that the compiler
 * checks the arguments of each format, see FORMAT below). */
#define PACKAGE_INSERT                                                                                          \
    "INSERT INTO PolicyDb_Package (quenUID, packageUID, pkgName, pkgUseValidDates, pkgValidDateStart, "        \
    "pkgValidDateEnd, pkgProtectionKey, pkgDisabled, pkgPreview, pkgTsCreated, pkgTsLastModified) VALUES "     \
    "(%s, %s, %s, '%s', '%" PRId64 "', '%" PRId64 "', %s, '%s', '%s', '%" PRId64 "', '%" PRId64 "')"
#define PACKAGE_UPDATE                                                                                          \
    "UPDATE PolicyDb_Package SET pkgName = %s, pkgUseValidDates = '%s', pkgValidDateStart = '%" PRId64         \
    "', pkgValidDateEnd = '%" PRId64 "', pkgProtectionKey = %s, pkgDisabled = '%s', pkgPreview = '%s', "       \
    "pkgTsLastModified = '%" PRId64 "' WHERE deleted = 'FALSE' AND packageUID = %s"
#define PACKAGE_SELECT                                                                                          \
    "SELECT quenUID, packageUID, pkgName, pkgUseValidDates, pkgValidDateStart, pkgValidDateEnd, "              \
    "pkgProtectionKey, pkgDisabled, pkgPreview, pkgTsCreated, pkgTsLastModified FROM PolicyDb_Package"

namespace {

/* One row per store kind: SQLite, ODBC. Packages have no delete of their
 * own (see package.h). */
const char *const kStatements[2][4] = {
    {PACKAGE_INSERT, PACKAGE_UPDATE, nullptr, PACKAGE_SELECT},
    {PACKAGE_INSERT, PACKAGE_UPDATE, nullptr, PACKAGE_SELECT},
};

#define FORMAT(conn, which, ...) POLDB_FORMAT(conn, kStatements, PACKAGE_##which, STMT_##which, __VA_ARGS__)

void ReadPackage(DbResultSet *rs, void *record)
{
    auto *p = static_cast<PolDbPackage *>(record);
    const DbRowOps *ops = rs->ops;
    p->quenUID = ops->getString(rs, 0);
    p->packageUID = ops->getString(rs, 1);
    p->name = ops->getString(rs, 2);
    p->useValidDates = ops->getBool(rs, 3);
    p->validDateStart = ops->getInt64(rs, 4);
    p->validDateEnd = ops->getInt64(rs, 5);
    p->protectionKey = ops->getString(rs, 6);
    p->disabled = ops->getBool(rs, 7);
    p->preview = ops->getBool(rs, 8);
    p->tsCreated = ops->getTimestamp(rs, 9);
    p->tsLastModified = ops->getTimestamp(rs, 10);
}

void ReleasePackage(void *record) { PolDb_PackageRelease(static_cast<PolDbPackage *>(record)); }

} // namespace

void PolDb_PackageRelease(PolDbPackage *package)
{
    if (!package)
        return;
    free(package->quenUID);
    free(package->packageUID);
    free(package->name);
    free(package->protectionKey);
    package->quenUID = nullptr;
    package->packageUID = nullptr;
    package->name = nullptr;
    package->protectionKey = nullptr;
}

void PolDb_PackageFreeArray(PolDbPackage *packages, int count)
{
    PolDb_FreeArray(packages, count, sizeof(PolDbPackage), ReleasePackage);
}

bool PolDb_PackageAdd(DbConnection *conn, const PolDbPackage *package)
{
    int64_t now = PolDb_Now();
    char *sql = FORMAT(conn, INSERT, PolDb_Literal(conn, package->quenUID), PolDb_Literal(conn, package->packageUID),
                       PolDb_Literal(conn, package->name), PolDb_Flag(package->useValidDates), package->validDateStart,
                       package->validDateEnd, PolDb_Literal(conn, package->protectionKey),
                       PolDb_Flag(package->disabled), PolDb_Flag(package->preview), now, now);
    return PolDb_Exec(conn, sql, "PackageAdd");
}

bool PolDb_PackageUpdate(DbConnection *conn, const PolDbPackage *package)
{
    int64_t now = PolDb_Now();
    char *sql = FORMAT(conn, UPDATE, PolDb_Literal(conn, package->name), PolDb_Flag(package->useValidDates),
                       package->validDateStart, package->validDateEnd, PolDb_Literal(conn, package->protectionKey),
                       PolDb_Flag(package->disabled), PolDb_Flag(package->preview), now,
                       PolDb_Literal(conn, package->packageUID));
    return PolDb_Exec(conn, sql, "PackageUpdate");
}

bool PolDb_PackageEnumerate(DbConnection *conn, const char *filter, PolDbPackage **packages, int *count)
{
    void *array = nullptr;
    int n =
        PolDb_SelectArray(conn, PolDb_WhereNotDeleted(conn, PolDb_Statement(kStatements, conn, STMT_SELECT), filter),
                          ReadPackage, &array, sizeof(PolDbPackage), "PackageEnumerate");
    *packages = static_cast<PolDbPackage *>(array);
    *count = n < 0 ? 0 : n;
    return n >= 0;
}

bool PolDb_PackageEnumerateByQuen(DbConnection *conn, const char *quenUID, PolDbPackage **packages, int *count)
{
    const char *filter = quenUID ? PolDbPsprintf(conn, "quenUID = %s", PolDb_Literal(conn, quenUID)) : nullptr;
    return PolDb_PackageEnumerate(conn, filter, packages, count);
}

bool PolDb_PackageGetByPK(DbConnection *conn, const char *packageUID, PolDbPackage **out)
{
    *out = nullptr;
    const char *filter = PolDbPsprintf(conn, "packageUID = %s", PolDb_Literal(conn, packageUID));
    return PolDb_SelectOne(conn, PolDb_WhereNotDeleted(conn, PolDb_Statement(kStatements, conn, STMT_SELECT), filter),
                           ReadPackage, ReleasePackage, "PackageGetByPK", out);
}

const char *PolDb_QuenOfPackage(DbConnection *conn, const char *packageUID)
{
    PolDbPackage *package = nullptr;
    PolDb_PackageGetByPK(conn, packageUID, &package);
    if (!package)
        return nullptr;
    const char *quenUID = apr_pstrdup(conn->pool, package->quenUID);
    PolDb_PackageRelease(package);
    free(package);
    if (!quenUID)
        POLDB_ALLOC_FAILED();
    return quenUID;
}
