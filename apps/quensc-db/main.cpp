/* quensc-db: a command-line front to the policy database library's set-up
 * entry points, for scripts and administrators who prefer a shell to the
 * administration pages.
 *
 *   quensc-db init    STORE [--force]   create a fresh schema
 *   quensc-db check   STORE             exit 0 only when current
 *   quensc-db upgrade STORE             bring an older schema up
 *
 * STORE is --sqlite PATH, or --odbc DSN --user NAME with the password in
 * the environment variable QUENSC_DB_PASSWORD (never an argument, where
 * every user of the machine could read it).
 *   quensc-db obfuscate < SECRET                the text a version-3
 *       configuration file stores for odbc/password or krb5/query_user_pass
 *   quensc-db verify-events STORE
 *       walks the whole audit event chain, recomputes every signature and
 *       names the first broken link or bad signature; exit 0 only when the
 *       chain is whole. */
#include "policydb/db.h"
#include "policydb/dbcrypto.h"
#include "policydb/event.h"

#include <apr_general.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>

namespace {

bool g_verbose = false;
std::string g_lastError;   /* the last driver diagnostic line, for messages */

void LogLine(const char *text)
{
    if (g_verbose)
        fputs(text, stderr);
    /* Driver diagnostics look like "STATE:record:native:message". */
    if (strlen(text) > 6 && text[5] == ':' && isalnum(static_cast<unsigned char>(text[0])) &&
        g_lastError.empty()) {
        g_lastError = text;
        while (!g_lastError.empty() && g_lastError.back() == '\n')
            g_lastError.pop_back();
    }
}

void WarnLine(const char *text) { fputs(text, stderr); }

int Usage()
{
    fputs("usage: quensc-db init STORE [--force] [-v]\n"
          "       quensc-db check STORE [-v]\n"
          "       quensc-db upgrade STORE [-v]\n"
          "       quensc-db obfuscate < SECRET\n"
          "       quensc-db verify-events STORE [-v]\n"
          "STORE: --sqlite PATH, or --odbc DSN --user NAME (password in QUENSC_DB_PASSWORD)\n",
          stderr);
    return 2;
}

bool FileExists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

/* The store a command works on. For SQLite, target is the file path. */
struct Store {
    int kind = DB_STORE_SQLITE;
    std::string target;
    std::string user;
    std::string password;
    const char *Password() const { return kind == DB_STORE_ODBC ? password.c_str() : nullptr; }
    const char *User() const { return kind == DB_STORE_ODBC ? user.c_str() : nullptr; }
};

int Fail(const char *what)
{
    fprintf(stderr, "quensc-db: %s: %s\n", what, Db_ModuleStatusText());
    return 1;
}

/* Whether the store can be reached at all (a data source, a user, a
 * password that the database accepts); prints why not. */
bool Reachable(const Store &store)
{
    if (store.kind == DB_STORE_SQLITE)
        return true;
    if (PolDb_SetupTestConnection(store.kind, store.target.c_str(), store.User(), store.Password()))
        return true;
    fprintf(stderr, "quensc-db: cannot open the database %s: %s\n", store.target.c_str(),
            g_lastError.empty() ? Db_ModuleStatusText() : g_lastError.c_str());
    return false;
}

int Init(const Store &store, bool force)
{
    const char *t = store.target.c_str();
    bool exists = store.kind == DB_STORE_ODBC || FileExists(store.target);
    if (store.kind == DB_STORE_ODBC && !Reachable(store))
        return 1;
    if (exists && !force) {
        /* Initialising drops every table: refuse to do that to a database
         * that holds a schema already, unless told to. */
        bool current = PolDb_SetupCheckSchema(store.kind, t, store.User(), store.Password());
        std::string status = Db_ModuleStatusText();
        if (current || status == "Database schema wrong version, init required") {
            fprintf(stderr,
                    "quensc-db: %s already holds a database schema; initialising would drop every table "
                    "and all data in it. Use --force to do so.\n",
                    t);
            return 1;
        }
        if (status == "Cannot open database connection")
            return Fail("cannot open the database");
    }
    if (!PolDb_SetupInitSchema(store.kind, t, store.User(), store.Password()))
        return Fail("initialisation failed");
    printf("%s: schema version %d created\n", t, POLDB_SCHEMA_VERSION);
    return 0;
}

int Check(const Store &store)
{
    if (store.kind == DB_STORE_SQLITE && !FileExists(store.target)) {
        /* Opening would create an empty file; report what the server would. */
        printf("No database schema found, init required\n");
        return 1;
    }
    if (!Reachable(store))
        return 1;
    int version = 0;
    bool current =
        PolDb_SetupCheckSchemaVersion(store.kind, store.target.c_str(), store.User(), store.Password(), &version);
    printf("%s\n", Db_ModuleStatusText());
    if (version > 0)
        printf("Schema version %d found; this build uses version %d.%s\n", version, POLDB_SCHEMA_VERSION,
               current ? "" : " \"quensc-db upgrade\" brings versions 202 (SQLite), 206 to 215 up to it.");
    return current ? 0 : 1;
}

int Upgrade(const Store &store)
{
    if (store.kind == DB_STORE_SQLITE && !FileExists(store.target)) {
        fprintf(stderr, "quensc-db: %s does not exist\n", store.target.c_str());
        return 1;
    }
    if (!Reachable(store))
        return 1;
    int found = 0;
    (void)PolDb_SetupCheckSchemaVersion(store.kind, store.target.c_str(), store.User(), store.Password(), &found);
    if (!PolDb_SetupUpgradeSchema(store.kind, store.target.c_str(), store.User(), store.Password()))
        return Fail("upgrade failed");
    if (found > 0 && found != POLDB_SCHEMA_VERSION)
        printf("%s: schema upgraded from version %d\n", store.target.c_str(), found);
    printf("%s: schema version %d\n", store.target.c_str(), POLDB_SCHEMA_VERSION);
    return 0;
}

/* Reads one secret from standard input (one trailing line break dropped;
 * at most 4095 bytes) and prints what the configuration file stores for it.
 * 0, or 1 after a message on stderr. The secret itself is never printed. */
int Obfuscate()
{
    std::string secret;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, stdin)) > 0) {
        secret.append(buffer, n);
        if (secret.size() >= sizeof buffer) {
            fputs("quensc-db: the secret is too long\n", stderr);
            return 1;
        }
    }
    if (!secret.empty() && secret.back() == '\n')
        secret.pop_back();
    if (!secret.empty() && secret.back() == '\r')
        secret.pop_back();
    if (secret.find('\0') != std::string::npos || secret.find('\n') != std::string::npos) {
        fputs("quensc-db: the secret must be one line of text\n", stderr);
        return 1;
    }
    QCryptKey *key = nullptr;
    char *text = nullptr;
    bool ok = PolDb_CryptoKeyCreate(PolDb_ConfigObfuscationKey, sizeof PolDb_ConfigObfuscationKey, &key) &&
              PolDb_Encrypt(key, secret.c_str(), &text);
    PolDb_CryptoKeyDestroy(key);
    if (!ok) {
        fputs("quensc-db: obfuscation failed\n", stderr);
        return 1;
    }
    printf("%s\n", text);
    free(text);
    return 0;
}

