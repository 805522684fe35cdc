/* The per-request lookup tables of Quens, packages and policy sets. */
#include "frame/lookupCache.h"

#include "frame/log.h"

#include <apr_strings.h>

#include <cstdlib>

namespace {

void FreeQuen(void *value)
{
    auto *quen = static_cast<PolDbQuen *>(value);
    PolDb_QuenRelease(quen);
    free(quen);
}

void FreePackage(void *value)
{
    auto *package = static_cast<PolDbPackage *>(value);
    PolDb_PackageRelease(package);
    free(package);
}

void FreePolicy(void *value) { PolDb_RuntimePolicyFree(static_cast<PolDbRuntimePolicy *>(value)); }

/* A record the table refused stays the request's until the pool goes, so
 * that what a lookup hands out is still valid until the request ends. */
template <void (*Free)(void *)>
apr_status_t FreeOnPoolCleanup(void *value)
{
    Free(value);
    return APR_SUCCESS;
}

template <void (*Free)(void *)>
void Keep(i_ctx *ctx, HashTable *table, const void *key, void *record, const char *failure)
{
    if (table && Hash_Insert(table, key, record))
        return;
    QuenScLogError("%s", failure);
    apr_pool_cleanup_register(ctx->pool, record, FreeOnPoolCleanup<Free>, apr_pool_cleanup_null);
}

const char *Copy(i_ctx *ctx, const char *text) { return apr_pstrdup(ctx->pool, text ? text : ""); }

} // namespace

int QuenScLutInitialize(i_ctx *ctx)
{
    /* Hash_Alloc aborts rather than return null today; the checks keep the
     * contract should it ever report failure instead. */
    ctx->quenLut = Hash_Alloc(32, HASH_KEY_STRING, FreeQuen);
    if (!ctx->quenLut) {
        QuenScLogError("QuenScLutInitialize() failed to allocate quen LUT");
        QuenScLutDestroy(ctx);
        return QUENSC_INTERNAL;
    }
    ctx->packageLut = Hash_Alloc(128, HASH_KEY_STRING, FreePackage);
    if (!ctx->packageLut) {
        QuenScLogError("QuenScLutInitialize() failed to allocate package LUT");
        QuenScLutDestroy(ctx);
        return QUENSC_INTERNAL;
    }
    ctx->policyLut = Hash_Alloc(32, HASH_KEY_STRING, FreePolicy);
    if (!ctx->policyLut) {
        QuenScLogError("QuenScLutInitialize() failed to allocate policy LUT");
        QuenScLutDestroy(ctx);
        return QUENSC_INTERNAL;
    }
    return QUENSC_OK;
}

void QuenScLutDestroy(i_ctx *ctx)
{
    HashTable **tables[] = {&ctx->quenLut, &ctx->packageLut, &ctx->policyLut};
    for (HashTable **t : tables) {
        if (*t)
            Hash_Free(*t);
        *t = nullptr;
    }
}

int QuenScLutReset(i_ctx *ctx)
{
    QuenScLutDestroy(ctx);
    return QuenScLutInitialize(ctx);
}

const PolDbQuen *QuenScLookupQuen(i_ctx *ctx, const char *quenUID)
{
    if (!quenUID)
        return nullptr;
    if (ctx->quenLut)
        if (auto *hit = static_cast<PolDbQuen *>(Hash_Lookup(ctx->quenLut, quenUID)))
            return hit;
    PolDbQuen *quen = nullptr;
    PolDb_QuenGetByPK(ctx->conn, quenUID, &quen);
    if (!quen)
        return nullptr;
    Keep<FreeQuen>(ctx, ctx->quenLut, quen->quenUID, quen, "QuenScLookupQuen() failed to insert quen into LUT");
    return quen;
}

const PolDbPackage *QuenScLookupPackage(i_ctx *ctx, const char *packageUID)
{
    if (!packageUID)
        return nullptr;
    if (ctx->packageLut)
        if (auto *hit = static_cast<PolDbPackage *>(Hash_Lookup(ctx->packageLut, packageUID)))
            return hit;
    PolDbPackage *package = nullptr;
    PolDb_PackageGetByPK(ctx->conn, packageUID, &package);
    if (!package)
        return nullptr;
    Keep<FreePackage>(ctx, ctx->packageLut, package->packageUID, package,
                      "QuenScLookupPackage() failed to insert package into LUT");
    return package;
}

