/* raw_commits: the floor InstanceCreate is measured against. A plain SQLite
 * program that does, per request, what the server's request does in the
 * database, with prepared statements and nothing else: the request's own
 * transaction (the caller's session read, the package, its Quen and the
 * Quen's policy set read, the new UID checked as free, the new instance row
 * inserted with the same values, the session written back) and then the
 * audit event's transaction (the last event number read, the event chained
 * onto it), each committed. Same schema, same durability (write-ahead log,
 * a full sync at every commit), and the same serialisation: like the
 * server's process-wide database lock, one transaction at a time holds the
 * file from its BEGIN to its COMMIT, so that concurrent threads queue
 * instead of sleeping in SQLite's busy handler.
 *
 *   raw_commits DB_FILE THREADS SECONDS
 *
 * DB_FILE is created (or emptied) with the schema and one Quen, its policy
 * set and one package first. Each thread has its own connection. Prints
 * "RATE <requests per second>"; exit code 0, or 1 after a message. */
#include "policydb/db.h"
#include "policydb/package.h"
#include "policydb/quen.h"
#include "policydb/runtimePolicy.h"

#include <apr_general.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

void Quiet(const char *) {}

const char kQuen[] = "bench-q0";
const char kPackage[] = "bench-p0-0";

/* The server's process-wide database lock. */
std::mutex g_databaseLock;

bool Exec(sqlite3 *db, const char *sql)
{
    char *message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        fprintf(stderr, "raw_commits: %s: %s\n", sql, message ? message : "");
        sqlite3_free(message);
        return false;
    }
    return true;
}

/* The statements of one request, in the order it runs them. */
enum {
    kSessionRead, kPackageRead, kQuenRead, kPolicyRead, kUidFree, kInstanceInsert, kSessionDelete,
    kSessionInsert, kLastEvent, kEventInsert, kStatementCount
};

const char *const kSql[kStatementCount] = {
    "SELECT longFieldKey, longFieldIndex, longFieldValue, sessionExpires FROM PolicyDb_LongField "
    "WHERE longFieldKey = ?1 AND sessionExpires IS NOT NULL ORDER BY longFieldIndex",
    "SELECT quenUID, packageUID, pkgName, pkgUseValidDates, pkgValidDateStart, pkgValidDateEnd, "
    "pkgProtectionKey, pkgDisabled, pkgPreview, pkgTsCreated, pkgTsLastModified FROM PolicyDb_Package "
    "WHERE deleted = 'FALSE' AND packageUID = 'bench-p0-0'",
    "SELECT quenUID, quenName, activePolicySetVersion, quenTsCreated, quenTsLastModified FROM PolicyDb_Quen "
    "WHERE deleted = 'FALSE' AND quenUID = 'bench-q0'",
    "SELECT quenUID, policyVersion, clientPolicyData, clientPolicyDataExtKey, hostPolicyData, "
    "hostPolicyDataExtKey, expirationType, expValue_1, expValue_2, cacheLifetime, rtpInstType, rtpAuthType, "
    "rtpUseInstanceLimit, rtpInstanceLimit, rtpUsePerUserInstanceLimit, rtpPerUserInstanceLimit, copyPolicy, "
    "published, rtpTsCreated, rtpTsLastModified FROM PolicyDb_RuntimePolicy WHERE deleted = 'FALSE' AND "
    "quenUID = 'bench-q0' AND policyVersion = 1",
    "SELECT COUNT(*) FROM PolicyDb_Instance WHERE instanceUID = ?1",
    /* The values the server stores for an instance of an anybody Quen. */
    "INSERT INTO PolicyDb_Instance (instanceUID, packageUID, quenUID, creatorIdName, creatorIdData, "
    "creatorAuthType, activationDate, lastPolicyCheck, revocationDate, replacementDate, inheritsExpiration, "
    "insUseValidDates, insValidDateStart, insValidDateEnd, insPassword, hostName, hostIp, insProtectionKey, "
    "copyProtectionId, insPreview, guestIpAddress, guestMacAddress, guestMachineName, guestConfigStatus, "
    "guestConfigMsg, insTsCreated, insTsLastModified, insCustom1, insCustom2, insCustom3, insCustom4, "
    "insCustom5, insCustom6, insCustom7, insCustom8, insCustom9) VALUES (?1, 'bench-p0-0', 'bench-q0', 'N/A', "
    "'', 0, ?2, ?2, '00000000000000000000', '00000000000000000000', 'TRUE', 'FALSE', '00000000000000000000', "
    "'09223372036854775807', '3diT9YS+aJZCAczsslpYcfTmlFU=', '', '', 'bench key', 'bench copy id', 'FALSE', "
    "'', '', '', 0, '', ?3, ?3, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL)",
    "DELETE FROM PolicyDb_LongField WHERE longFieldKey = ?1",
    "INSERT INTO PolicyDb_LongField (longFieldKey, longFieldIndex, longFieldValue, sessionExpires) "
    "VALUES (?1, 0, ?2, ?3)",
    "SELECT MAX(eventUID) FROM PolicyDb_Event",
    "INSERT INTO PolicyDb_Event (eventUID, eventTs, loginName, quenUID, packageUID, instanceUID, policyVersion, "
    "eventCategory, eventType, sessionID, clientIP, serverIP, turnaroundTime, handlerName, returnCodeText, "
    "messageParams, prevEventUID, eventSignature) VALUES (?1, ?2, 'N/A', 'bench-q0', 'bench-p0-0', ?3, 1, 4, "
    "4020, ?4, NULL, NULL, '3000', 'InstanceCreate', 'OK', 'type = NULL', ?5, 'ENkt/Qa0YwzJ7CkFJ937V/3WAio=')",
};

