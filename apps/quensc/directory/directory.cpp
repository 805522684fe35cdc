/* Directory users and groups: finding a user from a typed name, verifying a
 * password by binding as the user, explaining a failed bind from the
 * account's state, group membership through tokenGroups, the password
 * change on behalf of a client runtime, and the domain/DN conversions. */
#include "directory/directory.h"

#include "directory/ldapConn.h"
#include "frame/codes.h"
#include "frame/log.h"

#include <apr_strings.h>
#include <apr_time.h>

#include <cstring>
#include <string>

namespace {

constexpr size_t kFilterSize = 8192;
constexpr size_t kQuotedPasswordSize = 8194;
/* 100-nanosecond intervals from 1601-01-01 to 1970-01-01, divided by 10. */
constexpr int64_t kFiletimeEpochMicroseconds = 11644473600000000LL;
constexpr int64_t kNeverExpires = 0x7FFFFFFFFFFFFFFFLL;

const char *Text(const char *s) { return s ? s : ""; }

int64_t Number(const char *text)
{
    if (QuenScIsEmpty(text))
        return 0;
    return apr_strtoi64(text, nullptr, 10);
}

const char *FirstValue(char **values) { return values && values[0] ? values[0] : nullptr; }

/* Searches base for one filter; true and the result when it found an entry,
 * else false with nothing left to free. *searchRc gets the search's code. */
bool FindOne(i_ctx *ctx, LDAP *ld, const char *base, const char *filter, LDAPMessage **result,
             const char **referralHost, int *searchRc)
{
    *searchRc = QuenScLdapSearchS(ctx, nullptr, ld, base, LDAP_SCOPE_SUBTREE, filter, nullptr, 0, result,
                                  referralHost);
    if (*searchRc == LDAP_SUCCESS && *result && ldap_count_entries(ld, *result) > 0)
        return true;
    if (*result)
        ldap_msgfree(*result);
    *result = nullptr;
    return false;
}

} // namespace

int64_t QuenScFiletimeNow() { return (apr_time_now() + kFiletimeEpochMicroseconds) * 10; }

char *QuenScDomainToDn(apr_pool_t *pool, const char *domain)
{
    std::string dn;
    const char *s = Text(domain);
    while (true) {
        const char *dot = strchr(s, '.');
        dn += dn.empty() ? "dc=" : ",dc=";
        dn.append(s, dot ? static_cast<size_t>(dot - s) : strlen(s));
        if (!dot)
            break;
        s = dot + 1;
    }
    return apr_pstrdup(pool, dn.c_str());
}

char *QuenScDnToDomain(apr_pool_t *pool, const char *dn)
{
    std::string domain;
    const char *s = Text(dn);
    while (*s) {
        const char *comma = strchr(s, ',');
        std::string part(s, comma ? static_cast<size_t>(comma - s) : strlen(s));
        size_t eq = part.find('=');
        if (eq != std::string::npos) {
            std::string name;
            for (char c : part.substr(0, eq))
                if (c != ' ')
                    name += c;
            if (strcasecmp(name.c_str(), "dc") == 0) {
                if (!domain.empty())
                    domain += '.';
                domain += part.substr(eq + 1);
            }
        }
        if (!comma)
            break;
        s = comma + 1;
    }
    return apr_pstrdup(pool, domain.c_str());
}

int QuenScAccountStatusAt(const char *maxPwdAge, const char *pwdLastSet, const char *userAccountControl,
                          const char *accountExpires, int64_t now)
{
    int64_t maxAge = Number(maxPwdAge);
    int64_t lastSet = Number(pwdLastSet);
    uint64_t flags = static_cast<uint64_t>(Number(userAccountControl));
    int64_t expires = Number(accountExpires);
    if (flags & QUENSC_UF_ACCOUNT_DISABLED)
        return QUENSC_USER_ACCOUNT_DISABLED;
    if (flags & QUENSC_UF_LOCKOUT)
        return QUENSC_USER_ACCOUNT_LOCKOUT;
    if (flags & QUENSC_UF_PASSWD_CANT_CHANGE)
        return QUENSC_PASSWORD_CANT_CHANGE;
    if (flags & QUENSC_UF_DONT_EXPIRE_PASSWD)
        return QUENSC_OK;
    if (expires != 0 && expires != kNeverExpires && expires < now)
        return QUENSC_USER_ACCOUNT_EXPIRED;
    if (lastSet == 0)
        return QUENSC_PASSWORD_MUST_CHANGE;
    if (flags & QUENSC_UF_PASSWORD_EXPIRED)
        return QUENSC_PASSWORD_EXPIRED;
    /* maxPwdAge is a negative interval; one whose low 32 bits are zero (such
     * as 0, or the smallest value, which means "never") expires nothing. */
    int64_t expiry = 0;
    if ((static_cast<uint64_t>(maxAge) & 0xFFFFFFFFULL) != 0 && !__builtin_sub_overflow(lastSet, maxAge, &expiry) &&
        expiry < now)
        return QUENSC_PASSWORD_EXPIRED;
    return QUENSC_OK;
}

