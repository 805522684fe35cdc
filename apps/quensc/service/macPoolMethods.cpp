/* The MAC pool methods: administrators give a Quen ranges of 48-bit
 * Ethernet addresses, and client runtimes ask for the next unused address
 * for their virtual machine.
 *
 * Addresses travel as "XX:XX:XX:XX:XX:XX" texts (upper-case digits, most
 * significant byte first). They are handed out from the Quen's pools in
 * ascending pool UID order and never twice: the read and rewrite of a
 * pool's last assigned address happen in the request's transaction, which
 * the process-wide database lock serialises from its first statement to its
 * commit. An address is never given back to its pool. */
#include "service/instanceLifecycle.h"
#include "frame/lookupCache.h"
#include "service/serviceMethods.h"
#include "frame/log.h"

#include "policydb/instance.h"
#include "policydb/macPool.h"

#include <apr_strings.h>

#include <cstdlib>
#include <memory>

namespace {

struct MacPoolFree {
    void operator()(PolDbMacPool *pool) const
    {
        PolDb_MacPoolRelease(pool);
        free(pool);
    }
};
using MacPoolPtr = std::unique_ptr<PolDbMacPool, MacPoolFree>;

const char *OrEmpty(const char *text) { return text ? text : ""; }

/* Lists the Quen's pools. QUENSC_OK with the array (PolDb_MacPoolFreeArray);
 * QUENSC_QUEN_DOES_NOT_EXIST when the Quen does not exist;
 * QUENSC_INTERNAL when the pools cannot be read. */
int ListPools(i_ctx *ctx, const char *quenUID, PolDbMacPool **pools, int *count)
{
    *pools = nullptr;
    *count = 0;
    if (QuenScIsEmpty(quenUID) || !QuenScLookupQuen(ctx, quenUID)) {
        QuenScLogError("QUEN '%s' not found, while querying for mac pools", OrEmpty(quenUID));
        return QUENSC_QUEN_DOES_NOT_EXIST;
    }
    if (!PolDb_MacPoolEnumerateByQuen(ctx->conn, quenUID, pools, count)) {
        QuenScLogError("Error enumerating mac pools in db: %s", Db_GetLastErrorText(ctx->conn));
        return QUENSC_INTERNAL;
    }
    return QUENSC_OK;
}

} // namespace

const char *QuenScMacText(apr_pool_t *pool, int64_t address)
{
    char *text = PolDb_MacToString(address);
    const char *copy = apr_pstrdup(pool, text);
    free(text);
    return copy;
}

/* ---- MacPoolAdd ------------------------------------------------------------------------ */

int QuenScMacPoolAddRead(QuenScCall *call)
{
    i_ctx *ctx = call->ctx;
    auto *a = QuenScArgs<QuenScMacPoolAddArgs>(call);
    QuenScReadMacPool(call->env, call->params, 1, ctx->pool, &a->pool);
    if (QuenScReadStatus(call) == QUENSC_OK) {
        const QuenScMacPoolRecord &p = a->pool;
        ctx->event->quenUID = apr_pstrdup(ctx->pool, p.quenUuid);
        QuenScEventParam(call, 0, p.uuid);
        QuenScEventParam(call, 1, p.name);
        QuenScEventParam(call, 2, p.description);
        QuenScEventParam(call, 3, p.rangeStart);
        QuenScEventParam(call, 4, p.rangeEnd);
    }
    return QuenScReadStatus(call);
}

int QuenScMacPoolAddWork(QuenScCall *call)
{
    i_ctx *ctx = call->ctx;
    const QuenScMacPoolRecord &p = QuenScArgs<QuenScMacPoolAddArgs>(call)->pool;
    int64_t start = PolDb_MacFromString(p.rangeStart);
    int64_t end = PolDb_MacFromString(p.rangeEnd);
    if (start == 0 || end == 0)
        return QUENSC_INVALID_MAC_ADDRESS_FORMAT;
    if (start > end)
        return QUENSC_INVALID_PARAMETER;
    /* The pool UID is the key an administrator removes the pool by. */
    if (QuenScIsEmpty(p.uuid) || !QuenScTextFits(p.uuid, QUENSC_UID_MAX) || !QuenScTextFits(p.name, QUENSC_NAME_MAX) ||
        !QuenScTextFits(p.description, QUENSC_NAME_MAX))
        return QUENSC_INVALID_PARAMETER;
    if (!QuenScLookupQuen(ctx, p.quenUuid)) {
        QuenScLogError("Failed to find quen (%s) while adding a MAC POOL object", OrEmpty(p.quenUuid));
        return QUENSC_QUEN_DOES_NOT_EXIST;
    }
    /* A removed pool keeps its row (and so its key), which no new pool can
     * take over. */
    bool taken = false;
    if (!PolDb_MacPoolUidTaken(ctx->conn, p.uuid, &taken)) {
        QuenScLogError("Error reading mac pools: %s", Db_GetLastErrorText(ctx->conn));
        return QUENSC_INTERNAL;
    }
    if (taken) {
        QuenScLogError("Attempt to create a duplicate MacPool object (%s) failed", p.uuid);
        return QUENSC_OBJECT_EXISTS;
    }
    PolDbMacPool record{};
    record.macPoolUID = const_cast<char *>(p.uuid);
    record.quenUID = const_cast<char *>(p.quenUuid);
    record.name = const_cast<char *>(OrEmpty(p.name));
    record.description = const_cast<char *>(OrEmpty(p.description));
    record.rangeStart = start;
    record.rangeEnd = end;
    if (!PolDb_MacPoolAdd(ctx->conn, &record)) {
        QuenScLogError("Error adding mac pool to db: %s", Db_GetLastErrorText(ctx->conn));
        return QUENSC_INTERNAL;
    }
    return QUENSC_OK;
}

