/* Access entries: the three methods that edit and list who may create
 * instances of a Quen, and the matching of a caller against the entries when
 * an instance is created. Entries belong to one policy set version; only the
 * working version's entries are edited. */
#include "directory/directory.h"
#include "service/instanceLifecycle.h"
#include "frame/lookupCache.h"
#include "service/serviceMethods.h"
#include "frame/log.h"
#include "service/policySets.h"

#include "policydb/access.h"

#include <apr_strings.h>

#include <cstdlib>

namespace {

const char *OrEmpty(const char *text) { return text ? text : ""; }


const char *TypeName(int type)
{
    switch (type) {
    case QUENSC_IDENTITY_USER: return "USER";
    case QUENSC_IDENTITY_GROUP: return "GROUP";
    case QUENSC_IDENTITY_TOKEN: return "TOKEN";
    default: return "UNKNOWN";
    }
}

/* What an event may show of an entry's data: never a token. */
const char *Details(int type, const char *data) { return type == QUENSC_IDENTITY_TOKEN ? "********" : OrEmpty(data); }

void EntryEvent(QuenScCall *call, int type, const char *name, const char *data)
{
    QuenScEventParam(call, 0, TypeName(type));
    QuenScEventParam(call, 1, OrEmpty(name));
    QuenScEventParam(call, 2, Details(type, data));
}

/* The live entry (quenUID, data, version): QUENSC_OK with *found (null
 * when there is none; owned by the caller: PolDb_AccessRelease, then free),
 * or QUENSC_INTERNAL when the entries cannot be read. */
int FindEntry(i_ctx *ctx, const char *quenUID, const char *data, int version, PolDbAccess **found)
{
    return PolDb_AccessGetByPK(ctx->conn, OrEmpty(quenUID), OrEmpty(data), version, found) ? QUENSC_OK
                                                                                             : QUENSC_INTERNAL;
}

void FreeEntry(PolDbAccess *entry)
{
    if (entry) {
        PolDb_AccessRelease(entry);
        free(entry);
    }
}

/* The policy set version whose entries a method handles (the working one or
 * the current one), recorded in the event. A failure is logged as
 * "<failure>: <Quen UID>". */
int EntryVersion(i_ctx *ctx, const char *quenUID, bool working, const char *failure, int *version)
{
    *version = 0;
    int rc = QuenScGetPolicyVersion(ctx, quenUID, working, false, version);
    ctx->event->policyVersion = *version;
    if (rc != QUENSC_OK)
        QuenScLogError("%s: %s", failure, OrEmpty(quenUID));
    return rc;
}

const char kNoWorkingVersion[] = "Failed to find working policy version for quen";

} // namespace

/* ---- AccessAdd ------------------------------------------------------------------ */

int QuenScAccessAddRead(QuenScCall *call)
{
    auto *a = QuenScArgs<QuenScAccessAddArgs>(call);
    QuenScReadQuenUidAt(call, 1, &a->quenUID);
    QuenScReadAccess(call->env, call->params, 2, call->ctx->pool, &a->access);
    if (QuenScReadStatus(call) == QUENSC_OK)
        EntryEvent(call, a->access.type, a->access.name, a->access.data);
    return QuenScReadStatus(call);
}

