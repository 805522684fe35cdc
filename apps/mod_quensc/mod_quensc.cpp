/* mod_quensc: the Apache httpd module that hosts the server module
 * (libquensc.so) and serves its XML-RPC methods.
 *
 * Configuration (main server only; a virtual host shares the process-wide
 * module and may not name another one):
 *
 *     LoadModule quensc_module /path/to/mod_quensc.so
 *     QuenScModule     /path/to/libquensc.so
 *     QuenScConfigFile /path/to/conf/quensc.conf
 *     <Location /RPC2>
 *         SetHandler quensc-xmlrpc
 *     </Location>
 *
 * Every child process loads the server module once (child_init), hands it a
 * host record built on the child's pool, calls its init() and keeps its
 * method table in a table by name. The parent never loads it, so a graceful
 * restart (SIGUSR1) runs init() again in the new children and they read a
 * newly committed configuration file. A child ends when its parent dies
 * (kill -9 of the parent), so no orphan keeps the listening sockets.
 *
 * Requests: POST only (405 otherwise). The body is read up to the smaller of
 * LimitRequestBody and kBodyCeiling (413 beyond); bodies and the work of
 * parsing them share two memory budgets (503 when they stay full). A body
 * with a document type declaration, a NUL byte, more than kMaxElements
 * elements or elements nested deeper than any XML-RPC call needs is answered
 * with a fault before the XML parser sees it. The call is parsed, then the registry lock is held around the
 * dispatch only, exactly as the module asks, then the answer is serialised:
 * one large body never stalls the other requests. Only the rows of the
 * module's method table are callable (no system.* methods). The answer is
 * text/xml; postReqHandler() runs after it has been flushed to the client.
 * When the child could not set the module up (no directives, dlopen failure,
 * init() returned null) the reason is logged once at child start and every
 * request gets 503.
 *
 * Handlers run in parallel on the child's worker threads: the module releases
 * the registry lock while a handler works. Nothing here is written after
 * child_init, so the request path needs no lock of its own. */

#include <httpd.h>
#include <http_config.h>
#include <http_core.h>
#include <http_log.h>
#include <http_protocol.h>
#include <http_request.h>

#include <apr_strings.h>
#include <apr_time.h>

#include <xmlrpc-c/base.h>

#include "host.h"

#include <dlfcn.h>
#include <malloc.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>

extern "C" module AP_MODULE_DECLARE_DATA quensc_module;

#ifdef APLOG_USE_MODULE
APLOG_USE_MODULE(quensc);
#endif

