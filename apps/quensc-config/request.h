/* The CGI side of one run: the request's arguments and uploads (GNU cgicc),
 * the facts the security checks need, and the reply (headers once, then the
 * body). Argument reads and reply writes are the tool's locked CGI calls
 * (toolLock.h): when the lock cannot be had the call is skipped and logged.
 *
 * Replies: QcfgReply_Error writes "ERROR:" and the code; every reply is
 * text/plain unless the caller names text/html. The first write sends the
 * headers: the content type, "Cache-Control: no-store", no sniffing, no
 * framing, and the session cookie when one is pending (HttpOnly,
 * SameSite=Strict, Secure over HTTPS). Single-threaded. */
#ifndef QUENSC_CONFIG_REQUEST_H
#define QUENSC_CONFIG_REQUEST_H

#include <string>

/* Parses the CGI environment and standard input. Call once, first. False
 * when the request could not be read: it then has no arguments. */
bool QcfgRequest_Init();

/* The argument's value, "" when missing; *present tells which. */
std::string QcfgValue(const char *name, bool *present = nullptr);
/* The argument read as a decimal integer; 0 when missing or not a number. */
int QcfgIValue(const char *name);
/* The argument's value, or fallback when missing. */
std::string QcfgValueDefault(const char *name, const char *fallback);

/* One uploaded file field: empty name and data when nothing was sent. */
struct QcfgUpload {
    std::string filename;
    std::string contentType;
    std::string data;
};
QcfgUpload QcfgUploadedFile(const char *field);

/* Facts of the request. */
std::string QcfgRequest_Method();       /* "GET", "POST", ... */
std::string QcfgRequest_Cookie(const char *name);
std::string QcfgRequest_RemoteAddr();
bool QcfgRequest_IsHttps();
/* True when the request may change state: a POST, and when it names an
 * Origin, one of this very site (scheme, host and port of the request). */
bool QcfgRequest_SameSitePost();

/* ---- reply ------------------------------------------------------------- */

/* Sets the cookie sent with the headers (an empty id expires it). */
void QcfgReply_SetSessionCookie(const std::string &id);
/* Sends the headers with the content type (once; later calls do nothing). */
void QcfgReply_ContentType(const char *type);
void QcfgReply_Puts(const std::string &text);
/* "ERROR:" and the code (headers first when none were sent). */
void QcfgReply_Error(int code);
/* Appends the file's bytes to the reply; false when it cannot be read. */
bool QcfgReply_CatFile(const std::string &path);
/* A 302 redirect to url (instead of any body). */
void QcfgReply_Redirect(const char *url);
/* Flushes what was written. */
void QcfgReply_Flush();

#endif
