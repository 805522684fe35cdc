/* XML-RPC value marshalling: typed readers for arguments and struct members,
 * the object struct readers and writers, credentials, instance query clauses
 * and the credential's audit text. */
#include "frame/marshal.h"

#include "frame/log.h"

#include <apr_strings.h>

#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <utility>

namespace {

constexpr int kOk = QUENSC_OK;
constexpr int kFail = QUENSC_INTERNAL;

/* A reader only runs on a clean environment: a pending fault means an
 * earlier argument already failed, and the reader then returns failure
 * without touching its output or the fault. */
bool EnvUsable(xmlrpc_env *env)
{
    return env && !env->fault_occurred;
}

/* The array element at index as a new reference, or null with a fault. */
xmlrpc_value *FetchItem(xmlrpc_env *env, xmlrpc_value *array, int index)
{
    if (!array) {
        xmlrpc_env_set_fault(env, XMLRPC_TYPE_ERROR, "No parameter array to read from");
        return nullptr;
    }
    if (index < 0) {
        xmlrpc_env_set_fault_formatted(env, XMLRPC_INDEX_ERROR, "Array index %d is negative", index);
        return nullptr;
    }
    xmlrpc_value *item = nullptr;
    xmlrpc_array_read_item(env, array, static_cast<unsigned int>(index), &item);
    return env->fault_occurred ? nullptr : item;
}

/* The struct member as a new reference, or null with a fault (-502 when the
 * struct has no such member, -501 when st is not a struct). */
xmlrpc_value *FetchMember(xmlrpc_env *env, xmlrpc_value *st, const char *name)
{
    if (!st || !name) {
        xmlrpc_env_set_fault(env, XMLRPC_TYPE_ERROR, "No struct or member name to read");
        return nullptr;
    }
    xmlrpc_value *member = nullptr;
    xmlrpc_struct_read_value(env, st, name, &member);
    return env->fault_occurred ? nullptr : member;
}

/* Like FetchMember, but a member that is not there is no failure: returns
 * null and sets *missing, with no fault. */
xmlrpc_value *FetchOptionalMember(xmlrpc_env *env, xmlrpc_value *st, const char *name, bool *missing)
{
    *missing = false;
    xmlrpc_value *member = nullptr;
    xmlrpc_struct_find_value(env, st, name, &member);
    if (env->fault_occurred)
        return nullptr;
    if (!member)
        *missing = true;
    return member;
}

int StringFromValue(xmlrpc_env *env, xmlrpc_value *value, apr_pool_t *pool, const char **out)
{
    const char *text = nullptr;
    xmlrpc_read_string(env, value, &text);
    if (env->fault_occurred)
        return kFail;
    *out = apr_pstrdup(pool, text);
    free(const_cast<char *>(text));
    return kOk;
}

int IntFromValue(xmlrpc_env *env, xmlrpc_value *value, int *out)
{
    int v = 0;
    xmlrpc_read_int(env, value, &v);
    if (env->fault_occurred)
        return kFail;
    *out = v;
    return kOk;
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

/* Strict decimal conversion: blanks, an optional sign, digits, blanks. An
 * empty or all-blank text is 0 (a date that is not set). Refuses any other
 * character and values outside the signed 64-bit range, so that a mistyped
 * date is reported instead of silently becoming another date. */
bool ParseDecimalInt64(const char *text, int64_t *out)
{
    const char *p = text;
    while (IsBlank(*p))
        p++;
    if (!*p) {
        *out = 0;
        return true;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        p++;
    }
    if (*p < '0' || *p > '9')
        return false;
    /* The magnitude may reach 2^63 for INT64_MIN. */
    const uint64_t limit = negative ? static_cast<uint64_t>(INT64_MAX) + 1u : static_cast<uint64_t>(INT64_MAX);
    uint64_t magnitude = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        unsigned digit = static_cast<unsigned>(*p - '0');
        if (magnitude > (limit - digit) / 10u)
            return false;
        magnitude = magnitude * 10u + digit;
    }
    while (IsBlank(*p))
        p++;
    if (*p)
        return false;
    /* Two's-complement wrap of 2^63 gives INT64_MIN. */
    *out = negative ? static_cast<int64_t>(0u - magnitude) : static_cast<int64_t>(magnitude);
    return true;
}

int Int64FromValue(xmlrpc_env *env, xmlrpc_value *value, int64_t *out)
{
    xmlrpc_type type = xmlrpc_value_type(value);
    if (type == XMLRPC_TYPE_BASE64) {
        size_t length = 0;
        xmlrpc_read_base64_size(env, value, &length);
        if (env->fault_occurred)
            return kFail;
        if (length != 8) {
            xmlrpc_env_set_fault_formatted(env, XMLRPC_TYPE_ERROR,
                                           "A 64-bit value must be 8 bytes of base64, not %lu",
                                           static_cast<unsigned long>(length));
            return kFail;
        }
        const unsigned char *bytes = nullptr;
        xmlrpc_read_base64(env, value, &length, &bytes);
        if (env->fault_occurred)
            return kFail;
        uint64_t u = 0;
        for (int i = 7; i >= 0; i--)
            u = (u << 8) | bytes[i];
        free(const_cast<unsigned char *>(bytes));
        *out = static_cast<int64_t>(u);
        return kOk;
    }
    if (type == XMLRPC_TYPE_STRING) {
        const char *text = nullptr;
        xmlrpc_read_string(env, value, &text);
        if (env->fault_occurred)
            return kFail;
        int64_t v = 0;
        bool ok = ParseDecimalInt64(text, &v);
        if (!ok)
            xmlrpc_env_set_fault_formatted(env, XMLRPC_TYPE_ERROR,
                                           "'%.40s' is not a decimal 64-bit integer", text);
        free(const_cast<char *>(text));
        if (!ok)
            return kFail;
        *out = v;
        return kOk;
    }
    xmlrpc_env_set_fault_formatted(env, XMLRPC_TYPE_ERROR,
                                   "A 64-bit value must be base64 or a string, not type #%d",
                                   static_cast<int>(type));
    return kFail;
}

bool NeedOutput(xmlrpc_env *env, const void *out)
{
    if (out)
        return true;
    xmlrpc_env_set_fault(env, XMLRPC_INTERNAL_ERROR, "No output to read into");
    return false;
}

bool NeedPool(xmlrpc_env *env, apr_pool_t *pool)
{
    if (pool)
        return true;
    xmlrpc_env_set_fault(env, XMLRPC_INTERNAL_ERROR, "No memory pool to copy texts into");
    return false;
}

/* Reads the struct at index with readMembers(st); releases the struct in
 * every case and clears the record when reading failed (but leaves it
 * alone while a fault is pending). */
template <typename Record, typename ReadMembers>
int ReadStructAt(xmlrpc_env *env, xmlrpc_value *params, int index, Record *out, ReadMembers readMembers)
{
    if (!EnvUsable(env))
        return kFail;
    if (out)
        *out = Record{};
    if (!NeedOutput(env, out))
        return kFail;
    xmlrpc_value *st = FetchItem(env, params, index);
    if (!st)
        return kFail;
    int rc = readMembers(st) ? kFail : kOk;
    xmlrpc_DECREF(st);
    if (rc != kOk)
        *out = Record{};
    return rc;
}

} // namespace

