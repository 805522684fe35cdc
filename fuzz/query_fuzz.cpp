/* Fuzz target: the instance query struct reader on any argument tree. */
#include "fuzz_support.h"

#include "frame/marshal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QuenScHostServer *host = fuzz::SilentHost();
    fuzz::Input in(data, size);
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    xmlrpc_value *params = xmlrpc_array_new(&env);
    xmlrpc_value *query = fuzz::Value(&env, in, 4);
    if (query) {
        xmlrpc_array_append_item(&env, params, query);
        xmlrpc_DECREF(query);
    }
    apr_pool_t *pool = nullptr;
    apr_pool_create(&pool, host->process->pool);
    QuenScInstanceQuery out{};
    if (!env.fault_occurred)
        QuenScReadInstanceQuery(&env, params, 0, pool, &out);
    apr_pool_destroy(pool);
    xmlrpc_DECREF(params);
    xmlrpc_env_clean(&env);
    return 0;
}
