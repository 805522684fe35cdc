/* LDAP connections of a request: opening and binding a record with the query
 * account over the best channel the directory offers, searches that follow
 * referrals without looping, the attribute readers built on them, the
 * object check of access entries and search filter escaping. */
#include "directory/ldapConn.h"

#include "directory/directory.h"
#include "frame/codes.h"
#include "frame/log.h"

#include <apr_file_info.h>
#include <apr_strings.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <cstring>

namespace {

constexpr int kPlainPort = 389;
constexpr int kSslPort = 636;
constexpr int kNetworkTimeoutSeconds = 10;
constexpr int kOperationTimeoutSeconds = 30;
constexpr const char *kSystemTrustStore = "/etc/ssl/certs/ca-certificates.crt";

const char *Text(const char *s) { return s ? s : ""; }

/* The CA file the directory's certificate is checked against: ldap.crt in
 * the folder of ssl/cert when it exists, else the system's trust store. */
const char *CaFile(i_ctx *ctx)
{
    const char *cert = ctx->server->configuration->ssl.cert;
    if (!QuenScIsEmpty(cert)) {
        const char *slash = strrchr(cert, '/');
        const char *folder = slash ? apr_pstrndup(ctx->pool, cert, slash - cert + 1) : "";
        const char *path = apr_pstrcat(ctx->pool, folder, "ldap.crt", nullptr);
        apr_finfo_t info;
        if (apr_stat(&info, path, APR_FINFO_TYPE, ctx->pool) == APR_SUCCESS && info.filetype == APR_REG)
            return path;
    }
    return kSystemTrustStore;
}

/* A session handle for url with the options every connection uses: LDAP
 * version 3, aliases always dereferenced, no automatic referral chasing,
 * time-outs, and a TLS context of its own that demands a certificate that
 * verifies against caFile. Null after "ldap_init() failed: %s". */
LDAP *NewSession(const char *url, const char *caFile)
{
    LDAP *ld = nullptr;
    int rc = ldap_initialize(&ld, url);
    if (rc != LDAP_SUCCESS || !ld) {
        QuenScLogError("ldap_init() failed: %s", ldap_err2string(rc));
        return nullptr;
    }
    int version = LDAP_VERSION3;
    rc = ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
    if (rc != LDAP_OPT_SUCCESS) {
        QuenScLogError("ldap_set_option() failed to set VERSION: %s", ldap_err2string(rc));
        ldap_unbind_ext_s(ld, nullptr, nullptr);
        return nullptr;
    }
    int deref = LDAP_DEREF_ALWAYS;
    ldap_set_option(ld, LDAP_OPT_DEREF, &deref);
    ldap_set_option(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
    struct timeval network = {kNetworkTimeoutSeconds, 0};
    ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &network);
    struct timeval operation = {kOperationTimeoutSeconds, 0};
    ldap_set_option(ld, LDAP_OPT_TIMEOUT, &operation);
    int demand = LDAP_OPT_X_TLS_DEMAND;
    ldap_set_option(ld, LDAP_OPT_X_TLS_REQUIRE_CERT, &demand);
    ldap_set_option(ld, LDAP_OPT_X_TLS_CACERTFILE, caFile);
    int server = 0;
    rc = ldap_set_option(ld, LDAP_OPT_X_TLS_NEWCTX, &server);
    if (rc != LDAP_OPT_SUCCESS) {
        QuenScLogError("ldap_init() failed: cannot set up TLS with %s: %s", caFile, ldap_err2string(rc));
        ldap_unbind_ext_s(ld, nullptr, nullptr);
        return nullptr;
    }
    return ld;
}

/* Why the directory's certificate did not verify, in words, for the log
 * line of a failed TLS handshake (the library itself only says that it
 * failed). The certificate is fetched over a second exchange that checks
 * nothing and sends nothing but the request for TLS (no bind, no
 * credentials), then verified with OpenSSL against caFile and the host.
 * Never null. */
const char *CertificateProblem(i_ctx *ctx, const char *url, const char *host, bool startTls, const char *caFile)
{
    LDAP *ld = nullptr;
    if (ldap_initialize(&ld, url) != LDAP_SUCCESS || !ld)
        return "the certificate could not be fetched";
    int version = LDAP_VERSION3;
    ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
    struct timeval network = {kNetworkTimeoutSeconds, 0};
    ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &network);
    int never = LDAP_OPT_X_TLS_NEVER;
    ldap_set_option(ld, LDAP_OPT_X_TLS_REQUIRE_CERT, &never);
    int server = 0;
    ldap_set_option(ld, LDAP_OPT_X_TLS_NEWCTX, &server);
    int rc = startTls ? ldap_start_tls_s(ld, nullptr, nullptr) : ldap_connect(ld);
    struct berval der = {0, nullptr};
    if (rc == LDAP_SUCCESS)
        ldap_get_option(ld, LDAP_OPT_X_TLS_PEERCERT, &der);
    ldap_unbind_ext_s(ld, nullptr, nullptr);
    if (!der.bv_val)
        return "the TLS handshake failed even without a certificate check";

