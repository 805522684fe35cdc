/* The instance attribute methods: the nine custom fields and their
 * server-wide names, guest and host information, an explicit validity
 * window and the copy-protection id.
 *
 * Every setter reads the instance, changes only the fields concerned (the
 * stored password hash and protection key are written back as read) and
 * rewrites the whole row in the request's transaction. The setters open to
 * any session (custom values, guest and host information) do not ask for
 * instance authentication: any open session may call them for any
 * instance. */
#include "service/instanceState.h"
#include "service/instanceLifecycle.h"
#include "service/serviceMethods.h"
#include "frame/log.h"

#include "policydb/instance.h"

#include <apr_strings.h>

#include <cstdint>

namespace {

constexpr int kFields = POLDB_INSTANCE_CUSTOM_FIELDS;

/* Longest texts the instance columns hold, in characters. */
constexpr int kCustomMax = 255;
constexpr int kGuestTextMax = 128;      /* ip, MAC address, machine name, host name and IP */
constexpr int kConfigMsgMax = 512;
constexpr int kCopyProtectionMax = 1024;
constexpr int kFieldNameMax = 1024;     /* a metadata value */

static_assert(sizeof(QuenScInstanceSetAllCustomFieldsArgs::values) / sizeof(const char *) == kFields,
              "InstanceSetAllCustomFields takes one value per custom field");

const char *Flag(int value) { return value ? "TRUE" : "FALSE"; }

bool ValidField(int field) { return field >= 0 && field < kFields; }

/* The 1-based field number, widened first: INT32_MAX + 1 must not wrap. */
const char *FieldText(QuenScCall *call, int field)
{
    return apr_psprintf(call->ctx->pool, "%" APR_INT64_T_FMT, static_cast<int64_t>(field) + 1);
}

const char *GuestStatusName(int status)
{
    switch (status) {
    case 1: return "SUCCESS";
    case 2: return "FAILURE";
    default: return "UNKNOWN";
    }
}

/* Reads the live instance (request-owned) and records its Quen and package
 * in the event. QUENSC_OK; QUENSC_INSTANCE_DOES_NOT_EXIST after "Failed to
 * find instance (%s)"; QUENSC_INTERNAL when it could not be read. */
int FindInstance(QuenScCall *call, const char *instanceUID, PolDbInstance **instance)
{
    i_ctx *ctx = call->ctx;
    int rc = QuenScInstanceFetch(ctx, instanceUID, instance);
    if (rc == QUENSC_INSTANCE_DOES_NOT_EXIST)
        QuenScLogError("Failed to find instance (%s)", instanceUID ? instanceUID : "");
    if (rc != QUENSC_OK)
        return rc;
    ctx->event->quenUID = apr_pstrdup(ctx->pool, (*instance)->quenUID);
    ctx->event->packageUID = apr_pstrdup(ctx->pool, (*instance)->packageUID);
    return QUENSC_OK;
}

/* The setters' common path: reads the instance instanceUID, lets edit check the
 * arguments and change a copy of the record (a code other than QUENSC_OK
 * ends the call with it), and rewrites the whole row. QUENSC_OK; what
 * FindInstance or edit answered; or QUENSC_INTERNAL after logging "Error
 * updating an instance on the db: %s" (for guest information "Error
 * updating guest info on the db: %s - %s" with the UID). */
template <typename Edit>
int EditInstance(QuenScCall *call, const char *instanceUID, Edit edit, bool guestInfo = false)
{
    i_ctx *ctx = call->ctx;
    PolDbInstance *instance = nullptr;
    int rc = FindInstance(call, instanceUID, &instance);
    if (rc != QUENSC_OK)
        return rc;
    PolDbInstance record = *instance; /* shallow: only read by the update */
    rc = edit(record);
    if (rc != QUENSC_OK)
        return rc;
    if (!PolDb_InstanceUpdate(ctx->conn, &record)) {
        if (guestInfo)
            QuenScLogError("Error updating guest info on the db: %s - %s", instanceUID, Db_GetLastErrorText(ctx->conn));
        else
            QuenScLogError("Error updating an instance on the db: %s", Db_GetLastErrorText(ctx->conn));
        return QUENSC_INTERNAL;
    }
    return QUENSC_OK;
}

/* The nine names (and flags) from the metadata. QUENSC_OK, or
 * QUENSC_INTERNAL after "Error get custom field info from database: %s". */
int ReadFieldNames(i_ctx *ctx, const char ***names, bool **readOnly)
{
    if (!PolDb_InstanceGetCustomFields(ctx->conn, names, readOnly)) {
        QuenScLogError("Error get custom field info from database: %s", Db_GetLastErrorText(ctx->conn));
        return QUENSC_INTERNAL;
    }
    return QUENSC_OK;
}

} // namespace