/* ---- MacPoolRemove / MacPoolQuery / MacAddressRequest --------------------------------- */

int QuenScMacPoolRemoveRead(QuenScCall *call)
{
    auto *a = QuenScArgs<QuenScMacPoolRemoveArgs>(call);
    QuenScReadString(call->env, call->params, 1, call->ctx->pool, &a->poolUID);
    if (QuenScReadStatus(call) == QUENSC_OK)
        QuenScEventParam(call, 0, a->poolUID);
    return QuenScReadStatus(call);
}

int QuenScMacPoolRemoveWork(QuenScCall *call)
{
    i_ctx *ctx = call->ctx;
    const char *uid = QuenScArgs<QuenScMacPoolRemoveArgs>(call)->poolUID;
    PolDbMacPool *found = nullptr;
    if (!PolDb_MacPoolGetByPK(ctx->conn, uid, &found)) {
        QuenScLogError("Error reading mac pool (%s): %s", OrEmpty(uid), Db_GetLastErrorText(ctx->conn));
        return QUENSC_INTERNAL;
    }
    MacPoolPtr pool(found);
    if (!pool) {
        QuenScLogError("Failed to find mac pool (%s) to remove", OrEmpty(uid));
        return QUENSC_MAC_POOL_DOES_NOT_EXIST;
    }
    ctx->event->quenUID = apr_pstrdup(ctx->pool, pool->quenUID);
    QuenScEventParam(call, 1, pool->name);
    QuenScEventParam(call, 2, pool->description);
    QuenScEventParam(call, 3, QuenScMacText(ctx->pool, pool->rangeStart));
    QuenScEventParam(call, 4, QuenScMacText(ctx->pool, pool->rangeEnd));
    QuenScEventParam(call, 5, QuenScMacText(ctx->pool, pool->lastAssigned));
    if (!PolDb_MacPoolDelete(ctx->conn, uid)) {
        QuenScLogError("Error removing mac pool object (%s - %s)", uid, Db_GetLastErrorText(ctx->conn));
        return QUENSC_INTERNAL;
    }
    return QUENSC_OK;
}

int QuenScMacPoolQueryRead(QuenScCall *call)
{
    QuenScReadQuenUidAt(call, 1, &QuenScArgs<QuenScMacPoolQueryArgs>(call)->quenUID);
    return QuenScReadStatus(call);
}

int QuenScMacPoolQueryWork(QuenScCall *call)
{
    i_ctx *ctx = call->ctx;
    PolDbMacPool *pools = nullptr;
    int count = 0;
    int rc = ListPools(ctx, QuenScArgs<QuenScMacPoolQueryArgs>(call)->quenUID, &pools, &count);
    if (rc != QUENSC_OK)
        return rc;
    QuenScAppendInt(call->values, count);
    for (int i = 0; i < count; i++) {
        const PolDbMacPool &p = pools[i];
        QuenScMacPoolRecord out{p.macPoolUID,
                                p.quenUID,
                                p.name,
                                p.description,
                                QuenScMacText(ctx->pool, p.rangeStart),
                                QuenScMacText(ctx->pool, p.rangeEnd),
                                QuenScMacText(ctx->pool, p.lastAssigned)};
        QuenScAppendMacPool(call->values, &out);
    }
    PolDb_MacPoolFreeArray(pools, count);
    return QUENSC_OK;
}

int QuenScMacAddressRequestRead(QuenScCall *call)
{
    QuenScReadInstanceUidAt(call, 1, &QuenScArgs<QuenScMacAddressRequestArgs>(call)->instanceUID);
    return QuenScReadStatus(call);
}

int QuenScMacAddressRequestWork(QuenScCall *call)
{
    i_ctx *ctx = call->ctx;
    const char *instanceUID = QuenScArgs<QuenScMacAddressRequestArgs>(call)->instanceUID;
    PolDbInstance *instance = nullptr;
    int rc = QuenScInstanceFetch(ctx, instanceUID, &instance);
    if (rc == QUENSC_INSTANCE_DOES_NOT_EXIST)
        QuenScLogError("Failed to find instance (%s)", OrEmpty(instanceUID));
    if (rc != QUENSC_OK)
        return rc;
    ctx->event->quenUID = apr_pstrdup(ctx->pool, instance->quenUID);
    ctx->event->packageUID = apr_pstrdup(ctx->pool, instance->packageUID);
    PolDbMacPool *pools = nullptr;
    int count = 0;
    rc = ListPools(ctx, instance->quenUID, &pools, &count);
    if (rc != QUENSC_OK)
        return rc;
    PolDb_MacPoolFreeArray(pools, count);
    if (count == 0) {
        QuenScLogError("Received a mac address request for an quen without mac pools (quen-uuid: %s "
                       "instance-uuid: %s)",
                       instance->quenUID, instanceUID);
        return QUENSC_MAC_POOL_DOES_NOT_EXIST;
    }
    int64_t address = PolDb_MacPoolAllocateAddress(ctx->conn, instance->quenUID);
    if (address == 0) {
        QuenScLogError("MAC Pools for quen (%s) exhausted", instance->quenUID);
        return QUENSC_MAC_POOL_EXHAUSTED;
    }
    const char *text = QuenScMacText(ctx->pool, address);
    QuenScEventParam(call, 0, text);
    QuenScAppendString(call->values, text);
    return QUENSC_OK;
}
