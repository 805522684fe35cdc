/* The tool's directory checks over libldap (ldapCheck.h). */
#include "ldapCheck.h"

#include "qcfgCodes.h"
#include "toolLog.h"

#include <ldap.h>

#include <cstring>
#include <set>
#include <unistd.h>
#include <vector>

namespace {

/* How long connecting, and then each directory operation, may take: a
 * directory that accepts the connection but never answers ends in
 * QCFG_ERR_LDAP_TIMEOUT instead of holding the page and the web server's
 * CGI process for good. */
const int kTimeoutSeconds = 10;

/* OpenLDAP reports client-side failures with negative codes; the checks
 * translate the directory results of the LDAP standard, so map the client
 * codes onto those first. */
int Normalise(int rc)
{
    switch (rc) {
    case LDAP_SERVER_DOWN:
    case LDAP_CONNECT_ERROR:
        return 81;
    case LDAP_TIMEOUT:
        return 85;
    case LDAP_NO_MEMORY:
        return 90;
    default:
        return rc;
    }
}

struct Search {
    const QcfgLdapSettings &settings;
    std::set<std::string> visited;
};

void SetTlsOptions(LDAP *ld, const QcfgLdapSettings &settings)
{
    int demand = LDAP_OPT_X_TLS_DEMAND;
    ldap_set_option(ld, LDAP_OPT_X_TLS_REQUIRE_CERT, &demand);
    if (!settings.caFile.empty() && access(settings.caFile.c_str(), R_OK) == 0)
        ldap_set_option(ld, LDAP_OPT_X_TLS_CACERTFILE, settings.caFile.c_str());
    int isServer = 0;
    ldap_set_option(ld, LDAP_OPT_X_TLS_NEWCTX, &isServer);
}

/* A session to host with the standard options, encrypted where the
 * directory allows it. Null with *code set on failure. */
LDAP *OpenSession(const QcfgLdapSettings &settings, const std::string &host, int *code)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        const bool ldaps = attempt == 1;
        std::string uri = (ldaps ? "ldaps://" : "ldap://") + host + (ldaps ? ":636" : ":389");
        LDAP *ld = nullptr;
        int rc = ldap_initialize(&ld, uri.c_str());
        if (rc != LDAP_SUCCESS || !ld) {
            QcfgLogWarning(1, "\t\tError connecting to host: %s", host.c_str());
            *code = QcfgLDAP_TranslateCode(Normalise(rc), QCFG_ERR_LDAP_CONNECT);
            return nullptr;
        }
        int version = LDAP_VERSION3;
        rc = ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
        if (rc != LDAP_OPT_SUCCESS) {
            QcfgLogWarning(1, "\t\tError setting protocol version: %s (%d)", ldap_err2string(rc), rc);
            *code = QcfgLDAP_TranslateCode(Normalise(rc), QCFG_ERR_LDAP_PROTOCOL);
            ldap_unbind_ext_s(ld, nullptr, nullptr);
            return nullptr;
        }
        rc = ldap_set_option(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
        if (rc != LDAP_OPT_SUCCESS)
            QcfgLogWarning(1, "\t\tCreateConnection Failed: Error setting referrals off: %s (%d)", ldap_err2string(rc), rc);
        int deref = LDAP_DEREF_ALWAYS;
        rc = ldap_set_option(ld, LDAP_OPT_DEREF, &deref);
        if (rc != LDAP_OPT_SUCCESS)
            QcfgLogWarning(1, "\t\tCreateConnection Failed: Error setting deref: %s (%d)", ldap_err2string(rc), rc);
        struct timeval timeout = {kTimeoutSeconds, 0};
        ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &timeout);
        ldap_set_option(ld, LDAP_OPT_TIMEOUT, &timeout);
        SetTlsOptions(ld, settings);
        if (ldaps)
            return ld;
        rc = ldap_start_tls_s(ld, nullptr, nullptr);
        if (rc == LDAP_SUCCESS)
            return ld;
        if (rc == LDAP_SERVER_DOWN || rc == LDAP_TIMEOUT) {
            QcfgLogWarning(1, "\t\tError connecting to host: %s", host.c_str());
            *code = QcfgLDAP_TranslateCode(Normalise(rc), QCFG_ERR_LDAP_CONNECT);
            ldap_unbind_ext_s(ld, nullptr, nullptr);
            return nullptr;
        }
        if (rc == LDAP_CONNECT_ERROR) {
            /* the directory offered TLS but its certificate did not verify:
             * never fall back to a weaker channel then */
            char *diag = nullptr;
            ldap_get_option(ld, LDAP_OPT_DIAGNOSTIC_MESSAGE, &diag);
            QcfgLogWarning(1, "\t\tCreateConnection Failed: Error setting encryption on: %s (%d) %s",
                           ldap_err2string(rc), rc, diag ? diag : "");
            ldap_memfree(diag);
            *code = QCFG_ERR_LDAP_CONNECT;
            ldap_unbind_ext_s(ld, nullptr, nullptr);
            return nullptr;
        }
        QcfgLogWarning(1, "\t\tCreateConnection Failed: Error setting encryption on: %s (%d)", ldap_err2string(rc), rc);
        if (settings.secure == 0) {
            /* a plain channel is all this directory offers, and the
             * configuration allows it */
            ldap_unbind_ext_s(ld, nullptr, nullptr);
            LDAP *plain = nullptr;
            if (ldap_initialize(&plain, ("ldap://" + host + ":389").c_str()) != LDAP_SUCCESS || !plain) {
                *code = QCFG_ERR_LDAP_CONNECT;
                return nullptr;
            }
            ldap_set_option(plain, LDAP_OPT_PROTOCOL_VERSION, &version);
            ldap_set_option(plain, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
            ldap_set_option(plain, LDAP_OPT_DEREF, &deref);
            ldap_set_option(plain, LDAP_OPT_NETWORK_TIMEOUT, &timeout);
            ldap_set_option(plain, LDAP_OPT_TIMEOUT, &timeout);
            return plain;
        }
        ldap_unbind_ext_s(ld, nullptr, nullptr);
    }
    *code = QCFG_ERR_LDAP_CONNECT;
    return nullptr;
}

