/* The instance module: PolicyDb_Instance rows with 20-digit zero-padded
 * 64-bit values, the custom field metadata and the two bulk updates. */
#include "policydb/instance.h"

#include "tables/tableModule.h"

#include "policydb/package.h"

#include <apr_strings.h>

#include <cstdlib>
#include <cstring>

/* Kept as macros so that the compiler checks the arguments of each format. */
#define INSTANCE_INSERT                                                                                          \
    "INSERT INTO PolicyDb_Instance (instanceUID, packageUID, quenUID, creatorIdName, creatorIdData, "             \
    "creatorAuthType, activationDate, lastPolicyCheck, revocationDate, replacementDate, inheritsExpiration, "     \
    "insUseValidDates, insValidDateStart, insValidDateEnd, insPassword, hostName, hostIp, insProtectionKey, "     \
    "copyProtectionId, insPreview, guestIpAddress, guestMacAddress, guestMachineName, guestConfigStatus, "        \
    "guestConfigMsg, insTsCreated, insTsLastModified, insCustom1, insCustom2, insCustom3, insCustom4, "           \
    "insCustom5, insCustom6, insCustom7, insCustom8, insCustom9 ) VALUES (%s, %s, %s, %s, %s, %d, '%020" PRId64   \
    "', '%020" PRId64 "', '%020" PRId64 "', '%020" PRId64 "', '%s', '%s', '%020" PRId64 "', '%020" PRId64         \
    "', %s, %s, %s, %s, %s, '%s', %s, %s, %s, %d, %s, '%020" PRId64 "', '%020" PRId64                             \
    "', %s, %s, %s, %s, %s, %s, %s, %s, %s )"
#define INSTANCE_UPDATE                                                                                          \
    "UPDATE PolicyDb_Instance SET packageUID = %s, quenUID = %s, creatorIdName = %s, creatorIdData = %s, "        \
    "creatorAuthType = %d, activationDate = '%020" PRId64 "', lastPolicyCheck = '%020" PRId64                     \
    "', revocationDate = '%020" PRId64 "', replacementDate = '%020" PRId64 "', inheritsExpiration = '%s', "       \
    "insUseValidDates = '%s', insValidDateStart = '%020" PRId64 "', insValidDateEnd = '%020" PRId64               \
    "', insPassword = %s, hostName = %s, hostIp = %s, insProtectionKey = %s, copyProtectionId = %s, "             \
    "insPreview = '%s', guestIpAddress = %s, guestMacAddress = %s, guestMachineName = %s, "                       \
    "guestConfigStatus = %d, guestConfigMsg = %s, insTsLastModified = '%020" PRId64 "', insCustom1 = %s, "        \
    "insCustom2 = %s, insCustom3 = %s, insCustom4 = %s, insCustom5 = %s, insCustom6 = %s, insCustom7 = %s, "      \
    "insCustom8 = %s, insCustom9 = %s WHERE deleted = 'FALSE' AND instanceUID = %s"
#define INSTANCE_DELETE                                                                                          \
    "UPDATE PolicyDb_Instance SET deleted = 'TRUE', insTsLastModified = '%020" PRId64                             \
    "' WHERE deleted = 'FALSE' AND instanceUID = %s"
#define INSTANCE_SELECT "SELECT " POLDB_INSTANCE_COLUMNS " FROM PolicyDb_Instance"

#define CUSTOM_NAME_GET "SELECT value FROM PolicyDb_MetaInfo WHERE name = 'insCustom%dName'"
#define CUSTOM_READONLY_GET "SELECT value FROM PolicyDb_MetaInfo WHERE name = 'insCustom%dReadOnly'"
#define CUSTOM_NAME_SET "UPDATE PolicyDb_MetaInfo SET value = %s WHERE name = 'insCustom%dName'"
#define CUSTOM_READONLY_SET "UPDATE PolicyDb_MetaInfo SET value = '%s' WHERE name = 'insCustom%dReadOnly'"
#define INSTANCE_VALID_DATES                                                                                     \
    "UPDATE PolicyDb_Instance SET insUseValidDates = '%s', insValidDateStart = '%020" PRId64                      \
    "', insValidDateEnd = '%020" PRId64 "' WHERE deleted = 'FALSE' AND inheritsExpiration = 'TRUE' AND "          \
    "quenUID = %s AND insPreview = '%s'"
#define INSTANCE_CLEAR_CUSTOM                                                                                    \
    "UPDATE PolicyDb_Instance SET insCustom%d = ''WHERE deleted = 'FALSE';UPDATE PolicyDb_MetaInfo SET value = " \
    "''WHERE name = 'insCustom%dName'"

