/* Directory services as the rest of the module calls them: user
 * authentication, group membership, object lookup, password change, NetBIOS
 * domain translation and the user name parser. */
#ifndef QUENSC_DIRECTORY_H
#define QUENSC_DIRECTORY_H

#include "frame/server.h"

/* The whole directory login: finds the user (principal name, account name,
 * then common name; NetBIOS forms translated), binds as the user with
 * password and closes the connection. QUENSC_OK with the user's DN and
 * principal name (each optional, in the request pool); otherwise both are
 * null and the code is QUENSC_LDAP_CONNECT_FAILED (directory unreachable,
 * certificate not verified, query account refused),
 * QUENSC_AUTHENTICATION_FAILED (no such user, wrong or empty password), or
 * the account's state after a failed bind: QUENSC_USER_ACCOUNT_DISABLED,
 * QUENSC_USER_ACCOUNT_LOCKOUT, QUENSC_USER_ACCOUNT_EXPIRED,
 * QUENSC_PASSWORD_MUST_CHANGE, QUENSC_PASSWORD_EXPIRED. The password never
 * reaches a log line. */
int QuenScLdapAuthenticateUser(i_ctx *ctx, const char *user, const char *password, const char *domain,
                               char **userDn, char **userPrincipalName);

/* QUENSC_OK when the user's tokenGroups (nested groups included) hold the
 * group's objectSid; QUENSC_AUTHENTICATION_FAILED when not, for an empty DN
 * or when either attribute cannot be read; or the connection's failure code
 * (QUENSC_LDAP_CONNECT_FAILED). */
int QuenScLdapIsMember(i_ctx *ctx, const char *userDn, const char *groupDn);

/* QUENSC_OK when the directory knows the object named by dn,
 * QUENSC_LDAP_OBJECT_NOT_FOUND when it does not (after "LDAP object '%s'
 * could not be found on ldap server"), or the connection's failure code
 * (QUENSC_LDAP_CONNECT_FAILED ...). */
int QuenScLdapCheckObject(i_ctx *ctx, const char *dn);

/* Changes a directory user's password (unicodePwd: the old value deleted
 * and the new one added in one modify) on behalf of the instance owner whose
 * DN is ownerDn; the user must be that owner. QUENSC_OK, or
 * QUENSC_PASSWORD_CHANGE_FAILED for every failure (no directory, no such
 * user, not the owner, an account that cannot change its password, a wrong
 * old password, a new one the directory refuses), after "Password change for
 * user %s failed: %s". Neither password reaches a log line. */
int QuenScLdapChangePassword(i_ctx *ctx, const char *ownerDn, const char *user, const char *oldPassword,
                             const char *newPassword, const char *domain);

/* The DNS domain of a NetBIOS domain name (in the request pool), or null
 * when the directory is not in use or no domain controller answers the
 * NetBIOS name query within 3 seconds. */
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