/* QcfgLDAP_CreateConnection: a session bound as user (name before any "@")
 * at domain, or at the default domain. */
LDAP *CreateConnection(const QcfgLdapSettings &settings, const std::string &host, const std::string &user,
                       const std::string &password, const std::string *domain, const std::string &defaultDomain,
                       int *code)
{
    LDAP *ld = OpenSession(settings, host, code);
    if (!ld)
        return nullptr;
    std::string name = user.substr(0, user.find('@'));
    std::string bindDomain = domain && !domain->empty() ? *domain : defaultDomain;
    std::string principal = bindDomain.empty() ? name : name + "@" + bindDomain;
    struct berval cred;
    cred.bv_val = const_cast<char *>(password.c_str());
    cred.bv_len = password.size();
    int rc = ldap_sasl_bind_s(ld, principal.c_str(), LDAP_SASL_SIMPLE, &cred, nullptr, nullptr, nullptr);
    if (rc != LDAP_SUCCESS) {
        QcfgLogWarning(1, "\t\tCreateConnection Failed: Failed to bind as user: %s", principal.c_str());
        QcfgLogWarning(1, "\t\t\tCause: %s (%d)", ldap_err2string(rc), rc);
        *code = QcfgLDAP_TranslateCode(Normalise(rc), QCFG_ERR_LDAP_QUERY_BIND);
        ldap_unbind_ext_s(ld, nullptr, nullptr);
        return nullptr;
    }
    *code = QCFG_OK;
    return ld;
}

/* QcfgLDAP_Search: one search, following referrals to hosts not visited yet
 * with the referral account. *result is the caller's (ldap_msgfree). */
