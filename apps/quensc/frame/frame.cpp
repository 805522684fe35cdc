/* The request frame, the request context, the audit event filter, the
 * registry lock and the housekeeping after requests. */
#include "frame/frame.h"

#include "frame/managerAuth.h"
#include "policydb/longField.h"
#include "frame/lookupCache.h"
#include "frame/log.h"

#include <apr_strings.h>

#include <atomic>
#include <cstdio>
#include <apr_allocator.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <mutex>
#include <vector>

/* ---- request context ------------------------------------------------------- */

/* Request pools are cleared and kept for the next request rather than
 * made from the system each time. Each is unmanaged (its own allocator, so
 * parallel requests never contend on a shared one), and its allocator
 * keeps at most kPoolKeepBytes of free memory, so that one large answer
 * does not stay reserved for ever. */
namespace {
constexpr size_t kRequestPoolsKept = 16;
constexpr apr_size_t kPoolKeepBytes = 256 * 1024;

/* The kept pools, destroyed when the module is unloaded. */
struct KeptPools {
    std::vector<apr_pool_t *> pools;
    ~KeptPools()
    {
        for (apr_pool_t *pool : pools)
            apr_pool_destroy(pool);
    }
};

std::mutex g_requestPoolsLock;
KeptPools g_kept;
std::vector<apr_pool_t *> &g_requestPools = g_kept.pools;

apr_pool_t *TakeRequestPool()
{
    {
        std::lock_guard<std::mutex> hold(g_requestPoolsLock);
        if (!g_requestPools.empty()) {
            apr_pool_t *pool = g_requestPools.back();
            g_requestPools.pop_back();
            return pool;
        }
    }
    apr_pool_t *pool = nullptr;
    if (apr_pool_create_unmanaged(&pool) != APR_SUCCESS)
        return nullptr;
    apr_allocator_max_free_set(apr_pool_allocator_get(pool), kPoolKeepBytes);
    return pool;
}

void GiveRequestPool(apr_pool_t *pool)
{
    apr_pool_clear(pool);
    {
        std::lock_guard<std::mutex> hold(g_requestPoolsLock);
        if (g_requestPools.size() < kRequestPoolsKept) {
            g_requestPools.push_back(pool);
            return;
        }
    }
    apr_pool_destroy(pool);
}
} // namespace

i_ctx *QuenScContextCreate(QuenScServer *server)
{
    apr_pool_t *pool = TakeRequestPool();
    if (!pool) {
        QuenScLogError("apr_pool_create() failed");
        return nullptr;
    }
    auto *ctx = static_cast<i_ctx *>(apr_pcalloc(pool, sizeof(i_ctx)));
    ctx->pool = pool;
    ctx->event = static_cast<PolDbEvent *>(apr_pcalloc(pool, sizeof(PolDbEvent)));
    ctx->eventParams = static_cast<const char **>(apr_pcalloc(pool, QUENSC_EVENT_PARAMS * sizeof(char *)));
    ctx->conn = Db_OpenInPool(pool);
    if (!ctx->conn) {
        QuenScLogError("Error opening database\n");
        GiveRequestPool(pool);
        return nullptr;
    }
    ctx->server = server;
    if (QuenScLutInitialize(ctx) != QUENSC_OK) {
        QuenScContextDestroy(ctx);
        return nullptr;
    }
    return ctx;
}

void QuenScContextDestroy(i_ctx *ctx)
{
    if (!ctx)
        return;
    QuenScLutDestroy(ctx);
    Db_Close(ctx->conn);
    GiveRequestPool(ctx->pool);
}

bool QuenScDbLock(void *server, bool acquire)
{
    auto *s = static_cast<QuenScServer *>(server);
    apr_status_t rc = acquire ? apr_thread_mutex_lock(s->dbLock) : apr_thread_mutex_unlock(s->dbLock);
    return rc == APR_SUCCESS;
}

int QuenScBeginWrites(i_ctx *ctx, bool *switched)
{
    *switched = ctx->conn->readOnly;
    if (!*switched)
        return QUENSC_OK;
    /* Nothing was written: the commit only ends the snapshot. */
    bool ended = Db_Commit(ctx->conn);
    Db_SetReadOnly(ctx->conn, false);
    return ended ? QUENSC_OK : QUENSC_INTERNAL;
}

int QuenScRegistryLock(QuenScServer *server, int lock)
{
    if (!server || !server->registryLock)
        return 0;
    apr_status_t rc = lock ? apr_thread_mutex_lock(server->registryLock) : apr_thread_mutex_unlock(server->registryLock);
    return rc == APR_SUCCESS ? 1 : 0;
}

