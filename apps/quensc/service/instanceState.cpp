/* Instance state, time left, counting and the inherited validity window. */
#include "service/instanceState.h"

#include "frame/managerAuth.h"
#include "frame/lookupCache.h"
#include "frame/log.h"
#include "service/policySets.h"

#include <apr_strings.h>
#include <apr_time.h>

#include <cstring>
#include <ctime>

namespace {

constexpr int64_t kSecondsPerDay = 86400;

/* base + days * 86400, exact, then clamped to the 64-bit range. */
int64_t AddDays(int64_t base, int64_t days)
{
    __int128 sum = static_cast<__int128>(base) + static_cast<__int128>(days) * kSecondsPerDay;
    if (sum > INT64_MAX)
        return INT64_MAX;
    if (sum < INT64_MIN)
        return INT64_MIN;
    return static_cast<int64_t>(sum);
}

/* The first second of the UTC day holding t, through APR's calendar
 * functions. False (after logging) when APR cannot represent the day: APR's
 * microsecond time ends near the year 294,000 and its calendar refuses years
 * before 1970. */
bool UtcDayStart(int64_t t, int64_t *dayStart)
{
    char text[256];
    apr_time_t at;
    if (__builtin_mul_overflow(t, static_cast<int64_t>(APR_USEC_PER_SEC), &at)) {
        QuenScLogError("apr_time_exp_lt() failed: %s", apr_strerror(APR_EBADDATE, text, sizeof text));
        return false;
    }
    apr_time_exp_t exploded;
    apr_status_t rc = apr_time_exp_gmt(&exploded, at);
    if (rc != APR_SUCCESS) {
        QuenScLogError("apr_time_exp_lt() failed: %s", apr_strerror(rc, text, sizeof text));
        return false;
    }
    exploded.tm_hour = exploded.tm_min = exploded.tm_sec = exploded.tm_usec = 0;
    apr_time_t day;
    rc = apr_time_exp_gmt_get(&day, &exploded);
    if (rc != APR_SUCCESS) {
        QuenScLogError("apr_time_exp_get() failed: %s", apr_strerror(rc, text, sizeof text));
        return false;
    }
    *dayStart = day / APR_USEC_PER_SEC;
    return true;
}

} // namespace

int QuenScInstanceRunState(const PolDbInstance *instance, int64_t now)
{
    int state = 0;
    if (instance->revocationDate != 0 && now >= instance->revocationDate)
        state |= QUENSC_INSTANCE_REVOKED;
    if (now < instance->validDateStart || now > instance->validDateEnd)
        state |= QUENSC_INSTANCE_NOT_VALID;
    if (instance->replacementDate != 0 && now >= instance->replacementDate)
        state |= QUENSC_INSTANCE_REPLACED;
    return state;
}

int QuenScInstanceState(apr_pool_t *pool, const PolDbInstance *instance, int64_t now)
{
    int state = QuenScInstanceRunState(instance, now);
    const char *stored = instance->password;
    const char *empty = QuenScPasswordHash(pool, instance->instanceUID, "");
    if (!stored || !*stored || !empty || strcmp(stored, empty) != 0)
        state |= QUENSC_INSTANCE_PASSWORD_SET;
    return state;
}

bool QuenScInstanceStateIsActive(int state) { return (state & QUENSC_INSTANCE_INACTIVE_MASK) == 0; }

int64_t QuenScInstanceTtl(const PolDbInstance *instance, int64_t now)
{
    if (!instance->useValidDates)
        return -1;
    if (now < instance->validDateStart || now > instance->validDateEnd)
        return 0;
    int64_t left;
    if (__builtin_sub_overflow(instance->validDateEnd, now, &left))
        return INT64_MAX; /* only for a negative now: the end is far enough */
    return left;
}

int QuenScCountActiveInstances(i_ctx *ctx, const char *quenUID, const char *creatorIdData, int *count)
{
    *count = 0;
    /* Held to the end of the request: another server admits no instance of
     * this Quen between this count and the insert that follows it. */
    if (!PolDb_LockAcrossServers(ctx->conn, POLDB_LOCK_QUEN_INSTANCES, quenUID ? quenUID : ""))
        return QUENSC_INTERNAL;
    PolDbInstance *instances = nullptr;
    int n = 0;
    if (!PolDb_InstanceEnumerateNonPreview(ctx->conn, quenUID, creatorIdData, &instances, &n)) {
        QuenScLogError("Error enumerating instances in db: %s", Db_GetLastErrorText(ctx->conn));
        return QUENSC_INTERNAL;
    }
    int64_t now = time(nullptr);
    for (int i = 0; i < n; i++)
        if (QuenScInstanceStateIsActive(QuenScInstanceRunState(&instances[i], now)))
            (*count)++;
    PolDb_InstanceFreeArray(instances, n);
    return QUENSC_OK;
}

void QuenScExpirationFromPolicy(int expType, int64_t expValue1, int64_t expValue2, int64_t activationDate,
                                bool *useValidDates, int64_t *validDateStart, int64_t *validDateEnd)
{
    switch (expType) {
    case QUENSC_EXP_NEVER:
        *useValidDates = false;
        *validDateStart = 0;
        *validDateEnd = INT64_MAX;
        return;
    case QUENSC_EXP_DAYS: {
        *useValidDates = true;
        *validDateStart = activationDate;
        int64_t base = activationDate;
        int64_t dayStart;
        if (UtcDayStart(activationDate, &dayStart))
            base = dayStart - 60; /* a day start APR gives is at least 0 */
        *validDateEnd = AddDays(base, expValue1);
        return;
    }
    case QUENSC_EXP_WINDOW:
        *useValidDates = true;
        *validDateStart = expValue1;
        *validDateEnd = expValue2;
        return;
    default:
        *useValidDates = true;
        *validDateStart = 0;
        *validDateEnd = 0;
        return;
    }
}

int QuenScComputeExpiration(i_ctx *ctx, const PolDbInstance *instance, bool *useValidDates,
                            int64_t *validDateStart, int64_t *validDateEnd)
{
    if (!instance->inheritsExpiration) {
        *useValidDates = instance->useValidDates;
        *validDateStart = instance->validDateStart;
        *validDateEnd = instance->validDateEnd;
        return QUENSC_OK;
    }
    QuenScPolicyRecord policy{};
    if (QuenScGetPolicySet(ctx, instance->quenUID, instance->preview, nullptr, nullptr, &policy, nullptr) !=
        QUENSC_OK) {
        QuenScLogError("Failed to find policy set for quen (%s)", instance->quenUID ? instance->quenUID : "");
        return QUENSC_POLICY_DOES_NOT_EXIST;
    }
    QuenScExpirationFromPolicy(policy.expType, policy.expValue1, policy.expValue2, instance->activationDate,
                               useValidDates, validDateStart, validDateEnd);
    return QUENSC_OK;
}