namespace {

/* The statement table of the module, one row per store kind (SQLite, ODBC):
 * insert, update, delete, select. Both stores use the same texts. */
const char *const kStatements[2][4] = {
    {INSTANCE_INSERT, INSTANCE_UPDATE, INSTANCE_DELETE, INSTANCE_SELECT},
    {INSTANCE_INSERT, INSTANCE_UPDATE, INSTANCE_DELETE, INSTANCE_SELECT},
};

} // namespace

void PolDb_InstanceReadRow(DbResultSet *rs, void *record)
{
    auto *r = static_cast<PolDbInstance *>(record);
    const DbRowOps *ops = rs->ops;
    r->instanceUID = ops->getString(rs, 0);
    r->packageUID = ops->getString(rs, 1);
    r->quenUID = ops->getString(rs, 2);
    r->creatorIdName = ops->getString(rs, 3);
    r->creatorIdData = ops->getString(rs, 4);
    r->creatorAuthType = ops->getInt(rs, 5);
    r->activationDate = ops->getInt64(rs, 6);
    r->lastPolicyCheck = ops->getInt64(rs, 7);
    r->revocationDate = ops->getInt64(rs, 8);
    r->replacementDate = ops->getInt64(rs, 9);
    r->inheritsExpiration = ops->getBool(rs, 10);
    r->useValidDates = ops->getBool(rs, 11);
    r->validDateStart = ops->getInt64(rs, 12);
    r->validDateEnd = ops->getInt64(rs, 13);
    r->password = ops->getString(rs, 14);
    r->hostName = ops->getString(rs, 15);
    r->hostIp = ops->getString(rs, 16);
    r->protectionKey = ops->getString(rs, 17);
    r->copyProtectionId = ops->getString(rs, 18);
    r->preview = ops->getBool(rs, 19);
    r->guestIpAddress = ops->getString(rs, 20);
    r->guestMacAddress = ops->getString(rs, 21);
    r->guestMachineName = ops->getString(rs, 22);
    r->guestConfigStatus = ops->getInt(rs, 23);
    r->guestConfigMsg = ops->getString(rs, 24);
    r->tsCreated = ops->getTimestamp(rs, 25);
    r->tsLastModified = ops->getTimestamp(rs, 26);
    for (int i = 0; i < POLDB_INSTANCE_CUSTOM_FIELDS; i++)
        r->custom[i] = ops->getString(rs, 27 + i);
}

void PolDb_InstanceReleaseRecord(void *record) { PolDb_InstanceRelease(static_cast<PolDbInstance *>(record)); }

void PolDb_InstanceRelease(PolDbInstance *instance)
{
    if (!instance)
        return;
    char **texts[] = {&instance->instanceUID,     &instance->packageUID,       &instance->quenUID,
                      &instance->creatorIdName,   &instance->creatorIdData,    &instance->password,
                      &instance->hostName,        &instance->hostIp,           &instance->protectionKey,
                      &instance->copyProtectionId, &instance->guestIpAddress,  &instance->guestMacAddress,
                      &instance->guestMachineName, &instance->guestConfigMsg};
    for (char **t : texts) {
        free(*t);
        *t = nullptr;
    }
    for (char *&c : instance->custom) {
        free(c);
        c = nullptr;
    }
}

void PolDb_InstanceFree(PolDbInstance *instance)
{
    PolDb_InstanceRelease(instance);
    free(instance);
}

void PolDb_InstanceFreeArray(PolDbInstance *instances, int count)
{
    PolDb_FreeArray(instances, count, sizeof(PolDbInstance), PolDb_InstanceReleaseRecord);
}