/* ---- Scalar readers ------------------------------------------------- */

int QuenScReadString(xmlrpc_env *env, xmlrpc_value *params, int index, apr_pool_t *pool, const char **out)
{
    if (!EnvUsable(env))
        return kFail;
    if (out)
        *out = nullptr;
    if (!NeedOutput(env, out) || !NeedPool(env, pool))
        return kFail;
    xmlrpc_value *item = FetchItem(env, params, index);
    if (!item)
        return kFail;
    int rc = StringFromValue(env, item, pool, out);
    xmlrpc_DECREF(item);
    return rc;
}

int QuenScReadInt(xmlrpc_env *env, xmlrpc_value *params, int index, int *out)
{
    if (!EnvUsable(env) || !NeedOutput(env, out))
        return kFail;
    xmlrpc_value *item = FetchItem(env, params, index);
    if (!item)
        return kFail;
    int rc = IntFromValue(env, item, out);
    xmlrpc_DECREF(item);
    return rc;
}

int QuenScReadInt64(xmlrpc_env *env, xmlrpc_value *params, int index, int64_t *out)
{
    if (!EnvUsable(env) || !NeedOutput(env, out))
        return kFail;
    xmlrpc_value *item = FetchItem(env, params, index);
    if (!item)
        return kFail;
    int rc = Int64FromValue(env, item, out);
    xmlrpc_DECREF(item);
    return rc;
}

int QuenScReadStringMember(xmlrpc_env *env, xmlrpc_value *st, const char *name, apr_pool_t *pool,
                           const char **out)
{
    if (!EnvUsable(env))
        return kFail;
    if (out)
        *out = nullptr;
    if (!NeedOutput(env, out) || !NeedPool(env, pool))
        return kFail;
    xmlrpc_value *member = FetchMember(env, st, name);
    if (!member)
        return kFail;
    int rc = StringFromValue(env, member, pool, out);
    xmlrpc_DECREF(member);
    return rc;
}

int QuenScReadIntMember(xmlrpc_env *env, xmlrpc_value *st, const char *name, int *out)
{
    if (!EnvUsable(env) || !NeedOutput(env, out))
        return kFail;
    xmlrpc_value *member = FetchMember(env, st, name);
    if (!member)
        return kFail;
    int rc = IntFromValue(env, member, out);
    xmlrpc_DECREF(member);
    return rc;
}

