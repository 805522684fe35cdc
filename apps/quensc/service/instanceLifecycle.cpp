/* Instances: the instantiation check with its limits, instance
 * authentication, and the lifecycle methods (create, copy, info, state,
 * verify, key, revoke, delete, enable, passwords, the owner's directory
 * password change).
 *
 * Records read here belong to the request: QuenScInstanceFetch hands the
 * database's heap record to a pool cleanup. Changes are therefore written
 * from shallow copies that may point at request texts, never into the
 * fetched record itself. Everything a method does runs in its request's one
 * transaction, which on SQLite holds the process-wide database lock from
 * the first statement to the commit: counting against a limit and inserting
 * the new instance cannot interleave with another request's. */
#include "service/instanceLifecycle.h"

#include "frame/managerAuth.h"
#include "directory/directory.h"
#include "service/instanceState.h"
#include "frame/lookupCache.h"
#include "service/serviceMethods.h"
#include "service/packageMethods.h"
#include "frame/log.h"
#include "service/policySets.h"

#include <apr_strings.h>

#include <cstdint>
#include <cstring>
#include <ctime>

namespace {

const char *OrEmpty(const char *text) { return text ? text : ""; }

const char *Copy(i_ctx *ctx, const char *text) { return apr_pstrdup(ctx->pool, OrEmpty(text)); }

int64_t Now() { return time(nullptr); }

apr_status_t FreeFetched(void *record)
{
    PolDb_InstanceFree(static_cast<PolDbInstance *>(record));
    return APR_SUCCESS;
}

/* Names the instance in the request's audit event. */
void NoteInstance(i_ctx *ctx, const PolDbInstance *instance)
{
    ctx->event->instanceUID = const_cast<char *>(Copy(ctx, instance->instanceUID));
    ctx->event->packageUID = const_cast<char *>(Copy(ctx, instance->packageUID));
    ctx->event->quenUID = const_cast<char *>(Copy(ctx, instance->quenUID));
}

bool IsActive(const PolDbInstance *instance, int64_t now)
{
    return QuenScInstanceStateIsActive(QuenScInstanceRunState(instance, now));
}

/* The set that governs an instance: its Quen's current one, or the working
 * one for a preview instance. */
int GoverningPolicy(i_ctx *ctx, const PolDbInstance *instance, QuenScPolicyRecord *policy)
{
    return QuenScGetPolicySet(ctx, instance->quenUID, instance->preview, nullptr, nullptr, policy, nullptr);
}

/* Rewrites the whole row. QUENSC_OK, or QUENSC_INTERNAL after "Error
 * updating an instance on the db: %s". */
int Rewrite(i_ctx *ctx, const PolDbInstance *update)
{
    if (PolDb_InstanceUpdate(ctx->conn, update))
        return QUENSC_OK;
    QuenScLogError("Error updating an instance on the db: %s", Db_GetLastErrorText(ctx->conn));
    return QUENSC_INTERNAL;
}

/* QuenScInstanceFetch that logs "Failed to find instance (%s)" and the
 * circumstance for a UID no live instance has. */
int FetchLogged(i_ctx *ctx, const char *instanceUID, PolDbInstance **instance, const char *circumstance = "")
{
    int rc = QuenScInstanceFetch(ctx, instanceUID, instance);
    if (rc == QUENSC_INSTANCE_DOES_NOT_EXIST)
        QuenScLogError("Failed to find instance (%s)%s", OrEmpty(instanceUID), circumstance);
    return rc;
}

/* A UID no instance has, deleted ones included (they keep their key). */
int NewInstanceUid(i_ctx *ctx, const char **uid)
{
    DbConnection *conn = ctx->conn;
    for (int attempt = 0; attempt < 8; attempt++) {
        char candidate[POLDB_UID_SIZE];
        PolDb_CreateUniqueUID(conn, candidate);
        bool used = false;
        if (!PolDb_InstanceUidTaken(conn, candidate, &used)) {
            QuenScLogError("Error looking for a free instance UID: %s", Db_GetLastErrorText(conn));
            return QUENSC_INTERNAL;
        }
        if (!used) {
            *uid = apr_pstrdup(ctx->pool, candidate);
            return QUENSC_OK;
        }
    }
    QuenScLogError("Could not find a free instance UID");
    return QUENSC_INTERNAL;
}

/* The authType check of instance authentication: what the credential must
 * prove about the instance under its governing set. No state check. */
int CheckOwner(i_ctx *ctx, const QuenScCredential *cred, const PolDbInstance *instance)
{
    QuenScPolicyRecord policy{};
    if (GoverningPolicy(ctx, instance, &policy) != QUENSC_OK) {
        QuenScLogError("Failed to find policy set for quen (%s)", OrEmpty(instance->quenUID));
        return QUENSC_INTERNAL;
    }
    switch (policy.authType) {
    case QUENSC_AUTH_NONE:
    case QUENSC_AUTH_UNCHECKED:
        return QUENSC_OK;
    case QUENSC_AUTH_DIRECTORY: {
        /* Only a directory credential names a directory user. */
        if (cred->type != QUENSC_CRED_LDAP)
            return QUENSC_INVALID_PARAMETER;
        char *userDn = nullptr;
        int rc = QuenScLdapAuthenticateUser(ctx, cred->value1, cred->value2, cred->value3, &userDn, nullptr);
        if (rc != QUENSC_OK) {
            QuenScLogError("Error authenticating ldap user '%s'", OrEmpty(cred->value1));
            return rc;
        }
        if (!userDn || apr_strnatcasecmp(userDn, OrEmpty(instance->creatorIdData)) != 0)
            return QUENSC_AUTHENTICATION_FAILED;
        return QUENSC_OK;
    }
    case QUENSC_AUTH_PASSWORD:
        if (cred->type != QUENSC_CRED_PASSWORD)
            return QUENSC_INVALID_PARAMETER;
        return QuenScCheckPasswordHash(ctx, instance->instanceUID, cred->value1, instance->password);
    default:
        QuenScLogError("Invalid quen authentication type: %d", policy.authType);
        return QUENSC_INTERNAL;
    }
}

/* Instance authentication of an instance already read. */
int Authenticate(i_ctx *ctx, const QuenScSession *session, const QuenScCredential *cred,
                 const PolDbInstance *instance)
{
    if (cred) {
        int rc = CheckOwner(ctx, cred, instance);
        if (rc != QUENSC_OK) {
            QuenScLogError("Failed authenticate instance: %s", OrEmpty(instance->instanceUID));
            return rc;
        }
    } else if (!QuenScSessionIsAuthenticatedForInstance(session, instance->instanceUID)) {
        QuenScLogError("Failed attempt to verify instance (%s) because session is not authenticated",
                       OrEmpty(instance->instanceUID));
        return QUENSC_AUTHENTICATION_FAILED;
    }
    if (!IsActive(instance, Now()))
        return QUENSC_INSTANCE_CANNOT_RUN;
    return QUENSC_OK;
}

/* Who an instance records as its creator under the instantiation type, from
 * the caller's credential and what the instantiation check admitted. */
int CreatorIdentity(i_ctx *ctx, const char *quenUID, int instType, const QuenScCredential *cred,
                    const QuenScInstantiation *admitted, bool forCopy, const char **name, const char **data)
{
    switch (instType) {
    case QUENSC_INST_ANYBODY:
        *name = "N/A";
        *data = "";
        return QUENSC_OK;
    case QUENSC_INST_DIRECTORY: {
        if (admitted->matched && admitted->identity) {
            /* The check logged the user in already. */
            *data = admitted->identity;
            *name = admitted->principalName ? admitted->principalName : Copy(ctx, cred->value1);
            return QUENSC_OK;
        }
        char *userDn = nullptr, *principal = nullptr;
        int rc = cred->type == QUENSC_CRED_LDAP
                     ? QuenScLdapAuthenticateUser(ctx, cred->value1, cred->value2, cred->value3, &userDn, &principal)
                     : QUENSC_INVALID_PARAMETER;
        if (rc == QUENSC_OK && !userDn)
            rc = QUENSC_AUTHENTICATION_FAILED;
        if (rc != QUENSC_OK) {
            if (forCopy)
                QuenScLogError("Failed to authenticate ldap user during instance copy");
            else
                QuenScLogError("Failed to authenticate LDAP user: %s@%s", OrEmpty(cred->value1),
                               OrEmpty(cred->value3));
            return rc;
        }
        *data = userDn;
        *name = principal ? principal : Copy(ctx, cred->value1);
        return QUENSC_OK;
    }
    case QUENSC_INST_TOKEN:
        if (cred->type != QUENSC_CRED_TOKEN) {
            if (forCopy) {
                QuenScLogError("Expected a TOKEN cred, got a %d cred", cred->type);
                return QUENSC_AUTHENTICATION_FAILED;
            }
            return QUENSC_INVALID_PARAMETER;
        }
        *data = admitted->matched && admitted->identity ? admitted->identity : Copy(ctx, cred->value1);
        *name = admitted->matched && !QuenScIsEmpty(admitted->entry.name) ? admitted->entry.name : "Password";
        return QUENSC_OK;
    default:
        QuenScLogError("Invalid instantiation type for an quen: %s - %d", OrEmpty(quenUID), instType);
        return QUENSC_INTERNAL;
    }
}

const char *CopyPolicyName(int copyPolicy)
{
    switch (copyPolicy) {
    case QUENSC_COPY_NOT_ALLOWED: return "NOT ALLOWED";
    case QUENSC_COPY_REPLACE: return "REPLACE";
    case QUENSC_COPY_ALLOWED: return "ALLOWED";
    default: return "UNKNOWN";
    }
}

/* The client runtime supplies these; they must fit their columns. */
bool ClientTextsFit(const char *protectionKey, const char *copyProtectionId)
{
    return QuenScTextFits(protectionKey, QUENSC_KEY_MAX) && QuenScTextFits(copyProtectionId, QUENSC_KEY_MAX);
}

} // namespace

