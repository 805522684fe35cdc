/* The event module: the event type lookup table, loaded once per process
 * and held module-wide in eventType order, and the audit event chain:
 * signing, adding with retries, enumerating, purging and verifying. */
#include "policydb/event.h"

#include "policydb/dbcrypto.h"

#include <apr_strings.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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

/* ---- events ------------------------------------------------------------------ */

/* Kept as macros so that the compiler checks the arguments of each format. */
#define EVENT_SELECT                                                                                              \
    "SELECT eventUID, eventTs, loginName, quenUID, packageUID, instanceUID, policyVersion, eventCategory, "      \
    "eventType, sessionID, clientIP, serverIP, turnaroundTime, handlerName, returnCodeText, messageParams, "       \
    "prevEventUID, eventSignature FROM PolicyDb_Event"
#define EVENT_INSERT                                                                                              \
    "INSERT INTO PolicyDb_Event (eventUID, eventTs, loginName, quenUID, packageUID, instanceUID, policyVersion, " \
    "eventCategory, eventType, sessionID, clientIP, serverIP, turnaroundTime, handlerName, returnCodeText, "      \
    "messageParams, prevEventUID, eventSignature) VALUES (%s, '%" PRId64 "', %s, %s, %s, %s, %d, %d, %d, %s, "  \
    "%s, %s, '%" PRId64 "', %s, %s, %s, %s, %s)"
#define EVENT_MAX_UID "SELECT MAX(eventUID) FROM PolicyDb_Event"
#define EVENT_CHAIN_REPAIR                                                                                        \
    "UPDATE PolicyDb_Event SET prevEventUID = (SELECT MAX(eventUID) FROM PolicyDb_Event) WHERE eventUID = "        \
    "(SELECT MIN(eventUID) FROM PolicyDb_Event); UPDATE PolicyDb_Event SET prevEventUID = NULL, "                \
    "eventSignature = '%s' WHERE eventUID = %s"
#define EVENT_DELETE_BEFORE "DELETE FROM PolicyDb_Event WHERE eventUID < %s"
#define EVENT_DELETE_ALL "DELETE FROM PolicyDb_Event"
#define EVENT_FIRST_SINCE "SELECT MIN(eventUID) FROM PolicyDb_Event WHERE eventTs >= '%" PRId64 "'"
#define EVENT_COUNT "SELECT COUNT(*) FROM PolicyDb_Event"

namespace {

const char kPurgeTag[] = "EventPurgeOldEvents";

/* Widths of the event's text columns: messageParams VARCHAR(1024), the
 * names and identifiers VARCHAR(128). Counted in bytes, which fits every
 * engine whether it counts bytes or characters. */
constexpr size_t kMessageParamsWidth = 1024;
constexpr size_t kNameWidth = 128;

/* eventTs is a text column compared as text, which orders correctly only
 * among timestamps of the same number of digits. Every timestamp from
 * 2001-09-09 to 2286 has 16 digits; this is the first of them. */
constexpr int64_t kFirstSixteenDigitTs = INT64_C(1000000000000000);

int ClampedParamCount(const PolDbEvent *event)
{
    int n = event->messageParamCount;
    return n < 0 ? 0 : (n > POLDB_EVENT_MAX_PARAMS ? POLDB_EVENT_MAX_PARAMS : n);
}

/* The stored form of the parameters: the entries joined by tabs. */
std::string JoinParams(const PolDbEvent *event)
{
    std::string joined;
    int n = ClampedParamCount(event);
    for (int i = 0; i < n; i++) {
        if (i > 0)
            joined += '\t';
        if (event->messageParams[i])
            joined += event->messageParams[i];
    }
    return joined;
}

/* Splits the stored form at tabs into at most 10 entries, the last one
 * holding the rest of the text; an empty text gives no entry. */
std::vector<std::string> SplitParams(const char *text)
{
    std::vector<std::string> entries;
    if (!text || !*text)
        return entries;
    const char *p = text;
    while (entries.size() + 1 < POLDB_EVENT_MAX_PARAMS) {
        const char *tab = strchr(p, '\t');
        if (!tab)
            break;
        entries.emplace_back(p, static_cast<size_t>(tab - p));
        p = tab + 1;
    }
    entries.emplace_back(p);
    return entries;
}

/* Reads an event number: a whole decimal text from 1 to INT64_MAX - 1, so
 * that its successor is still representable. */
bool ParseEventNumber(const char *text, int64_t *value)
{
    if (!text || !*text)
        return false;
    errno = 0;
    char *end = nullptr;
    long long v = strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < 1 || v >= INT64_MAX)
        return false;
    *value = v;
    return true;
}

