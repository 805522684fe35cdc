/* Server start-up: from the configuration file to a server record with
 * which every handler can run. Wires the frame, the database module and the
 * service's data upgrades together. */
#ifndef QUENSC_STARTUP_H
#define QUENSC_STARTUP_H

#include "frame/server.h"

/* What init does (exported in exports.cpp): sets up logging through host
 * and the crypto library's FIPS mode, reads the configuration file over the
 * defaults and brings it up to date in memory, creates the locks,
 * initialises the database module (upgrading an older schema), runs the
 * data upgrades of the versions passed and reads the certificate files.
 * The server record lives in the host's process pool; null after the
 * failure's log line. */
QuenScServer *QuenScStartup(const char *configPath, QuenScHostServer *host);

#endif
