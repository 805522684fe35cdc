/* The configuration record of config.h: its defaults, the XML reader and the
 * unscrambling of the two stored secrets. */
#include "frame/config.h"

#include "policydb/dbcrypto.h"
#include "frame/configFile.h"
#include "frame/log.h"

#include <apr_file_info.h>
#include <apr_file_io.h>
#include <apr_strings.h>
#include <apr_xml.h>

#include <climits>
#include <cstdlib>
#include <cstring>

QuenScConfig *QuenScConfigDefaults(apr_pool_t *pool, const char *path)
{
    QuenScConfig *cfg = (QuenScConfig *)apr_pcalloc(pool, sizeof *cfg);
    cfg->path = path ? apr_pstrdup(pool, path) : nullptr;

    cfg->global.lock_file = apr_pstrdup(pool, "../db/global.lock");
    cfg->global.db_type = apr_pstrdup(pool, "sqlite");
    cfg->global.use_ldap = 0;
    cfg->global.session_ttl = 86400;
    cfg->global.session_reap_cycle = 21600;
    cfg->global.configuration_version = 0;

    cfg->sqlite.db_file = apr_pstrdup(pool, "../db/quensc.bin");
    cfg->sqlite.lock_file = apr_pstrdup(pool, "../db/quensc.lock");

    cfg->odbc.lock_file = apr_pstrdup(pool, "../db/quensc.lock");

    cfg->ldap.secure = 1;

    cfg->krb5.conf_file = apr_pstrdup(pool, "../conf/krb5.ini");
    cfg->krb5.lock_file = apr_pstrdup(pool, "../tmp/krb5.lock");
    cfg->krb5.ticket_lifetime = 86400;
    cfg->krb5.translate_realm = 1;

    cfg->ssl.cert = apr_pstrdup(pool, "../ssl/server.crt");
    cfg->ssl.cert_chain = apr_pstrdup(pool, "../ssl/chain.crt");

    cfg->logging.purge_type = 1;
    cfg->logging.purge_value = 86400;
    return cfg;
}

char *QuenScConfigResolvePath(apr_pool_t *pool, const QuenScConfig *cfg, const char *path)
{
    if (!path)
        return nullptr;
    if (!*path || path[0] == '/' || !cfg || QuenScIsEmpty(cfg->path))
        return apr_pstrdup(pool, path);

    const char *slash = strrchr(cfg->path, '/');
    const char *folder;
    if (!slash)
        folder = "";
    else if (slash == cfg->path)
        folder = "/";
    else
        folder = apr_pstrmemdup(pool, cfg->path, (apr_size_t)(slash - cfg->path));

    if (folder[0] != '/') {
        /* a relative configuration path names a file below the working
         * directory of the moment; pin that down now */
        char *cwd = nullptr;
        if (apr_filepath_get(&cwd, APR_FILEPATH_NATIVE, pool) == APR_SUCCESS && cwd && cwd[0] == '/')
            folder = *folder ? apr_pstrcat(pool, cwd, "/", folder, nullptr) : cwd;
        else if (!*folder)
            return apr_pstrdup(pool, path);
    }
    size_t n = strlen(folder);
    const char *separator = n > 0 && folder[n - 1] == '/' ? "" : "/";
    return apr_pstrcat(pool, folder, separator, path, nullptr);
}

