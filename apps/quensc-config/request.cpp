/* CGI arguments, request facts and reply output over GNU cgicc (request.h). */
#include "request.h"

#include "session.h"
#include "toolLock.h"
#include "toolLog.h"

#include <cgicc/Cgicc.h>
#include <cgicc/CgiEnvironment.h>
#include <cgicc/HTTPCookie.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

std::unique_ptr<cgicc::Cgicc> g_cgi;
bool g_headersSent = false;
bool g_cookiePending = false;
std::string g_cookieId;

const char *Env(const char *name)
{
    const char *v = getenv(name);
    return v ? v : "";
}

/* Lower-case copy, for host and scheme comparisons. */
std::string Lower(std::string s)
{
    for (char &c : s)
        c = (char)tolower((unsigned char)c);
    return s;
}

/* Ends the headers: the session cookie when one is due (HttpOnly,
 * SameSite=Strict, Secure over HTTPS; an empty id removes it), then the
 * blank line. */
void EndHeaders()
{
    if (g_cookiePending) {
        std::string cookie = std::string(QcfgSession_CookieName) + "=" + g_cookieId + "; Path=/; HttpOnly; SameSite=Strict";
        if (g_cookieId.empty())
            cookie += "; Max-Age=0";
        if (QcfgRequest_IsHttps())
            cookie += "; Secure";
        printf("Set-Cookie: %s\r\n", cookie.c_str());
    }
    printf("\r\n");
}

void SendHeaders(const char *type)
{
    if (g_headersSent)
        return;
    g_headersSent = true;
    printf("Content-Type: %s\r\n", type);
    printf("Cache-Control: no-store\r\n");
    printf("X-Content-Type-Options: nosniff\r\n");
    printf("X-Frame-Options: DENY\r\n");
    printf("Referrer-Policy: same-origin\r\n");
    EndHeaders();
}

} // namespace

bool QcfgRequest_Init()
{
    try {
        g_cgi = std::make_unique<cgicc::Cgicc>();
        return true;
    } catch (const std::exception &) {
        /* a body shorter than its Content-Length, or unreadable */
        g_cgi.reset();
        return false;
    }
}

std::string QcfgValue(const char *name, bool *present)
{
    if (present)
        *present = false;
    QcfgLockedCall lock("Value");
    if (!lock.ok() || !g_cgi)
        return std::string();
    cgicc::const_form_iterator it = g_cgi->getElement(name);
    if (it == g_cgi->getElements().end())
        return std::string();
    if (present)
        *present = true;
    return it->getValue();
}

int QcfgIValue(const char *name)
{
    QcfgLockedCall lock("IValue");
    if (!lock.ok())
        return 0;
    std::string v = QcfgValue(name);
    long long n = strtoll(v.c_str(), nullptr, 10);
    return n > INT32_MAX ? INT32_MAX : n < INT32_MIN ? INT32_MIN : (int)n;
}

std::string QcfgValueDefault(const char *name, const char *fallback)
{
    QcfgLockedCall lock("ValueDefault");
    if (!lock.ok())
        return std::string();
    bool present = false;
    std::string v = QcfgValue(name, &present);
    return present ? v : std::string(fallback);
}

QcfgUpload QcfgUploadedFile(const char *field)
{
    QcfgUpload up;
    QcfgLockedCall lock("Value");
    if (!lock.ok() || !g_cgi)
        return up;
    cgicc::const_file_iterator it = g_cgi->getFile(field);
    if (it == g_cgi->getFiles().end())
        return up;
    up.filename = it->getFilename();
    up.contentType = it->getDataType();
    up.data = it->getData();
    return up;
}

std::string QcfgRequest_Method() { return Env("REQUEST_METHOD"); }

std::string QcfgRequest_Cookie(const char *name)
{
    if (!g_cgi)
        return std::string();
    for (const cgicc::HTTPCookie &c : g_cgi->getEnvironment().getCookieList())
        if (c.getName() == name)
            return c.getValue();
    return std::string();
}

std::string QcfgRequest_RemoteAddr() { return Env("REMOTE_ADDR"); }

bool QcfgRequest_IsHttps()
{
    return Lower(Env("HTTPS")) == "on" || Lower(Env("REQUEST_SCHEME")) == "https";
}

bool QcfgRequest_SameSitePost()
{
    if (QcfgRequest_Method() != "POST")
        return false;
    const std::string origin = Lower(Env("HTTP_ORIGIN"));
    if (origin.empty())
        return true; /* no Origin (older clients, scripts): SameSite cookies still guard it */
    const std::string scheme = QcfgRequest_IsHttps() ? "https" : "http";
    std::string host = Lower(Env("HTTP_HOST"));
    if (host.empty())
        return false;
    /* Host carries the port whenever Origin does (a port other than the
     * scheme's default), so the two compare as texts */
    return origin == scheme + "://" + host;
}

void QcfgReply_SetSessionCookie(const std::string &id)
{
    g_cookiePending = true;
    g_cookieId = id;
}

void QcfgReply_ContentType(const char *type)
{
    QcfgLockedCall lock("ContentType");
    if (lock.ok())
        SendHeaders(type);
}

void QcfgReply_Puts(const std::string &text)
{
    QcfgLockedCall lock("Puts");
    if (!lock.ok())
        return;
    SendHeaders("text/plain");
    fwrite(text.data(), 1, text.size(), stdout);
}

void QcfgReply_Error(int code)
{
    /* also written when the lock itself failed, so no locked call here */
    SendHeaders("text/plain");
    printf("%s%d", "ERROR:", code);
    fflush(stdout);
}

bool QcfgReply_CatFile(const std::string &path)
{
    QcfgLockedCall lock("CatFile");
    if (!lock.ok())
        return false;
    FILE *f = fopen(path.c_str(), "rbe");
    if (!f)
        return false;
    char buffer[8192];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0)
        fwrite(buffer, 1, n, stdout);
    fclose(f);
    return true;
}

void QcfgReply_Redirect(const char *url)
{
    QcfgLockedCall lock("Redirecting");
    if (!lock.ok() || g_headersSent)
        return;
    g_headersSent = true;
    printf("Status: 302 Found\r\nLocation: %s\r\nCache-Control: no-store\r\n", url);
    EndHeaders();
}

void QcfgReply_Flush() { fflush(stdout); }
