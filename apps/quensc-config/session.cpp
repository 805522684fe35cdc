/* The tool's file session store and its value operations (session.h). */
#include "session.h"

#include "toolLock.h"
#include "toolLog.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

const char QcfgSession_CookieName[] = "QCFGSESSID";

namespace {

const char kPrefix[] = "qcfg-sess-";

bool ValidId(const std::string &id)
{
    if (id.size() != 32)
        return false;
    for (char c : id)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

bool NewId(std::string &id)
{
    unsigned char bytes[16];
    size_t got = 0;
    while (got < sizeof bytes) {
        ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        got += (size_t)n;
    }
    static const char hex[] = "0123456789abcdef";
    id.clear();
    for (unsigned char b : bytes) {
        id += hex[b >> 4];
        id += hex[b & 15];
    }
    return true;
}

std::string FileOf(const QcfgSession &s) { return s.folder + "/" + kPrefix + s.id; }

bool Expired(const struct stat &st)
{
    return time(nullptr) - st.st_mtime > QCFG_SESSION_TIMEOUT;
}

/* Values are kept one a line as name "=" value, with "%", line breaks and
 * other control characters of either written as "%XX". */
std::string Encode(const std::string &text)
{
    std::string out;
    static const char hex[] = "0123456789ABCDEF";
    for (unsigned char c : text) {
        if (c == '%' || c == '=' || c < 0x20 || c == 0x7f) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += (char)c;
        }
    }
    return out;
}

std::string Decode(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && isxdigit((unsigned char)text[i + 1]) &&
            isxdigit((unsigned char)text[i + 2])) {
            out += (char)strtol(text.substr(i + 1, 2).c_str(), nullptr, 16);
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

bool Load(QcfgSession &s)
{
    FILE *f = fopen(FileOf(s).c_str(), "re");
    if (!f)
        return false;
    struct stat st;
    if (fstat(fileno(f), &st) != 0 || Expired(st)) {
        fclose(f);
        unlink(FileOf(s).c_str());
        return false;
    }
    std::string line;
    int c;
    while ((c = fgetc(f)) != EOF) {
        if (c != '\n') {
            line += (char)c;
            continue;
        }
        size_t eq = line.find('=');
        if (eq != std::string::npos)
            s.values[Decode(line.substr(0, eq))] = Decode(line.substr(eq + 1));
        line.clear();
    }
    fclose(f);
    return true;
}

/* Removes the files of sessions that timed out. */
void Reap(const std::string &folder)
{
    DIR *d = opendir(folder.c_str());
    if (!d)
        return;
    while (const struct dirent *e = readdir(d)) {
        if (strncmp(e->d_name, kPrefix, sizeof kPrefix - 1) != 0)
            continue;
        struct stat st;
        std::string path = folder + "/" + e->d_name;
        if (lstat(path.c_str(), &st) == 0 && Expired(st))
            unlink(path.c_str());
    }
    closedir(d);
}

} // namespace

bool QcfgSession_Open(QcfgSession &s, const std::string &folder, const std::string &cookieId)
{
    s = QcfgSession();
    s.folder = folder;
    QcfgLockedCall lock("Session");
    if (lock.ok() && ValidId(cookieId)) {
        s.id = cookieId;
        if (Load(s))
            return true;
        s.values.clear();
    }
    if (!NewId(s.id)) {
        s.id.clear();
        return false;
    }
    s.isNew = true;
    s.dirty = true;
    if (lock.ok())
        Reap(folder);
    return true;
}

bool QcfgSession_Save(QcfgSession &s)
{
    if (s.destroyed || s.id.empty())
        return true;
    QcfgLockedCall lock("SessionAdd");
    if (!lock.ok())
        return false;
    const std::string path = FileOf(s);
    if (!s.dirty) {
        /* renew the idle time only */
        return utimensat(AT_FDCWD, path.c_str(), nullptr, 0) == 0;
    }
    std::string tmp = path + ".tmp";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return false;
    std::string content;
    for (const auto &kv : s.values)
        content += Encode(kv.first) + "=" + Encode(kv.second) + "\n";
    bool ok = true;
    for (size_t off = 0; off < content.size();) {
        ssize_t w = write(fd, content.data() + off, content.size() - off);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            ok = false;
            break;
        }
        off += (size_t)w;
    }
    ok = close(fd) == 0 && ok;
    if (ok && rename(tmp.c_str(), path.c_str()) != 0)
        ok = false;
    if (!ok)
        unlink(tmp.c_str());
    else
        s.dirty = false;
    return ok;
}