namespace {

/* The handler name that <Location /RPC2> sets with SetHandler. */
const char kHandlerName[] = "quensc-xmlrpc";
/* Handler names of the health and metrics pages (<Location /healthz>,
 * <Location /metrics>). */
const char kHealthHandlerName[] = "quensc-health";
const char kMetricsHandlerName[] = "quensc-metrics";

/* The most this module ever buffers for one request, whatever
 * LimitRequestBody says (0 there means "unlimited" and the built-in default is
 * 1 GiB). xmlrpc-c's own XML size limit is raised to this value, so every body
 * that the HTTP side accepts is also accepted by the parser and an oversized
 * body always ends in 413, never in a parser fault. */
const apr_size_t kBodyCeiling = 64u * 1024 * 1024;

/* Memory of requests in flight is bounded by two budgets per child, so that
 * the worst case of parallel maximum bodies stays under 1 GiB (measured by
 * bench/memory_bench.py). The read budget holds the bodies being read or
 * held (their length); the work budget holds the estimated memory of parsing
 * a body into its element tree and values, dispatching it and serialising
 * the answer: kWorkPerByte per body byte plus kWorkPerElement per element. A
 * request takes its read share before it reads (waiting for room holding
 * nothing), then its work share (waiting while holding only its read share);
 * work shares never wait for anything else, so the two cannot deadlock. A
 * request that finds no room within kBudgetWaitSeconds gets 503. */
const apr_size_t kReadBudget = 256u * 1024 * 1024;
/* Bodies up to this size are read without the read budget: every worker
 * thread at once holds little with them. */
const apr_size_t kSmallBody = 64u * 1024;
const apr_size_t kWorkBudget = 512u * 1024 * 1024;
const apr_size_t kWorkPerByte = 3;
const apr_size_t kWorkPerElement = 640;
const int kBudgetWaitSeconds = 30;

/* The most elements one call may have: enough for arrays of tens of
 * thousands of items, small enough that one call's work share is a small
 * part of the work budget. */
const apr_size_t kMaxElements = 100000;

/* Elements a well-formed call needs: methodCall, params, param, value, the
 * type element, and three more (array/data/value or struct/member/value) per
 * level of nesting that the parser allows (XMLRPC_NESTING_LIMIT_ID). */
int maxElementDepth()
{
    return 5 + 3 * static_cast<int>(xmlrpc_limit_get(XMLRPC_NESTING_LIMIT_ID));
}

/* Directive values of one server record. */
struct QuenScDirectives {
    const char *modulePath;   /* QuenScModule, resolved against ServerRoot */
    const char *configPath;   /* QuenScConfigFile, likewise */
    int statusOpen;           /* QuenScStatusOpen On: /healthz and /metrics for any client */
};

/* The host record handed to init(): the contract's fields first, then ours.
 * The module gets this address back as the first argument of log(). */
struct ModHost {
    QuenScHostServer base;
    server_rec *server;       /* where log lines go */
};

/* Everything a child process knows about the loaded module. Written only by
 * child_init (one thread, before any request), read by request threads. */
struct ChildState {
    QuenScHostProcess process;
    ModHost host;
    QuenScServer *server;           /* init() result; null = unusable */
    QuenScPostReqFn postReq;
    QuenScStatusFn status;          /* optional export; null when absent */
    QuenScRegistryLockFn registryLock;
    std::unordered_map<std::string, const QuenScMethod *> *methods;   /* by name */
    int maxDepth;                   /* deepest element nesting accepted */
    const char *unusableReason;     /* why requests get 503; null when usable */
};

ChildState g_child;

/* One of the two memory budgets of the child (see kReadBudget). */
struct Budget {
    const apr_size_t capacity;
    std::mutex mutex;
    std::condition_variable room;
    apr_size_t used = 0;
    explicit Budget(apr_size_t c) : capacity(c) {}
};
Budget g_readBudget(kReadBudget);
Budget g_workBudget(kWorkBudget);

/* What one request holds of a budget; returned by a cleanup of its pool. */
struct BudgetShare {
    Budget *budget;
    apr_size_t bytes;
};

extern "C" apr_status_t returnBudgetShare(void *data)
{
    BudgetShare *share = static_cast<BudgetShare *>(data);
    if (share->bytes) {
        std::lock_guard<std::mutex> hold(share->budget->mutex);
        share->budget->used -= share->bytes;
        share->bytes = 0;
        share->budget->room.notify_all();
    }
    return APR_SUCCESS;
}

/* A new, empty share of `budget` that returns itself when `pool` is
 * destroyed. Can't fail (allocation failure ends the process). */
BudgetShare *newBudgetShare(apr_pool_t *pool, Budget *budget)
{
    BudgetShare *share = static_cast<BudgetShare *>(apr_pcalloc(pool, sizeof(BudgetShare)));
    share->budget = budget;
    apr_pool_cleanup_register(pool, share, returnBudgetShare, apr_pool_cleanup_null);
    return share;
}

/* Raises the share to `bytes` (never lowers it), waiting up to
 * kBudgetWaitSeconds for room. Returns true when the share is held, false
 * when the budget stayed full or `bytes` exceeds the whole budget. */
bool growBudgetShare(BudgetShare *share, apr_size_t bytes)
{
    if (bytes <= share->bytes)
        return true;
    Budget *budget = share->budget;
    if (bytes > budget->capacity)
        return false;
    const apr_size_t more = bytes - share->bytes;
    std::unique_lock<std::mutex> hold(budget->mutex);
    if (!budget->room.wait_for(hold, std::chrono::seconds(kBudgetWaitSeconds),
                               [&] { return budget->capacity - budget->used >= more; }))
        return false;
    budget->used += more;
    share->bytes = bytes;
    return true;
}

/* An xmlrpc-c fault environment that is cleaned (its fault text freed) when
 * it goes out of scope. */
struct XmlRpcEnv {
    xmlrpc_env env;
    XmlRpcEnv() { xmlrpc_env_init(&env); }
    ~XmlRpcEnv() { xmlrpc_env_clean(&env); }
    XmlRpcEnv(const XmlRpcEnv &) = delete;
    XmlRpcEnv &operator=(const XmlRpcEnv &) = delete;
};

/* The host record's log(): one finished line into the error log at the
 * module's level (the module uses the error log's own numbering). */
extern "C" void hostLog(void *host, const char *file, int line, int level, const char *text)
{
    const ModHost *h = static_cast<const ModHost *>(host);
    if (level < APLOG_EMERG || level > APLOG_TRACE8)
        level = APLOG_ERR;
    if (!text)
        text = "(null)";
    /* The error log writes a line break as the two characters \n: drop the
     * ones that end a message. */
    int length = static_cast<int>(strlen(text));
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r'))
        length--;
    ap_log_error_(file ? file : "libquensc", line, APLOG_MODULE_INDEX, level, 0,
                  h ? h->server : nullptr, "%.*s", length, text);
}

/* Pool cleanup of the child pool: frees the method table. The module itself
 * is never unloaded, because objects it created in the child pool may still
 * run cleanups of their own after this one. */
extern "C" apr_status_t freeMethodTable(void *data)
{
    delete static_cast<std::unordered_map<std::string, const QuenScMethod *> *>(data);
    g_child.methods = nullptr;
    return APR_SUCCESS;
}

void *createServerConfig(apr_pool_t *pool, server_rec *)
{
    return apr_pcalloc(pool, sizeof(QuenScDirectives));
}

/* Both directives take one path, relative paths count from ServerRoot.
 * Returns an error text for Apache to print, or null. */
const char *setPathDirective(cmd_parms *cmd, void *, const char *arg)
{
    if (cmd->server->is_virtual)
        return apr_psprintf(cmd->pool, "%s belongs to the main server configuration: one "
                            "server module serves every virtual host of a process",
                            cmd->cmd->name);
    QuenScDirectives *conf = static_cast<QuenScDirectives *>(
        ap_get_module_config(cmd->server->module_config, &quensc_module));
    const char *path = ap_server_root_relative(cmd->pool, arg);
    if (!path || !*arg)
        return apr_psprintf(cmd->pool, "%s: invalid path '%s'", cmd->cmd->name, arg);
    if (strcmp(cmd->cmd->name, "QuenScModule") == 0)
        conf->modulePath = path;
    else
        conf->configPath = path;
    return nullptr;
}

/* Marks the child unusable and logs why, once. Returns nothing; can't fail. */
void childUnusable(server_rec *s, int level, const char *reason)
{
    g_child.server = nullptr;
    g_child.unusableReason = reason;
    ap_log_error(APLOG_MARK, level, 0, s,
                 "mod_quensc: %s; requests to the %s handler answer 503", reason, kHandlerName);
}

/* Loads the module, calls its init() and registers its methods. On any
 * failure the child stays unusable and the reason is logged. */
void childInit(apr_pool_t *pchild, server_rec *s)
{
    const QuenScDirectives *conf = static_cast<const QuenScDirectives *>(
        ap_get_module_config(s->module_config, &quensc_module));

    g_child.process.pool = pchild;
    g_child.host.base.process = &g_child.process;
    g_child.host.base.log = hostLog;
    g_child.host.base.fatal = ap_log_assert;
    g_child.host.server = s;

    if (!conf->modulePath && !conf->configPath) {
        /* Loaded but not configured (e.g. enabled system-wide without its
         * conf): nothing to complain about until someone uses the handler. */
        g_child.unusableReason = "QuenScModule and QuenScConfigFile are not set";
        return;
    }
    if (!conf->modulePath) {
        childUnusable(s, APLOG_ERR, "QuenScModule is not set");
        return;
    }
    if (!conf->configPath) {
        childUnusable(s, APLOG_ERR, "QuenScConfigFile is not set");
        return;
    }

    /* Large blocks (bodies, answers, xmlrpc-c's buffers) are mapped and
     * given back to the system when freed, instead of staying in a heap
     * whose size only grows; and few heaps for the many worker threads, so
     * freed memory is reused rather than kept per thread. Together they keep
     * the child's peak near what the memory budgets allow. */
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    mallopt(M_ARENA_MAX, 4);

    /* xmlrpc-c's global set-up is not thread-safe when left to first use;
     * here the child has one thread still. The module shares this library. */
    XmlRpcEnv e;
    xmlrpc_init(&e.env);
    if (e.env.fault_occurred) {
        childUnusable(s, APLOG_CRIT, apr_psprintf(pchild, "xmlrpc_init failed: %s", e.env.fault_string));
        return;
    }
    xmlrpc_limit_set(XMLRPC_XML_SIZE_LIMIT_ID, kBodyCeiling);

    void *lib = dlopen(conf->modulePath, RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        childUnusable(s, APLOG_ERR, apr_psprintf(pchild, "cannot load %s: %s",
                                                 conf->modulePath, dlerror()));
        return;
    }
    auto initFn = reinterpret_cast<QuenScInitFn>(dlsym(lib, "init"));
    auto postReq = reinterpret_cast<QuenScPostReqFn>(dlsym(lib, "postReqHandler"));
    auto lockFn = reinterpret_cast<QuenScRegistryLockFn>(dlsym(lib, "QuenSc_XmlRpcRegistryLock"));
    auto table = static_cast<const QuenScMethod *>(dlsym(lib, "methods"));
    if (!initFn || !postReq || !lockFn || !table) {
        childUnusable(s, APLOG_ERR, apr_psprintf(pchild,
            "%s lacks one of init, methods, postReqHandler, QuenSc_XmlRpcRegistryLock",
            conf->modulePath));
        return;
    }

    /* The contract: the host record first, its process record first in it. */
    QuenScServer *server = initFn(nullptr, conf->configPath, &g_child.host.base);
    if (!server) {
        childUnusable(s, APLOG_CRIT, apr_psprintf(pchild,
            "init() of %s failed with configuration file %s (its reason is logged above)",
            conf->modulePath, conf->configPath));
        return;
    }

    auto *byName = new std::unordered_map<std::string, const QuenScMethod *>();
    apr_pool_cleanup_register(pchild, byName, freeMethodTable, apr_pool_cleanup_null);
    int count = 0;
    for (const QuenScMethod *row = table; row->name || row->handler; ++row) {
        if (!row->name || !row->handler) {
            childUnusable(s, APLOG_CRIT, apr_psprintf(pchild,
                "row %d of the method table of %s has a name or a handler but not both",
                count, conf->modulePath));
            return;
        }
        (*byName)[row->name] = row;
        ++count;
    }

    /* The child ends with its parent: after kill -9 of the parent nothing
     * else would stop it, and it would keep the listening sockets. */
    const pid_t parent = getppid();
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent)
        ap_log_error(APLOG_MARK, APLOG_WARNING, 0, s,
                     "mod_quensc: process %ld may outlive its parent", static_cast<long>(getpid()));

