/* The server module's configuration record and its reader.
 *
 * The record is built once at start-up in the process pool with built-in
 * defaults (QuenScConfigDefaults), then the XML configuration file is read
 * over it (QuenScConfigRead). It is never re-read and never written back: a
 * change of the file takes a restart. After start-up it is only read, so any
 * number of threads may read it without a lock.
 *
 * Texts live in the pool given to the function that set them (or are the
 * static defaults' pool copies); null means "no value". Integers are signed
 * 32-bit except logging.purge_value. Both stored secrets (odbc.password,
 * krb5.query_user_pass) are held in clear once reading succeeded. */
#ifndef QUENSC_CONFIG_H
#define QUENSC_CONFIG_H

#include <apr_pools.h>

#include <cstdint>

struct QuenScConfigGlobal {
    char *lock_file;
    char *db_type;                 /* "sqlite" or "odbc", compared exactly by start-up */
    int32_t use_ldap;              /* not 0: managers authenticate against the directory */
    int32_t session_ttl;           /* seconds */
    int32_t session_reap_cycle;    /* seconds between housekeeping runs */
    int32_t configuration_version; /* version of the file's content */
};

struct QuenScConfigSqlite {
    char *db_file;
    char *lock_file;
};

struct QuenScConfigOdbc {
    char *dsn;
    char *username;
    char *password; /* clear after reading; obfuscated in files of version 2 on */
    char *lock_file;
};

struct QuenScConfigLdap {
    char *search_dn;
    char *host;
    int32_t secure;
};

struct QuenScConfigKrb5 {
    char *conf_file;
    char *default_realm;
    char *query_user;
    char *query_user_pass; /* clear after reading; obfuscated in files of version 2 on */
    char *lock_file;
    int32_t ticket_lifetime; /* seconds, never below 120 after reading */
    int32_t translate_realm;
};

struct QuenScConfigSsl {
    char *cert;
    char *cert_chain;
};

/* The administrators and the help desk. */
struct QuenScConfigRole {
    char *ldap_group;
    char *ldap_group_dn;
    char *password; /* a 28-character hash; in clear in files of version 0 */
};

struct QuenScConfigLogging {
    int32_t authentication;
    int32_t quen_admin;
    int32_t package_admin;
    int32_t instance_admin;
    int32_t policy_admin;
    int32_t purge_type;  /* 0 keep all, 1 purge by age, 2 keep a number of events */
    int64_t purge_value; /* seconds (type 1) or a count of events (type 2) */
};

struct QuenScConfig {
    char *path; /* the configuration file; null when none was given */
    QuenScConfigGlobal global;
    QuenScConfigSqlite sqlite;
    QuenScConfigOdbc odbc;
    QuenScConfigLdap ldap;
    QuenScConfigKrb5 krb5;
    QuenScConfigSsl ssl;
    QuenScConfigRole administrators;
    QuenScConfigRole helpdesk;
    QuenScConfigLogging logging;
};

/* A new record in pool holding the built-in defaults (paths as relative
 * texts such as "../db/quensc.bin") and a pool copy of path (null stays
 * null). Every value without a default is null or 0. This function can't
 * fail (APR aborts when the pool runs out of memory). */
QuenScConfig *QuenScConfigDefaults(apr_pool_t *pool, const char *path);

/* Reads the file cfg->path over cfg; a null path reads nothing and gives
 * QUENSC_OK.
 * New texts are allocated in pool; the parse itself uses a scratch pool that
 * is gone on return.
 *
 * Walks the sections in document order up to the first section element
 * with neither child elements nor text, logging "[section]" and
 * "   key = value" lines (information; the four passwords as "**********").
 * An element without text gives no value: a null text, or for integers the
 * value an empty element stands for. Unknown sections and keys are logged
 * "Invalid element in config file: %s" and skipped. A ticket lifetime below
 * 120 becomes 120.
 *
 * After a successful walk the path values (global.lock_file, sqlite.db_file,
 * sqlite.lock_file, odbc.lock_file, krb5.conf_file, krb5.lock_file, ssl.cert,
 * ssl.cert_chain), whether defaults or read, are resolved with
 * QuenScConfigResolvePath. Then, when configuration_version is greater than
 * 1, odbc.password and krb5.query_user_pass are de-obfuscated (each when not
 * empty) under the shared configuration key.
 *
 * Returns QUENSC_OK; or, after one error line: QUENSC_INTERNAL for "Cannot
 * open file %s" (also an I/O failure while reading it);
 * QUENSC_INVALID_CONFIG_FILE for "Cannot parse XML file %s (%s)" and "Root
 * element of config file is empty!"; QUENSC_INTERNAL for a failed
 * de-obfuscation, whose own line is followed by "Error during config file
 * de-obfuscation". On failure cfg may hold part of the file's values. */
int QuenScConfigRead(apr_pool_t *pool, QuenScConfig *cfg);

/* The path a configured path names: null for null; a pool copy of path when
 * it is empty, absolute, or cfg has no file path; otherwise path joined to
 * the folder of cfg->path (that folder made absolute against the current
 * working directory), without folding "..": "../db/quensc.bin" under
 * "/srv/q/conf/quensc.conf" gives "/srv/q/conf/../db/quensc.bin". So the
 * built-in defaults name the files of the installation that holds the
 * configuration file, whatever the web server's working directory is. The
 * result lives in pool. This function can't fail. */
char *QuenScConfigResolvePath(apr_pool_t *pool, const QuenScConfig *cfg, const char *path);

#endif
