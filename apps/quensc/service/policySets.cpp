/* Policy sets: creation of a Quen's next version, publishing, the bulk
 * update of inherited instance windows, and the five policy methods. */
#include "service/policySets.h"

#include "frame/managerAuth.h"
#include "service/instanceState.h"
#include "frame/lookupCache.h"
#include "service/serviceMethods.h"
#include "frame/log.h"

#include "policydb/instance.h"
#include "policydb/runtimePolicy.h"

#include <apr_strings.h>

#include <climits>

#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

const char *OrEmpty(const char *text) { return text ? text : ""; }

const char *Decimal(i_ctx *ctx, int value) { return apr_itoa(ctx->pool, value); }

/* Values the server acts on must be ones it knows: a set that names an
 * unknown type would only turn every later instance operation into an
 * internal error. */
bool PolicyValuesKnown(const QuenScPolicyRecord *p)
{
    return p->instType >= QUENSC_INST_ANYBODY && p->instType <= QUENSC_INST_TOKEN &&
           p->authType >= QUENSC_AUTH_NONE && p->authType <= QUENSC_AUTH_LAST &&
           p->expType >= QUENSC_EXP_NEVER && p->expType <= QUENSC_EXP_WINDOW &&
           p->copyPolicy >= QUENSC_COPY_NOT_ALLOWED && p->copyPolicy <= QUENSC_COPY_ALLOWED;
}

} // namespace

/* ---- internal operations ------------------------------------------------------ */

int QuenScPolicySetCreate(i_ctx *ctx, const char *quenUID, int *version)
{
    *version = 0;
    if (!QuenScLookupQuen(ctx, quenUID)) {
        QuenScLogError("Failed to find quen (%s) while creating a policy set", OrEmpty(quenUID));
        return QUENSC_QUEN_DOES_NOT_EXIST;
    }
    PolDbRuntimePolicy *created = PolDb_RuntimePolicyCreate(ctx->conn, quenUID);
    if (!created) {
        QuenScLogError("Error creating policy set in db: %s", Db_GetLastErrorText(ctx->conn));
        return QUENSC_INTERNAL;
    }
    *version = created->policyVersion;
    PolDb_RuntimePolicyFree(created);
    return QUENSC_OK;
}

bool QuenScExpirationSettingsDiffer(const QuenScPolicyRecord *a, const QuenScPolicyRecord *b)
{
    if (a->expType != b->expType)
        return true;
    if (a->expType == QUENSC_EXP_DAYS)
        return a->expValue1 != b->expValue1;
    if (a->expType == QUENSC_EXP_WINDOW)
        return a->expValue1 != b->expValue1 || a->expValue2 != b->expValue2;
    return false;
}

int QuenScPolicyBulkExpirationUpdate(i_ctx *ctx, const char *quenUID, const QuenScPolicyRecord *policy,
                                     bool preview)
{
    DbConnection *conn = ctx->conn;
    if (policy->expType != QUENSC_EXP_DAYS) {
        bool use = false;
        int64_t start = 0, end = 0;
        QuenScExpirationFromPolicy(policy->expType, policy->expValue1, policy->expValue2, 0, &use, &start, &end);
        if (!PolDb_InstanceUpdateValidDates(conn, quenUID, preview, use, start, end)) {
            QuenScLogError("Error bulk updating instance expiration for quen: %s (%s)", OrEmpty(quenUID),
                           Db_GetLastErrorText(conn));
            return QUENSC_INTERNAL;
        }
        return QUENSC_OK;
    }

    /* Each instance's window depends on its own activation date. */
    PolDbInstance *instances = nullptr;
    int count = 0;
    if (!PolDb_InstanceEnumerateInheriting(conn, OrEmpty(quenUID), preview, &instances, &count)) {
        /* The failed read has rolled back the request's work: going on
         * would report a change that was never kept. */
        QuenScLogError("Error enumerating instances in db: %s (%s)", Db_GetLastErrorText(conn), OrEmpty(quenUID));
        return QUENSC_INTERNAL;
    }
    int rc = QUENSC_OK;
    for (int i = 0; i < count && rc == QUENSC_OK; i++) {
        PolDbInstance *instance = &instances[i];
        bool use = false;
        int64_t start = 0, end = 0;
        if (QuenScComputeExpiration(ctx, instance, &use, &start, &end) != QUENSC_OK) {
            QuenScLogError("Failed to calculate expiration date for instance: '%s'", OrEmpty(instance->instanceUID));
            continue;
        }
        instance->useValidDates = use;
        instance->validDateStart = start;
        instance->validDateEnd = end;
        if (!PolDb_InstanceUpdate(conn, instance)) {
            QuenScLogError("Failed to update instance: %s", OrEmpty(instance->instanceUID));
            rc = QUENSC_INTERNAL;
        }
    }
    PolDb_InstanceFreeArray(instances, count);
    return rc;
}