bool QcfgSession_Renew(QcfgSession &s)
{
    std::string id;
    if (!NewId(id))
        return false;
    QcfgLockedCall lock("SessionDestroy");
    if (lock.ok() && !s.id.empty())
        unlink(FileOf(s).c_str());
    s.id = id;
    s.isNew = true;
    s.dirty = true;
    return true;
}

void QcfgSession_Destroy(QcfgSession &s)
{
    QcfgLockedCall lock("SessionDestroy");
    if (lock.ok() && !s.id.empty())
        unlink(FileOf(s).c_str());
    s.values.clear();
    s.destroyed = true;
}

bool QcfgSess_CreatePath(const char *section, const char *key, std::string &name)
{
    if (!key || !*key) {
        QcfgLogWarning(1, "\tQcfgSess_CreatePath Failed: Invalid arguments");
        return false;
    }
    name = (section && *section) ? std::string(section) + "/" + key : std::string(key);
    if (name.size() >= 1024) {
        QcfgLogWarning(1, "\tQcfgSess_CreatePath Failed: Invalid arguments");
        return false;
    }
    return true;
}

bool QcfgSess_StoreStringValue(QcfgSession &s, const char *section, const char *key, const char *text)
{
    if (!key || !*key) {
        QcfgLogWarning(1, "\tQcfgSess_StoreStringValue - label is empty");
        return false;
    }
    std::string name;
    if (!QcfgSess_CreatePath(section, key, name)) {
        QcfgLogWarning(1, "\tQcfgSess_StoreStringValue failed: on QcfgSess_CreatePath");
        return false;
    }
    std::string value = text ? text : "";
    auto it = s.values.find(name);
    if (it == s.values.end() || it->second != value) {
        s.values[name] = value;
        s.dirty = true;
    }
    return true;
}

bool QcfgSess_StoreIntValue(QcfgSession &s, const char *section, const char *key, int value)
{
    return QcfgSess_StoreStringValue(s, section, key, std::to_string(value).c_str());
}

bool QcfgSess_StoreInt64Value(QcfgSession &s, const char *section, const char *key, int64_t value)
{
    return QcfgSess_StoreStringValue(s, section, key, std::to_string(value).c_str());
}

std::string QcfgSess_RetrieveStringValue(QcfgSession &s, const char *section, const char *key, bool *present)
{
    if (present)
        *present = false;
    std::string name;
    if (!QcfgSess_CreatePath(section, key, name)) {
        QcfgLogWarning(1, "QcfgSess_RetrieveStringValue(): Error creating path");
        return std::string();
    }
    auto it = s.values.find(name);
    if (it == s.values.end())
        return std::string();
    if (present)
        *present = true;
    return it->second;
}

int QcfgSess_RetrieveIntValue(QcfgSession &s, const char *section, const char *key)
{
    std::string name;
    if (!QcfgSess_CreatePath(section, key, name)) {
        QcfgLogWarning(1, "QcfgSess_RetrieveIntValue(): Error creating path");
        return 0;
    }
    auto it = s.values.find(name);
    if (it == s.values.end())
        return 0;
    long long v = strtoll(it->second.c_str(), nullptr, 10);
    return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : (int)v;
}

int64_t QcfgSess_RetrieveInt64Value(QcfgSession &s, const char *section, const char *key)
{
    std::string name;
    if (!QcfgSess_CreatePath(section, key, name)) {
        QcfgLogWarning(1, "QcfgSess_RetrieveInt64Value(): Error creating path");
        return 0;
    }
    auto it = s.values.find(name);
    if (it == s.values.end() || it->second.empty())
        return 0;
    return (int64_t)strtoll(it->second.c_str(), nullptr, 10);
}

bool QcfgSess_IsEmpty(QcfgSession &s, const char *section, const char *key)
{
    return QcfgSess_RetrieveStringValue(s, section, key).empty();
}
