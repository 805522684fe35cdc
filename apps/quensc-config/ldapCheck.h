/* The tool's own directory checks over OpenLDAP's libldap: connecting with
 * the query account, searching with referrals, reading attributes, finding
 * a user's DN, proving group membership through tokenGroups, validating a
 * directory configuration before it is saved, and the directory login to
 * the tool. Results are the tool's codes (qcfgCodes.h), 0 on success; every
 * failure is logged as a warning with the directory's text. Passwords are
 * never logged.
 *
 * Connecting: port 389 with StartTLS; when the directory refuses it and
 * secure is not 0, LDAP over SSL on 636, else the plain connection; then a
 * simple bind as name@domain. The directory's certificate is checked against
 * caFile when that file exists, else the system's trust store. Connecting
 * and every operation wait at most 10 s; a directory that does not answer
 * in time gives QCFG_ERR_LDAP_TIMEOUT. */
#ifndef QUENSC_CONFIG_LDAPCHECK_H
#define QUENSC_CONFIG_LDAPCHECK_H

#include <string>

/* What a check needs to know beyond its arguments: the account that
 * follows referrals (the request's qUserUPN/qUserPw/defDomain, each falling
 * back to the configured value), the channel rule and the CA file. */
struct QcfgLdapSettings {
    std::string referralUser;
    std::string referralPassword;
    std::string referralRealm;
    int secure = 1;
    std::string caFile;
};

/* The tool's code for an LDAP result: 0 for 0; 51 -> QCFG_ERR_LDAP_BUSY,
 * 52 -> QCFG_ERR_LDAP_UNAVAILABLE, 81 -> QCFG_ERR_LDAP_SERVER_DOWN,
 * 85 -> QCFG_ERR_LDAP_TIMEOUT, 90 -> QCFG_ERR_LDAP_NO_MEMORY, any other the
 * given default. Logs the translation. */
int QcfgLDAP_TranslateCode(int ldapResult, int fallback);

/* "dc=a,dc=b" of "a.b" (1023 bytes at most; longer gives ""). */
std::string QcfgLDAP_DomainToDn(const std::string &domain);

/* Checks a directory configuration before it is saved: connect as the query
 * account, find the domain object's objectSid (QCFG_ERR_LDAP_CONNECT when
 * missing), find the administrators' group (QCFG_ERR_LDAP_ADMIN_GROUP) and,
 * when given, the help-desk group (QCFG_ERR_LDAP_HELPDESK_GROUP). */
int QcfgLDAP_ValidateData(const QcfgLdapSettings &settings, const std::string &host, const std::string &queryUser,
                          const std::string &queryPassword, const std::string &domain,
                          const std::string &adminGroupDn, const std::string &helpdeskGroupDn);

/* The directory login to the tool: the user (name, or name@domain) must
 * bind with the password and belong to adminGroupDn. On 0, *role is 2
 * (administrator). */
int QcfgLDAP_VerifyUserCredentials(const QcfgLdapSettings &settings, const std::string &host,
                                   const std::string &queryUser, const std::string &queryPassword,
                                   const std::string &defaultRealm, const std::string &adminGroupDn,
                                   const std::string &user, const std::string &domain, const std::string &password,
                                   int *role);

#endif