/* ---- reading and showing instances ------------------------------------------------ */

int QuenScInstanceFetch(i_ctx *ctx, const char *instanceUID, PolDbInstance **out)
{
    *out = nullptr;
    PolDbInstance *found = nullptr;
    if (!PolDb_InstanceGetByPK(ctx->conn, OrEmpty(instanceUID), &found)) {
        QuenScLogError("Error reading instance (%s) from db: %s", OrEmpty(instanceUID),
                       Db_GetLastErrorText(ctx->conn));
        return QUENSC_INTERNAL;
    }
    if (!found)
        return QUENSC_INSTANCE_DOES_NOT_EXIST;
    apr_pool_cleanup_register(ctx->pool, found, FreeFetched, apr_pool_cleanup_null);
    *out = found;
    return QUENSC_OK;
}

bool QuenScInstanceToRecord(i_ctx *ctx, const PolDbInstance *in, QuenScInstanceRecord *out)
{
    if (!ctx || !in || !out)
        return false;
    *out = QuenScInstanceRecord{};
    int64_t now = Now();
    /* Both names stay empty when their records are gone. */
    const char *packageName = "", *quenName = "";
    QuenScPackageRecord package{};
    if (QuenScGetPackageInfo(ctx, in->packageUID, &package))
        packageName = package.name;
    if (!QuenScGetQuenInfo(ctx, in->quenUID, nullptr, &quenName, nullptr))
        quenName = "";

    out->uuid = Copy(ctx, in->instanceUID);
    out->packageUuid = Copy(ctx, in->packageUID);
    out->packageName = packageName;
    out->quenUuid = Copy(ctx, in->quenUID);
    out->quenName = quenName;
    out->creatorName = Copy(ctx, in->creatorIdName);
    out->creatorData = Copy(ctx, in->creatorIdData);
    out->creatorType = in->creatorAuthType;
    out->activationDate = in->activationDate;
    out->lastPolicyCheck = in->lastPolicyCheck;
    out->revocationDate = in->revocationDate;
    out->replacementDate = in->replacementDate;
    out->inheritsExpiration = in->inheritsExpiration ? 1 : 0;
    out->useValidDates = in->useValidDates ? 1 : 0;
    out->validDateStart = in->validDateStart;
    out->validDateEnd = in->validDateEnd;
    out->ttl = QuenScInstanceTtl(in, now);
    out->copyProtectionId = Copy(ctx, in->copyProtectionId);
    out->state = QuenScInstanceState(ctx->pool, in, now);
    out->hostInfo.hostname = Copy(ctx, in->hostName);
    out->hostInfo.ip = Copy(ctx, in->hostIp);
    out->guestInfo.ip = Copy(ctx, in->guestIpAddress);
    out->guestInfo.macAddress = Copy(ctx, in->guestMacAddress);
    out->guestInfo.configMsg = Copy(ctx, in->guestConfigMsg);
    out->guestInfo.machineName = Copy(ctx, in->guestMachineName);
    out->guestInfo.status = in->guestConfigStatus;
    out->preview = in->preview ? 1 : 0;
    for (int i = 0; i < 9; i++)
        out->custom[i] = Copy(ctx, in->custom[i]);
    return true;
}