const PolDbRuntimePolicy *QuenScLookupPolicy(i_ctx *ctx, const char *quenUID, int version, bool withLongData)
{
    if (!quenUID)
        return nullptr;
    const char *versionText = apr_itoa(ctx->pool, version);
    if (!versionText) {
        QuenScLogError("QuenScLookupPolicy() failed to allocate memory for version str");
        return nullptr;
    }
    /* The key lives in the request pool, which outlasts every table. */
    const char *key = apr_pstrcat(ctx->pool, quenUID, " - ", versionText, "-", withLongData ? "1" : "0", nullptr);
    if (!key) {
        QuenScLogError("QuenScLookupPolicy() failed to allocate memory for key");
        return nullptr;
    }
    if (ctx->policyLut)
        if (auto *hit = static_cast<PolDbRuntimePolicy *>(Hash_Lookup(ctx->policyLut, key)))
            return hit;
    PolDbRuntimePolicy *policy = nullptr;
    PolDb_RuntimePolicyGetByPK(ctx->conn, quenUID, version, withLongData, &policy);
    if (!policy)
        return nullptr;
    Keep<FreePolicy>(ctx, ctx->policyLut, key, policy, "QuenScLookupPolicy() failed to insert policy into LUT");
    return policy;
}

bool QuenScGetQuenInfo(i_ctx *ctx, const char *quenUID, const char **uid, const char **name, int *activeVersion)
{
    const PolDbQuen *quen = QuenScLookupQuen(ctx, quenUID);
    if (!quen)
        return false;
    if (uid)
        *uid = Copy(ctx, quen->quenUID);
    if (name)
        *name = Copy(ctx, quen->quenName);
    if (activeVersion)
        *activeVersion = quen->activePolicySetVersion;
    return true;
}

bool QuenScGetPackageInfo(i_ctx *ctx, const char *packageUID, QuenScPackageRecord *out)
{
    const PolDbPackage *package = QuenScLookupPackage(ctx, packageUID);
    if (!package)
        return false;
    if (out) {
        out->quenUuid = Copy(ctx, package->quenUID);
        out->uuid = Copy(ctx, package->packageUID);
        out->name = Copy(ctx, package->name);
        out->useValidDates = package->useValidDates ? 1 : 0;
        out->validDateStart = package->validDateStart;
        out->validDateEnd = package->validDateEnd;
        out->key = Copy(ctx, package->protectionKey);
        out->disabled = package->disabled ? 1 : 0;
        out->preview = package->preview ? 1 : 0;
    }
    return true;
}

void QuenScPolicyToRecord(const PolDbRuntimePolicy *stored, QuenScPolicyRecord *out)
{
    out->instType = stored->instType;
    out->authType = stored->authType;
    out->useInstanceLimit = stored->useInstanceLimit ? 1 : 0;
    out->instanceLimit = stored->instanceLimit;
    out->usePerUserInstanceLimit = stored->usePerUserInstanceLimit ? 1 : 0;
    out->perUserInstanceLimit = stored->perUserInstanceLimit;
    out->expType = stored->expirationType;
    out->expValue1 = stored->expValue1;
    out->expValue2 = stored->expValue2;
    out->sessionLifetime = stored->cacheLifetime;
    out->copyPolicy = stored->copyPolicy;
}

bool QuenScGetPolicyInfo(i_ctx *ctx, const char *quenUID, int version, bool withLongData, const char **clientData,
                         const char **hostData, QuenScPolicyRecord *policy, bool *published)
{
    const PolDbRuntimePolicy *stored = QuenScLookupPolicy(ctx, quenUID, version, withLongData);
    if (!stored) {
        if (version != 0)
            QuenScLogError("Failed to retrieve policy set for quen: %s (%d)", quenUID ? quenUID : "", version);
        return false;
    }
    if (clientData)
        *clientData = Copy(ctx, stored->clientPolicyData);
    if (hostData)
        *hostData = Copy(ctx, stored->hostPolicyData);
    if (policy)
        QuenScPolicyToRecord(stored, policy);
    if (published)
        *published = stored->published;
    return true;
}
