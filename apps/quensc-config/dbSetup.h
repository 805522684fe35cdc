/* The tool's database set-up: a thin layer over the database library's
 * set-up entry points (policydb/db.h), each of which opens the library for
 * one store, does its one step and closes it again, so nothing stays open.
 *
 * Store type texts: "sqlite" is DB_STORE_SQLITE, "odbc" DB_STORE_ODBC; any
 * other text, or none, counts as SQLite. Each operation returns true on
 * success; on failure it sets error to the library's last message, or the
 * operation's own fallback text, or "Unknown DB Error". */
#ifndef QUENSC_CONFIG_DBSETUP_H
#define QUENSC_CONFIG_DBSETUP_H

#include <string>
#include <vector>

/* DB_STORE_SQLITE or DB_STORE_ODBC for a store type text (null logs
 * "\t\tTranslateDbType return default value: Invalid argument"). */
int TranslateDbType(const char *type);

/* The ODBC data sources of the system (names and descriptions, in the
 * driver manager's order). Success with none is possible. */
bool QcfgDB_GetDSNList(std::vector<std::string> &names, std::vector<std::string> &descriptions,
                       std::string &error);

/* Whether the data source accepts the user and password. */
bool QcfgDB_IsUserValid(const std::string &dsn, const std::string &user, const std::string &password,
                        std::string &error);

/* Whether the store holds the current schema. address is the SQLite file
 * or the data source name; user and password matter for ODBC only. */
bool QcfgDB_CheckSchema(const char *type, const std::string &address, const std::string &user,
                        const std::string &password, std::string &error);
/* Creates a fresh schema, replacing what is there. */
bool QcfgDB_InitializeSchema(const char *type, const std::string &address, const std::string &user,
                             const std::string &password, std::string &error);
/* Brings an older schema up to the current one (creating it in an empty
 * store). */
bool QcfgDB_UpgradeSchema(const char *type, const std::string &address, const std::string &user,
                          const std::string &password, std::string &error);

#endif
