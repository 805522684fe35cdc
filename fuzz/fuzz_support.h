/* What the fuzz targets share: a host record that discards every log line,
 * a reader of the fuzz input as a stream of choices, XML-RPC value trees
 * built from those choices, and a scratch installation (a fresh SQLite
 * schema and a configuration) with the server module started on it. */
#ifndef QUENSC_FUZZ_SUPPORT_H
#define QUENSC_FUZZ_SUPPORT_H

#include "frame/log.h"
#include "frame/managerAuth.h"
#include "host.h"
#include "policydb/db.h"

#include <apr_general.h>
#include <apr_pools.h>
#include <xmlrpc-c/base.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

extern "C" QuenScMethod methods[];
extern "C" QuenScServer *init(void *, const char *, QuenScHostServer *);
extern "C" int QuenSc_XmlRpcRegistryLock(QuenScServer *, int);

namespace fuzz {

/* A host whose log keeps nothing (a fuzz run makes millions of lines) and
 * whose fatal call aborts, so the fuzzer reports it. */
inline QuenScHostServer *SilentHost()
{
    static QuenScHostProcess process;
    static QuenScHostServer host;
    if (!process.pool) {
        apr_initialize();
        apr_pool_create(&process.pool, nullptr);
        host.process = &process;
        /* QUENSC_FUZZ_LOG=1 shows the module's lines, to see why start-up failed. */
        host.log = [](void *, const char *, int, int, const char *text) {
            static const bool show = getenv("QUENSC_FUZZ_LOG") != nullptr;
            if (show)
                fprintf(stderr, "%s\n", text);
        };
        host.fatal = [](const char *expr, const char *file, int line) {
            fprintf(stderr, "fatal: %s at %s:%d\n", expr, file, line);
            abort();
        };
        QuenScSetLogHost(&host);
        PolDb_SetLogFunctions([](const char *) {}, [](const char *) {}, [](const char *text) {
            fprintf(stderr, "panic: %s\n", text);
            abort();
        });
    }
    return &host;
}

/* The fuzz input read front to back; past its end every read gives 0 or "". */
class Input {
public:
    Input(const uint8_t *data, size_t size) : p_(data), end_(data + size) {}
    bool Empty() const { return p_ >= end_; }
    uint8_t Byte() { return p_ < end_ ? *p_++ : 0; }
    int Int()
    {
        uint32_t v = 0;
        for (int i = 0; i < 4; i++)
            v = v << 8 | Byte();
        return static_cast<int>(v);
    }
    /* A text of up to `max` bytes, its length from the input; no NUL inside. */
    std::string Text(size_t max = 300)
    {
        size_t n = Byte();
        if (n == 255)
            n = Byte() * 64;   /* now and then a long one */
        n = n > max ? max : n;
        std::string out;
        while (n-- && p_ < end_)
            out += static_cast<char>(*p_ ? *p_ : ' '), ++p_;
        return out;
    }

private:
    const uint8_t *p_;
    const uint8_t *end_;
};

/* Member names the readers look for, so that trees hit them often. */
inline const char *MemberName(Input &in)
{
    static const char *const names[] = {
        "type", "ldap", "pwd", "token", "name", "domain", "uuid", "quen_uuid", "key", "disabled", "preview",
        "useValidDates", "validDateStart", "validDateEnd", "instType", "authType", "expType", "expValue_1",
        "expValue_2", "sessionLifetime", "copyPolicy", "op", "value", "values", "packageUID", "quenUID",
        "creatorIdName", "guestMacAddress", "hostName", "custom1", "start", "end", "ip", "mac", "status",
        "limit", "offset", "sort", "x"};
    return names[in.Byte() % (sizeof names / sizeof names[0])];
}

inline xmlrpc_value *ValueOrNull(xmlrpc_env *env, Input &in, int depth);

/* An XML-RPC value built from the input, at most `depth` levels deep; a text
 * the library refuses (not UTF-8) becomes the integer 0. The caller owns it.
 * Never null. */
inline xmlrpc_value *Value(xmlrpc_env *, Input &in, int depth)
{
    xmlrpc_env local;
    xmlrpc_env_init(&local);
    xmlrpc_value *v = ValueOrNull(&local, in, depth);
    if (local.fault_occurred || !v) {
        xmlrpc_env_clean(&local);
        xmlrpc_env_init(&local);
        v = xmlrpc_int_new(&local, 0);
    }
    xmlrpc_env_clean(&local);
    return v;
}

inline xmlrpc_value *ValueOrNull(xmlrpc_env *env, Input &in, int depth)
{
    switch (in.Byte() % (depth > 0 ? 8 : 5)) {
    case 0: return xmlrpc_int_new(env, in.Int());
    case 1: {
        xmlrpc_value *v = xmlrpc_string_new(env, in.Text().c_str());
        return env->fault_occurred ? nullptr : v;
    }
    case 2: {
        std::string bytes = in.Text(16);
        return xmlrpc_base64_new(env, bytes.size(), reinterpret_cast<const unsigned char *>(bytes.data()));
    }
    case 3: return xmlrpc_bool_new(env, in.Byte() & 1);
    case 4: return xmlrpc_double_new(env, in.Int() / 7.0);
    case 5:
    case 6: {
        xmlrpc_value *st = xmlrpc_struct_new(env);
        for (int n = in.Byte() % 6; n > 0 && !env->fault_occurred; n--) {
            xmlrpc_value *member = Value(env, in, depth - 1);
            xmlrpc_struct_set_value(env, st, MemberName(in), member);
            xmlrpc_DECREF(member);
        }
        return st;
    }
    default: {
        xmlrpc_value *array = xmlrpc_array_new(env);
        for (int n = in.Byte() % 6; n > 0 && !env->fault_occurred; n--) {
            xmlrpc_value *item = Value(env, in, depth - 1);
            xmlrpc_array_append_item(env, array, item);
            xmlrpc_DECREF(item);
        }
        return array;
    }
    }
}

/* A scratch installation under /tmp with the server module started on it,
 * made once per process. Returns the init() result; aborts when start-up
 * fails (a fuzz run without a server would prove nothing). */
inline QuenScServer *StartedServer(std::string *dirOut = nullptr)
{
    static QuenScServer *server = nullptr;
    static std::string dir;
    if (!server) {
        QuenScHostServer *host = SilentHost();
        char tmpl[] = "/tmp/quensc-fuzz-XXXXXX";
        if (!mkdtemp(tmpl))
            abort();
        dir = tmpl;
        /* The scratch installation goes with the process (libFuzzer ends a
         * timed run through exit()). */
        atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(dir, ignored);
        });
        for (const char *sub : {"/conf", "/db", "/ssl"})
            mkdir((dir + sub).c_str(), 0755);
        if (!PolDb_SetupInitSchema(DB_STORE_SQLITE, (dir + "/db/quensc.bin").c_str(), nullptr, nullptr)) {
            fprintf(stderr, "cannot create the schema: %s\n", Db_ModuleStatusText());
            abort();
        }
        for (const char *file : {"/ssl/server.crt", "/ssl/chain.crt"}) {
            FILE *cert = fopen((dir + file).c_str(), "w");
            if (!cert)
                abort();
            fputs("certificate text\n", cert);
            fclose(cert);
        }
        const std::string conf =
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<quensc_configuration>\n<global>"
            "<configuration_version>3</configuration_version><db_type>sqlite</db_type><use_ldap>0</use_ldap>"
            "</global>\n<sqlite><db_file>../db/quensc.bin</db_file></sqlite>\n"
            "<administrators><password>" + std::string(QuenScPasswordHash(host->process->pool, nullptr, "admin")) +
            "</password></administrators>\n<logging><authentication>4</authentication><quen_admin>4</quen_admin>"
            "<package_admin>4</package_admin><instance_admin>4</instance_admin><policy_admin>4</policy_admin>"
            "</logging>\n</quensc_configuration>\n";
        FILE *f = fopen((dir + "/conf/quensc.conf").c_str(), "w");
        if (!f)
            abort();
        fputs(conf.c_str(), f);
        fclose(f);
        server = init(nullptr, (dir + "/conf/quensc.conf").c_str(), host);
        if (!server) {
            fprintf(stderr, "init() failed on %s (QUENSC_FUZZ_LOG=1 shows why)\n", dir.c_str());
            abort();
        }
        /* The scratch folder goes when the process ends. */
        atexit([] {
            if (std::system(("rm -rf '" + dir + "'").c_str()) != 0)
                fprintf(stderr, "could not remove %s\n", dir.c_str());
        });
    }
    if (dirOut)
        *dirOut = dir;
    return server;
}

/* Calls one row of the method table as the host does (registry lock held
 * around the call) and drops the result. */
inline void CallRow(QuenScServer *server, const QuenScMethod &row, xmlrpc_value *params)
{
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    QuenSc_XmlRpcRegistryLock(server, 1);
    xmlrpc_value *result = row.handler(&env, params, server);
    QuenSc_XmlRpcRegistryLock(server, 0);
    if (result)
        xmlrpc_DECREF(result);
    xmlrpc_env_clean(&env);
}

} // namespace fuzz

#endif
