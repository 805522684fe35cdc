/* The ODBC store: the eight store operations and the six row operations over
 * an ODBC 3 driver manager (unixODBC), for PostgreSQL, Microsoft SQL Server
 * and Oracle. It owns the process-wide ODBC environment and the cached engine
 * code, detects the engine of a new connection, talks to the driver in UTF-16
 * while the rest of the library uses UTF-8, and turns driver diagnostics into
 * log lines and connection errors. */
#include "store/stores.h"

#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <clocale>
#include <cstring>
#include <locale.h>
#include <string>

namespace {

SQLHENV g_env = SQL_NULL_HENV;
std::atomic<int> g_engine{DB_ENGINE_UNKNOWN};
std::atomic<bool> g_refusedVersion3{false};

constexpr SQLLEN kReadBuffer = 8000;   /* bytes per SQLGetData piece */

struct OdbcResultSet {
    DbResultSet base;   /* must stay first: the row operations */
    DbConnection *conn;
    SQLHSTMT stmt;
    SQLSMALLINT columns;
    long row;           /* -1 before the first fetch */
};

SQLHDBC Dbc(DbConnection *conn) { return static_cast<SQLHDBC>(conn->handle); }

/* Records the outcome of a driver call. Success records (0, "OK") and
 * returns true; success with info counts as success. Anything else logs
 * every diagnostic record of the statement handle in use (else the
 * connection, else the environment), keeps the first one as the
 * connection's error and returns false. */
bool Diagnose(DbConnection *conn, SQLRETURN rc, SQLSMALLINT type = 0, SQLHANDLE handle = nullptr)
{
    if (rc == SQL_SUCCESS) {
        if (conn)
            Db_SetError(conn, 0, "OK");
        return true;
    }
    if (!handle) {
        if (conn && conn->stmt) {
            type = SQL_HANDLE_STMT;
            handle = conn->stmt;
        } else if (conn && conn->handle) {
            type = SQL_HANDLE_DBC;
            handle = conn->handle;
        } else {
            type = SQL_HANDLE_ENV;
            handle = g_env;
        }
    }
    bool first = true;
    for (SQLSMALLINT record = 1; handle; record++) {
        SQLCHAR state[8] = {0};
        SQLCHAR message[1024] = {0};
        SQLINTEGER native = 0;
        SQLSMALLINT length = 0;
        SQLRETURN d = SQLGetDiagRec(type, handle, record, state, &native, message, sizeof message, &length);
        if (d != SQL_SUCCESS && d != SQL_SUCCESS_WITH_INFO)
            break;
        /* "state:record:native:message", at most 1023 bytes. */
        std::string line = std::string(reinterpret_cast<char *>(state)) + ":" + std::to_string(record) + ":" +
                           std::to_string(native) + ":" + reinterpret_cast<char *>(message);
        line.resize(PolDb_Utf8Prefix(line.data(), line.size(), 1023));
        PolDb_Log("%s\n", line.c_str());
        if (first && rc != SQL_SUCCESS_WITH_INFO && conn)
            Db_SetError(conn, rc, line.c_str());
        first = false;
        if (type == SQL_HANDLE_DBC && rc == SQL_SUCCESS_WITH_INFO &&
            strstr(reinterpret_cast<char *>(message), "Driver does not support the requested version"))
            g_refusedVersion3 = true;
    }
    if (rc == SQL_SUCCESS_WITH_INFO) {
        if (conn)
            Db_SetError(conn, 0, "OK");
        return true;
    }
    if (first && conn)
        Db_SetError(conn, rc, "ODBC call failed without a diagnostic record");
    return false;
}

void FreeStatement(DbConnection *conn, SQLHSTMT stmt)
{
    if (!stmt)
        return;
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    if (conn->stmt == stmt)
        conn->stmt = nullptr;
}

bool AllocStatement(DbConnection *conn, SQLHSTMT *stmt)
{
    *stmt = SQL_NULL_HSTMT;
    SQLRETURN rc = SQLAllocHandle(SQL_HANDLE_STMT, Dbc(conn), stmt);
    if (!SQL_SUCCEEDED(rc))
        return Diagnose(conn, rc, SQL_HANDLE_DBC, Dbc(conn));
    conn->stmt = *stmt;
    return true;
}

/* Runs a driver call under a UTF-8 character type on this thread only.
 * Drivers turn UTF-16 into their client encoding with the C library's
 * locale-dependent converters; under the "C" locale that web servers run
 * with, every non-ASCII character would fail ("invalid string conversion")
 * and read back as "". The process-wide locale stays as it is. */
class Utf8CharacterType {
public:
    Utf8CharacterType()
    {
        static locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
        if (utf8)
            previous_ = uselocale(utf8);
    }
    ~Utf8CharacterType()
    {
        if (previous_)
            uselocale(previous_);
    }
    Utf8CharacterType(const Utf8CharacterType &) = delete;
    Utf8CharacterType &operator=(const Utf8CharacterType &) = delete;

private:
    locale_t previous_ = static_cast<locale_t>(0);
};

/* Executes one statement text on stmt in UTF-16; a text that is not valid
 * UTF-8 goes to the driver as it is. "No data" (an UPDATE or DELETE that
 * touched no row) is a success. */
bool ExecDirect(DbConnection *conn, SQLHSTMT stmt, const char *sql, size_t length)
{
    Utf8CharacterType characterType;
    std::u16string wide;
    SQLRETURN rc;
    if (PolDb_Utf8ToUtf16(sql, length, &wide)) {
        rc = SQLExecDirectW(stmt, reinterpret_cast<SQLWCHAR *>(wide.data()), static_cast<SQLINTEGER>(wide.size()));
    } else {
        PolDb_Log("SQLExecDirectWrapper: Could not convert to Unicode.\n");
        std::string narrow(sql, length);
        rc = SQLExecDirect(stmt, reinterpret_cast<SQLCHAR *>(narrow.data()), static_cast<SQLINTEGER>(length));
    }
    if (rc == SQL_NO_DATA) {
        Db_SetError(conn, 0, "OK");
        return true;
    }
    return Diagnose(conn, rc, SQL_HANDLE_STMT, stmt);
}

/* ---- row operations ---------------------------------------------------------- */

OdbcResultSet *Rs(DbResultSet *rs) { return reinterpret_cast<OdbcResultSet *>(rs); }

bool RowNext(DbResultSet *rs)
{
    OdbcResultSet *s = Rs(rs);
    SQLRETURN rc = SQLFetch(s->stmt);
    if (rc == SQL_NO_DATA)
        return false;
    if (!Diagnose(s->conn, rc, SQL_HANDLE_STMT, s->stmt))
        return false;
    s->row++;
    return true;
}

int RowGetInt(DbResultSet *rs, int col)
{
    OdbcResultSet *s = Rs(rs);
    SQLINTEGER value = 0;
    SQLLEN indicator = 0;
    SQLRETURN rc = SQLGetData(s->stmt, static_cast<SQLUSMALLINT>(col + 1), SQL_C_SLONG, &value, 0, &indicator);
    if (!Diagnose(s->conn, rc, SQL_HANDLE_STMT, s->stmt) || indicator == SQL_NULL_DATA)
        return 0;
    return value;
}

/* The whole column as UTF-8, newly allocated; "" for NULL or an error. The
 * value is read in pieces, so no length is cut off. */
char *RowGetString(DbResultSet *rs, int col)
{
    Utf8CharacterType characterType;
    OdbcResultSet *s = Rs(rs);
    std::u16string wide;
    char16_t buffer[kReadBuffer / sizeof(char16_t)];
    for (;;) {
        SQLLEN indicator = 0;
        SQLRETURN rc = SQLGetData(s->stmt, static_cast<SQLUSMALLINT>(col + 1), SQL_C_WCHAR, buffer,
                                  sizeof buffer, &indicator);
        if (rc == SQL_NO_DATA)
            break;
        if (!Diagnose(s->conn, rc, SQL_HANDLE_STMT, s->stmt) || indicator == SQL_NULL_DATA)
            return PolDb_Strdup("");
        size_t units;
        if (indicator == SQL_NO_TOTAL || indicator >= static_cast<SQLLEN>(sizeof buffer)) {
            units = sizeof buffer / sizeof(char16_t) - 1;   /* a full piece, less the terminator */
        } else {
            units = static_cast<size_t>(indicator) / sizeof(char16_t);
        }
        wide.append(buffer, units);
        if (rc == SQL_SUCCESS)
            break;
    }
    std::string utf8;
    if (!PolDb_Utf16ToUtf8(wide, &utf8)) {
        PolDb_Log("OdbcRsGetString: Could not convert from Unicode to UTF-8\n");
        utf8.assign(reinterpret_cast<const char *>(wide.data()), wide.size() * sizeof(char16_t));
    }
    char *out = static_cast<char *>(PolDb_Malloc(utf8.size() + 1));
    memcpy(out, utf8.data(), utf8.size());
    out[utf8.size()] = '\0';
    return out;
}

int64_t RowGetInt64(DbResultSet *rs, int col)
{
    char *text = RowGetString(rs, col);
    int64_t value = PolDb_ParseInt64(text);
    free(text);
    return value;
}

bool RowGetBool(DbResultSet *rs, int col)
{
    char *text = RowGetString(rs, col);
    bool value = PolDb_StrToBool(text);
    free(text);
    return value;
}

int64_t RowGetTimestamp(DbResultSet *rs, int col) { return RowGetInt64(rs, col); }

const DbRowOps kRowOps = {RowNext, RowGetInt, RowGetInt64, RowGetBool, RowGetString, RowGetTimestamp};

/* ---- store operations ---------------------------------------------------------- */

bool StoreCommit(DbConnection *conn);

/* Runs the detection statements of the engines in turn, silently (the probes
 * of the absent engines fail); caches the first that answers. */
void DetectEngine(DbConnection *conn)
{
    static const struct {
        const char *sql;
        int engine;
    } kProbes[] = {
        {"SELECT @@version WHERE @@version LIKE '%Microsoft SQL Server%';", DB_ENGINE_MSSQL},
        {"SELECT version FROM version() WHERE lower(version) LIKE lower('%postgres%');", DB_ENGINE_POSTGRES},
        {"SELECT * FROM v$version WHERE banner LIKE 'Oracle%';", DB_ENGINE_ORACLE},
    };
    PolDb_SuppressLog(true);
    char *version = nullptr;
    int engine = DB_ENGINE_UNKNOWN;
    for (const auto &probe : kProbes) {
        version = SelectSingleString(conn, probe.sql);
        if (version) {
            engine = probe.engine;
            break;
        }
    }
    PolDb_SuppressLog(false);
    if (engine != DB_ENGINE_UNKNOWN)
        PolDb_Log("PolicyDb: detected RDBMS Engine:\n%s\n", version);
    else
        PolDb_Log("PolicyDb: Unsupported ODBC database engine\n");
    free(version);
    Db_Commit(conn);
    if (engine != DB_ENGINE_UNKNOWN)
        g_engine = engine;
}

void Disconnect(DbConnection *conn)
{
    if (conn->stmt)
        FreeStatement(conn, static_cast<SQLHSTMT>(conn->stmt));
    SQLDisconnect(Dbc(conn));
    SQLFreeHandle(SQL_HANDLE_DBC, Dbc(conn));
    conn->handle = nullptr;
}

/* Sets a connection attribute; false after recording the diagnostics. */
bool SetAttr(DbConnection *conn, SQLINTEGER attribute, SQLULEN value)
{
    SQLRETURN rc = SQLSetConnectAttr(Dbc(conn), attribute, reinterpret_cast<SQLPOINTER>(value), SQL_IS_UINTEGER);
    return Diagnose(conn, rc, SQL_HANDLE_DBC, Dbc(conn));
}

bool StoreOpen(DbConnection *conn)
{
    if (!g_env) {
        Db_SetError(conn, -1, "ODBC environment not initialized");
        return false;
    }
    SQLHDBC dbc = SQL_NULL_HDBC;
    SQLRETURN rc = SQLAllocHandle(SQL_HANDLE_DBC, g_env, &dbc);
    if (!Diagnose(conn, rc, SQL_HANDLE_ENV, g_env))
        return false;
    conn->handle = dbc;
    const char *dsn = Db_ModuleDsn();
    const char *user = Db_ModuleUser();
    const char *password = Db_ModulePassword();
    std::string d = dsn ? dsn : "", u = user ? user : "", p = password ? password : "";
    rc = SQLConnect(dbc, reinterpret_cast<SQLCHAR *>(d.data()), SQL_NTS, reinterpret_cast<SQLCHAR *>(u.data()),
                    SQL_NTS, reinterpret_cast<SQLCHAR *>(p.data()), SQL_NTS);
    if (!Diagnose(conn, rc, SQL_HANDLE_DBC, dbc)) {
        SQLFreeHandle(SQL_HANDLE_DBC, dbc);
        conn->handle = nullptr;
        return false;
    }
    bool ok = (!conn->autoTransaction || SetAttr(conn, SQL_ATTR_AUTOCOMMIT, SQL_AUTOCOMMIT_OFF)) &&
              SetAttr(conn, SQL_ATTR_TXN_ISOLATION, SQL_TXN_READ_COMMITTED);
    if (ok && g_engine == DB_ENGINE_UNKNOWN)
        DetectEngine(conn);
    conn->engine = g_engine;
    if (ok && conn->engine == DB_ENGINE_UNKNOWN) {
        Db_SetError(conn, -1, "Unsupported ODBC database engine");
        ok = false;
    }
    if (ok && conn->engine == DB_ENGINE_POSTGRES) {
        /* Literals are written the standard way: a backslash is an ordinary
         * character (PolDb_EscapeString doubles only quotes). A server
         * configured otherwise would read it as an escape. Run directly, not
         * through Db_Exec, so that opening never takes the DB lock. */
        SQLHSTMT stmt;
        static const char kConforming[] = "SET standard_conforming_strings TO on";
        ok = AllocStatement(conn, &stmt);
        if (ok) {
            ok = ExecDirect(conn, stmt, kConforming, sizeof kConforming - 1);
            FreeStatement(conn, stmt);
        }
        ok = ok && StoreCommit(conn);
    }
    if (!ok) {
        Disconnect(conn);
        return false;
    }
    Db_SetError(conn, 0, "OK");
    return true;
}

bool StoreClose(DbConnection *conn)
{
    if (!conn->handle) {
        PolDb_Log("OdbcClose: Already closed\n");
        return true;
    }
    Disconnect(conn);
    Db_SetError(conn, 0, "OK");
    return true;
}

bool StoreBegin(DbConnection *) { return true; }

bool EndTransaction(DbConnection *conn, SQLSMALLINT completion)
{
    if (!conn->handle)
        return false;
    SQLRETURN rc = SQLEndTran(SQL_HANDLE_DBC, Dbc(conn), completion);
    return Diagnose(conn, rc, SQL_HANDLE_DBC, Dbc(conn));
}

bool StoreCommit(DbConnection *conn) { return EndTransaction(conn, SQL_COMMIT); }

bool StoreRollback(DbConnection *conn) { return EndTransaction(conn, SQL_ROLLBACK); }

bool StoreExec(DbConnection *conn, const char *sql)
{
    SQLHSTMT stmt;
    if (!AllocStatement(conn, &stmt))
        return false;
    bool ok = true;
    if (conn->engine == DB_ENGINE_POSTGRES || conn->engine == DB_ENGINE_ORACLE) {
        for (const PolDbStatementPiece &piece : PolDb_SplitStatements(sql)) {
            ok = ExecDirect(conn, stmt, sql + piece.offset, piece.length);
            if (!ok)
                break;
            SQLFreeStmt(stmt, SQL_CLOSE);
        }
    } else {
        ok = ExecDirect(conn, stmt, sql, strlen(sql));
    }
    FreeStatement(conn, stmt);
    return ok;
}

bool StoreQuery(DbConnection *conn, const char *sql, DbResultSet **rs)
{
    *rs = nullptr;
    SQLHSTMT stmt;
    if (!AllocStatement(conn, &stmt))
        return false;
    SQLSMALLINT columns = 0;
    if (!ExecDirect(conn, stmt, sql, strlen(sql)) ||
        !Diagnose(conn, SQLNumResultCols(stmt, &columns), SQL_HANDLE_STMT, stmt)) {
        FreeStatement(conn, stmt);
        return false;
    }
    auto *s = static_cast<OdbcResultSet *>(PolDb_Malloc(sizeof(OdbcResultSet)));
    s->base.ops = &kRowOps;
    s->conn = conn;
    s->stmt = stmt;
    s->columns = columns;
    s->row = -1;
    *rs = &s->base;
    return true;
}

void StoreFreeResult(DbConnection *conn, DbResultSet *rs)
{
    OdbcResultSet *s = Rs(rs);
    FreeStatement(conn, s->stmt);
    free(s);
}

const DbStoreOps kStoreOps = {StoreOpen, StoreClose, StoreBegin, StoreCommit,
                              StoreRollback, StoreExec, StoreQuery, StoreFreeResult};

} // namespace

