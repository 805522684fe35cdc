/* The request frame, the request context, the audit event filter, the
 * registry lock and the housekeeping after requests. */
#include "frame/frame.h"

#include "frame/managerAuth.h"
#include "policydb/longField.h"
#include "frame/lookupCache.h"
#include "frame/log.h"

#include <apr_strings.h>

#include <apr_allocator.h>

#include <cstdlib>
#include <ctime>
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

int QuenScRegistryLock(QuenScServer *server, int lock)
{
    if (!server || !server->registryLock)
        return 0;
    apr_status_t rc = lock ? apr_thread_mutex_lock(server->registryLock) : apr_thread_mutex_unlock(server->registryLock);
    return rc == APR_SUCCESS ? 1 : 0;
}

/* ---- audit events ------------------------------------------------------------ */

void QuenScEventParam(QuenScCall *call, int index, const char *text)
{
    if (index >= 0 && index < QUENSC_EVENT_PARAMS)
        call->ctx->eventParams[index] = text ? apr_pstrdup(call->ctx->pool, text) : nullptr;
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

/* Steps 3 to 7: arguments, session, rights, work, session store. */
static int RunMethod(QuenScCall *call)
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
    if (call->session && !(def->flags & QUENSC_FRAME_NO_STORE))
        QuenScSessionStore(call->ctx, call->session, false);
    return rc;
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
        /* A registry lock that cannot be released leaves the method undone
         * (QUENSC_INTERNAL), but the request still commits and is audited. */
        unlocked = QuenScRegistryLock(server, 0) == 1;
        int64_t start = PolDb_Now();
        if (unlocked) {
            call.values = QuenScNewResultArray();
            code = call.values ? RunMethod(&call) : QUENSC_INTERNAL;
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
        if (!Db_Commit(call.ctx->conn)) {
            QuenScLogError("%sHandler() Error committing DB transaction!", def->name);
            code = QUENSC_INTERNAL;
        }

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
    if (!Db_Commit(ctx->conn))
        QuenScLogError("QuenScPostProcess: Failed to commit database transaction");
    const QuenScConfigLogging &logging = server->configuration->logging;
    if (!PolDb_EventPurgeOldEvents(ctx->conn, logging.purge_type, logging.purge_value))
        QuenScLogError("QuenScPostProcess: Failed to delete old events");
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