int RunSearch(Search &ctx, LDAP *ld, const std::string &base, int scope, const std::string &filter,
              char **attrs, int attrsOnly, LDAPMessage **result)
{
    *result = nullptr;
    LDAPMessage *res = nullptr;
    int rc = ldap_search_ext_s(ld, base.c_str(), scope, filter.c_str(), attrs, attrsOnly, nullptr, nullptr, nullptr,
                               0, &res);
    if (rc == LDAP_SUCCESS || (rc == LDAP_SIZELIMIT_EXCEEDED && res && ldap_count_entries(ld, res) > 0)) {
        *result = res;
        return QCFG_OK;
    }
    if (rc != LDAP_REFERRAL) {
        if (res)
            ldap_msgfree(res);
        return QcfgLDAP_TranslateCode(Normalise(rc), QCFG_ERR_LDAP_SEARCH);
    }
    char **referrals = nullptr;
    int err = 0;
    int prc = ldap_parse_result(ld, res, &err, nullptr, nullptr, &referrals, nullptr, 1);
    if (prc != LDAP_SUCCESS) {
        QcfgLogWarning(1, "ldap_parse_result() failed: %s", ldap_err2string(prc));
        return QcfgLDAP_TranslateCode(Normalise(prc), QCFG_ERR_LDAP_REFERRAL_URL);
    }
    int code = QCFG_ERR_LDAP_SEARCH;
    for (int i = 0; referrals && referrals[i]; ++i) {
        LDAPURLDesc *url = nullptr;
        int urc = ldap_url_parse(referrals[i], &url);
        if (urc != LDAP_URL_SUCCESS || !url || !url->lud_host) {
            QcfgLogWarning(1, "Failed to parse referral: %s (%d)", referrals[i], urc);
            if (url)
                ldap_free_urldesc(url);
            code = QCFG_ERR_LDAP_REFERRAL_URL;
            break;
        }
        std::string host = url->lud_host;
        ldap_free_urldesc(url);
        if (ctx.visited.count(host)) {
            QcfgLogInfo(1, "Detected a loop (%s) in search: '%s', skipping ldap search.", host.c_str(), filter.c_str());
            continue;
        }
        ctx.visited.insert(host);
        int ccode = 0;
        LDAP *next = CreateConnection(ctx.settings, host, ctx.settings.referralUser, ctx.settings.referralPassword,
                                      nullptr, ctx.settings.referralRealm, &ccode);
        if (!next) {
            QcfgLogWarning(1, "Failed to open new ldap connection to: %s (%d)", host.c_str(), ccode);
            code = ccode;
            break;
        }
        int src = RunSearch(ctx, next, base, scope, filter, attrs, attrsOnly, result);
        ldap_unbind_ext_s(next, nullptr, nullptr);
        if (src == QCFG_OK) {
            code = QCFG_OK;
            break;
        }
    }
    ldap_memvfree((void **)referrals);
    return code;
}

/* All values of attr of the object at dn, as bytes; empty when none. */
std::vector<std::string> BinAttributes(Search &ctx, LDAP *ld, const std::string &dn, const char *attr, bool text)
{
    std::vector<std::string> out;
    char *attrs[] = {const_cast<char *>(attr), nullptr};
    LDAPMessage *res = nullptr;
    const char *who = text ? "GetAttribute" : "GetBinAttributes";
    int rc = RunSearch(ctx, ld, dn, LDAP_SCOPE_BASE, "(objectClass=*)", attrs, 0, &res);
    if (rc != QCFG_OK) {
        QcfgLogWarning(1, "\t\t%s Failed: Error (%d) searching in ldap (%s): %s", who, rc, dn.c_str(), attr);
        return out;
    }
    if (ldap_count_entries(ld, res) <= 0) {
        QcfgLogWarning(1, "\t\t%s Failed: Object not found", who);
        ldap_msgfree(res);
        return out;
    }
    LDAPMessage *entry = ldap_first_entry(ld, res);
    if (!entry) {
        QcfgLogWarning(1, "\t\t%s Failed: Error getting first entry", who);
        ldap_msgfree(res);
        return out;
    }
    struct berval **values = ldap_get_values_len(ld, entry, attr);
    for (int i = 0; values && values[i]; ++i)
        out.emplace_back(values[i]->bv_val, values[i]->bv_len);
    ldap_value_free_len(values);
    ldap_msgfree(res);
    if (text && out.empty())
        QcfgLogWarning(1, "\t\tGetAttribute Failed: 0 values for attr: %s", attr);
    return out;
}