const DbStoreOps *PolDb_OdbcStoreOps(void) { return &kStoreOps; }

bool PolDb_OdbcCreateEnvironment(int version)
{
    if (g_env) {
        PolDb_Log("ODBC environment already initialized\n");
        return true;
    }
    SQLSetEnvAttr(SQL_NULL_HENV, SQL_ATTR_CONNECTION_POOLING, reinterpret_cast<SQLPOINTER>(SQL_CP_ONE_PER_HENV),
                  SQL_IS_UINTEGER);
    SQLHENV env = SQL_NULL_HENV;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env)))
        return false;
    SQLULEN odbcVersion = version == 2 ? SQL_OV_ODBC2 : SQL_OV_ODBC3;
    SQLRETURN rc = SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(odbcVersion), 0);
    if (!SQL_SUCCEEDED(rc)) {
        Diagnose(nullptr, rc, SQL_HANDLE_ENV, env);
        SQLFreeHandle(SQL_HANDLE_ENV, env);
        return false;
    }
    g_env = env;
    return true;
}

void PolDb_OdbcFreeEnvironment(void)
{
    if (g_env)
        SQLFreeHandle(SQL_HANDLE_ENV, g_env);
    g_env = SQL_NULL_HENV;
    g_engine = DB_ENGINE_UNKNOWN;
}

