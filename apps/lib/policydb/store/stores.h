/* Internal to the policy database library: the operation tables of the
 * stores, and the pieces of the module that the stores, the schema and the
 * event type table share. Nothing outside apps/lib/policydb includes this. */
#ifndef QUENSC_POLICYDB_DBSTORES_H
#define QUENSC_POLICYDB_DBSTORES_H

#include "policydb/db.h"

#include <string>
#include <vector>

/* The SQLite store's eight operations (engine 1). */
const DbStoreOps *PolDb_SqliteStoreOps(void);

/* Called after the planner statistics were refreshed and committed: files
 * the SQLite pool hands out from now on reload them first. */
void PolDb_SqliteStatisticsRefreshed(void);

/* Closes every file the SQLite pool keeps open (module exit: the next
 * module may name another file, or the file may be removed). */
void PolDb_SqliteClosePool(void);

/* The ODBC store's eight operations (engines 2, 3 and 4, found while
 * opening a connection). */
const DbStoreOps *PolDb_OdbcStoreOps(void);

/* The process-wide ODBC environment for ODBC version 2 or 3. Creating it
 * when it exists logs and succeeds; false when the driver manager refuses.
 * Freeing it also forgets the cached engine. Module init and exit only. */
bool PolDb_OdbcCreateEnvironment(int version);
void PolDb_OdbcFreeEnvironment(void);

/* Set while connecting when the driver said it does not support ODBC
 * version 3; Db_ModuleInit then re-creates the environment for version 2. */
bool PolDb_OdbcRefusedVersion3(void);
void PolDb_OdbcClearRefusedVersion3(void);
void PolDb_OdbcNoteRefusedVersion3(void);

/* The data sources the driver manager knows (user and system), in its
 * order. False after logging the diagnostics when the listing failed or
 * there is no environment. */
bool PolDb_OdbcListDataSources(std::vector<std::string> *names, std::vector<std::string> *descriptions);

/* UTF-8 <-> UTF-16. False for malformed input (invalid or over-long UTF-8,
 * a surrogate coded in UTF-8, an unpaired UTF-16 surrogate); out then holds
 * nothing useful. This function can't fail otherwise. */
bool PolDb_Utf8ToUtf16(const char *text, size_t length, std::u16string *out);
bool PolDb_Utf16ToUtf8(const std::u16string &text, std::string *out);

/* Splits a script at every ';' outside a quoted literal ('...') or quoted
 * name ("..."); pieces are trimmed of white space and empty ones dropped. */
struct PolDbStatementPiece {
    size_t offset;
    size_t length;
};
std::vector<PolDbStatementPiece> PolDb_SplitStatements(const char *sql);

/* Module settings the ODBC store connects with (null when not set). */
const char *Db_ModuleUser(void);
const char *Db_ModulePassword(void);

/* While on, PolDb_Log drops its lines (the engine probes of the ODBC store
 * fail on purpose). Calls nest. */
void PolDb_SuppressLog(bool on);

/* The schema of version 216 as one statement text (statements joined by
 * ';'), the lowercase index script, and the drop list in drop order. */
const char *PolDb_SchemaScript(void);
const char *PolDb_LowercaseIndexScript(void);
/* The combined search indices of the instance table (SQLite and PostgreSQL
 * only), each created only when missing; and the script that brings an
 * existing database of either engine to the indices a fresh one has: the
 * lowercase indices and the search indices, each only when missing. The
 * schema check looks at neither, so a database with or without them is
 * current. This function can't fail. */
const char *PolDb_SearchIndexScript(void);
const char *PolDb_MissingSearchIndexScript(void);
extern const char *const PolDb_SchemaTables[];
extern const int PolDb_SchemaTableCount;

/* The INSERT statements of the current event types (joined by ';') whose
 * type keep accepts (every type for a null keep). */
std::string PolDb_EventTypeInserts(bool (*keep)(int type));
/* The CREATE TABLE statement (with the indices that follow it) of one table
 * of the current schema; "" for a name the schema does not have. */
std::string PolDb_SchemaTableScript(const char *table);

/* Brings a schema of an older version up to the current one on conn.
 * Returns false (after logging and setting the module status) on failure. */
bool PolDb_UpgradeDbVersion(DbConnection *conn, int fromVersion);

/* The step an interrupted upgrade left half done (see upgrade.cpp): true with
 * *fromVersion set when the database records one. Module init resumes it
 * even when the version row is missing at that point. */
bool PolDb_UpgradePending(DbConnection *conn, int *fromVersion);

/* Runs the one step that starts at fromVersion (for the engine of conn),
 * with its log lines and status as in PolDb_UpgradeDbVersion. */
bool PolDb_UpgradeOneStep(DbConnection *conn, int fromVersion);

#endif
