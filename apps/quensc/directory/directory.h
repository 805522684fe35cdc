/* Directory services as the rest of the module calls them: user
 * authentication, group membership and NetBIOS domain translation. */
#ifndef QUENSC_DIRECTORY_H
#define QUENSC_DIRECTORY_H

#include "frame/server.h"

/* Finds, verifies and reports a directory user. 0 and the user's DN (in the
 * request pool) on success, a result code otherwise. */
int QuenScLdapAuthenticateUser(i_ctx *ctx, const char *user, const char *password, const char *domain,
                               char **userDn, char **userPrincipalName);

/* 0 when the user is a member of the group, 10 when not, or the
 * connection's failure code. */
int QuenScLdapIsMember(i_ctx *ctx, const char *userDn, const char *groupDn);

/* 0 when the directory knows the object named by dn, 43 when it does not
 * (after "LDAP object '%s' could not be found on ldap server"), or the
 * connection's failure code. */
int QuenScLdapCheckObject(i_ctx *ctx, const char *dn);

/* Changes a directory user's password on behalf of the owner whose DN is
 * ownerDn; the user must be that owner. A result code. */
int QuenScLdapChangePassword(i_ctx *ctx, const char *ownerDn, const char *user, const char *oldPassword,
                             const char *newPassword, const char *domain);

/* The DNS domain of a NetBIOS domain name (in the request pool), or null. */
char *QuenScNetbiosToDnsDomain(i_ctx *ctx, const char *netbiosDomain);

/* Splits "name@domain", "DOMAIN\name" (when netbiosAllowed, translated
 * through the directory) or a bare name. Outputs live in the request pool.
 * 0, or 2 for a NetBIOS name where none is allowed. */
int QuenParseUser(i_ctx *ctx, const char *user, bool netbiosAllowed, char **name, char **domain,
                  bool *translated);

#endif