void ReadEvent(DbResultSet *rs, void *record)
{
    auto *e = static_cast<PolDbEvent *>(record);
    const DbRowOps *ops = rs->ops;
    e->eventUID = ops->getString(rs, 0);
    e->eventTs = ops->getInt64(rs, 1);
    e->loginName = ops->getString(rs, 2);
    e->quenUID = ops->getString(rs, 3);
    e->packageUID = ops->getString(rs, 4);
    e->instanceUID = ops->getString(rs, 5);
    e->policyVersion = ops->getInt(rs, 6);
    e->eventCategory = ops->getInt(rs, 7);
    e->eventType = ops->getInt(rs, 8);
    e->sessionID = ops->getString(rs, 9);
    e->clientIP = ops->getString(rs, 10);
    e->serverIP = ops->getString(rs, 11);
    e->turnaroundTime = ops->getInt64(rs, 12);
    e->handlerName = ops->getString(rs, 13);
    e->returnCodeText = ops->getString(rs, 14);
    char *params = ops->getString(rs, 15);
    std::vector<std::string> entries = SplitParams(params);
    free(params);
    e->messageParamCount = static_cast<int>(entries.size());
    for (size_t i = 0; i < entries.size(); i++)
        e->messageParams[i] = PolDb_Strdup(entries[i].c_str());
    /* prevEventUID is an integer column: "" can only come from NULL. */
    e->prevEventUID = ops->getString(rs, 16);
    if (!*e->prevEventUID) {
        free(e->prevEventUID);
        e->prevEventUID = nullptr;
    }
    e->eventSignature = ops->getString(rs, 17);
}

void ReleaseEventRecord(void *record) { PolDb_EventRelease(static_cast<PolDbEvent *>(record)); }

void PutLittleEndian(unsigned char *out, uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; i++)
        out[i] = static_cast<unsigned char>(value >> (8 * i));
}

/* Sets the next number and the predecessor from the highest stored number.
 * Returns 0 on success, -1 when the read failed (worth another try) and -2
 * when the highest number cannot be continued (recorded on the connection). */
int TakeNextNumber(DbConnection *conn, PolDbEvent *work)
{
    /* Servers sharing the database take numbers one at a time, so that no
     * two pick the same one; the lock ends with the event's transaction. */
    if (!PolDb_LockAcrossServers(conn, POLDB_LOCK_EVENT_CHAIN, nullptr))
        return -1;
    char *max = SelectSingleString(conn, EVENT_MAX_UID);
    if (!max)
        return -1;
    int result = 0;
    if (!*max) {
        work->prevEventUID = nullptr;
        work->eventUID = apr_pstrdup(conn->pool, "1");
    } else {
        int64_t m = 0;
        if (ParseEventNumber(max, &m)) {
            work->prevEventUID = PolDbPsprintf(conn, "%" PRId64, m);
            work->eventUID = PolDbPsprintf(conn, "%" PRId64, m + 1);
        } else {
            char *text = PolDbPsprintf(conn, "Cannot continue the event chain after event number %s", max);
            PolDb_Log("PolDb_EventAdd: %s\n", text);
            Db_SetError(conn, -1, text);
            result = -2;
        }
    }
    free(max);
    return result;
}

