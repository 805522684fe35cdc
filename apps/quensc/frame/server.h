/* The server-wide record QuenScServer that init builds, the per-request
 * context i_ctx with its creation and release, and the database lock
 * callback. (The request frame itself is in frame/frame.h.) */
#ifndef QUENSC_SERVER_H
#define QUENSC_SERVER_H

#include "frame/config.h"
#include "host.h"

#include "policydb/db.h"
#include "policydb/event.h"
#include "hash.h"

#include <apr_thread_mutex.h>
#include <xmlrpc-c/base.h>

#include <cstdint>

/* Lives from a successful init until the process ends (in the process pool). */
struct QuenScServer {
    QuenScConfig *configuration;
    int64_t lastReaping;               /* microseconds; 0 after init */
    apr_thread_mutex_t *contextLock;   /* not nested; try-locked by postReqHandler */
    char *serverCertificate;           /* whole certificate file, or null */
    char *certificateChain;            /* whole chain file, or null */
    QuenScHostServer *host;
    apr_pool_t *pool;                  /* the host's process pool */
    apr_thread_mutex_t *dbLock;        /* nested; the database module's lock */
    apr_thread_mutex_t *registryLock;  /* nested; held by the host around dispatch */
};

#define QUENSC_EVENT_PARAMS 11

/* One request's context: its own pool, connection, caches and audit event.
 * Belongs to the one thread that runs the request. */
struct i_ctx {
    QuenScServer *server;
    apr_pool_t *pool;          /* everything the request allocates */
    DbConnection *conn;        /* built on pool, which it does not own */
    HashTable *quenLut;        /* lookup caches (see frame/lookupCache.h) */
    HashTable *packageLut;
    HashTable *policyLut;
    PolDbEvent *event;         /* the audit event record, zeroed */
    const char **eventParams;  /* QUENSC_EVENT_PARAMS text slots, zeroed */
};

/* Creates a request context for server: a new pool, a connection and the
 * lookup caches. The caller owns it and releases it with
 * QuenScContextDestroy. Null (after logging why) when any of them fails;
 * nothing is left allocated then. */
i_ctx *QuenScContextCreate(QuenScServer *server);

/* Closes the connection (rolling back an open transaction), frees the
 * caches and destroys the pool. Null is fine. */
void QuenScContextDestroy(i_ctx *ctx);

/* The database lock callback handed to the database module: takes
 * (acquire) or releases the server's dbLock. True on success. */
bool QuenScDbLock(void *server, bool acquire);

/* For a read-only request (QUENSC_FRAME_READ_ONLY) that must write after
 * all: ends its read-only transaction, and the rest of the request runs as
 * a writer's does, in a locked write transaction that its next statement
 * begins (the open one is never upgraded). *switched says whether the
 * request was read-only until now: what it read may since have changed.
 * Nothing for a writer. QUENSC_OK, or QUENSC_INTERNAL when the read-only
 * transaction could not end (the database library logged why). */
int QuenScBeginWrites(i_ctx *ctx, bool *switched);

#endif
