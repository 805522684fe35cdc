/* Shared fixtures of the policy database tests. */
#include "testutil.h"

#include <apr_general.h>
#include <sqlite3.h>

#include <cstdlib>
#include <mutex>

namespace {
std::mutex g_linesLock;
std::vector<std::string> g_lines;

void Record(const char *text)
{
    std::lock_guard<std::mutex> hold(g_linesLock);
    g_lines.emplace_back(text);
}
} // namespace

LogCapture::LogCapture()
{
    Clear();
    PolDb_SetLogFunctions(Record, Record, nullptr);
}

LogCapture::~LogCapture() { PolDb_SetLogFunctions(nullptr, nullptr, nullptr); }

bool LogCapture::Contains(const std::string &needle) const { return Count(needle) > 0; }

int LogCapture::Count(const std::string &needle) const
{
    std::lock_guard<std::mutex> hold(g_linesLock);
    int n = 0;
    for (const auto &line : g_lines)
        if (line.find(needle) != std::string::npos)
            n++;
    return n;
}

std::string LogCapture::All() const
{
    std::lock_guard<std::mutex> hold(g_linesLock);
    std::string all;
    for (const auto &line : g_lines)
        all += line;
    return all;
}

void LogCapture::Clear()
{
    std::lock_guard<std::mutex> hold(g_linesLock);
    g_lines.clear();
}

void TempDb::SetUp()
{
    apr_initialize();
    char tmpl[] = "/tmp/policydb-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
}

void TempDb::TearDown()
{
    Db_ModuleExit();
    std::string cmd = "rm -rf '" + dir_ + "'";
    (void)system(cmd.c_str());
}

bool TempDb::Init(int mode, int *oldVersion, int *newVersion, DbLockFn lockFn, void *lockContext)
{
    DbModuleSettings s{};
    s.storeKind = DB_STORE_SQLITE;
    std::string p = path();
    s.dsn = p.c_str();
    s.lockFn = lockFn;
    s.lockContext = lockContext;
    int o = 0, n = 0;
    return Db_ModuleInit(&s, mode, oldVersion ? oldVersion : &o, newVersion ? newVersion : &n);
}

std::string TempDb::Scalar(const std::string &sql) const
{
    sqlite3 *db = nullptr;
    sqlite3_open(path().c_str(), &db);
    sqlite3_stmt *st = nullptr;
    std::string out;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW &&
        sqlite3_column_text(st, 0))
        out = reinterpret_cast<const char *>(sqlite3_column_text(st, 0));
    sqlite3_finalize(st);
    sqlite3_close(db);
    return out;
}

void TempDb::Raw(const std::string &sql) const
{
    sqlite3 *db = nullptr;
    sqlite3_open(path().c_str(), &db);
    char *err = nullptr;
    int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err);
    EXPECT_EQ(rc, SQLITE_OK) << (err ? err : "") << " in " << sql;
    sqlite3_free(err);
    sqlite3_close(db);
}

void OpenDb::SetUp()
{
    TempDb::SetUp();
    ASSERT_TRUE(Init(DB_INIT_CREATE_IF_EMPTY));
    Seed();
    conn_ = Db_Open();
    ASSERT_NE(conn_, nullptr);
}

void OpenDb::TearDown()
{
    Db_Close(conn_);
    TempDb::TearDown();
}
