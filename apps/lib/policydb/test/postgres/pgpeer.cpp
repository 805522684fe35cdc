/* A database of its own on the tests' PostgreSQL peer. */
#include "pgpeer.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace {

bool Run(const std::string &command) { return system(command.c_str()) == 0; }

/* One ODBCSYSINI folder per test process, set before the first connection
 * (the driver manager reads it from the environment). */
const std::string &OdbcDir()
{
    static const std::string dir = [] {
        std::string d = "/tmp/quensc-odbc-ut-" + std::to_string(getpid());
        setenv("ODBCSYSINI", d.c_str(), 1);
        setenv("ODBCINI", (d + "/odbc.ini").c_str(), 1);
        atexit([] { Run("rm -rf /tmp/quensc-odbc-ut-" + std::to_string(getpid())); });
        return d;
    }();
    return dir;
}

} // namespace

PgDatabase::PgDatabase(const std::string &stem)
{
    const char *state = getenv("QUENSC_PG_PEER");
    if (!state || !*state)
        return;
    state_ = state;
    std::ifstream in(state_);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("PG_USER=", 0) == 0)
            user_ = line.substr(8);
        else if (line.rfind("PG_PASSWORD=", 0) == 0)
            password_ = line.substr(12);
    }
    name_ = "quensc_" + stem + "_" + std::to_string(getpid());
    ok_ = Run(std::string(QUENSC_PG_SCRIPT) + " database " + state_ + " " + name_ + " " + OdbcDir());
}

PgDatabase::~PgDatabase()
{
    if (ok_)
        Run(std::string(QUENSC_PG_SCRIPT) + " dropdb " + state_ + " " + name_);
}

DbModuleSettings PgDatabase::Settings() const
{
    DbModuleSettings s{};
    s.storeKind = DB_STORE_ODBC;
    s.dsn = name_.c_str();
    s.user = user_.c_str();
    s.password = password_.c_str();
    s.autoTransaction = true;
    return s;
}