    const char *problem = "the certificate could not be read";
    const unsigned char *p = reinterpret_cast<const unsigned char *>(der.bv_val);
    X509 *cert = d2i_X509(nullptr, &p, static_cast<long>(der.bv_len));
    ldap_memfree(der.bv_val);
    X509_STORE *store = X509_STORE_new();
    X509_STORE_CTX *check = X509_STORE_CTX_new();
    if (cert && store && check) {
        if (X509_STORE_load_file(store, caFile) != 1) {
            problem = apr_psprintf(ctx->pool, "the CA file %s could not be read", caFile);
        } else if (X509_STORE_CTX_init(check, store, cert, nullptr) == 1) {
            X509_VERIFY_PARAM *param = X509_STORE_CTX_get0_param(check);
            if (X509_VERIFY_PARAM_set1_ip_asc(param, host) != 1)
                X509_VERIFY_PARAM_set1_host(param, host, 0);
            if (X509_verify_cert(check) == 1)
                problem = "the certificate verifies; the TLS handshake failed for another reason";
            else
                problem = apr_pstrdup(ctx->pool, X509_verify_cert_error_string(X509_STORE_CTX_get_error(check)));
        }
    }
    X509_STORE_CTX_free(check);
    X509_STORE_free(store);
    X509_free(cert);
    return problem;
}

void Drop(QuenScLdapConn *conn)
{
    if (conn->handle)
        ldap_unbind_ext_s(conn->handle, nullptr, nullptr);
    conn->handle = nullptr;
    conn->bound = false;
}

/* Gives conn a session on the best channel (see QuenScLdapOpen). 0, or 40
 * after a log line. */
int OpenChannel(i_ctx *ctx, QuenScLdapConn *conn)
{
    const QuenScConfig *cfg = ctx->server->configuration;
    const char *caFile = CaFile(ctx);
    const char *url = apr_psprintf(ctx->pool, "ldap://%s:%d", conn->host, kPlainPort);
    conn->handle = NewSession(url, caFile);
    if (!conn->handle)
        return QUENSC_LDAP_CONNECT_FAILED;
    int rc = ldap_start_tls_s(conn->handle, nullptr, nullptr);
    if (rc == LDAP_SUCCESS)
        return QUENSC_OK;
    if (rc < 0) {
        /* The exchange itself failed: no directory there, or a TLS handshake
         * that did not succeed (most often a certificate that does not
         * verify). Never fall back to a plain channel then. */
        if (rc == LDAP_CONNECT_ERROR)
            QuenScLogError("QuenScLdapOpen(): TLS with %s failed, the directory's certificate was not verified "
                           "against %s: %s",
                           conn->host, caFile, CertificateProblem(ctx, url, conn->host, true, caFile));
        else
            QuenScLogError("QuenScLdapOpen(): Cannot reach the directory at %s: %s", conn->host,
                           ldap_err2string(rc));
        Drop(conn);
        return QUENSC_LDAP_CONNECT_FAILED;
    }
    /* The directory answered and refused StartTLS. */
    if (cfg->ldap.secure != 0) {
        QuenScLogError("Encrypted Channel over LDAP not available, using SSL");
        Drop(conn);
        conn->handle = NewSession(apr_psprintf(ctx->pool, "ldaps://%s:%d", conn->host, kSslPort), caFile);
        if (!conn->handle) {
            QuenScLogError("ldap_sslinit() failed: %s", conn->host);
            return QUENSC_LDAP_CONNECT_FAILED;
        }
        return QUENSC_OK;
    }
    QuenScLogError("Encrypted Channel over LDAP not available");
    return QUENSC_OK;
}

