/* Shared fixtures of the policy database tests: a recording log sink and a
 * scratch SQLite installation that is initialised and torn down per test. */
#ifndef QUENSC_POLICYDB_TESTUTIL_H
#define QUENSC_POLICYDB_TESTUTIL_H

#include "policydb/db.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

/* Captures every line the library logs (log and warning alike). */
struct LogCapture {
    LogCapture();
    ~LogCapture();
    bool Contains(const std::string &needle) const;
    int Count(const std::string &needle) const;
    std::string All() const;
    void Clear();
};

/* A fresh temporary folder holding the database file path(). */
class TempDb : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::string path() const { return dir_ + "/quensc.bin"; }
    /* Initialises the module in the given mode for path(). */
    bool Init(int mode, int *oldVersion = nullptr, int *newVersion = nullptr, DbLockFn lockFn = nullptr,
              void *lockContext = nullptr);
    /* Runs sql with the sqlite3 library directly and returns the first
     * column of the first row ("" when none). */
    std::string Scalar(const std::string &sql) const;
    void Raw(const std::string &sql) const;

    std::string dir_;
    LogCapture log_;
};

/* A fresh schema of the current version and one open connection, conn_,
 * closed (rolling back what is left open) at the end of the test. Seed()
 * runs between the schema and the connection, for rows a test needs. */
class OpenDb : public TempDb {
protected:
    void SetUp() override;
    void TearDown() override;
    virtual void Seed() {}

    DbConnection *conn_ = nullptr;
};

/* What a lookup by key found: the record, or null for none and for a failure
 * alike (tests that tell them apart call the lookup themselves). */
#define BY_KEY(Type, lookup, ...)                  \
    ([&]() -> Type * {                             \
        Type *found_ = nullptr;                    \
        (void)lookup(__VA_ARGS__, &found_);        \
        return found_;                             \
    }())

#endif
