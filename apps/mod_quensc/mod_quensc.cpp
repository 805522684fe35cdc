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
 * host record built on the child's pool, calls its init() and registers its
 * method table with an xmlrpc-c registry. The parent never loads it, so a
 * graceful restart (SIGUSR1) runs init() again in the new children and they
 * read a newly committed configuration file.
 *
 * Requests: POST only (405 otherwise). The body is read up to the smaller of
 * LimitRequestBody and kBodyCeiling (413 beyond); the registry lock is held
 * around the dispatch exactly as the module asks; the answer is text/xml;
 * postReqHandler() runs after the answer has been flushed to the client.
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

#include <xmlrpc-c/base.h>
#include <xmlrpc-c/server.h>

#include "host.h"

#include <dlfcn.h>
#include <string.h>
#include <unistd.h>

extern "C" module AP_MODULE_DECLARE_DATA quensc_module;

#ifdef APLOG_USE_MODULE
APLOG_USE_MODULE(quensc);
#endif

namespace {

/* The handler name that <Location /RPC2> sets with SetHandler. */
const char kHandlerName[] = "quensc-xmlrpc";

/* The most this module ever buffers for one request, whatever
 * LimitRequestBody says (0 there means "unlimited" and the built-in default is
 * 1 GiB). xmlrpc-c's own XML size limit is raised to this value, so every body
 * that the HTTP side accepts is also accepted by the parser and an oversized
 * body always ends in 413, never in a parser fault. */
const apr_size_t kBodyCeiling = 64u * 1024 * 1024;

/* Directive values of one server record. */
struct QuenScDirectives {
    const char *modulePath;   /* QuenScModule, resolved against ServerRoot */
    const char *configPath;   /* QuenScConfigFile, likewise */
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
    QuenScRegistryLockFn registryLock;
    xmlrpc_registry *registry;
    const char *unusableReason;     /* why requests get 503; null when usable */
};

ChildState g_child;

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

/* Pool cleanup of the child pool: frees the registry. The module itself is
 * never unloaded, because objects it created in the child pool may still run
 * cleanups of their own after this one. */
extern "C" apr_status_t freeRegistry(void *data)
{
    xmlrpc_registry_free(static_cast<xmlrpc_registry *>(data));
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

    xmlrpc_registry *registry = xmlrpc_registry_new(&e.env);
    if (e.env.fault_occurred || !registry) {
        childUnusable(s, APLOG_CRIT, apr_psprintf(pchild, "xmlrpc_registry_new failed: %s",
                                                  e.env.fault_string ? e.env.fault_string : "?"));
        return;
    }
    apr_pool_cleanup_register(pchild, registry, freeRegistry, apr_pool_cleanup_null);
    xmlrpc_registry_disable_introspection(registry);

    int count = 0;
    for (const QuenScMethod *row = table; row->name || row->handler; ++row) {
        if (!row->name || !row->handler) {
            childUnusable(s, APLOG_CRIT, apr_psprintf(pchild,
                "row %d of the method table of %s has a name or a handler but not both",
                count, conf->modulePath));
            return;
        }
        /* xmlrpc-c refuses an empty signature text; "?" means "no signature
         * information", which is what an empty one says. */
        const char *signature = (row->signature && *row->signature) ? row->signature : "?";
        xmlrpc_registry_add_method_w_doc(&e.env, registry, nullptr, row->name, row->handler,
                                         server, signature, row->help ? row->help : "");
        if (e.env.fault_occurred) {
            childUnusable(s, APLOG_CRIT, apr_psprintf(pchild, "cannot register method %s: %s",
                                                      row->name, e.env.fault_string));
            return;
        }
        ++count;
    }

    g_child.registry = registry;
    g_child.postReq = postReq;
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
 * accepted. Returns OK with body and len set (body is not terminated and may be
 * empty), HTTP_REQUEST_ENTITY_TOO_LARGE beyond the limit, or the HTTP status
 * (or AP_FILTER_ERROR) for a failed read. */
int readBody(request_rec *r, apr_size_t limit, const char **body, apr_size_t *len)
{
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

    apr_size_t capacity = declared ? static_cast<apr_size_t>(declaredLen) : 16384;
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
        return status;
    }

    if (!g_child.registryLock(g_child.server, 1)) {
        ap_log_rerror(APLOG_MARK, APLOG_ERR, 0, r, "mod_quensc: cannot take the registry lock");
        return HTTP_INTERNAL_SERVER_ERROR;
    }
    XmlRpcEnv e;
    /* Unparsable XML and unknown method names come back as fault responses
     * in `out`; e holds a fault only when no response could be built. */
    xmlrpc_mem_block *out = xmlrpc_registry_process_call(&e.env, g_child.registry, nullptr, body, len);
    if (!g_child.registryLock(g_child.server, 0))
        ap_log_rerror(APLOG_MARK, APLOG_ERR, 0, r, "mod_quensc: cannot release the registry lock");

    if (e.env.fault_occurred || !out) {
        ap_log_rerror(APLOG_MARK, APLOG_ERR, 0, r, "mod_quensc: no XML-RPC response: %s",
                      e.env.fault_string ? e.env.fault_string : "(no reason)");
        if (out)
            xmlrpc_mem_block_free(out);
        g_child.postReq(g_child.server);
        return HTTP_INTERNAL_SERVER_ERROR;
    }

    const size_t outLen = XMLRPC_MEMBLOCK_SIZE(char, out);
    ap_set_content_type(r, "text/xml");
    ap_set_content_length(r, static_cast<apr_off_t>(outLen));
    const char *data = XMLRPC_MEMBLOCK_CONTENTS(char, out);
    for (size_t off = 0; off < outLen;) {   /* ap_rwrite takes an int length */
        const size_t n = outLen - off < (1u << 20) ? outLen - off : (1u << 20);
        if (ap_rwrite(data + off, static_cast<int>(n), r) < 0)
            break;   /* the client went away; httpd notes the aborted connection */
        off += n;
    }
    xmlrpc_mem_block_free(out);
    /* The client has its answer before the housekeeping starts. */
    ap_rflush(r);

    g_child.postReq(g_child.server);
    return OK;
}

extern "C" int handlerHook(request_rec *r)
{
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

const command_rec kCommands[] = {
    AP_INIT_TAKE1("QuenScModule", asCmdFunc(setPathDirective), nullptr, RSRC_CONF,
                  "path of the server module (libquensc.so) to load in every child process"),
    AP_INIT_TAKE1("QuenScConfigFile", asCmdFunc(setPathDirective), nullptr, RSRC_CONF,
                  "path of the configuration file (quensc.conf) handed to the module's init()"),
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
