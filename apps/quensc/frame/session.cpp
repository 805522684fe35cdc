/* Sessions: the stored record, its expiry, and the session operations. */
#include "frame/session.h"

#include "frame/marshal.h"
#include "policydb/longField.h"
#include "frame/lookupCache.h"
#include "frame/log.h"

#include <apr_strings.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

void PutInt64(unsigned char *p, int64_t value)
{
    auto v = static_cast<uint64_t>(value);
    for (int i = 0; i < 8; i++)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}

int64_t GetInt64(const unsigned char *p)
{
    uint64_t v = 0;
    for (int i = 7; i >= 0; i--)
        v = v << 8 | p[i];
    return static_cast<int64_t>(v);
}

/* Copies text into a 256-byte field, cut to 255 characters. */
void PutText(unsigned char *field, const char *text)
{
    memset(field, 0, 256);
    if (text)
        strncpy(reinterpret_cast<char *>(field), text, 255);
}

const char *GetText(const unsigned char *field)
{
    return reinterpret_cast<const char *>(field);
}

} // namespace

int64_t QuenScSessionExpiry(int64_t lastAccess, int64_t ttl)
{
    if (ttl == -1 || (ttl > 0 && lastAccess > INT64_MAX - ttl))
        return INT64_MAX;
    if (ttl < 0 && lastAccess < INT64_MIN - ttl)
        return INT64_MIN;
    return lastAccess + ttl;
}

QuenScSession *QuenScSessionNew(i_ctx *ctx, int protocolVersion)
{
    auto *s = static_cast<QuenScSession *>(apr_pcalloc(ctx->pool, sizeof(QuenScSession)));
    char uid[POLDB_UID_SIZE];
    PolDb_CreateUniqueUID(ctx->conn, uid);
    s->id = apr_pstrdup(ctx->pool, uid);
    auto v = static_cast<uint32_t>(protocolVersion);
    for (int i = 0; i < 4; i++)
        s->record[SESSION_OFF_PROTOCOL + i] = static_cast<unsigned char>(v >> (8 * i));
    QuenScSessionSetTtl(s, ctx->server->configuration->global.session_ttl);
    return s;
}

QuenScSession *QuenScSessionLookup(i_ctx *ctx, const char *id)
{
    unsigned char *bytes = nullptr;
    size_t length = 0;
    if (!id || !PolDb_LongFieldGetBlob(ctx->conn, id, &bytes, &length) || length != QUENSC_SESSION_RECORD_SIZE) {
        free(bytes);
        QuenScLogError("Invalid session id: %s", id ? id : "");
        return nullptr;
    }
    auto *s = static_cast<QuenScSession *>(apr_pcalloc(ctx->pool, sizeof(QuenScSession)));
    s->id = apr_pstrdup(ctx->pool, id);
    memcpy(s->record, bytes, QUENSC_SESSION_RECORD_SIZE);
    memcpy(s->stored, bytes, QUENSC_SESSION_RECORD_SIZE);
    free(bytes);
    /* Whatever the stored bytes say, the two texts end inside their fields. */
    s->record[SESSION_OFF_USER_NAME + 255] = 0;
    s->record[SESSION_OFF_INSTANCE_UID + 255] = 0;
    return s;
}

bool QuenScSessionNeedsStore(const QuenScSession *s, int64_t now)
{
    if (memcmp(s->record + SESSION_OFF_TTL, s->stored + SESSION_OFF_TTL,
               QUENSC_SESSION_RECORD_SIZE - SESSION_OFF_TTL) != 0)
        return true;
    int64_t ttl = QuenScSessionTtl(s);
    int64_t bound = QUENSC_SESSION_TOUCH_SECONDS;
    if (ttl != -1 && ttl / 10 < bound)
        bound = ttl / 10;
    int64_t stored = GetInt64(s->stored + SESSION_OFF_LAST_ACCESS);
    return now < stored || now - stored >= bound;
}

