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
#include "instanceState.h"
#include "instances.h"
#include "methods.h"
#include "quensc_util.h"

#include "instance.h"

#include <apr_strings.h>

#include <cstdint>
#include <ctime>

namespace {

constexpr int kFields = POLDB_INSTANCE_CUSTOM_FIELDS;

/* Longest texts the instance columns hold, in characters. */
constexpr int kCustomMax = 255;
constexpr int kGuestTextMax = 128;      /* ip, MAC address, machine name, host name and IP */
constexpr int kConfigMsgMax = 512;
constexpr int kCopyProtectionMax = 1024;
constexpr int kFieldNameMax = 1024;     /* a metadata value */

/* The arguments of every method of this file; each reads what it needs. */
struct AttributeArgs {
    const char *instanceUID;
    int field;                 /* 0-based custom field number */
    const char *text;          /* a custom value, a field name, a copy-protection id */
    const char *values[kFields];
    QuenScGuestInfo guest;
    QuenScHostInfo host;
    int inherit;
    int enable;
    int64_t start;
    int64_t end;
};

const char *Flag(int value) { return value ? "TRUE" : "FALSE"; }

bool ValidField(int field) { return field >= 0 && field < kFields; }

AttributeArgs *NewArgs(QuenScCall *call)
{
    auto *a = static_cast<AttributeArgs *>(apr_pcalloc(call->ctx->pool, sizeof(AttributeArgs)));
    call->args = a;
    return a;
}

AttributeArgs *Args(QuenScCall *call) { return static_cast<AttributeArgs *>(call->args); }

/* Argument 1, the instance UID, recorded as the event's instance. */
int ReadInstanceUid(QuenScCall *call, AttributeArgs *a)
{
    int rc = QuenScReadString(call->env, call->params, 1, call->ctx->pool, &a->instanceUID);
    if (rc == QUENSC_OK)
        call->ctx->event->instanceUID = apr_pstrdup(call->ctx->pool, a->instanceUID);
    return rc;
}

const char *FieldText(QuenScCall *call, int field) { return apr_itoa(call->ctx->pool, field + 1); }

/* One date in asctime's layout in the server's local time zone, newline
 * included; a date the calendar cannot show is its decimal seconds and the
 * newline. Written by hand because asctime has no room past the year 9999. */
const char *DateText(apr_pool_t *pool, int64_t seconds)
{
    static const char *const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char *const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    time_t t = static_cast<time_t>(seconds);
    struct tm tm {};
    if (static_cast<int64_t>(t) != seconds || !localtime_r(&t, &tm) || tm.tm_wday < 0 || tm.tm_wday > 6 ||
        tm.tm_mon < 0 || tm.tm_mon > 11)
        return apr_psprintf(pool, "%" APR_INT64_T_FMT "\n", seconds);
    return apr_psprintf(pool, "%.3s %.3s%3d %.2d:%.2d:%.2d %" APR_INT64_T_FMT "\n", kDays[tm.tm_wday],
                        kMonths[tm.tm_mon], tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                        static_cast<int64_t>(tm.tm_year) + 1900);
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
 * in the event. 0; 21 after "Failed to find instance (%s)"; 2 when it could
 * not be read. */
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

/* Rewrites the whole row from record. 0, or 2 after logging "Error updating
 * an instance on the db: %s". */
int Rewrite(i_ctx *ctx, const PolDbInstance *record)
{
    if (!PolDb_InstanceUpdate(ctx->conn, record)) {
        QuenScLogError("Error updating an instance on the db: %s", Db_GetLastErrorText(ctx->conn));
        return QUENSC_INTERNAL;
    }
    return QUENSC_OK;
}

/* The nine names (and flags) from the metadata. 0, or 2 after "Error get
 * custom field info from database: %s". */
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
    AttributeArgs *a = NewArgs(call);
    int rc = ReadInstanceUid(call, a);
    if (rc == QUENSC_OK)
        rc = QuenScReadInt(call->env, call->params, 2, &a->field);
    if (rc == QUENSC_OK)
        rc = QuenScReadString(call->env, call->params, 3, call->ctx->pool, &a->text);
    if (rc == QUENSC_OK) {
        QuenScEventParam(call, 0, FieldText(call, a->field));
        QuenScEventParam(call, 1, a->text);
    }
    return rc;
}

int QuenScInstanceSetCustomFieldWork(QuenScCall *call)
{
    AttributeArgs *a = Args(call);
    PolDbInstance *instance = nullptr;
    int rc = FindInstance(call, a->instanceUID, &instance);
    if (rc != QUENSC_OK)
        return rc;
    if (!ValidField(a->field)) {
        QuenScLogError("Received request to update invalid custom field: %d", a->field);
        return QUENSC_INVALID_PARAMETER;
    }
    if (!QuenScTextFits(a->text, kCustomMax))
        return QUENSC_INVALID_PARAMETER;
    PolDbInstance record = *instance;
    record.custom[a->field] = const_cast<char *>(a->text);
    return Rewrite(call->ctx, &record);
}

int QuenScInstanceSetAllCustomFieldsRead(QuenScCall *call)
{
    AttributeArgs *a = NewArgs(call);
    int rc = ReadInstanceUid(call, a);
    for (int i = 0; i < kFields && rc == QUENSC_OK; i++)
        rc = QuenScReadString(call->env, call->params, 2 + i, call->ctx->pool, &a->values[i]);
    if (rc == QUENSC_OK)
        for (int i = 0; i < kFields; i++)
            QuenScEventParam(call, i, a->values[i]);
    return rc;
}

int QuenScInstanceSetAllCustomFieldsWork(QuenScCall *call)
{
    AttributeArgs *a = Args(call);
    PolDbInstance *instance = nullptr;
    int rc = FindInstance(call, a->instanceUID, &instance);
    if (rc != QUENSC_OK)
        return rc;
    PolDbInstance record = *instance;
    for (int i = 0; i < kFields; i++) {
        if (!QuenScTextFits(a->values[i], kCustomMax))
            return QUENSC_INVALID_PARAMETER;
        record.custom[i] = const_cast<char *>(a->values[i]);
    }
    return Rewrite(call->ctx, &record);
}

/* ---- custom field names --------------------------------------------------------------- */

int QuenScCustomFieldNumberRead(QuenScCall *call)
{
    AttributeArgs *a = NewArgs(call);
    return QuenScReadInt(call->env, call->params, 1, &a->field);
}

int QuenScInstanceSetCustomFieldNameRead(QuenScCall *call)
{
    AttributeArgs *a = NewArgs(call);
    int rc = QuenScReadInt(call->env, call->params, 1, &a->field);
    if (rc == QUENSC_OK)
        rc = QuenScReadString(call->env, call->params, 2, call->ctx->pool, &a->text);
    if (rc == QUENSC_OK) {
        QuenScEventParam(call, 0, FieldText(call, a->field));
        QuenScEventParam(call, 1, a->text);
    }
    return rc;
}

int QuenScInstanceSetCustomFieldNameWork(QuenScCall *call)
{
    i_ctx *ctx = call->ctx;
    AttributeArgs *a = Args(call);
    const char **stored = nullptr;
    bool *readOnly = nullptr;
    int rc = ReadFieldNames(ctx, &stored, &readOnly);
    if (rc != QUENSC_OK)
        return rc;
    if (!ValidField(a->field)) {
        QuenScLogError("Received request to update name of invalid custom field: %d", a->field);
        return QUENSC_INVALID_PARAMETER;
    }
    if (!QuenScTextFits(a->text, kFieldNameMax))
        return QUENSC_INVALID_PARAMETER;
    const char *names[kFields];
    for (int i = 0; i < kFields; i++)
        names[i] = stored[i];
    names[a->field] = a->text ? a->text : "";
    if (!PolDb_InstanceSetCustomFields(ctx->conn, names, readOnly)) {
        QuenScLogError("Error updating instance custom field names on db: %s", Db_GetLastErrorText(ctx->conn));
        return QUENSC_INTERNAL;
    }
    return QUENSC_OK;
}

int QuenScInstanceGetCustomFieldNameWork(QuenScCall *call)
{
    AttributeArgs *a = Args(call);
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
    int rc = QuenScCustomFieldNumberRead(call);
    if (rc == QUENSC_OK)
        QuenScEventParam(call, 0, FieldText(call, Args(call)->field));
    return rc;
}

int QuenScInstanceClearCustomFieldWork(QuenScCall *call)
{
    i_ctx *ctx = call->ctx;
    int field = Args(call)->field;
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
    AttributeArgs *a = NewArgs(call);
    int rc = ReadInstanceUid(call, a);
    if (rc == QUENSC_OK)
        rc = QuenScReadGuestInfo(call->env, call->params, 2, call->ctx->pool, &a->guest);
    if (rc == QUENSC_OK) {
        QuenScEventParam(call, 0, a->guest.ip);
        QuenScEventParam(call, 1, a->guest.macAddress);
        QuenScEventParam(call, 2, a->guest.configMsg);
        QuenScEventParam(call, 3, a->guest.machineName);
        QuenScEventParam(call, 4, GuestStatusName(a->guest.status));
    }
    return rc;
}

int QuenScInstanceSetGuestInfoWork(QuenScCall *call)
{
    i_ctx *ctx = call->ctx;
    AttributeArgs *a = Args(call);
    PolDbInstance *instance = nullptr;
    int rc = FindInstance(call, a->instanceUID, &instance);
    if (rc != QUENSC_OK)
        return rc;
    const QuenScGuestInfo &g = a->guest;
    if (!QuenScTextFits(g.ip, kGuestTextMax) || !QuenScTextFits(g.macAddress, kGuestTextMax) ||
        !QuenScTextFits(g.configMsg, kConfigMsgMax) || !QuenScTextFits(g.machineName, kGuestTextMax))
        return QUENSC_INVALID_PARAMETER;
    PolDbInstance record = *instance;
    record.guestIpAddress = const_cast<char *>(g.ip);
    record.guestMacAddress = const_cast<char *>(g.macAddress);
    record.guestConfigMsg = const_cast<char *>(g.configMsg);
    record.guestMachineName = const_cast<char *>(g.machineName);
    record.guestConfigStatus = g.status;
    if (!PolDb_InstanceUpdate(ctx->conn, &record)) {
        QuenScLogError("Error updating guest info on the db: %s - %s", a->instanceUID,
                       Db_GetLastErrorText(ctx->conn));
        return QUENSC_INTERNAL;
    }
    return QUENSC_OK;
}

int QuenScInstanceSetHostInfoRead(QuenScCall *call)
{
    AttributeArgs *a = NewArgs(call);
    int rc = ReadInstanceUid(call, a);
    if (rc == QUENSC_OK)
        rc = QuenScReadHostInfo(call->env, call->params, 2, call->ctx->pool, &a->host);
    if (rc == QUENSC_OK) {
        QuenScEventParam(call, 0, a->host.ip);
        QuenScEventParam(call, 1, a->host.hostname);
    }
    return rc;
}

int QuenScInstanceSetHostInfoWork(QuenScCall *call)
{
    AttributeArgs *a = Args(call);
    PolDbInstance *instance = nullptr;
    int rc = FindInstance(call, a->instanceUID, &instance);
    if (rc != QUENSC_OK)
        return rc;
    if (!QuenScTextFits(a->host.hostname, kGuestTextMax) || !QuenScTextFits(a->host.ip, kGuestTextMax))
        return QUENSC_INVALID_PARAMETER;
    PolDbInstance record = *instance;
    record.hostName = const_cast<char *>(a->host.hostname);
    record.hostIp = const_cast<char *>(a->host.ip);
    return Rewrite(call->ctx, &record);
}

/* ---- validity window --------------------------------------------------------------------- */

int QuenScInstanceSetExpirationRead(QuenScCall *call)
{
    AttributeArgs *a = NewArgs(call);
    int rc = ReadInstanceUid(call, a);
    if (rc == QUENSC_OK)
        rc = QuenScReadInt(call->env, call->params, 2, &a->inherit);
    if (rc == QUENSC_OK)
        rc = QuenScReadInt(call->env, call->params, 3, &a->enable);
    if (rc == QUENSC_OK)
        rc = QuenScReadInt64(call->env, call->params, 4, &a->start);
    if (rc == QUENSC_OK)
        rc = QuenScReadInt64(call->env, call->params, 5, &a->end);
    if (rc == QUENSC_OK) {
        apr_pool_t *pool = call->ctx->pool;
        QuenScEventParam(call, 0, Flag(a->inherit));
        QuenScEventParam(call, 1, Flag(a->enable));
        QuenScEventParam(call, 2, DateText(pool, a->start));
        QuenScEventParam(call, 3, DateText(pool, a->end));
    }
    return rc;
}

int QuenScInstanceSetExpirationWork(QuenScCall *call)
{
    i_ctx *ctx = call->ctx;
    AttributeArgs *a = Args(call);
    PolDbInstance *instance = nullptr;
    int rc = FindInstance(call, a->instanceUID, &instance);
    if (rc != QUENSC_OK)
        return rc;
    /* Only a window of the instance's own must make sense; equal bounds are
     * a window of one second. */
    if (!a->inherit && a->enable && a->start > a->end)
        return QUENSC_INVALID_PARAMETER;
    PolDbInstance record = *instance;
    record.inheritsExpiration = a->inherit != 0;
    if (a->inherit) {
        rc = QuenScComputeExpiration(ctx, &record, &record.useValidDates, &record.validDateStart,
                                     &record.validDateEnd);
        if (rc != QUENSC_OK) {
            QuenScLogError("Failed to update expiration date for instance: %s", a->instanceUID);
            return rc;
        }
    } else if (a->enable) {
        record.useValidDates = true;
        record.validDateStart = a->start;
        record.validDateEnd = a->end;
    } else {
        record.useValidDates = false;
        record.validDateStart = 0;
        record.validDateEnd = INT64_MAX;
    }
    return Rewrite(ctx, &record);
}

/* ---- copy-protection id ------------------------------------------------------------------ */

int QuenScInstanceSetCopyProtectionIdRead(QuenScCall *call)
{
    AttributeArgs *a = NewArgs(call);
    int rc = ReadInstanceUid(call, a);
    if (rc == QUENSC_OK)
        rc = QuenScReadString(call->env, call->params, 2, call->ctx->pool, &a->text);
    return rc;
}

int QuenScInstanceSetCopyProtectionIdWork(QuenScCall *call)
{
    AttributeArgs *a = Args(call);
    PolDbInstance *instance = nullptr;
    int rc = FindInstance(call, a->instanceUID, &instance);
    if (rc != QUENSC_OK)
        return rc;
    if (!QuenScTextFits(a->text, kCopyProtectionMax))
        return QUENSC_INVALID_PARAMETER;
    PolDbInstance record = *instance;
    record.copyProtectionId = const_cast<char *>(a->text);
    return Rewrite(call->ctx, &record);
}