/* ---- the instantiation check -------------------------------------------------------- */

bool QuenScQuenLimitReached(int activeCount, int instanceLimit)
{
    return static_cast<uint32_t>(activeCount) >= static_cast<uint32_t>(instanceLimit);
}

bool QuenScPerUserLimitReached(int activeCount, int perUserInstanceLimit)
{
    return activeCount >= perUserInstanceLimit;
}

bool QuenScQuenExpired(const QuenScPolicyRecord *policy, int64_t now)
{
    if (policy->expType == QUENSC_EXP_DAYS)
        return policy->expValue1 == 0;
    if (policy->expType == QUENSC_EXP_WINDOW)
        return now < policy->expValue1 || now > policy->expValue2;
    return false;
}

int QuenScInstantiationCheck(i_ctx *ctx, const QuenScCredential *cred, const char *quenUID,
                             bool checkQuenExpiration, bool checkAccess, bool preview, QuenScInstantiation *out)
{
    *out = QuenScInstantiation{};
    if (!QuenScLookupQuen(ctx, quenUID)) {
        QuenScLogError("Failed to find quen to verify: %s", OrEmpty(quenUID));
        return QUENSC_QUEN_DOES_NOT_EXIST;
    }
    int version = 0;
    int rc = QuenScGetPolicyVersion(ctx, quenUID, preview, false, &version);
    ctx->event->policyVersion = version;
    if (rc != QUENSC_OK) {
        QuenScLogError("Error retrieving current policy version for quen: %s", quenUID);
        return rc;
    }
    QuenScPolicyRecord policy{};
    if (!QuenScGetPolicyInfo(ctx, quenUID, version, false, nullptr, nullptr, &policy, nullptr)) {
        QuenScLogError("Failed to find policy set for quen (%s)", quenUID);
        return QUENSC_INTERNAL;
    }
    if (checkQuenExpiration && QuenScQuenExpired(&policy, Now()))
        return QUENSC_QUEN_EXPIRED;
    if (!checkAccess)
        return QUENSC_OK;

    if (policy.useInstanceLimit && !preview) {
        int count = 0;
        rc = QuenScCountActiveInstances(ctx, quenUID, nullptr, &count);
        if (rc != QUENSC_OK)
            return rc; /* an unknown count admits nobody */
        if (QuenScQuenLimitReached(count, policy.instanceLimit))
            return QUENSC_QUEN_INSTANCE_LIMIT_EXCEEDED;
    }
    if (policy.instType == QUENSC_INST_ANYBODY)
        return QUENSC_OK; /* anybody: no entry to match, no identity to count */

    PolDbAccess *entries = nullptr;
    int count = 0;
    if (!PolDb_AccessEnumerateVersion(ctx->conn, quenUID, version, &entries, &count)) {
        QuenScLogError("Error enumerating access objects in db: %s (%s)", Db_GetLastErrorText(ctx->conn), quenUID);
        return QUENSC_INTERNAL;
    }
    rc = QuenScAccessMatch(ctx, cred, quenUID, policy.instType, entries, count, out);
    PolDb_AccessFreeArray(entries, count);
    if (rc != QUENSC_OK)
        return rc;

    if (policy.usePerUserInstanceLimit && !preview) {
        int mine = 0;
        rc = QuenScCountActiveInstances(ctx, quenUID, out->identity, &mine);
        if (rc != QUENSC_OK)
            return rc;
        if (QuenScPerUserLimitReached(mine, policy.perUserInstanceLimit))
            return QUENSC_ACCESS_INSTANCE_LIMIT_EXCEEDED;
    }
    return QUENSC_OK;
}