int QuenScAccountStatus(const char *maxPwdAge, const char *pwdLastSet, const char *userAccountControl,
                        const char *accountExpires)
{
    return QuenScAccountStatusAt(maxPwdAge, pwdLastSet, userAccountControl, accountExpires, QuenScFiletimeNow());
}

int QuenScLdapGetUserDn(i_ctx *ctx, QuenScLdapConn *conn, const char *user, const char *domain, char **userDn,
                        char **baseDn, char **userPrincipalName, char **accountName, char **referralHost)
{
    int rc = QuenScLdapOpen(ctx, conn);
    if (rc != QUENSC_OK)
        return rc;
    if (QuenScIsEmpty(user))
        return QUENSC_AUTHENTICATION_FAILED;
    char *name = nullptr;
    char *userDomain = nullptr;
    bool translated = false;
    rc = QuenParseUser(ctx, user, true, &name, &userDomain, &translated);
    if (rc != QUENSC_OK) {
        QuenScLogError("QuenScLdapGetUserDn() Failed to parse user: %s", user);
        return rc;
    }
    const QuenScConfig *cfg = ctx->server->configuration;
    const char *chosenDomain = nullptr;
    const char *base = nullptr;
    if (QuenScIsEmpty(domain)) {
        chosenDomain = translated ? userDomain : Text(cfg->krb5.default_realm);
        base = QuenScDomainToDn(ctx->pool, chosenDomain);
    } else {
        char *context = QuenScNetbiosDomainToNamingContext(ctx, domain);
        if (context) {
            base = context;
            chosenDomain = QuenScDnToDomain(ctx->pool, context);
        } else {
            chosenDomain = domain;
            base = QuenScDomainToDn(ctx->pool, domain);
        }
    }
    const char *principal = (userDomain && !translated) ? user : apr_pstrcat(ctx->pool, name, "@", chosenDomain,
                                                                             nullptr);
    const char *filters[3] = {
        apr_pstrcat(ctx->pool, "(&(objectClass=user)(userPrincipalName=",
                    QuenScLdapEscapeFilterValue(ctx->pool, principal), "))", nullptr),
        apr_pstrcat(ctx->pool, "(&(objectClass=user)(sAMAccountName=", QuenScLdapEscapeFilterValue(ctx->pool, name),
                    "))", nullptr),
        apr_pstrcat(ctx->pool, "(&(objectClass=user)(cn=", QuenScLdapEscapeFilterValue(ctx->pool, name), "))",
                    nullptr),
    };
    LDAPMessage *result = nullptr;
    const char *foundOn = nullptr;
    bool found = false;
    for (int i = 0; i < 3 && !found; i++) {
        /* A filter that would not fit the filter buffer finds nobody rather
         * than being cut into a different filter. */
        if (strlen(filters[i]) >= kFilterSize)
            continue;
        int searchRc = LDAP_SUCCESS;
        found = FindOne(ctx, conn->handle, base, filters[i], &result, &foundOn, &searchRc);
        if (!found && i == 2 && searchRc != LDAP_SUCCESS)
            QuenScLogError("QuenScLdapSearchS() failed: %s", ldap_err2string(searchRc));
    }
    if (!found)
        return QUENSC_AUTHENTICATION_FAILED;

    /* The entry may come from another server after a referral; its
     * attributes are read from the answer itself. */
    LDAP *ld = conn->handle;
    LDAPMessage *entry = ldap_first_entry(ld, result);
    char *dn = entry ? ldap_get_dn(ld, entry) : nullptr;
    if (!dn) {
        ldap_msgfree(result);
        return QUENSC_AUTHENTICATION_FAILED;
    }
    if (userDn)
        *userDn = apr_pstrdup(ctx->pool, dn);
    ldap_memfree(dn);
    if (baseDn)
        *baseDn = apr_pstrdup(ctx->pool, base);
    struct berval **upn = ldap_get_values_len(ld, entry, "userPrincipalName");
    if (userPrincipalName)
        *userPrincipalName = (upn && upn[0]) ? apr_pstrmemdup(ctx->pool, upn[0]->bv_val, upn[0]->bv_len)
                                             : apr_pstrcat(ctx->pool, name, "@", chosenDomain, nullptr);
    struct berval **sam = ldap_get_values_len(ld, entry, "sAMAccountName");
    if (accountName)
        *accountName = (sam && sam[0]) ? apr_pstrmemdup(ctx->pool, sam[0]->bv_val, sam[0]->bv_len) : name;
    if (upn)
        ldap_value_free_len(upn);
    if (sam)
        ldap_value_free_len(sam);
    if (referralHost)
        *referralHost = foundOn ? apr_pstrdup(ctx->pool, foundOn) : nullptr;
    ldap_msgfree(result);
    return QUENSC_OK;
}

