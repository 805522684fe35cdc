/* Packages: the check that decides whether a package may get new instances,
 * and the validity text of the package audit events. The XML-RPC methods on
 * packages are in service/serviceMethods.h. */
#ifndef QUENSC_PACKAGES_H
#define QUENSC_PACKAGES_H

#include "frame/server.h"

#include <cstdint>

/* Whether packageUID may get a new instance now: QUENSC_OK with the
 * package's Quen UID, protection key and preview flag (copies in the request
 * pool; every output may be null); QUENSC_PACKAGE_DOES_NOT_EXIST after
 * "Failed to find package to verify: %s"; QUENSC_PACKAGE_DISABLED for a
 * disabled package; QUENSC_PACKAGE_EXPIRED when the package uses its
 * validity window and now lies outside it (both ends count as inside). The
 * outputs are set only for QUENSC_OK. */
int QuenScPackageAdmission(i_ctx *ctx, const char *packageUID, const char **quenUID, const char **protectionKey,
                           bool *preview);

/* QuenScPackageAdmission at a given second. */
int QuenScPackageAdmissionAt(i_ctx *ctx, const char *packageUID, int64_t now, const char **quenUID,
                             const char **protectionKey, bool *preview);

/* "valid from <start> to <end>, " with both dates in the server's local time
 * zone in asctime's layout ("Thu Jan  1 00:00:00 1970\n", newline
 * included), or "" when useValidDates is 0. A date the calendar cannot
 * show is written as its decimal seconds followed by the newline. In pool;
 * never null. */
const char *QuenScPackageValidityText(apr_pool_t *pool, int useValidDates, int64_t start, int64_t end);

#endif
