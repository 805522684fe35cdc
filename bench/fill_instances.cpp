/* fill_instances: adds instances to an installation's SQLite database
 * through the policy database library, for the scale benchmark. It is much
 * quicker than creating them over the wire, and the rows are what
 * InstanceCreate and the attribute setters would have written.
 *
 *   fill_instances DB_FILE FIRST COUNT PACKAGE_UID...
 *   fill_instances odbc:DSN:USER FIRST COUNT PACKAGE_UID...
 *       (the ODBC password in QUENSC_DB_PASSWORD)
 *
 * Instance n (FIRST <= n < FIRST + COUNT) belongs to package n modulo the
 * number of packages (so to that package's Quen), is activated at a base
 * date plus n minutes, and carries attributes that repeat with different
 * periods (creator, host, custom fields, guest state), so that text, date
 * and sort conditions match a predictable share of the rows. Commits every
 * 5,000 rows; prints the number added. Exit code 0, or 1 after a message. */
#include "policydb/db.h"
#include "policydb/instance.h"

#include <apr_general.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

/* 1 September 2023 00:00 UTC: instance n is activated n minutes later. */
constexpr int64_t kBaseDate = 1693526400;
constexpr int kBatch = 5000;

void Quiet(const char *) {}

void Warn(const char *text) { fputs(text, stderr); }

int Usage()
{
    fputs("usage: fill_instances DB_FILE|odbc:DSN:USER FIRST COUNT PACKAGE_UID...\n", stderr);
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 5)
        return Usage();
    const char *dbFile = argv[1];
    long first = strtol(argv[2], nullptr, 10), count = strtol(argv[3], nullptr, 10);
    std::vector<std::string> packages(argv + 4, argv + argc);
    if (first < 0 || count < 0)
        return Usage();

    apr_initialize();
    PolDb_SetLogFunctions(Quiet, Warn, Warn);
    DbModuleSettings settings{};
    settings.storeKind = DB_STORE_SQLITE;
    settings.dsn = dbFile;
    std::string dsn, user;
    if (std::string(dbFile).rfind("odbc:", 0) == 0) {
        std::string rest = dbFile + 5;
        size_t colon = rest.find(':');
        if (colon == std::string::npos)
            return Usage();
        dsn = rest.substr(0, colon);
        user = rest.substr(colon + 1);
        const char *password = getenv("QUENSC_DB_PASSWORD");
        settings.storeKind = DB_STORE_ODBC;
        settings.dsn = dsn.c_str();
        settings.user = user.c_str();
        settings.password = password ? password : "";
    }
    int oldVersion = 0, newVersion = 0;
    if (!Db_ModuleInit(&settings, DB_INIT_CHECK_ONLY, &oldVersion, &newVersion)) {
        fprintf(stderr, "fill_instances: %s: %s\n", dbFile, Db_ModuleStatusText());
        return 1;
    }
    DbConnection *conn = Db_Open();
    if (!conn) {
        fprintf(stderr, "fill_instances: cannot open %s\n", dbFile);
        return 1;
    }

    /* A filling program, not the server: on SQLite a page cache large
     * enough for the whole table and its indices, so that inserting into
     * some fifty indices in key order that is random to each of them does
     * not read and write the file page by page. */
    bool ok = settings.storeKind != DB_STORE_SQLITE || Db_Exec(conn, "PRAGMA cache_size = -4194304");
    long added = 0;
    for (long n = first; n < first + count && ok; n++) {
        char uid[48], creator[32], host[32], ip[32], custom1[32], custom2[32], mac[32], machine[32], cpid[32];
        snprintf(uid, sizeof uid, "f111%04lx-0000-4000-8000-%012lx", n & 0xFFFF, n);
        snprintf(creator, sizeof creator, "user%05ld", n % 5000);
        snprintf(host, sizeof host, "host-%04ld", n % 2000);
        snprintf(ip, sizeof ip, "10.%ld.%ld.%ld", (n >> 16) & 255, (n >> 8) & 255, n & 255);
        snprintf(custom1, sizeof custom1, "dept-%02ld", n % 50);
        snprintf(custom2, sizeof custom2, "cost centre %ld", n % 7);
        snprintf(mac, sizeof mac, "02:00:00:%02lX:%02lX:%02lX", (n >> 16) & 255, (n >> 8) & 255, n & 255);
        snprintf(machine, sizeof machine, "vm-%06ld", n);
        snprintf(cpid, sizeof cpid, "cp-%ld", n % 1000);

        PolDbInstance r{};
        r.instanceUID = uid;
        r.packageUID = const_cast<char *>(packages[n % packages.size()].c_str());
        r.creatorIdName = creator;
        r.creatorIdData = const_cast<char *>("");
        r.activationDate = kBaseDate + n * 60;
        r.lastPolicyCheck = r.activationDate + 3600;
        r.revocationDate = n % 20 == 0 ? r.activationDate + 86400 : 0;
        r.inheritsExpiration = true;
        r.validDateEnd = INT64_MAX;
        r.password = const_cast<char *>("filled-in hash");
        r.protectionKey = const_cast<char *>("filled-in key");
        r.hostName = host;
        r.hostIp = ip;
        r.copyProtectionId = cpid;
        r.guestIpAddress = ip;
        r.guestMacAddress = mac;
        r.guestMachineName = machine;
        r.guestConfigStatus = static_cast<int>(n % 3);
        r.guestConfigMsg = const_cast<char *>(n % 3 == 2 ? "configuration failed" : "configured");
        r.custom[0] = custom1;
        r.custom[1] = custom2;
        ok = PolDb_InstanceAdd(conn, &r);
        if (ok && ++added % kBatch == 0)
            ok = Db_Commit(conn);
    }
    if (ok)
        ok = Db_Commit(conn);
    if (!ok)
        fprintf(stderr, "fill_instances: adding instance %ld failed: %s\n", first + added,
                Db_GetLastErrorText(conn));
    Db_Close(conn);
    Db_ModuleExit();
    apr_terminate();
    if (!ok)
        return 1;
    printf("%ld\n", added);
    return 0;
}