/* ---- instance authentication ------------------------------------------------------------ */

int QuenScInstanceAuthenticate(i_ctx *ctx, const QuenScSession *session, const QuenScCredential *cred,
                               const char *instanceUID, PolDbInstance **instance)
{
    if (instance)
        *instance = nullptr;
    PolDbInstance *found = nullptr;
    int rc = FetchLogged(ctx, instanceUID, &found);
    if (rc != QUENSC_OK)
        return rc;
    if (instance)
        *instance = found;
    return Authenticate(ctx, session, cred, found);
}

/* ---- the methods --------------------------------------------------------------------------- */

namespace {

/* The credential at argument index, described in event parameter param
 * once it is read; nothing while a fault is pending. */
void ReadCredentialArg(QuenScCall *call, int index, int param, QuenScCredential *cred)
{
    i_ctx *ctx = call->ctx;
    QuenScReadCredential(call->env, call->params, index, ctx->pool, cred);
    if (QuenScReadStatus(call) == QUENSC_OK)
        QuenScEventParam(call, param, QuenScCredentialDescription(ctx->pool, cred));
}

/* The instance of a method that names it, named in the event: QUENSC_OK;
 * QUENSC_INSTANCE_DOES_NOT_EXIST (logged); QUENSC_INTERNAL when it cannot be
 * read. */
int FetchNamed(QuenScCall *call, const char *uid, PolDbInstance **instance)
{
    int rc = FetchLogged(call->ctx, uid, instance);
    if (rc == QUENSC_OK)
        NoteInstance(call->ctx, *instance);
    return rc;
}

const char *UidArg(QuenScCall *call) { return QuenScArgs<QuenScInstanceUidArgs>(call)->instanceUID; }

const char *Flag(bool value) { return value ? "TRUE" : "FALSE"; }

} // namespace

int QuenScReadInstanceUidArg(QuenScCall *call)
{
    QuenScReadInstanceUidAt(call, 1, &QuenScArgs<QuenScInstanceUidArgs>(call)->instanceUID);
    return QuenScReadStatus(call);
}

/* ---- InstanceCreate ---------------------------------------------------------------------- */

int QuenScInstanceCreateRead(QuenScCall *call)
{
    apr_pool_t *pool = call->ctx->pool;
    auto *a = QuenScArgs<QuenScInstanceCreateArgs>(call);
    ReadCredentialArg(call, 1, 0, &a->cred);
    QuenScReadPackageUidAt(call, 2, &a->packageUID);
    QuenScReadString(call->env, call->params, 3, pool, &a->protectionKey);
    QuenScReadString(call->env, call->params, 4, pool, &a->copyProtectionId);
    return QuenScReadStatus(call);
}