/* Makes the event first the head of the chain and deletes every older one;
 * no first (or one that reads as 0) means every event is older. */
bool PurgeFromFirst(DbConnection *conn, const char *first)
{
    if (!first || !*first || PolDb_ParseInt64(first) == 0)
        return PolDb_Exec(conn, EVENT_DELETE_ALL, kPurgeTag);
    const char *key = PolDb_EscapeString(conn, false, false, first);
    PolDbEvent *events = nullptr;
    int count = 0;
    if (!PolDb_EventEnumerate(conn, PolDbPsprintf(conn, "eventUID = %s", key), &events, &count))
        return false;
    if (count != 1) {
        PolDb_EventFreeArray(events, count);
        return false;
    }
    free(events[0].prevEventUID);
    events[0].prevEventUID = nullptr;
    const char *signature = SignEvent(conn, &events[0]);
    PolDb_EventFreeArray(events, count);
    if (!signature)
        return false;
    if (!PolDb_Exec(conn, PolDbPsprintf(conn, EVENT_CHAIN_REPAIR, signature, key), kPurgeTag))
        return false;
    return PolDb_Exec(conn, PolDbPsprintf(conn, EVENT_DELETE_BEFORE, key), kPurgeTag);
}

bool PurgeByAge(DbConnection *conn, int64_t seconds)
{
    int64_t now = PolDb_Now();
    /* A limit before the first 16-digit timestamp: no event is that old, and
     * the text comparison would misread a shorter limit. This test also keeps
     * seconds * 1000000 from overflowing. */
    if (seconds > (now - kFirstSixteenDigitTs) / 1000000)
        return true;
    int64_t limit = now - seconds * 1000000;
    char *first = SelectSingleString(conn, PolDbPsprintf(conn, EVENT_FIRST_SINCE, limit));
    if (!first)
        return false;
    bool ok = PurgeFromFirst(conn, first);
    free(first);
    return ok;
}

bool PurgeByCount(DbConnection *conn, int64_t keep)
{
    char *countText = SelectSingleString(conn, EVENT_COUNT);
    if (!countText)
        return false;
    int64_t count = PolDb_ParseInt64(countText);
    free(countText);
    if (count <= keep)
        return true;
    char *maxText = SelectSingleString(conn, EVENT_MAX_UID);
    if (!maxText)
        return false;
    int64_t max = 0;
    bool numbered = ParseEventNumber(maxText, &max);
    free(maxText);
    int64_t kept = keep % (INT64_C(1) << 31);
    /* max <= INT64_MAX - 1 and kept >= 0: the sum cannot overflow. */
    int64_t first = numbered ? max - kept + 1 : 0;
    if (first < 1) {
        /* Numbers that are no sequence from 1 upwards; deleting everything
         * (what a first of 0 would mean) is not the answer. */
        Db_SetError(conn, -1, "The event numbers do not form a sequence");
        return false;
    }
    return PurgeFromFirst(conn, PolDbPsprintf(conn, "%" PRId64, first));
}

} // namespace

void PolDb_EventRelease(PolDbEvent *event)
{
    if (!event)
        return;
    char **texts[] = {&event->eventUID,   &event->loginName,    &event->quenUID,        &event->packageUID,
                      &event->instanceUID, &event->sessionID,   &event->clientIP,       &event->serverIP,
                      &event->handlerName, &event->returnCodeText, &event->prevEventUID, &event->eventSignature};
    for (char **text : texts) {
        free(*text);
        *text = nullptr;
    }
    for (char *&param : event->messageParams) {
        free(param);
        param = nullptr;
    }
    event->messageParamCount = 0;
}

void PolDb_EventFreeArray(PolDbEvent *events, int count)
{
    PolDb_FreeArray(events, count, sizeof(PolDbEvent), ReleaseEventRecord);
}

