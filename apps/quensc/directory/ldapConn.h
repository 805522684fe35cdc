/* The directory room's own interface: LDAP connection records bound with the
 * query account, searches that follow referrals, attribute readers, filter
 * escaping, the account-state rules, domain/DN conversions and the NetBIOS
 * name query. Only the directory room and its tests include this header; the
 * rest of the module goes through directory/directory.h.
 *
 * Everything here runs inside one request, allocates from the request pool
 * and keeps no state between calls: any number of requests may use it at
 * once, each with its own records. */
#ifndef QUENSC_DIRECTORY_LDAPCONN_H
#define QUENSC_DIRECTORY_LDAPCONN_H

#include "frame/server.h"

#include <apr_hash.h>
#include <ldap.h>

#include <cstddef>
#include <cstdint>

/* One directory connection of one request. */
struct QuenScLdapConn {
    LDAP *handle;     /* the open session; null until opened */
    const char *host; /* host name or address to connect to */
    bool bound;       /* true once bound; opening a bound record does nothing */
};

/* Opens conn (whose host is set) and binds it with the query account
 * (krb5/query_user in krb5/default_realm when it names no domain, and
 * krb5/query_user_pass). The channel: StartTLS on port 389 when the directory
 * accepts it; when it refuses, LDAP over SSL on port 636 if ldap/secure is
 * not 0, else plain LDAP on 389. The directory's certificate is verified
 * against ldap.crt beside ssl/cert when that file exists, else against the
 * system's trust store.
 * QUENSC_OK when bound (also at once when conn is already bound);
 * QUENSC_LDAP_CONNECT_FAILED for a null record, an unreachable directory, a
 * certificate that does not verify or a refused bind (each after one log
 * line saying why, never with a password); the parser's code
 * (QUENSC_INTERNAL) when the query account is written DOMAIN\name. On
 * failure conn has no handle and is not bound. */
int QuenScLdapOpen(i_ctx *ctx, QuenScLdapConn *conn);

/* A simple bind of ld as principal with password: the LDAP result code. An
 * empty or null password is refused (LDAP_INVALID_CREDENTIALS) without a
 * bind, since a simple bind without one is anonymous and proves nothing. */
int QuenScLdapBind(LDAP *ld, const char *principal, const char *password);

/* A new record for ldap/host in the request pool, opened with
 * QuenScLdapOpen. QUENSC_OK and *conn set; otherwise "Failed to open ldap
 * connection to host: %s", *conn null and QuenScLdapOpen's code. The caller
 * closes the record with QuenScLdapClose. */
int QuenScLdapConnect(i_ctx *ctx, QuenScLdapConn **conn);

/* Unbinds conn's session when it has one and clears handle and bound. A
 * null record is fine. This function can't fail. */
void QuenScLdapClose(i_ctx *ctx, QuenScLdapConn *conn);

/* A synchronous search on ld that follows referrals itself. visited holds
 * the host names already followed (null: the call uses a set of its own).
 * attrs is null-terminated; null means all attributes. Returns the LDAP
 * result code: LDAP_SUCCESS, or the search's own failure, or for a referral
 * the result of the first referral URL whose host was not visited yet and
 * whose search succeeded (*referralHost, when asked for, then names that
 * host in the request pool); LDAP_OTHER when every URL was skipped as a loop
 * or failed; the connection failure code (QUENSC_LDAP_CONNECT_FAILED) when a
 * referral host cannot be opened; QUENSC_INTERNAL for a URL that cannot be
 * split. *result is set in every case (possibly null); the caller frees it
 * with ldap_msgfree. */
int QuenScLdapSearchS(i_ctx *ctx, apr_hash_t *visited, LDAP *ld, const char *base, int scope, const char *filter,
                      char **attrs, int attrsOnly, LDAPMessage **result, const char **referralHost);

/* The values of attribute attr on the object dn (a base search), as a
 * null-terminated array of texts in the request pool; null when the search
 * fails ("QuenScLdapSearchS() failed: %s"), finds nothing or the object has
 * no such attribute. */
char **QuenScLdapGetValues(i_ctx *ctx, LDAP *ld, const char *dn, const char *attr);

/* Like QuenScLdapGetValues for binary attributes: the library's value list,
 * which the caller frees with ldap_value_free_len; null as above. */
struct berval **QuenScLdapGetBinaryValues(i_ctx *ctx, LDAP *ld, const char *dn, const char *attr);

/* True when a base search on dn finds an entry; a failed search is logged
 * and counts as absent. */
bool QuenScLdapObjectExists(i_ctx *ctx, LDAP *ld, const char *dn);

/* value with every character that is special in a search filter (* ( ) \)
 * written as a backslash and two hex digits, in pool. Null gives "". */
char *QuenScLdapEscapeFilterValue(apr_pool_t *pool, const char *value);

/* ---- Users and groups ---------------------------------------------------- */