int QuenScReadInt64Member(xmlrpc_env *env, xmlrpc_value *st, const char *name, int64_t *out)
{
    if (!EnvUsable(env) || !NeedOutput(env, out))
        return kFail;
    xmlrpc_value *member = FetchMember(env, st, name);
    if (!member)
        return kFail;
    int rc = Int64FromValue(env, member, out);
    xmlrpc_DECREF(member);
    return rc;
}

/* ---- Struct readers ------------------------------------------------- */

int QuenScReadQuen(xmlrpc_env *env, xmlrpc_value *params, int index, apr_pool_t *pool, QuenScQuenRecord *out)
{
    return ReadStructAt(env, params, index, out, [&](xmlrpc_value *st) {
        return QuenScReadStringMember(env, st, "uuid", pool, &out->uuid) ||
               QuenScReadStringMember(env, st, "name", pool, &out->name);
    });
}

int QuenScReadPolicy(xmlrpc_env *env, xmlrpc_value *params, int index, QuenScPolicyRecord *out)
{
    return ReadStructAt(env, params, index, out, [&](xmlrpc_value *st) {
        return QuenScReadIntMember(env, st, "instType", &out->instType) ||
               QuenScReadIntMember(env, st, "authType", &out->authType) ||
               QuenScReadIntMember(env, st, "useInstanceLimit", &out->useInstanceLimit) ||
               QuenScReadIntMember(env, st, "instanceLimit", &out->instanceLimit) ||
               QuenScReadIntMember(env, st, "usePerUserInstanceLimit", &out->usePerUserInstanceLimit) ||
               QuenScReadIntMember(env, st, "perUserInstanceLimit", &out->perUserInstanceLimit) ||
               QuenScReadIntMember(env, st, "expType", &out->expType) ||
               QuenScReadInt64Member(env, st, "expValue_1", &out->expValue1) ||
               QuenScReadInt64Member(env, st, "expValue_2", &out->expValue2) ||
               QuenScReadInt64Member(env, st, "sessionLifetime", &out->sessionLifetime) ||
               QuenScReadIntMember(env, st, "copyPolicy", &out->copyPolicy);
    });
}

int QuenScReadPackage(xmlrpc_env *env, xmlrpc_value *params, int index, apr_pool_t *pool,
                      QuenScPackageRecord *out)
{
    return ReadStructAt(env, params, index, out, [&](xmlrpc_value *st) {
        return QuenScReadStringMember(env, st, "uuid", pool, &out->uuid) ||
               QuenScReadStringMember(env, st, "quen_uuid", pool, &out->quenUuid) ||
               QuenScReadStringMember(env, st, "name", pool, &out->name) ||
               QuenScReadIntMember(env, st, "useValidDates", &out->useValidDates) ||
               QuenScReadInt64Member(env, st, "validDateStart", &out->validDateStart) ||
               QuenScReadInt64Member(env, st, "validDateEnd", &out->validDateEnd) ||
               QuenScReadStringMember(env, st, "key", pool, &out->key) ||
               QuenScReadIntMember(env, st, "disabled", &out->disabled) ||
               QuenScReadIntMember(env, st, "preview", &out->preview);
    });
}

int QuenScReadAccess(xmlrpc_env *env, xmlrpc_value *params, int index, apr_pool_t *pool,
                     QuenScAccessRecord *out)
{
    return ReadStructAt(env, params, index, out, [&](xmlrpc_value *st) {
        return QuenScReadStringMember(env, st, "data", pool, &out->data) ||
               QuenScReadStringMember(env, st, "name", pool, &out->name) ||
               QuenScReadIntMember(env, st, "type", &out->type) ||
               QuenScReadIntMember(env, st, "useInstanceLimit", &out->useInstanceLimit) ||
               QuenScReadIntMember(env, st, "instanceLimit", &out->instanceLimit);
    });
}

int QuenScReadMacPool(xmlrpc_env *env, xmlrpc_value *params, int index, apr_pool_t *pool,
                      QuenScMacPoolRecord *out)
{
    return ReadStructAt(env, params, index, out, [&](xmlrpc_value *st) {
        return QuenScReadStringMember(env, st, "uuid", pool, &out->uuid) ||
               QuenScReadStringMember(env, st, "quen_uuid", pool, &out->quenUuid) ||
               QuenScReadStringMember(env, st, "name", pool, &out->name) ||
               QuenScReadStringMember(env, st, "description", pool, &out->description) ||
               QuenScReadStringMember(env, st, "rangeStart", pool, &out->rangeStart) ||
               QuenScReadStringMember(env, st, "rangeEnd", pool, &out->rangeEnd) ||
               QuenScReadStringMember(env, st, "lastAssigned", pool, &out->lastAssigned);
    });
}

int QuenScReadUserData(xmlrpc_env *env, xmlrpc_value *params, int index, apr_pool_t *pool,
                       QuenScUserDataRecord *out)
{
    return ReadStructAt(env, params, index, out, [&](xmlrpc_value *st) {
        return QuenScReadStringMember(env, st, "activator", pool, &out->activator) ||
               QuenScReadStringMember(env, st, "name", pool, &out->name) ||
               QuenScReadStringMember(env, st, "value", pool, &out->value) ||
               QuenScReadIntMember(env, st, "type", &out->type);
    });
}