char *SignEvent(DbConnection *conn, const PolDbEvent *event)
{
    if (!conn || !event)
        return nullptr;
    unsigned char ts[8], version[4], category[4], type[4], turnaround[8];
    PutLittleEndian(ts, static_cast<uint64_t>(event->eventTs), 8);
    PutLittleEndian(version, static_cast<uint32_t>(event->policyVersion), 4);
    PutLittleEndian(category, static_cast<uint32_t>(event->eventCategory), 4);
    PutLittleEndian(type, static_cast<uint32_t>(event->eventType), 4);
    PutLittleEndian(turnaround, static_cast<uint64_t>(event->turnaroundTime), 8);

    const char *pieces[16 + POLDB_EVENT_MAX_PARAMS];
    size_t lengths[16 + POLDB_EVENT_MAX_PARAMS];
    int n = 0;
    auto text = [&](const char *s) {
        pieces[n] = s;
        lengths[n] = s ? strlen(s) : 0;
        n++;
    };
    auto bytes = [&](const unsigned char *b, size_t length) {
        pieces[n] = reinterpret_cast<const char *>(b);
        lengths[n] = length;
        n++;
    };
    text(event->eventUID);
    bytes(ts, sizeof ts);
    text(event->loginName);
    text(event->quenUID);
    text(event->packageUID);
    text(event->instanceUID);
    bytes(version, sizeof version);
    bytes(category, sizeof category);
    bytes(type, sizeof type);
    text(event->sessionID);
    text(event->clientIP);
    text(event->serverIP);
    bytes(turnaround, sizeof turnaround);
    text(event->handlerName);
    text(event->returnCodeText);
    for (int i = 0, count = ClampedParamCount(event); i < count; i++)
        text(event->messageParams[i]);
    text(event->prevEventUID);

    char *digest = nullptr;
    if (!PolDb_Hash(pieces, lengths, n, &digest))
        return nullptr;
    char *signature = apr_pstrdup(conn->pool, digest);
    free(digest);
    return signature;
}

bool PolDb_EventAdd(DbConnection *conn, PolDbEvent *event)
{
    if (!conn || !event)
        return false;
    int category = 0;
    if (!LookupEventType(event->eventType, &category, nullptr)) {
        Db_SetError(conn, -1, PolDbPsprintf(conn, "Unknown event type %d", event->eventType));
        return false;
    }

    /* Sign the parameters as they will read back from the stored text,
     * which is fitted to its column: an event is never lost because a
     * caller's values were long (engines that enforce VARCHAR widths would
     * refuse the row on every try). */
    std::string joined = JoinParams(event);
    joined.resize(PolDb_Utf8Prefix(joined.data(), joined.size(), kMessageParamsWidth));
    std::vector<std::string> entries = SplitParams(joined.c_str());
    PolDbEvent work = *event;
    for (char **field : {&work.loginName, &work.quenUID, &work.packageUID, &work.instanceUID, &work.sessionID,
                         &work.clientIP, &work.serverIP, &work.handlerName, &work.returnCodeText}) {
        if (*field && strlen(*field) > kNameWidth)
            *field = apr_pstrndup(conn->pool, *field, PolDb_Utf8Prefix(*field, strlen(*field), kNameWidth));
    }
    work.eventCategory = category;
    work.messageParamCount = static_cast<int>(entries.size());
    for (int i = 0; i < POLDB_EVENT_MAX_PARAMS; i++)
        work.messageParams[i] = i < work.messageParamCount ? const_cast<char *>(entries[i].c_str()) : nullptr;

    auto esc = [conn](const char *s) { return PolDb_EscapeString(conn, false, false, s); };
    for (int attempt = 1; attempt <= 3; attempt++) {
        work.eventTs = PolDb_Now();
        int taken = TakeNextNumber(conn, &work);
        if (taken == -2)
            return false;
        if (taken == 0) {
            work.eventSignature = SignEvent(conn, &work);
            char *sql = PolDbPsprintf(conn, EVENT_INSERT, esc(work.eventUID), work.eventTs, esc(work.loginName),
                                      esc(work.quenUID), esc(work.packageUID), esc(work.instanceUID),
                                      work.policyVersion, work.eventCategory, work.eventType, esc(work.sessionID),
                                      esc(work.clientIP), esc(work.serverIP), work.turnaroundTime,
                                      esc(work.handlerName), esc(work.returnCodeText), esc(joined.c_str()),
                                      esc(work.prevEventUID), esc(work.eventSignature));
            if (PolDb_Exec(conn, sql, "EventAdd")) {
                free(event->eventUID);
                free(event->prevEventUID);
                free(event->eventSignature);
                event->eventUID = PolDb_Strdup(work.eventUID);
                event->prevEventUID = work.prevEventUID ? PolDb_Strdup(work.prevEventUID) : nullptr;
                event->eventSignature = work.eventSignature ? PolDb_Strdup(work.eventSignature) : nullptr;
                event->eventTs = work.eventTs;
                event->eventCategory = category;
                return true;
            }
        }
        if (attempt < 3)
            PolDb_Log("PolDb_EventAdd: possible UID collision, retrying\n");
    }
    PolDb_Log("Cannot log the event after three tries, aborting");
    return false;
}