bool PolDb_InstanceAdd(DbConnection *conn, const PolDbInstance *r)
{
    int64_t now = PolDb_Now();
    /* An unknown package gives NULL, which the NOT NULL column refuses. */
    const char *quen = r->packageUID ? PolDb_QuenOfPackage(conn, r->packageUID) : nullptr;
    char *sql = PolDbPsprintf(
        conn, PolDb_Statement(kStatements, conn, STMT_INSERT), PolDb_Literal(conn, r->instanceUID),
        PolDb_Literal(conn, r->packageUID), PolDb_Literal(conn, quen), PolDb_Literal(conn, r->creatorIdName),
        PolDb_Literal(conn, r->creatorIdData), r->creatorAuthType, r->activationDate, r->lastPolicyCheck,
        r->revocationDate, r->replacementDate, PolDb_Flag(r->inheritsExpiration), PolDb_Flag(r->useValidDates),
        r->validDateStart, r->validDateEnd, PolDb_Literal(conn, r->password), PolDb_Literal(conn, r->hostName),
        PolDb_Literal(conn, r->hostIp), PolDb_Literal(conn, r->protectionKey), PolDb_Literal(conn, r->copyProtectionId),
        PolDb_Flag(r->preview), PolDb_Literal(conn, r->guestIpAddress), PolDb_Literal(conn, r->guestMacAddress),
        PolDb_Literal(conn, r->guestMachineName), r->guestConfigStatus, PolDb_Literal(conn, r->guestConfigMsg), now,
        now, PolDb_Literal(conn, r->custom[0]), PolDb_Literal(conn, r->custom[1]), PolDb_Literal(conn, r->custom[2]),
        PolDb_Literal(conn, r->custom[3]), PolDb_Literal(conn, r->custom[4]), PolDb_Literal(conn, r->custom[5]),
        PolDb_Literal(conn, r->custom[6]), PolDb_Literal(conn, r->custom[7]), PolDb_Literal(conn, r->custom[8]));
    return PolDb_Exec(conn, sql, "InstanceAdd");
}

bool PolDb_InstanceUpdate(DbConnection *conn, const PolDbInstance *r)
{
    char *sql = PolDbPsprintf(
        conn, PolDb_Statement(kStatements, conn, STMT_UPDATE), PolDb_Literal(conn, r->packageUID),
        PolDb_Literal(conn, r->quenUID), PolDb_Literal(conn, r->creatorIdName), PolDb_Literal(conn, r->creatorIdData),
        r->creatorAuthType, r->activationDate, r->lastPolicyCheck, r->revocationDate, r->replacementDate,
        PolDb_Flag(r->inheritsExpiration), PolDb_Flag(r->useValidDates), r->validDateStart, r->validDateEnd,
        PolDb_Literal(conn, r->password), PolDb_Literal(conn, r->hostName), PolDb_Literal(conn, r->hostIp),
        PolDb_Literal(conn, r->protectionKey), PolDb_Literal(conn, r->copyProtectionId), PolDb_Flag(r->preview),
        PolDb_Literal(conn, r->guestIpAddress), PolDb_Literal(conn, r->guestMacAddress),
        PolDb_Literal(conn, r->guestMachineName), r->guestConfigStatus, PolDb_Literal(conn, r->guestConfigMsg),
        PolDb_Now(), PolDb_Literal(conn, r->custom[0]), PolDb_Literal(conn, r->custom[1]),
        PolDb_Literal(conn, r->custom[2]), PolDb_Literal(conn, r->custom[3]), PolDb_Literal(conn, r->custom[4]),
        PolDb_Literal(conn, r->custom[5]), PolDb_Literal(conn, r->custom[6]), PolDb_Literal(conn, r->custom[7]),
        PolDb_Literal(conn, r->custom[8]), PolDb_Literal(conn, r->instanceUID));
    return PolDb_Exec(conn, sql, "InstanceUpdate");
}

bool PolDb_InstanceDelete(DbConnection *conn, const char *instanceUID)
{
    char *sql = PolDbPsprintf(conn, PolDb_Statement(kStatements, conn, STMT_DELETE), PolDb_Now(),
                              PolDb_Literal(conn, instanceUID));
    return PolDb_Exec(conn, sql, "InstanceDelete");
}

bool PolDb_InstanceEnumerate(DbConnection *conn, const char *filter, PolDbInstance **instances, int *count)
{
    void *array = nullptr;
    int n =
        PolDb_SelectArray(conn, PolDb_WhereNotDeleted(conn, PolDb_Statement(kStatements, conn, STMT_SELECT), filter),
                          PolDb_InstanceReadRow, &array, sizeof(PolDbInstance), "InstanceEnumerate");
    *instances = static_cast<PolDbInstance *>(array);
    *count = n < 0 ? 0 : n;
    return n != -1;
}

bool PolDb_InstanceGetByPK(DbConnection *conn, const char *instanceUID, PolDbInstance **out)
{
    char *filter = PolDbPsprintf(conn, "instanceUID = %s", PolDb_Literal(conn, instanceUID));
    char *sql = PolDb_WhereNotDeleted(conn, PolDb_Statement(kStatements, conn, STMT_SELECT), filter);
    return PolDb_SelectOne(conn, sql, PolDb_InstanceReadRow, PolDb_InstanceReleaseRecord, "InstanceGetByPK", out);
}

