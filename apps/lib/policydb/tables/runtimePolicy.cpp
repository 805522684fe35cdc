/* The runtime policy module: policy set versions in PolicyDb_RuntimePolicy,
 * with documents over 2000 characters kept in long fields. */
#include "policydb/runtimePolicy.h"

#include "tables/tableModule.h"

#include "policydb/access.h"
#include "policydb/longField.h"

#include <climits>
#include <cstdlib>
#include <cstring>

/* Kept as macros so that the compiler checks the arguments of each format. */
#define RTP_INSERT                                                                                               \
    "INSERT INTO PolicyDb_RuntimePolicy (quenUID, policyVersion, clientPolicyData, clientPolicyDataExtKey, "      \
    "hostPolicyData, hostPolicyDataExtKey, expirationType, expValue_1, expValue_2, cacheLifetime, rtpInstType, "  \
    "rtpAuthType, rtpUseInstanceLimit, rtpInstanceLimit, rtpUsePerUserInstanceLimit, rtpPerUserInstanceLimit, "   \
    "copyPolicy, published, rtpTsCreated, rtpTsLastModified ) VALUES (%s, %d, %s, %s, %s, %s, %d, '%" PRId64      \
    "', '%" PRId64 "', '%" PRId64 "', %d, %d, '%s', %d, '%s', %d, %d, '%s', '%" PRId64 "', '%" PRId64 "' )"
#define RTP_UPDATE                                                                                               \
    "UPDATE PolicyDb_RuntimePolicy SET clientPolicyData = %s, clientPolicyDataExtKey = %s, hostPolicyData = %s, " \
    "hostPolicyDataExtKey = %s, expirationType = %d, expValue_1 = '%" PRId64 "', expValue_2 = '%" PRId64          \
    "', cacheLifetime = '%" PRId64 "', rtpInstType = %d, rtpAuthType = %d, rtpUseInstanceLimit = '%s', "          \
    "rtpInstanceLimit = %d, rtpUsePerUserInstanceLimit = '%s', rtpPerUserInstanceLimit = %d, copyPolicy = %d, "   \
    "published = '%s', rtpTsLastModified = '%" PRId64 "' WHERE deleted = 'FALSE' AND quenUID = %s AND "           \
    "policyVersion = %d"
#define RTP_SELECT                                                                                               \
    "SELECT quenUID, policyVersion, clientPolicyData, clientPolicyDataExtKey, hostPolicyData, "                   \
    "hostPolicyDataExtKey, expirationType, expValue_1, expValue_2, cacheLifetime, rtpInstType, rtpAuthType, "     \
    "rtpUseInstanceLimit, rtpInstanceLimit, rtpUsePerUserInstanceLimit, rtpPerUserInstanceLimit, copyPolicy, "    \
    "published, rtpTsCreated, rtpTsLastModified FROM PolicyDb_RuntimePolicy"
#define RTP_NEWEST_FILTER                                                                                        \
    "quenUID = %s AND policyVersion = (SELECT MAX(policyVersion) FROM PolicyDb_RuntimePolicy WHERE quenUID = %s)"
#define RTP_KEY_FILTER "quenUID = %s AND policyVersion = %d"