    g_child.methods = byName;
    g_child.maxDepth = maxElementDepth();
    g_child.postReq = postReq;
    g_child.status = reinterpret_cast<QuenScStatusFn>(dlsym(lib, "QuenSc_Status"));
    g_child.registryLock = lockFn;
    g_child.unusableReason = nullptr;
    g_child.server = server;
    ap_log_error(APLOG_MARK, APLOG_INFO, 0, s,
                 "mod_quensc: process %ld serves %d methods of %s with configuration file %s",
                 static_cast<long>(getpid()), count, conf->modulePath, conf->configPath);
}

extern "C" void childInitHook(apr_pool_t *pchild, server_rec *s)
{
    childInit(pchild, s);
}

/* Reads the whole request body into r->pool. At most `limit` bytes are
 * accepted. A body larger than kSmallBody first takes its share of the read
 * budget; the share returns to it when r->pool is destroyed.
 * Returns OK with body and len set (body is not terminated and may be
 * empty), HTTP_REQUEST_ENTITY_TOO_LARGE beyond the limit,
 * HTTP_SERVICE_UNAVAILABLE when the budget stayed full, or the HTTP status
 * (or AP_FILTER_ERROR) for a failed read. */
int readBody(request_rec *r, apr_size_t limit, const char **body, apr_size_t *len)
{
    BudgetShare *share = newBudgetShare(r->pool, &g_readBudget);

    *body = "";
    *len = 0;

    /* A declared length over the limit is refused before anything is read. */
    const char *declared = apr_table_get(r->headers_in, "Content-Length");
    apr_off_t declaredLen = 0;
    if (declared) {
        char *end = nullptr;
        if (apr_strtoff(&declaredLen, declared, &end, 10) != APR_SUCCESS || *end || declaredLen < 0)
            return HTTP_BAD_REQUEST;
        if (static_cast<apr_uint64_t>(declaredLen) > limit)
            return HTTP_REQUEST_ENTITY_TOO_LARGE;
    }

    /* A request waits for its read share at most once, holding none of the
     * budget while it waits, so requests never wait for each other's
     * growth: a declared length larger than kSmallBody takes its share
     * before reading, a chunked body takes room for its worst case (the
     * limit, twice, as outgrown buffers stay in r->pool) when it first
     * outgrows kSmallBody. */
    apr_size_t capacity = declared ? static_cast<apr_size_t>(declaredLen) : 16384;
    if (capacity > kSmallBody && !growBudgetShare(share, capacity))
        return HTTP_SERVICE_UNAVAILABLE;
    char *buf = static_cast<char *>(apr_palloc(r->pool, capacity + 1));
    apr_size_t used = 0;

    apr_bucket_brigade *bb = apr_brigade_create(r->pool, r->connection->bucket_alloc);
    for (bool seenEos = false; !seenEos;) {
        apr_status_t rv = ap_get_brigade(r->input_filters, bb, AP_MODE_READBYTES,
                                         APR_BLOCK_READ, HUGE_STRING_LEN);
        if (rv != APR_SUCCESS) {
            apr_brigade_destroy(bb);
            return ap_map_http_request_error(rv, HTTP_BAD_REQUEST);
        }
        for (apr_bucket *b = APR_BRIGADE_FIRST(bb); b != APR_BRIGADE_SENTINEL(bb);
             b = APR_BUCKET_NEXT(b)) {
            if (APR_BUCKET_IS_EOS(b)) {
                seenEos = true;
                break;
            }
            if (APR_BUCKET_IS_METADATA(b))
                continue;
            const char *data;
            apr_size_t n;
            rv = apr_bucket_read(b, &data, &n, APR_BLOCK_READ);
            if (rv != APR_SUCCESS) {
                apr_brigade_destroy(bb);
                return ap_map_http_request_error(rv, HTTP_BAD_REQUEST);
            }
            if (n > limit - used) {
                apr_brigade_destroy(bb);
                return HTTP_REQUEST_ENTITY_TOO_LARGE;
            }
            if (used + n > capacity) {
                apr_size_t grown = capacity * 2 > used + n ? capacity * 2 : used + n;
                if (grown > limit)
                    grown = limit;
                if (grown > kSmallBody && share->bytes == 0 && !growBudgetShare(share, 2 * limit)) {
                    apr_brigade_destroy(bb);
                    return HTTP_SERVICE_UNAVAILABLE;
                }
                char *bigger = static_cast<char *>(apr_palloc(r->pool, grown + 1));
                memcpy(bigger, buf, used);
                buf = bigger;
                capacity = grown;
            }
            memcpy(buf + used, data, n);
            used += n;
        }
        apr_brigade_cleanup(bb);
    }
    apr_brigade_destroy(bb);
    buf[used] = '\0';
    *body = buf;
    *len = used;
    return OK;
}