int QuenScPolicyPublish(i_ctx *ctx, const char *quenUID, int *publishedVersion)
{
    if (publishedVersion)
        *publishedVersion = 0;
    const PolDbQuen *quen = QuenScLookupQuen(ctx, quenUID);
    if (!quen) {
        QuenScLogError("Failed to find quen (%s)", OrEmpty(quenUID));
        return QUENSC_QUEN_DOES_NOT_EXIST;
    }

    /* The current set, to tell afterwards whether instances need new
     * windows. A Quen being created has none yet. */
    QuenScPolicyRecord previous{};
    bool havePrevious =
        QuenScGetPolicyInfo(ctx, quenUID, quen->activePolicySetVersion, false, nullptr, nullptr, &previous, nullptr);
    if (!havePrevious && Db_GetLastError(ctx->conn) != 0) {
        /* Not a missing row but a failed read, which has rolled back
         * everything this request did so far. */
        QuenScLogError("Error reading current policy set for quen: %s (%s)", quenUID,
                       Db_GetLastErrorText(ctx->conn));
        return QUENSC_INTERNAL;
    }

    int working = 0;
    int rc = QuenScGetPolicyVersion(ctx, quenUID, true, true, &working);
    if (publishedVersion)
        *publishedVersion = working;
    if (rc != QUENSC_OK) {
        QuenScLogError("Failed to find working policy version for quen: %s", quenUID);
        return rc;
    }
    const PolDbRuntimePolicy *set = QuenScLookupPolicy(ctx, quenUID, working, true);
    if (!set) {
        QuenScLogError("Failed to find policy set (%s - %d)", quenUID, working);
        return QUENSC_INTERNAL;
    }
    if (set->published) {
        QuenScLogError("QuenScPolicyPublish: Policy set has been published (%s - %d)", quenUID, working);
        return QUENSC_INTERNAL;
    }

    PolDbRuntimePolicy publish = *set; /* shallow: only read by the update */
    publish.published = true;
    if (!PolDb_RuntimePolicyUpdate(ctx->conn, &publish)) {
        QuenScLogError("Error updating a policyset on the db: %s", Db_GetLastErrorText(ctx->conn));
        return QUENSC_INTERNAL;
    }
    QuenScPolicyRecord published{};
    QuenScPolicyToRecord(set, &published);

    PolDbQuen activated = *quen; /* shallow: only read by the update */
    activated.activePolicySetVersion = working;
    if (!PolDb_QuenUpdate(ctx->conn, &activated)) {
        QuenScLogError("Error updating policy version in quen record: %s", Db_GetLastErrorText(ctx->conn));
        return QUENSC_INTERNAL;
    }
    /* quen and set are gone after this. */
    if (QuenScLutReset(ctx) != QUENSC_OK)
        return QUENSC_INTERNAL;

    int next = 0;
    rc = QuenScPolicySetCreate(ctx, quenUID, &next);
    if (rc != QUENSC_OK) {
        QuenScLogError("Error while creating new working policy set for quen: %s", quenUID);
        return rc;
    }

    if (!havePrevious || QuenScExpirationSettingsDiffer(&previous, &published)) {
        rc = QuenScPolicyBulkExpirationUpdate(ctx, quenUID, &published, false);
        if (rc != QUENSC_OK) {
            QuenScLogError("Error doing bulk update of instance expiration date");
            return rc;
        }
    }
    return QUENSC_OK;
}