int QuenScReadHostInfo(xmlrpc_env *env, xmlrpc_value *params, int index, apr_pool_t *pool, QuenScHostInfo *out)
{
    return ReadStructAt(env, params, index, out, [&](xmlrpc_value *st) {
        return QuenScReadStringMember(env, st, "hostname", pool, &out->hostname) ||
               QuenScReadStringMember(env, st, "ip", pool, &out->ip);
    });
}

int QuenScReadGuestInfo(xmlrpc_env *env, xmlrpc_value *params, int index, apr_pool_t *pool,
                        QuenScGuestInfo *out)
{
    return ReadStructAt(env, params, index, out, [&](xmlrpc_value *st) {
        return QuenScReadStringMember(env, st, "ip", pool, &out->ip) ||
               QuenScReadStringMember(env, st, "macAddress", pool, &out->macAddress) ||
               QuenScReadStringMember(env, st, "configMsg", pool, &out->configMsg) ||
               QuenScReadStringMember(env, st, "machineName", pool, &out->machineName) ||
               QuenScReadIntMember(env, st, "status", &out->status);
    });
}

namespace {

/* Reads the texts of the nested struct member outer[name] into the given
 * slots, member names and slots paired in order. */
int ReadNestedTexts(xmlrpc_env *env, xmlrpc_value *outer, const char *name, apr_pool_t *pool,
                    std::initializer_list<std::pair<const char *, const char **>> members)
{
    xmlrpc_value *inner = FetchMember(env, outer, name);
    if (!inner)
        return kFail;
    int rc = kOk;
    for (const auto &m : members) {
        rc = QuenScReadStringMember(env, inner, m.first, pool, m.second);
        if (rc != kOk)
            break;
    }
    xmlrpc_DECREF(inner);
    return rc;
}

} // namespace

int QuenScReadCredential(xmlrpc_env *env, xmlrpc_value *params, int index, apr_pool_t *pool,
                         QuenScCredential *out)
{
    return ReadStructAt(env, params, index, out, [&](xmlrpc_value *st) {
        if (QuenScReadIntMember(env, st, "type", &out->type))
            return kFail;
        switch (out->type) {
        case QUENSC_CRED_NULL:
            return kOk;
        case QUENSC_CRED_LDAP:
            return ReadNestedTexts(env, st, "ldap", pool,
                                   {{"name", &out->value1}, {"pwd", &out->value2}, {"domain", &out->value3}});
        case QUENSC_CRED_PASSWORD:
            return ReadNestedTexts(env, st, "pwd", pool, {{"pwd", &out->value1}});
        case QUENSC_CRED_TOKEN:
            return ReadNestedTexts(env, st, "token", pool, {{"token", &out->value1}});
        default:
            /* Kept as read: whoever uses the credential refuses it. */
            QuenScLogError("Invalid cred type read from server: %d", out->type);
            return kOk;
        }
    });
}

/* ---- Instance query ------------------------------------------------- */

