/* The per-request lookup tables: Quen, package and runtime policy records
 * read once per request and handed out again from memory, the accessors that
 * copy them into request memory, and the resolution of a Quen's current and
 * working policy set versions.
 *
 * Only hits are cached: a record the database does not hold is read again on
 * the next lookup. Records handed out by a lookup are borrowed: they stay
 * valid until QuenScLutReset or the end of the request, whichever comes
 * first; keep copies (the accessors make them in the request pool) of what
 * must outlive a reset. A table belongs to its request's thread; nothing here
 * takes a lock. */
#ifndef QUENSC_LUT_H
#define QUENSC_LUT_H

#include "frame/marshal.h"
#include "frame/server.h"

#include "policydb/package.h"
#include "policydb/quen.h"
#include "policydb/runtimePolicy.h"

/* Creates the Quen (32 buckets), package (128) and policy (32) tables, in
 * that order. QUENSC_OK, or QUENSC_INTERNAL after "QuenScLutInitialize()
 * failed to allocate ... LUT", with whatever was created destroyed again. */
int QuenScLutInitialize(i_ctx *ctx);

/* Frees the three tables with every record in them and clears the
 * context's references; a missing table is skipped. This function can't
 * fail. */
void QuenScLutDestroy(i_ctx *ctx);

/* QuenScLutDestroy, then QuenScLutInitialize (its code: QUENSC_OK or
 * QUENSC_INTERNAL). Every record borrowed before is gone afterwards. */
int QuenScLutReset(i_ctx *ctx);

/* The live Quen quenUID, borrowed, or null when the database has none. */
const PolDbQuen *QuenScLookupQuen(i_ctx *ctx, const char *quenUID);

/* The live package packageUID, borrowed, or null. */
const PolDbPackage *QuenScLookupPackage(i_ctx *ctx, const char *packageUID);

/* The live policy set (quenUID, version), borrowed, or null. withLongData
 * loads documents kept in long fields; a record whose long data cannot be
 * loaded counts as missing. Records read with and without long data are
 * cached apart. */
const PolDbRuntimePolicy *QuenScLookupPolicy(i_ctx *ctx, const char *quenUID, int version, bool withLongData);

/* Accessors: copy a cached record into the request pool (a null text
 * becomes ""). Each returns true when the record exists, false (outputs
 * untouched) when it does not; every output may be null. */
bool QuenScGetQuenInfo(i_ctx *ctx, const char *quenUID, const char **uid, const char **name, int *activeVersion);
/* Fills every member of out, the protection key included. */
bool QuenScGetPackageInfo(i_ctx *ctx, const char *packageUID, QuenScPackageRecord *out);
/* A miss logs "Failed to retrieve policy set for quen: %s (%d)" unless the
 * version is 0. */
bool QuenScGetPolicyInfo(i_ctx *ctx, const char *quenUID, int version, bool withLongData, const char **clientData,
                         const char **hostData, QuenScPolicyRecord *policy, bool *published);

/* The members of a stored policy set as the wire record holds them. This
 * function can't fail. */
void QuenScPolicyToRecord(const PolDbRuntimePolicy *stored, QuenScPolicyRecord *out);

#endif
