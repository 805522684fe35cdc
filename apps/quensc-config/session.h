/* The tool's session: the values that carry the login state and the
 * configuration values from one request to the next, kept in a file store.
 *
 * Store: one file per session in DIR/tmp ("qcfg-sess-" and the id), mode
 * 0600; the id is 128 random bits from the system's random source as 32
 * lower-case hex digits, carried by the cookie QcfgSession_CookieName. A
 * session idle for QCFG_SESSION_TIMEOUT seconds is gone: its file is removed
 * and a new session begins. Values are loaded when the session opens and
 * written back (under the system-wide lock) by QcfgSession_Save.
 *
 * Value names: a configuration value is named section "/" key
 * (QcfgSess_CreatePath); "IsLoggedIn", "UserRole" and "helpdesk" stand alone.
 * A missing value reads as the empty text or 0. Single-threaded. */
#ifndef QUENSC_CONFIG_SESSION_H
#define QUENSC_CONFIG_SESSION_H

#include <cstdint>
#include <map>
#include <string>

#define QCFG_SESSION_TIMEOUT 900
extern const char QcfgSession_CookieName[];

struct QcfgSession {
    std::string id;         /* empty for a session that lives only in memory */
    std::string folder;     /* DIR/tmp without the trailing slash */
    bool isNew = false;
    bool dirty = false;
    bool destroyed = false;
    std::map<std::string, std::string> values;
};

/* Opens the session named by cookieId in folder, or a new one when the id is
 * malformed, unknown or timed out (expired files in the folder are removed
 * then). Reading and creating take the system-wide lock ("\tLock: Session"
 * when it cannot be had: the session is then new and unsaved). Returns false
 * only when no new id could be drawn. */
bool QcfgSession_Open(QcfgSession &s, const std::string &folder, const std::string &cookieId);

/* Writes the values to the session's file (a temporary file and a rename,
 * mode 0600) under the lock; a session without changes only has its idle
 * time renewed. False when the file cannot be written ("\tLock:
 * SessionAdd" when the lock cannot be had). A destroyed or in-memory
 * session writes nothing and gives true. */
bool QcfgSession_Save(QcfgSession &s);

/* Gives the session a new id (its values kept) and removes the file of the
 * old one, so that an id known before a login is worth nothing after it.
 * False when no new id could be drawn (the session is then unchanged). */
bool QcfgSession_Renew(QcfgSession &s);

/* Removes the session's file and forgets its values. */
void QcfgSession_Destroy(QcfgSession &s);

/* ---- values --------------------------------------------------------------- */

/* Builds the value name of section and key into name: "section/key", or the
 * key alone for an empty section. False (logged "\tQcfgSess_CreatePath
 * Failed: Invalid arguments") for a null or empty key, or a name longer than
 * 1023 bytes. */
bool QcfgSess_CreatePath(const char *section, const char *key, std::string &name);

/* Stores text (null stores "") as section/key. False for an empty key
 * ("\tQcfgSess_StoreStringValue - label is empty") or a failed name. */
bool QcfgSess_StoreStringValue(QcfgSession &s, const char *section, const char *key, const char *text);
bool QcfgSess_StoreIntValue(QcfgSession &s, const char *section, const char *key, int value);
bool QcfgSess_StoreInt64Value(QcfgSession &s, const char *section, const char *key, int64_t value);

/* The stored text, "" when missing. *present (when given) tells whether the
 * value exists at all. */
std::string QcfgSess_RetrieveStringValue(QcfgSession &s, const char *section, const char *key,
                                         bool *present = nullptr);
/* The stored value read as a decimal integer; 0 when missing or empty. */
int QcfgSess_RetrieveIntValue(QcfgSession &s, const char *section, const char *key);
int64_t QcfgSess_RetrieveInt64Value(QcfgSession &s, const char *section, const char *key);

/* True when the value is missing or empty. */
bool QcfgSess_IsEmpty(QcfgSession &s, const char *section, const char *key);

#endif