namespace {

enum KeyKind { KEY_TEXT, KEY_SECRET, KEY_INT32, KEY_INT64 };

/* One key the server reads: where its value goes and, for integers, the
 * value that an element without text stands for. */
struct KeyRow {
    const char *section;
    const char *key;
    KeyKind kind;
    char **text;
    int32_t *int32;
    int64_t *int64;
    int64_t emptyValue;
};

KeyRow Text(const char *section, const char *key, char **target)
{
    return KeyRow{section, key, KEY_TEXT, target, nullptr, nullptr, 0};
}

KeyRow Secret(const char *section, const char *key, char **target)
{
    return KeyRow{section, key, KEY_SECRET, target, nullptr, nullptr, 0};
}

KeyRow Int32(const char *section, const char *key, int32_t *target, int32_t emptyValue)
{
    return KeyRow{section, key, KEY_INT32, nullptr, target, nullptr, emptyValue};
}

KeyRow Int64(const char *section, const char *key, int64_t *target, int64_t emptyValue)
{
    return KeyRow{section, key, KEY_INT64, nullptr, nullptr, target, emptyValue};
}

const char kMask[] = "**********";

/* The ordinary decimal conversion: leading blanks, a sign, digits up to the
 * first other character; no digits give 0. Values beyond the type's range
 * stop at its limit instead of wrapping. */
int64_t ParseInt64(const char *text)
{
    return (int64_t)strtoll(text, nullptr, 10);
}

int32_t ParseInt32(const char *text)
{
    int64_t v = ParseInt64(text);
    if (v > INT32_MAX)
        return INT32_MAX;
    if (v < INT32_MIN)
        return INT32_MIN;
    return (int32_t)v;
}

/* Stores one key's value (text copied from the scratch pool into pool) and
 * logs it, secrets masked. */
void StoreKey(apr_pool_t *pool, const KeyRow &row, const char *value)
{
    const char *shown = row.kind == KEY_SECRET ? kMask : (value ? value : "");
    QuenScLogInfo("   %s = %s", row.key, shown);
    switch (row.kind) {
    case KEY_TEXT:
    case KEY_SECRET:
        *row.text = value ? apr_pstrdup(pool, value) : nullptr;
        break;
    case KEY_INT32:
        *row.int32 = value ? ParseInt32(value) : (int32_t)row.emptyValue;
        break;
    case KEY_INT64:
        *row.int64 = value ? ParseInt64(value) : row.emptyValue;
        break;
    }
}

/* Replaces *value (when not empty) by the clear text it decrypts to, a copy
 * in pool. The malloc'd clear text is wiped before it is freed. */
bool Unscramble(apr_pool_t *pool, const QCryptKey *key, char **value)
{
    if (QuenScIsEmpty(*value))
        return true;
    char *plain = nullptr;
    if (!PolDb_Decrypt(key, *value, &plain))
        return false;
    size_t length = strlen(plain);
    *value = apr_pstrmemdup(pool, plain, length);
    explicit_bzero(plain, length);
    free(plain);
    return true;
}

/* De-obfuscates odbc.password and then krb5.query_user_pass. Logs the
 * failing step and returns false. */
bool Deobfuscate(apr_pool_t *pool, QuenScConfig *cfg)
{
    QCryptKey *key = nullptr;
    if (!PolDb_CryptoKeyCreate(PolDb_ConfigObfuscationKey, sizeof PolDb_ConfigObfuscationKey, &key)) {
        QuenScLogError("Failed to create config de-obfuscation key");
        return false;
    }
    bool ok = true;
    if (!Unscramble(pool, key, &cfg->odbc.password)) {
        QuenScLogError("Failed to de-obfuscate odbc->password conf value");
        ok = false;
    } else if (!Unscramble(pool, key, &cfg->krb5.query_user_pass)) {
        QuenScLogError("Failed to de-obfuscate krb5->query_user_pwd conf value");
        ok = false;
    }
    PolDb_CryptoKeyDestroy(key);
    return ok;
}

/* Walks the sections of root into cfg (the rules of QuenScConfigRead);
 * values are kept in pool, joined texts made in scratch. */
void Walk(apr_pool_t *pool, apr_pool_t *scratch, QuenScConfig *cfg, const apr_xml_elem *root)
{
    const KeyRow rows[] = {
        Int32("global", "configuration_version", &cfg->global.configuration_version, 0),
        Int32("global", "use_ldap", &cfg->global.use_ldap, 0),
        Text("global", "db_type", &cfg->global.db_type),
        Int32("global", "session_ttl", &cfg->global.session_ttl, 86400),
        Int32("global", "session_reap_cycle", &cfg->global.session_reap_cycle, 21600),
        Text("global", "lock_file", &cfg->global.lock_file),
        Text("sqlite", "db_file", &cfg->sqlite.db_file),
        Text("sqlite", "lock_file", &cfg->sqlite.lock_file),
        Text("odbc", "dsn", &cfg->odbc.dsn),
        Text("odbc", "username", &cfg->odbc.username),
        Secret("odbc", "password", &cfg->odbc.password),
        Text("odbc", "lock_file", &cfg->odbc.lock_file),
        Text("ssl", "cert", &cfg->ssl.cert),
        Text("ssl", "cert_chain", &cfg->ssl.cert_chain),
        Text("ldap", "host", &cfg->ldap.host),
        Int32("ldap", "secure", &cfg->ldap.secure, 0),
        Text("ldap", "search_dn", &cfg->ldap.search_dn),
        Text("krb5", "default_realm", &cfg->krb5.default_realm),
        Text("krb5", "query_user", &cfg->krb5.query_user),
        Secret("krb5", "query_user_pass", &cfg->krb5.query_user_pass),
        Text("krb5", "conf_file", &cfg->krb5.conf_file),
        Text("krb5", "lock_file", &cfg->krb5.lock_file),
        Int32("krb5", "ticket_lifetime", &cfg->krb5.ticket_lifetime, 86400),
        Int32("krb5", "translate_realm", &cfg->krb5.translate_realm, 1),
        Text("administrators", "ldap_group", &cfg->administrators.ldap_group),
        Text("administrators", "ldap_group_dn", &cfg->administrators.ldap_group_dn),
        Secret("administrators", "password", &cfg->administrators.password),
        Text("helpdesk", "ldap_group", &cfg->helpdesk.ldap_group),
        Text("helpdesk", "ldap_group_dn", &cfg->helpdesk.ldap_group_dn),
        Secret("helpdesk", "password", &cfg->helpdesk.password),
        Int32("logging", "quen_admin", &cfg->logging.quen_admin, 0),
        Int32("logging", "package_admin", &cfg->logging.package_admin, 0),
        Int32("logging", "policy_admin", &cfg->logging.policy_admin, 0),
        Int32("logging", "instance_admin", &cfg->logging.instance_admin, 0),
        Int32("logging", "authentication", &cfg->logging.authentication, 0),
        Int32("logging", "purge_type", &cfg->logging.purge_type, 0),
        Int64("logging", "purge_value", &cfg->logging.purge_value, 0),
    };

    for (const apr_xml_elem *section = root->first_child; section; section = section->next) {
        /* An empty section element ends the walk: it and every later
         * section are not read (the configuration tool reads the same way). */
        if (QuenScConfigSectionEndsWalk(section))
            break;
        if (!QuenScConfigKnownSection(section->name, QUENSC_CONFIG_BY_SERVER)) {
            QuenScLogError("Invalid element in config file: %s", section->name);
            continue;
        }
        QuenScLogInfo("[%s]", section->name);
        for (const apr_xml_elem *key = section->first_child; key; key = key->next) {
            const KeyRow *row = nullptr;
            for (const KeyRow &r : rows)
                if (strcmp(r.section, section->name) == 0 && strcmp(r.key, key->name) == 0) {
                    row = &r;
                    break;
                }
            if (!row) {
                QuenScLogError("Invalid element in config file: %s", key->name);
                continue;
            }
            StoreKey(pool, *row, QuenScConfigElementText(scratch, key));
        }
    }

    if (cfg->krb5.ticket_lifetime < 120)
        cfg->krb5.ticket_lifetime = 120;
}

/* Turns every relative path value into one under the configuration file's
 * folder. */
void ResolvePaths(apr_pool_t *pool, QuenScConfig *cfg)
{
    char **paths[] = {&cfg->global.lock_file, &cfg->sqlite.db_file, &cfg->sqlite.lock_file, &cfg->odbc.lock_file,
                      &cfg->krb5.conf_file,   &cfg->krb5.lock_file, &cfg->ssl.cert,         &cfg->ssl.cert_chain};
    for (char **p : paths)
        *p = QuenScConfigResolvePath(pool, cfg, *p);
}

} // namespace