/* GetLdapObjectDN: the DN of the first object under base that matches. */
int ObjectDn(Search &ctx, LDAP *ld, const std::string &filter, const std::string &base, std::string &dn)
{
    int limit = 50;
    int rc = ldap_set_option(ld, LDAP_OPT_SIZELIMIT, &limit);
    if (rc != LDAP_OPT_SUCCESS)
        QcfgLogWarning(1, "\t\tGetLdapObjectDn Failed: Size Limit Increase Failed: %s", ldap_err2string(rc));
    char noAttrs[] = LDAP_NO_ATTRS;
    char *attrs[] = {noAttrs, nullptr};
    LDAPMessage *res = nullptr;
    int code = RunSearch(ctx, ld, base, LDAP_SCOPE_SUBTREE, filter, attrs, 0, &res);
    if (code != QCFG_OK) {
        QcfgLogWarning(1, "\t\tGetLdapObjectDn Failed: Error (%d) searching in ldap (%s - %s): %s", code, base.c_str(),
                       filter.c_str(), "search failed");
        return code;
    }
    int result = QCFG_LDAP_NOT_FOUND;
    LDAPMessage *entry = ldap_count_entries(ld, res) > 0 ? ldap_first_entry(ld, res) : nullptr;
    if (ldap_count_entries(ld, res) <= 0) {
        QcfgLogWarning(1, "\t\tGetLdapObjectDn Failed: Object not found");
    } else if (!entry) {
        QcfgLogWarning(1, "\t\tGetLdapObjectDn Failed: Error getting first entry");
    } else {
        char *found = ldap_get_dn(ld, entry);
        if (!found) {
            QcfgLogWarning(1, "\t\tGetLdapObjectDn Failed: Error getting DN for object");
        } else {
            dn = found;
            ldap_memfree(found);
            result = QCFG_OK;
        }
    }
    ldap_msgfree(res);
    return result;
}

/* RFC 4515 escaping of a filter value. */
std::string FilterValue(const std::string &v)
{
    std::string out;
    static const char hex[] = "0123456789abcdef";
    for (unsigned char c : v) {
        if (c == '*' || c == '(' || c == ')' || c == '\\' || c == 0) {
            out += '\\';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += (char)c;
        }
    }
    return out;
}

