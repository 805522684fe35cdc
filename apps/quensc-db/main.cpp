/* quensc-db: a command-line front to the policy database library's set-up
 * entry points, for scripts and administrators who prefer a shell to the
 * administration pages.
 *
 *   quensc-db init    --sqlite PATH [--force]   create a fresh schema
 *   quensc-db check   --sqlite PATH             exit 0 only when current
 *   quensc-db upgrade --sqlite PATH             bring an older schema up
 *   quensc-db obfuscate < SECRET                the text a version-3
 *       configuration file stores for odbc/password or krb5/query_user_pass
 *   quensc-db verify-events --sqlite PATH | --odbc DSN [--user U]
 *       walks the whole audit event chain, recomputes every signature and
 *       names the first broken link or bad signature; exit 0 only when the
 *       chain is whole. The ODBC password is read from QUENSC_DB_PASSWORD. */
#include "policydb/db.h"
#include "policydb/dbcrypto.h"
#include "policydb/event.h"

#include <apr_general.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>

namespace {

bool g_verbose = false;

void LogLine(const char *text)
{
    if (g_verbose)
        fputs(text, stderr);
}

void WarnLine(const char *text) { fputs(text, stderr); }

int Usage()
{
    fputs("usage: quensc-db init --sqlite PATH [--force] [-v]\n"
          "       quensc-db check --sqlite PATH [-v]\n"
          "       quensc-db upgrade --sqlite PATH [-v]\n"
          "       quensc-db obfuscate < SECRET\n"
          "       quensc-db verify-events (--sqlite PATH | --odbc DSN [--user NAME]) [-v]\n",
          stderr);
    return 2;
}

bool FileExists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

int Fail(const char *what)
{
    fprintf(stderr, "quensc-db: %s: %s\n", what, Db_ModuleStatusText());
    return 1;
}

int Init(const std::string &path, bool force)
{
    if (FileExists(path) && !force) {
        /* Initialising drops every table: refuse to do that to a file that
         * holds a schema already, unless told to. */
        bool current = PolDb_SetupCheckSchema(DB_STORE_SQLITE, path.c_str(), nullptr, nullptr);
        std::string status = Db_ModuleStatusText();
        if (current || status == "Database schema wrong version, init required") {
            fprintf(stderr,
                    "quensc-db: %s already holds a database schema; initialising would drop every table "
                    "and all data in it. Use --force to do so.\n",
                    path.c_str());
            return 1;
        }
        if (status == "Cannot open database connection")
            return Fail("cannot open the database");
    }
    if (!PolDb_SetupInitSchema(DB_STORE_SQLITE, path.c_str(), nullptr, nullptr))
        return Fail("initialisation failed");
    printf("%s: schema version %d created\n", path.c_str(), POLDB_SCHEMA_VERSION);
    return 0;
}

int Check(const std::string &path)
{
    if (!FileExists(path)) {
        /* Opening would create an empty file; report what the server would. */
        printf("No database schema found, init required\n");
        return 1;
    }
    bool current = PolDb_SetupCheckSchema(DB_STORE_SQLITE, path.c_str(), nullptr, nullptr);
    printf("%s\n", Db_ModuleStatusText());
    return current ? 0 : 1;
}

int Upgrade(const std::string &path)
{
    if (!FileExists(path)) {
        fprintf(stderr, "quensc-db: %s does not exist\n", path.c_str());
        return 1;
    }
    if (!PolDb_SetupUpgradeSchema(DB_STORE_SQLITE, path.c_str(), nullptr, nullptr))
        return Fail("upgrade failed");
    printf("%s: schema version %d\n", path.c_str(), POLDB_SCHEMA_VERSION);
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

/* Opens the store read-only in spirit (mode DB_INIT_CHECK_ONLY: nothing is
 * created or upgraded), checks the event chain and prints the outcome.
 * 0 when the chain is whole, 1 when it is broken or cannot be read. */
int VerifyEvents(const DbModuleSettings &settings)
{
    if (settings.storeKind == DB_STORE_SQLITE && !FileExists(settings.dsn)) {
        fprintf(stderr, "quensc-db: %s does not exist\n", settings.dsn);
        return 1;
    }
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
    std::string path, odbc, user;
    bool force = false;
    for (int i = 2; i < argc; i++) {
        if (!strcmp(argv[i], "--sqlite") && i + 1 < argc)
            path = argv[++i];
        else if (command == "verify-events" && !strcmp(argv[i], "--odbc") && i + 1 < argc)
            odbc = argv[++i];
        else if (command == "verify-events" && !strcmp(argv[i], "--user") && i + 1 < argc)
            user = argv[++i];
        else if (!strcmp(argv[i], "--force"))
            force = true;
        else if (!strcmp(argv[i], "-v") || !strcmp(argv[i], "--verbose"))
            g_verbose = true;
        else
            return Usage();
    }
    if (command == "verify-events") {
        if (path.empty() == odbc.empty())
            return Usage();
        apr_initialize();
        PolDb_SetLogFunctions(LogLine, WarnLine, WarnLine);
        DbModuleSettings settings{};
        settings.storeKind = odbc.empty() ? DB_STORE_SQLITE : DB_STORE_ODBC;
        settings.dsn = odbc.empty() ? path.c_str() : odbc.c_str();
        settings.user = user.c_str();
        settings.password = getenv("QUENSC_DB_PASSWORD") ? getenv("QUENSC_DB_PASSWORD") : "";
        settings.autoTransaction = true;
        int rc = VerifyEvents(settings);
        apr_terminate();
        return rc;
    }
    if (path.empty())
        return Usage();

    apr_initialize();
    PolDb_SetLogFunctions(LogLine, WarnLine, WarnLine);
    int rc;
    if (command == "init")
        rc = Init(path, force);
    else if (command == "check")
        rc = Check(path);
    else if (command == "upgrade")
        rc = Upgrade(path);
    else
        rc = Usage();
    apr_terminate();
    return rc;
}
