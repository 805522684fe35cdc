/* The event module: the event type lookup table, loaded once per process
 * from PolicyDb_EventType and consulted for every audit event. */
#ifndef QUENSC_POLICYDB_EVENT_H
#define QUENSC_POLICYDB_EVENT_H

#include "db.h"

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

#endif