/* QcfgLDAP_IsMemberOf */
int IsMemberOf(Search &ctx, LDAP *ld, const std::string &user, const std::string &password,
               const std::string &domainArg, const std::string &defaultRealm, const std::string &groupDn)
{
    if (user.empty() || password.empty())
        return QCFG_ERR_LDAP_USER_BIND;
    const std::string domain = domainArg.empty() ? defaultRealm : domainArg;
    const size_t at = user.find('@');
    const std::string name = user.substr(0, at);
    const std::string userDomain = at == std::string::npos ? domain : user.substr(at + 1);
    const std::string base = QcfgLDAP_DomainToDn(domain);

    const std::string filters[] = {
        "(&(objectClass=user)(userPrincipalName=" + FilterValue(name) + "@" + FilterValue(userDomain) + "))",
        "(&(objectClass=user)(sAMAccountName=" + FilterValue(name) + "))",
        "(&(objectClass=user)(cn=" + FilterValue(name) + "))",
    };
    std::string userDn;
    for (const std::string &f : filters) {
        QcfgLogInfo(1, "\t\tSearch filter: %s (%s)", f.c_str(), base.c_str());
        if (ObjectDn(ctx, ld, f, base, userDn) == QCFG_OK)
            break;
        userDn.clear();
    }
    if (userDn.empty()) {
        QcfgLogWarning(1, "\t\tCheckLdapUserMemberOfGroup Failed: Could not find user in directory: %s", user.c_str());
        return QCFG_ERR_LDAP_USER_NOT_FOUND;
    }
    std::vector<std::string> tokens = BinAttributes(ctx, ld, userDn, "tokenGroups", false);
    if (tokens.empty()) {
        QcfgLogWarning(1, "\t\tFailed to retrieve tokenGroups for: %s", userDn.c_str());
        return QCFG_ERR_LDAP_NOT_MEMBER;
    }
    std::vector<std::string> groupSid = BinAttributes(ctx, ld, groupDn, "objectSid", false);
    if (groupSid.empty()) {
        QcfgLogWarning(1, "\t\tFailed to retrieve group sid for: %s", groupDn.c_str());
        return QCFG_ERR_LDAP_NOT_MEMBER;
    }
    std::vector<std::string> account = BinAttributes(ctx, ld, userDn, "sAMAccountName", true);
    if (account.empty()) {
        QcfgLogWarning(1, "\t\tFailed to retrieve sAMAccountName for: %s", userDn.c_str());
        return QCFG_ERR_LDAP_NOT_MEMBER;
    }
    /* the user's own bind proves the password */
    const std::string principal = account[0] + "@" + domain;
    struct berval cred;
    cred.bv_val = const_cast<char *>(password.c_str());
    cred.bv_len = password.size();
    int rc = ldap_sasl_bind_s(ld, principal.c_str(), LDAP_SASL_SIMPLE, &cred, nullptr, nullptr, nullptr);
    if (rc != LDAP_SUCCESS) {
        int code = QcfgLDAP_TranslateCode(Normalise(rc), QCFG_ERR_LDAP_USER_BIND);
        QcfgLogWarning(1, "\t\tCheckLdapUserMemberOfGroup Failed (%d): Could not rebind to (%s): %s", code,
                       principal.c_str(), ldap_err2string(rc));
        return code;
    }
    for (const std::string &t : tokens)
        if (t == groupSid[0])
            return QCFG_OK;
    QcfgLogWarning(1, "\t\tCheckLdapUserMemberOfGroup Failed: No match found");
    return QCFG_ERR_LDAP_NOT_MEMBER;
}

} // namespace

int QcfgLDAP_TranslateCode(int ldapResult, int fallback)
{
    int code;
    switch (ldapResult) {
    case 0: code = QCFG_OK; break;
    case 51: code = QCFG_ERR_LDAP_BUSY; break;
    case 52: code = QCFG_ERR_LDAP_UNAVAILABLE; break;
    case 81: code = QCFG_ERR_LDAP_SERVER_DOWN; break;
    case 85: code = QCFG_ERR_LDAP_TIMEOUT; break;
    case 90: code = QCFG_ERR_LDAP_NO_MEMORY; break;
    default: code = fallback; break;
    }
    /* the standard's client-side results have other numbers in OpenLDAP */
    const char *text = ldapResult == 81   ? "Server down"
                       : ldapResult == 85 ? "Timed out"
                       : ldapResult == 90 ? "Out of memory"
                                          : ldap_err2string(ldapResult);
    QcfgLogWarning(1, "\t\tTranslating LDAP Code (%d) to (%d): %s", ldapResult, code, text);
    return code;
}

std::string QcfgLDAP_DomainToDn(const std::string &domain)
{
    std::string dn;
    size_t start = 0;
    while (start <= domain.size()) {
        size_t dot = domain.find('.', start);
        if (dot == std::string::npos)
            dot = domain.size();
        dn += (dn.empty() ? "dc=" : ",dc=") + domain.substr(start, dot - start);
        start = dot + 1;
    }
    return dn.size() < 1024 ? dn : std::string();
}

