/* The instance query builder: conditions, sort keys, per-engine paging and
 * the count query over the instance table joined with its package and Quen. */
#include "policydb/instanceQuery.h"

#include <apr_strings.h>

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#define QUERY_JOINS                                                                                              \
    "PolicyDb_Instance i JOIN PolicyDb_Package p ON (i.packageUID = p.packageUID) JOIN PolicyDb_Quen a ON "       \
    "(i.quenUID = a.quenUID)"
#define QUERY_SELECT "SELECT " POLDB_INSTANCE_QUALIFIED_COLUMNS " FROM " QUERY_JOINS
#define QUERY_COUNT "SELECT COUNT(*) FROM " QUERY_JOINS
/* Every instance names a package and a Quen that exist (both are only
 * marked deleted, and the instances of a removed preview package go with
 * it), so a count with no clause on their names needs no join. */
#define QUERY_COUNT_PLAIN "SELECT COUNT(*) FROM PolicyDb_Instance i"
#define ORACLE_PAGE_HEAD "SELECT " POLDB_INSTANCE_COLUMNS "  FROM (SELECT q.*, ROWNUM rn from ("
#define ORACLE_PAGE_TAIL ") q WHERE ROWNUM < %" PRId64 ") WHERE rn >= %" PRId64
#define MSSQL_FILL                                                                                               \
    "SELECT " POLDB_INSTANCE_QUALIFIED_COLUMNS " , RowNum = Identity (int, 1, 1) INTO #t FROM " QUERY_JOINS
#define MSSQL_PAGE "SELECT " POLDB_INSTANCE_COLUMNS " FROM #t"
#define MSSQL_DROP "DROP TABLE #t"

namespace {

/* Sort column names by code (index 0 unused); conditions use the same names. */
const char *const kSortColumns[POLDB_QUERY_SORT_COLUMNS + 1] = {
    nullptr,           "instanceUID",       "i.packageUID",      "i.quenUID",         "p.pkgName",
    "a.quenName",      "creatorIdName",     "creatorIdData",     "creatorAuthType",   "activationDate",
    "lastPolicyCheck", "revocationDate",    "replacementDate",   "inheritsExpiration", "insUseValidDates",
    "insValidDateStart", "insValidDateEnd", "copyProtectionId",  "insPreview",        "hostName",
    "hostIp",          "guestMacAddress",   "guestMachineName",  "guestConfigStatus", "guestConfigMsg",
    "guestIpAddress",  "insTsCreated",      "insTsLastModified", "insCustom1",        "insCustom2",
    "insCustom3",      "insCustom4",        "insCustom5",        "insCustom6",        "insCustom7",
    "insCustom8",      "insCustom9",
};

enum Kind { kText, kInt, kTime, kFlag };

/* The WHERE part under construction: " WHERE " and conditions joined by
 * " AND ". */
class Conditions {
public:
    explicit Conditions(DbConnection *conn) : conn_(conn) { PolDb_TextAppend(&text_, " WHERE "); }
    ~Conditions() { PolDb_TextFree(&text_); }
    Conditions(const Conditions &) = delete;
    Conditions &operator=(const Conditions &) = delete;

