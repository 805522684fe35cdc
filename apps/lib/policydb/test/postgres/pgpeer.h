/* A database of its own on the tests' PostgreSQL peer (tests/peers/
 * postgres.sh, its state file named by QUENSC_PG_PEER), reachable through a
 * system data source of the same name in a private ODBCSYSINI shared by
 * every database of the process. Dropped again by the destructor. */
#ifndef QUENSC_POLICYDB_TEST_PGPEER_H
#define QUENSC_POLICYDB_TEST_PGPEER_H

#include "policydb/db.h"

#include <string>

class PgDatabase {
public:
    explicit PgDatabase(const std::string &stem);
    ~PgDatabase();
    PgDatabase(const PgDatabase &) = delete;
    PgDatabase &operator=(const PgDatabase &) = delete;

    bool ok() const { return ok_; }
    const std::string &Name() const { return name_; }
    /* ODBC settings for Db_ModuleInit; texts live as long as this object. */
    DbModuleSettings Settings() const;

private:
    std::string state_, name_, user_, password_;
    bool ok_ = false;
};

#endif