namespace {

/* The statement table of the module, one row per store kind (SQLite, ODBC):
 * insert, update, delete, select. Rows are deleted only by the Quen's
 * cascade, so there is no delete of its own. */
const char *const kStatements[2][4] = {
    {RTP_INSERT, RTP_UPDATE, nullptr, RTP_SELECT},
    {RTP_INSERT, RTP_UPDATE, nullptr, RTP_SELECT},
};

const char *OrEmpty(const char *text) { return text ? text : ""; }

bool HasKey(const char *key) { return key && *key; }

void ReadRow(DbResultSet *rs, void *record)
{
    auto *r = static_cast<PolDbRuntimePolicy *>(record);
    const DbRowOps *ops = rs->ops;
    r->quenUID = ops->getString(rs, 0);
    r->policyVersion = ops->getInt(rs, 1);
    r->clientPolicyData = ops->getString(rs, 2);
    r->clientPolicyDataExtKey = ops->getString(rs, 3);
    r->hostPolicyData = ops->getString(rs, 4);
    r->hostPolicyDataExtKey = ops->getString(rs, 5);
    r->expirationType = ops->getInt(rs, 6);
    r->expValue1 = ops->getInt64(rs, 7);
    r->expValue2 = ops->getInt64(rs, 8);
    r->cacheLifetime = ops->getInt64(rs, 9);
    r->instType = ops->getInt(rs, 10);
    r->authType = ops->getInt(rs, 11);
    r->useInstanceLimit = ops->getBool(rs, 12);
    r->instanceLimit = ops->getInt(rs, 13);
    r->usePerUserInstanceLimit = ops->getBool(rs, 14);
    r->perUserInstanceLimit = ops->getInt(rs, 15);
    r->copyPolicy = ops->getInt(rs, 16);
    r->published = ops->getBool(rs, 17);
    r->tsCreated = ops->getTimestamp(rs, 18);
    r->tsLastModified = ops->getTimestamp(rs, 19);
}

void ReleaseRecord(void *record) { PolDb_RuntimePolicyRelease(static_cast<PolDbRuntimePolicy *>(record)); }

/* Replaces the inline documents by the long fields their ext keys name. */
bool LoadLongData(DbConnection *conn, PolDbRuntimePolicy *r)
{
    char **documents[2][2] = {{&r->clientPolicyData, &r->clientPolicyDataExtKey},
                              {&r->hostPolicyData, &r->hostPolicyDataExtKey}};
    for (auto &d : documents) {
        if (!HasKey(*d[1]))
            continue;
        char *text = PolDb_LongFieldGet(conn, *d[1]);
        if (!text) {
            PolDb_Log("PolicyDb: Cannot get long policy data for rtpolicy quenUid = %s, policyVersion = %d\n",
                      OrEmpty(r->quenUID), r->policyVersion);
            return false;
        }
        free(*d[0]);
        *d[0] = text;
    }
    return true;
}

/* Gives every document of a record that is not stored yet its storage: ''
 * as ext key when it fits its column, else a long field under a new key. */
bool StoreLongData(DbConnection *conn, PolDbRuntimePolicy *r)
{
    char **documents[2][2] = {{&r->clientPolicyData, &r->clientPolicyDataExtKey},
                              {&r->hostPolicyData, &r->hostPolicyDataExtKey}};
    for (auto &d : documents) {
        free(*d[1]);
        *d[1] = nullptr;
        if (strlen(OrEmpty(*d[0])) <= POLDB_RTPOLICY_INLINE_MAX) {
            *d[1] = PolDb_Strdup("");
            continue;
        }
        if (!PolDb_LongFieldAdd(conn, d[1], *d[0], nullptr)) {
            PolDb_Log("PolicyDb: Cannot create long policy data for rtpolicy quenUid = %s, policyVersion = %d\n",
                      OrEmpty(r->quenUID), r->policyVersion);
            return false;
        }
    }
    return true;
}

/* The column literal of a document: '' when it lives in a long field. */
const char *DataLit(DbConnection *conn, const char *data, const char *key)
{
    return HasKey(key) ? "''" : PolDb_Literal(conn, OrEmpty(data));
}

/* Decides the storage of one document of an update. The result key is
 * newly allocated ("" for an inline document). */
bool UpdateDocument(DbConnection *conn, const char *storedData, const char *storedKey, const char *text,
                    char **key)
{
    *key = PolDb_Strdup(storedKey);
    if (strcmp(OrEmpty(storedData), text) == 0)
        return true;
    if (!PolDb_LongFieldRemove(conn, storedKey))
        return false;
    if (strlen(text) > POLDB_RTPOLICY_INLINE_MAX)
        return PolDb_LongFieldAdd(conn, key, text, nullptr);
    (*key)[0] = '\0';
    return true;
}

} // namespace

