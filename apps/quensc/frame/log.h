/* The module's three log functions (all lines go to the host's error log as
 * "QUENSC: " + message), the switch that silences information lines, the
 * invariant check that ends in the host's fatal call, and small text
 * helpers. Includes the named codes (frame/codes.h) that every caller of
 * these functions uses. */
#ifndef QUENSC_FRAME_LOG_H
#define QUENSC_FRAME_LOG_H

#include "frame/codes.h"
#include "host.h"

#include <apr_pools.h>

#include <cstdint>

/* Remembers the host record that every log line goes through. Until one is
 * set (or with a null host) lines go to stderr. */
void QuenScSetLogHost(QuenScHostServer *host);

/* Information (level 5), error (level 4) and panic (level 2, then the host's
 * fatal call; never returns). Each formats into at most 1023 characters and
 * writes "QUENSC: " + the message. Safe from any thread. */
void QuenScLogInfo(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void QuenScLogError(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void QuenScPanic(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/* While set, information lines are dropped (process-wide). */
void QuenScSetQuiet(bool quiet);

/* The whole file as a text in pool (cut at a zero byte within a chunk), ""
 * for an empty file, null (after "Failed to open file: %s (%s)") when it
 * cannot be opened, null without a message for a null path. A read that
 * fails before the end of the file (a folder, an I/O error) also gives null,
 * after "Failed to read file: %s (%s)". */
char *QuenScReadTextFile(apr_pool_t *pool, const char *path);

/* True when text is null or "". */
bool QuenScIsEmpty(const char *text);

/* One date in asctime's layout in the server's local time zone, newline
 * included ("Thu Jan  1 00:00:00 1970\n"); a date the calendar cannot show
 * is its decimal seconds and the newline. Written by hand because asctime
 * has no room for a year past 9999. In pool; never null. */
const char *QuenScAsctimeText(apr_pool_t *pool, int64_t seconds);

#endif
