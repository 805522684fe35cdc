/* The event module: the event type lookup table, loaded once per process
 * and held module-wide in eventType order. */
#include "event.h"

#include <cstdlib>

namespace {

PolDbEventType *g_types;
int g_typeCount;

void ReadEventType(DbResultSet *rs, void *record)
{
    auto *t = static_cast<PolDbEventType *>(record);
    t->eventType = rs->ops->getInt(rs, 0);
    t->eventMessage = rs->ops->getString(rs, 1);
    t->eventCategory = rs->ops->getInt(rs, 2);
    t->eventCategoryName = rs->ops->getString(rs, 3);
    t->eventLogLevel = rs->ops->getInt(rs, 4);
}

void ReleaseEventType(void *record)
{
    auto *t = static_cast<PolDbEventType *>(record);
    free(t->eventMessage);
    free(t->eventCategoryName);
}

} // namespace

bool LoadEventTypes(DbConnection *conn)
{
    if (g_types)
        return true;
    void *array = nullptr;
    int count = PolDb_SelectArray(conn,
                                  "SELECT eventType, eventMessage, eventCategory, eventCategoryName, eventLogLevel "
                                  "FROM PolicyDb_EventType ORDER BY eventType",
                                  ReadEventType, &array, sizeof(PolDbEventType), "EventTypeEnumerate");
    if (count < 0)
        return false;
    g_types = static_cast<PolDbEventType *>(array);
    g_typeCount = count;
    /* An empty table still counts as loaded. */
    if (!g_types)
        g_types = static_cast<PolDbEventType *>(PolDb_Malloc(sizeof(PolDbEventType)));
    return true;
}

void FreeEventTypes(void)
{
    PolDb_FreeArray(g_types, g_typeCount, sizeof(PolDbEventType), ReleaseEventType);
    g_types = nullptr;
    g_typeCount = 0;
}

const char *LookupEventType(int eventType, int *category, int *logLevel)
{
    int lo = 0, hi = g_typeCount - 1;
    while (lo <= hi) {
        int mid = (lo + hi) / 2;
        const PolDbEventType &t = g_types[mid];
        if (t.eventType == eventType) {
            if (category)
                *category = t.eventCategory;
            if (logLevel)
                *logLevel = t.eventLogLevel;
            return t.eventMessage;
        }
        if (t.eventType < eventType)
            lo = mid + 1;
        else
            hi = mid - 1;
    }
    if (category)
        *category = 0;
    if (logLevel)
        *logLevel = 4;
    return nullptr;
}

const PolDbEventType *PolDb_EventTypes(int *count)
{
    if (count)
        *count = g_typeCount;
    return g_types;
}