/* ---- custom field values ------------------------------------------------------------ */

int QuenScInstanceSetCustomFieldRead(QuenScCall *call)
{
    auto *a = QuenScArgs<QuenScInstanceSetCustomFieldArgs>(call);
    QuenScReadInstanceUidAt(call, 1, &a->instanceUID);
    QuenScReadInt(call->env, call->params, 2, &a->field);
    QuenScReadString(call->env, call->params, 3, call->ctx->pool, &a->value);
    if (QuenScReadStatus(call) == QUENSC_OK) {
        QuenScEventParam(call, 0, FieldText(call, a->field));
        QuenScEventParam(call, 1, a->value);
    }
    return QuenScReadStatus(call);
}

int QuenScInstanceSetCustomFieldWork(QuenScCall *call)
{
    const auto *a = QuenScArgs<QuenScInstanceSetCustomFieldArgs>(call);
    return EditInstance(call, a->instanceUID, [a](PolDbInstance &record) -> int {
        if (!ValidField(a->field)) {
            QuenScLogError("Received request to update invalid custom field: %d", a->field);
            return QUENSC_INVALID_PARAMETER;
        }
        if (!QuenScTextFits(a->value, kCustomMax))
            return QUENSC_INVALID_PARAMETER;
        record.custom[a->field] = const_cast<char *>(a->value);
        return QUENSC_OK;
    });
}

int QuenScInstanceSetAllCustomFieldsRead(QuenScCall *call)
{
    auto *a = QuenScArgs<QuenScInstanceSetAllCustomFieldsArgs>(call);
    QuenScReadInstanceUidAt(call, 1, &a->instanceUID);
    for (int i = 0; i < kFields; i++)
        QuenScReadString(call->env, call->params, 2 + i, call->ctx->pool, &a->values[i]);
    if (QuenScReadStatus(call) == QUENSC_OK)
        for (int i = 0; i < kFields; i++)
            QuenScEventParam(call, i, a->values[i]);
    return QuenScReadStatus(call);
}

int QuenScInstanceSetAllCustomFieldsWork(QuenScCall *call)
{
    const auto *a = QuenScArgs<QuenScInstanceSetAllCustomFieldsArgs>(call);
    return EditInstance(call, a->instanceUID, [a](PolDbInstance &record) -> int {
        for (int i = 0; i < kFields; i++) {
            if (!QuenScTextFits(a->values[i], kCustomMax))
                return QUENSC_INVALID_PARAMETER;
            record.custom[i] = const_cast<char *>(a->values[i]);
        }
        return QUENSC_OK;
    });
}

/* ---- custom field names --------------------------------------------------------------- */

int QuenScCustomFieldNumberRead(QuenScCall *call)
{
    QuenScReadInt(call->env, call->params, 1, &QuenScArgs<QuenScCustomFieldNumberArgs>(call)->field);
    return QuenScReadStatus(call);
}

int QuenScInstanceSetCustomFieldNameRead(QuenScCall *call)
{
    auto *a = QuenScArgs<QuenScInstanceSetCustomFieldNameArgs>(call);
    QuenScReadInt(call->env, call->params, 1, &a->field);
    QuenScReadString(call->env, call->params, 2, call->ctx->pool, &a->name);
    if (QuenScReadStatus(call) == QUENSC_OK) {
        QuenScEventParam(call, 0, FieldText(call, a->field));
        QuenScEventParam(call, 1, a->name);
    }
    return QuenScReadStatus(call);
}

int QuenScInstanceSetCustomFieldNameWork(QuenScCall *call)
{
    i_ctx *ctx = call->ctx;
    const auto *a = QuenScArgs<QuenScInstanceSetCustomFieldNameArgs>(call);
    const char **stored = nullptr;
    bool *readOnly = nullptr;
    int rc = ReadFieldNames(ctx, &stored, &readOnly);
    if (rc != QUENSC_OK)
        return rc;
    if (!ValidField(a->field)) {
        QuenScLogError("Received request to update name of invalid custom field: %d", a->field);
        return QUENSC_INVALID_PARAMETER;
    }
    if (!QuenScTextFits(a->name, kFieldNameMax))
        return QUENSC_INVALID_PARAMETER;
    const char *names[kFields];
    for (int i = 0; i < kFields; i++)
        names[i] = stored[i];
    names[a->field] = a->name ? a->name : "";
    if (!PolDb_InstanceSetCustomFields(ctx->conn, names, readOnly)) {
        QuenScLogError("Error updating instance custom field names on db: %s", Db_GetLastErrorText(ctx->conn));
        return QUENSC_INTERNAL;
    }
    return QUENSC_OK;
}

