/* The configuration tool's own log, DIR/log/quensc-config.log (appended).
 *
 * Each line: the local time "%m/%d/%Y %H:%M:%S", "[" process id "]",
 * "INFO   : " or "WARNING: ", the message (at most 1023 bytes) and a line
 * break. Only messages of level 1 are written; the level 2 trace lines
 * ("ENTER"/"LEAVE") are dropped. Nothing is written before QcfgLog_Open
 * succeeded. No message may carry a clear password or secret: callers log
 * names, paths and codes, never credentials. Single-threaded, like the tool. */
#ifndef QUENSC_CONFIG_TOOLLOG_H
#define QUENSC_CONFIG_TOOLLOG_H

#include <string>

/* Opens (creating, mode 0640) the log at path for appending. Returns false
 * when it cannot be opened; the tool then replies QCFG_ERR_LOG_OPEN (707). */
bool QcfgLog_Open(const std::string &path);

/* Closes the log; later messages are dropped. Safe when not open. */
void QcfgLog_Close();

void QcfgLogInfo(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void QcfgLogWarning(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

/* Library log lines (database library, key warnings) land here as level 1
 * information or warnings; a trailing line break is dropped. */
void QcfgLog_LibraryLine(const char *text);
void QcfgLog_LibraryWarning(const char *text);

#endif
