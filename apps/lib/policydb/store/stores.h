/* Internal to the policy database library: the operation tables of the
 * stores, and the pieces of the module that the stores, the schema and the
 * event type table share. Nothing outside apps/lib/policydb includes this. */
#ifndef QUENSC_POLICYDB_DBSTORES_H
#define QUENSC_POLICYDB_DBSTORES_H

#include "policydb/db.h"

/* The SQLite store's eight operations (engine 1). */
const DbStoreOps *PolDb_SqliteStoreOps(void);

/* The schema of version 216 as one statement text (statements joined by
 * ';'), the lowercase index script, and the drop list in drop order. */
const char *PolDb_SchemaScript(void);
const char *PolDb_LowercaseIndexScript(void);
extern const char *const PolDb_SchemaTables[];
extern const int PolDb_SchemaTableCount;

/* Brings a schema of an older version up to the current one on conn.
 * Returns false (after logging and setting the module status) on failure. */
bool PolDb_UpgradeDbVersion(DbConnection *conn, int fromVersion);

#endif
