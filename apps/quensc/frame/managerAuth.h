/* Manager authentication and authorisation: the per-method security check,
 * and the password hash and its check. (The user name parser is the
 * directory's, in directory/directory.h.) */
#ifndef QUENSC_AUTH_H
#define QUENSC_AUTH_H

#include "frame/session.h"


/* QUENSC_OK when the session's rights meet the mask (QUENSC_ACCESS_ANY, or
 * QUENSC_ACCESS_ADMIN / QUENSC_ACCESS_HELPDESK with that role), else
 * QUENSC_INSUFFICIENT_PRIVILEGES after logging "Security check failed for
 * handler: %s". session may be null. */
int QuenScSecurityCheck(i_ctx *ctx, const QuenScSession *session, const char *method, int mask);

/* Base64 of SHA-1 over salt then password (an empty or null one contributes
 * nothing): 28 characters in pool, or null after logging a failure. */
char *QuenScPasswordHash(apr_pool_t *pool, const char *salt, const char *password);

/* QUENSC_OK when the hash of salt and password equals storedHash, else
 * QUENSC_AUTHENTICATION_FAILED (also for a null password or stored hash, or
 * a failed hash). */
int QuenScCheckPasswordHash(i_ctx *ctx, const char *salt, const char *password, const char *storedHash);

#endif
