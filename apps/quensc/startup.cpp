/* Server start-up: init brings the module from nothing to a state in which
 * every handler can run (logging, crypto, configuration and its in-memory
 * upgrade, locks, the database module, the start-up data upgrade, the
 * certificate files). */
#include "startup.h"

#include "frame/managerAuth.h"
#include "frame/frame.h"
#include "service/dataUpgrade.h"
#include "frame/log.h"

#include "qcrypt.h"

#include <cstdlib>
#include <cstring>

#include <apr_strings.h>

namespace {

/* The database library and the crypto library log through the module. */
void DbLogInfo(const char *text) { QuenScLogInfo("%s", text); }
void DbLogError(const char *text) { QuenScLogError("%s", text); }
[[noreturn]] void DbPanic(const char *text) { QuenScPanic("%s", text); }

/* Brings the configuration up to the current version in memory; the file
 * itself is not written back. QUENSC_OK, or QUENSC_SERVER_DID_NOT_START
 * (after the reason's log line) when start-up must stop. */
int QuenScConfigUpgrade(apr_pool_t *pool, QuenScConfig *cfg)
{
    /* Unsigned on purpose: a negative version runs no step. */
    while (static_cast<uint32_t>(cfg->global.configuration_version) <= 3) {
        switch (cfg->global.configuration_version) {
        case 0:
            if (cfg->administrators.password) {
                cfg->administrators.password = QuenScPasswordHash(pool, nullptr, cfg->administrators.password);
                if (!cfg->administrators.password) {
                    QuenScLogError("QuenScConfigUpgrade 0: Failed to hash admin pwd");
                    return QUENSC_SERVER_DID_NOT_START;
                }
            }
            if (cfg->helpdesk.password) {
                cfg->helpdesk.password = QuenScPasswordHash(pool, nullptr, cfg->helpdesk.password);
                if (!cfg->helpdesk.password) {
                    QuenScLogError("QuenScConfigUpgrade 0: Failed to hash helpdesk pwd");
                    return QUENSC_SERVER_DID_NOT_START;
                }
            }
            break;
        case 2:
            if (cfg->global.use_ldap) {
                QuenScLogError("LDAP configuration detected.  The QMS upgrade requires that the server be "
                               "re-configured before it can be restarted.  Please open your web-browser and "
                               "re-configure your QMS server.");
                return QUENSC_SERVER_DID_NOT_START;
            }
            break;
        default:
            break;
        }
        cfg->global.configuration_version++;
    }
    return QUENSC_OK;
}

int ReadCertificates(QuenScServer *server)
{
    DbConnection *conn = Db_Open();
    if (!conn) {
        QuenScLogError("Error opening database!");
        return QUENSC_INTERNAL;
    }
    const QuenScConfigSsl &ssl = server->configuration->ssl;
    char *cert = nullptr, *chain = nullptr;
    if (ssl.cert) {
        cert = QuenScReadTextFile(server->pool, ssl.cert);
        if (!cert) {
            QuenScLogError("Failed to read the cert file: %s", ssl.cert);
            Db_Close(conn);
            return QUENSC_INTERNAL;
        }
    }
    if (ssl.cert_chain) {
        chain = QuenScReadTextFile(server->pool, ssl.cert_chain);
        if (!chain)
            QuenScLogError("Failed to read the cert chain file: %s", ssl.cert_chain);
    }
    server->serverCertificate = cert;
    server->certificateChain = chain;
    Db_Close(conn);
    return QUENSC_OK;
}

bool CreateMutex(apr_thread_mutex_t **mutex, unsigned flags, apr_pool_t *pool)
{
    return apr_thread_mutex_create(mutex, flags, pool) == APR_SUCCESS;
}

} // namespace

QuenScServer *QuenScStartup(const char *configPath, QuenScHostServer *host)
{
    QuenScSetLogHost(host);
    PolDb_SetLogFunctions(DbLogInfo, DbLogError, DbPanic);
    QCrypt_SetLogFunctions(DbLogInfo, DbLogError, DbPanic);
    if (!QCrypt_EnableFipsMode()) {
        QuenScLogError("Failed to enable FIPS-mode.\n");
        return nullptr;
    }
    apr_pool_t *pool = host->process->pool;
    auto *server = static_cast<QuenScServer *>(apr_pcalloc(pool, sizeof(QuenScServer)));
    server->host = host;
    server->pool = pool;

    QuenScConfig *cfg = QuenScConfigDefaults(pool, configPath);
    server->configuration = cfg;
    QuenScLogInfo("Reading configuration file: %s...", configPath ? configPath : "(null)");
    if (QuenScConfigRead(pool, cfg) != QUENSC_OK)
        return nullptr;
    if (QuenScConfigUpgrade(pool, cfg) != QUENSC_OK)
        return nullptr;

    apr_status_t rc = apr_thread_mutex_create(&server->contextLock, APR_THREAD_MUTEX_DEFAULT, pool);
    if (rc != APR_SUCCESS) {
        char text[8192];
        QuenScLogError("init: Error allocating context lock (%d) - %s.", rc, apr_strerror(rc, text, sizeof text));
        return nullptr;
    }
    server->lastReaping = 0;
    if (!CreateMutex(&server->registryLock, APR_THREAD_MUTEX_NESTED, pool)) {
        QuenScLogError("Error creating db mutex");
        return nullptr;
    }

    DbModuleSettings settings{};
    const char *dbType = cfg->global.db_type;
    if (dbType && strcmp(dbType, "sqlite") == 0) {
        if (!CreateMutex(&server->dbLock, APR_THREAD_MUTEX_NESTED, pool)) {
            QuenScLogError("Error creating db mutex");
            return nullptr;
        }
        QuenScLogInfo("Initializing SQLITE database store");
        settings.storeKind = DB_STORE_SQLITE;
        settings.dsn = cfg->sqlite.db_file;
    } else if (dbType && strcmp(dbType, "odbc") == 0) {
        if (!CreateMutex(&server->dbLock, APR_THREAD_MUTEX_NESTED, pool)) {
            QuenScLogError("Cannot create db lock: %s", cfg->odbc.lock_file ? cfg->odbc.lock_file : "");
            return nullptr;
        }
        QuenScLogInfo("Initializing ODBC database store");
        settings.storeKind = DB_STORE_ODBC;
        settings.dsn = cfg->odbc.dsn;
        settings.user = cfg->odbc.username;
        settings.password = cfg->odbc.password;
    } else {
        QuenScLogError("Illegal db_type specified in configuration: %s", dbType ? dbType : "(null)");
        return nullptr;
    }
    settings.autoTransaction = true;
    settings.lockFn = QuenScDbLock;
    settings.lockContext = server;
    settings.logStatements = false;

    Db_ModuleExit();
    int oldVersion = 0, newVersion = 0;
    if (!Db_ModuleInit(&settings, DB_INIT_UPGRADE_EXISTING, &oldVersion, &newVersion)) {
        QuenScLogError("Error opening database: %s", cfg->sqlite.db_file ? cfg->sqlite.db_file : "(null)");
        return nullptr;
    }
    if (QuenScRunDataUpgrades(server, oldVersion, newVersion) != QUENSC_OK) {
        QuenScLogError("Error upgrading data at startup");
        return nullptr;
    }
    if (ReadCertificates(server) != QUENSC_OK) {
        QuenScLogError("Error updating server record at startup");
        return nullptr;
    }
    QuenScLogInfo("Corvane Quen Management Server v2.0.1 Started");
    return server;
}