/* ---- PolicyStore -------------------------------------------------------------- */

int QuenScPolicyStoreRead(QuenScCall *call)
{
    apr_pool_t *pool = call->ctx->pool;
    auto *a = QuenScArgs<QuenScPolicyStoreArgs>(call);
    QuenScReadQuenUidAt(call, 1, &a->quenUID);
    QuenScReadString(call->env, call->params, 2, pool, &a->clientData);
    QuenScReadString(call->env, call->params, 3, pool, &a->hostData);
    QuenScReadPolicy(call->env, call->params, 4, &a->policy);
    return QuenScReadStatus(call);
}

int QuenScPolicyStoreWork(QuenScCall *call)
{
    i_ctx *ctx = call->ctx;
    auto *a = QuenScArgs<QuenScPolicyStoreArgs>(call);
    if (!PolicyValuesKnown(&a->policy)) {
        QuenScLogError("Invalid policy set for quen (%s): instType %d, authType %d, expType %d, copyPolicy %d",
                       a->quenUID, a->policy.instType, a->policy.authType, a->policy.expType, a->policy.copyPolicy);
        return QUENSC_INVALID_PARAMETER;
    }

    int version = 0;
    int rc = QuenScGetPolicyVersion(ctx, a->quenUID, true, false, &version);
    ctx->event->policyVersion = version;
    QuenScEventParam(call, 0, Decimal(ctx, version));
    if (rc != QUENSC_OK) {
        QuenScLogError("Failed to find working policy set for quen: %s", a->quenUID);
        return rc;
    }
    const PolDbRuntimePolicy *stored = QuenScLookupPolicy(ctx, a->quenUID, version, false);
    if (!stored) {
        QuenScLogError("Failed to find policy set for quen (%s - %d)", a->quenUID, version);
        return QUENSC_INTERNAL;
    }
    if (stored->published) {
        QuenScLogError("Cannot modify modify a published policy set (%s - %d)", a->quenUID, version);
        return QUENSC_INTERNAL;
    }
    QuenScPolicyRecord before{};
    QuenScPolicyToRecord(stored, &before);

    const QuenScPolicyRecord &p = a->policy;
    int64_t lifetime = p.sessionLifetime;
    int64_t floor = ctx->server->configuration->global.session_ttl;
    if (lifetime != -1 && lifetime < floor)
        lifetime = floor;

    PolDbRuntimePolicy update{};
    update.quenUID = const_cast<char *>(a->quenUID);
    update.policyVersion = version;
    update.clientPolicyData = const_cast<char *>(a->clientData);
    update.hostPolicyData = const_cast<char *>(a->hostData);
    update.expirationType = p.expType;
    update.expValue1 = p.expValue1;
    update.expValue2 = p.expValue2;
    update.cacheLifetime = lifetime;
    update.instType = p.instType;
    update.authType = p.authType;
    update.useInstanceLimit = p.useInstanceLimit != 0;
    update.instanceLimit = p.instanceLimit;
    update.usePerUserInstanceLimit = p.usePerUserInstanceLimit != 0;
    update.perUserInstanceLimit = p.perUserInstanceLimit;
    update.copyPolicy = p.copyPolicy;
    update.published = false;
    if (!PolDb_RuntimePolicyUpdate(ctx->conn, &update)) {
        QuenScLogError("Error updating a policyset on the db: %s", Db_GetLastErrorText(ctx->conn));
        return QUENSC_INTERNAL;
    }
    if (QuenScLutReset(ctx) != QUENSC_OK)
        return QUENSC_INTERNAL;

    QuenScPolicyRecord after = p;
    after.sessionLifetime = lifetime;
    if (QuenScExpirationSettingsDiffer(&before, &after)) {
        rc = QuenScPolicyBulkExpirationUpdate(ctx, a->quenUID, &after, true);
        if (rc != QUENSC_OK) {
            QuenScLogError("Error doing bulk update of instance expiration date");
            return rc;
        }
    }
    return QUENSC_OK;
}

