/* Sessions: the 536-byte record stored as a binary long field with an
 * expiry, and the operations the other methods use on it. Changes touch only
 * the request's copy; the frame stores the session after the method's work,
 * in the same transaction. */
#ifndef QUENSC_SESSION_H
#define QUENSC_SESSION_H

#include "frame/server.h"

#include <cstdint>

struct QuenScPolicyRecord;

#define QUENSC_SESSION_RECORD_SIZE 536
#define QUENSC_PROTOCOL_VERSION 10

/* Byte layout of the stored record (little-endian). */
enum {
    SESSION_OFF_LAST_ACCESS = 0,    /* int64, seconds since 1970 of the last store */
    SESSION_OFF_TTL = 8,            /* int64 seconds; -1 never expires */
    SESSION_OFF_USER_NAME = 16,     /* 256 bytes, zero-terminated */
    SESSION_OFF_IS_ADMIN = 272,
    SESSION_OFF_IS_HELPDESK = 273,
    SESSION_OFF_INSTANCE_AUTH = 274,
    SESSION_OFF_INSTANCE_UID = 275, /* 256 bytes, zero-terminated */
    SESSION_OFF_RESERVED = 531,
    SESSION_OFF_PROTOCOL = 532,     /* int32 */
};

struct QuenScSession {
    char *id;                                          /* in the request pool */
    unsigned char record[QUENSC_SESSION_RECORD_SIZE];
    unsigned char stored[QUENSC_SESSION_RECORD_SIZE];  /* as read; unused for a new one */
};

/* A stored session whose record changed in nothing but its access time is
 * written back only once its stored access time is this many seconds old
 * (or older than a tenth of its ttl, when that is less): a read costs no
 * session write, and a session then expires at most this much early. */
#define QUENSC_SESSION_TOUCH_SECONDS 60

/* Whether storing s at now would change more than a fresh access time:
 * its record differs from the stored one, or the stored access time is
 * older than the bound above (or lies in the future). */
bool QuenScSessionNeedsStore(const QuenScSession *s, int64_t now);

/* A new session (not yet stored) in the request pool: a fresh id, a zeroed
 * record with the protocol version and ttl = session_ttl. This function
 * can't fail. */
QuenScSession *QuenScSessionNew(i_ctx *ctx, int protocolVersion);

/* The stored session with this id, in the request pool, or null after
 * "Invalid session id: %s" (a null id, no such id, stored data
 * that is not Base64, or not a 536-byte record). */
QuenScSession *QuenScSessionLookup(i_ctx *ctx, const char *id);

/* Stores the session with lastAccess = now and its expiry: added as new, or
 * replacing the stored rows; a stored session that QuenScSessionNeedsStore
 * finds unchanged is left as it is (QUENSC_OK). QUENSC_OK, or QUENSC_INTERNAL after "Failed to
 * add/update session %s (%s)". */
int QuenScSessionStore(i_ctx *ctx, QuenScSession *session, bool isNew);

/* Deletes the session's rows; a null or empty id is a success. QUENSC_OK,
 * or QUENSC_INVALID_SESSION after logging when the rows cannot be
 * deleted. */
int QuenScSessionRemove(i_ctx *ctx, const char *id);

/* Role and instance marks of the request's copy; names are cut to 255
 * bytes. The Is... tests answer false for a null session. None of these
 * can fail. */
void QuenScSessionSetAdministrator(QuenScSession *s, const char *name);
void QuenScSessionClearAdministrator(QuenScSession *s);
bool QuenScSessionIsAdministrator(const QuenScSession *s);
void QuenScSessionSetHelpdesk(QuenScSession *s, const char *name);
void QuenScSessionClearHelpdesk(QuenScSession *s);
bool QuenScSessionIsHelpdesk(const QuenScSession *s);

void QuenScSessionMarkInstanceAuthenticated(QuenScSession *s, const char *userName, const char *instanceUID);
bool QuenScSessionIsAuthenticatedForInstance(const QuenScSession *s, const char *instanceUID);

/* The user name held in the record (never null). */
const char *QuenScSessionUserName(const QuenScSession *s);

int64_t QuenScSessionTtl(const QuenScSession *s);
void QuenScSessionSetTtl(QuenScSession *s, int64_t ttl);
int64_t QuenScSessionLastAccess(const QuenScSession *s);
int32_t QuenScSessionProtocol(const QuenScSession *s);

/* Renews the time-to-live from the policy set that governs the session's
 * instance (its sessionLifetime; the caller already holds it) or, with a
 * null policy, from session_ttl; session_ttl is the floor of every finite
 * ttl, -1 (never expires) stays. This function can't fail. */
void QuenScSessionRenewTtl(i_ctx *ctx, QuenScSession *s, const QuenScPolicyRecord *policy);

/* The expiry stored with a record: lastAccess + ttl, the largest int64 for
 * ttl -1 (and instead of overflowing). */
int64_t QuenScSessionExpiry(int64_t lastAccess, int64_t ttl);

#endif