int QuenScAccessAddWork(QuenScCall *call)
{
    i_ctx *ctx = call->ctx;
    auto *a = QuenScArgs<QuenScAccessAddArgs>(call);
    const QuenScAccessRecord &in = a->access;
    /* An entry of another type could never admit anybody. */
    if (QuenScIsEmpty(in.data) || in.type < QUENSC_IDENTITY_USER || in.type > QUENSC_IDENTITY_TOKEN ||
        !QuenScTextFits(in.data, QUENSC_UID_MAX) || !QuenScTextFits(in.name, QUENSC_NAME_MAX))
        return QUENSC_INVALID_PARAMETER;

    int version = 0;
    int rc = EntryVersion(ctx, a->quenUID, true, kNoWorkingVersion, &version);
    if (rc != QUENSC_OK)
        return rc;
    if (!QuenScLookupQuen(ctx, a->quenUID)) {
        QuenScLogError("QUEN '%s' not found, while attempting to create access object", OrEmpty(a->quenUID));
        return QUENSC_QUEN_DOES_NOT_EXIST;
    }
    if (in.type == QUENSC_IDENTITY_USER || in.type == QUENSC_IDENTITY_GROUP) {
        rc = QuenScLdapCheckObject(ctx, in.data);
        if (rc != QUENSC_OK)
            return rc;
    }

    PolDbAccess *existing = nullptr;
    if (FindEntry(ctx, a->quenUID, in.data, version, &existing) != QUENSC_OK) {
        QuenScLogError("Error adding access object to db: %s", Db_GetLastErrorText(ctx->conn));
        return QUENSC_INTERNAL;
    }
    bool exists = existing != nullptr;
    FreeEntry(existing);

    PolDbAccess record{};
    record.quenUID = const_cast<char *>(a->quenUID);
    record.identityData = const_cast<char *>(in.data);
    record.accVersion = version;
    record.identityType = in.type;
    record.identityName = const_cast<char *>(OrEmpty(in.name));
    record.useInstanceLimit = in.useInstanceLimit != 0;
    record.instanceLimit = in.instanceLimit;
    if (exists) {
        if (!PolDb_AccessUpdate(ctx->conn, &record)) {
            QuenScLogError("Error updating access object: %s", Db_GetLastErrorText(ctx->conn));
            return QUENSC_INTERNAL;
        }
    } else if (!PolDb_AccessAdd(ctx->conn, &record)) {
        QuenScLogError("Error adding access object to db: %s", Db_GetLastErrorText(ctx->conn));
        return QUENSC_INTERNAL;
    }
    return QUENSC_OK;
}

/* ---- AccessRemove ------------------------------------------------------------------ */

int QuenScAccessRemoveRead(QuenScCall *call)
{
    auto *a = QuenScArgs<QuenScAccessRemoveArgs>(call);
    QuenScReadQuenUidAt(call, 1, &a->quenUID);
    QuenScReadString(call->env, call->params, 2, call->ctx->pool, &a->data);
    /* Until an entry is found the event names nobody. */
    EntryEvent(call, QUENSC_IDENTITY_USER, "", "");
    return QuenScReadStatus(call);
}

int QuenScAccessRemoveWork(QuenScCall *call)
{
    i_ctx *ctx = call->ctx;
    auto *a = QuenScArgs<QuenScAccessRemoveArgs>(call);
    int version = 0;
    int rc = EntryVersion(ctx, a->quenUID, true, kNoWorkingVersion, &version);
    if (rc != QUENSC_OK)
        return rc;
    PolDbAccess *found = nullptr;
    if (FindEntry(ctx, a->quenUID, a->data, version, &found) != QUENSC_OK) {
        QuenScLogError("Error removing access object(%s -%s): %s", OrEmpty(a->quenUID), OrEmpty(a->data),
                       Db_GetLastErrorText(ctx->conn));
        return QUENSC_INTERNAL;
    }
    if (!found) {
        QuenScLogError("Failed to find access object (%s:%s) during AccessRemove", OrEmpty(a->quenUID),
                       OrEmpty(a->data));
        return QUENSC_ACCESS_DOES_NOT_EXIST;
    }
    EntryEvent(call, found->identityType, found->identityName, found->identityData);
    FreeEntry(found);
    if (!PolDb_AccessDelete(ctx->conn, a->quenUID, a->data, version)) {
        QuenScLogError("Error removing access object(%s -%s): %s", a->quenUID, a->data,
                       Db_GetLastErrorText(ctx->conn));
        return QUENSC_INTERNAL;
    }
    return QUENSC_OK;
}

/* ---- AccessQuery --------------------------------------------------------------------- */

int QuenScAccessQueryRead(QuenScCall *call)
{
    auto *a = QuenScArgs<QuenScAccessQueryArgs>(call);
    QuenScReadQuenUidAt(call, 1, &a->quenUID);
    QuenScReadInt(call->env, call->params, 2, &a->working);
    return QuenScReadStatus(call);
}