void PolDb_RuntimePolicyRelease(PolDbRuntimePolicy *policy)
{
    if (!policy)
        return;
    char **texts[] = {&policy->quenUID, &policy->clientPolicyData, &policy->clientPolicyDataExtKey,
                      &policy->hostPolicyData, &policy->hostPolicyDataExtKey};
    for (char **t : texts) {
        free(*t);
        *t = nullptr;
    }
}

void PolDb_RuntimePolicyFree(PolDbRuntimePolicy *policy)
{
    PolDb_RuntimePolicyRelease(policy);
    free(policy);
}

void PolDb_RuntimePolicyFreeArray(PolDbRuntimePolicy *policies, int count)
{
    PolDb_FreeArray(policies, count, sizeof(PolDbRuntimePolicy), ReleaseRecord);
}

PolDbRuntimePolicy *PolDb_RuntimePolicyGetNextVersion(DbConnection *conn, const char *quenUID)
{
    const char *quen = PolDb_Literal(conn, quenUID);
    char *filter = PolDbPsprintf(conn, RTP_NEWEST_FILTER, quen, quen);
    char *sql = PolDb_WhereNotDeleted(conn, PolDb_Statement(kStatements, conn, STMT_SELECT), filter);
    /* Read as an array so that a failed read is not mistaken for a Quen
     * without versions (which would restart the numbering at 1). */
    void *array = nullptr;
    int count = PolDb_SelectArray(conn, sql, ReadRow, &array, sizeof(PolDbRuntimePolicy),
                                  "PolDbRuntimePolicy::GetNextVersion");
    if (count < 0)
        return nullptr;
    auto *r = static_cast<PolDbRuntimePolicy *>(array);
    if (count > 1) {
        PolDb_Log("PolDb_%s: Got %d objects expecting unique while executing SQL statement:\n%s\n",
                  "PolDbRuntimePolicy::GetNextVersion", count, sql);
        PolDb_RuntimePolicyFreeArray(r, count);
        return nullptr;
    }
    if (count == 1) {
        if (r->policyVersion == INT_MAX) {
            PolDb_Log("PolicyDb: No version after %d for rtpolicy quenUid = %s\n", r->policyVersion,
                      OrEmpty(r->quenUID));
            PolDb_RuntimePolicyFree(r);
            return nullptr;
        }
        r->policyVersion++;
        if (!LoadLongData(conn, r)) {
            PolDb_RuntimePolicyFree(r);
            return nullptr;
        }
        /* The keys name the long fields of the version copied from. */
        free(r->clientPolicyDataExtKey);
        free(r->hostPolicyDataExtKey);
        r->clientPolicyDataExtKey = nullptr;
        r->hostPolicyDataExtKey = nullptr;
    } else {
        r = static_cast<PolDbRuntimePolicy *>(PolDb_Malloc(sizeof(PolDbRuntimePolicy)));
        *r = PolDbRuntimePolicy{};
        r->quenUID = PolDb_Strdup(quenUID);
        r->policyVersion = 1;
        r->clientPolicyData = PolDb_Strdup("");
        r->hostPolicyData = PolDb_Strdup("");
    }
    r->published = false;
    r->tsCreated = PolDb_Now();
    r->tsLastModified = r->tsCreated;
    return r;
}

PolDbRuntimePolicy *PolDb_RuntimePolicyCreate(DbConnection *conn, const char *quenUID)
{
    PolDbRuntimePolicy *r = PolDb_RuntimePolicyGetNextVersion(conn, quenUID);
    if (!r)
        return nullptr;
    int v = r->policyVersion;
    bool ok = StoreLongData(conn, r);
    if (ok) {
        char *sql = PolDbPsprintf(
            conn, PolDb_Statement(kStatements, conn, STMT_INSERT), PolDb_Literal(conn, r->quenUID), v,
            DataLit(conn, r->clientPolicyData, r->clientPolicyDataExtKey),
            PolDb_Literal(conn, r->clientPolicyDataExtKey), DataLit(conn, r->hostPolicyData, r->hostPolicyDataExtKey),
            PolDb_Literal(conn, r->hostPolicyDataExtKey), r->expirationType, r->expValue1, r->expValue2,
            r->cacheLifetime, r->instType, r->authType, PolDb_Flag(r->useInstanceLimit), r->instanceLimit,
            PolDb_Flag(r->usePerUserInstanceLimit), r->perUserInstanceLimit, r->copyPolicy, PolDb_Flag(r->published),
            r->tsCreated, r->tsLastModified);
        ok = PolDb_Exec(conn, sql, "PolDb_RuntimePolicyCreate");
    }
    if (ok && v >= 2)
        ok = PolDb_AccessCopyVersion(conn, r->quenUID, v - 1, v);
    if (!ok) {
        PolDb_RuntimePolicyFree(r);
        return nullptr;
    }
    return r;
}