/* userAccountControl flags the account state uses. The lockout and
 * password-expired flags also come from msDS-User-Account-Control-Computed,
 * the only place a directory shows them as they are now. */
enum QuenScAccountFlag : uint32_t {
    QUENSC_UF_ACCOUNT_DISABLED = 0x2,
    QUENSC_UF_LOCKOUT = 0x10,
    QUENSC_UF_PASSWD_CANT_CHANGE = 0x40,
    QUENSC_UF_DONT_EXPIRE_PASSWD = 0x10000,
    QUENSC_UF_PASSWORD_EXPIRED = 0x800000,
};

/* The state of an account from its attributes (decimal texts; text that is
 * no number counts as 0), first match wins: disabled
 * QUENSC_USER_ACCOUNT_DISABLED, locked out QUENSC_USER_ACCOUNT_LOCKOUT,
 * cannot change its password QUENSC_PASSWORD_CANT_CHANGE, password never
 * expires QUENSC_OK, account expired QUENSC_USER_ACCOUNT_EXPIRED, pwdLastSet
 * 0 QUENSC_PASSWORD_MUST_CHANGE, password past maxPwdAge (a maxPwdAge whose
 * low 32 bits are zero never expires one) or flagged expired
 * QUENSC_PASSWORD_EXPIRED, else QUENSC_OK. nowFiletime is the time in
 * 100-nanosecond intervals since 1601 (QuenScFiletimeNow). */
int QuenScAccountStatusAt(const char *maxPwdAge, const char *pwdLastSet, const char *userAccountControl,
                          const char *accountExpires, int64_t nowFiletime);
int QuenScAccountStatus(const char *maxPwdAge, const char *pwdLastSet, const char *userAccountControl,
                        const char *accountExpires);
int64_t QuenScFiletimeNow();

/* "dc=a,dc=b" for "a.b", in pool. */
char *QuenScDomainToDn(apr_pool_t *pool, const char *domain);
/* "a.b" for a DN whose dc parts are a and b (other parts skipped), in pool. */
char *QuenScDnToDomain(apr_pool_t *pool, const char *dn);

/* Finds a user on conn (opened first when it is not): by principal name,
 * then account name, then common name, under the base chosen from domain
 * (a NetBIOS domain's naming context, else the DNS domain) or the user's
 * own domain. Every output is optional and lives in the request pool.
 * QUENSC_OK; QUENSC_AUTHENTICATION_FAILED when no search finds the user;
 * QuenScLdapOpen's code when conn cannot be opened. */
int QuenScLdapGetUserDn(i_ctx *ctx, QuenScLdapConn *conn, const char *user, const char *domain, char **userDn,
                        char **baseDn, char **userPrincipalName, char **accountName, char **referralHost);

/* The unicodePwd value of password: the password in double quotes, as
 * UTF-16LE without a terminator, in pool. False (out untouched) for a
 * password that is not valid UTF-8 or longer than the 8194-byte quoted
 * form allows. */
bool QuenScUnicodePwdValue(apr_pool_t *pool, const char *password, struct berval *out);

/* Binds conn as accountName@domain with password. QUENSC_OK on success;
 * otherwise conn is bound again with the query account and the account's
 * state explains the failure (QUENSC_USER_ACCOUNT_DISABLED ...
 * QUENSC_PASSWORD_EXPIRED; QUENSC_AUTHENTICATION_FAILED for a wrong password
 * of an account in good standing), or QuenScLdapOpen's code when that
 * rebind fails. An empty password never verifies. */
int QuenScVerifyUser(i_ctx *ctx, QuenScLdapConn *conn, const char *userDn, const char *baseDn,
                     const char *accountName, const char *domain, const char *password);

/* ---- NetBIOS name query ---------------------------------------------------- */

/* The 50-byte name query for name<1C> (the domain controllers of a NetBIOS
 * domain) in the request pool. QUENSC_OK. */
int QuenScNetbiosCreateQuery(i_ctx *ctx, const char *name, unsigned char **packet, size_t *length);

/* Reads a name query response: true and the answer's address as
 * "%d.%d.%d.%d" in address (16 bytes) when it carries exactly one NB answer
 * with at least 6 data bytes; false after a notice otherwise. */
bool QuenScNetbiosParseResponse(const unsigned char *buffer, size_t length, char address[16]);

/* Asks the NetBIOS name server host (UDP port 137, 3 s) for name<1C>: the
 * address of a domain controller in the request pool, or null after a
 * notice. */
char *QuenScNetbiosQuery(i_ctx *ctx, const char *host, const char *name);

/* The naming context (defaultNamingContext) of a domain controller of the
 * NetBIOS domain name, or null (directory not in use, a name that is empty
 * or longer than 15 bytes, no answer). In the request pool. */
char *QuenScNetbiosDomainToNamingContext(i_ctx *ctx, const char *name);

#endif
