/* The configuration tool's error codes, replied as "ERROR:" and the code in
 * decimal. The pages show each one as a sentence (html/qcfg.js keeps the
 * same list). */
#ifndef QUENSC_CONFIG_QCFGCODES_H
#define QUENSC_CONFIG_QCFGCODES_H

enum QcfgCode {
    QCFG_OK = 0,

    /* database set-up */
    QCFG_ERR_INVALID_DBTYPE = 101,        /* Commit: dbType neither "sqlite" nor "odbc" */
    QCFG_ERR_NO_INSTALL_PATH = 201,       /* default page without an installation path */
    QCFG_ERR_DSN_CREDENTIALS = 201,       /* CheckDSNData: the data source refused the credentials */
    QCFG_ERR_SCHEMA_REFUSED = 202,        /* schema missing and the user refused to overwrite */
    QCFG_ERR_SCHEMA_FAILED = 203,         /* schema creation or upgrade failed */

    /* directory checks (QcfgLDAP_TranslateCode and the checks) */
    QCFG_ERR_LDAP_TIMEOUT = 401,          /* LDAP result 85 */
    QCFG_ERR_LDAP_BUSY = 402,             /* LDAP result 51 */
    QCFG_ERR_LDAP_SERVER_DOWN = 403,      /* LDAP result 81 */
    QCFG_ERR_LDAP_UNAVAILABLE = 404,      /* LDAP result 52 */
    QCFG_ERR_LDAP_ADMIN_GROUP = 407,      /* administrators' group DN missing or not found */
    QCFG_ERR_LDAP_HELPDESK_GROUP = 408,   /* help-desk group DN not found */
    QCFG_ERR_LDAP_CONNECT = 409,          /* host unreachable, or the domain object not found */
    QCFG_ERR_LDAP_USER_NOT_FOUND = 410,
    QCFG_ERR_LDAP_QUERY_BIND = 411,       /* bind with the query account failed */
    QCFG_ERR_LDAP_NOT_MEMBER = 413,       /* membership not proven */
    QCFG_ERR_LDAP_USER_BIND = 414,        /* name or password missing, or the user's bind failed */
    QCFG_ERR_LDAP_REFERRAL_URL = 415,
    QCFG_ERR_LDAP_PROTOCOL = 416,
    QCFG_ERR_LDAP_SEARCH = 418,
    QCFG_LDAP_NOT_FOUND = 94,             /* a search found no entry where one was needed */

    /* login */
    QCFG_ERR_LOGIN_FORM = 601,            /* form does not fit the login mode */
    QCFG_ERR_WRONG_PASSWORD = 602,
    QCFG_ERR_ROLE_REFUSED = 603,          /* valid credentials, role may not log in */

    /* start-up */
    QCFG_ERR_LOCK_CREATE = 701,
    QCFG_ERR_LOCK_TIMEOUT = 702,
    QCFG_ERR_LOCK_FAILED = 703,
    QCFG_ERR_STARTUP_OPEN = 704,          /* quensc-config.conf cannot be opened */
    QCFG_ERR_STARTUP_MEMORY = 705,
    QCFG_ERR_STARTUP_NO_PATH = 706,       /* no path line */
    QCFG_ERR_LOG_OPEN = 707,

    QCFG_ERR_LDAP_NO_MEMORY = 801,        /* LDAP result 90 */
    QCFG_ERR_DEFAULTS = 802,              /* installation path invalid */
    QCFG_ERR_UNKNOWN_QUERY = 803,
    QCFG_ERR_HANDLER_NO_PATH = 805,
    QCFG_ERR_NOT_LOGGED_IN = 806,
    QCFG_ERR_CONFIG_NOT_WRITTEN = 807,
    QCFG_ERR_RESTART_FAILED = 808,
    /* A state-changing query that came by GET, or by POST from another
     * site's page: refused before anything changes. */
    QCFG_ERR_REQUEST_REFUSED = 809,
};

#endif
