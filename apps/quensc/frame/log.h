/* Result codes with their texts, the module's three log functions (all
 * lines go to the host's error log as "QUENSC: " + message), the switch that
 * silences information lines, and small text helpers. */
#ifndef QUENSC_UTIL_H
#define QUENSC_UTIL_H

#include "host.h"

#include <apr_pools.h>

#include <cstdint>

/* Result codes: element 0 of every method's result array. The numbers are
 * part of the wire protocol. */
enum QuenScResult {
    QUENSC_OK = 0,
    QUENSC_SERVER_DID_NOT_START = 1,
    QUENSC_INTERNAL = 2,
    QUENSC_INVALID_CONFIG_FILE = 3,
    QUENSC_UNSUPPORTED_PROTOCOL = 4,
    QUENSC_INVALID_PARAMETER = 5,
    QUENSC_INVALID_SESSION = 6,
    QUENSC_SESSION_ALREADY_OPEN = 7,
    QUENSC_NO_USER_DIRECTORY = 8,
    QUENSC_INSUFFICIENT_PRIVILEGES = 9,
    QUENSC_AUTHENTICATION_FAILED = 10,
    QUENSC_USER_ACCOUNT_DISABLED = 11,
    QUENSC_USER_ACCOUNT_LOCKOUT = 12,
    QUENSC_USER_ACCOUNT_EXPIRED = 13,
    QUENSC_PASSWORD_MUST_CHANGE = 14,
    QUENSC_PASSWORD_EXPIRED = 15,
    QUENSC_PASSWORD_CANT_CHANGE = 16,
    QUENSC_PASSWORD_CHANGE_FAILED = 17,
    QUENSC_QUEN_DOES_NOT_EXIST = 18,
    QUENSC_PACKAGE_DOES_NOT_EXIST = 19,
    QUENSC_ACCESS_DOES_NOT_EXIST = 20,
    QUENSC_INSTANCE_DOES_NOT_EXIST = 21,
    QUENSC_POLICY_DOES_NOT_EXIST = 22,
    QUENSC_USER_DATA_DOES_NOT_EXIST = 23,
    QUENSC_MAC_POOL_DOES_NOT_EXIST = 24,
    QUENSC_OBJECT_EXISTS = 25,
    QUENSC_QUEN_INSTANCE_LIMIT_EXCEEDED = 26,
    QUENSC_QUEN_EXPIRED = 27,
    QUENSC_PACKAGE_DISABLED = 28,
    QUENSC_PACKAGE_EXPIRED = 29,
    QUENSC_INSTANCE_CANNOT_RUN = 30,
    QUENSC_INSTANCE_CANNOT_COPY = 31,
    QUENSC_ACCESS_DENIED = 32,
    QUENSC_ACCESS_EXPIRED = 33,
    QUENSC_ACCESS_INSTANCE_LIMIT_EXCEEDED = 34,
    QUENSC_HAS_VALID_INSTANCES = 35,
    QUENSC_INVALID_MAC_ADDRESS_FORMAT = 36,
    QUENSC_MAC_POOL_EXHAUSTED = 37,
    QUENSC_FAILED_TO_CONNECT = 38,
    QUENSC_CERT_HASH_CHECK_FAILED = 39,
    QUENSC_LDAP_CONNECT_FAILED = 40,
    QUENSC_CERT_DID_NOT_VERIFY = 41,
    QUENSC_REPLY_TOO_LARGE = 42,
    QUENSC_LDAP_OBJECT_NOT_FOUND = 43,
    QUENSC_INSTANCE_IS_VALID = 45,
};

/* The code's text ("OK" ... "INSTANCE IS VALID"), "UNKNOWN ERROR" for any
 * other value. Static; never freed. */
const char *QuenScResultText(int code);

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