/* ---- PolicyPublish ------------------------------------------------------------- */

int QuenScPolicyPublishWork(QuenScCall *call)
{
    i_ctx *ctx = call->ctx;
    const char *quenUID = QuenScArgs<QuenScQuenUidArgs>(call)->quenUID;
    int version = 0;
    int rc = QuenScPolicyPublish(ctx, quenUID, &version);
    ctx->event->policyVersion = version;
    QuenScEventParam(call, 0, Decimal(ctx, version));
    return rc;
}

/* ---- PolicyAdminRetrieve --------------------------------------------------------- */

namespace {

void AppendPolicySet(QuenScCall *call, const char *client, const char *host, const QuenScPolicyRecord *policy)
{
    QuenScAppendString(call->values, client);
    QuenScAppendString(call->values, host);
    QuenScAppendPolicy(call->values, policy);
}

} // namespace

int QuenScPolicyAdminRetrieveRead(QuenScCall *call)
{
    auto *a = QuenScArgs<QuenScPolicyAdminRetrieveArgs>(call);
    QuenScReadQuenUidAt(call, 1, &a->quenUID);
    QuenScReadInt(call->env, call->params, 2, &a->working);
    return QuenScReadStatus(call);
}

int QuenScPolicyAdminRetrieveWork(QuenScCall *call)
{
    i_ctx *ctx = call->ctx;
    auto *a = QuenScArgs<QuenScPolicyAdminRetrieveArgs>(call);
    if (!QuenScLookupQuen(ctx, a->quenUID)) {
        QuenScLogError("Quen '%s' not found, while querying for instances (admin)", a->quenUID);
        return QUENSC_QUEN_DOES_NOT_EXIST;
    }
    const char *client = nullptr, *host = nullptr;
    QuenScPolicyRecord policy{};
    if (QuenScGetPolicySet(ctx, a->quenUID, a->working != 0, &client, &host, &policy, nullptr) != QUENSC_OK) {
        QuenScLogError("Failed to find policy set for quen (%s)", a->quenUID);
        return QUENSC_INTERNAL;
    }
    AppendPolicySet(call, client, host, &policy);
    return QUENSC_OK;
}

/* ---- PolicyRetrieveHostOnly -------------------------------------------------------- */

int QuenScPolicyRetrieveHostOnlyWork(QuenScCall *call)
{
    i_ctx *ctx = call->ctx;
    const char *quenUID = QuenScArgs<QuenScQuenUidArgs>(call)->quenUID;
    const char *host = nullptr;
    int rc = QuenScGetPolicySet(ctx, quenUID, false, nullptr, &host, nullptr, nullptr);
    if (rc != QUENSC_OK) {
        QuenScLogError("Failed to find policy set for quen (%s)", quenUID);
        return rc;
    }
    QuenScAppendString(call->values, host);
    return QUENSC_OK;
}

/* ---- PolicyRetrieve ------------------------------------------------------------------ */

namespace {

struct InstanceHolder {
    PolDbInstance *instance = nullptr;
    ~InstanceHolder() { PolDb_InstanceFree(instance); }
};

} // namespace

