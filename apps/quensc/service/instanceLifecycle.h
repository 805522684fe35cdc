/* Instances: reading an instance for a request, its wire record, the check
 * that decides whether a credential may create an instance of a Quen (with
 * the Quen's and the per-user instance limits and the access entries),
 * instance authentication, and the directory password change of an
 * instance's owner. The XML-RPC methods on instances and access entries are
 * in service/serviceMethods.h. */
#ifndef QUENSC_INSTANCES_H
#define QUENSC_INSTANCES_H

#include "frame/marshal.h"
#include "frame/session.h"

#include "policydb/access.h"
#include "policydb/instance.h"

#include <cstdint>

/* The live instance instanceUID, owned by the request (released with its
 * pool). QUENSC_OK with *out set; QUENSC_INSTANCE_DOES_NOT_EXIST when there
 * is none (nothing logged); QUENSC_INTERNAL when it could not be read
 * (logged; the request's transaction is gone then). *out is null on
 * failure. */
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

/* True when the Quen's own expiration refuses new instances at now:
 * QUENSC_EXP_DAYS with no days, or QUENSC_EXP_WINDOW with now outside
 * [expValue1, expValue2]. */
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
 * admits cred (null counts as no credential) under the Quen's instantiation
 * type: QUENSC_INST_DIRECTORY logs the caller in to the directory and
 * matches user entries by DN and group entries by membership (a failed
 * membership query is no match); QUENSC_INST_TOKEN matches token entries
 * against a token credential. QUENSC_OK with *out filled (texts in the
 * request pool); QUENSC_INVALID_PARAMETER for the wrong kind of credential;
 * QUENSC_AUTHENTICATION_FAILED when the directory login fails (whatever the
 * directory's code); QUENSC_ACCESS_DENIED when nothing matches (also for an
 * empty token); QUENSC_INTERNAL for any other instantiation type
 * (QUENSC_INST_ANYBODY included: it needs no entry and is not asked). */
int QuenScAccessMatch(i_ctx *ctx, const QuenScCredential *cred, const char *quenUID, int instType,
                      const PolDbAccess *entries, int count, QuenScInstantiation *out);

/* Whether cred may create an instance of the Quen now, under its current
 * set or (preview) its working set: the Quen must exist
 * (QUENSC_QUEN_DOES_NOT_EXIST) and have that set (the code of
 * QuenScGetPolicyVersion, or QUENSC_INTERNAL); with checkQuenExpiration the
 * Quen must not have expired (QUENSC_QUEN_EXPIRED); with checkAccess the
 * Quen's limit (QUENSC_QUEN_INSTANCE_LIMIT_EXCEEDED, never for preview), the
 * access entries (the codes of QuenScAccessMatch; none for
 * QUENSC_INST_ANYBODY) and the per-user limit
 * (QUENSC_ACCESS_INSTANCE_LIMIT_EXCEEDED, never for preview) apply; an
 * instance count or entry list that cannot be read gives QUENSC_INTERNAL.
 * QUENSC_OK with *out filled (zero when no entry was matched). The version
 * looked at becomes the audit event's policyVersion. */
int QuenScInstantiationCheck(i_ctx *ctx, const QuenScCredential *cred, const char *quenUID,
                             bool checkQuenExpiration, bool checkAccess, bool preview, QuenScInstantiation *out);

/* Proves who may act for an instance. With a credential, the authType of
 * the set that governs the instance decides (QUENSC_AUTH_NONE and
 * QUENSC_AUTH_UNCHECKED: nothing to prove; QUENSC_AUTH_DIRECTORY: the
 * directory user must be the instance's creator; QUENSC_AUTH_PASSWORD: the
 * instance password); without one, the session must have proved it before.
 * Then the instance must be active. QUENSC_OK;
 * QUENSC_INSTANCE_DOES_NOT_EXIST (logged); QUENSC_INTERNAL when the instance
 * or its set cannot be read or the authType is unknown;
 * QUENSC_INVALID_PARAMETER for the wrong kind of credential;
 * QUENSC_AUTHENTICATION_FAILED; the directory's code when the login fails;
 * or QUENSC_INSTANCE_CANNOT_RUN for an instance that cannot run. *instance
 * (request-owned; instance may be null) is set whenever the instance could
 * be read, also when the result is not QUENSC_OK. */
int QuenScInstanceAuthenticate(i_ctx *ctx, const QuenScSession *session, const QuenScCredential *cred,
                               const char *instanceUID, PolDbInstance **instance);

/* The owner of an active instance changes his directory password: cred must
 * be a directory credential (QUENSC_INVALID_PARAMETER), the instance must
 * exist (QUENSC_INSTANCE_DOES_NOT_EXIST, logged; QUENSC_INTERNAL when it
 * cannot be read) and be able to run (QUENSC_INSTANCE_CANNOT_RUN), a
 * directory must be configured (QUENSC_NO_USER_DIRECTORY); then the
 * directory does the change for the instance's creator and its code
 * (QUENSC_OK ...) is the result. */
int QuenScInstanceLdapChangePassword(i_ctx *ctx, const char *instanceUID, const QuenScCredential *cred,
                                     const char *newPassword);

#endif
