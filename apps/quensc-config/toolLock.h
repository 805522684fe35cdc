/* The system-wide lock of the configuration tool: an exclusive flock on
 * DIR/tmp/quensc-config.lock. It serialises the tool's start-up and every
 * locked CGI call (session files are shared by all runs). A holder that
 * dies releases it (the "abandoned" case, taken like a free lock).
 *
 * The lock counts: taking it again while held only deepens the hold, so
 * locked calls nest inside the start-up hold. Single-threaded. */
#ifndef QUENSC_CONFIG_TOOLLOCK_H
#define QUENSC_CONFIG_TOOLLOCK_H

#include <string>

/* Opens (creating, mode 0600) the lock file. False when it cannot be
 * opened; the tool then replies QCFG_ERR_LOCK_CREATE (701). */
bool QcfgLock_Create(const std::string &path);

/* Called with QCFG_ERR_LOCK_TIMEOUT (702) or QCFG_ERR_LOCK_FAILED (703)
 * after every failed wait; the tool writes it to the reply. */
void QcfgLock_SetFailedWaitHook(void (*hook)(int code));

/* Takes the lock: up to five waits of one second each. True when held
 * (depth + 1); false after five failed waits, or when no lock file is open
 * (then without waiting and without the hook). */
bool QcfgLock_Acquire();

/* Gives one level of the hold back; the last one unlocks. */
void QcfgLock_Release();

/* Unlocks whatever is held and closes the lock file. */
void QcfgLock_Close();

/* Whether this process holds the lock now. */
bool QcfgLock_Held();

/* One locked CGI call: takes the lock for its scope. When the lock cannot be
 * had it logs "\tLock: <name>" as a warning and ok() is false: the caller
 * skips the call and answers nothing (no value, 0). */
class QcfgLockedCall {
public:
    explicit QcfgLockedCall(const char *name);
    ~QcfgLockedCall();
    QcfgLockedCall(const QcfgLockedCall &) = delete;
    QcfgLockedCall &operator=(const QcfgLockedCall &) = delete;
    bool ok() const { return held_; }

private:
    bool held_;
};

#endif