bool PolDb_OdbcRefusedVersion3(void) { return g_refusedVersion3; }

void PolDb_OdbcClearRefusedVersion3(void) { g_refusedVersion3 = false; }

void PolDb_OdbcNoteRefusedVersion3(void) { g_refusedVersion3 = true; }

bool PolDb_OdbcListDataSources(std::vector<std::string> *names, std::vector<std::string> *descriptions)
{
    names->clear();
    descriptions->clear();
    if (!g_env)
        return false;
    SQLCHAR name[257], description[257];
    SQLSMALLINT nameLength = 0, descriptionLength = 0;
    SQLUSMALLINT direction = SQL_FETCH_FIRST;
    SQLRETURN rc;
    for (;;) {
        rc = SQLDataSources(g_env, direction, name, sizeof name, &nameLength, description, sizeof description,
                            &descriptionLength);
        if (!SQL_SUCCEEDED(rc))
            break;
        names->emplace_back(reinterpret_cast<char *>(name));
        descriptions->emplace_back(reinterpret_cast<char *>(description));
        direction = SQL_FETCH_NEXT;
    }
    if (rc != SQL_NO_DATA) {
        Diagnose(nullptr, rc, SQL_HANDLE_ENV, g_env);
        return false;
    }
    return true;
}

/* ---- texts ------------------------------------------------------------------ */

