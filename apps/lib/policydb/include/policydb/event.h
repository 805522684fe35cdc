/* The event module: the audit event log and the event type lookup table.
 *
 * Every event gets the next sequence number (eventUID), names its predecessor
 * (prevEventUID) and carries a SHA-1 digest over all its fields and the
 * predecessor's number (eventSignature), so the events form a chain in which
 * an altered or removed event can be detected. The type table is loaded once
 * per process from PolicyDb_EventType and consulted for every event.
 *
 * Every operation runs inside the connection's implicit transaction and
 * leaves the commit to the caller; a failed statement has rolled that
 * transaction back (with whatever else it held) when the operation returns. */
#ifndef QUENSC_POLICYDB_EVENT_H
#define QUENSC_POLICYDB_EVENT_H

#include "policydb/db.h"

struct PolDbEventType {
    int eventType;
    char *eventMessage;      /* printf-style template of the event's text */
    int eventCategory;
    char *eventCategoryName;
    int eventLogLevel;       /* 1 most important .. 5 no event */
};

/* Loads the table from the database unless it is loaded already. Returns
 * false (after the statement's error was logged) when it cannot be read. */
bool LoadEventTypes(DbConnection *conn);

/* Releases the table. Safe when nothing is loaded. */
void FreeEventTypes(void);

/* Looks an event type up. Returns its message template (owned by the table,
 * valid until FreeEventTypes), or null for an unknown type, in which case the
 * category is 0 and the log level 4. category and logLevel may be null. */
const char *LookupEventType(int eventType, int *category, int *logLevel);

/* The loaded table and its row count (null and 0 when not loaded). */
const PolDbEventType *PolDb_EventTypes(int *count);

/* ---- events ------------------------------------------------------------------ */

#define POLDB_EVENT_MAX_PARAMS 10

/* What PolDb_EventPurgeOldEvents does. */
enum PolDbEventPurgeType {
    POLDB_EVENT_PURGE_NONE = 0,     /* keep every event */
    POLDB_EVENT_PURGE_BY_AGE = 1,   /* value: the age in seconds */
    POLDB_EVENT_PURGE_BY_COUNT = 2, /* value: the number of events kept */
};

/* One audit event. Records read from the database own every text (heap,
 * released by PolDb_EventRelease); texts read from a NULL column are "",
 * except prevEventUID, which is null for the head of the chain. */
struct PolDbEvent {
    char *eventUID;          /* decimal sequence number */
    int64_t eventTs;         /* microseconds since 1970 (PolDb_Now) */
    char *loginName;
    char *quenUID;
    char *packageUID;
    char *instanceUID;
    int policyVersion;
    int eventCategory;       /* from the event type */
    int eventType;
    char *sessionID;
    char *clientIP;
    char *serverIP;
    int64_t turnaroundTime;
    char *handlerName;
    char *returnCodeText;
    char *messageParams[POLDB_EVENT_MAX_PARAMS];
    int messageParamCount;   /* entries used; clamped to 0..10 */
    char *prevEventUID;      /* the predecessor's eventUID, null for none */
    char *eventSignature;    /* Base64 SHA-1 text, 28 characters */
};

/* Frees every text the record holds and nulls it (not the record itself). */
void PolDb_EventRelease(PolDbEvent *event);

/* Releases every record of an array of PolDb_EventEnumerate and the array. */
void PolDb_EventFreeArray(PolDbEvent *events, int count);

/* The digest text of the event (in the connection's pool), or null after a
 * logged hashing failure. SHA-1 over, in this order: eventUID, eventTs as 8
 * little-endian bytes, loginName, quenUID, packageUID, instanceUID,
 * policyVersion, eventCategory and eventType as 4 little-endian bytes each,
 * sessionID, clientIP, serverIP, turnaroundTime as 8 little-endian bytes,
 * handlerName, returnCodeText, each messageParams entry, prevEventUID. Texts
 * contribute their characters; a null text contributes nothing (so "" and
 * null sign alike). eventSignature itself is not covered. */
char *SignEvent(DbConnection *conn, const PolDbEvent *event);

/* Appends an event to the chain. The caller fills every field except
 * eventUID, eventTs, eventCategory, prevEventUID and eventSignature, which
 * this sets. An unknown event type stores nothing: the connection's error
 * becomes (-1, "Unknown event type <n>") and the result false.
 *
 * The message parameters are stored joined by tab characters and read back
 * split at tabs, so an entry holding a tab reads back as several entries;
 * the signature covers the entries as they read back, which keeps a stored
 * event verifiable whatever its parameters hold.
 *
 * A failed insert (two servers taking the same number) is retried with the
 * new highest number, three tries in all. On success the caller's record
 * gets eventUID, eventTs, eventCategory, prevEventUID and eventSignature
 * (the three texts newly allocated; what those three fields held before is
 * freed, so they must be null or heap texts). An event whose digest cannot
 * be made (logged) is stored without a signature. On failure the record is
 * left as it was. */
bool PolDb_EventAdd(DbConnection *conn, PolDbEvent *event);

/* Reads the events matching filter (an SQL condition, or null for all; quote
 * values with PolDb_EscapeString) into a newly allocated array (null for
 * none), freed with PolDb_EventFreeArray. False, with *events null and
 * *count 0, after a logged database error. */
bool PolDb_EventEnumerate(DbConnection *conn, const char *filter, PolDbEvent **events, int *count);

/* Deletes old events and makes the oldest kept event the new head of the
 * chain (no predecessor, new signature). Type 0 or value 0 does nothing.
 * Type 1 deletes the events older than value seconds; type 2 keeps the
 * value newest events. A negative value or another type is refused (false,
 * with the reason as the connection's error). Failures are logged. */
bool PolDb_EventPurgeOldEvents(DbConnection *conn, int purgeType, int64_t purgeValue);

/* Re-reads every event in eventUID order and checks that each signature is
 * what SignEvent gives and that each event names the one before it as its
 * predecessor (the first event names none). Returns true for a sound chain
 * (also an empty one). Otherwise false, with *firstBadUID (when given) set to
 * the newly allocated eventUID of the first event that fails; it stays null
 * when the events could not be read (logged). Removing the newest events
 * cannot be detected this way. */
bool PolDb_EventVerifyChain(DbConnection *conn, char **firstBadUID);

/* What PolDb_EventCheckChain found. */
struct PolDbChainCheck {
    int checked;          /* events read and checked, up to the first bad one */
    char *firstBadUID;    /* newly allocated (caller frees); null when sound or unreadable */
    const char *reason;   /* static text: why that event fails; null when sound */
};

/* The same check as PolDb_EventVerifyChain (a purge re-signs the new oldest
 * event as one that names no predecessor), telling also how many events
 * were checked and why the first bad one fails. Returns true for a sound
 * chain (also an empty one); false with *out saying which event fails and
 * why ("bad signature", "broken link"), or with firstBadUID null when the
 * events could not be read (logged). */
bool PolDb_EventCheckChain(DbConnection *conn, PolDbChainCheck *out);

#endif