    void Text(const char *column, const PolDbQueryText &c)
    {
        if (c.op == POLDB_QUERY_NONE)
            return;
        Add(column, c.op, kText, Lit(c.value1), Lit(c.value2));
        if (c.op == POLDB_QUERY_LIKE && conn_->engine == DB_ENGINE_SQLITE)
            PrefixRange(column, c.value1);
    }
    void Int(const char *column, const PolDbQueryInt &c)
    {
        if (c.op == POLDB_QUERY_NONE)
            return;
        Add(column, c.op, kInt, PolDbPsprintf(conn_, "%d", c.value1), PolDbPsprintf(conn_, "%d", c.value2));
    }
    /* An integer range on a column that is not part of the query record. */
    void Int64Range(const char *column, int64_t from, int64_t below)
    {
        Add(column, POLDB_QUERY_RANGE, kInt, PolDbPsprintf(conn_, "%" PRId64, from),
            PolDbPsprintf(conn_, "%" PRId64, below));
    }
    void Time(const char *column, const PolDbQueryTime &c)
    {
        if (c.op == POLDB_QUERY_NONE)
            return;
        Add(column, c.op, kTime, PolDbPsprintf(conn_, "'%020" PRId64 "'", c.value1),
            PolDbPsprintf(conn_, "'%020" PRId64 "'", c.value2));
    }
    void Flag(const char *column, int op, int value)
    {
        if (op == POLDB_QUERY_NONE)
            return;
        Add(column, op, kFlag, value ? "'TRUE'" : "'FALSE'", nullptr);
    }
    void UidList(const PolDbQueryTextList &c)
    {
        if (c.op == POLDB_QUERY_NONE)
            return;
        if (c.op != POLDB_QUERY_IN) {
            Wrong("instanceUID");
            return;
        }
        if (!c.values || !c.values[0]) {
            /* The empty set holds no instance. */
            Next();
            PolDb_TextAppend(&text_, "1 = 0");
            return;
        }
        Next();
        PolDb_TextAppend(&text_, "instanceUID IN (");
        for (const char *const *v = c.values; *v; v++) {
            if (v != c.values)
                PolDb_TextAppend(&text_, ", ");
            PolDb_TextAppend(&text_, Lit(*v));
        }
        PolDb_TextAppend(&text_, ")");
    }
    PolDbText &text() { return text_; }

private:
    const char *Lit(const char *value) { return PolDb_EscapeString(conn_, false, false, value); }

    /* SQLite uses no index for a LIKE on an expression. A pattern with a
     * literal head also bounds lower(column) to the range of texts with
     * that head, which the lower() index serves; the LIKE still decides.
     * The head ends at the first wildcard or non-ASCII byte (SQLite folds
     * ASCII case only). */
    void PrefixRange(const char *column, const char *pattern)
    {
        std::string head;
        for (const char *p = pattern ? pattern : ""; *p; p++) {
            char ch = *p;
            if (ch == '%' || ch == '_')
                break;
            if (ch == '\\') {
                ch = *++p;
                if (!ch)
                    break;
            }
            if (static_cast<unsigned char>(ch) >= 0x80)
                break;
            head += static_cast<char>(tolower(static_cast<unsigned char>(ch)));
        }
        std::string above = head;
        while (!above.empty() && above.back() == 0x7f)
            above.pop_back();
        if (above.empty())
            return;
        above.back()++;
        Next();
        PolDb_TextAppendf(&text_, "lower(%s) >= %s AND lower(%s) < %s", column, Lit(head.c_str()), column,
                          Lit(above.c_str()));
    }

    static void Wrong(const char *column)
    {
        PolDb_Log("Wrong search clause for %s specified in InstanceQuery, ignoring\n", column);
    }

    void Next()
    {
        if (!first_)
            PolDb_TextAppend(&text_, " AND ");
        first_ = false;
    }

    void Add(const char *c, int op, Kind kind, const char *v1, const char *v2)
    {
        bool ordered = kind != kFlag; /* text, int and time compare by order */
        switch (op) {
        case POLDB_QUERY_EQ:
            Next();
            PolDb_TextAppendf(&text_, "%s = %s", c, v1);
            return;
        case POLDB_QUERY_LT:
        case POLDB_QUERY_LE:
        case POLDB_QUERY_GT:
        case POLDB_QUERY_GE:
            if (!ordered)
                break;
            Next();
            PolDb_TextAppendf(&text_,
                              op == POLDB_QUERY_LT   ? "%s < %s"
                              : op == POLDB_QUERY_LE ? "%s <= %s"
                              : op == POLDB_QUERY_GT ? "%s > %s"
                                                     : "%s >= %s",
                              c, v1);
            return;
        case POLDB_QUERY_LIKE:
            if (kind != kText)
                break;
            Next();
            PolDb_TextAppendf(&text_, "lower(%s) LIKE lower(%s) ESCAPE %s", c, v1, Lit("\\"));
            return;
        case POLDB_QUERY_RANGE:
            if (!ordered)
                break;
            Next();
            PolDb_TextAppendf(&text_, "%s >= %s AND %s < %s", c, v1, c, v2);
            return;
        case POLDB_QUERY_RANGE_INCL:
            if (!ordered)
                break;
            Next();
            PolDb_TextAppendf(&text_, "%s >= %s AND %s <= %s", c, v1, c, v2);
            return;
        default:
            break;
        }
        Wrong(c);
    }

