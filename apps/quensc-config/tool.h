/* What every part of one run of the configuration tool shares: the
 * installation path, the session, whether the server counts as configured,
 * and the handlers that the dispatch table of main.cpp names. */
#ifndef QUENSC_CONFIG_TOOL_H
#define QUENSC_CONFIG_TOOL_H

#include "session.h"

#include <string>

struct QcfgRun {
    std::string path;   /* the installation directory, ending in "/" */
    QcfgSession session;
    bool configured = false;
};

/* Role bits of the tool's users. */
enum {
    QCFG_ROLE_ADMIN_INITIAL = 1,
    QCFG_ROLE_ADMIN = 2,
    QCFG_ROLE_HELPDESK = 4,
};

/* ---- query handlers (handlers.cpp); each replies and returns whether it
 * succeeded, for the tool's log ---------------------------------------- */

bool QueryHandlerSendData(QcfgRun &run, const std::string &page, bool pagePresent);
bool QueryHandlerCommit(QcfgRun &run);
bool QueryHandlerGetDSNList(QcfgRun &run);
bool QueryHandlerCheckDSNData(QcfgRun &run);
bool QueryHandlerCheckLDAPData(QcfgRun &run);
bool QueryHandlerUploadCertFile(QcfgRun &run);
bool QueryHandlerCheckCertifData(QcfgRun &run);
bool QueryHandlerRestart(QcfgRun &run);

/* Slows down guessing of the tool's password: before a login is checked,
 * waits a time that grows with the recent failures of the client address
 * (none after a quiet quarter of an hour); records a failure or clears the
 * record after a success. State lives in DIR/tmp, one small file per
 * address. (loginThrottle.cpp) */
void QcfgThrottle_Wait(const std::string &tmpFolder, const std::string &address);
void QcfgThrottle_Record(const std::string &tmpFolder, const std::string &address, bool failed);
/* The number of recent failures recorded for the address. */
int QcfgThrottle_Failures(const std::string &tmpFolder, const std::string &address);

#endif
