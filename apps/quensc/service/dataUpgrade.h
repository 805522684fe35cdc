/* The data upgrades that start-up runs after the database module brought an
 * older schema up to date. */
#ifndef QUENSC_DATA_UPGRADE_H
#define QUENSC_DATA_UPGRADE_H

#include "frame/server.h"

/* Runs, in one request context and one transaction, every data step of a
 * version in (oldVersion, newVersion]; nothing when oldVersion is 0 (a new
 * database) or equals newVersion. QUENSC_OK after the commit; QUENSC_INTERNAL
 * after the failure's log line ("Failed during data upgrade"), with nothing
 * committed. */
int QuenScRunDataUpgrades(QuenScServer *server, int oldVersion, int newVersion);

/* The data step of schema version 215: every live instance's stored clear
 * password becomes its salted hash (instance UID, then the password), and
 * its validity window is computed again. QUENSC_OK, or QUENSC_INTERNAL after
 * the first failure's log line; nothing is committed here (the caller
 * commits or rolls back). */
int QuenScDataUpgradeTo215(i_ctx *ctx);

#endif