/* ---- audit events ------------------------------------------------------------ */

/* Widths of the event columns the frame fills: messageParams holds the
 * parameters joined by tabs, the texts are VARCHAR(128). */
enum { kEventParamsColumn = 1024, kEventTextColumn = 128 };

/* The first bytes of `text` that fit `max` bytes without splitting a UTF-8
 * sequence: `text` itself when it fits, else a copy in `pool`. Null stays
 * null. Can't fail. */
static const char *CutToColumn(apr_pool_t *pool, const char *text, size_t max)
{
    if (!text)
        return nullptr;
    const size_t n = strnlen(text, max + 1);
    if (n <= max)
        return text;
    return apr_pstrndup(pool, text, PolDb_Utf8Prefix(text, n, max));
}

void QuenScEventParam(QuenScCall *call, int index, const char *text)
{
    /* Whatever the caller sent, no more than the column can hold is kept. */
    if (index >= 0 && index < QUENSC_EVENT_PARAMS)
        call->ctx->eventParams[index] =
            text ? apr_pstrdup(call->ctx->pool, CutToColumn(call->ctx->pool, text, kEventParamsColumn)) : nullptr;
}

/* Cuts the `count` recorded parameters so that, joined by tabs, they fit the
 * messageParams column: they keep their order, the first ones whole, and the
 * first that does not fit is cut to what is left (the ones after it are
 * empty). */
static void FitParamsToColumn(apr_pool_t *pool, char **params, int count)
{
    size_t room = kEventParamsColumn;
    for (int i = 0; i < count; i++) {
        if (i > 0)
            room = room > 0 ? room - 1 : 0;   /* the tab before it */
        params[i] = const_cast<char *>(CutToColumn(pool, params[i], room));
        room -= strlen(params[i]);
    }
}

static int ConfiguredLevel(const QuenScConfigLogging &logging, int category)
{
    switch (category) {
    case QUENSC_CATEGORY_AUTHENTICATION: return logging.authentication;
    case QUENSC_CATEGORY_QUEN_ADMIN: return logging.quen_admin;
    case QUENSC_CATEGORY_PACKAGE_ADMIN: return logging.package_admin;
    case QUENSC_CATEGORY_INSTANCE_ADMIN: return logging.instance_admin;
    case QUENSC_CATEGORY_POLICY_ADMIN: return logging.policy_admin;
    default: return 0;
    }
}

void QuenScRecordEvent(i_ctx *ctx)
{
    int category = QUENSC_CATEGORY_NONE, level = 4;
    LookupEventType(ctx->event->eventType, &category, &level);
    if (level > ConfiguredLevel(ctx->server->configuration->logging, category))
        return;
    PolDbEvent *e = ctx->event;
    int count = 0;
    for (int i = 0; i < POLDB_EVENT_MAX_PARAMS; i++) {
        e->messageParams[i] = const_cast<char *>(ctx->eventParams[i] ? ctx->eventParams[i] : "");
        if (ctx->eventParams[i])
            count = i + 1;
    }
    e->messageParamCount = count;
    FitParamsToColumn(ctx->pool, e->messageParams, count);
    for (char **text : {&e->loginName, &e->quenUID, &e->packageUID, &e->instanceUID, &e->sessionID,
                        &e->clientIP, &e->serverIP, &e->handlerName, &e->returnCodeText})
        *text = const_cast<char *>(CutToColumn(ctx->pool, *text, kEventTextColumn));
    if (PolDb_EventAdd(ctx->conn, e))
        Db_Commit(ctx->conn);
    else
        Db_Rollback(ctx->conn);
    /* EventAdd hands these three over as heap texts. */
    free(e->eventUID);
    free(e->prevEventUID);
    free(e->eventSignature);
    e->eventUID = e->prevEventUID = e->eventSignature = nullptr;
}

/* ---- the frame ---------------------------------------------------------------- */

/* Steps 3 to 7: arguments, session, rights, work, session store. A
 * read-only request leaves the store to WriteBackSession after its commit
 * and sets *storeLater instead. */
