/* The package methods (create, update, info, list) and package admission. */
#include "service/packageMethods.h"

#include "frame/lookupCache.h"
#include "service/serviceMethods.h"
#include "frame/log.h"

#include "policydb/package.h"

#include <apr_strings.h>

#include <ctime>

namespace {

const char *OrEmpty(const char *text) { return text ? text : ""; }

const char *Flag(int value) { return value ? "TRUE" : "FALSE"; }

bool WindowValid(const QuenScPackageRecord *p) { return !p->useValidDates || p->validDateStart <= p->validDateEnd; }

/* Names, key and UIDs must fit their columns. */
bool TextsFit(const QuenScPackageRecord *p)
{
    return QuenScTextFits(p->uuid, QUENSC_UID_MAX) && QuenScTextFits(p->quenUuid, QUENSC_UID_MAX) &&
           QuenScTextFits(p->name, QUENSC_NAME_MAX) && QuenScTextFits(p->key, QUENSC_KEY_MAX);
}

void FillRecord(PolDbPackage *out, const QuenScPackageRecord *in)
{
    out->name = const_cast<char *>(OrEmpty(in->name));
    out->useValidDates = in->useValidDates != 0;
    out->validDateStart = in->validDateStart;
    out->validDateEnd = in->validDateEnd;
    out->protectionKey = const_cast<char *>(OrEmpty(in->key));
    out->disabled = in->disabled != 0;
    out->preview = in->preview != 0;
}

/* The package struct at argument 1 into *p, recorded as the event's
 * package once it is read. */
void ReadPackageStruct(QuenScCall *call, QuenScPackageRecord *p)
{
    i_ctx *ctx = call->ctx;
    QuenScReadPackage(call->env, call->params, 1, ctx->pool, p);
    if (QuenScReadStatus(call) == QUENSC_OK)
        ctx->event->packageUID = apr_pstrdup(ctx->pool, p->uuid);
}

} // namespace

const char *QuenScPackageValidityText(apr_pool_t *pool, int useValidDates, int64_t start, int64_t end)
{
    if (!useValidDates)
        return "";
    return apr_pstrcat(pool, "valid from ", QuenScAsctimeText(pool, start), " to ", QuenScAsctimeText(pool, end),
                       ", ", nullptr);
}

/* ---- admission ------------------------------------------------------------------ */

int QuenScPackageAdmissionAt(i_ctx *ctx, const char *packageUID, int64_t now, const char **quenUID,
                             const char **protectionKey, bool *preview)
{
    QuenScPackageRecord package{};
    if (!QuenScGetPackageInfo(ctx, packageUID, &package)) {
        QuenScLogError("Failed to find package to verify: %s", OrEmpty(packageUID));
        return QUENSC_PACKAGE_DOES_NOT_EXIST;
    }
    if (package.disabled)
        return QUENSC_PACKAGE_DISABLED;
    if (package.useValidDates && (now < package.validDateStart || now > package.validDateEnd))
        return QUENSC_PACKAGE_EXPIRED;
    if (quenUID)
        *quenUID = package.quenUuid;
    if (protectionKey)
        *protectionKey = package.key;
    if (preview)
        *preview = package.preview != 0;
    return QUENSC_OK;
}

int QuenScPackageAdmission(i_ctx *ctx, const char *packageUID, const char **quenUID, const char **protectionKey,
                           bool *preview)
{
    return QuenScPackageAdmissionAt(ctx, packageUID, time(nullptr), quenUID, protectionKey, preview);
}

/* ---- PackageCreate ----------------------------------------------------------------- */

int QuenScPackageCreateRead(QuenScCall *call)
{
    QuenScPackageRecord *p = &QuenScArgs<QuenScPackageCreateArgs>(call)->package;
    ReadPackageStruct(call, p);
    if (QuenScReadStatus(call) != QUENSC_OK)
        return QuenScReadStatus(call);
    i_ctx *ctx = call->ctx;
    ctx->event->quenUID = apr_pstrdup(ctx->pool, p->quenUuid);
    QuenScEventParam(call, 0, p->name);
    QuenScEventParam(call, 1, QuenScPackageValidityText(ctx->pool, p->useValidDates, p->validDateStart,
                                                        p->validDateEnd));
    QuenScEventParam(call, 2, Flag(p->disabled));
    QuenScEventParam(call, 3, Flag(p->preview));
    return QUENSC_OK;
}