int QuenScPolicyRetrieveRead(QuenScCall *call)
{
    i_ctx *ctx = call->ctx;
    auto *a = QuenScArgs<QuenScPolicyRetrieveArgs>(call);
    QuenScReadPackageUidAt(call, 1, &a->packageUID);
    /* An empty instance UID names no instance. */
    QuenScReadString(call->env, call->params, 2, ctx->pool, &a->instanceUID);
    if (QuenScReadStatus(call) == QUENSC_OK && !QuenScIsEmpty(a->instanceUID))
        ctx->event->instanceUID = apr_pstrdup(ctx->pool, a->instanceUID);
    QuenScReadInt(call->env, call->params, 3, &a->noCheckIn);
    return QuenScReadStatus(call);
}

int QuenScPolicyRetrieveWork(QuenScCall *call)
{
    i_ctx *ctx = call->ctx;
    auto *a = QuenScArgs<QuenScPolicyRetrieveArgs>(call);
    QuenScPackageRecord package{};
    if (!QuenScGetPackageInfo(ctx, a->packageUID, &package)) {
        QuenScLogError("Package '%s' not found, while querying for instances", a->packageUID);
        return QUENSC_PACKAGE_DOES_NOT_EXIST;
    }
    ctx->event->quenUID = const_cast<char *>(package.quenUuid);

    InstanceHolder held;
    if (!QuenScIsEmpty(a->instanceUID)) {
        if (!PolDb_InstanceGetByPK(ctx->conn, a->instanceUID, &held.instance)) {
            QuenScLogError("Error reading instance (%s) from db: %s", a->instanceUID, Db_GetLastErrorText(ctx->conn));
            return QUENSC_INTERNAL;
        }
        if (!held.instance) {
            QuenScLogError("Failed to find instance (%s) while retrieving policy set", a->instanceUID);
            return QUENSC_INSTANCE_DOES_NOT_EXIST;
        }
        ctx->event->quenUID = apr_pstrdup(ctx->pool, held.instance->quenUID);
        /* A check-in rewrites the instance (and may clear its password):
         * only an instance of this very package may be touched this way. */
        if (strcmp(OrEmpty(held.instance->packageUID), a->packageUID) != 0) {
            QuenScLogError("Instance (%s) does not belong to package (%s) while retrieving policy set",
                           a->instanceUID, a->packageUID);
            return QUENSC_INVALID_PARAMETER;
        }
    }

    const char *client = nullptr, *host = nullptr;
    QuenScPolicyRecord policy{};
    if (QuenScGetPolicySet(ctx, package.quenUuid, package.preview != 0, &client, &host, &policy, nullptr) !=
        QUENSC_OK) {
        QuenScLogError("Failed to find policy set for quen (%s)", package.quenUuid);
        return QUENSC_INTERNAL;
    }

    if (held.instance && a->noCheckIn == 0) {
        PolDbInstance *instance = held.instance;
        instance->lastPolicyCheck = time(nullptr);
        char *ownPassword = instance->password;
        if (policy.authType == QUENSC_AUTH_NONE)
            instance->password = QuenScPasswordHash(ctx->pool, instance->instanceUID, "");
        if (!instance->password)
            instance->password = ownPassword; /* the hash failed (logged): keep the stored one */
        if (!PolDb_InstanceUpdate(ctx->conn, instance))
            QuenScLogError("Error updating an instance on the db: %s", Db_GetLastErrorText(ctx->conn));
        instance->password = ownPassword; /* the record frees its own text */
    }

    AppendPolicySet(call, client, host, &policy);
    return QUENSC_OK;
}

/* ---- version resolution --------------------------------------------------------------------- */