int QuenScVerifyUser(i_ctx *ctx, QuenScLdapConn *conn, const char *userDn, const char *baseDn,
                     const char *accountName, const char *domain, const char *password)
{
    const char *principal = apr_pstrcat(ctx->pool, Text(accountName), "@", Text(domain), nullptr);
    int rc = QuenScLdapBind(conn->handle, principal, password);
    if (rc == LDAP_SUCCESS)
        return QUENSC_OK;

    conn->bound = false;
    QuenScLogError("QuenScVerifyUser(): Error during bind: %s", ldap_err2string(rc));
    QuenScLdapClose(ctx, conn);
    rc = QuenScLdapOpen(ctx, conn);
    if (rc != QUENSC_OK)
        return rc;
    LDAP *ld = conn->handle;
    const char *maxPwdAge = FirstValue(QuenScLdapGetValues(ctx, ld, baseDn, "maxPwdAge"));
    if (!maxPwdAge) {
        QuenScLogError("QuenScVerifyUser(): Failed to retrieve 'maxPwdAgeStr' from domain %s", Text(domain));
        return QUENSC_AUTHENTICATION_FAILED;
    }
    const char *control = FirstValue(QuenScLdapGetValues(ctx, ld, userDn, "userAccountControl"));
    if (!control) {
        QuenScLogError("QuenScVerifyUser(): Failed to retrieve 'userAccountControl' from user %s", userDn);
        return QUENSC_AUTHENTICATION_FAILED;
    }
    const char *pwdLastSet = FirstValue(QuenScLdapGetValues(ctx, ld, userDn, "pwdLastSet"));
    if (!pwdLastSet) {
        QuenScLogError("QuenScVerifyUser(): Failed to retrieve 'pwdLastSet' from user %s", userDn);
        return QUENSC_AUTHENTICATION_FAILED;
    }
    const char *accountExpires = FirstValue(QuenScLdapGetValues(ctx, ld, userDn, "accountExpires"));
    if (!accountExpires) {
        QuenScLogError("QuenScVerifyUser(): Failed to retrieve 'accountExpires' from user %s", userDn);
        return QUENSC_AUTHENTICATION_FAILED;
    }
    /* The stored flags never show a lockout or an expired password as they
     * are now; the computed flags do. Directories without them leave the
     * stored flags alone. */
    const char *computed = FirstValue(QuenScLdapGetValues(ctx, ld, userDn, "msDS-User-Account-Control-Computed"));
    uint64_t flags = static_cast<uint64_t>(Number(control)) |
                     (static_cast<uint64_t>(Number(computed)) & (QUENSC_UF_LOCKOUT | QUENSC_UF_PASSWORD_EXPIRED));
    const char *allFlags = apr_psprintf(ctx->pool, "%" APR_UINT64_T_FMT, flags);
    int status = QuenScAccountStatus(maxPwdAge, pwdLastSet, allFlags, accountExpires);
    return (status == QUENSC_OK || status == QUENSC_PASSWORD_CANT_CHANGE) ? QUENSC_AUTHENTICATION_FAILED : status;
}