static int RunMethod(QuenScCall *call, bool *storeLater)
{
    const QuenScMethodDef *def = call->def;
    if (!(def->flags & QUENSC_FRAME_NO_SESSION)) {
        const char *id = nullptr;
        if (QuenScReadString(call->env, call->params, 0, call->ctx->pool, &id) != QUENSC_OK)
            return QUENSC_INTERNAL;
        call->session = QuenScSessionLookup(call->ctx, id);
        if (!call->session)
            return QUENSC_INVALID_SESSION;
    }
    if (def->argsSize > 0)
        call->args = apr_pcalloc(call->ctx->pool, def->argsSize);
    if (def->read) {
        int rc = def->read(call);
        if (rc != QUENSC_OK)
            return rc;
    }
    int rc = QuenScSecurityCheck(call->ctx, call->session, def->name, def->accessMask);
    if (rc != QUENSC_OK)
        return rc;
    rc = def->work(call);
    if (call->session && !(def->flags & QUENSC_FRAME_NO_STORE)) {
        if (call->ctx->conn->readOnly)
            *storeLater = true;
        else if (QuenScSessionStore(call->ctx, call->session, false) != QUENSC_OK && rc == QUENSC_OK)
            rc = QUENSC_INTERNAL; /* the failed store rolled the work back with it: nothing was kept */
    }
    return rc;
}

/* The session store of a read-only request, after its commit: when one is
 * due, in a write transaction of its own, and only while the stored session
 * is still the one the request read, so that a session another request
 * closed or changed in between is neither brought back nor overwritten
 * (that request stored a fresh access time itself). False when that
 * transaction's commit failed. */
static bool WriteBackSession(QuenScCall *call)
{
    i_ctx *ctx = call->ctx;
    QuenScSession *session = call->session;
    if (!QuenScSessionNeedsStore(session, time(nullptr)))
        return true;
    unsigned char *bytes = nullptr;
    size_t length = 0;
    if (PolDb_SessionGetBlob(ctx->conn, session->id, &bytes, &length) && length == QUENSC_SESSION_RECORD_SIZE &&
        memcmp(bytes, session->stored, length) == 0)
        QuenScSessionStore(ctx, session, false);
    free(bytes);
    return Db_Commit(ctx->conn);
}

xmlrpc_value *QuenScRunFrame(const QuenScMethodDef *def, xmlrpc_env *env, xmlrpc_value *params, void *serverPtr)
{
    auto *server = static_cast<QuenScServer *>(serverPtr);
    QuenScCall call{};
    call.def = def;
    call.env = env;
    call.params = params;
    int code = QUENSC_INTERNAL;

    call.ctx = QuenScContextCreate(server);
    bool unlocked = false;
    if (call.ctx) {
        DbConnection *conn = call.ctx->conn;
        Db_SetReadOnly(conn, (def->flags & QUENSC_FRAME_READ_ONLY) != 0);
        bool storeLater = false;
        /* A registry lock that cannot be released leaves the method undone
         * (QUENSC_INTERNAL), but the request still commits and is audited. */
        unlocked = QuenScRegistryLock(server, 0) == 1;
        int64_t start = PolDb_Now();
        if (unlocked) {
            call.values = QuenScNewResultArray();
            code = call.values ? RunMethod(&call, &storeLater) : QUENSC_INTERNAL;
        }

        if (env->fault_occurred) {
            if (!(def->flags & QUENSC_FRAME_QUIET_READ))
                QuenScLogError("%sHandler() Error reading rpc msg: %s", def->name,
                               env->fault_string ? env->fault_string : "");
            /* The caller expects the result array, not the reader's
             * fault: the fault would make the host drop the array. */
            xmlrpc_env_clean(env);
            xmlrpc_env_init(env);
        }
        bool committed = Db_Commit(conn);
        /* What a read-only request still writes (its session, its event)
         * goes into write transactions of their own. */
        Db_SetReadOnly(conn, false);
        if (committed && storeLater)
            committed = WriteBackSession(&call);
        if (!committed) {
            QuenScLogError("%sHandler() Error committing DB transaction!", def->name);
            code = QUENSC_INTERNAL;
        }
        /* A method marked read-only that attempted a write (refused and
         * logged by the database library) is a fault of the server. */
        if (conn->writeRefused)
            code = QUENSC_INTERNAL;

        if (!(def->flags & QUENSC_FRAME_NO_EVENT)) {
            PolDbEvent *e = call.ctx->event;
            e->returnCodeText = const_cast<char *>(QuenScResultText(code));
            e->handlerName = const_cast<char *>(def->name);
            if (call.session) {
                e->sessionID = call.session->id;
                e->loginName = apr_pstrdup(call.ctx->pool, QuenScSessionUserName(call.session));
            }
            e->turnaroundTime = PolDb_Now() - start;
            e->eventType = def->eventType;
            QuenScRecordEvent(call.ctx);
        }
    }

    xmlrpc_value *result = QuenScNewResultArray();
    if (result) {
        QuenScAppendInt(result, code);
        if (call.values && (code == QUENSC_OK || call.valuesOnError)) {
            xmlrpc_env local;
            xmlrpc_env_init(&local);
            int n = xmlrpc_array_size(&local, call.values);
            for (int i = 0; i < n && !local.fault_occurred; i++) {
                xmlrpc_value *item = nullptr;
                xmlrpc_array_read_item(&local, call.values, i, &item);
                if (!local.fault_occurred) {
                    xmlrpc_array_append_item(&local, result, item);
                    xmlrpc_DECREF(item);
                }
            }
            xmlrpc_env_clean(&local);
        }
    }
    if (call.values)
        xmlrpc_DECREF(call.values);
    if (call.ctx && unlocked)
        QuenScRegistryLock(server, 1);
    QuenScContextDestroy(call.ctx);
    return result;
}