    DbConnection *conn_;
    PolDbText text_{};
    bool first_ = true;
};

/* Appends the conditions of the query (live rows first) in their fixed
 * order. */
void AddConditions(Conditions &w, const PolDbInstanceQuery &q)
{
    w.Flag("i.deleted", POLDB_QUERY_EQ, 0);
    w.UidList(q.uid);
    w.Text("i.packageUID", q.packageUID);
    w.Text("i.quenUID", q.quenUID);
    w.Text("p.pkgName", q.packageName);
    w.Text("a.quenName", q.quenName);
    w.Text("creatorIdName", q.creatorIdName);
    w.Text("creatorIdData", q.creatorIdData);
    w.Int("creatorAuthType", q.creatorAuthType);
    w.Time("activationDate", q.activationDate);
    w.Time("lastPolicyCheck", q.lastPolicyCheck);
    w.Time("revocationDate", q.revocationDate);
    w.Time("replacementDate", q.replacementDate);
    w.Flag("inheritsExpiration", q.inheritsExpiration.op, q.inheritsExpiration.value);
    w.Flag("insUseValidDates", q.useValidDates.op, q.useValidDates.value);
    w.Time("insValidDateStart", q.validDateStart);
    w.Time("insValidDateEnd", q.validDateEnd);
    w.Text("copyProtectionId", q.copyProtectionId);
    w.Flag("insPreview", q.preview.op, q.preview.value);
    w.Text("hostName", q.hostName);
    w.Text("hostIp", q.hostIp);
    w.Text("guestIpAddress", q.guestIpAddress);
    w.Text("guestMacAddress", q.guestMacAddress);
    w.Text("guestMachineName", q.guestMachineName);
    w.Int("guestConfigStatus", q.guestConfigStatus);
    w.Text("guestConfigMsg", q.guestConfigMsg);
    w.Time("insTsCreated", q.tsCreated);
    w.Time("insTsLastModified", q.tsLastModified);
    for (int i = 0; i < POLDB_INSTANCE_CUSTOM_FIELDS; i++)
        w.Text(kSortColumns[28 + i], q.custom[i]);
}

/* Appends " ORDER BY " and the sort keys. The first invalid key ends the
 * list; a key already written is skipped (some engines refuse a column
 * twice in ORDER BY). activationDate DESC closes the list unless a key
 * named it, so it breaks the ties of every other order. */
void AddSorting(PolDbText *text, const PolDbInstanceQuery &q)
{
    PolDb_TextAppend(text, " ORDER BY ");
    bool written[POLDB_QUERY_SORT_COLUMNS + 1] = {};
    bool any = false;
    for (const PolDbQuerySort &key : q.sort) {
        if (key.column < 1 || key.column > POLDB_QUERY_SORT_COLUMNS) {
            PolDb_Log("Wrong sort clause %d specified in InstanceQuery, ignoring\n", key.column);
            break;
        }
        if (written[key.column])
            continue;
        written[key.column] = true;
        PolDb_TextAppendf(text, "%s%s %s", any ? ", " : "", kSortColumns[key.column],
                          key.descending ? "DESC" : "ASC");
        any = true;
    }
    if (!written[POLDB_QUERY_SORT_ACTIVATION_DATE])
        PolDb_TextAppendf(text, "%sactivationDate DESC", any ? ", " : "");
}

/* Moves a builder text into the connection's pool. */
const char *ToPool(DbConnection *conn, PolDbText *text)
{
    const char *out = apr_pstrdup(conn->pool, text->data ? text->data : "");
    if (!out)
        POLDB_ALLOC_FAILED();
    PolDb_TextFree(text);
    return out;
}

} // namespace