bool PolDb_InstanceUidTaken(DbConnection *conn, const char *instanceUID, bool *taken)
{
    return PolDb_KeyTaken(conn, "PolicyDb_Instance", "instanceUID", instanceUID, taken);
}

bool PolDb_InstanceEnumerateNonPreview(DbConnection *conn, const char *quenUID, const char *creatorIdData,
                                       PolDbInstance **instances, int *count)
{
    const char *quen = PolDb_Literal(conn, quenUID ? quenUID : "");
    const char *filter =
        creatorIdData ? PolDbPsprintf(conn, "quenUID = %s AND creatorIdData = %s AND insPreview='FALSE'", quen,
                                      PolDb_Literal(conn, creatorIdData))
                      : PolDbPsprintf(conn, "quenUID = %s AND insPreview='FALSE'", quen);
    return PolDb_InstanceEnumerate(conn, filter, instances, count);
}

bool PolDb_InstanceEnumerateInheriting(DbConnection *conn, const char *quenUID, bool preview,
                                       PolDbInstance **instances, int *count)
{
    const char *filter = PolDbPsprintf(conn, "quenUID = %s AND insPreview='%s' AND inheritsExpiration='TRUE'",
                                       PolDb_Literal(conn, quenUID ? quenUID : ""), PolDb_Flag(preview));
    return PolDb_InstanceEnumerate(conn, filter, instances, count);
}

bool PolDb_InstanceGetCustomFields(DbConnection *conn, const char ***names, bool **readOnly)
{
    *names = nullptr;
    if (readOnly)
        *readOnly = nullptr;
    auto **n = static_cast<const char **>(apr_pcalloc(conn->pool, sizeof(char *) * POLDB_INSTANCE_CUSTOM_FIELDS));
    auto *ro = static_cast<bool *>(apr_pcalloc(conn->pool, sizeof(bool) * POLDB_INSTANCE_CUSTOM_FIELDS));
    if (!n || !ro)
        POLDB_ALLOC_FAILED();
    for (int i = 0; i < POLDB_INSTANCE_CUSTOM_FIELDS; i++) {
        char *value = SelectSingleString(conn, PolDbPsprintf(conn, CUSTOM_NAME_GET, i + 1));
        if (!value)
            return false;
        n[i] = apr_pstrdup(conn->pool, value);
        free(value);
    }
    for (int i = 0; i < POLDB_INSTANCE_CUSTOM_FIELDS; i++) {
        char *value = SelectSingleString(conn, PolDbPsprintf(conn, CUSTOM_READONLY_GET, i + 1));
        if (!value)
            return false;
        ro[i] = PolDb_StrToBool(value);
        free(value);
    }
    *names = n;
    if (readOnly)
        *readOnly = ro;
    return true;
}

bool PolDb_InstanceSetCustomFields(DbConnection *conn, const char *const *names, const bool *readOnly)
{
    if (!names)
        return false;
    for (int i = 0; i < POLDB_INSTANCE_CUSTOM_FIELDS; i++) {
        if (!Db_Exec(conn, PolDbPsprintf(conn, CUSTOM_NAME_SET, PolDb_Literal(conn, names[i]), i + 1)))
            return false;
        if (readOnly && !Db_Exec(conn, PolDbPsprintf(conn, CUSTOM_READONLY_SET, PolDb_Flag(readOnly[i]), i + 1)))
            return false;
    }
    return true;
}

bool PolDb_InstanceUpdateValidDates(DbConnection *conn, const char *quenUID, bool preview, bool useValidDates,
                                    int64_t start, int64_t end)
{
    char *sql = PolDbPsprintf(conn, INSTANCE_VALID_DATES, PolDb_Flag(useValidDates), start, end,
                              PolDb_Literal(conn, quenUID), PolDb_Flag(preview));
    return PolDb_Exec(conn, sql, "InstanceUpdateValidDates");
}

bool PolDb_InstanceClearCustomField(DbConnection *conn, int index)
{
    if (index < 0 || index >= POLDB_INSTANCE_CUSTOM_FIELDS) {
        PolDb_Log("PolDb_InstanceClearCustomField: custom field index %d out of range 0 to 8\n", index);
        return false;
    }
    char *sql = PolDbPsprintf(conn, INSTANCE_CLEAR_CUSTOM, index + 1, index + 1);
    return PolDb_Exec(conn, sql, "InstanceClearCustomField");
}