int QuenScGetPolicyVersion(i_ctx *ctx, const char *quenUID, bool working, bool withLongData, int *version)
{
    *version = 0;
    const PolDbQuen *quen = QuenScLookupQuen(ctx, quenUID);
    if (!quen) {
        QuenScLogError("Failed to find quen: %s", quenUID ? quenUID : "");
        return QUENSC_QUEN_DOES_NOT_EXIST;
    }
    /* The working set is the next version; there is none after the last
     * one an int holds (the sum would overflow). */
    if (working && quen->activePolicySetVersion == INT_MAX) {
        QuenScLogError("Quen %s has no policy version after %d", quenUID, quen->activePolicySetVersion);
        return QUENSC_INTERNAL;
    }
    int wanted = quen->activePolicySetVersion + (working ? 1 : 0);
    *version = wanted;
    if (QuenScLookupPolicy(ctx, quenUID, wanted, withLongData))
        return QUENSC_OK;
    if (wanted == 0)
        return QUENSC_OK;
    QuenScLogError("Failed to retrieve policy set for quen: %s (%d)", quenUID, wanted);
    QuenScLogError("Could not find policy version %d", wanted);

    /* Creating is a repair for a missing row only. When the row is there but
     * its long data cannot be read, or when the Quen's next version is not
     * the one wanted, a new row would only break the numbering of the
     * Quen's sets (and be committed with the request), so nothing is
     * created. */
    if (withLongData && QuenScLookupPolicy(ctx, quenUID, wanted, false)) {
        QuenScLogError("Policy set %s (%d) exists but its policy data cannot be read", quenUID, wanted);
        return QUENSC_INTERNAL;
    }
    /* A read-only request repairs in a write transaction of its own, and
     * first looks again there: another request may have repaired it. */
    bool switched = false;
    if (QuenScBeginWrites(ctx, &switched) != QUENSC_OK)
        return QUENSC_INTERNAL;
    if (switched && QuenScLookupPolicy(ctx, quenUID, wanted, withLongData))
        return QUENSC_OK;
    PolDbRuntimePolicy *next = PolDb_RuntimePolicyGetNextVersion(ctx->conn, quenUID);
    if (!next) {
        QuenScLogError("Error creating policy set in db: %s", Db_GetLastErrorText(ctx->conn));
        return QUENSC_INTERNAL;
    }
    int nextVersion = next->policyVersion;
    PolDb_RuntimePolicyFree(next);
    if (nextVersion != wanted) {
        QuenScLogError("Unexpected version number returned by creation: %d", nextVersion);
        return QUENSC_INTERNAL;
    }

    int created = 0;
    int rc = QuenScPolicySetCreate(ctx, quenUID, &created);
    if (rc != QUENSC_OK)
        return rc;
    if (created != wanted) {
        QuenScLogError("Unexpected version number returned by creation: %d", created);
        return QUENSC_INTERNAL;
    }
    QuenScLogInfo("Created missing policy version %d", created);
    return QUENSC_OK;
}

int QuenScGetPolicySet(i_ctx *ctx, const char *quenUID, bool working, const char **clientData,
                       const char **hostData, QuenScPolicyRecord *policy, bool *published)
{
    bool withLongData = clientData || hostData;
    int version = 0;
    int rc = QuenScGetPolicyVersion(ctx, quenUID, working, withLongData, &version);
    ctx->event->policyVersion = version;
    if (rc != QUENSC_OK) {
        if (version != 0)
            QuenScLogError("Error getting policy set version for quen: %s", quenUID ? quenUID : "");
        return rc;
    }
    bool isPublished = false;
    if (!QuenScGetPolicyInfo(ctx, quenUID, version, withLongData, clientData, hostData, policy, &isPublished)) {
        if (version != 0)
            QuenScLogError("Policy set does not exist for quen: (%d - %s)", version, quenUID ? quenUID : "");
        return QUENSC_INTERNAL;
    }
    if (isPublished == working) {
        QuenScLogError("Found error in quen policy: policy set: %d - %s has incorrect published flag %d", version,
                       quenUID, isPublished ? 1 : 0);
        return QUENSC_INTERNAL;
    }
    if (published)
        *published = isPublished;
    return QUENSC_OK;
}
