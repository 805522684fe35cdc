/* The contract between the server module (libquensc.so) and whoever hosts
 * it: the Apache module mod_quensc, or a test. The host fills this record
 * and passes it to init() as its third argument; the module logs through it
 * and takes its process pool from it. The host calls apr_initialize() first.
 *
 * Exports of libquensc.so (extern "C", undecorated):
 *   QuenScServer *init(void *reserved, const char *configPath, QuenScHostServer *host);
 *       null when start-up failed (the reason is in the host's log).
 *   QuenScMethod methods[];   rows until the row whose fields are all null
 *   void postReqHandler(QuenScServer *server);   housekeeping after a request
 *   int QuenSc_XmlRpcRegistryLock(QuenScServer *server, int lock);
 *       lock != 0 blocks until the registry lock is held, 0 releases it;
 *       1 on success, 0 on failure. The host holds it around every dispatch;
 *       handlers release it while they work.
 *
 * One more export, which a host may use and need not:
 *   void QuenSc_Status(QuenScServer *server, int probeDatabase, QuenScStatus *out);
 *       fills *out (see below); with probeDatabase != 0 it also makes one
 *       round trip to the database. Safe from any thread at any time after
 *       init(). */
#ifndef QUENSC_HOST_H
#define QUENSC_HOST_H

#include <apr_pools.h>
#include <xmlrpc-c/base.h>

extern "C" {

struct QuenScHostProcess {
    apr_pool_t *pool;   /* lives as long as the process */
};

/* Log levels the module uses, as the web server's error log numbers them. */
enum { QUENSC_LOG_CRIT = 2, QUENSC_LOG_WARNING = 4, QUENSC_LOG_NOTICE = 5 };

struct QuenScHostServer {
    QuenScHostProcess *process;
    /* One finished line, already prefixed "QUENSC: ". */
    void (*log)(void *host, const char *file, int line, int level, const char *text);
    /* Ends the process; never returns. */
    void (*fatal)(const char *expr, const char *file, int line);
    /* a host may keep its own data after these fields (Apache: its server_rec) */
};

struct QuenScServer;

/* A method handler as the host calls it: the fault environment, the
 * parameter array (not freed by the handler) and the init() result.
 * Returns a new array (owned by the caller) or null. */
typedef xmlrpc_value *(*QuenScHandler)(xmlrpc_env *env, xmlrpc_value *params, void *server);

/* One row of the exported method table; signature and help are "". */
struct QuenScMethod {
    QuenScHandler handler;
    const char *name;
    const char *signature;
    const char *help;
};

/* What QuenSc_Status reports. Counters run from init() and only grow. */
struct QuenScStatus {
    int databaseAnswers;                 /* probe: 1 when the round trip succeeded */
    char reason[256];                    /* probe: why it did not, else "" */
    unsigned long long databaseErrors;   /* statements the database refused */
    unsigned long long sessionReaps;     /* housekeeping runs that deleted timed-out sessions */
    unsigned long long eventPurges;      /* housekeeping runs that purged old events */
};

typedef QuenScServer *(*QuenScInitFn)(void *reserved, const char *configPath, QuenScHostServer *host);
typedef void (*QuenScPostReqFn)(QuenScServer *server);
typedef int (*QuenScRegistryLockFn)(QuenScServer *server, int lock);
typedef void (*QuenScStatusFn)(QuenScServer *server, int probeDatabase, QuenScStatus *out);
}

#endif
