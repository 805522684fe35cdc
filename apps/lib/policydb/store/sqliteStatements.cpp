/* The SQLite store's kept statements: splitting a statement text into its
 * shape and values, and each connection's prepared statements by shape. */
#include "store/sqliteStatements.h"

#include <strings.h>

#include <cstring>

namespace {

/* More values than this are a long IN list or a bulk insert: not kept. */
constexpr size_t kMaxValues = 1000;

/* Character classes of the statement scanner, by byte. */
enum : unsigned char { kPlain = 1, kIdentStart = 2, kIdentChar = 4 };

struct CharClasses {
    unsigned char of[256];
    constexpr CharClasses() : of()
    {
        for (int c = 0; c < 256; c++) {
            const bool start = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c >= 0x80;
            const bool digit = c >= '0' && c <= '9';
            of[c] = static_cast<unsigned char>((start ? kIdentStart : 0) | (start || digit || c == '$' ? kIdentChar : 0));
        }
        /* Operators, brackets and white space: copied as they are. */
        for (const char *c = " \t\n\r\f\v,()=<>!+*%&|~^"; *c; c++)
            of[static_cast<unsigned char>(*c)] = kPlain;
    }
};
constexpr CharClasses kClasses;

bool IsIdentStart(unsigned char c) { return kClasses.of[c] & kIdentStart; }

bool IsIdentChar(unsigned char c) { return kClasses.of[c] & kIdentChar; }

bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }

bool IsSpace(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

bool WordIs(const char *word, size_t length, const char *name)
{
    return strlen(name) == length && strncasecmp(word, name, length) == 0;
}

/* The end of a quoted run starting at p (the opening quote), where close
 * doubled stands for itself; null when it is not closed. */
const char *QuotedEnd(const char *p, char close)
{
    for (const char *q = p + 1;;) {
        q = strchr(q, close);
        if (!q)
            return nullptr;
        if (close != ']' && q[1] == close) {
            q += 2;
            continue;
        }
        return q + 1;
    }
}

/* A whole decimal number of digits [p, end) that fits int64_t. */
bool WholeNumber(const char *p, const char *end, int64_t *value)
{
    uint64_t v = 0;
    for (; p < end; p++) {
        uint64_t digit = static_cast<uint64_t>(*p - '0');
        if (v > (static_cast<uint64_t>(INT64_MAX) - digit) / 10)
            return false;
        v = v * 10 + digit;
    }
    *value = static_cast<int64_t>(v);
    return true;
}

} // namespace

bool PolDb_SqliteShapeOf(const char *sql, SqliteShape *out)
{
    out->key.clear();
    out->values.clear();
    out->texts.clear();
    const char *p = sql;
    while (IsSpace(static_cast<unsigned char>(*p)))
        p++;
    const char *word = p;
    while (IsIdentChar(static_cast<unsigned char>(*p)))
        p++;
    const size_t wordLength = static_cast<size_t>(p - word);
    if (!WordIs(word, wordLength, "SELECT") && !WordIs(word, wordLength, "INSERT") &&
        !WordIs(word, wordLength, "UPDATE") && !WordIs(word, wordLength, "DELETE") &&
        !WordIs(word, wordLength, "REPLACE"))
        return false;
    out->key.reserve(strlen(sql));

    /* The key is sql with the values cut out: runs of it are copied as a
     * whole, from copied up to where a value starts. */
    const char *copied = word;
    auto copyUpTo = [&](const char *upTo) { out->key.append(copied, static_cast<size_t>(upTo - copied)); };
    /* After ORDER BY or GROUP BY a number names a result column: from
     * there on every literal stays in the shape. */
    bool valuesAllowed = true;
    while (*p) {
        if (out->values.size() > kMaxValues)
            return false;
        while (kClasses.of[static_cast<unsigned char>(*p)] & kPlain)
            p++;
        const unsigned char c = static_cast<unsigned char>(*p);
        if (!c)
            break;
        if (c == '\'') {
            const char *end = QuotedEnd(p, '\'');
            if (!end)
                return false;
            if (valuesAllowed) {
                copyUpTo(p);
                out->key += '?';
                copied = end;
                SqliteShape::Value v{true, 0, out->texts.size(), 0};
                const char *q = p + 1, *stop = end - 1;
                while (q < stop) {
                    /* '' stands for one quote. */
                    const auto *quote = static_cast<const char *>(memchr(q, '\'', static_cast<size_t>(stop - q)));
                    if (!quote) {
                        out->texts.append(q, static_cast<size_t>(stop - q));
                        break;
                    }
                    out->texts.append(q, static_cast<size_t>(quote + 1 - q));
                    q = quote + 2;
                }
                v.length = out->texts.size() - v.offset;
                out->values.push_back(v);
            }
            p = end;
        } else if (c == '"' || c == '`' || c == '[') {
            p = QuotedEnd(p, c == '[' ? ']' : static_cast<char>(c));
            if (!p)
                return false;
        } else if (IsIdentStart(c)) {
            const char *start = p;
            while (IsIdentChar(static_cast<unsigned char>(*p)))
                p++;
            const size_t length = static_cast<size_t>(p - start);
            if (length == 1 && (c == 'x' || c == 'X') && *p == '\'') {
                /* A blob literal stays as it is. */
                p = QuotedEnd(p, '\'');
                if (!p)
                    return false;
            } else if (WordIs(start, length, "ORDER") || WordIs(start, length, "GROUP")) {
                valuesAllowed = false;
            }
        } else if (IsDigit(c) || (c == '.' && IsDigit(static_cast<unsigned char>(p[1])))) {
            const char *start = p;
            while (IsDigit(static_cast<unsigned char>(*p)))
                p++;
            int64_t number = 0;
            if (c != '.' && *p != '.' && !IsIdentChar(static_cast<unsigned char>(*p)) && valuesAllowed &&
                WholeNumber(start, p, &number)) {
                copyUpTo(start);
                out->key += '?';
                copied = p;
                out->values.push_back(SqliteShape::Value{false, number, 0, 0});
                continue;
            }
            /* A real, a hexadecimal or an oversized number stays as it is,
             * exponent and all. */
            while (IsIdentChar(static_cast<unsigned char>(*p)) || *p == '.') {
                const char e = *p++;
                if ((e == 'e' || e == 'E') && (*p == '+' || *p == '-') && IsDigit(static_cast<unsigned char>(p[1])))
                    p++;
            }
        } else if (c == '?' || c == ':' || c == '@' || c == '$' || c == '#') {
            return false;   /* parameters of its own */
        } else if ((c == '-' && p[1] == '-') || (c == '/' && p[1] == '*')) {
            return false;   /* comments */
        } else if (c == ';') {
            copyUpTo(p);
            for (p++; *p; p++)
                if (!IsSpace(static_cast<unsigned char>(*p)))
                    return false;   /* a second statement */
            copied = p;
        } else {
            p++;
        }
    }
    copyUpTo(p);
    return out->values.size() <= kMaxValues;
}