int QuenScLdapAuthenticateUser(i_ctx *ctx, const char *user, const char *password, const char *domain,
                               char **userDn, char **userPrincipalName)
{
    if (userDn)
        *userDn = nullptr;
    if (userPrincipalName)
        *userPrincipalName = nullptr;
    QuenScLdapConn *conn = nullptr;
    int rc = QuenScLdapConnect(ctx, &conn);
    if (rc != QUENSC_OK)
        return rc;
    char *dn = nullptr;
    char *base = nullptr;
    char *principal = nullptr;
    char *account = nullptr;
    char *referralHost = nullptr;
    rc = QuenScLdapGetUserDn(ctx, conn, user, domain, &dn, &base, &principal, &account, &referralHost);
    if (rc != QUENSC_OK) {
        QuenScLogError("user: %s does not exist in domain: %s", Text(user), Text(domain));
        rc = QUENSC_AUTHENTICATION_FAILED;
    } else if (referralHost) {
        /* A user found through a referral proves the password to the server
         * that holds the account, not to the one that referred. */
        QuenScLdapClose(ctx, conn);
        conn->host = referralHost;
        rc = QuenScLdapOpen(ctx, conn);
        if (rc != QUENSC_OK)
            QuenScLogError("QuenScLdapSearchS() failed to open LDAP connection to: %s", referralHost);
    }
    if (rc == QUENSC_OK) {
        rc = QuenScVerifyUser(ctx, conn, dn, base, account, QuenScDnToDomain(ctx->pool, base), password);
        if (rc == QUENSC_OK) {
            if (userDn)
                *userDn = dn;
            if (userPrincipalName)
                *userPrincipalName = principal;
        }
    }
    QuenScLdapClose(ctx, conn);
    return rc;
}

int QuenScLdapIsMember(i_ctx *ctx, const char *userDn, const char *groupDn)
{
    if (QuenScIsEmpty(userDn) || QuenScIsEmpty(groupDn))
        return QUENSC_AUTHENTICATION_FAILED;
    QuenScLdapConn *conn = nullptr;
    int rc = QuenScLdapConnect(ctx, &conn);
    if (rc != QUENSC_OK)
        return rc;
    rc = QUENSC_AUTHENTICATION_FAILED;
    struct berval **sid = QuenScLdapGetBinaryValues(ctx, conn->handle, groupDn, "objectSid");
    struct berval **tokens = nullptr;
    if (!sid) {
        QuenScLogError("Failed to retrieve 'objectSid' attribute for object '%s'", groupDn);
    } else if (ldap_count_values_len(sid) != 1) {
        QuenScLogError("Failed to find a unique 'objectSid' attribute for object '%s'", groupDn);
    } else if (!(tokens = QuenScLdapGetBinaryValues(ctx, conn->handle, userDn, "tokenGroups"))) {
        QuenScLogInfo("Failed to get tokenGroups attribute for user: %s", userDn);
    } else {
        for (int i = 0; tokens[i]; i++) {
            if (tokens[i]->bv_len == sid[0]->bv_len &&
                memcmp(tokens[i]->bv_val, sid[0]->bv_val, sid[0]->bv_len) == 0) {
                rc = QUENSC_OK;
                break;
            }
        }
        if (rc != QUENSC_OK)
            QuenScLogInfo("User: %s is not a member of group: %s", userDn, groupDn);
    }
    if (sid)
        ldap_value_free_len(sid);
    if (tokens)
        ldap_value_free_len(tokens);
    QuenScLdapClose(ctx, conn);
    return rc;
}

