/* What an instance record means at a given moment: its state bits, whether
 * it may run, its remaining time, the number of active instances of a Quen,
 * and the validity window it inherits from its Quen's policy set.
 *
 * All dates are signed 64-bit seconds since 1970-01-01 UTC; 0 means "not
 * set" and INT64_MAX "no end". */
#ifndef QUENSC_INSTANCESTATE_H
#define QUENSC_INSTANCESTATE_H

#include "frame/server.h"

#include "policydb/instance.h"

#include <cstdint>

/* Instance state bits. The low 16 bits are the reasons an instance cannot
 * run; the rest only describe it. */
enum {
    QUENSC_INSTANCE_REVOKED = 0x1,       /* revocationDate set and reached */
    QUENSC_INSTANCE_NOT_VALID = 0x2,     /* now outside [validDateStart, validDateEnd] */
    QUENSC_INSTANCE_REPLACED = 0x4,      /* replacementDate set and reached */
    QUENSC_INSTANCE_INACTIVE_MASK = 0xFFFF,
    QUENSC_INSTANCE_PASSWORD_SET = 0x10000, /* hash differs from the empty password's */
};

/* The bits that keep an instance from running (no password bit). The window
 * is tested whatever useValidDates holds: an instance without dates carries
 * the window [0, INT64_MAX]. This function can't fail. */
int QuenScInstanceRunState(const PolDbInstance *instance, int64_t now);

/* The full state: the run bits and the password bit. The password bit is
 * set when the stored hash is missing or differs from the hash of the
 * instance UID with an empty password (also when that hash cannot be made);
 * pool holds that hash. This function can't fail. */
int QuenScInstanceState(apr_pool_t *pool, const PolDbInstance *instance, int64_t now);

/* True when none of the low 16 bits (QUENSC_INSTANCE_INACTIVE_MASK) is
 * set. */
bool QuenScInstanceStateIsActive(int state);

/* Seconds left: validDateEnd - now inside the window, 0 outside it, -1 when
 * useValidDates is false. This function can't fail. */
int64_t QuenScInstanceTtl(const PolDbInstance *instance, int64_t now);

/* Counts the Quen's active non-preview instances, all of them or (when
 * creatorIdData is given) those of one creator. QUENSC_OK with *count set;
 * QUENSC_INTERNAL after "Error enumerating instances in db: %s" when they
 * cannot be read (*count is then 0 and must not be taken for the real
 * number). */
int QuenScCountActiveInstances(i_ctx *ctx, const char *quenUID, const char *creatorIdData, int *count);

/* The validity window of an instance from its Quen's policy set:
 *   QUENSC_EXP_NEVER:  false, 0, INT64_MAX
 *   QUENSC_EXP_DAYS:   true, activationDate, (UTC day start of
 *                      activationDate) - 60 + expValue1 * 86400, i.e.
 *                      23:59:00 UTC of day expValue1 counting the
 *                      activation day as day 1. When the day start cannot
 *                      be had (dates before 1970 or beyond what APR's
 *                      microsecond time holds) the activation date stands
 *                      in for it and the 60 seconds are not taken off. A
 *                      sum outside the 64-bit range is clamped to
 *                      INT64_MIN / INT64_MAX.
 *   QUENSC_EXP_WINDOW: true, expValue1, expValue2
 *   other:             true, 0, 0
 * This function can't fail; it logs why a day start was not available. */
void QuenScExpirationFromPolicy(int expType, int64_t expValue1, int64_t expValue2, int64_t activationDate,
                                bool *useValidDates, int64_t *validDateStart, int64_t *validDateEnd);

/* The instance's window: its own three values when it does not inherit its
 * expiration, else QuenScExpirationFromPolicy with the Quen's current set
 * (working set for a preview instance). QUENSC_OK, or
 * QUENSC_POLICY_DOES_NOT_EXIST after "Failed to find policy set for quen
 * (%s)" (whatever kept the set from being read) with the outputs
 * untouched. */
int QuenScComputeExpiration(i_ctx *ctx, const PolDbInstance *instance, bool *useValidDates,
                            int64_t *validDateStart, int64_t *validDateEnd);

#endif
