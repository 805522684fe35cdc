/* Result texts, the three log functions over the host record, the quiet
 * switch and the text helpers of frame/log.h. */
#include "frame/log.h"

#include <apr_file_io.h>
#include <apr_strings.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

/* The file name every log entry carries, whichever source file logged. */
static const char kLogFile[] = "apps/quensc/frame/log";

/* Longest formatted message; the buffer holds it and its terminating zero. */
enum { kMessageSize = 1024 };

static std::atomic<QuenScHostServer *> g_host{nullptr};
static std::atomic<bool> g_quiet{false};

/* Texts of codes 0..45, indexed by code; null marks a code without a text. */
static const char *const kResultTexts[] = {
    "OK",
    "SERVER DID NOT START",
    "INTERNAL",
    "INVALID CONFIG FILE",
    "UNSUPPORTED PROTOCOL",
    "INVALID PARAMETER",
    "INVALID SESSION",
    "SESSION ALREADY OPEN",
    "NO USER DIRECTORY",
    "INSUFFICIENT PRIVILEGES",
    "AUTHENTICATION FAILED",
    "USER ACCOUNT DISABLED",
    "USER ACCOUNT LOCKOUT",
    "USER ACCOUNT EXPIRED",
    "PASSWORD MUST CHANGE",
    "PASSWORD EXPIRED",
    "PASSWORD CANT CHANGE",
    "PASSWORD CHANGE FAILED",
    "QUEN DOES NOT EXIST",
    "PACKAGE DOES NOT EXIST",
    "ACCESS DOES NOT EXIST",
    "INSTANCE DOES NOT EXIST",
    "POLICY DOES NOT EXIST",
    "USER DATA DOES NOT EXIST",
    "MAC POOL DOES NOT EXIST",
    "OBJECT EXISTS",
    "QUEN INSTANCE LIMIT EXCEEDED",
    "QUEN EXPIRED",
    "PACKAGE DISABLED",
    "PACKAGE EXPIRED",
    "INSTANCE CANNOT RUN",
    "INSTANCE CANNOT COPY",
    "ACCESS DENIED",
    "ACCESS EXPIRED",
    "ACCESS INSTANCE LIMIT EXCEEDED",
    "HAS VALID INSTANCES",
    "INVALID MAC ADDRESS FORMAT",
    "MAC POOL EXHAUSTED",
    "FAILED TO CONNECT",
    "CERT HASH CHECK FAILED",
    "LDAP CONNECT FAILED",
    "CERT DID NOT VERIFY",
    "REPLY TOO LARGE",
    "LDAP OBJECT NOT FOUND",
    nullptr, /* 44 was never assigned */
    "INSTANCE IS VALID",
};

const char *QuenScResultText(int code)
{
    const int count = (int)(sizeof kResultTexts / sizeof kResultTexts[0]);
    if (code < 0 || code >= count || !kResultTexts[code])
        return "UNKNOWN ERROR";
    return kResultTexts[code];
}

void QuenScSetLogHost(QuenScHostServer *host)
{
    g_host.store(host);
}

void QuenScSetQuiet(bool quiet)
{
    g_quiet.store(quiet);
}

/* Formats the message (cut at kMessageSize - 1 characters) and hands
 * "QUENSC: " + message to the host, or to stderr without one. line is the
 * caller's line in this file. Never fails. */
static void WriteLine(int line, int level, const char *fmt, va_list args)
{
    char message[kMessageSize];
    if (vsnprintf(message, sizeof message, fmt, args) < 0)
        message[0] = '\0';
    char text[sizeof message + 8];
    snprintf(text, sizeof text, "QUENSC: %s", message);

    QuenScHostServer *host = g_host.load();
    if (host && host->log) {
        host->log(host, kLogFile, line, level, text);
        return;
    }
    const char *name = level == QUENSC_LOG_CRIT ? "crit" : level == QUENSC_LOG_WARNING ? "warn" : "notice";
    fprintf(stderr, "[%s] %s\n", name, text);
}