bool PolDb_Utf8ToUtf16(const char *text, size_t length, std::u16string *out)
{
    out->clear();
    out->reserve(length);
    const auto *p = reinterpret_cast<const unsigned char *>(text);
    const unsigned char *end = p + length;
    while (p < end) {
        uint32_t c = *p;
        int extra;
        if (c < 0x80) {
            extra = 0;
        } else if ((c & 0xE0) == 0xC0) {
            c &= 0x1F;
            extra = 1;
        } else if ((c & 0xF0) == 0xE0) {
            c &= 0x0F;
            extra = 2;
        } else if ((c & 0xF8) == 0xF0) {
            c &= 0x07;
            extra = 3;
        } else {
            return false;
        }
        if (end - p < extra + 1)
            return false;
        for (int i = 1; i <= extra; i++) {
            if ((p[i] & 0xC0) != 0x80)
                return false;
            c = c << 6 | (p[i] & 0x3F);
        }
        static const uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
        if (c < kMinimum[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            return false;   /* over-long form, beyond Unicode, or a surrogate */
        if (c >= 0x10000) {
            c -= 0x10000;
            out->push_back(static_cast<char16_t>(0xD800 | (c >> 10)));
            out->push_back(static_cast<char16_t>(0xDC00 | (c & 0x3FF)));
        } else {
            out->push_back(static_cast<char16_t>(c));
        }
        p += extra + 1;
    }
    return true;
}

bool PolDb_Utf16ToUtf8(const std::u16string &text, std::string *out)
{
    out->clear();
    out->reserve(text.size());
    for (size_t i = 0; i < text.size(); i++) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF)
                return false;
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            i++;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
        if (c < 0x80) {
            out->push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out->push_back(static_cast<char>(0xC0 | c >> 6));
            out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out->push_back(static_cast<char>(0xE0 | c >> 12));
            out->push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out->push_back(static_cast<char>(0xF0 | c >> 18));
            out->push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return true;
}

std::vector<PolDbStatementPiece> PolDb_SplitStatements(const char *sql)
{
    std::vector<PolDbStatementPiece> pieces;
    size_t start = 0;
    char quote = 0;   /* the quote character of the literal or name we are in */
    auto add = [&](size_t end) {
        size_t b = start, e = end;
        while (b < e && isspace(static_cast<unsigned char>(sql[b])))
            b++;
        while (e > b && isspace(static_cast<unsigned char>(sql[e - 1])))
            e--;
        if (e > b)
            pieces.push_back({b, e - b});
    };
    size_t i = 0;
    for (; sql[i]; i++) {
        char c = sql[i];
        if (quote) {
            if (c == quote)
                quote = 0;   /* a doubled quote closes and reopens: same effect */
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == ';') {
            add(i);
            start = i + 1;
        }
    }
    add(i);
    return pieces;
}