/* The body limit of this request: LimitRequestBody (0 = unlimited), never
 * above kBodyCeiling. */
apr_size_t bodyLimit(request_rec *r)
{
    apr_off_t configured = ap_get_limit_req_body(r);
    if (configured <= 0 || static_cast<apr_uint64_t>(configured) > kBodyCeiling)
        return kBodyCeiling;
    return static_cast<apr_size_t>(configured);
}

/* ---- metrics ---------------------------------------------------------------------
 * What GET /metrics reports for this child, in the Prometheus text format:
 * calls by method and result code (a fault counts as code "fault", a name
 * outside the method table as method "(unknown)"), a histogram of call
 * durations, requests refused before dispatch by reason, and the server
 * module's own counters. */
const double kLatencyBuckets[] = {0.001, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10};
const int kBucketCount = sizeof kLatencyBuckets / sizeof kLatencyBuckets[0];

struct Metrics {
    std::mutex mutex;
    std::map<std::pair<std::string, std::string>, unsigned long long> calls;   /* (method, code) */
    std::map<std::string, unsigned long long> refused;                          /* by reason */
    unsigned long long buckets[kBucketCount + 1] = {};                          /* last: +Inf */
    double secondsSum = 0;
    unsigned long long loginDelays = 0;
};
Metrics g_metrics;

/* Counts one answered call. Thread-safe; can't fail. */
void countCall(const char *method, bool known, const std::string &code, double seconds)
{
    std::lock_guard<std::mutex> hold(g_metrics.mutex);
    ++g_metrics.calls[{known ? method : "(unknown)", code}];
    int bucket = 0;
    while (bucket < kBucketCount && seconds > kLatencyBuckets[bucket])
        ++bucket;
    ++g_metrics.buckets[bucket];
    g_metrics.secondsSum += seconds;
}

void countRefused(const char *reason)
{
    std::lock_guard<std::mutex> hold(g_metrics.mutex);
    ++g_metrics.refused[reason];
}

void countLoginDelay()
{
    std::lock_guard<std::mutex> hold(g_metrics.mutex);
    ++g_metrics.loginDelays;
}

/* ---- failed manager logins ----------------------------------------------------
 * Repeated failed AuthenticateManager calls are slowed down, per client
 * address and per user name (the credential's type for a password), with a
 * delay before the call that doubles with every failure after the first
 * kFreeFailures, up to kMaxDelayMs. The answer itself never changes. A
 * success forgets the failures of its address and name; failures older than
 * kForgetSeconds are forgotten too. */
const int kFreeFailures = 3;
const int kFirstDelayMs = 100;
const int kMaxDelayMs = 5000;
const int kForgetSeconds = 600;
const size_t kMaxTrackedKeys = 20000;

struct FailureCount {
    int failures = 0;
    std::chrono::steady_clock::time_point last;
};

struct LoginThrottle {
    std::mutex mutex;
    std::unordered_map<std::string, FailureCount> byKey;   /* "a:" address, "n:" name */
};
LoginThrottle g_logins;

/* The name an AuthenticateManager call tries: the directory user name and
 * domain, or the credential's type. Empty when the argument is unreadable. */
