/* The long-field module: chunked long values, Base64 blobs, session blobs
 * with an expiry and their clean-up, all in PolicyDb_LongField. */
#include "policydb/longField.h"

#include "policydb/dbcrypto.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

struct LongFieldRow {
    char *key;
    int index;
    char *value;
    int64_t sessionExpires;
};

void ReadRow(DbResultSet *rs, void *record)
{
    auto *r = static_cast<LongFieldRow *>(record);
    r->key = rs->ops->getString(rs, 0);
    r->index = rs->ops->getInt(rs, 1);
    r->value = rs->ops->getString(rs, 2);
    r->sessionExpires = rs->ops->getInt64(rs, 3);
}

void ReleaseRow(void *record)
{
    auto *r = static_cast<LongFieldRow *>(record);
    free(r->key);
    free(r->value);
}

bool DeleteKey(DbConnection *conn, const char *key)
{
    char *sql = PolDbPsprintf(conn, "DELETE FROM PolicyDb_LongField WHERE longFieldKey = %s",
                              PolDb_EscapeString(conn, false, false, key));
    return PolDb_Exec(conn, sql, "LongFieldRemove");
}

/* Runs op on the Base64 text of the bytes. */
template <typename Op>
bool WithBase64(const void *bytes, size_t length, Op op)
{
    char *text = PolDb_Base64Encode(static_cast<const unsigned char *>(bytes), length);
    if (!text)
        return false;
    bool ok = op(text);
    free(text);
    return ok;
}

} // namespace

bool PolDb_LongFieldAdd(DbConnection *conn, char **key, const char *text, const int64_t *expires)
{
    if (!*key || !**key) {
        char uid[POLDB_UID_SIZE];
        PolDb_CreateUniqueUID(conn, uid);
        free(*key);
        *key = PolDb_Strdup(uid);
    }
    const char *escapedKey = PolDb_EscapeString(conn, false, false, *key);
    const char *expiry = expires ? PolDbPsprintf(conn, "'%" PRId64 "'", *expires) : "NULL";
    if (!text)
        text = "";
    size_t length = strlen(text);
    char *piece = static_cast<char *>(PolDb_Malloc(POLDB_LONGFIELD_CHUNK + 1));
    bool ok = true;
    /* Pieces of at most one chunk, cut between characters: engines that
     * check their text (PostgreSQL) refuse half a UTF-8 character, and
     * reading back joins the pieces to the same bytes either way. */
    size_t offset = 0;
    for (size_t i = 0; ok && (i == 0 || offset < length); i++) {
        size_t n = PolDb_Utf8Prefix(text + offset, length - offset, POLDB_LONGFIELD_CHUNK);
        memcpy(piece, text + offset, n);
        offset += n;
        piece[n] = '\0';
        char *sql = PolDbPsprintf(conn,
                                  "INSERT INTO PolicyDb_LongField (longFieldKey, longFieldIndex, longFieldValue, "
                                  "sessionExpires) VALUES (%s, %d, %s, %s)",
                                  escapedKey, static_cast<int>(i), PolDb_EscapeString(conn, false, false, piece),
                                  expiry);
        ok = PolDb_Exec(conn, sql, "LongFieldAdd");
    }
    free(piece);
    return ok;
}

bool PolDb_LongFieldAddBlob(DbConnection *conn, char **key, const void *bytes, size_t length,
                            const int64_t *expires)
{
    return WithBase64(bytes, length, [&](const char *text) { return PolDb_LongFieldAdd(conn, key, text, expires); });
}

bool PolDb_LongFieldReplace(DbConnection *conn, char **key, const char *text, const int64_t *expires)
{
    if (*key && **key && !DeleteKey(conn, *key))
        return false;
    return PolDb_LongFieldAdd(conn, key, text, expires);
}

bool PolDb_LongFieldReplaceBlob(DbConnection *conn, char **key, const void *bytes, size_t length,
                                const int64_t *expires)
{
    return WithBase64(bytes, length,
                      [&](const char *text) { return PolDb_LongFieldReplace(conn, key, text, expires); });
}

bool PolDb_LongFieldRemove(DbConnection *conn, const char *key)
{
    if (!key || !*key)
        return true;
    return DeleteKey(conn, key);
}

bool PolDb_LongFieldRemoveBlob(DbConnection *conn, const char *key) { return PolDb_LongFieldRemove(conn, key); }

char *PolDb_LongFieldGet(DbConnection *conn, const char *key)
{
    if (!key)
        return nullptr;
    char *sql = PolDbPsprintf(conn,
                              "SELECT longFieldKey, longFieldIndex, longFieldValue, sessionExpires FROM "
                              "PolicyDb_LongField WHERE longFieldKey = %s ORDER BY longFieldIndex",
                              PolDb_EscapeString(conn, false, false, key));
    void *array = nullptr;
    int count = PolDb_SelectArray(conn, sql, ReadRow, &array, sizeof(LongFieldRow), "GetLongField");
    if (count <= 0)
        return nullptr;
    auto *rows = static_cast<LongFieldRow *>(array);
    size_t total = 0;
    for (int i = 0; i < count; i++)
        total += strlen(rows[i].value);
    char *out = static_cast<char *>(PolDb_Malloc(total + 1));
    char *p = out;
    for (int i = 0; i < count; i++) {
        size_t n = strlen(rows[i].value);
        memcpy(p, rows[i].value, n);
        p += n;
    }
    *p = '\0';
    PolDb_FreeArray(array, count, sizeof(LongFieldRow), ReleaseRow);
    return out;
}

bool PolDb_LongFieldGetBlob(DbConnection *conn, const char *key, unsigned char **bytes, size_t *length)
{
    *bytes = nullptr;
    *length = 0;
    char *text = PolDb_LongFieldGet(conn, key);
    if (!text) {
        PolDb_Log("PolDb_LongFieldGetBlob: No data associated with key = %s\n", key ? key : "");
        return false;
    }
    bool ok = PolDb_Base64Decode(text, bytes, length);
    free(text);
    if (!ok) {
        PolDb_Log("PolDb_LongFieldGetBlob: Data associated with key = %s is not a valid base64 encoded string\n",
                  key);
        return false;
    }
    return true;
}

bool PolDb_SessionCleanup(DbConnection *conn)
{
    char *sql = PolDbPsprintf(conn,
                              "DELETE FROM PolicyDb_LongField WHERE sessionExpires IS NOT NULL AND "
                              "sessionExpires <= '%" PRId64 "'",
                              static_cast<int64_t>(time(nullptr)));
    if (Db_Exec(conn, sql))
        return true;
    PolDb_Log("PolDb_SessionCleanup: database error while executing SQL statement: %s\n%s\n",
              Db_GetLastErrorText(conn), sql);
    return false;
}