int QcfgLDAP_ValidateData(const QcfgLdapSettings &settings, const std::string &host, const std::string &queryUser,
                          const std::string &queryPassword, const std::string &domain,
                          const std::string &adminGroupDn, const std::string &helpdeskGroupDn)
{
    Search ctx{settings, {}};
    ctx.visited.insert(host);
    int code = 0;
    LDAP *ld = CreateConnection(settings, host, queryUser, queryPassword, nullptr, domain, &code);
    if (!ld) {
        QcfgLogWarning(1, "\t\tValidateLDAPData Failed: Connecting to host %s failed (%d)", host.c_str(), code);
        return code;
    }
    const std::string domainDn = QcfgLDAP_DomainToDn(domain);
    if (BinAttributes(ctx, ld, domainDn, "objectSid", false).empty()) {
        QcfgLogWarning(1, "\t\tFailed to retrieve object sid for: %s (%s)", domain.c_str(), domainDn.c_str());
        ldap_unbind_ext_s(ld, nullptr, nullptr);
        return QCFG_ERR_LDAP_CONNECT;
    }
    std::string dn;
    int rc = adminGroupDn.empty() ? QCFG_LDAP_NOT_FOUND
                                  : ObjectDn(ctx, ld, "(&(objectClass=group)(distinguishedName=" + FilterValue(adminGroupDn) + "))",
                                             adminGroupDn, dn);
    if (rc != QCFG_OK) {
        QcfgLogWarning(1, "\t\tValidateLDAPData: Can't find ADMIN DN object");
        ldap_unbind_ext_s(ld, nullptr, nullptr);
        return QcfgLDAP_TranslateCode(rc, QCFG_ERR_LDAP_ADMIN_GROUP);
    }
    if (!helpdeskGroupDn.empty()) {
        rc = ObjectDn(ctx, ld, "(&(objectClass=group)(distinguishedName=" + FilterValue(helpdeskGroupDn) + "))",
                      helpdeskGroupDn, dn);
        if (rc != QCFG_OK) {
            QcfgLogWarning(1, "\t\tValidateLDAPData: Can't find HELPDESK DN object");
            ldap_unbind_ext_s(ld, nullptr, nullptr);
            return QcfgLDAP_TranslateCode(rc, QCFG_ERR_LDAP_HELPDESK_GROUP);
        }
    }
    ldap_unbind_ext_s(ld, nullptr, nullptr);
    return QCFG_OK;
}

int QcfgLDAP_VerifyUserCredentials(const QcfgLdapSettings &settings, const std::string &host,
                                   const std::string &queryUser, const std::string &queryPassword,
                                   const std::string &defaultRealm, const std::string &adminGroupDn,
                                   const std::string &user, const std::string &domain, const std::string &password,
                                   int *role)
{
    *role = 0;
    Search ctx{settings, {}};
    ctx.visited.insert(host);
    int code = 0;
    LDAP *ld = CreateConnection(settings, host, queryUser, queryPassword, nullptr, defaultRealm, &code);
    if (!ld) {
        QcfgLogWarning(1, "\t\tCheckLdapCredentials Failed (%d): Create LDAP connection failed", code);
        return code;
    }
    if (adminGroupDn.empty()) {
        QcfgLogWarning(1, "\t\tCheckLdapCredentials Failed: Invalid administrator's group DN");
        ldap_unbind_ext_s(ld, nullptr, nullptr);
        return QCFG_ERR_LDAP_ADMIN_GROUP;
    }
    code = IsMemberOf(ctx, ld, user, password, domain, defaultRealm, adminGroupDn);
    ldap_unbind_ext_s(ld, nullptr, nullptr);
    if (code != QCFG_OK) {
        QcfgLogWarning(1, "\t\tCheckLdapCredentials Failed: Not member of correct group (%d)", code);
        return code;
    }
    *role = 2;
    return QCFG_OK;
}