std::string loginName(xmlrpc_value *params)
{
    XmlRpcEnv e;
    std::string name;
    xmlrpc_value *cred = nullptr;
    if (xmlrpc_array_size(&e.env, params) < 2)
        return name;
    xmlrpc_array_read_item(&e.env, params, 1, &cred);
    if (e.env.fault_occurred || xmlrpc_value_type(cred) != XMLRPC_TYPE_STRUCT) {
        if (cred)
            xmlrpc_DECREF(cred);
        return name;
    }
    xmlrpc_value *ldap = nullptr;
    xmlrpc_struct_find_value(&e.env, cred, "ldap", &ldap);
    if (!e.env.fault_occurred && ldap && xmlrpc_value_type(ldap) == XMLRPC_TYPE_STRUCT) {
        for (const char *member : {"name", "domain"}) {
            xmlrpc_value *v = nullptr;
            xmlrpc_struct_find_value(&e.env, ldap, member, &v);
            const char *text = nullptr;
            if (!e.env.fault_occurred && v && xmlrpc_value_type(v) == XMLRPC_TYPE_STRING) {
                xmlrpc_read_string(&e.env, v, &text);
                if (!e.env.fault_occurred && text) {
                    name += std::string(text).substr(0, 256) + "@";
                    free(const_cast<char *>(text));
                }
            }
            if (v)
                xmlrpc_DECREF(v);
        }
    } else {
        name = "(password)";
    }
    if (ldap)
        xmlrpc_DECREF(ldap);
    xmlrpc_DECREF(cred);
    return name;
}

/* The delay owed before a login attempt from `address` for `name`, in
 * milliseconds (0 while both have few recent failures). Can't fail. */
int loginDelayMs(const std::string &address, const std::string &name)
{
    std::lock_guard<std::mutex> hold(g_logins.mutex);
    const auto now = std::chrono::steady_clock::now();
    int failures = 0;
    for (const std::string &key : {"a:" + address, "n:" + name}) {
        auto found = g_logins.byKey.find(key);
        if (found == g_logins.byKey.end())
            continue;
        if (now - found->second.last > std::chrono::seconds(kForgetSeconds))
            g_logins.byKey.erase(found);
        else if (found->second.failures > failures)
            failures = found->second.failures;
    }
    if (failures < kFreeFailures)
        return 0;
    const int doublings = failures - kFreeFailures;
    return doublings >= 6 ? kMaxDelayMs
                          : (kFirstDelayMs << doublings < kMaxDelayMs ? kFirstDelayMs << doublings : kMaxDelayMs);
}

/* Counts a failed attempt, or forgets the failures after a success. */
void noteLogin(const std::string &address, const std::string &name, bool failed)
{
    std::lock_guard<std::mutex> hold(g_logins.mutex);
    const auto now = std::chrono::steady_clock::now();
    for (const std::string &key : {"a:" + address, "n:" + name}) {
        if (!failed) {
            g_logins.byKey.erase(key);
            continue;
        }
        if (g_logins.byKey.size() >= kMaxTrackedKeys && !g_logins.byKey.count(key)) {
            /* Full: drop what is old; if nothing is, start over rather than
             * grow without bound. */
            for (auto it = g_logins.byKey.begin(); it != g_logins.byKey.end();)
                it = now - it->second.last > std::chrono::seconds(kForgetSeconds) ? g_logins.byKey.erase(it)
                                                                                     : std::next(it);
            if (g_logins.byKey.size() >= kMaxTrackedKeys)
                g_logins.byKey.clear();
        }
        FailureCount &count = g_logins.byKey[key];
        ++count.failures;
        count.last = now;
    }
}

/* The result code of a method's answer (element 0), or -1 when it has none. */
int resultCode(xmlrpc_value *result)
{
    XmlRpcEnv e;
    int code = -1;
    xmlrpc_value *first = nullptr;
    if (!result || xmlrpc_value_type(result) != XMLRPC_TYPE_ARRAY || xmlrpc_array_size(&e.env, result) < 1)
        return -1;
    xmlrpc_array_read_item(&e.env, result, 0, &first);
    if (!e.env.fault_occurred && first) {
        xmlrpc_read_int(&e.env, first, &code);
        if (e.env.fault_occurred)
            code = -1;
    }
    if (first)
        xmlrpc_DECREF(first);
    return code;
}

/* Why a body is refused before the XML parser sees it, or null when its
 * shape is fine. Looks at markup only: a document type declaration (XML-RPC
 * has none; it is how entity expansion starts), a NUL byte (UTF-16 or UTF-32
 * text, which would hide such a declaration from this scan) or elements
 * nested deeper than `maxDepth`, or more than kMaxElements elements. An
 * unterminated construct ends the scan and is left to the parser.
 * *elements is the number of elements seen; *faultCode is set for a
 * refusal. Can't fail. */
