/* Fuzz target: any row of the method table called in-process with an
 * argument tree made from the input, against a started server module. The
 * first argument is a real session (anonymous or administrator) now and
 * then, so the work behind the session check is reached too. */
#include "fuzz_support.h"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QuenScServer *server = fuzz::StartedServer();
    static std::vector<const QuenScMethod *> rows;
    static std::string anonymous, admin;
    if (rows.empty()) {
        for (const QuenScMethod *row = methods; row->name; ++row)
            rows.push_back(row);
        /* Two sessions to hand out: opened and logged in once. */
        for (std::string *id : {&anonymous, &admin}) {
            xmlrpc_env env;
            xmlrpc_env_init(&env);
            xmlrpc_value *params = xmlrpc_build_value(&env, "(i)", 10);
            QuenSc_XmlRpcRegistryLock(server, 1);
            xmlrpc_value *answer = methods[0].handler(&env, params, server);
            QuenSc_XmlRpcRegistryLock(server, 0);
            xmlrpc_int code = 0;
            const char *sid = nullptr;
            xmlrpc_decompose_value(&env, answer, "(is*)", &code, &sid);
            if (env.fault_occurred || code != 0 || !sid)
                abort();
            *id = sid;
            free(const_cast<char *>(sid));
            xmlrpc_DECREF(answer);
            xmlrpc_DECREF(params);
            xmlrpc_env_clean(&env);
        }
        xmlrpc_env env;
        xmlrpc_env_init(&env);
        xmlrpc_value *login =
            xmlrpc_build_value(&env, "(s{s:i,s:{s:s}})", admin.c_str(), "type", 2, "pwd", "pwd", "admin");
        for (const QuenScMethod *row : rows)
            if (!strcmp(row->name, "AuthenticateManager"))
                fuzz::CallRow(server, *row, login);
        xmlrpc_DECREF(login);
        xmlrpc_env_clean(&env);
    }

    fuzz::Input in(data, size);
    const QuenScMethod &row = *rows[in.Byte() % rows.size()];
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    xmlrpc_value *params = xmlrpc_array_new(&env);
    const uint8_t first = in.Byte();
    if (first % 3 != 2) {
        xmlrpc_value *sid = xmlrpc_string_new(&env, (first % 3 == 0 ? anonymous : admin).c_str());
        xmlrpc_array_append_item(&env, params, sid);
        xmlrpc_DECREF(sid);
    }
    for (int n = in.Byte() % 7; n > 0 && !env.fault_occurred; n--) {
        xmlrpc_value *arg = fuzz::Value(&env, in, 4);
        if (arg) {
            xmlrpc_array_append_item(&env, params, arg);
            xmlrpc_DECREF(arg);
        }
    }
    if (!env.fault_occurred && strcmp(row.name, "SessionClose") != 0)
        fuzz::CallRow(server, row, params);
    xmlrpc_DECREF(params);
    xmlrpc_env_clean(&env);
    return 0;
}