int QuenScInstanceCreateWork(QuenScCall *call)
{
    i_ctx *ctx = call->ctx;
    auto *a = QuenScArgs<QuenScInstanceCreateArgs>(call);
    if (!ClientTextsFit(a->protectionKey, a->copyProtectionId))
        return QUENSC_INVALID_PARAMETER;

    const char *quenUID = nullptr, *packageKey = nullptr;
    bool preview = false;
    int rc = QuenScPackageAdmission(ctx, a->packageUID, &quenUID, &packageKey, &preview);
    if (rc != QUENSC_OK)
        return rc;
    ctx->event->quenUID = const_cast<char *>(quenUID);
    QuenScPolicyRecord policy{};
    if (QuenScGetPolicySet(ctx, quenUID, preview, nullptr, nullptr, &policy, nullptr) != QUENSC_OK) {
        QuenScLogError("Failed to find policy set for (%s)", quenUID);
        return QUENSC_INTERNAL;
    }
    QuenScInstantiation admitted{};
    rc = QuenScInstantiationCheck(ctx, &a->cred, quenUID, false, true, preview, &admitted);
    if (rc != QUENSC_OK)
        return rc;
    const char *creatorName = nullptr, *creatorData = nullptr;
    rc = CreatorIdentity(ctx, quenUID, policy.instType, &a->cred, &admitted, false, &creatorName, &creatorData);
    if (rc != QUENSC_OK)
        return rc;
    const char *uid = nullptr;
    rc = NewInstanceUid(ctx, &uid);
    if (rc != QUENSC_OK)
        return rc;
    ctx->event->instanceUID = const_cast<char *>(uid);

    int64_t now = Now();
    PolDbInstance r{};
    r.instanceUID = const_cast<char *>(uid);
    r.packageUID = const_cast<char *>(a->packageUID);
    r.quenUID = const_cast<char *>(quenUID);
    r.creatorIdName = const_cast<char *>(creatorName);
    r.creatorIdData = const_cast<char *>(creatorData);
    r.creatorAuthType = policy.instType;
    r.activationDate = r.lastPolicyCheck = now;
    r.inheritsExpiration = true;
    r.password = QuenScPasswordHash(ctx->pool, uid, "");
    if (!r.password)
        return QUENSC_INTERNAL; /* logged by the hash */
    r.hostName = r.hostIp = const_cast<char *>("");
    r.guestIpAddress = r.guestMacAddress = r.guestMachineName = r.guestConfigMsg = const_cast<char *>("");
    r.protectionKey = const_cast<char *>(OrEmpty(a->protectionKey));
    r.copyProtectionId = const_cast<char *>(OrEmpty(a->copyProtectionId));
    r.preview = preview;
    r.validDateEnd = INT64_MAX; /* kept should the window not be computable */
    bool use = false;
    int64_t start = 0, end = INT64_MAX;
    if (QuenScComputeExpiration(ctx, &r, &use, &start, &end) == QUENSC_OK) {
        r.useValidDates = use;
        r.validDateStart = start;
        r.validDateEnd = end;
    }
    /* Inserted last: a refused creation leaves nothing behind. */
    if (!PolDb_InstanceAdd(ctx->conn, &r)) {
        QuenScLogError("Error adding instance to db: %s", Db_GetLastErrorText(ctx->conn));
        return QUENSC_INTERNAL;
    }
    QuenScSessionMarkInstanceAuthenticated(call->session, creatorName, uid);
    QuenScAppendString(call->values, uid);
    QuenScAppendString(call->values, packageKey);
    return QUENSC_OK;
}

/* ---- InstanceCopy -------------------------------------------------------------------------- */

int QuenScInstanceCopyRead(QuenScCall *call)
{
    apr_pool_t *pool = call->ctx->pool;
    auto *a = QuenScArgs<QuenScInstanceCopyArgs>(call);
    ReadCredentialArg(call, 1, 0, &a->cred);
    ReadCredentialArg(call, 2, 1, &a->owner);
    QuenScReadInstanceUidAt(call, 3, &a->sourceUID);
    QuenScReadString(call->env, call->params, 4, pool, &a->protectionKey);
    QuenScReadString(call->env, call->params, 5, pool, &a->copyProtectionId);
    QuenScReadInt(call->env, call->params, 6, &a->replace);
    if (QuenScReadStatus(call) == QUENSC_OK)
        QuenScEventParam(call, 2, Flag(a->replace != 0));
    return QuenScReadStatus(call);
}

