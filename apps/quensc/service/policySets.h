/* Policy sets: creating a Quen's next version, publishing its working set,
 * and carrying changed expiration settings over to the instances that
 * inherit them. The XML-RPC methods on policy sets are in
 * service/serviceMethods.h.
 *
 * A Quen's versions 1 .. active are published and never change again;
 * version active + 1 is its one unpublished working set. */
#ifndef QUENSC_POLICY_H
#define QUENSC_POLICY_H

#include "frame/marshal.h"
#include "frame/server.h"

/* Stores the Quen's next policy set version: a copy of its newest set (long
 * data and, from version 2 on, access entries included), or version 1 with
 * every member 0 and empty texts. QUENSC_OK with *version set;
 * QUENSC_QUEN_DOES_NOT_EXIST after "Failed to find quen (%s) while creating
 * a policy set"; QUENSC_INTERNAL after "Error creating policy set in db:
 * %s". *version is 0 on failure. */
int QuenScPolicySetCreate(i_ctx *ctx, const char *quenUID, int *version);

/* Publishes the Quen's working set: marks it published, makes it the active
 * version, opens the next working set as its copy, and recomputes the
 * windows of inheriting non-preview instances when the expiration settings
 * changed (or the Quen had no current set). Resets the lookup tables.
 * QUENSC_OK with *publishedVersion set (it may be null);
 * QUENSC_QUEN_DOES_NOT_EXIST for an unknown Quen; QUENSC_INTERNAL (the
 * working set is missing or already published, or a read or write failed)
 * or the code of a failed step. */
int QuenScPolicyPublish(i_ctx *ctx, const char *quenUID, int *publishedVersion);

/* True when instances would get another window from b than from a: the
 * types differ, or both are QUENSC_EXP_DAYS with other day counts, or both
 * are QUENSC_EXP_WINDOW with another start or end. This function can't
 * fail. */
bool QuenScExpirationSettingsDiffer(const QuenScPolicyRecord *a, const QuenScPolicyRecord *b);

/* Gives every live instance of the Quen with this preview flag that
 * inherits its expiration the window of policy: instance by instance for
 * QUENSC_EXP_DAYS (the window depends on the activation date), in one
 * statement otherwise. QUENSC_OK, or QUENSC_INTERNAL after logging when the
 * instances cannot be read or written (the request's transaction is then
 * rolled back, so the caller must fail too). An instance whose window
 * cannot be computed keeps its old one. */
int QuenScPolicyBulkExpirationUpdate(i_ctx *ctx, const char *quenUID, const QuenScPolicyRecord *policy,
                                     bool preview);

/* The version of the Quen's current set (the active version) or, with
 * working, of its working set (active + 1). A missing row of a version other
 * than 0 is created when the Quen's next version is exactly that one ("Created
 * missing policy version %d"); a missing version 0 is no failure. QUENSC_OK
 * with *version set; QUENSC_QUEN_DOES_NOT_EXIST for an unknown Quen
 * (*version 0); QUENSC_INTERNAL when the row cannot be had (*version holds
 * the version wanted), or for the working set when the active version is
 * INT_MAX (*version 0). */
int QuenScGetPolicyVersion(i_ctx *ctx, const char *quenUID, bool working, bool withLongData, int *version);

/* Reads the Quen's current or working set: the documents (when asked for,
 * which also loads long data), the members and the published flag, copied
 * into the request pool. QUENSC_OK; the code of QuenScGetPolicyVersion; or
 * QUENSC_INTERNAL when the set is missing or its published flag contradicts
 * its role. The resolved version becomes the audit event's policyVersion
 * whatever the outcome. */
int QuenScGetPolicySet(i_ctx *ctx, const char *quenUID, bool working, const char **clientData,
                       const char **hostData, QuenScPolicyRecord *policy, bool *published);

#endif