int QuenScInstanceGetCustomFieldNameWork(QuenScCall *call)
{
    const auto *a = QuenScArgs<QuenScCustomFieldNumberArgs>(call);
    const char **names = nullptr;
    int rc = ReadFieldNames(call->ctx, &names, nullptr);
    if (rc != QUENSC_OK)
        return rc;
    if (!ValidField(a->field)) {
        QuenScLogError("Received request to get name of invalid custom field: %d", a->field);
        return QUENSC_INVALID_PARAMETER;
    }
    QuenScAppendString(call->values, names[a->field]);
    return QUENSC_OK;
}

int QuenScInstanceGetAllCustomFieldNamesWork(QuenScCall *call)
{
    const char **names = nullptr;
    int rc = ReadFieldNames(call->ctx, &names, nullptr);
    if (rc != QUENSC_OK)
        return rc;
    for (int i = 0; i < kFields; i++)
        QuenScAppendString(call->values, names[i]);
    return QUENSC_OK;
}

int QuenScInstanceClearCustomFieldRead(QuenScCall *call)
{
    auto *a = QuenScArgs<QuenScCustomFieldNumberArgs>(call);
    QuenScReadInt(call->env, call->params, 1, &a->field);
    if (QuenScReadStatus(call) == QUENSC_OK)
        QuenScEventParam(call, 0, FieldText(call, a->field));
    return QuenScReadStatus(call);
}

int QuenScInstanceClearCustomFieldWork(QuenScCall *call)
{
    i_ctx *ctx = call->ctx;
    int field = QuenScArgs<QuenScCustomFieldNumberArgs>(call)->field;
    if (!ValidField(field)) {
        QuenScLogError("Received request to clear invalid custom field: %d", field);
        return QUENSC_INVALID_PARAMETER;
    }
    if (!PolDb_InstanceClearCustomField(ctx->conn, field)) {
        QuenScLogError("Error clearing custom field on all instances: %s", Db_GetLastErrorText(ctx->conn));
        return QUENSC_INTERNAL;
    }
    return QUENSC_OK;
}

/* ---- guest and host information --------------------------------------------------------- */

int QuenScInstanceSetGuestInfoRead(QuenScCall *call)
{
    auto *a = QuenScArgs<QuenScInstanceSetGuestInfoArgs>(call);
    QuenScReadInstanceUidAt(call, 1, &a->instanceUID);
    QuenScReadGuestInfo(call->env, call->params, 2, call->ctx->pool, &a->guest);
    if (QuenScReadStatus(call) == QUENSC_OK) {
        QuenScEventParam(call, 0, a->guest.ip);
        QuenScEventParam(call, 1, a->guest.macAddress);
        QuenScEventParam(call, 2, a->guest.configMsg);
        QuenScEventParam(call, 3, a->guest.machineName);
        QuenScEventParam(call, 4, GuestStatusName(a->guest.status));
    }
    return QuenScReadStatus(call);
}

int QuenScInstanceSetGuestInfoWork(QuenScCall *call)
{
    const auto *a = QuenScArgs<QuenScInstanceSetGuestInfoArgs>(call);
    const QuenScGuestInfo &g = a->guest;
    auto edit = [&g](PolDbInstance &record) -> int {
        if (!QuenScTextFits(g.ip, kGuestTextMax) || !QuenScTextFits(g.macAddress, kGuestTextMax) ||
            !QuenScTextFits(g.configMsg, kConfigMsgMax) || !QuenScTextFits(g.machineName, kGuestTextMax))
            return QUENSC_INVALID_PARAMETER;
        record.guestIpAddress = const_cast<char *>(g.ip);
        record.guestMacAddress = const_cast<char *>(g.macAddress);
        record.guestConfigMsg = const_cast<char *>(g.configMsg);
        record.guestMachineName = const_cast<char *>(g.machineName);
        record.guestConfigStatus = g.status;
        return QUENSC_OK;
    };
    return EditInstance(call, a->instanceUID, edit, true);
}