int QuenScConfigRead(apr_pool_t *pool, QuenScConfig *cfg)
{
    if (!cfg->path)
        return QUENSC_OK;

    apr_pool_t *scratch = nullptr;
    if (apr_pool_create(&scratch, pool) != APR_SUCCESS)
        QuenScPanic("Unrecoverable memory allocation failure at %s:%d", __FILE__, __LINE__);

    const apr_xml_elem *root = nullptr;
    char reason[512];
    switch (QuenScConfigFileParse(scratch, cfg->path, &root, reason, sizeof reason)) {
    case QUENSC_CONFIG_PARSED:
        break;
    case QUENSC_CONFIG_OPEN_FAILED:
        QuenScLogError("Cannot open file %s", cfg->path);
        apr_pool_destroy(scratch);
        return QUENSC_INTERNAL;
    case QUENSC_CONFIG_PARSE_FAILED:
        QuenScLogError("Cannot parse XML file %s (%s)", cfg->path, reason);
        apr_pool_destroy(scratch);
        return QUENSC_INVALID_CONFIG_FILE;
    case QUENSC_CONFIG_EMPTY_ROOT:
        QuenScLogError("Root element of config file is empty!");
        apr_pool_destroy(scratch);
        return QUENSC_INVALID_CONFIG_FILE;
    }

    Walk(pool, scratch, cfg, root);
    apr_pool_destroy(scratch);
    ResolvePaths(pool, cfg);

    if (cfg->global.configuration_version > 1 && !Deobfuscate(pool, cfg)) {
        QuenScLogError("Error during config file de-obfuscation");
        return QUENSC_INTERNAL;
    }
    return QUENSC_OK;
}