bool PolDb_EventEnumerate(DbConnection *conn, const char *filter, PolDbEvent **events, int *count)
{
    *events = nullptr;
    *count = 0;
    void *array = nullptr;
    int n = PolDb_SelectArray(conn, PolDb_Where(conn, EVENT_SELECT, filter), ReadEvent, &array,
                              sizeof(PolDbEvent), "EventEnumerate");
    if (n < 0)
        return false;
    *events = static_cast<PolDbEvent *>(array);
    *count = n;
    return true;
}

bool PolDb_EventPurgeOldEvents(DbConnection *conn, int purgeType, int64_t purgeValue)
{
    if (purgeType == POLDB_EVENT_PURGE_NONE || purgeValue == 0)
        return true;
    bool ok = false;
    if (purgeValue < 0)
        Db_SetError(conn, -1, PolDbPsprintf(conn, "Invalid event purge value %" PRId64, purgeValue));
    else if (purgeType == POLDB_EVENT_PURGE_BY_AGE)
        ok = PurgeByAge(conn, purgeValue);
    else if (purgeType == POLDB_EVENT_PURGE_BY_COUNT)
        ok = PurgeByCount(conn, purgeValue);
    else
        Db_SetError(conn, -1, PolDbPsprintf(conn, "Unknown event purge type %d", purgeType));
    if (!ok) {
        const char *text = Db_GetLastErrorText(conn);
        PolDb_Log("PolDb_EventPurgeOldEvents: failed to purge old events. DB Message: %s\n",
                  (text && *text) ? text : "N/A");
    }
    return ok;
}

bool PolDb_EventVerifyChain(DbConnection *conn, char **firstBadUID)
{
    if (firstBadUID)
        *firstBadUID = nullptr;
    void *array = nullptr;
    int count = PolDb_SelectArray(conn, EVENT_SELECT " ORDER BY eventUID", ReadEvent, &array, sizeof(PolDbEvent),
                                  "EventVerifyChain");
    if (count < 0)
        return false;
    auto *events = static_cast<PolDbEvent *>(array);
    const PolDbEvent *bad = nullptr;
    for (int i = 0; i < count && !bad; i++) {
        const PolDbEvent &e = events[i];
        const char *signature = SignEvent(conn, &e);
        bool signedOk = signature && strcmp(signature, e.eventSignature) == 0;
        bool linked = i == 0 ? e.prevEventUID == nullptr
                             : e.prevEventUID && strcmp(e.prevEventUID, events[i - 1].eventUID) == 0;
        if (!signedOk || !linked)
            bad = &e;
    }
    if (bad && firstBadUID)
        *firstBadUID = PolDb_Strdup(bad->eventUID);
    bool sound = bad == nullptr;
    PolDb_EventFreeArray(events, count);
    return sound;
}
