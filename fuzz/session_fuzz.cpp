/* Fuzz target: a session row holding any bytes. The input is stored as the
 * session blob (Base64, as the frame stores it) or, now and then, as raw
 * text, and methods that look a session up are called with its key. */
#include "fuzz_support.h"

#include "policydb/dbcrypto.h"
#include "policydb/longField.h"

#include <ctime>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QuenScServer *server = fuzz::StartedServer();
    if (size == 0)
        return 0;
    DbConnection *conn = Db_Open();
    if (!conn)
        abort();
    char *key = nullptr;
    const int64_t expires = time(nullptr) + 3600;
    bool stored;
    if (data[0] & 1) {
        char *text = PolDb_Base64Encode(data + 1, size - 1);
        stored = PolDb_LongFieldAdd(conn, &key, text, &expires);
        free(text);
    } else {
        const std::string raw(reinterpret_cast<const char *>(data + 1), size - 1);
        stored = PolDb_LongFieldAdd(conn, &key, raw.c_str(), &expires);
    }
    stored = stored && Db_Commit(conn);
    Db_Close(conn);
    if (!stored) {
        free(key);
        return 0;
    }
    for (const char *name : {"Echo", "InstanceInfo", "QuenQuery", "SessionClose"}) {
        for (const QuenScMethod *row = methods; row->name; ++row) {
            if (strcmp(row->name, name) != 0)
                continue;
            xmlrpc_env env;
            xmlrpc_env_init(&env);
            xmlrpc_value *params = xmlrpc_build_value(&env, "(ss)", key, "x");
            fuzz::CallRow(server, *row, params);
            xmlrpc_DECREF(params);
            xmlrpc_env_clean(&env);
        }
    }
    free(key);
    return 0;
}
