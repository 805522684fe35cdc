/* raw_commits: the floor InstanceCreate is measured against. A plain SQLite
 * program that does, per request, the two commits the server does (the
 * request's own: a new instance row and the session written back; then the
 * audit event chained onto the last one) on the server's own schema, with
 * the server's durability: write-ahead log, a full sync at every commit.
 *
 *   raw_commits DB_FILE THREADS SECONDS
 *
 * DB_FILE is created (or emptied) with the schema first. Each thread has
 * its own connection. Prints "RATE <requests per second>"; exit code 0, or
 * 1 after a message. */
#include "policydb/db.h"

#include <apr_general.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

void Quiet(const char *) {}

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

struct Statements {
    sqlite3_stmt *instance = nullptr, *session = nullptr, *last = nullptr, *event = nullptr;
};

bool Prepare(sqlite3 *db, Statements *s)
{
    return sqlite3_prepare_v2(db,
                              "INSERT INTO PolicyDb_Instance (instanceUID, packageUID, quenUID, creatorIdName, "
                              "creatorIdData, creatorAuthType, activationDate, lastPolicyCheck, revocationDate, "
                              "replacementDate, inheritsExpiration, insUseValidDates, insValidDateStart, "
                              "insValidDateEnd, copyProtectionId, insPreview, insTsCreated, insTsLastModified, "
                              "deleted) VALUES (?1, 'bench-p0-0', 'bench-q0', 'bench key', '', 0, ?2, ?2, "
                              "'00000000000000000000', '00000000000000000000', 'TRUE', 'FALSE', "
                              "'00000000000000000000', '00000000000000000000', 'bench copy id', 'FALSE', ?2, ?2, "
                              "'FALSE')",
                              -1, &s->instance, nullptr) == SQLITE_OK &&
           sqlite3_prepare_v2(db,
                              "INSERT OR REPLACE INTO PolicyDb_LongField (longFieldKey, longFieldIndex, "
                              "longFieldValue, sessionExpires) VALUES (?1, 0, ?2, ?3)",
                              -1, &s->session, nullptr) == SQLITE_OK &&
           sqlite3_prepare_v2(db, "SELECT MAX(eventUID) FROM PolicyDb_Event", -1, &s->last, nullptr) == SQLITE_OK &&
           sqlite3_prepare_v2(db,
                              "INSERT INTO PolicyDb_Event (eventUID, eventTs, loginName, quenUID, packageUID, "
                              "instanceUID, eventCategory, eventType, sessionID, turnaroundTime, handlerName, "
                              "returnCodeText, messageParams, prevEventUID, eventSignature) VALUES (?1, ?2, '', "
                              "'bench-q0', 'bench-p0-0', ?3, 4, 4010, ?4, '120', 'InstanceCreate', 'OK', ?3, ?5, "
                              "'0123456789abcdef0123456789abcdef0123456789abcdef')",
                              -1, &s->event, nullptr) == SQLITE_OK;
}

bool Step(sqlite3_stmt *st)
{
    int rc = sqlite3_step(st);
    sqlite3_reset(st);
    return rc == SQLITE_DONE || rc == SQLITE_ROW;
}

/* One request: the two commits. */
bool Request(sqlite3 *db, Statements &s, const std::string &uid, const std::string &sessionKey, int64_t now)
{
    std::string stamp = std::to_string(now);
    std::string record(728, 'A');   /* a session record as the long field stores it */
    if (!Exec(db, "BEGIN IMMEDIATE"))
        return false;
    sqlite3_bind_text(s.instance, 1, uid.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(s.instance, 2, stamp.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(s.session, 1, sessionKey.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(s.session, 2, record.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(s.session, 3, stamp.c_str(), -1, SQLITE_TRANSIENT);
    if (!Step(s.instance) || !Step(s.session) || !Exec(db, "COMMIT"))
        return false;

    if (!Exec(db, "BEGIN IMMEDIATE"))
        return false;
    int64_t last = 0;
    if (sqlite3_step(s.last) == SQLITE_ROW)
        last = sqlite3_column_int64(s.last, 0);
    sqlite3_reset(s.last);
    sqlite3_bind_int64(s.event, 1, last + 1);
    sqlite3_bind_text(s.event, 2, stamp.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(s.event, 3, uid.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(s.event, 4, sessionKey.c_str(), -1, SQLITE_TRANSIENT);
    if (last)
        sqlite3_bind_int64(s.event, 5, last);
    else
        sqlite3_bind_null(s.event, 5);
    return Step(s.event) && Exec(db, "COMMIT");
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
    if (!Db_ModuleInit(&settings, DB_INIT_FORCE_CREATE, &oldVersion, &newVersion)) {
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
            if (sqlite3_open(file, &db) != SQLITE_OK || sqlite3_busy_timeout(db, 600000) != SQLITE_OK ||
                !Exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL") || !Prepare(db, &s)) {
                fprintf(stderr, "raw_commits: cannot open %s: %s\n", file, db ? sqlite3_errmsg(db) : "");
                failed = true;
            }
            std::string sessionKey = "bench-session-" + std::to_string(t);
            for (long n = 0; !failed && !stop; n++) {
                std::string uid = "raw-" + std::to_string(t) + "-" + std::to_string(n);
                if (!Request(db, s, uid, sessionKey, static_cast<int64_t>(time(nullptr)))) {
                    fprintf(stderr, "raw_commits: %s\n", sqlite3_errmsg(db));
                    failed = true;
                    break;
                }
                done++;
            }
            sqlite3_finalize(s.instance);
            sqlite3_finalize(s.session);
            sqlite3_finalize(s.last);
            sqlite3_finalize(s.event);
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