bool PolDb_InstanceQueryBuild(DbConnection *conn, const PolDbInstanceQuery *query, PolDbInstanceQuerySql *sql)
{
    *sql = PolDbInstanceQuerySql{};
    const PolDbInstanceQuery &q = *query;
    if (q.pageSize < 0 || q.pageStart < 0) {
        PolDb_Log("Wrong page (size %d, start %d) specified in InstanceQuery\n", q.pageSize, q.pageStart);
        return false;
    }
    bool paged = q.pageSize != 0;
    /* Row numbers are 1-based; 64-bit arithmetic keeps every bound exact. */
    int64_t first = static_cast<int64_t>(q.pageStart) + 1;
    int64_t end = first + q.pageSize;

    Conditions where(conn);
    AddConditions(where, q);
    PolDbText body{};
    PolDb_TextAppend(&body, where.text().data);
    AddSorting(&body, q);

    PolDbText text{};
    if (paged && conn->engine == DB_ENGINE_ORACLE) {
        PolDb_TextAppend(&text, ORACLE_PAGE_HEAD QUERY_SELECT);
        PolDb_TextAppend(&text, body.data);
        PolDb_TextAppendf(&text, ORACLE_PAGE_TAIL, end, first);
    } else if (paged && conn->engine == DB_ENGINE_MSSQL) {
        PolDb_TextAppend(&text, MSSQL_FILL);
        PolDb_TextAppend(&text, body.data);
        sql->prepare = ToPool(conn, &text);
        Conditions rows(conn);
        rows.Int64Range("RowNum", first, end);
        PolDb_TextAppend(&text, MSSQL_PAGE);
        PolDb_TextAppend(&text, rows.text().data);
        sql->cleanup = MSSQL_DROP;
    } else {
        PolDb_TextAppend(&text, QUERY_SELECT);
        PolDb_TextAppend(&text, body.data);
        if (paged)
            PolDb_TextAppendf(&text, " LIMIT %u OFFSET %u", static_cast<unsigned>(q.pageSize),
                              static_cast<unsigned>(q.pageStart));
    }
    PolDb_TextFree(&body);
    sql->select = ToPool(conn, &text);
    return true;
}

char *PolDb_InstanceQueryCountSql(DbConnection *conn, const PolDbInstanceQuery *query)
{
    Conditions where(conn);
    AddConditions(where, *query);
    bool joined = query->packageName.op != POLDB_QUERY_NONE || query->quenName.op != POLDB_QUERY_NONE;
    return PolDbPsprintf(conn, "%s%s", joined ? QUERY_COUNT : QUERY_COUNT_PLAIN, where.text().data);
}

bool PolDb_InstanceQuery(DbConnection *conn, const PolDbInstanceQuery *query, PolDbInstance **instances, int *count)
{
    *instances = nullptr;
    *count = -1;
    PolDbInstanceQuerySql sql;
    if (!PolDb_InstanceQueryBuild(conn, query, &sql))
        return false;
    if (sql.prepare && !PolDb_Exec(conn, sql.prepare, "InstanceQuery"))
        return false;
    void *array = nullptr;
    int n = PolDb_SelectArray(conn, sql.select, PolDb_InstanceReadRow, &array, sizeof(PolDbInstance),
                              "InstanceEnumerate");
    /* A failed select has rolled the transaction back, and with it the
     * creation of the temporary table: there is nothing left to drop. */
    if (n < 0)
        return false;
    if (sql.cleanup && !PolDb_Exec(conn, sql.cleanup, "InstanceQuery")) {
        PolDb_InstanceFreeArray(static_cast<PolDbInstance *>(array), n);
        return false;
    }
    *instances = static_cast<PolDbInstance *>(array);
    *count = n;
    return true;
}

bool PolDb_InstanceQueryCount(DbConnection *conn, const PolDbInstanceQuery *query, int *count)
{
    *count = 0;
    char *value = SelectSingleString(conn, PolDb_InstanceQueryCountSql(conn, query));
    if (!value)
        return false;
    /* strtoll saturates instead of overflowing like atoi. */
    long long n = strtoll(value, nullptr, 10);
    free(value);
    *count = n < 0 ? 0 : (n > INT_MAX ? INT_MAX : static_cast<int>(n));
    return true;
}