bool PolDb_RuntimePolicyGetByPK(DbConnection *conn, const char *quenUID, int version, bool withLongData,
                                PolDbRuntimePolicy **out)
{
    *out = nullptr;
    char *filter = PolDbPsprintf(conn, RTP_KEY_FILTER, PolDb_Literal(conn, quenUID), version);
    PolDbRuntimePolicy *r = nullptr;
    if (!PolDb_SelectOne(conn,
                         PolDb_WhereNotDeleted(conn, PolDb_Statement(kStatements, conn, STMT_SELECT), filter),
                         ReadRow, ReleaseRecord, "PolDb_RuntimePolicyGetByPK", &r))
        return false;
    if (r && withLongData && !LoadLongData(conn, r)) {
        PolDb_RuntimePolicyFree(r);
        *out = nullptr;
        return false;
    }
    *out = r;
    return true;
}

bool PolDb_RuntimePolicyUpdate(DbConnection *conn, const PolDbRuntimePolicy *p)
{
    PolDbRuntimePolicy *stored = nullptr;
    if (!PolDb_RuntimePolicyGetByPK(conn, p->quenUID, p->policyVersion, true, &stored) || !stored) {
        PolDb_Log("PolicyDb: No such policy quenUid = %s, policyVersion = %d\n", OrEmpty(p->quenUID),
                  p->policyVersion);
        return false;
    }
    const char *client = OrEmpty(p->clientPolicyData);
    const char *host = OrEmpty(p->hostPolicyData);
    char *clientKey = nullptr, *hostKey = nullptr;
    bool ok = UpdateDocument(conn, stored->clientPolicyData, stored->clientPolicyDataExtKey, client, &clientKey) &&
              UpdateDocument(conn, stored->hostPolicyData, stored->hostPolicyDataExtKey, host, &hostKey);
    if (ok) {
        char *sql =
            PolDbPsprintf(conn, PolDb_Statement(kStatements, conn, STMT_UPDATE), DataLit(conn, client, clientKey),
                          PolDb_Literal(conn, clientKey), DataLit(conn, host, hostKey), PolDb_Literal(conn, hostKey),
                          p->expirationType, p->expValue1, p->expValue2, p->cacheLifetime, p->instType, p->authType,
                          PolDb_Flag(p->useInstanceLimit), p->instanceLimit, PolDb_Flag(p->usePerUserInstanceLimit),
                          p->perUserInstanceLimit, p->copyPolicy, PolDb_Flag(p->published), PolDb_Now(),
                          PolDb_Literal(conn, p->quenUID), p->policyVersion);
        ok = PolDb_Exec(conn, sql, "PolDb_RuntimePolicyUpdate");
    }
    free(clientKey);
    free(hostKey);
    PolDb_RuntimePolicyFree(stored);
    return ok;
}

bool PolDb_RuntimePolicyEnumerate(DbConnection *conn, const char *filter, PolDbRuntimePolicy **policies,
                                  int *count)
{
    void *array = nullptr;
    int n =
        PolDb_SelectArray(conn, PolDb_WhereNotDeleted(conn, PolDb_Statement(kStatements, conn, STMT_SELECT), filter),
                          ReadRow, &array, sizeof(PolDbRuntimePolicy), "RuntimePolicyEnumerate");
    *policies = static_cast<PolDbRuntimePolicy *>(array);
    *count = n < 0 ? 0 : n;
    return n != -1;
}