int QuenScPackageCreateWork(QuenScCall *call)
{
    i_ctx *ctx = call->ctx;
    const QuenScPackageRecord *p = &QuenScArgs<QuenScPackageCreateArgs>(call)->package;
    if (!WindowValid(p) || QuenScIsEmpty(p->uuid) || !TextsFit(p))
        return QUENSC_INVALID_PARAMETER;
    if (!QuenScLookupQuen(ctx, p->quenUuid)) {
        QuenScLogError("Could not find quen (%s) while attempting to create a package for it", OrEmpty(p->quenUuid));
        return QUENSC_QUEN_DOES_NOT_EXIST;
    }
    if (QuenScLookupPackage(ctx, p->uuid)) {
        QuenScLogError("Attempt to create duplicate package (%s), failed", p->uuid);
        return QUENSC_OBJECT_EXISTS;
    }
    PolDbPackage record{};
    record.quenUID = const_cast<char *>(p->quenUuid);
    record.packageUID = const_cast<char *>(p->uuid);
    FillRecord(&record, p);
    if (!PolDb_PackageAdd(ctx->conn, &record)) {
        QuenScLogError("Error adding package to db: %s", Db_GetLastErrorText(ctx->conn));
        return QUENSC_INTERNAL;
    }
    return QUENSC_OK;
}

/* ---- PackageUpdate ------------------------------------------------------------------- */

int QuenScPackageUpdateRead(QuenScCall *call)
{
    QuenScPackageRecord *p = &QuenScArgs<QuenScPackageUpdateArgs>(call)->package;
    ReadPackageStruct(call, p);
    if (QuenScReadStatus(call) != QUENSC_OK)
        return QuenScReadStatus(call);
    QuenScEventParam(call, 1, p->name);
    QuenScEventParam(call, 2, QuenScPackageValidityText(call->ctx->pool, p->useValidDates, p->validDateStart,
                                                        p->validDateEnd));
    QuenScEventParam(call, 3, Flag(p->disabled));
    QuenScEventParam(call, 4, Flag(p->preview));
    return QUENSC_OK;
}

int QuenScPackageUpdateWork(QuenScCall *call)
{
    i_ctx *ctx = call->ctx;
    const QuenScPackageRecord *p = &QuenScArgs<QuenScPackageUpdateArgs>(call)->package;
    const PolDbPackage *stored = QuenScLookupPackage(ctx, p->uuid);
    QuenScEventParam(call, 0, stored ? stored->name : "");
    if (!stored)
        return QUENSC_PACKAGE_DOES_NOT_EXIST;
    ctx->event->quenUID = apr_pstrdup(ctx->pool, stored->quenUID);
    /* "quen_uuid" is not looked at: a package never moves to another Quen. */
    if (!WindowValid(p) || !QuenScTextFits(p->name, QUENSC_NAME_MAX) || !QuenScTextFits(p->key, QUENSC_KEY_MAX))
        return QUENSC_INVALID_PARAMETER;
    PolDbPackage record{};
    record.quenUID = stored->quenUID;
    record.packageUID = stored->packageUID;
    FillRecord(&record, p);
    if (!PolDb_PackageUpdate(ctx->conn, &record)) {
        QuenScLogError("Error updating package to db: %s", Db_GetLastErrorText(ctx->conn));
        return QUENSC_INTERNAL;
    }
    return QUENSC_OK;
}

/* ---- PackageInfo / PackageQuery -------------------------------------------------------- */

int QuenScPackageInfoWork(QuenScCall *call)
{
    i_ctx *ctx = call->ctx;
    QuenScPackageRecord package{};
    if (!QuenScGetPackageInfo(ctx, QuenScArgs<QuenScPackageUidArgs>(call)->packageUID, &package))
        return QUENSC_PACKAGE_DOES_NOT_EXIST;
    ctx->event->quenUID = const_cast<char *>(package.quenUuid);
    package.key = nullptr;
    QuenScAppendPackage(call->values, &package);
    return QUENSC_OK;
}

int QuenScPackageQueryWork(QuenScCall *call)
{
    i_ctx *ctx = call->ctx;
    const char *quenUID = QuenScArgs<QuenScQuenUidArgs>(call)->quenUID;
    bool oneQuen = !QuenScIsEmpty(quenUID);
    if (oneQuen && !QuenScLookupQuen(ctx, quenUID)) {
        QuenScLogError("QUEN '%s' not found, while querying for packages", quenUID);
        return QUENSC_QUEN_DOES_NOT_EXIST;
    }
    PolDbPackage *packages = nullptr;
    int count = 0;
    if (!PolDb_PackageEnumerateByQuen(ctx->conn, oneQuen ? quenUID : nullptr, &packages, &count)) {
        QuenScLogError("Error enumerating packages in db: %s", Db_GetLastErrorText(ctx->conn));
        return QUENSC_INTERNAL;
    }
    QuenScAppendInt(call->values, count);
    for (int i = 0; i < count; i++) {
        const PolDbPackage &p = packages[i];
        QuenScPackageRecord out{};
        out.uuid = p.packageUID;
        out.quenUuid = p.quenUID;
        out.name = p.name;
        out.useValidDates = p.useValidDates ? 1 : 0;
        out.validDateStart = p.validDateStart;
        out.validDateEnd = p.validDateEnd;
        out.disabled = p.disabled ? 1 : 0;
        out.preview = p.preview ? 1 : 0;
        QuenScAppendPackage(call->values, &out); /* copies the texts into the reply */
    }
    PolDb_PackageFreeArray(packages, count);
    return QUENSC_OK;
}