SqliteStatements *PolDb_SqliteStatementsCreate(sqlite3 *db)
{
    auto *kept = new SqliteStatements;
    kept->db = db;
    kept->uses = 0;
    return kept;
}

void PolDb_SqliteStatementsDestroy(SqliteStatements *kept)
{
    if (!kept)
        return;
    for (auto &entry : kept->byShape)
        sqlite3_finalize(entry.second.stmt);
    delete kept;
}

namespace {

/* Finalizes and forgets the statement used longest ago. */
void EvictOldest(SqliteStatements *kept)
{
    auto oldest = kept->byShape.begin();
    for (auto it = kept->byShape.begin(); it != kept->byShape.end(); ++it)
        if (it->second.lastUse < oldest->second.lastUse)
            oldest = it;
    if (oldest != kept->byShape.end()) {
        sqlite3_finalize(oldest->second.stmt);
        kept->byShape.erase(oldest);
    }
}

bool Bind(sqlite3_stmt *stmt, const SqliteShape &shape)
{
    if (sqlite3_bind_parameter_count(stmt) != static_cast<int>(shape.values.size()))
        return false;
    for (size_t i = 0; i < shape.values.size(); i++) {
        const SqliteShape::Value &v = shape.values[i];
        const int index = static_cast<int>(i) + 1;
        const int rc = v.isText ? sqlite3_bind_text(stmt, index, shape.texts.data() + v.offset,
                                                    static_cast<int>(v.length), SQLITE_STATIC)
                                : sqlite3_bind_int64(stmt, index, v.number);
        if (rc != SQLITE_OK)
            return false;
    }
    return true;
}

} // namespace

sqlite3_stmt *PolDb_SqliteStatementFor(SqliteStatements *kept, const char *sql)
{
    if (!PolDb_SqliteShapeOf(sql, &kept->shape))
        return nullptr;
    const SqliteShape &shape = kept->shape;
    sqlite3_stmt *stmt = nullptr;
    auto found = kept->byShape.find(shape.key);
    if (found != kept->byShape.end()) {
        stmt = found->second.stmt;
        found->second.lastUse = ++kept->uses;
    } else {
        const char *tail = nullptr;
        if (sqlite3_prepare_v3(kept->db, shape.key.c_str(), static_cast<int>(shape.key.size() + 1),
                               SQLITE_PREPARE_PERSISTENT, &stmt, &tail) != SQLITE_OK ||
            !stmt) {
            sqlite3_finalize(stmt);
            return nullptr;
        }
        if (kept->byShape.size() >= kSqliteKeptMax)
            EvictOldest(kept);
        kept->byShape.emplace(shape.key, SqliteStatements::Kept{stmt, ++kept->uses});
    }
    if (!Bind(stmt, shape)) {
        PolDb_SqliteStatementDone(stmt);
        return nullptr;
    }
    return stmt;
}

void PolDb_SqliteStatementDone(sqlite3_stmt *stmt)
{
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
}
