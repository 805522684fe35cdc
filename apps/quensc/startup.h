/* Server start-up (init is exported through host.h) and the data upgrade
 * steps it runs after the database module upgraded an older schema. */
#ifndef QUENSC_STARTUP_H
#define QUENSC_STARTUP_H

#include "server.h"

/* The data step of schema version 215: every live instance's stored clear
 * password becomes its salted hash (instance UID, then the password), and
 * its validity window is computed again. 0, or 2 after the first failure's
 * log line; nothing is committed here (the caller commits or rolls back). */
int QuenScDataUpgradeTo215(i_ctx *ctx);

#endif