/* The query account's principal name. 0, or the parser's code after
 * "QuenScLdapOpen(): Failed to parse query_user %s". */
int QueryPrincipal(i_ctx *ctx, const char **principal)
{
    const QuenScConfig *cfg = ctx->server->configuration;
    char *name = nullptr;
    char *domain = nullptr;
    int rc = QuenParseUser(ctx, Text(cfg->krb5.query_user), false, &name, &domain, nullptr);
    if (rc != QUENSC_OK) {
        QuenScLogError("QuenScLdapOpen(): Failed to parse query_user %s", Text(cfg->krb5.query_user));
        return rc;
    }
    *principal = apr_pstrcat(ctx->pool, name, "@", domain ? domain : Text(cfg->krb5.default_realm), nullptr);
    return QUENSC_OK;
}

} // namespace

int QuenScLdapBind(LDAP *ld, const char *principal, const char *password)
{
    if (QuenScIsEmpty(password))
        return LDAP_INVALID_CREDENTIALS;
    struct berval cred;
    cred.bv_val = const_cast<char *>(password);
    cred.bv_len = strlen(password);
    return ldap_sasl_bind_s(ld, principal, LDAP_SASL_SIMPLE, &cred, nullptr, nullptr, nullptr);
}

int QuenScLdapOpen(i_ctx *ctx, QuenScLdapConn *conn)
{
    if (!conn)
        return QUENSC_LDAP_CONNECT_FAILED;
    if (conn->bound)
        return QUENSC_OK;
    const QuenScConfig *cfg = ctx->server->configuration;
    const char *principal = nullptr;
    int rc = QueryPrincipal(ctx, &principal);
    if (rc != QUENSC_OK) {
        Drop(conn);
        return rc;
    }
    if (!conn->handle && QuenScIsEmpty(conn->host)) {
        /* libldap would take an empty host for localhost. */
        QuenScLogError("ldap_init() failed: no directory host is configured");
        return QUENSC_LDAP_CONNECT_FAILED;
    }
    if (!conn->handle) {
        rc = OpenChannel(ctx, conn);
        if (rc != QUENSC_OK)
            return rc;
    }
    rc = QuenScLdapBind(conn->handle, principal, cfg->krb5.query_user_pass);
    if (rc != LDAP_SUCCESS) {
        QuenScLogError("QuenScLdapOpen(): Error during bind: %s (%s, %s)", ldap_err2string(rc),
                       Text(cfg->krb5.query_user), Text(cfg->krb5.default_realm));
        if (rc == LDAP_CONNECT_ERROR) {
            const char *caFile = CaFile(ctx);
            QuenScLogError("QuenScLdapOpen(): TLS with %s failed, the directory's certificate was not verified "
                           "against %s: %s",
                           conn->host, caFile,
                           CertificateProblem(ctx, apr_psprintf(ctx->pool, "ldaps://%s:%d", conn->host, kSslPort),
                                              conn->host, false, caFile));
        }
        Drop(conn);
        return QUENSC_LDAP_CONNECT_FAILED;
    }
    conn->bound = true;
    return QUENSC_OK;
}