/* ---- housekeeping ---------------------------------------------------------------- */

/* Counters for QuenScStatusRead. */
static std::atomic<unsigned long long> g_databaseErrors{0}, g_sessionReaps{0}, g_eventPurges{0};

void QuenScCountDatabaseError(void) { ++g_databaseErrors; }

void QuenScStatusRead(QuenScServer *server, int probeDatabase, QuenScStatus *out)
{
    memset(out, 0, sizeof *out);
    out->databaseErrors = g_databaseErrors;
    out->sessionReaps = g_sessionReaps;
    out->eventPurges = g_eventPurges;
    if (!probeDatabase)
        return;
    if (!server) {
        snprintf(out->reason, sizeof out->reason, "the server module is not initialised");
        return;
    }
    int version = 0;
    const int rc = PolDb_CheckSchema(&version);
    out->databaseAnswers = rc == 0;
    if (rc != 0)
        snprintf(out->reason, sizeof out->reason, "database: %s", Db_ModuleStatusText());
}

static void QuenScPostProcess(QuenScServer *server)
{
    int64_t now = time(nullptr);
    int64_t last = server->lastReaping / 1000000;
    if (last > now)
        last = 0;
    if (now - last < server->configuration->global.session_reap_cycle)
        return;
    i_ctx *ctx = QuenScContextCreate(server);
    if (!ctx) {
        QuenScLogError("Could not create i_ctx for session reaping.");
        return;
    }
    if (!PolDb_SessionCleanup(ctx->conn))
        QuenScLogError("QuenScPostProcess: Failed to delete timed out sessions");
    else
        ++g_sessionReaps;
    if (!Db_Commit(ctx->conn))
        QuenScLogError("QuenScPostProcess: Failed to commit database transaction");
    const QuenScConfigLogging &logging = server->configuration->logging;
    if (!PolDb_EventPurgeOldEvents(ctx->conn, logging.purge_type, logging.purge_value))
        QuenScLogError("QuenScPostProcess: Failed to delete old events");
    else if (logging.purge_type != POLDB_EVENT_PURGE_NONE)
        ++g_eventPurges;
    if (!Db_Commit(ctx->conn))
        QuenScLogError("QuenScPostProcess: Failed to commit database transaction");
    /* Instances and events come and go: keep the planner's picture of the
     * tables current, once per housekeeping run. */
    if (!PolDb_RefreshStatistics(ctx->conn) || !Db_Commit(ctx->conn))
        QuenScLogError("QuenScPostProcess: Failed to refresh the database statistics");
    QuenScContextDestroy(ctx);
    server->lastReaping = PolDb_Now();
}

void QuenScAfterRequest(QuenScServer *server)
{
    if (!server || !server->contextLock) {
        QuenScLogError("Received NULL input parameters in post request handler.");
        return;
    }
    apr_status_t rc = apr_thread_mutex_trylock(server->contextLock);
    if (APR_STATUS_IS_EBUSY(rc))
        return;
    char text[8192];
    if (rc != APR_SUCCESS) {
        QuenScLogError("Could not acquire context mutex in post req handler (%d): %s", rc,
                       apr_strerror(rc, text, sizeof text));
        return;
    }
    QuenScPostProcess(server);
    rc = apr_thread_mutex_unlock(server->contextLock);
    if (rc != APR_SUCCESS)
        QuenScLogError("Could not release context mutex in post request handler (%d): %s", rc,
                       apr_strerror(rc, text, sizeof text));
}
