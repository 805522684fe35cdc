/* The Quen methods: create, destroy, preview clean-up, info, rename and
 * list; and the argument readers the object methods share. */
#include "service/instanceState.h"
#include "frame/lookupCache.h"
#include "service/serviceMethods.h"
#include "service/policySets.h"
#include "frame/log.h"

#include "policydb/quen.h"

#include <apr_strings.h>

namespace {

const char *OrEmpty(const char *text) { return text ? text : ""; }

/* The Quen struct at argument 1 into *quen, recorded as the event's Quen
 * once it is read. */
void ReadQuenStruct(QuenScCall *call, QuenScQuenRecord *quen)
{
    i_ctx *ctx = call->ctx;
    QuenScReadQuen(call->env, call->params, 1, ctx->pool, quen);
    if (QuenScReadStatus(call) == QUENSC_OK)
        ctx->event->quenUID = apr_pstrdup(ctx->pool, quen->uuid);
}

/* The text at argument index into *uid, then, once it is read, into the
 * event slot *named (a copy in the request pool). */
void ReadNamedUid(QuenScCall *call, int index, const char **uid, char **named)
{
    i_ctx *ctx = call->ctx;
    QuenScReadString(call->env, call->params, index, ctx->pool, uid);
    if (QuenScReadStatus(call) == QUENSC_OK)
        *named = apr_pstrdup(ctx->pool, *uid);
}

} // namespace

bool QuenScTextFits(const char *text, int maxCharacters)
{
    int characters = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(OrEmpty(text)); *p; p++)
        if ((*p & 0xC0) != 0x80 && ++characters > maxCharacters)
            return false;
    return true;
}

void QuenScReadQuenUidAt(QuenScCall *call, int index, const char **uid)
{
    ReadNamedUid(call, index, uid, &call->ctx->event->quenUID);
}

void QuenScReadPackageUidAt(QuenScCall *call, int index, const char **uid)
{
    ReadNamedUid(call, index, uid, &call->ctx->event->packageUID);
}

void QuenScReadInstanceUidAt(QuenScCall *call, int index, const char **uid)
{
    ReadNamedUid(call, index, uid, &call->ctx->event->instanceUID);
}

int QuenScReadQuenUidArg(QuenScCall *call)
{
    QuenScReadQuenUidAt(call, 1, &QuenScArgs<QuenScQuenUidArgs>(call)->quenUID);
    return QuenScReadStatus(call);
}

int QuenScReadPackageUidArg(QuenScCall *call)
{
    QuenScReadPackageUidAt(call, 1, &QuenScArgs<QuenScPackageUidArgs>(call)->packageUID);
    return QuenScReadStatus(call);
}

/* ---- QuenCreate ------------------------------------------------------------------ */

int QuenScQuenCreateRead(QuenScCall *call)
{
    QuenScQuenRecord *quen = &QuenScArgs<QuenScQuenCreateArgs>(call)->quen;
    ReadQuenStruct(call, quen);
    if (QuenScReadStatus(call) == QUENSC_OK) {
        QuenScEventParam(call, 0, quen->name);
        QuenScEventParam(call, 1, "0");
    }
    return QuenScReadStatus(call);
}

int QuenScQuenCreateWork(QuenScCall *call)
{
    i_ctx *ctx = call->ctx;
    const QuenScQuenRecord *quen = &QuenScArgs<QuenScQuenCreateArgs>(call)->quen;
    if (QuenScIsEmpty(quen->uuid) || !QuenScTextFits(quen->uuid, QUENSC_UID_MAX) ||
        !QuenScTextFits(quen->name, QUENSC_NAME_MAX))
        return QUENSC_INVALID_PARAMETER;
    if (QuenScLookupQuen(ctx, quen->uuid)) {
        QuenScLogError("Attempt to create a duplicate quen (%s) failed.", quen->uuid);
        return QUENSC_OBJECT_EXISTS;
    }
    PolDbQuen record{};
    record.quenUID = const_cast<char *>(quen->uuid);
    record.quenName = const_cast<char *>(OrEmpty(quen->name));
    record.activePolicySetVersion = 0;
    if (!PolDb_QuenAdd(ctx->conn, &record)) {
        QuenScLogError("Error adding quen to db: %s", Db_GetLastErrorText(ctx->conn));
        return QUENSC_INTERNAL;
    }
    int version = 0;
    int rc = QuenScPolicySetCreate(ctx, quen->uuid, &version);
    QuenScEventParam(call, 1, apr_itoa(ctx->pool, version));
    if (rc != QUENSC_OK) {
        QuenScLogError("Error while creating new working policy set for quen: %s", quen->uuid);
        return rc;
    }
    rc = QuenScPolicyPublish(ctx, quen->uuid, nullptr);
    if (rc != QUENSC_OK) {
        QuenScLogError("Error while creating new working policy set for quen: %s", quen->uuid);
        return rc;
    }
    return QUENSC_OK;
}

