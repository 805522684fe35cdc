/* Policy sets: creating a Quen's next version, publishing its working set,
 * and carrying changed expiration settings over to the instances that
 * inherit them. The XML-RPC methods on policy sets are in methods.h.
 *
 * A Quen's versions 1 .. active are published and never change again;
 * version active + 1 is its one unpublished working set. */
#ifndef QUENSC_POLICY_H
#define QUENSC_POLICY_H

#include "frame/marshal.h"
#include "frame/server.h"

/* Stores the Quen's next policy set version: a copy of its newest set (long
 * data and, from version 2 on, access entries included), or version 1 with
 * every member 0 and empty texts. 0 with *version set; 18 after "Failed to
 * find quen (%s) while creating a policy set"; 2 after "Error creating
 * policy set in db: %s". */
int QuenScPolicySetCreate(i_ctx *ctx, const char *quenUID, int *version);

/* Publishes the Quen's working set: marks it published, makes it the active
 * version, opens the next working set as its copy, and recomputes the
 * windows of inheriting non-preview instances when the expiration settings
 * changed. Resets the lookup tables. 0 with *publishedVersion set (it may
 * be null); 18 for an unknown Quen; 2 or the code of a failed step. */
int QuenScPolicyPublish(i_ctx *ctx, const char *quenUID, int *publishedVersion);

/* True when instances would get another window from b than from a: the
 * types differ, or both are 1 with other day counts, or both are 2 with
 * another start or end. */
bool QuenScExpirationSettingsDiffer(const QuenScPolicyRecord *a, const QuenScPolicyRecord *b);

/* Gives every live instance of the Quen with this preview flag that
 * inherits its expiration the window of policy: instance by instance for
 * expType 1 (the window depends on the activation date), in one statement
 * otherwise. 0, or 2 after logging when the instances cannot be read or
 * written (the request's transaction is then rolled back, so the caller
 * must fail too). An instance whose window cannot be computed keeps its
 * old one. */
int QuenScPolicyBulkExpirationUpdate(i_ctx *ctx, const char *quenUID, const QuenScPolicyRecord *policy,
                                     bool preview);

/* The version of the Quen's current set (the active version) or, with
 * working, of its working set (active + 1). A missing row of a version other
 * than 0 is created when the Quen's next version is exactly that one ("Created
 * missing policy version %d"). 0 with *version set; 18 for an unknown Quen
 * (*version 0); 2 when the row cannot be had, or for the working set
 * when the active version is INT_MAX (*version 0). */
int QuenScGetPolicyVersion(i_ctx *ctx, const char *quenUID, bool working, bool withLongData, int *version);

/* Reads the Quen's current or working set: the documents (when asked for,
 * which also loads long data), the members and the published flag, copied
 * into the request pool. 0; the code of QuenScGetPolicyVersion; or 2 when
 * the set is missing or its published flag contradicts its role. The
 * resolved version becomes the audit event's policyVersion whatever the
 * outcome. */
int QuenScGetPolicySet(i_ctx *ctx, const char *quenUID, bool working, const char **clientData,
                       const char **hostData, QuenScPolicyRecord *policy, bool *published);

#endif