int QuenScAccessQueryWork(QuenScCall *call)
{
    i_ctx *ctx = call->ctx;
    auto *a = QuenScArgs<QuenScAccessQueryArgs>(call);
    int version = 0;
    int rc = EntryVersion(ctx, a->quenUID, a->working != 0, "Failed to find policy version # for quen", &version);
    if (rc != QUENSC_OK)
        return rc;
    PolDbAccess *entries = nullptr;
    int count = 0;
    if (!PolDb_AccessEnumerateVersion(ctx->conn, OrEmpty(a->quenUID), version, &entries, &count)) {
        QuenScLogError("Error enumerating access objects in db: %s", Db_GetLastErrorText(ctx->conn));
        return QUENSC_INTERNAL;
    }
    QuenScAppendInt(call->values, count);
    for (int i = 0; i < count; i++) {
        const PolDbAccess &e = entries[i];
        QuenScAccessRecord out{e.identityData, e.identityName, e.identityType, e.useInstanceLimit ? 1 : 0,
                               e.instanceLimit};
        QuenScAppendAccess(call->values, &out); /* copies the texts into the reply */
    }
    PolDb_AccessFreeArray(entries, count);
    return QUENSC_OK;
}

/* ---- matching at instance creation ----------------------------------------------------- */

namespace {

void Admit(i_ctx *ctx, const PolDbAccess &e, const char *identity, const char *principalName,
           QuenScInstantiation *out)
{
    out->matched = true;
    out->entry.data = apr_pstrdup(ctx->pool, OrEmpty(e.identityData));
    out->entry.name = apr_pstrdup(ctx->pool, OrEmpty(e.identityName));
    out->entry.type = e.identityType;
    out->entry.useInstanceLimit = e.useInstanceLimit ? 1 : 0;
    out->entry.instanceLimit = e.instanceLimit;
    out->identity = apr_pstrdup(ctx->pool, identity);
    out->principalName = principalName ? apr_pstrdup(ctx->pool, principalName) : nullptr;
}

int MatchDirectoryUser(i_ctx *ctx, const QuenScCredential *cred, const PolDbAccess *entries, int count,
                       QuenScInstantiation *out)
{
    if (cred->type != QUENSC_CRED_LDAP)
        return QUENSC_INVALID_PARAMETER;
    char *userDn = nullptr, *principal = nullptr;
    if (QuenScLdapAuthenticateUser(ctx, cred->value1, cred->value2, cred->value3, &userDn, &principal) !=
            QUENSC_OK ||
        !userDn)
        return QUENSC_AUTHENTICATION_FAILED;
    for (int i = 0; i < count; i++) {
        const PolDbAccess &e = entries[i];
        bool hit = (e.identityType == QUENSC_IDENTITY_USER && apr_strnatcasecmp(OrEmpty(e.identityData), userDn) == 0) ||
                   (e.identityType == QUENSC_IDENTITY_GROUP && QuenScLdapIsMember(ctx, userDn, e.identityData) == QUENSC_OK);
        if (hit) {
            Admit(ctx, e, userDn, principal, out);
            return QUENSC_OK;
        }
    }
    return QUENSC_ACCESS_DENIED;
}

int MatchToken(i_ctx *ctx, const QuenScCredential *cred, const PolDbAccess *entries, int count,
               QuenScInstantiation *out)
{
    if (cred->type != QUENSC_CRED_TOKEN)
        return QUENSC_INVALID_PARAMETER;
    if (QuenScIsEmpty(cred->value1))
        return QUENSC_ACCESS_DENIED;
    for (int i = 0; i < count; i++) {
        const PolDbAccess &e = entries[i];
        if (e.identityType == QUENSC_IDENTITY_TOKEN && !QuenScIsEmpty(e.identityData) &&
            apr_strnatcmp(e.identityData, cred->value1) == 0) {
            /* The entry's own text is what the instance records and what the
             * per-user limit counts: the comparison passes over blanks, and
             * two spellings of one token must not count as two holders. */
            Admit(ctx, e, e.identityData, nullptr, out);
            return QUENSC_OK;
        }
    }
    return QUENSC_ACCESS_DENIED;
}

} // namespace

int QuenScAccessMatch(i_ctx *ctx, const QuenScCredential *cred, const char *quenUID, int instType,
                      const PolDbAccess *entries, int count, QuenScInstantiation *out)
{
    *out = QuenScInstantiation{};
    static const QuenScCredential kNone{};
    if (!cred)
        cred = &kNone;
    switch (instType) {
    case QUENSC_INST_DIRECTORY: return MatchDirectoryUser(ctx, cred, entries, count, out);
    case QUENSC_INST_TOKEN: return MatchToken(ctx, cred, entries, count, out);
    default:
        QuenScLogError("Invalid instantiation type for an quen: %s - %d", OrEmpty(quenUID), instType);
        return QUENSC_INTERNAL;
    }
}