/* Opens the store without changing it (DB_INIT_CHECK_ONLY: nothing is
 * created or upgraded), checks the event chain and prints the outcome.
 * 0 when the chain is whole, 1 when it is broken or cannot be read. */
int VerifyEvents(const Store &store)
{
    if (store.kind == DB_STORE_SQLITE && !FileExists(store.target)) {
        fprintf(stderr, "quensc-db: %s does not exist\n", store.target.c_str());
        return 1;
    }
    DbModuleSettings settings{};
    settings.storeKind = store.kind;
    settings.dsn = store.target.c_str();
    settings.user = store.User();
    settings.password = store.Password();
    settings.autoTransaction = true;
    int oldVersion = 0, newVersion = 0;
    if (!Db_ModuleInit(&settings, DB_INIT_CHECK_ONLY, &oldVersion, &newVersion))
        return Fail("cannot open the database");
    DbConnection *conn = Db_Open();
    if (!conn) {
        Db_ModuleExit();
        return Fail("cannot open a connection");
    }
    PolDbChainCheck check;
    const bool whole = PolDb_EventCheckChain(conn, &check);
    if (whole)
        printf("event chain whole: %d events checked\n", check.checked);
    else if (check.firstBadUID)
        printf("event %s: %s (%d events checked)\n", check.firstBadUID, check.reason, check.checked);
    else
        fprintf(stderr, "quensc-db: %s: %s\n", check.reason, Db_GetLastErrorText(conn));
    free(check.firstBadUID);
    Db_Close(conn);
    Db_ModuleExit();
    return whole ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return Usage();
    std::string command = argv[1];
    if (command == "obfuscate") {
        if (argc != 2)
            return Usage();
        apr_initialize();
        PolDb_SetLogFunctions(LogLine, WarnLine, WarnLine);
        int rc = Obfuscate();
        apr_terminate();
        return rc;
    }
    Store store;
    bool sqlite = false, odbc = false, user = false;
    bool force = false;
    for (int i = 2; i < argc; i++) {
        if (!strcmp(argv[i], "--sqlite") && i + 1 < argc) {
            store.target = argv[++i];
            sqlite = true;
        } else if (!strcmp(argv[i], "--odbc") && i + 1 < argc) {
            store.target = argv[++i];
            store.kind = DB_STORE_ODBC;
            odbc = true;
        } else if (!strcmp(argv[i], "--user") && i + 1 < argc) {
            store.user = argv[++i];
            user = true;
        } else if (!strcmp(argv[i], "--force"))
            force = true;
        else if (!strcmp(argv[i], "-v") || !strcmp(argv[i], "--verbose"))
            g_verbose = true;
        else
            return Usage();
    }
    if (store.target.empty() || sqlite == odbc || user != odbc)
        return Usage();
    if (odbc) {
        const char *password = getenv("QUENSC_DB_PASSWORD");
        store.password = password ? password : "";
    }

    apr_initialize();
    PolDb_SetLogFunctions(LogLine, WarnLine, WarnLine);
    int rc;
    if (command == "init")
        rc = Init(store, force);
    else if (command == "check")
        rc = Check(store);
    else if (command == "upgrade")
        rc = Upgrade(store);
    else if (command == "verify-events")
        rc = VerifyEvents(store);
    else
        rc = Usage();
    apr_terminate();
    return rc;
}