int QuenScSessionStore(i_ctx *ctx, QuenScSession *session, bool isNew)
{
    int64_t now = time(nullptr);
    if (!isNew && !QuenScSessionNeedsStore(session, now))
        return QUENSC_OK;
    PutInt64(session->record + SESSION_OFF_LAST_ACCESS, now);
    int64_t expires = QuenScSessionExpiry(now, QuenScSessionTtl(session));
    char *key = PolDb_Strdup(session->id);
    bool ok = isNew ? PolDb_LongFieldAddBlob(ctx->conn, &key, session->record, QUENSC_SESSION_RECORD_SIZE, &expires)
                    : PolDb_LongFieldReplaceBlob(ctx->conn, &key, session->record, QUENSC_SESSION_RECORD_SIZE,
                                                 &expires);
    free(key);
    if (!ok) {
        QuenScLogError("Failed to add/update session %s (%s)", session->id, Db_GetLastErrorText(ctx->conn));
        return QUENSC_INTERNAL;
    }
    return QUENSC_OK;
}

int QuenScSessionRemove(i_ctx *ctx, const char *id)
{
    if (!PolDb_LongFieldRemoveBlob(ctx->conn, id)) {
        QuenScLogError("PolDb_LongFieldRemoveBlob() failed for session %s (%s)", id, Db_GetLastErrorText(ctx->conn));
        return QUENSC_INVALID_SESSION;
    }
    return QUENSC_OK;
}

void QuenScSessionSetAdministrator(QuenScSession *s, const char *name)
{
    PutText(s->record + SESSION_OFF_USER_NAME, name);
    s->record[SESSION_OFF_IS_ADMIN] = 1;
}

void QuenScSessionClearAdministrator(QuenScSession *s) { s->record[SESSION_OFF_IS_ADMIN] = 0; }

bool QuenScSessionIsAdministrator(const QuenScSession *s) { return s && s->record[SESSION_OFF_IS_ADMIN] != 0; }

void QuenScSessionSetHelpdesk(QuenScSession *s, const char *name)
{
    PutText(s->record + SESSION_OFF_USER_NAME, name);
    s->record[SESSION_OFF_IS_HELPDESK] = 1;
}

void QuenScSessionClearHelpdesk(QuenScSession *s) { s->record[SESSION_OFF_IS_HELPDESK] = 0; }

bool QuenScSessionIsHelpdesk(const QuenScSession *s) { return s && s->record[SESSION_OFF_IS_HELPDESK] != 0; }

void QuenScSessionMarkInstanceAuthenticated(QuenScSession *s, const char *userName, const char *instanceUID)
{
    s->record[SESSION_OFF_INSTANCE_AUTH] = 1;
    PutText(s->record + SESSION_OFF_USER_NAME, userName);
    PutText(s->record + SESSION_OFF_INSTANCE_UID, instanceUID);
}

bool QuenScSessionIsAuthenticatedForInstance(const QuenScSession *s, const char *instanceUID)
{
    return s && instanceUID && s->record[SESSION_OFF_INSTANCE_AUTH] &&
           strcmp(GetText(s->record + SESSION_OFF_INSTANCE_UID), instanceUID) == 0;
}

const char *QuenScSessionUserName(const QuenScSession *s)
{
    /* The field is always zero-terminated: PutText never fills byte 255. */
    return GetText(s->record + SESSION_OFF_USER_NAME);
}

int64_t QuenScSessionTtl(const QuenScSession *s) { return GetInt64(s->record + SESSION_OFF_TTL); }

void QuenScSessionSetTtl(QuenScSession *s, int64_t ttl) { PutInt64(s->record + SESSION_OFF_TTL, ttl); }

int64_t QuenScSessionLastAccess(const QuenScSession *s) { return GetInt64(s->record + SESSION_OFF_LAST_ACCESS); }

int32_t QuenScSessionProtocol(const QuenScSession *s)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; i--)
        v = v << 8 | s->record[SESSION_OFF_PROTOCOL + i];
    return static_cast<int32_t>(v);
}

void QuenScSessionRenewTtl(i_ctx *ctx, QuenScSession *s, const QuenScPolicyRecord *policy)
{
    int64_t floor = ctx->server->configuration->global.session_ttl;
    int64_t ttl = policy ? policy->sessionLifetime : floor;
    if (ttl != -1 && ttl < floor)
        ttl = floor;
    QuenScSessionSetTtl(s, ttl);
}
