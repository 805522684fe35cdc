/* Instances: reading an instance for a request, its wire record, the check
 * that decides whether a credential may create an instance of a Quen (with
 * the Quen's and the per-user instance limits and the access entries),
 * instance authentication, and the directory password change of an
 * instance's owner. The XML-RPC methods on instances and access entries are
 * in methods.h. */
#ifndef QUENSC_INSTANCES_H
#define QUENSC_INSTANCES_H

#include "frame/marshal.h"
#include "frame/session.h"

#include "policydb/access.h"
#include "policydb/instance.h"

#include <cstdint>

/* The live instance instanceUID, owned by the request (released with its
 * pool). 0 with *out set; 21 when there is none (nothing logged); 2 when it
 * could not be read (logged; the request's transaction is gone then). */
int QuenScInstanceFetch(i_ctx *ctx, const char *instanceUID, PolDbInstance **out);

/* The instance as callers see it (InstanceInfo's struct): every stored
 * member (texts copied into the request pool; the password and protection
 * key are never part of it), the package and Quen names through the lookup
 * tables, the state bits and the ttl at the current second. A package or
 * Quen that cannot be read any more shows an empty name. False only for a
 * null argument. */
bool QuenScInstanceToRecord(i_ctx *ctx, const PolDbInstance *in, QuenScInstanceRecord *out);

/* The instance limits. The Quen's limit compares as unsigned 32-bit numbers,
 * so a negative limit never refuses; the per-user limit compares signed, so
 * a negative limit refuses everyone. True when the limit is reached. */
bool QuenScQuenLimitReached(int activeCount, int instanceLimit);
bool QuenScPerUserLimitReached(int activeCount, int perUserInstanceLimit);

/* True when the Quen's own expiration refuses new instances at now: expType
 * 1 with no days, or expType 2 with now outside [expValue1, expValue2]. */
bool QuenScQuenExpired(const QuenScPolicyRecord *policy, int64_t now);

/* Who was admitted by the instantiation check. */
struct QuenScInstantiation {
    bool matched;                /* an access entry admitted the caller */
    QuenScAccessRecord entry;    /* that entry (request pool); zero when none */
    const char *identity;        /* the creator identity to record: the user's DN
                                    or the matched token; null for anybody */
    const char *principalName;   /* directory users: their principal name */
};

/* The access entry among entries (database order, first match wins) that
 * admits cred under the Quen's instantiation type: type 1 logs the caller in
 * to the directory and matches user entries by DN and group entries by
 * membership; type 2 matches token entries against a token credential.
 * 0 with *out filled; 5 for the wrong kind of credential; 10 when the
 * directory login fails; 32 when nothing matches; 2 for an instantiation
 * type other than 0, 1 and 2 (type 0 needs no entry and is not asked). */
int QuenScAccessMatch(i_ctx *ctx, const QuenScCredential *cred, const char *quenUID, int instType,
                      const PolDbAccess *entries, int count, QuenScInstantiation *out);

/* Whether cred may create an instance of the Quen now, under its current
 * set or (preview) its working set: the Quen must exist (18) and have that
 * set (its code, or 2); with checkQuenExpiration the Quen must not have
 * expired (27); with checkAccess the Quen's limit (26, never for preview),
 * the access entries (5, 10, 32, 2) and the per-user limit (34, never for
 * preview) apply. 0 with *out filled. */
int QuenScInstantiationCheck(i_ctx *ctx, const QuenScCredential *cred, const char *quenUID,
                             bool checkQuenExpiration, bool checkAccess, bool preview, QuenScInstantiation *out);

/* Proves who may act for an instance. With a credential, the Quen's
 * authType decides (0 and 3: nothing to prove; 1: the directory user must
 * be the instance's creator; 2: the instance password); without one, the
 * session must have proved it before. Then the instance must be active.
 * 0; 21 (logged), 2, 5, 10, a directory code, or 30 for an instance that
 * cannot run. *instance (request-owned; instance may be null) is set
 * whenever the instance could be read, also when the result is not 0. */
int QuenScInstanceAuthenticate(i_ctx *ctx, const QuenScSession *session, const QuenScCredential *cred,
                               const char *instanceUID, PolDbInstance **instance);

/* The owner of an active instance changes his directory password: cred must
 * be a directory credential (5), the instance must exist (21) and be able to
 * run (30), a directory must be configured (8); then the directory does the
 * change for the instance's creator. */
int QuenScInstanceLdapChangePassword(i_ctx *ctx, const char *instanceUID, const QuenScCredential *cred,
                                     const char *newPassword);

#endif