int QuenScLdapConnect(i_ctx *ctx, QuenScLdapConn **conn)
{
    auto *record = static_cast<QuenScLdapConn *>(apr_pcalloc(ctx->pool, sizeof(QuenScLdapConn)));
    record->host = Text(ctx->server->configuration->ldap.host);
    int rc = QuenScLdapOpen(ctx, record);
    if (rc != QUENSC_OK) {
        QuenScLogError("Failed to open ldap connection to host: %s", record->host);
        *conn = nullptr;
        return rc;
    }
    *conn = record;
    return QUENSC_OK;
}

void QuenScLdapClose(i_ctx *, QuenScLdapConn *conn)
{
    if (conn)
        Drop(conn);
}

int QuenScLdapSearchS(i_ctx *ctx, apr_hash_t *visited, LDAP *ld, const char *base, int scope, const char *filter,
                      char **attrs, int attrsOnly, LDAPMessage **result, const char **referralHost)
{
    *result = nullptr;
    if (!visited)
        visited = apr_hash_make(ctx->pool); /* dies with the request pool */
    struct timeval timeout = {kOperationTimeoutSeconds, 0};
    int rc = ldap_search_ext_s(ld, base, scope, filter, attrs, attrsOnly, nullptr, nullptr, &timeout,
                               LDAP_NO_LIMIT, result);
    if (rc != LDAP_REFERRAL)
        return rc;

    char **urls = nullptr;
    int code = 0;
    int prc = ldap_parse_result(ld, *result, &code, nullptr, nullptr, &urls, nullptr, 0);
    if (prc != LDAP_SUCCESS) {
        QuenScLogError("ldap_parse_result() failed: %s", ldap_err2string(prc));
        return prc;
    }
    int answer = LDAP_OTHER;
    for (int i = 0; urls && urls[i]; i++) {
        LDAPURLDesc *url = nullptr;
        if (ldap_url_parse(urls[i], &url) != LDAP_URL_SUCCESS || !url->lud_host || !*url->lud_host) {
            QuenScLogError("ldap_url_parse() failed: %s", urls[i]);
            QuenScLogError("Failed to parse referral: %s", urls[i]);
            if (url)
                ldap_free_urldesc(url);
            answer = QUENSC_INTERNAL;
            break;
        }
        const char *host = apr_pstrdup(ctx->pool, url->lud_host);
        /* A URL without a DN means "the same base again" (RFC 4511). */
        const char *newBase = apr_pstrdup(ctx->pool, url->lud_dn && *url->lud_dn ? url->lud_dn : base);
        ldap_free_urldesc(url);
        if (apr_hash_get(visited, host, APR_HASH_KEY_STRING)) {
            QuenScLogInfo("Detected a loop (%s) in search: '%s', skipping ldap search.", host, filter);
            continue;
        }
        apr_hash_set(visited, host, APR_HASH_KEY_STRING, host);
        auto *next = static_cast<QuenScLdapConn *>(apr_pcalloc(ctx->pool, sizeof(QuenScLdapConn)));
        next->host = host;
        int orc = QuenScLdapOpen(ctx, next);
        if (orc != QUENSC_OK) {
            QuenScLogError("QuenScLdapSearchS() failed to open LDAP connection to: %s", host);
            answer = orc;
            break;
        }
        ldap_msgfree(*result);
        *result = nullptr;
        int src = QuenScLdapSearchS(ctx, visited, next->handle, newBase, scope, filter, attrs, attrsOnly, result,
                                    nullptr);
        QuenScLdapClose(ctx, next);
        if (src == LDAP_SUCCESS) {
            if (referralHost)
                *referralHost = host;
            answer = LDAP_SUCCESS;
            break;
        }
    }
    ldap_memvfree(reinterpret_cast<void **>(urls));
    return answer;
}