namespace {

enum class ClauseKind { TextList, Text, IntPair, Date, Bool };

struct ClauseSlot {
    const char *member;
    ClauseKind kind;
    void *slot;
};

/* Reads the optional clause member "name" of clause into *out; a missing
 * member leaves *out as it is. */
template <typename Value, typename Convert>
int ReadOptional(xmlrpc_env *env, xmlrpc_value *clause, const char *name, Value *out, Convert convert)
{
    bool missing = false;
    xmlrpc_value *member = FetchOptionalMember(env, clause, name, &missing);
    if (missing)
        return kOk;
    if (!member)
        return kFail;
    int rc = convert(member, out);
    xmlrpc_DECREF(member);
    return rc;
}

int ReadTextList(xmlrpc_env *env, xmlrpc_value *array, apr_pool_t *pool, const char ***out)
{
    int count = xmlrpc_array_size(env, array);
    if (env->fault_occurred)
        return kFail;
    auto **list = static_cast<const char **>(apr_pcalloc(pool, (static_cast<size_t>(count) + 1) * sizeof(char *)));
    for (int i = 0; i < count; i++) {
        xmlrpc_value *item = FetchItem(env, array, i);
        if (!item)
            return kFail;
        int rc = StringFromValue(env, item, pool, &list[i]);
        xmlrpc_DECREF(item);
        if (rc != kOk)
            return kFail;
    }
    *out = list;
    return kOk;
}

int ReadClause(xmlrpc_env *env, xmlrpc_value *clause, const ClauseSlot &slot, apr_pool_t *pool)
{
    auto asInt = [&](xmlrpc_value *v, int *o) { return IntFromValue(env, v, o); };
    auto asInt64 = [&](xmlrpc_value *v, int64_t *o) { return Int64FromValue(env, v, o); };
    auto asText = [&](xmlrpc_value *v, const char **o) { return StringFromValue(env, v, pool, o); };
    auto asTextList = [&](xmlrpc_value *v, const char ***o) { return ReadTextList(env, v, pool, o); };

    switch (slot.kind) {
    case ClauseKind::TextList: {
        auto *c = static_cast<QuenScTextListClause *>(slot.slot);
        return ReadOptional(env, clause, "type", &c->type, asInt) ||
               ReadOptional(env, clause, "val0", &c->values, asTextList);
    }
    case ClauseKind::Text: {
        auto *c = static_cast<QuenScTextClause *>(slot.slot);
        return ReadOptional(env, clause, "type", &c->type, asInt) ||
               ReadOptional(env, clause, "val0", &c->val0, asText) ||
               ReadOptional(env, clause, "val1", &c->val1, asText);
    }
    case ClauseKind::IntPair: {
        auto *c = static_cast<QuenScIntClause *>(slot.slot);
        return ReadOptional(env, clause, "type", &c->type, asInt) ||
               ReadOptional(env, clause, "val0", &c->val0, asInt) ||
               ReadOptional(env, clause, "val1", &c->val1, asInt);
    }
    case ClauseKind::Date: {
        auto *c = static_cast<QuenScDateClause *>(slot.slot);
        return ReadOptional(env, clause, "type", &c->type, asInt) ||
               ReadOptional(env, clause, "val0", &c->val0, asInt64) ||
               ReadOptional(env, clause, "val1", &c->val1, asInt64);
    }
    case ClauseKind::Bool: {
        auto *c = static_cast<QuenScBoolClause *>(slot.slot);
        return ReadOptional(env, clause, "type", &c->type, asInt) ||
               ReadOptional(env, clause, "val0", &c->val0, asInt);
    }
    }
    return kFail;
}

const char *const kCustomClauseNames[9] = {
    "custom1Clause", "custom2Clause", "custom3Clause", "custom4Clause", "custom5Clause",
    "custom6Clause", "custom7Clause", "custom8Clause", "custom9Clause",
};

} // namespace

int QuenScReadInstanceQuery(xmlrpc_env *env, xmlrpc_value *params, int index, apr_pool_t *pool,
                            QuenScInstanceQuery *out)
{
    return ReadStructAt(env, params, index, out, [&](xmlrpc_value *st) {
        if (!NeedPool(env, pool))
            return kFail;
        QuenScInstanceQuery &q = *out;
        /* In reading order. */
        const ClauseSlot clauses[] = {
            {"uuidClause", ClauseKind::TextList, &q.uuid},
            {"packageUuidClause", ClauseKind::Text, &q.packageUuid},
            {"quenUuidClause", ClauseKind::Text, &q.quenUuid},
            {"packageNameClause", ClauseKind::Text, &q.packageName},
            {"quenNameClause", ClauseKind::Text, &q.quenName},
            {"creatorNameClause", ClauseKind::Text, &q.creatorName},
            {"creatorDataClause", ClauseKind::Text, &q.creatorData},
            {"creatorTypeClause", ClauseKind::IntPair, &q.creatorType},
            {"activationDateClause", ClauseKind::Date, &q.activationDate},
            {"lastPolicyCheckClause", ClauseKind::Date, &q.lastPolicyCheck},
            {"revocationDateClause", ClauseKind::Date, &q.revocationDate},
            {"replacementDateClause", ClauseKind::Date, &q.replacementDate},
            {"inheritsExpirationClause", ClauseKind::Bool, &q.inheritsExpiration},
            {"useValidDatesClause", ClauseKind::Bool, &q.useValidDates},
            {"validDateStartClause", ClauseKind::Date, &q.validDateStart},
            {"validDateEndClause", ClauseKind::Date, &q.validDateEnd},
            {"copyProtectionIdClause", ClauseKind::Text, &q.copyProtectionId},
            {"previewClause", ClauseKind::Bool, &q.preview},
            {"hostNameClause", ClauseKind::Text, &q.hostName},
            {"hostIpClause", ClauseKind::Text, &q.hostIp},
            {"guestMacAddressClause", ClauseKind::Text, &q.guestMacAddress},
            {"guestMachineNameClause", ClauseKind::Text, &q.guestMachineName},
            {"guestConfigStatusClause", ClauseKind::IntPair, &q.guestConfigStatus},
            {"guestConfigMsgClause", ClauseKind::Text, &q.guestConfigMsg},
            {"guestIPClause", ClauseKind::Text, &q.guestIp},
            {"tsCreatedClause", ClauseKind::Date, &q.tsCreated},
            {"tsLastModifiedClause", ClauseKind::Date, &q.tsLastModified},
        };
        for (const ClauseSlot &slot : clauses) {
            auto readClause = [&](xmlrpc_value *clause, void *) { return ReadClause(env, clause, slot, pool); };
            if (ReadOptional(env, st, slot.member, static_cast<void *>(nullptr), readClause))
                return kFail;
        }
        for (int i = 0; i < 9; i++) {
            ClauseSlot slot{kCustomClauseNames[i], ClauseKind::Text, &q.custom[i]};
            auto readClause = [&](xmlrpc_value *clause, void *) { return ReadClause(env, clause, slot, pool); };
            if (ReadOptional(env, st, slot.member, static_cast<void *>(nullptr), readClause))
                return kFail;
        }
        auto asInt = [&](xmlrpc_value *v, int *o) { return IntFromValue(env, v, o); };
        bool failed = ReadOptional(env, st, "limit", &q.limit, asInt) ||
               ReadOptional(env, st, "offset", &q.offset, asInt) ||
               ReadOptional(env, st, "sortOrder1", &q.sortOrder1, asInt) ||
               ReadOptional(env, st, "sortDescending1", &q.sortDescending1, asInt) ||
               ReadOptional(env, st, "sortOrder2", &q.sortOrder2, asInt) ||
               ReadOptional(env, st, "sortDescending2", &q.sortDescending2, asInt) ||
               ReadOptional(env, st, "sortOrder3", &q.sortOrder3, asInt) ||
               ReadOptional(env, st, "sortDescending3", &q.sortDescending3, asInt);
        return failed ? kFail : kOk;
    });
}