void QuenScLogInfo(const char *fmt, ...)
{
    if (g_quiet.load())
        return;
    va_list args;
    va_start(args, fmt);
    WriteLine(__LINE__, QUENSC_LOG_NOTICE, fmt, args);
    va_end(args);
}

void QuenScLogError(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    WriteLine(__LINE__, QUENSC_LOG_WARNING, fmt, args);
    va_end(args);
}

void QuenScPanic(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    WriteLine(__LINE__, QUENSC_LOG_CRIT, fmt, args);
    va_end(args);

    QuenScHostServer *host = g_host.load();
    if (host && host->fatal)
        host->fatal("panic()", kLogFile, __LINE__);
    /* No host, or a fatal call that came back after all. */
    abort();
}

bool QuenScIsEmpty(const char *text)
{
    return !text || !*text;
}

/* Appends length bytes to the malloc'd text *buffer (*used bytes in use,
 * *size allocated), keeping it zero-terminated. Panics when out of memory. */
const char *QuenScAsctimeText(apr_pool_t *pool, int64_t seconds)
{
    static const char *const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char *const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    time_t t = static_cast<time_t>(seconds);
    struct tm tm {};
    if (static_cast<int64_t>(t) != seconds || !localtime_r(&t, &tm) || tm.tm_wday < 0 || tm.tm_wday > 6 ||
        tm.tm_mon < 0 || tm.tm_mon > 11)
        return apr_psprintf(pool, "%" APR_INT64_T_FMT "\n", seconds);
    return apr_psprintf(pool, "%.3s %.3s%3d %.2d:%.2d:%.2d %" APR_INT64_T_FMT "\n", kDays[tm.tm_wday],
                        kMonths[tm.tm_mon], tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                        static_cast<int64_t>(tm.tm_year) + 1900);
}

static void Append(char **buffer, size_t *used, size_t *size, const char *bytes, size_t length)
{
    if (*used + length + 1 > *size) {
        size_t grown = *size ? *size : 4097;
        while (*used + length + 1 > grown)
            grown *= 2;
        char *bigger = (char *)realloc(*buffer, grown);
        if (!bigger)
            QuenScPanic("Unrecoverable memory allocation failure at %s:%d", __FILE__, __LINE__);
        *buffer = bigger;
        *size = grown;
    }
    memcpy(*buffer + *used, bytes, length);
    *used += length;
    (*buffer)[*used] = '\0';
}

char *QuenScReadTextFile(apr_pool_t *pool, const char *path)
{
    if (!path)
        return nullptr;

    apr_file_t *file = nullptr;
    apr_status_t status = apr_file_open(&file, path, APR_FOPEN_READ, APR_FPROT_OS_DEFAULT, pool);
    if (status != APR_SUCCESS) {
        char reason[8192];
        apr_strerror(status, reason, sizeof reason);
        QuenScLogError("Failed to open file: %s (%s)", path, reason);
        return nullptr;
    }

    char *text = nullptr;
    size_t used = 0, size = 0;
    apr_off_t count = 0;
    for (;;) {
        char chunk[4097];
        memset(chunk, 0, sizeof chunk);
        apr_size_t got = 4096;
        status = apr_file_read(file, chunk, &got);
        if (status != APR_SUCCESS)
            break;
        if (got > 0) {
            /* the text is a plain string: a zero byte ends this chunk's part */
            Append(&text, &used, &size, chunk, strlen(chunk));
            count += (apr_off_t)got;
        }
    }

    /* Only the end of the file ends a good read; an I/O failure (a folder,
     * a disk error) must not pass for a complete text. */
    if (!APR_STATUS_IS_EOF(status)) {
        char reason[8192];
        apr_strerror(status, reason, sizeof reason);
        QuenScLogError("Failed to read file: %s (%s)", path, reason);
        apr_file_close(file);
        free(text);
        return nullptr;
    }

    QuenScLogInfo("Read text file: %s with %" APR_OFF_T_FMT " bytes.", path, count);
    apr_file_close(file);
    char *result = apr_pstrmemdup(pool, text ? text : "", used);
    free(text);
    return result;
}
