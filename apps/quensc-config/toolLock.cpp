/* The tool's system-wide lock over flock (toolLock.h). */
#include "toolLock.h"

#include "qcfgCodes.h"
#include "toolLog.h"

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

int g_fd = -1;
int g_depth = 0;
void (*g_hook)(int) = nullptr;

const int kWaits = 5;
const long kWaitMs = 1000;
const long kPollMs = 10;

int64_t NowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

/* One wait of up to kWaitMs: 0 when taken, else the error code. */
int WaitOnce()
{
    const int64_t end = NowMs() + kWaitMs;
    for (;;) {
        if (flock(g_fd, LOCK_EX | LOCK_NB) == 0)
            return QCFG_OK;
        if (errno != EWOULDBLOCK && errno != EINTR)
            return QCFG_ERR_LOCK_FAILED;
        if (NowMs() >= end)
            return QCFG_ERR_LOCK_TIMEOUT;
        struct timespec pause = {0, kPollMs * 1000000L};
        nanosleep(&pause, nullptr);
    }
}

} // namespace

bool QcfgLock_Create(const std::string &path)
{
    QcfgLock_Close();
    g_fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    return g_fd >= 0;
}

void QcfgLock_SetFailedWaitHook(void (*hook)(int code)) { g_hook = hook; }

bool QcfgLock_Acquire()
{
    if (g_fd < 0)
        return false;
    if (g_depth > 0) {
        ++g_depth;
        return true;
    }
    for (int i = 0; i < kWaits; ++i) {
        int code = WaitOnce();
        if (code == QCFG_OK) {
            g_depth = 1;
            return true;
        }
        if (g_hook)
            g_hook(code);
    }
    return false;
}

void QcfgLock_Release()
{
    if (g_depth <= 0)
        return;
    if (--g_depth == 0)
        flock(g_fd, LOCK_UN);
}

void QcfgLock_Close()
{
    if (g_fd >= 0) {
        if (g_depth > 0)
            flock(g_fd, LOCK_UN);
        close(g_fd);
    }
    g_fd = -1;
    g_depth = 0;
}

bool QcfgLock_Held() { return g_depth > 0; }

QcfgLockedCall::QcfgLockedCall(const char *name) : held_(QcfgLock_Acquire())
{
    if (!held_)
        QcfgLogWarning(1, "\tLock: %s", name);
}

QcfgLockedCall::~QcfgLockedCall()
{
    if (held_)
        QcfgLock_Release();
}
