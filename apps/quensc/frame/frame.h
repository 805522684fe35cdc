/* The request frame that every XML-RPC method runs in: context, session
 * lookup, argument reading, security check, the method's work, session
 * store, commit, audit event and result array. A method supplies only its
 * description and two functions. */
#ifndef QUENSC_FRAME_H
#define QUENSC_FRAME_H

#include "frame/codes.h"
#include "frame/marshal.h"
#include "frame/session.h"

#include <cstddef>

struct QuenScMethodDef;

/* One call of a method, as its read and work functions see it. */
struct QuenScCall {
    const QuenScMethodDef *def;
    i_ctx *ctx;
    xmlrpc_env *env;
    xmlrpc_value *params;
    QuenScSession *session;  /* the caller's session; null for SessionOpen/Close */
    xmlrpc_value *values;    /* what follows the result code in the answer */
    bool valuesOnError;      /* send values also for a non-zero code */
    void *args;              /* the method's own argument record, zeroed in the
                                request pool; null for a method without one */
};

enum {
    QUENSC_FRAME_NO_SESSION = 1,  /* argument 0 is not a session to look up */
    QUENSC_FRAME_NO_STORE = 2,    /* the session is not stored back */
    QUENSC_FRAME_NO_EVENT = 4,    /* no audit event is recorded */
    QUENSC_FRAME_QUIET_READ = 8,  /* no "Error reading rpc msg" line */
    /* The method writes nothing: its transaction is read-only (no database
     * lock; see Db_SetReadOnly), and the session write-back and the audit
     * event follow in write transactions of their own after its commit.
     * A write it attempts all the same is refused and answered
     * QUENSC_INTERNAL. When in doubt a method is a writer. */
    QUENSC_FRAME_READ_ONLY = 16,
};

struct QuenScMethodDef {
    const char *name;
    int accessMask;  /* QUENSC_ACCESS_* bits: who may call it */
    int eventType;   /* QUENSC_EVT_*: the audit event it records */
    int flags;       /* QUENSC_FRAME_* bits */
    /* sizeof the method's argument record (0: none); the frame hands read
     * and work a zeroed one in call->args. */
    size_t argsSize;
    /* Reads the arguments after the session id into call->args; QUENSC_OK,
     * or QUENSC_INTERNAL with a fault left in call->env (the call then ends
     * with that code before the security check). The marshal readers do
     * nothing while a fault is pending, so a read function reads one
     * argument per line and ends with QuenScReadStatus(call). Null when
     * there are none. */
    int (*read)(QuenScCall *call);
    /* Does the work; returns the result code (QUENSC_OK ...) and appends the
     * values that follow it to call->values. */
    int (*work)(QuenScCall *call);
};

/* The call's argument record as the method's own type T (the type whose
 * size the method's row carries). This function can't fail. */
template <class T>
T *QuenScArgs(QuenScCall *call)
{
    return static_cast<T *>(call->args);
}

/* What the reading so far amounts to: QUENSC_OK, or QUENSC_INTERNAL when a
 * fault is pending in call->env (an argument could not be read). This
 * function can't fail. */
inline int QuenScReadStatus(const QuenScCall *call)
{
    return call->env->fault_occurred ? QUENSC_INTERNAL : QUENSC_OK;
}

/* Runs one call of def through the frame; the handler of every methods row.
 * Returns the result array (owned by the caller): the code first, then the
 * work's values when the code is QUENSC_OK (or valuesOnError is set). The
 * code is QUENSC_INTERNAL when no request context could be made, the
 * registry lock could not be released, an argument could not be read, the
 * commit failed, a writer's successful work was rolled back by its failed
 * session store, or a read-only request attempted a write;
 * QUENSC_INVALID_SESSION for an unknown session id;
 * QUENSC_INSUFFICIENT_PRIVILEGES when the security check refuses. Null only
 * when the result array itself cannot be created. */
xmlrpc_value *QuenScRunFrame(const QuenScMethodDef *def, xmlrpc_env *env, xmlrpc_value *params, void *server);

/* Stores a text (copied into the request pool; null clears the slot) as
 * audit parameter index; an index outside 0 .. QUENSC_EVENT_PARAMS - 1 is
 * ignored. This function can't fail. */
void QuenScEventParam(QuenScCall *call, int index, const char *text);

/* Records ctx's audit event when its type's level passes the level
 * configured for its category (QUENSC_CATEGORY_*); commits it in a
 * transaction of its own, or rolls back when it cannot be added. Nothing is
 * reported to the caller. */
void QuenScRecordEvent(i_ctx *ctx);

/* Takes (lock != 0, blocking) or releases (0) the host's registry lock.
 * 1 on success, 0 on failure or for a server without the lock. */
int QuenScRegistryLock(QuenScServer *server, int lock);

/* The housekeeping after a request (exported as postReqHandler): at most one
 * thread at a time (a busy context lock means another thread is at it) and
 * at most once every session_reap_cycle seconds, deletes timed-out
 * sessions, purges old events and refreshes the planner's statistics. A
 * null server is logged and ignored. */
void QuenScAfterRequest(QuenScServer *server);

/* Counts one statement the database refused (the database library's log
 * callbacks call it). Thread-safe; can't fail. */
void QuenScCountDatabaseError(void);

/* Fills *out with the process's counters and, when probeDatabase is
 * non-zero, the outcome of one round trip to the database (the schema
 * version read). Thread-safe; can't fail. */
void QuenScStatusRead(QuenScServer *server, int probeDatabase, QuenScStatus *out);

#endif