int QuenScInstanceCopyWork(QuenScCall *call)
{
    i_ctx *ctx = call->ctx;
    auto *a = QuenScArgs<QuenScInstanceCopyArgs>(call);
    if (!ClientTextsFit(a->protectionKey, a->copyProtectionId))
        return QUENSC_INVALID_PARAMETER;

    PolDbInstance *source = nullptr;
    int rc = FetchLogged(ctx, a->sourceUID, &source, " during copy");
    if (rc != QUENSC_OK)
        return rc;
    NoteInstance(ctx, source);

    QuenScPolicyRecord policy{};
    rc = GoverningPolicy(ctx, source, &policy);
    if (rc != QUENSC_OK) {
        QuenScLogError("Failed to find policy for quen: (%s)", OrEmpty(source->quenUID));
        return rc;
    }
    QuenScEventParam(call, 3, CopyPolicyName(policy.copyPolicy));
    bool replace = false;
    switch (policy.copyPolicy) {
    case QUENSC_COPY_NOT_ALLOWED: return QUENSC_INSTANCE_CANNOT_COPY;
    case QUENSC_COPY_REPLACE: replace = true; break;
    case QUENSC_COPY_ALLOWED: replace = a->replace != 0; break;
    default:
        QuenScLogError("Invalid value for copy policy: %d", policy.copyPolicy);
        return QUENSC_INTERNAL;
    }

    rc = Authenticate(ctx, call->session, &a->owner, source);
    if (rc != QUENSC_OK)
        return rc;
    rc = QuenScPackageAdmission(ctx, source->packageUID, nullptr, nullptr, nullptr);
    if (rc != QUENSC_OK)
        return rc;
    QuenScInstantiation admitted{};
    rc = QuenScInstantiationCheck(ctx, &a->cred, source->quenUID, source->inheritsExpiration, !replace,
                                  source->preview, &admitted);
    if (rc != QUENSC_OK)
        return rc;
    const char *creatorName = source->creatorIdName, *creatorData = source->creatorIdData;
    if (!replace) {
        rc = CreatorIdentity(ctx, source->quenUID, policy.instType, &a->cred, &admitted, true, &creatorName,
                             &creatorData);
        if (rc != QUENSC_OK)
            return rc;
    }
    const char *uid = nullptr;
    rc = NewInstanceUid(ctx, &uid);
    if (rc != QUENSC_OK)
        return rc;
    QuenScEventParam(call, 4, uid);

    int64_t now = Now();
    PolDbInstance r{};
    r.instanceUID = const_cast<char *>(uid);
    r.packageUID = source->packageUID;
    r.quenUID = source->quenUID;
    r.creatorIdName = const_cast<char *>(creatorName);
    r.creatorIdData = const_cast<char *>(creatorData);
    r.creatorAuthType = source->creatorAuthType;
    r.activationDate = now;
    r.lastPolicyCheck = 0;
    r.revocationDate = source->revocationDate;
    r.replacementDate = source->replacementDate;
    r.inheritsExpiration = source->inheritsExpiration;
    r.useValidDates = source->useValidDates;
    r.validDateStart = source->validDateStart;
    r.validDateEnd = source->validDateEnd;
    const char *ownerPassword = a->owner.type == QUENSC_CRED_PASSWORD ? a->owner.value1 : "";
    r.password = QuenScPasswordHash(ctx->pool, uid, ownerPassword);
    if (!r.password)
        return QUENSC_INTERNAL;
    r.hostName = r.hostIp = const_cast<char *>("");
    r.protectionKey = const_cast<char *>(OrEmpty(a->protectionKey));
    r.copyProtectionId = const_cast<char *>(OrEmpty(a->copyProtectionId));
    r.preview = source->preview;
    r.guestIpAddress = source->guestIpAddress;
    r.guestMacAddress = source->guestMacAddress;
    r.guestMachineName = source->guestMachineName;
    r.guestConfigMsg = source->guestConfigMsg;
    r.guestConfigStatus = source->guestConfigStatus;
    if (!PolDb_InstanceAdd(ctx->conn, &r)) {
        QuenScLogError("Error adding instance to db: %s", Db_GetLastErrorText(ctx->conn));
        return QUENSC_INTERNAL;
    }
    QuenScSessionMarkInstanceAuthenticated(call->session, creatorName, uid);

    if (replace && !(QuenScInstanceRunState(source, now) & QUENSC_INSTANCE_REPLACED)) {
        PolDbInstance replaced = *source; /* shallow: only read by the update */
        replaced.replacementDate = now;
        if (!PolDb_InstanceUpdate(ctx->conn, &replaced)) {
            QuenScLogError("Error setting replacement date on src instance: %s (%d)", Db_GetLastErrorText(ctx->conn),
                           QUENSC_INTERNAL);
            return QUENSC_INTERNAL;
        }
    }
    QuenScAppendString(call->values, uid);
    return QUENSC_OK;
}

/* ---- InstanceInfo / InstanceGetState / InstanceVerify ------------------------------------------ */

int QuenScInstanceInfoWork(QuenScCall *call)
{
    PolDbInstance *instance = nullptr;
    int rc = FetchNamed(call, UidArg(call), &instance);
    if (rc != QUENSC_OK)
        return rc;
    QuenScInstanceRecord record{};
    QuenScInstanceToRecord(call->ctx, instance, &record);
    QuenScAppendInstance(call->values, &record);
    return QUENSC_OK;
}

int QuenScInstanceGetStateWork(QuenScCall *call)
{
    PolDbInstance *instance = nullptr;
    int rc = FetchNamed(call, UidArg(call), &instance);
    if (rc != QUENSC_OK)
        return rc;
    QuenScAppendInt(call->values, QuenScInstanceState(call->ctx->pool, instance, Now()));
    return QUENSC_OK;
}

int QuenScInstanceVerifyWork(QuenScCall *call)
{
    PolDbInstance *instance = nullptr;
    int rc = QuenScInstanceAuthenticate(call->ctx, call->session, nullptr, UidArg(call), &instance);
    if (instance)
        NoteInstance(call->ctx, instance);
    if (rc != QUENSC_OK)
        return rc;
    QuenScPolicyRecord policy{};
    rc = GoverningPolicy(call->ctx, instance, &policy);
    if (rc != QUENSC_OK) {
        QuenScLogError("Failed to find server policy set for quen %s", instance->quenUID);
        return rc;
    }
    QuenScSessionRenewTtl(call->ctx, call->session, &policy);
    return QUENSC_OK;
}

/* ---- InstanceGetKey -------------------------------------------------------------------------- */

int QuenScInstanceGetKeyRead(QuenScCall *call)
{
    auto *a = QuenScArgs<QuenScInstanceGetKeyArgs>(call);
    ReadCredentialArg(call, 1, 0, &a->cred);
    QuenScReadInstanceUidAt(call, 2, &a->instanceUID);
    return QuenScReadStatus(call);
}

