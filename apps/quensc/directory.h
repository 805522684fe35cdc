/* Directory services as the rest of the module calls them: user
 * authentication, group membership and NetBIOS domain translation. */
#ifndef QUENSC_DIRECTORY_H
#define QUENSC_DIRECTORY_H

#include "server.h"

/* Finds, verifies and reports a directory user. 0 and the user's DN (in the
 * request pool) on success, a result code otherwise. */
int QuenScLdapAuthenticateUser(i_ctx *ctx, const char *user, const char *password, const char *domain,
                               char **userDn, char **userPrincipalName);

/* 0 when the user is a member of the group, 10 when not, or the
 * connection's failure code. */
int QuenScLdapIsMember(i_ctx *ctx, const char *userDn, const char *groupDn);

/* The DNS domain of a NetBIOS domain name (in the request pool), or null. */
char *QuenScNetbiosToDnsDomain(i_ctx *ctx, const char *netbiosDomain);

#endif