/* ---- QuenDestroy / QuenDestroyPreview ---------------------------------------------- */

int QuenScQuenDestroyWork(QuenScCall *call)
{
    i_ctx *ctx = call->ctx;
    const char *quenUID = QuenScArgs<QuenScQuenUidArgs>(call)->quenUID;
    const char *name = nullptr;
    bool found = QuenScGetQuenInfo(ctx, quenUID, nullptr, &name, nullptr);
    QuenScEventParam(call, 0, found ? name : "");
    if (!found)
        return QUENSC_QUEN_DOES_NOT_EXIST;
    int count = 0;
    int rc = QuenScCountActiveInstances(ctx, quenUID, nullptr, &count);
    if (rc != QUENSC_OK)
        return rc; /* unknown count: nothing may be deleted */
    if (count >= 1)
        return QUENSC_HAS_VALID_INSTANCES;
    if (!PolDb_QuenDelete(ctx->conn, quenUID)) {
        QuenScLogError("Error removing quen from db: %s", Db_GetLastErrorText(ctx->conn));
        return QUENSC_INTERNAL;
    }
    return QUENSC_OK;
}

int QuenScQuenDestroyPreviewWork(QuenScCall *call)
{
    i_ctx *ctx = call->ctx;
    const char *quenUID = QuenScArgs<QuenScQuenUidArgs>(call)->quenUID;
    if (!QuenScLookupQuen(ctx, quenUID))
        return QUENSC_QUEN_DOES_NOT_EXIST;
    if (!PolDb_QuenRemovePreview(ctx->conn, quenUID)) {
        QuenScLogError("Failed DB operation to remove preview resources for quen: %s", quenUID);
        return QUENSC_INTERNAL;
    }
    return QUENSC_OK;
}

/* ---- QuenInfo / QuenQuery ------------------------------------------------------------ */

int QuenScQuenInfoWork(QuenScCall *call)
{
    QuenScQuenRecord quen{};
    if (!QuenScGetQuenInfo(call->ctx, QuenScArgs<QuenScQuenUidArgs>(call)->quenUID, &quen.uuid, &quen.name, nullptr))
        return QUENSC_QUEN_DOES_NOT_EXIST;
    QuenScAppendQuen(call->values, &quen);
    return QUENSC_OK;
}

int QuenScQuenQueryWork(QuenScCall *call)
{
    i_ctx *ctx = call->ctx;
    PolDbQuen *quens = nullptr;
    int count = 0;
    if (!PolDb_QuenEnumerate(ctx->conn, nullptr, &quens, &count)) {
        QuenScLogError("Error enumerating quens in db: %s", Db_GetLastErrorText(ctx->conn));
        return QUENSC_INTERNAL;
    }
    QuenScAppendInt(call->values, count);
    for (int i = 0; i < count; i++) {
        QuenScQuenRecord quen{apr_pstrdup(ctx->pool, quens[i].quenUID), apr_pstrdup(ctx->pool, quens[i].quenName)};
        QuenScAppendQuen(call->values, &quen);
    }
    PolDb_QuenFreeArray(quens, count);
    return QUENSC_OK;
}

/* ---- QuenUpdate ----------------------------------------------------------------------- */

int QuenScQuenUpdateRead(QuenScCall *call)
{
    QuenScQuenRecord *quen = &QuenScArgs<QuenScQuenUpdateArgs>(call)->quen;
    ReadQuenStruct(call, quen);
    if (QuenScReadStatus(call) == QUENSC_OK)
        QuenScEventParam(call, 1, quen->name);
    return QuenScReadStatus(call);
}

int QuenScQuenUpdateWork(QuenScCall *call)
{
    i_ctx *ctx = call->ctx;
    const QuenScQuenRecord *update = &QuenScArgs<QuenScQuenUpdateArgs>(call)->quen;
    const PolDbQuen *quen = QuenScLookupQuen(ctx, update->uuid);
    QuenScEventParam(call, 0, quen ? quen->quenName : "");
    if (!quen)
        return QUENSC_QUEN_DOES_NOT_EXIST;
    if (!QuenScTextFits(update->name, QUENSC_NAME_MAX))
        return QUENSC_INVALID_PARAMETER;
    PolDbQuen renamed = *quen; /* shallow: only read by the update */
    renamed.quenName = const_cast<char *>(OrEmpty(update->name));
    if (!PolDb_QuenUpdate(ctx->conn, &renamed)) {
        QuenScLogError("Error updating quen in db: %s", Db_GetLastErrorText(ctx->conn));
        return QUENSC_INTERNAL;
    }
    return QUENSC_OK;
}