const char *refusedXmlShape(const char *p, apr_size_t n, int maxDepth, apr_size_t *elements, int *faultCode)
{
    const char *const end = p + n;
    int depth = 0;
    *elements = 0;
    auto startsWith = [&](const char *at, const char *text) {
        const size_t k = strlen(text);
        return static_cast<size_t>(end - at) >= k && memcmp(at, text, k) == 0;
    };
    auto skipPast = [&](const char *from, const char *text) -> const char * {
        const size_t k = strlen(text);
        for (const char *q = from; static_cast<size_t>(end - q) >= k; ++q)
            if (memcmp(q, text, k) == 0)
                return q + k;
        return nullptr;
    };
    if (memchr(p, '\0', n)) {
        *faultCode = XMLRPC_PARSE_ERROR;
        return "the request body contains a NUL byte";
    }
    for (const char *q = p; q < end;) {
        if (*q != '<') {
            ++q;
            continue;
        }
        if (startsWith(q, "<?"))
            q = skipPast(q + 2, "?>");
        else if (startsWith(q, "<!--"))
            q = skipPast(q + 4, "-->");
        else if (startsWith(q, "<![CDATA["))
            q = skipPast(q + 9, "]]>");
        else if (startsWith(q, "<!")) {
            *faultCode = XMLRPC_PARSE_ERROR;
            return "document type declarations are not accepted";
        } else if (startsWith(q, "</")) {
            --depth;
            q = skipPast(q + 2, ">");
        } else {
            /* A start tag: find its '>' outside quoted attribute values. */
            char quote = 0;
            const char *t = q + 1;
            for (; t < end; ++t) {
                if (quote) {
                    if (*t == quote)
                        quote = 0;
                } else if (*t == '"' || *t == '\'') {
                    quote = *t;
                } else if (*t == '>') {
                    break;
                }
            }
            if (t >= end)
                return nullptr;
            if (t[-1] != '/' && ++depth > maxDepth) {
                *faultCode = XMLRPC_LIMIT_EXCEEDED_ERROR;
                return "XML elements are nested too deeply";
            }
            if (++*elements > kMaxElements) {
                *faultCode = XMLRPC_LIMIT_EXCEEDED_ERROR;
                return "the request has too many XML elements";
            }
            q = t + 1;
        }
        if (!q)
            return nullptr;
    }
    return nullptr;
}

/* Sends `out` (an XML-RPC response or fault) as the text/xml answer and frees
 * it. A client that went away is noted by httpd itself. */
void sendXml(request_rec *r, xmlrpc_mem_block *out)
{
    const size_t outLen = XMLRPC_MEMBLOCK_SIZE(char, out);
    ap_set_content_type(r, "text/xml");
    ap_set_content_length(r, static_cast<apr_off_t>(outLen));
    const char *data = XMLRPC_MEMBLOCK_CONTENTS(char, out);
    for (size_t off = 0; off < outLen;) {   /* ap_rwrite takes an int length */
        const size_t n = outLen - off < (1u << 20) ? outLen - off : (1u << 20);
        if (ap_rwrite(data + off, static_cast<int>(n), r) < 0)
            break;
        off += n;
    }
    xmlrpc_mem_block_free(out);
}

/* Serialises the fault held in `fault` into a new block. Returns the block
 * (caller frees) or null when even that failed (reason in e). */
xmlrpc_mem_block *faultResponse(xmlrpc_env *e, const xmlrpc_env *fault)
{
    xmlrpc_mem_block *out = xmlrpc_mem_block_new(e, 0);
    if (e->fault_occurred)
        return nullptr;
    xmlrpc_serialize_fault(e, out, fault);
    if (e->fault_occurred) {
        xmlrpc_mem_block_free(out);
        return nullptr;
    }
    return out;
}

/* Parses the call, dispatches it to its row under the registry lock and
 * serialises the answer. Returns the response or fault response (caller
 * frees), or null with e holding why no response could be built; *status
 * becomes HTTP_INTERNAL_SERVER_ERROR when the registry lock failed and
 * HTTP_SERVICE_UNAVAILABLE when the work budget stayed full. */
xmlrpc_mem_block *processCall(request_rec *r, const char *body, apr_size_t len, xmlrpc_env *e,
                              int *status)
{
    XmlRpcEnv callFault;
    int code = 0;
    apr_size_t elements = 0;
    if (const char *why = refusedXmlShape(body, len, g_child.maxDepth, &elements, &code)) {
        ap_log_rerror(APLOG_MARK, APLOG_INFO, 0, r, "mod_quensc: request refused: %s", why);
        countRefused(why);
        xmlrpc_env_set_fault(&callFault.env, code, why);
        return faultResponse(e, &callFault.env);
    }
    if (!growBudgetShare(newBudgetShare(r->pool, &g_workBudget),
                         kWorkPerByte * len + kWorkPerElement * elements)) {
        ap_log_rerror(APLOG_MARK, APLOG_WARNING, 0, r,
                      "mod_quensc: no room to parse a request body of %" APR_SIZE_T_FMT " bytes within %d s",
                      len, kBudgetWaitSeconds);
        countRefused("no room to parse the body");
        *status = HTTP_SERVICE_UNAVAILABLE;
        return nullptr;
    }

    const char *methodName = nullptr;
    xmlrpc_value *params = nullptr;
    xmlrpc_parse_call(&callFault.env, body, len, &methodName, &params);
    if (callFault.env.fault_occurred)
        return faultResponse(e, &callFault.env);

    xmlrpc_value *result = nullptr;
    const apr_time_t started = apr_time_now();
    const auto found = g_child.methods->find(methodName);
    const bool isLogin = strcmp(methodName, "AuthenticateManager") == 0;
    const std::string address = r->useragent_ip ? r->useragent_ip : "";
    const std::string name = isLogin ? loginName(params) : std::string();
    if (found == g_child.methods->end()) {
        xmlrpc_env_set_fault_formatted(&callFault.env, XMLRPC_NO_SUCH_METHOD_ERROR,
                                       "Method '%s' not defined", methodName);
    } else {
        if (isLogin) {
            if (const int delay = loginDelayMs(address, name)) {
                countLoginDelay();
                apr_sleep(apr_time_from_msec(delay));
            }
        }
        if (!g_child.registryLock(g_child.server, 1)) {
            ap_log_rerror(APLOG_MARK, APLOG_ERR, 0, r, "mod_quensc: cannot take the registry lock");
            *status = HTTP_INTERNAL_SERVER_ERROR;
        } else {
            result = found->second->handler(&callFault.env, params, g_child.server);
            if (!g_child.registryLock(g_child.server, 0))
                ap_log_rerror(APLOG_MARK, APLOG_ERR, 0, r, "mod_quensc: cannot release the registry lock");
            if (!callFault.env.fault_occurred && !result)
                xmlrpc_env_set_fault_formatted(&callFault.env, XMLRPC_INTERNAL_ERROR,
                                               "Method '%s' returned no result", methodName);
            if (isLogin)
                noteLogin(address, name, resultCode(result) != 0);
        }
    }
    if (*status == OK)
        countCall(methodName, found != g_child.methods->end(),
                  callFault.env.fault_occurred ? std::string("fault") : std::to_string(resultCode(result)),
                  static_cast<double>(apr_time_now() - started) / APR_USEC_PER_SEC);
    free(const_cast<char *>(methodName));
    xmlrpc_DECREF(params);
    if (*status != OK)
        return nullptr;

    xmlrpc_mem_block *out = nullptr;
    if (callFault.env.fault_occurred) {
        if (result)
            xmlrpc_DECREF(result);
        return faultResponse(e, &callFault.env);
    }
    out = xmlrpc_mem_block_new(e, 0);
    if (!e->fault_occurred) {
        xmlrpc_serialize_response2(e, out, result, xmlrpc_dialect_i8);
        if (e->fault_occurred) {
            xmlrpc_mem_block_free(out);
            out = nullptr;
        }
    }
    xmlrpc_DECREF(result);
    return out;
}