int QuenScInstanceGetKeyWork(QuenScCall *call)
{
    i_ctx *ctx = call->ctx;
    auto *a = QuenScArgs<QuenScInstanceGetKeyArgs>(call);
    PolDbInstance *instance = nullptr;
    int rc = QuenScInstanceAuthenticate(ctx, call->session, &a->cred, a->instanceUID, &instance);
    if (instance)
        NoteInstance(ctx, instance);
    if (rc != QUENSC_OK) {
        QuenScLogError("Failed to validate instance: %s", OrEmpty(a->instanceUID));
        return rc;
    }
    if (a->cred.type < QUENSC_CRED_NULL || a->cred.type > QUENSC_CRED_TOKEN) {
        QuenScLogError("Invalid credential type!");
        QuenScLogError("Failed to mark session as authenticated for instance");
        return QUENSC_INVALID_PARAMETER;
    }
    const char *name = a->cred.type == QUENSC_CRED_LDAP ? OrEmpty(a->cred.value1) : "N/A";
    QuenScSessionMarkInstanceAuthenticated(call->session, name, instance->instanceUID);
    QuenScAppendString(call->values, instance->protectionKey);
    return QUENSC_OK;
}

/* ---- InstanceRevoke / InstanceDelete ------------------------------------------------------------ */

int QuenScInstanceRevokeWork(QuenScCall *call)
{
    PolDbInstance *instance = nullptr;
    int rc = FetchNamed(call, UidArg(call), &instance);
    if (rc != QUENSC_OK)
        return rc;
    int64_t now = Now();
    if (QuenScInstanceRunState(instance, now) & QUENSC_INSTANCE_REVOKED)
        return QUENSC_OK; /* the first revocation date stays */
    PolDbInstance revoked = *instance; /* shallow: only read by the update */
    revoked.revocationDate = now;
    return Rewrite(call->ctx, &revoked);
}

int QuenScInstanceDeleteWork(QuenScCall *call)
{
    i_ctx *ctx = call->ctx;
    PolDbInstance *instance = nullptr;
    int rc = FetchNamed(call, UidArg(call), &instance);
    if (rc != QUENSC_OK)
        return rc;
    if (IsActive(instance, Now()))
        return QUENSC_INSTANCE_IS_VALID;
    if (!PolDb_InstanceDelete(ctx->conn, instance->instanceUID)) {
        QuenScLogError("Error removing an instance on the db: %s", Db_GetLastErrorText(ctx->conn));
        return QUENSC_INTERNAL;
    }
    return QUENSC_OK;
}

/* ---- InstanceEnable --------------------------------------------------------------------------- */

int QuenScInstanceEnableRead(QuenScCall *call)
{
    i_ctx *ctx = call->ctx;
    auto *a = QuenScArgs<QuenScInstanceEnableArgs>(call);
    QuenScReadCredential(call->env, call->params, 1, ctx->pool, &a->owner);
    QuenScReadCredential(call->env, call->params, 2, ctx->pool, &a->cred);
    if (QuenScReadStatus(call) == QUENSC_OK) {
        QuenScEventParam(call, 0, QuenScCredentialDescription(ctx->pool, &a->cred));
        QuenScEventParam(call, 1, QuenScCredentialDescription(ctx->pool, &a->owner));
    }
    QuenScReadInstanceUidAt(call, 3, &a->instanceUID);
    return QuenScReadStatus(call);
}

int QuenScInstanceEnableWork(QuenScCall *call)
{
    i_ctx *ctx = call->ctx;
    auto *a = QuenScArgs<QuenScInstanceEnableArgs>(call);
    PolDbInstance *instance = nullptr;
    int rc = FetchNamed(call, a->instanceUID, &instance);
    if (rc != QUENSC_OK)
        return rc;
    QuenScPolicyRecord policy{};
    if (GoverningPolicy(ctx, instance, &policy) != QUENSC_OK) {
        QuenScLogError("Failed to find policy set for quen (%s)", OrEmpty(instance->quenUID));
        return QUENSC_INTERNAL;
    }
    int run = QuenScInstanceRunState(instance, Now());
    if (QuenScInstanceStateIsActive(run))
        return QUENSC_OK;

    PolDbInstance enabled = *instance; /* shallow: only read by the update */
    const char *creatorName = nullptr;
    if (QuenScSecurityCheck(ctx, call->session, "InstanceEnable", QUENSC_ACCESS_ADMIN | QUENSC_ACCESS_HELPDESK) ==
        QUENSC_OK) {
        enabled.revocationDate = 0;
        enabled.replacementDate = 0;
    } else {
        /* An owner may only bring back an instance a copy replaced. */
        if (!(run & QUENSC_INSTANCE_REPLACED))
            return QUENSC_OK;
        rc = CheckOwner(ctx, &a->owner, instance);
        if (rc != QUENSC_OK) {
            QuenScLogError("Failed to authenticate as owner of instance during enable: %s", instance->instanceUID);
            return rc;
        }
        if (policy.copyPolicy != QUENSC_COPY_ALLOWED)
            return QUENSC_INSTANCE_CANNOT_COPY;
        QuenScInstantiation admitted{};
        rc = QuenScInstantiationCheck(ctx, &a->cred, instance->quenUID, false, true, instance->preview, &admitted);
        if (rc != QUENSC_OK) {
            QuenScLogError("Failed to validate quen instantiation (re-enable)");
            return rc;
        }
        const char *creatorData = nullptr;
        rc = CreatorIdentity(ctx, instance->quenUID, policy.instType, &a->cred, &admitted, false, &creatorName,
                             &creatorData);
        if (rc != QUENSC_OK)
            return rc;
        enabled.creatorIdName = const_cast<char *>(creatorName);
        enabled.creatorIdData = const_cast<char *>(creatorData);
        enabled.creatorAuthType = policy.instType;
        enabled.replacementDate = 0;
    }
    rc = Rewrite(ctx, &enabled);
    if (rc != QUENSC_OK)
        return rc;
    /* The owner's session now runs the instance; a manager's session stays
     * the manager's, so that its later events keep naming the manager. */
    if (creatorName)
        QuenScSessionMarkInstanceAuthenticated(call->session, creatorName, instance->instanceUID);
    return QUENSC_OK;
}

