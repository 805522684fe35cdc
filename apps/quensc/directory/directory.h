/* Directory services as the rest of the module calls them: user
 * authentication, group membership, object lookup, password change, NetBIOS
 * domain translation and the user name parser. */
#ifndef QUENSC_DIRECTORY_H
#define QUENSC_DIRECTORY_H

#include "frame/server.h"

/* Finds, verifies and reports a directory user. QUENSC_OK with the user's
 * DN and principal name (in the request pool; either output pointer may be
 * null) on success; otherwise a result code (QUENSC_LDAP_CONNECT_FAILED when
 * the directory cannot be reached ...) with both outputs null. */
int QuenScLdapAuthenticateUser(i_ctx *ctx, const char *user, const char *password, const char *domain,
                               char **userDn, char **userPrincipalName);

/* QUENSC_OK when the user is a member of the group,
 * QUENSC_AUTHENTICATION_FAILED when not, or the connection's failure code
 * (QUENSC_LDAP_CONNECT_FAILED ...). */
int QuenScLdapIsMember(i_ctx *ctx, const char *userDn, const char *groupDn);

/* QUENSC_OK when the directory knows the object named by dn,
 * QUENSC_LDAP_OBJECT_NOT_FOUND when it does not (after "LDAP object '%s'
 * could not be found on ldap server"), or the connection's failure code
 * (QUENSC_LDAP_CONNECT_FAILED ...). */
int QuenScLdapCheckObject(i_ctx *ctx, const char *dn);

/* Changes a directory user's password on behalf of the owner whose DN is
 * ownerDn; the user must be that owner. QUENSC_OK, or a result code
 * (QUENSC_LDAP_CONNECT_FAILED when the directory cannot be reached ...). */
int QuenScLdapChangePassword(i_ctx *ctx, const char *ownerDn, const char *user, const char *oldPassword,
                             const char *newPassword, const char *domain);

/* The DNS domain of a NetBIOS domain name (in the request pool), or null
 * (after logging) when it cannot be had. */
char *QuenScNetbiosToDnsDomain(i_ctx *ctx, const char *netbiosDomain);

/* Splits "name@domain", "DOMAIN\name" (when netbiosAllowed, translated
 * through the directory; a name whose domain cannot be translated is kept
 * whole as a bare name) or a bare name (domain null). Outputs live in the
 * request pool. QUENSC_OK; QUENSC_INTERNAL for a null user or for a
 * NetBIOS name where none is allowed (after "QuenParseUser() Found a
 * NETBIOS name in a QUERY user"), with the outputs null. */
int QuenParseUser(i_ctx *ctx, const char *user, bool netbiosAllowed, char **name, char **domain,
                  bool *translated);

#endif