int handleRequest(request_rec *r)
{
    if (!r->handler || strcmp(r->handler, kHandlerName) != 0)
        return DECLINED;

    if (r->method_number != M_POST) {
        ap_allow_methods(r, REPLACE_ALLOW, "POST", static_cast<const char *>(nullptr));
        return HTTP_METHOD_NOT_ALLOWED;
    }
    if (!g_child.server) {
        ap_log_rerror(APLOG_MARK, APLOG_DEBUG, 0, r, "mod_quensc: 503 because %s",
                      g_child.unusableReason ? g_child.unusableReason : "the module is not loaded");
        return HTTP_SERVICE_UNAVAILABLE;
    }

    const char *body;
    apr_size_t len;
    int status = readBody(r, bodyLimit(r), &body, &len);
    if (status != OK) {
        if (status == HTTP_REQUEST_ENTITY_TOO_LARGE)
            ap_log_rerror(APLOG_MARK, APLOG_INFO, 0, r,
                          "mod_quensc: request body larger than %" APR_SIZE_T_FMT " bytes refused",
                          bodyLimit(r));
        else if (status == HTTP_SERVICE_UNAVAILABLE)
            ap_log_rerror(APLOG_MARK, APLOG_WARNING, 0, r,
                          "mod_quensc: no room for a request body of %s bytes within %d s",
                          apr_table_get(r->headers_in, "Content-Length")
                              ? apr_table_get(r->headers_in, "Content-Length") : "unknown",
                          kBudgetWaitSeconds);
        return status;
    }

    XmlRpcEnv e;
    status = OK;
    xmlrpc_mem_block *out = processCall(r, body, len, &e.env, &status);
    if (!out) {
        if (status == HTTP_SERVICE_UNAVAILABLE)
            return status;
        if (status == OK)
            ap_log_rerror(APLOG_MARK, APLOG_ERR, 0, r, "mod_quensc: no XML-RPC response: %s",
                          e.env.fault_string ? e.env.fault_string : "(no reason)");
        g_child.postReq(g_child.server);
        return HTTP_INTERNAL_SERVER_ERROR;
    }
    sendXml(r, out);
    /* The client has its answer before the housekeeping starts. */
    ap_rflush(r);

    g_child.postReq(g_child.server);
    return OK;
}

/* Whether the client of r may read /healthz and /metrics: loopback clients
 * always, others only under QuenScStatusOpen On. */
bool statusReadable(request_rec *r)
{
    const QuenScDirectives *conf = static_cast<const QuenScDirectives *>(
        ap_get_module_config(r->server->module_config, &quensc_module));
    if (conf->statusOpen)
        return true;
    const char *ip = r->useragent_ip ? r->useragent_ip : "";
    return strncmp(ip, "127.", 4) == 0 || strcmp(ip, "::1") == 0 || strncmp(ip, "::ffff:127.", 11) == 0;
}

/* GET /healthz: 200 "ok" when the server module is initialised and its
 * database answers, else 503 with the reason, as plain text. */
int handleHealth(request_rec *r)
{
    const char *reason = nullptr;
    QuenScStatus st{};
    if (!g_child.server)
        reason = apr_psprintf(r->pool, "server module not initialised: %s",
                              g_child.unusableReason ? g_child.unusableReason : "not loaded");
    else if (!g_child.status)
        reason = "the server module reports no status";
    else {
        g_child.status(g_child.server, 1, &st);
        if (!st.databaseAnswers)
            reason = apr_pstrdup(r->pool, st.reason[0] ? st.reason : "the database does not answer");
    }
    ap_set_content_type(r, "text/plain; charset=utf-8");
    apr_table_setn(r->headers_out, "Cache-Control", "no-store");
    r->status = reason ? HTTP_SERVICE_UNAVAILABLE : HTTP_OK;
    ap_rprintf(r, "%s\n", reason ? reason : "ok");
    return OK;
}

/* A label value of the text format: backslash, double quote and line break
 * escaped. */