/* ---- Writers -------------------------------------------------------- */

namespace {

/* Appends item to array (taking its own reference) and drops ours. On a
 * failure logs message with the fault text. */
void AppendItem(xmlrpc_value *array, xmlrpc_value *item, const char *message)
{
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    xmlrpc_array_append_item(&env, array, item);
    if (env.fault_occurred)
        QuenScLogError(message, env.fault_string);
    xmlrpc_env_clean(&env);
    xmlrpc_DECREF(item);
}

void SetMember(xmlrpc_value *st, const char *name, xmlrpc_value *value, const char *message)
{
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    xmlrpc_struct_set_value(&env, st, name, value);
    if (env.fault_occurred)
        QuenScLogError(message, env.fault_string);
    xmlrpc_env_clean(&env);
    xmlrpc_DECREF(value);
}

/* Builds a value with make(env); null after logging message when that
 * failed. The library's result is not to be trusted after a fault. */
template <typename Make>
xmlrpc_value *MakeValue(const char *message, Make make)
{
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    xmlrpc_value *value = make(&env);
    if (env.fault_occurred) {
        QuenScLogError(message, env.fault_string);
        value = nullptr;
    }
    xmlrpc_env_clean(&env);
    return value;
}

xmlrpc_value *NewString(const char *text, const char *message)
{
    return MakeValue(message, [&](xmlrpc_env *env) { return xmlrpc_string_new(env, text ? text : ""); });
}

xmlrpc_value *NewInt(int value, const char *message)
{
    return MakeValue(message, [&](xmlrpc_env *env) { return xmlrpc_int_new(env, value); });
}

xmlrpc_value *NewInt64(int64_t value, const char *message)
{
    unsigned char bytes[8];
    uint64_t u = static_cast<uint64_t>(value);
    for (int i = 0; i < 8; i++)
        bytes[i] = static_cast<unsigned char>(u >> (8 * i));
    return MakeValue(message, [&](xmlrpc_env *env) { return xmlrpc_base64_new(env, sizeof bytes, bytes); });
}

xmlrpc_value *NewStruct(const char *message)
{
    return MakeValue(message, [](xmlrpc_env *env) { return xmlrpc_struct_new(env); });
}

const char *const kAppendStringMsg = "Error putting string into result rpc msg: %s";
const char *const kAppendIntMsg = "Error putting int into rpc array msg: %s";
const char *const kSetStringMsg = "Error putting string into struct rpc msg: %s";
const char *const kSetIntMsg = "Error putting int into struct msg: %s";

/* Writers called without a container log the same line as a library
 * failure would, so a handler mistake shows in the log. */
bool HaveTarget(const void *container, const void *record, const char *message)
{
    if (container && record)
        return true;
    QuenScLogError(message, "no array, struct or record given");
    return false;
}

/* Builds one object struct with setMembers(st) and appends it to array. */
template <typename SetMembers>
void AppendObject(xmlrpc_value *array, const void *record, const char *message, SetMembers setMembers)
{
    if (!HaveTarget(array, record, message))
        return;
    xmlrpc_value *st = NewStruct(message);
    if (!st)
        return;
    setMembers(st);
    AppendItem(array, st, message);
}

} // namespace

xmlrpc_value *QuenScNewResultArray(void)
{
    return MakeValue("Error creating rpc array: %s", [](xmlrpc_env *env) { return xmlrpc_array_new(env); });
}

void QuenScAppendString(xmlrpc_value *array, const char *text)
{
    if (!HaveTarget(array, array, kAppendStringMsg))
        return;
    if (xmlrpc_value *v = NewString(text, kAppendStringMsg))
        AppendItem(array, v, kAppendStringMsg);
}