struct Statements {
    sqlite3_stmt *st[kStatementCount] = {};
};

bool Prepare(sqlite3 *db, Statements *s)
{
    for (int i = 0; i < kStatementCount; i++)
        if (sqlite3_prepare_v2(db, kSql[i], -1, &s->st[i], nullptr) != SQLITE_OK)
            return false;
    return true;
}

/* Runs a bound statement to its end, reading every column of every row as
 * the server's store does. */
bool Run(sqlite3_stmt *st)
{
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW)
        for (int col = 0; col < sqlite3_column_count(st); col++)
            sqlite3_column_text(st, col);
    sqlite3_reset(st);
    return rc == SQLITE_DONE;
}

/* Zero-padded to 20 digits, as the server stores its dates. */
std::string Padded(int64_t value)
{
    char text[32];
    snprintf(text, sizeof text, "%020lld", static_cast<long long>(value));
    return text;
}

/* One request: the two transactions. */
bool Request(sqlite3 *db, Statements &s, const std::string &uid, const std::string &sessionKey,
             const std::string &session, int64_t now)
{
    sqlite3_stmt **st = s.st;
    const std::string seconds = Padded(now), micros = Padded(now * 1000000), expires = std::to_string(now + 86400);
    {
        std::lock_guard<std::mutex> hold(g_databaseLock);
        if (!Exec(db, "BEGIN IMMEDIATE"))
            return false;
        sqlite3_bind_text(st[kSessionRead], 1, sessionKey.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_text(st[kUidFree], 1, uid.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_text(st[kInstanceInsert], 1, uid.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_text(st[kInstanceInsert], 2, seconds.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_text(st[kInstanceInsert], 3, micros.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_text(st[kSessionDelete], 1, sessionKey.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_text(st[kSessionInsert], 1, sessionKey.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_text(st[kSessionInsert], 2, session.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_text(st[kSessionInsert], 3, expires.c_str(), -1, SQLITE_STATIC);
        for (int i = kSessionRead; i <= kSessionInsert; i++)
            if (!Run(st[i]))
                return false;
        if (!Exec(db, "COMMIT"))
            return false;
    }

    std::lock_guard<std::mutex> hold(g_databaseLock);
    if (!Exec(db, "BEGIN IMMEDIATE"))
        return false;
    int64_t last = 0;
    if (sqlite3_step(st[kLastEvent]) == SQLITE_ROW)
        last = sqlite3_column_int64(st[kLastEvent], 0);
    sqlite3_reset(st[kLastEvent]);
    const std::string number = std::to_string(last + 1), previous = std::to_string(last);
    const std::string stamp = std::to_string(now * 1000000);
    sqlite3_bind_text(st[kEventInsert], 1, number.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(st[kEventInsert], 2, stamp.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(st[kEventInsert], 3, uid.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(st[kEventInsert], 4, sessionKey.c_str(), -1, SQLITE_STATIC);
    if (last)
        sqlite3_bind_text(st[kEventInsert], 5, previous.c_str(), -1, SQLITE_STATIC);
    else
        sqlite3_bind_null(st[kEventInsert], 5);
    return Run(st[kEventInsert]) && Exec(db, "COMMIT");
}

/* The Quen (with policy set 1 active) and the package every request names. */
bool AddBenchObjects()
{
    DbConnection *conn = Db_Open();
    if (!conn)
        return false;
    PolDbQuen quen{};
    quen.quenUID = const_cast<char *>(kQuen);
    quen.quenName = const_cast<char *>("Bench Quen");
    quen.activePolicySetVersion = 1;
    PolDbPackage package{};
    package.quenUID = const_cast<char *>(kQuen);
    package.packageUID = const_cast<char *>(kPackage);
    package.name = const_cast<char *>("Bench package");
    package.protectionKey = const_cast<char *>("k");
    bool ok = PolDb_QuenAdd(conn, &quen);
    PolDbRuntimePolicy *policy = ok ? PolDb_RuntimePolicyCreate(conn, kQuen) : nullptr;
    ok = policy && PolDb_PackageAdd(conn, &package) && Db_Commit(conn);
    PolDb_RuntimePolicyFree(policy);
    Db_Close(conn);
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 4) {
        fputs("usage: raw_commits DB_FILE THREADS SECONDS\n", stderr);
        return 1;
    }
    const char *file = argv[1];
    int threads = atoi(argv[2]);
    double seconds = atof(argv[3]);
    if (threads < 1 || seconds <= 0) {
        fputs("raw_commits: THREADS and SECONDS must be positive\n", stderr);
        return 1;
    }

    /* The server's schema, made by the library itself. */
    apr_initialize();
    PolDb_SetLogFunctions(Quiet, Quiet, Quiet);
    DbModuleSettings settings{};
    settings.storeKind = DB_STORE_SQLITE;
    settings.dsn = file;
    int oldVersion = 0, newVersion = 0;
    if (!Db_ModuleInit(&settings, DB_INIT_FORCE_CREATE, &oldVersion, &newVersion) || !AddBenchObjects()) {
        fprintf(stderr, "raw_commits: cannot create the schema in %s\n", file);
        return 1;
    }
    Db_ModuleExit();

    std::atomic<bool> stop{false}, failed{false};
    std::atomic<long> done{0};
    std::vector<std::thread> workers;
    auto started = std::chrono::steady_clock::now();
    for (int t = 0; t < threads; t++) {
        workers.emplace_back([&, t] {
            sqlite3 *db = nullptr;
            Statements s;
            /* Opened as the server opens its files. */
            if (sqlite3_open_v2(file, &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                nullptr) != SQLITE_OK ||
                sqlite3_busy_timeout(db, 600000) != SQLITE_OK ||
                !Exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL") || !Prepare(db, &s)) {
                fprintf(stderr, "raw_commits: cannot open %s: %s\n", file, db ? sqlite3_errmsg(db) : "");
                failed = true;
            }
            /* A session key and record as long as the server's. */
            std::string sessionKey = "00000000-0000-4000-8000-" + Padded(t).substr(8);
            const std::string session(716, 'A');
            for (long n = 0; !failed && !stop; n++) {
                char uid[64];
                snprintf(uid, sizeof uid, "%08x-0000-4000-8000-%012lx", static_cast<unsigned>(t), static_cast<unsigned long>(n));
                if (!Request(db, s, uid, sessionKey, session, static_cast<int64_t>(time(nullptr)))) {
                    fprintf(stderr, "raw_commits: %s\n", sqlite3_errmsg(db));
                    failed = true;
                    break;
                }
                done++;
            }
            for (sqlite3_stmt *st : s.st)
                sqlite3_finalize(st);
            sqlite3_close(db);
        });
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    for (std::thread &w : workers)
        w.join();
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (failed)
        return 1;
    printf("RATE %.1f\n", done.load() / elapsed);
    return 0;
}