namespace {

/* The first entry of a base search of dn for attr, or null after the
 * search's log line. *result holds the answer to free. */
LDAPMessage *BaseEntry(i_ctx *ctx, LDAP *ld, const char *dn, const char *attr, LDAPMessage **result)
{
    char *attrs[] = {const_cast<char *>(attr), nullptr};
    int rc = QuenScLdapSearchS(ctx, nullptr, ld, dn, LDAP_SCOPE_BASE, "(objectclass=*)", attr ? attrs : nullptr, 0,
                               result, nullptr);
    if (rc != LDAP_SUCCESS) {
        QuenScLogError("QuenScLdapSearchS() failed: %s", ldap_err2string(rc));
        return nullptr;
    }
    return *result ? ldap_first_entry(ld, *result) : nullptr;
}

} // namespace

char **QuenScLdapGetValues(i_ctx *ctx, LDAP *ld, const char *dn, const char *attr)
{
    struct berval **values = QuenScLdapGetBinaryValues(ctx, ld, dn, attr);
    if (!values)
        return nullptr;
    int count = ldap_count_values_len(values);
    auto **texts = static_cast<char **>(apr_pcalloc(ctx->pool, sizeof(char *) * (count + 1)));
    for (int i = 0; i < count; i++)
        texts[i] = apr_pstrmemdup(ctx->pool, values[i]->bv_val, values[i]->bv_len);
    ldap_value_free_len(values);
    return texts;
}

struct berval **QuenScLdapGetBinaryValues(i_ctx *ctx, LDAP *ld, const char *dn, const char *attr)
{
    LDAPMessage *result = nullptr;
    LDAPMessage *entry = BaseEntry(ctx, ld, dn, attr, &result);
    struct berval **values = entry ? ldap_get_values_len(ld, entry, attr) : nullptr;
    if (result)
        ldap_msgfree(result);
    if (values && !values[0]) {
        ldap_value_free_len(values);
        return nullptr;
    }
    return values;
}

bool QuenScLdapObjectExists(i_ctx *ctx, LDAP *ld, const char *dn)
{
    LDAPMessage *result = nullptr;
    char *noAttrs[] = {const_cast<char *>(LDAP_NO_ATTRS), nullptr};
    int rc = QuenScLdapSearchS(ctx, nullptr, ld, dn, LDAP_SCOPE_BASE, "(objectclass=*)", noAttrs, 0, &result,
                               nullptr);
    bool found = false;
    if (rc != LDAP_SUCCESS)
        QuenScLogError("QuenScLdapSearchS() failed: %s", ldap_err2string(rc));
    else
        found = result && ldap_count_entries(ld, result) > 0;
    if (result)
        ldap_msgfree(result);
    return found;
}

int QuenScLdapCheckObject(i_ctx *ctx, const char *dn)
{
    QuenScLdapConn *conn = nullptr;
    int rc = QuenScLdapConnect(ctx, &conn);
    if (rc != QUENSC_OK)
        return rc;
    rc = QUENSC_OK;
    if (QuenScIsEmpty(dn) || !QuenScLdapObjectExists(ctx, conn->handle, dn)) {
        QuenScLogError("LDAP object '%s' could not be found on ldap server", Text(dn));
        rc = QUENSC_LDAP_OBJECT_NOT_FOUND;
    }
    QuenScLdapClose(ctx, conn);
    return rc;
}

char *QuenScLdapEscapeFilterValue(apr_pool_t *pool, const char *value)
{
    if (!value)
        return apr_pstrdup(pool, "");
    size_t length = strlen(value);
    auto *out = static_cast<char *>(apr_palloc(pool, length * 3 + 1));
    char *p = out;
    for (const char *s = value; *s; s++) {
        unsigned char c = static_cast<unsigned char>(*s);
        if (c == '*' || c == '(' || c == ')' || c == '\\') {
            static const char hex[] = "0123456789abcdef";
            *p++ = '\\';
            *p++ = hex[c >> 4];
            *p++ = hex[c & 0xF];
        } else {
            *p++ = static_cast<char>(c);
        }
    }
    *p = '\0';
    return out;
}