std::string labelValue(const std::string &text)
{
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

/* GET /metrics: this child's counters in the Prometheus text format. */
int handleMetrics(request_rec *r)
{
    QuenScStatus st{};
    if (g_child.server && g_child.status)
        g_child.status(g_child.server, 0, &st);
    std::string out;
    char line[512];
    {
        std::lock_guard<std::mutex> hold(g_metrics.mutex);
        out += "# HELP quensc_requests_total XML-RPC calls answered, by method and result code.\n"
               "# TYPE quensc_requests_total counter\n";
        for (const auto &[key, count] : g_metrics.calls) {
            snprintf(line, sizeof line, "quensc_requests_total{method=\"%s\",code=\"%s\"} %llu\n",
                     labelValue(key.first).c_str(), labelValue(key.second).c_str(), count);
            out += line;
        }
        out += "# HELP quensc_request_duration_seconds Time from parsed call to result.\n"
               "# TYPE quensc_request_duration_seconds histogram\n";
        unsigned long long cumulative = 0;
        for (int i = 0; i <= kBucketCount; i++) {
            cumulative += g_metrics.buckets[i];
            if (i < kBucketCount)
                snprintf(line, sizeof line, "quensc_request_duration_seconds_bucket{le=\"%g\"} %llu\n",
                         kLatencyBuckets[i], cumulative);
            else
                snprintf(line, sizeof line, "quensc_request_duration_seconds_bucket{le=\"+Inf\"} %llu\n", cumulative);
            out += line;
        }
        snprintf(line, sizeof line, "quensc_request_duration_seconds_sum %.6f\nquensc_request_duration_seconds_count %llu\n",
                 g_metrics.secondsSum, cumulative);
        out += line;
        out += "# HELP quensc_refused_requests_total Requests answered before dispatch, by reason.\n"
               "# TYPE quensc_refused_requests_total counter\n";
        for (const auto &[reason, count] : g_metrics.refused) {
            snprintf(line, sizeof line, "quensc_refused_requests_total{reason=\"%s\"} %llu\n",
                     labelValue(reason).c_str(), count);
            out += line;
        }
        snprintf(line, sizeof line,
                 "# HELP quensc_login_delays_total Manager logins delayed after repeated failures.\n"
                 "# TYPE quensc_login_delays_total counter\nquensc_login_delays_total %llu\n",
                 g_metrics.loginDelays);
        out += line;
    }
    snprintf(line, sizeof line,
             "# HELP quensc_database_errors_total Statements the database refused.\n"
             "# TYPE quensc_database_errors_total counter\nquensc_database_errors_total %llu\n"
             "# HELP quensc_session_reaps_total Housekeeping runs that deleted timed-out sessions.\n"
             "# TYPE quensc_session_reaps_total counter\nquensc_session_reaps_total %llu\n"
             "# HELP quensc_event_purges_total Housekeeping runs that purged old events.\n"
             "# TYPE quensc_event_purges_total counter\nquensc_event_purges_total %llu\n",
             st.databaseErrors, st.sessionReaps, st.eventPurges);
    out += line;
    ap_set_content_type(r, "text/plain; version=0.0.4; charset=utf-8");
    apr_table_setn(r->headers_out, "Cache-Control", "no-store");
    ap_rwrite(out.data(), static_cast<int>(out.size()), r);
    return OK;
}

/* The two status handlers: GET (and HEAD) only, readable as statusReadable
 * says. */
int handleStatus(request_rec *r, int (*handler)(request_rec *))
{
    if (r->method_number != M_GET) {
        ap_allow_methods(r, REPLACE_ALLOW, "GET", static_cast<const char *>(nullptr));
        return HTTP_METHOD_NOT_ALLOWED;
    }
    if (!statusReadable(r))
        return HTTP_FORBIDDEN;
    return handler(r);
}

extern "C" int handlerHook(request_rec *r)
{
    if (r->handler && strcmp(r->handler, kHealthHandlerName) == 0)
        return handleStatus(r, handleHealth);
    if (r->handler && strcmp(r->handler, kMetricsHandlerName) == 0)
        return handleStatus(r, handleMetrics);
    return handleRequest(r);
}

void registerHooks(apr_pool_t *)
{
    ap_hook_child_init(childInitHook, nullptr, nullptr, APR_HOOK_MIDDLE);
    ap_hook_handler(handlerHook, nullptr, nullptr, APR_HOOK_MIDDLE);
}

/* httpd's directive table stores every handler as one untyped function
 * pointer and calls it with the arguments that its TAKE1 kind promises; the
 * detour through void (*)() is the cast GCC accepts for that. */
cmd_func asCmdFunc(const char *(*fn)(cmd_parms *, void *, const char *))
{
    return reinterpret_cast<cmd_func>(reinterpret_cast<void (*)()>(fn));
}

cmd_func asFlagFunc(const char *(*fn)(cmd_parms *, void *, int))
{
    return reinterpret_cast<cmd_func>(reinterpret_cast<void (*)()>(fn));
}

/* QuenScStatusOpen On|Off (main server only). Returns an error text or null. */
const char *setStatusOpen(cmd_parms *cmd, void *, int on)
{
    QuenScDirectives *conf = static_cast<QuenScDirectives *>(
        ap_get_module_config(cmd->server->module_config, &quensc_module));
    conf->statusOpen = on;
    return nullptr;
}

const command_rec kCommands[] = {
    AP_INIT_TAKE1("QuenScModule", asCmdFunc(setPathDirective), nullptr, RSRC_CONF,
                  "path of the server module (libquensc.so) to load in every child process"),
    AP_INIT_TAKE1("QuenScConfigFile", asCmdFunc(setPathDirective), nullptr, RSRC_CONF,
                  "path of the configuration file (quensc.conf) handed to the module's init()"),
    AP_INIT_FLAG("QuenScStatusOpen", asFlagFunc(setStatusOpen), nullptr, RSRC_CONF,
                 "On: /healthz and /metrics answer any client, not only loopback ones"),
    {nullptr, nullptr, nullptr, 0, RAW_ARGS, nullptr},
};

} // namespace

/* The one symbol httpd looks up (LoadModule quensc_module ...); everything
 * else of this object is hidden. */
extern "C" {
__attribute__((visibility("default"))) module AP_MODULE_DECLARE_DATA quensc_module = {
    STANDARD20_MODULE_STUFF,
    nullptr,              /* per-directory config creator */
    nullptr,              /* per-directory config merger */
    createServerConfig,   /* per-server config creator */
    nullptr,              /* per-server config merger: vhosts have no values of their own */
    kCommands,
    registerHooks,
    AP_MODULE_FLAG_NONE,
};
}