bool QuenScUnicodePwdValue(apr_pool_t *pool, const char *password, struct berval *out)
{
    if (strlen(password) + 3 > kQuotedPasswordSize)
        return false;
    const char *quoted = apr_pstrcat(pool, "\"", password, "\"", nullptr);
    std::string bytes;
    auto put = [&bytes](uint32_t unit) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    };
    for (const unsigned char *s = reinterpret_cast<const unsigned char *>(quoted); *s;) {
        uint32_t cp;
        int extra;
        if (*s < 0x80) {
            cp = *s;
            extra = 0;
        } else if ((*s & 0xE0) == 0xC0) {
            cp = *s & 0x1F;
            extra = 1;
        } else if ((*s & 0xF0) == 0xE0) {
            cp = *s & 0x0F;
            extra = 2;
        } else if ((*s & 0xF8) == 0xF0) {
            cp = *s & 0x07;
            extra = 3;
        } else {
            return false;
        }
        s++;
        for (int i = 0; i < extra; i++, s++) {
            if ((*s & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (*s & 0x3F);
        }
        static const uint32_t smallest[] = {0, 0x80, 0x800, 0x10000};
        if (cp < smallest[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            put(0xD800 | (cp >> 10));
            put(0xDC00 | (cp & 0x3FF));
        } else {
            put(cp);
        }
    }
    out->bv_len = bytes.size();
    out->bv_val = static_cast<char *>(apr_pmemdup(pool, bytes.data(), bytes.size()));
    return true;
}

int QuenScLdapChangePassword(i_ctx *ctx, const char *ownerDn, const char *user, const char *oldPassword,
                             const char *newPassword, const char *domain)
{
    QuenScLdapConn *conn = nullptr;
    const char *why = nullptr; /* the library's text for the failure, when it has one */
    int rc = QuenScLdapConnect(ctx, &conn);
    char *dn = nullptr;
    char *referralHost = nullptr;
    if (rc != QUENSC_OK) {
        why = ldap_err2string(LDAP_CONNECT_ERROR);
    } else if (QuenScLdapGetUserDn(ctx, conn, user, domain, &dn, nullptr, nullptr, nullptr, &referralHost) !=
               QUENSC_OK) {
        QuenScLogError("user: %s does not exist in domain: %s", Text(user), Text(domain));
        why = ldap_err2string(LDAP_NO_SUCH_OBJECT);
        rc = QUENSC_PASSWORD_CHANGE_FAILED;
    } else if (QuenScIsEmpty(ownerDn) || strcasecmp(dn, ownerDn) != 0) {
        QuenScLogError("user: %s requested pwd change, is not owner of instance (%s)", dn, Text(ownerDn));
        why = ldap_err2string(LDAP_INSUFFICIENT_ACCESS);
        rc = QUENSC_PASSWORD_CHANGE_FAILED;
    } else {
        rc = QUENSC_OK;
        if (referralHost) {
            QuenScLdapClose(ctx, conn);
            conn->host = referralHost;
            if (QuenScLdapOpen(ctx, conn) != QUENSC_OK) {
                QuenScLogError("QuenScLdapSearchS() failed to open LDAP connection to: %s", referralHost);
                why = ldap_err2string(LDAP_CONNECT_ERROR);
                rc = QUENSC_PASSWORD_CHANGE_FAILED;
            }
        }
        const char *control = nullptr;
        struct berval oldValue = {};
        struct berval newValue = {};
        if (rc == QUENSC_OK && !(control = FirstValue(QuenScLdapGetValues(ctx, conn->handle, dn,
                                                                          "userAccountControl")))) {
            QuenScLogError("Failed to read the userAccountControl from user: %s", dn);
            why = ldap_err2string(LDAP_NO_SUCH_ATTRIBUTE);
            rc = QUENSC_PASSWORD_CHANGE_FAILED;
        } else if (rc == QUENSC_OK && QuenScAccountStatus("", "", control, "") == QUENSC_PASSWORD_CANT_CHANGE) {
            QuenScLogError("user: %s cannot change his password.", dn);
            why = ldap_err2string(LDAP_CONSTRAINT_VIOLATION);
            rc = QUENSC_PASSWORD_CHANGE_FAILED;
        } else if (rc == QUENSC_OK && (!QuenScUnicodePwdValue(ctx->pool, Text(oldPassword), &oldValue) ||
                                       !QuenScUnicodePwdValue(ctx->pool, Text(newPassword), &newValue))) {
            why = ldap_err2string(LDAP_INVALID_SYNTAX);
            rc = QUENSC_PASSWORD_CHANGE_FAILED;
        } else if (rc == QUENSC_OK) {
            struct berval *oldValues[] = {&oldValue, nullptr};
            struct berval *newValues[] = {&newValue, nullptr};
            LDAPMod remove = {};
            remove.mod_op = LDAP_MOD_DELETE | LDAP_MOD_BVALUES;
            remove.mod_type = const_cast<char *>("unicodePwd");
            remove.mod_bvalues = oldValues;
            LDAPMod add = {};
            add.mod_op = LDAP_MOD_ADD | LDAP_MOD_BVALUES;
            add.mod_type = const_cast<char *>("unicodePwd");
            add.mod_bvalues = newValues;
            LDAPMod *mods[] = {&remove, &add, nullptr};
            int mrc = ldap_modify_ext_s(conn->handle, dn, mods, nullptr, nullptr);
            if (mrc != LDAP_SUCCESS) {
                why = ldap_err2string(mrc);
                rc = QUENSC_PASSWORD_CHANGE_FAILED;
            }
        }
    }
    QuenScLdapClose(ctx, conn);
    if (rc != QUENSC_OK) {
        QuenScLogError("Password change for user %s failed: %s", Text(user), Text(why));
        return QUENSC_PASSWORD_CHANGE_FAILED;
    }
    return QUENSC_OK;
}
