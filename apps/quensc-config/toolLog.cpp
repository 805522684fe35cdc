/* The configuration tool's log file (toolLog.h). */
#include "toolLog.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace {

FILE *g_log = nullptr;
const int kThreshold = 1; /* fixed: level 2 trace lines never reach the file */

void Write(int level, const char *kind, const char *fmt, va_list args)
{
    if (!g_log || level > kThreshold)
        return;
    char message[1024];
    vsnprintf(message, sizeof message, fmt, args);
    char stamp[32];
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    strftime(stamp, sizeof stamp, "%m/%d/%Y %H:%M:%S", &local);
    fprintf(g_log, "%s[%ld]%s%s\n", stamp, (long)getpid(), kind, message);
    fflush(g_log);
}

/* Position just after the next "PWD=" (any case) at or after from. */
size_t FindPwd(const std::string &line, size_t from)
{
    for (size_t i = from; i + 4 <= line.size(); ++i)
        if (strncasecmp(line.c_str() + i, "PWD=", 4) == 0)
            return i + 4;
    return std::string::npos;
}

void LibraryLine(const char *kind, const char *text)
{
    if (!text)
        return;
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    /* a connection text may carry a password ("...;PWD=secret;"): mask it */
    for (size_t at = 0; (at = FindPwd(line, at)) != std::string::npos;) {
        size_t end = line.find(';', at);
        line.replace(at, (end == std::string::npos ? line.size() : end) - at, "**********");
        at += 10;
    }
    if (strcmp(kind, "W") == 0)
        QcfgLogWarning(1, "%s", line.c_str());
    else
        QcfgLogInfo(1, "%s", line.c_str());
}

} // namespace

bool QcfgLog_Open(const std::string &path)
{
    QcfgLog_Close();
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    if (fd < 0)
        return false;
    g_log = fdopen(fd, "a");
    if (!g_log) {
        close(fd);
        return false;
    }
    return true;
}

void QcfgLog_Close()
{
    if (g_log)
        fclose(g_log);
    g_log = nullptr;
}

void QcfgLogInfo(int level, const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    Write(level, "INFO   : ", fmt, args);
    va_end(args);
}

void QcfgLogWarning(int level, const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    Write(level, "WARNING: ", fmt, args);
    va_end(args);
}

void QcfgLog_LibraryLine(const char *text) { LibraryLine("I", text); }
void QcfgLog_LibraryWarning(const char *text) { LibraryLine("W", text); }