void QuenScAppendInt(xmlrpc_value *array, int value)
{
    if (!HaveTarget(array, array, kAppendIntMsg))
        return;
    if (xmlrpc_value *v = NewInt(value, kAppendIntMsg))
        AppendItem(array, v, kAppendIntMsg);
}

void QuenScSetStringMember(xmlrpc_value *st, const char *name, const char *text)
{
    if (!HaveTarget(st, name, kSetStringMsg))
        return;
    if (xmlrpc_value *v = NewString(text, kSetStringMsg))
        SetMember(st, name, v, kSetStringMsg);
}

void QuenScSetIntMember(xmlrpc_value *st, const char *name, int value)
{
    if (!HaveTarget(st, name, kSetIntMsg))
        return;
    if (xmlrpc_value *v = NewInt(value, kSetIntMsg))
        SetMember(st, name, v, kSetIntMsg);
}

void QuenScSetInt64Member(xmlrpc_value *st, const char *name, int64_t value)
{
    if (!HaveTarget(st, name, kSetIntMsg))
        return;
    if (xmlrpc_value *v = NewInt64(value, kSetIntMsg))
        SetMember(st, name, v, kSetIntMsg);
}

void QuenScAppendQuen(xmlrpc_value *array, const QuenScQuenRecord *quen)
{
    AppendObject(array, quen, "Error an quen string result rpc msg: %s", [&](xmlrpc_value *st) {
        QuenScSetStringMember(st, "uuid", quen->uuid);
        QuenScSetStringMember(st, "name", quen->name);
    });
}

void QuenScAppendPolicy(xmlrpc_value *array, const QuenScPolicyRecord *policy)
{
    AppendObject(array, policy, "Error putting an quen policies into result rpc msg: %s", [&](xmlrpc_value *st) {
        QuenScSetIntMember(st, "instType", policy->instType);
        QuenScSetIntMember(st, "authType", policy->authType);
        QuenScSetIntMember(st, "useInstanceLimit", policy->useInstanceLimit);
        QuenScSetIntMember(st, "instanceLimit", policy->instanceLimit);
        QuenScSetIntMember(st, "usePerUserInstanceLimit", policy->usePerUserInstanceLimit);
        QuenScSetIntMember(st, "perUserInstanceLimit", policy->perUserInstanceLimit);
        QuenScSetIntMember(st, "expType", policy->expType);
        QuenScSetInt64Member(st, "expValue_1", policy->expValue1);
        QuenScSetInt64Member(st, "expValue_2", policy->expValue2);
        QuenScSetInt64Member(st, "sessionLifetime", policy->sessionLifetime);
        QuenScSetIntMember(st, "copyPolicy", policy->copyPolicy);
    });
}

void QuenScAppendPackage(xmlrpc_value *array, const QuenScPackageRecord *package)
{
    AppendObject(array, package, "Error putting a package into result rpc msg: %s", [&](xmlrpc_value *st) {
        QuenScSetStringMember(st, "uuid", package->uuid);
        QuenScSetStringMember(st, "quen_uuid", package->quenUuid);
        QuenScSetStringMember(st, "name", package->name);
        QuenScSetIntMember(st, "useValidDates", package->useValidDates);
        QuenScSetInt64Member(st, "validDateStart", package->validDateStart);
        QuenScSetInt64Member(st, "validDateEnd", package->validDateEnd);
        /* The protection key only ever reaches a client through instance
         * creation; package results keep the member but never the key. */
        QuenScSetStringMember(st, "key", "");
        QuenScSetIntMember(st, "disabled", package->disabled);
        QuenScSetIntMember(st, "preview", package->preview);
    });
}

void QuenScAppendAccess(xmlrpc_value *array, const QuenScAccessRecord *access)
{
    AppendObject(array, access, "Error putting a access into result rpc msg: %s", [&](xmlrpc_value *st) {
        QuenScSetStringMember(st, "data", access->data);
        QuenScSetStringMember(st, "name", access->name);
        QuenScSetIntMember(st, "type", access->type);
        QuenScSetIntMember(st, "useInstanceLimit", access->useInstanceLimit);
        QuenScSetIntMember(st, "instanceLimit", access->instanceLimit);
    });
}

void QuenScAppendMacPool(xmlrpc_value *array, const QuenScMacPoolRecord *macPool)
{
    AppendObject(array, macPool, "Error putting a mac pool object into result rpc msg: %s", [&](xmlrpc_value *st) {
        QuenScSetStringMember(st, "uuid", macPool->uuid);
        QuenScSetStringMember(st, "quen_uuid", macPool->quenUuid);
        QuenScSetStringMember(st, "name", macPool->name);
        QuenScSetStringMember(st, "description", macPool->description);
        QuenScSetStringMember(st, "rangeStart", macPool->rangeStart);
        QuenScSetStringMember(st, "rangeEnd", macPool->rangeEnd);
        QuenScSetStringMember(st, "lastAssigned", macPool->lastAssigned);
    });
}