int QuenScInstanceSetHostInfoRead(QuenScCall *call)
{
    auto *a = QuenScArgs<QuenScInstanceSetHostInfoArgs>(call);
    QuenScReadInstanceUidAt(call, 1, &a->instanceUID);
    QuenScReadHostInfo(call->env, call->params, 2, call->ctx->pool, &a->host);
    if (QuenScReadStatus(call) == QUENSC_OK) {
        QuenScEventParam(call, 0, a->host.ip);
        QuenScEventParam(call, 1, a->host.hostname);
    }
    return QuenScReadStatus(call);
}

int QuenScInstanceSetHostInfoWork(QuenScCall *call)
{
    const auto *a = QuenScArgs<QuenScInstanceSetHostInfoArgs>(call);
    const QuenScHostInfo &h = a->host;
    return EditInstance(call, a->instanceUID, [&h](PolDbInstance &record) -> int {
        if (!QuenScTextFits(h.hostname, kGuestTextMax) || !QuenScTextFits(h.ip, kGuestTextMax))
            return QUENSC_INVALID_PARAMETER;
        record.hostName = const_cast<char *>(h.hostname);
        record.hostIp = const_cast<char *>(h.ip);
        return QUENSC_OK;
    });
}

/* ---- validity window --------------------------------------------------------------------- */

int QuenScInstanceSetExpirationRead(QuenScCall *call)
{
    auto *a = QuenScArgs<QuenScInstanceSetExpirationArgs>(call);
    QuenScReadInstanceUidAt(call, 1, &a->instanceUID);
    QuenScReadInt(call->env, call->params, 2, &a->inherit);
    QuenScReadInt(call->env, call->params, 3, &a->enable);
    QuenScReadInt64(call->env, call->params, 4, &a->start);
    QuenScReadInt64(call->env, call->params, 5, &a->end);
    if (QuenScReadStatus(call) == QUENSC_OK) {
        apr_pool_t *pool = call->ctx->pool;
        QuenScEventParam(call, 0, Flag(a->inherit));
        QuenScEventParam(call, 1, Flag(a->enable));
        QuenScEventParam(call, 2, QuenScAsctimeText(pool, a->start));
        QuenScEventParam(call, 3, QuenScAsctimeText(pool, a->end));
    }
    return QuenScReadStatus(call);
}

int QuenScInstanceSetExpirationWork(QuenScCall *call)
{
    i_ctx *ctx = call->ctx;
    const auto *a = QuenScArgs<QuenScInstanceSetExpirationArgs>(call);
    return EditInstance(call, a->instanceUID, [ctx, a](PolDbInstance &record) -> int {
        /* Only a window of the instance's own must make sense; equal bounds
         * are a window of one second. */
        if (!a->inherit && a->enable && a->start > a->end)
            return QUENSC_INVALID_PARAMETER;
        record.inheritsExpiration = a->inherit != 0;
        if (a->inherit) {
            int rc = QuenScComputeExpiration(ctx, &record, &record.useValidDates, &record.validDateStart,
                                             &record.validDateEnd);
            if (rc != QUENSC_OK)
                QuenScLogError("Failed to update expiration date for instance: %s", a->instanceUID);
            return rc;
        }
        if (a->enable) {
            record.useValidDates = true;
            record.validDateStart = a->start;
            record.validDateEnd = a->end;
        } else {
            record.useValidDates = false;
            record.validDateStart = 0;
            record.validDateEnd = INT64_MAX;
        }
        return QUENSC_OK;
    });
}

/* ---- copy-protection id ------------------------------------------------------------------ */

int QuenScInstanceSetCopyProtectionIdRead(QuenScCall *call)
{
    auto *a = QuenScArgs<QuenScInstanceSetCopyProtectionIdArgs>(call);
    QuenScReadInstanceUidAt(call, 1, &a->instanceUID);
    QuenScReadString(call->env, call->params, 2, call->ctx->pool, &a->copyProtectionId);
    return QuenScReadStatus(call);
}

int QuenScInstanceSetCopyProtectionIdWork(QuenScCall *call)
{
    const auto *a = QuenScArgs<QuenScInstanceSetCopyProtectionIdArgs>(call);
    return EditInstance(call, a->instanceUID, [a](PolDbInstance &record) -> int {
        if (!QuenScTextFits(a->copyProtectionId, kCopyProtectionMax))
            return QUENSC_INVALID_PARAMETER;
        record.copyProtectionId = const_cast<char *>(a->copyProtectionId);
        return QUENSC_OK;
    });
}
