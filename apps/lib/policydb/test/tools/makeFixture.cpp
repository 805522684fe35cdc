/* upgrade_fixture: writes one of the upgrade tests' older databases, for the
 * shell and black-box tests and the upgrade benchmark.
 *
 *   upgrade_fixture VERSION --sqlite PATH [--instances N --events N]
 *   upgrade_fixture VERSION --odbc DSN --user NAME   (password in QUENSC_DB_PASSWORD)
 *
 * --instances and --events add that many instances (and, from version 215,
 * chained events) on top of the fixture's own rows. Exit 0, or 1 with the
 * database's error on stderr. */
#include "../upgradeFixtures.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

static void Quiet(const char *) {}

int main(int argc, char **argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: upgrade_fixture VERSION (--sqlite PATH | --odbc DSN --user NAME) "
                        "[--instances N] [--events N]\n");
        return 2;
    }
    int version = atoi(argv[1]);
    DbModuleSettings s{};
    std::string user;
    long instances = 0, events = 0;
    for (int i = 2; i + 1 < argc; i += 2) {
        std::string opt = argv[i];
        if (opt == "--sqlite") {
            s.storeKind = DB_STORE_SQLITE;
            s.dsn = argv[i + 1];
        } else if (opt == "--odbc") {
            s.storeKind = DB_STORE_ODBC;
            s.dsn = argv[i + 1];
        } else if (opt == "--user") {
            s.user = argv[i + 1];
        } else if (opt == "--instances") {
            instances = atol(argv[i + 1]);
        } else if (opt == "--events") {
            events = atol(argv[i + 1]);
        } else {
            fprintf(stderr, "upgrade_fixture: unknown option %s\n", opt.c_str());
            return 2;
        }
    }
    s.password = getenv("QUENSC_DB_PASSWORD");
    PolDb_SetLogFunctions(Quiet, nullptr, nullptr);
    int o = 0, n = 0;
    if (!Db_ModuleInit(&s, DB_INIT_NO_CHECK, &o, &n)) {
        fprintf(stderr, "upgrade_fixture: %s\n", Db_ModuleStatusText());
        return 1;
    }
    DbConnection *conn = Db_Open();
    bool ok = conn && UpgradeFixture_Build(conn, version) && UpgradeFixture_AddVolume(conn, version, instances, events);
    if (!ok)
        fprintf(stderr, "upgrade_fixture: %s\n", conn ? Db_GetLastErrorText(conn) : Db_ModuleStatusText());
    Db_Close(conn);
    Db_ModuleExit();
    return ok ? 0 : 1;
}
