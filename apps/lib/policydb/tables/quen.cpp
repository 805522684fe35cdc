/* The Quen table module: add, update, enumerate and read PolicyDb_Quen rows,
 * the cascade delete of a Quen and the removal of its preview packages. */
#include "policydb/quen.h"

#include "tables/tableModule.h"

#include <cstdio>
#include <cstdlib>

/* The texts of the statement table (kept as macros so that the compiler
 * checks the arguments of each format, see FORMAT below). */
#define QUEN_INSERT                                                                                             \
    "INSERT INTO PolicyDb_Quen (quenUID, quenName, activePolicySetVersion, quenTsCreated, quenTsLastModified) " \
    "VALUES (%s, %s, %d, '%" PRId64 "', '%" PRId64 "')"
#define QUEN_UPDATE                                                                                             \
    "UPDATE PolicyDb_Quen SET quenName = %s, activePolicySetVersion = %d, quenTsLastModified = '%" PRId64     \
    "' WHERE deleted = 'FALSE' AND quenUID = %s"
/* One soft delete per table that refers to a Quen, the Quen itself last.
 * Each takes (now, quenUID). */
#define QUEN_CASCADE_STEP(table, column) \
    "UPDATE " table " SET deleted = 'TRUE', " column " = '%" PRId64 "'WHERE deleted = 'FALSE' AND quenUID = %s"
#define QUEN_DELETE                                                  \
    QUEN_CASCADE_STEP("PolicyDb_UserData", "udtTsLastModified") ";"  \
    QUEN_CASCADE_STEP("PolicyDb_Instance", "insTsLastModified") ";"  \
    QUEN_CASCADE_STEP("PolicyDb_Package", "pkgTsLastModified") ";"   \
    QUEN_CASCADE_STEP("PolicyDb_Access", "accTsLastModified") ";"    \
    QUEN_CASCADE_STEP("PolicyDb_MacPool", "mplTsLastModified") ";"   \
    QUEN_CASCADE_STEP("PolicyDb_RuntimePolicy", "rtpTsLastModified") ";" \
    QUEN_CASCADE_STEP("PolicyDb_Quen", "quenTsLastModified")
#define QUEN_SELECT \
    "SELECT quenUID, quenName, activePolicySetVersion, quenTsCreated, quenTsLastModified FROM PolicyDb_Quen"

/* The live preview packages of a Quen (takes the quenUID). */
#define QUEN_PREVIEW_PACKAGES \
    "SELECT packageUID FROM PolicyDb_Package WHERE deleted = 'FALSE' AND quenUID = %s AND pkgPreview = 'TRUE'"
/* The rows of those packages go first, whether marked deleted or not: a
 * marked row still names the package, and the stores that enforce foreign
 * keys refuse to remove a package that something names. Takes the
 * quenUID three times. */
#define QUEN_REMOVE_PREVIEW                                                              \
    "DELETE FROM PolicyDb_UserData WHERE packageUID IN (" QUEN_PREVIEW_PACKAGES ");"      \
    "DELETE FROM PolicyDb_Instance WHERE packageUID IN (" QUEN_PREVIEW_PACKAGES ");"      \
    "DELETE FROM PolicyDb_Package WHERE deleted = 'FALSE' AND quenUID = %s AND pkgPreview = 'TRUE'"

namespace {

/* One row per store kind: SQLite, ODBC. */
const char *const kStatements[2][4] = {
    {QUEN_INSERT, QUEN_UPDATE, QUEN_DELETE, QUEN_SELECT},
    {QUEN_INSERT, QUEN_UPDATE, QUEN_DELETE, QUEN_SELECT},
};

#define FORMAT(conn, which, ...) POLDB_FORMAT(conn, kStatements, QUEN_##which, STMT_##which, __VA_ARGS__)

void ReadQuen(DbResultSet *rs, void *record)
{
    auto *q = static_cast<PolDbQuen *>(record);
    const DbRowOps *ops = rs->ops;
    q->quenUID = ops->getString(rs, 0);
    q->quenName = ops->getString(rs, 1);
    q->activePolicySetVersion = ops->getInt(rs, 2);
    q->tsCreated = ops->getTimestamp(rs, 3);
    q->tsLastModified = ops->getTimestamp(rs, 4);
}

void ReleaseQuen(void *record) { PolDb_QuenRelease(static_cast<PolDbQuen *>(record)); }

} // namespace

void PolDb_QuenRelease(PolDbQuen *quen)
{
    if (!quen)
        return;
    free(quen->quenUID);
    free(quen->quenName);
    quen->quenUID = nullptr;
    quen->quenName = nullptr;
}

void PolDb_QuenFreeArray(PolDbQuen *quens, int count)
{
    PolDb_FreeArray(quens, count, sizeof(PolDbQuen), ReleaseQuen);
}

bool PolDb_QuenAdd(DbConnection *conn, const PolDbQuen *quen)
{
    int64_t now = PolDb_Now();
    char *sql = FORMAT(conn, INSERT, PolDb_Literal(conn, quen->quenUID), PolDb_Literal(conn, quen->quenName),
                       quen->activePolicySetVersion, now, now);
    return PolDb_Exec(conn, sql, "QuenAdd");
}

bool PolDb_QuenUpdate(DbConnection *conn, const PolDbQuen *quen)
{
    int64_t now = PolDb_Now();
    char *sql = FORMAT(conn, UPDATE, PolDb_Literal(conn, quen->quenName), quen->activePolicySetVersion, now,
                       PolDb_Literal(conn, quen->quenUID));
    return PolDb_Exec(conn, sql, "QuenUpdate");
}

bool PolDb_QuenDelete(DbConnection *conn, const char *quenUID)
{
    int64_t now = PolDb_Now();
    const char *uid = PolDb_Literal(conn, quenUID);
    char *sql = FORMAT(conn, DELETE, now, uid, now, uid, now, uid, now, uid, now, uid, now, uid, now, uid);
    return PolDb_Exec(conn, sql, "QuenDelete");
}

bool PolDb_QuenEnumerate(DbConnection *conn, const char *filter, PolDbQuen **quens, int *count)
{
    void *array = nullptr;
    int n =
        PolDb_SelectArray(conn, PolDb_WhereNotDeleted(conn, PolDb_Statement(kStatements, conn, STMT_SELECT), filter),
                          ReadQuen, &array, sizeof(PolDbQuen), "QuenEnumerate");
    *quens = static_cast<PolDbQuen *>(array);
    *count = n < 0 ? 0 : n;
    return n >= 0;
}

bool PolDb_QuenGetByPK(DbConnection *conn, const char *quenUID, PolDbQuen **out)
{
    *out = nullptr;
    const char *filter = PolDbPsprintf(conn, "quenUID = %s", PolDb_Literal(conn, quenUID));
    return PolDb_SelectOne(conn, PolDb_WhereNotDeleted(conn, PolDb_Statement(kStatements, conn, STMT_SELECT), filter),
                           ReadQuen, ReleaseQuen, "QuenGetByPK", out);
}

bool PolDb_QuenRemovePreview(DbConnection *conn, const char *quenUID)
{
    const char *uid = PolDb_Literal(conn, quenUID);
    char *sql = PolDbPsprintf(conn, QUEN_REMOVE_PREVIEW, uid, uid, uid);
    return PolDb_Exec(conn, sql, "QuenRemovePreview");
}