void QuenScAppendUserData(xmlrpc_value *array, const QuenScUserDataRecord *userData)
{
    AppendObject(array, userData, "Error putting a user_data into result rpc msg: %s", [&](xmlrpc_value *st) {
        QuenScSetStringMember(st, "activator", userData->activator);
        QuenScSetStringMember(st, "name", userData->name);
        QuenScSetStringMember(st, "value", userData->value);
        QuenScSetIntMember(st, "type", userData->type);
    });
}

void QuenScAppendInstance(xmlrpc_value *array, const QuenScInstanceRecord *instance)
{
    static const char *const customNames[9] = {"custom1", "custom2", "custom3", "custom4", "custom5",
                                               "custom6", "custom7", "custom8", "custom9"};
    AppendObject(array, instance, "Error putting a instance into result rpc msg: %s", [&](xmlrpc_value *st) {
        const QuenScInstanceRecord &i = *instance;
        QuenScSetStringMember(st, "uuid", i.uuid);
        QuenScSetStringMember(st, "package_uuid", i.packageUuid);
        QuenScSetStringMember(st, "package_name", i.packageName);
        QuenScSetStringMember(st, "quen_uuid", i.quenUuid);
        QuenScSetStringMember(st, "quen_name", i.quenName);
        QuenScSetStringMember(st, "creatorName", i.creatorName);
        QuenScSetStringMember(st, "creatorData", i.creatorData);
        QuenScSetIntMember(st, "creatorType", i.creatorType);
        QuenScSetInt64Member(st, "activationDate", i.activationDate);
        QuenScSetInt64Member(st, "lastPolicyCheck", i.lastPolicyCheck);
        QuenScSetInt64Member(st, "revocationDate", i.revocationDate);
        QuenScSetInt64Member(st, "replacementDate", i.replacementDate);
        QuenScSetIntMember(st, "inheritsExpiration", i.inheritsExpiration);
        QuenScSetIntMember(st, "useValidDates", i.useValidDates);
        QuenScSetInt64Member(st, "validDateStart", i.validDateStart);
        QuenScSetInt64Member(st, "validDateEnd", i.validDateEnd);
        QuenScSetInt64Member(st, "ttl", i.ttl);
        QuenScSetStringMember(st, "copyProtectionId", i.copyProtectionId);
        QuenScSetIntMember(st, "state", i.state);
        QuenScSetStringMember(st, "hostInfo.hostname", i.hostInfo.hostname);
        QuenScSetStringMember(st, "hostInfo.ip", i.hostInfo.ip);
        QuenScSetStringMember(st, "guestInfo.ip", i.guestInfo.ip);
        QuenScSetStringMember(st, "guestInfo.macAddress", i.guestInfo.macAddress);
        QuenScSetStringMember(st, "guestInfo.configMsg", i.guestInfo.configMsg);
        QuenScSetStringMember(st, "guestInfo.machineName", i.guestInfo.machineName);
        QuenScSetIntMember(st, "guestInfo.status", i.guestInfo.status);
        QuenScSetIntMember(st, "preview", i.preview);
        for (int n = 0; n < 9; n++)
            QuenScSetStringMember(st, customNames[n], i.custom[n]);
    });
}

void QuenScAppendServerInfo(xmlrpc_value *array, const QuenScServerInfo *info)
{
    const char *message = "Error putting a server_info into result rpc msg: %s";
    AppendObject(array, info, message, [&](xmlrpc_value *st) {
        if (xmlrpc_value *ldap = NewStruct(message)) {
            QuenScSetIntMember(ldap, "enabled", info->enabled);
            QuenScSetIntMember(ldap, "pwdChangeCapable", info->pwdChangeCapable);
            QuenScSetIntMember(ldap, "secure", info->secure);
            QuenScSetStringMember(ldap, "base_dn", info->baseDn);
            SetMember(st, "ldap", ldap, message);
        }
        QuenScSetIntMember(st, "protocol", info->protocol);
    });
}

/* ---- Audit text ----------------------------------------------------- */

const char *QuenScCredentialDescription(apr_pool_t *pool, const QuenScCredential *cred)
{
    auto text = [](const char *s) { return s ? s : ""; };
    if (!cred)
        return "";
    switch (cred->type) {
    case QUENSC_CRED_NULL:
        return "type = NULL";
    case QUENSC_CRED_LDAP:
        return apr_psprintf(pool, "type = LDAP, name = \"%s\", domain = \"%s\"", text(cred->value1),
                            text(cred->value3));
    case QUENSC_CRED_PASSWORD:
        return "type = PASSWORD, value = \"********\"";
    case QUENSC_CRED_TOKEN:
        return apr_psprintf(pool, "type = TOKEN, value = \"%s\"", text(cred->value1));
    default:
        return "type = UNKNOWN";
    }
}