/* ---- passwords ------------------------------------------------------------------------------- */

namespace {

int StorePassword(i_ctx *ctx, const PolDbInstance *instance, const char *password)
{
    PolDbInstance changed = *instance; /* shallow: only read by the update */
    changed.password = QuenScPasswordHash(ctx->pool, instance->instanceUID, password);
    if (!changed.password)
        return QUENSC_INTERNAL;
    return Rewrite(ctx, &changed);
}

} // namespace

int QuenScInstanceSetPasswordRead(QuenScCall *call)
{
    auto *a = QuenScArgs<QuenScInstanceSetPasswordArgs>(call);
    QuenScReadInstanceUidAt(call, 1, &a->instanceUID);
    QuenScReadString(call->env, call->params, 2, call->ctx->pool, &a->newPassword);
    return QuenScReadStatus(call);
}

int QuenScInstanceSetPasswordWork(QuenScCall *call)
{
    auto *a = QuenScArgs<QuenScInstanceSetPasswordArgs>(call);
    PolDbInstance *instance = nullptr;
    int rc = FetchNamed(call, a->instanceUID, &instance);
    if (rc != QUENSC_OK)
        return rc;
    return StorePassword(call->ctx, instance, a->newPassword);
}

int QuenScInstanceChangePasswordRead(QuenScCall *call)
{
    apr_pool_t *pool = call->ctx->pool;
    auto *a = QuenScArgs<QuenScInstanceChangePasswordArgs>(call);
    QuenScReadInstanceUidAt(call, 1, &a->instanceUID);
    QuenScReadString(call->env, call->params, 2, pool, &a->oldPassword);
    QuenScReadString(call->env, call->params, 3, pool, &a->newPassword);
    return QuenScReadStatus(call);
}

int QuenScInstanceChangePasswordWork(QuenScCall *call)
{
    i_ctx *ctx = call->ctx;
    auto *a = QuenScArgs<QuenScInstanceChangePasswordArgs>(call);
    PolDbInstance *instance = nullptr;
    int rc = FetchNamed(call, a->instanceUID, &instance);
    if (rc != QUENSC_OK)
        return rc;
    if (QuenScCheckPasswordHash(ctx, instance->instanceUID, a->oldPassword, instance->password) != QUENSC_OK)
        return QUENSC_AUTHENTICATION_FAILED;
    return StorePassword(ctx, instance, a->newPassword);
}

/* ---- the owner's directory password ------------------------------------------------------------ */

int QuenScInstanceLdapChangePassword(i_ctx *ctx, const char *instanceUID, const QuenScCredential *cred,
                                     const char *newPassword)
{
    if (!cred || cred->type != QUENSC_CRED_LDAP)
        return QUENSC_INVALID_PARAMETER;
    PolDbInstance *instance = nullptr;
    int rc = FetchLogged(ctx, instanceUID, &instance, " while changing ldap pwd.");
    if (rc != QUENSC_OK)
        return rc;
    NoteInstance(ctx, instance);
    if (!IsActive(instance, Now())) {
        QuenScLogError("Password change request failed, because instance (%s) can't run", instance->instanceUID);
        return QUENSC_INSTANCE_CANNOT_RUN;
    }
    if (!ctx->server->configuration->global.use_ldap) {
        QuenScLogError("Password change request failed, because ldap is not configured");
        return QUENSC_NO_USER_DIRECTORY;
    }
    return QuenScLdapChangePassword(ctx, instance->creatorIdData, cred->value1, cred->value2, newPassword,
                                    cred->value3);
}

/* ---- LdapUserChangePassword --------------------------------------------------------- */

int QuenScLdapUserChangePasswordRead(QuenScCall *call)
{
    apr_pool_t *pool = call->ctx->pool;
    auto *a = QuenScArgs<QuenScLdapUserChangePasswordArgs>(call);
    QuenScReadString(call->env, call->params, 1, pool, &a->instanceUID);
    QuenScReadCredential(call->env, call->params, 2, pool, &a->cred);
    QuenScReadString(call->env, call->params, 3, pool, &a->newPassword);
    return QuenScReadStatus(call);
}

int QuenScLdapUserChangePasswordWork(QuenScCall *call)
{
    auto *a = QuenScArgs<QuenScLdapUserChangePasswordArgs>(call);
    return QuenScInstanceLdapChangePassword(call->ctx, a->instanceUID, &a->cred, a->newPassword);
}
