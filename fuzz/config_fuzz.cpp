/* Fuzz target: the configuration reader on any file content. */
#include "fuzz_support.h"

#include "frame/config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static std::string path;
    QuenScHostServer *host = fuzz::SilentHost();
    if (path.empty()) {
        char tmpl[] = "/tmp/quensc-fuzz-conf-XXXXXX";
        const int fd = mkstemp(tmpl);
        if (fd < 0)
            abort();
        close(fd);
        path = tmpl;
        atexit([] { unlink(path.c_str()); });
    }
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        abort();
    if (size)
        fwrite(data, 1, size, f);
    fclose(f);
    apr_pool_t *pool = nullptr;
    apr_pool_create(&pool, host->process->pool);
    QuenScConfig *cfg = QuenScConfigDefaults(pool, path.c_str());
    QuenScConfigRead(pool, cfg);
    apr_pool_destroy(pool);
    return 0;
}
