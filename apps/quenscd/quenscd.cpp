/* quenscd: runs a private Apache httpd for one installation directory.
 *
 *   quenscd --root DIR [--listen ADDR:PORT[s],...] [--libdir PATH] [--user NAME]
 *
 * It prepares DIR (the folders of the installation layout, the modules copied
 * into DIR/lib, the configuration tool into DIR/html/configure.cgi, the tool's
 * start-up file, the restart script), writes DIR/conf/httpd.conf and then
 * becomes `apache2 -f DIR/conf/httpd.conf -DFOREGROUND` (same process id), so
 * signals sent to it go to the web server: SIGUSR1 restarts gracefully, SIGHUP
 * restarts at once, SIGTERM stops.
 *
 * Started as root it gives DIR to an unprivileged user (www-data unless
 * --user says otherwise) and drops to that user before it writes anything or
 * starts the web server; everything the user needs is then inside DIR. A DIR
 * that the user cannot reach is refused before anything is changed.
 *
 * Exit status (only when the web server could not be started): 2 for a usage
 * error, 1 for any other failure, each with one line on stderr. */

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#ifndef QUENSCD_APACHE_BIN
#define QUENSCD_APACHE_BIN "/usr/sbin/apache2"
#endif
#ifndef QUENSCD_APACHE_MODULES
#define QUENSCD_APACHE_MODULES "/usr/lib/apache2/modules"
#endif

namespace {

/* The folders of an installation; all of them belong to the user who runs it. */
const char *const kSubdirs[] = {"conf", "db", "html", "ssl", "log", "tmp", "bin", "lib", "run"};

/* Largest request body the web server accepts (LimitRequestBody). */
const char kBodyLimit[] = "16777216";

struct Listener {
    std::string address;   /* "ADDR:PORT" as Listen and <VirtualHost> take it */
    int port = 0;
    bool https = false;
};

struct Options {
    std::string root;
    std::vector<Listener> listeners;
    std::string libdir;
    std::string user;
};

/* The identity that runs the installation. */
struct RunAs {
    std::string name;
    uid_t uid = 0;
    gid_t gid = 0;
    bool drop = false;   /* true when we are root and must become this user */
};

/* Prints `text` as one line on stderr and ends the program with `status`
 * (2 = usage error, 1 = anything else). Never returns. Nothing needs undoing:
 * every file is written through a temporary file and a rename. */
[[noreturn]] void fail(const std::string &text, int status = 1)
{
    fprintf(stderr, "%s\n", text.c_str());
    exit(status);
}

std::string errnoText(int err)
{
    return strerror(err);
}

const char kUsage[] =
    "usage: quenscd --root DIR [--listen ADDR:PORT[s],...] [--libdir PATH] [--user NAME]\n"
    "  --root DIR     the installation directory (created when missing)\n"
    "  --listen LIST  comma-separated ADDR:PORT; a trailing 's' means HTTPS with\n"
    "                 DIR/ssl/server.key, server.crt and chain.crt (default 127.0.0.1:8080)\n"
    "  --libdir PATH  folder of mod_quensc.so, libquensc.so and configure\n"
    "                 (default: the folder of quenscd)\n"
    "  --user NAME    when started as root, the user that runs the installation\n"
    "                 (default www-data)\n";

/* Parses one ADDR:PORT[s] item. Ends the program (status 2) when malformed. */
Listener parseListener(std::string item)
{
    Listener l;
    if (!item.empty() && item.back() == 's') {
        l.https = true;
        item.pop_back();
    }
    const size_t colon = item.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == item.size())
        fail("quenscd: --listen item '" + item + "' is not ADDR:PORT", 2);
    const std::string host = item.substr(0, colon);
    const std::string port = item.substr(colon + 1);
    if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
        fail("quenscd: --listen item '" + item + "' has no valid port", 2);
    l.port = atoi(port.c_str());
    if (l.port < 1 || l.port > 65535)
        fail("quenscd: --listen item '" + item + "' has a port outside 1..65535", 2);
    for (char c : host)
        if (!(isalnum(static_cast<unsigned char>(c)) || strchr(".:-[]*", c)))
            fail("quenscd: --listen item '" + item + "' has an invalid address", 2);
    if (host.front() == '[' ? host.back() != ']' : host.find(':') != std::string::npos)
        fail("quenscd: --listen item '" + item + "': write IPv6 addresses in brackets", 2);
    l.address = item;
    return l;
}

std::vector<Listener> parseListeners(const std::string &list)
{
    std::vector<Listener> out;
    size_t start = 0;
    while (start <= list.size()) {
        size_t comma = list.find(',', start);
        if (comma == std::string::npos)
            comma = list.size();
        const std::string item = list.substr(start, comma - start);
        if (item.empty())
            fail("quenscd: --listen has an empty item", 2);
        Listener l = parseListener(item);
        for (const Listener &other : out)
            if (other.address == l.address)
                fail("quenscd: --listen names " + l.address + " twice", 2);
        out.push_back(l);
        start = comma + 1;
    }
    return out;
}

Options parseArgs(int argc, char **argv)
{
    Options o;
    std::string listen = "127.0.0.1:8080";
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            fputs(kUsage, stdout);
            exit(0);
        }
        std::string value;
        const size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
        } else if (arg == "--root" || arg == "--listen" || arg == "--libdir" || arg == "--user") {
            if (i + 1 >= argc)
                fail("quenscd: " + arg + " needs a value\n" + kUsage, 2);
            value = argv[++i];
        }
        if (arg == "--root")
            o.root = value;
        else if (arg == "--listen")
            listen = value;
        else if (arg == "--libdir")
            o.libdir = value;
        else if (arg == "--user")
            o.user = value;
        else
            fail("quenscd: unknown argument '" + std::string(argv[i]) + "'\n" + kUsage, 2);
        if (value.empty())
            fail("quenscd: " + arg + " needs a value\n" + kUsage, 2);
    }
    if (o.root.empty())
        fail(std::string("quenscd: --root is required\n") + kUsage, 2);
    o.listeners = parseListeners(listen);
    return o;
}

/* Paths end up in httpd.conf (inside double quotes, where ${...} is expanded)
 * and in a shell script (inside single quotes): refuse what either would
 * misread rather than escape it. */
void checkPathCharacters(const std::string &path, const char *what)
{
    for (char c : path)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f || strchr("\"'\\$`", c))
            fail(std::string("quenscd: ") + what + " '" + path +
                          "' holds a quote, backslash, '$', '`' or control character; "
                          "choose a plainer path");
}

/* Absolute form of `path` without "." / ".." / repeated slashes (lexically;
 * symbolic links are resolved later, once the folder exists). */
std::string absolutePath(const std::string &path)
{
    std::string full = path;
    if (full.empty() || full[0] != '/') {
        char cwd[4096];
        if (!getcwd(cwd, sizeof cwd))
            fail("quenscd: cannot read the working directory: " + errnoText(errno));
        full = std::string(cwd) + "/" + full;
    }
    std::vector<std::string> parts;
    size_t start = 0;
    while (start < full.size()) {
        size_t slash = full.find('/', start);
        if (slash == std::string::npos)
            slash = full.size();
        const std::string part = full.substr(start, slash - start);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = slash + 1;
    }
    std::string out;
    for (const std::string &p : parts)
        out += "/" + p;
    return out.empty() ? "/" : out;
}

std::string realPath(const std::string &path)
{
    char *resolved = realpath(path.c_str(), nullptr);
    if (!resolved)
        fail("quenscd: cannot resolve " + path + ": " + errnoText(errno));
    std::string out = resolved;
    free(resolved);
    return out;
}

std::string selfDirectory()
{
    char buf[4096];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        fail("quenscd: cannot find its own folder (use --libdir): " + errnoText(errno));
    buf[n] = '\0';
    std::string exe = buf;
    return exe.substr(0, exe.rfind('/'));
}

RunAs chooseIdentity(const Options &o)
{
    RunAs r;
    if (geteuid() == 0) {
        r.name = o.user.empty() ? "www-data" : o.user;
        const struct passwd *pw = getpwnam(r.name.c_str());
        if (!pw)
            fail("quenscd: no user named '" + r.name + "' (see --user)");
        if (pw->pw_uid == 0)
            fail("quenscd: the web server does not run as root; name an "
                          "unprivileged user with --user");
        r.uid = pw->pw_uid;
        r.gid = pw->pw_gid;
        r.drop = true;
        return r;
    }
    const struct passwd *pw = getpwuid(geteuid());
    r.name = pw ? pw->pw_name : std::to_string(geteuid());
    r.uid = geteuid();
    r.gid = getegid();
    if (!o.user.empty() && o.user != r.name)
        fail("quenscd: --user " + o.user + " needs root (running as " + r.name + ")");
    return r;
}

/* Becomes `who` for good (supplementary groups, group, user). Returns false
 * with errno set when any step fails. */
bool dropTo(const RunAs &who)
{
    if (initgroups(who.name.c_str(), who.gid) != 0)
        return false;
    if (setgid(who.gid) != 0 || setuid(who.uid) != 0)
        return false;
    if (setuid(0) == 0) {   /* must not be able to come back */
        errno = EPERM;
        return false;
    }
    return true;
}

/* As `who` (in a child process), walks the parent folders of `path` and
 * returns the first one it may not pass through; "" when all are passable.
 * `path` itself is not checked: it is given to the user. A folder that does
 * not exist yet ends the walk (root creates it with mode 0755). */
std::string firstBlockedFolder(const RunAs &who, const std::string &path)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        fail("quenscd: pipe: " + errnoText(errno));
    const pid_t pid = fork();
    if (pid < 0)
        fail("quenscd: fork: " + errnoText(errno));
    if (pid == 0) {
        close(fds[0]);
        std::string answer;
        if (!dropTo(who)) {
            answer = "!cannot become " + who.name + ": " + errnoText(errno);
        } else {
            std::string prefix;
            size_t pos = 0;
            while (pos < path.size()) {
                size_t next = path.find('/', pos + 1);
                if (next == std::string::npos)
                    break;   /* DIR itself is given to the user */
                prefix = path.substr(0, next);
                if (access(prefix.c_str(), X_OK) != 0) {
                    if (errno != ENOENT)
                        answer = prefix;
                    break;
                }
                pos = next;
            }
        }
        if (!answer.empty() && write(fds[1], answer.data(), answer.size()) < 0)
            _exit(1);
        _exit(0);
    }
    close(fds[1]);
    std::string answer;
    char buf[512];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0)
            answer.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!answer.empty() && answer[0] == '!')
        fail("quenscd: " + answer.substr(1));
    return answer;
}

/* mkdir -p with mode 0755 for missing folders. */
void makeDirs(const std::string &path)
{
    std::string prefix;
    size_t pos = 0;
    while (pos < path.size()) {
        size_t next = path.find('/', pos + 1);
        if (next == std::string::npos)
            next = path.size();
        prefix = path.substr(0, next);
        if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST)
            fail("quenscd: cannot create " + prefix + ": " + errnoText(errno));
        pos = next;
    }
}

/* Gives the tree under the open folder `dirfd` to uid:gid without following
 * symbolic links anywhere (the tree may be writable by that user already).
 * `shown` names the folder in messages. */
void chownTree(int dirfd, const std::string &shown, uid_t uid, gid_t gid)
{
    struct stat st;
    if (fstat(dirfd, &st) != 0 || ((st.st_uid != uid || st.st_gid != gid) && fchown(dirfd, uid, gid) != 0))
        fail("quenscd: cannot give " + shown + " to the user: " + errnoText(errno));
    const int listFd = dup(dirfd);
    DIR *d = listFd >= 0 ? fdopendir(listFd) : nullptr;
    if (!d) {
        if (listFd >= 0)
            close(listFd);
        fail("quenscd: cannot list " + shown + ": " + errnoText(errno));
    }
    while (const struct dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
            continue;
        const std::string name = shown + "/" + e->d_name;
        if (fstatat(dirfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;   /* vanished meanwhile */
        if (S_ISDIR(st.st_mode)) {
            const int sub = openat(dirfd, e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub < 0) {
                closedir(d);
                fail("quenscd: cannot open " + name + ": " + errnoText(errno));
            }
            chownTree(sub, name, uid, gid);
            close(sub);
        } else if ((st.st_uid != uid || st.st_gid != gid) &&
                   fchownat(dirfd, e->d_name, uid, gid, AT_SYMLINK_NOFOLLOW) != 0) {
            closedir(d);
            fail("quenscd: cannot give " + name + " to the user: " + errnoText(errno));
        }
    }
    closedir(d);
}

/* Before root gives DIR away: DIR may hold nothing but the installation's
 * folders, so that a mistyped --root (/etc, a home folder) is refused instead
 * of handed to the user. */
void checkLooksLikeInstallation(const std::string &root, const RunAs &who)
{
    DIR *d = opendir(root.c_str());
    if (!d)
        fail("quenscd: cannot list " + root + ": " + errnoText(errno));
    while (const struct dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
            continue;
        bool known = false;
        for (const char *sub : kSubdirs)
            known = known || strcmp(e->d_name, sub) == 0;
        if (!known) {
            const std::string name = e->d_name;
            closedir(d);
            fail("quenscd: " + root + " holds '" + name + "', which is no part of an "
                 "installation; refusing to give it to " + who.name +
                 " (use an empty folder or an existing installation)");
        }
    }
    closedir(d);
}

/* As root: gives DIR and its standard folders (created when missing) to the
 * user. Nothing outside those folders is touched, and no symbolic link is
 * followed. */
void giveInstallation(const std::string &root, const RunAs &who)
{
    const int rootFd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (rootFd < 0)
        fail("quenscd: cannot open " + root + ": " + errnoText(errno));
    if (fchown(rootFd, who.uid, who.gid) != 0)
        fail("quenscd: cannot give " + root + " to " + who.name + ": " + errnoText(errno));
    for (const char *sub : kSubdirs) {
        if (mkdirat(rootFd, sub, 0750) != 0 && errno != EEXIST)
            fail("quenscd: cannot create " + root + "/" + sub + ": " + errnoText(errno));
        struct stat st;
        if (fstatat(rootFd, sub, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
            /* A folder kept elsewhere (say, db on another disk) stays as its
             * administrator set it up; the user must be able to use it. */
            fprintf(stderr, "quenscd: note: %s/%s is a link; its owner is left as it is\n",
                    root.c_str(), sub);
            continue;
        }
        const int fd = openat(rootFd, sub, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            fail("quenscd: " + root + "/" + sub + " is not a folder: " + errnoText(errno));
        chownTree(fd, root + "/" + sub, who.uid, who.gid);
        close(fd);
    }
    close(rootFd);
}

/* Writes `content` (or the bytes of the open file `srcFd`) to `path` through
 * a temporary file in the same folder and a rename, so that a reader (or a
 * running web server that has the old module mapped) never sees half a file. */
void writeFileAtomic(const std::string &path, const std::string &content, mode_t mode, int srcFd = -1)
{
    std::string tmpl = path + ".new.XXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    const int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0)
        fail("quenscd: cannot write " + path + ": " + errnoText(errno));
    auto bail = [&](const std::string &what) {
        const int err = errno;
        close(fd);
        unlink(name.data());
        fail("quenscd: cannot write " + path + " (" + what + "): " + errnoText(err));
    };
    if (srcFd >= 0) {
        if (lseek(srcFd, 0, SEEK_SET) < 0)
            bail("seek");
        char buf[65536];
        for (;;) {
            const ssize_t n = read(srcFd, buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                bail("read");
            if (n == 0)
                break;
            for (ssize_t off = 0; off < n;) {
                const ssize_t w = write(fd, buf + off, static_cast<size_t>(n - off));
                if (w < 0 && errno != EINTR)
                    bail("write");
                if (w > 0)
                    off += w;
            }
        }
    } else {
        for (size_t off = 0; off < content.size();) {
            const ssize_t w = write(fd, content.data() + off, content.size() - off);
            if (w < 0 && errno != EINTR)
                bail("write");
            if (w > 0)
                off += static_cast<size_t>(w);
        }
    }
    if (fchmod(fd, mode) != 0)
        bail("chmod");
    if (close(fd) != 0) {
        const int err = errno;
        unlink(name.data());
        fail("quenscd: cannot write " + path + ": " + errnoText(err));
    }
    if (rename(name.data(), path.c_str()) != 0) {
        const int err = errno;
        unlink(name.data());
        fail("quenscd: cannot write " + path + ": " + errnoText(err));
    }
}

bool fileExists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string readSmallFile(const std::string &path)
{
    std::string out;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0 && out.size() < (1u << 20))
        out.append(buf, n);
    fclose(f);
    return out;
}

/* Refuses to start a second web server for the same installation. */
void checkNotRunning(const std::string &root)
{
    const std::string text = readSmallFile(root + "/log/quenscd.pid");
    const long pid = atol(text.c_str());
    if (pid <= 1)
        return;
    if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
        return;
    std::string comm = readSmallFile("/proc/" + std::to_string(pid) + "/comm");
    while (!comm.empty() && (comm.back() == '\n' || comm.back() == ' '))
        comm.pop_back();
    if (comm == "apache2" || comm == "httpd")
        fail("quenscd: the web server of " + root + " is already running (process " +
                      std::to_string(pid) + ", " + root + "/log/quenscd.pid)");
}

/* The processes that have a listening TCP socket on `port` open, as
 * "process PID (COMMAND LINE)" texts; empty when none is visible to us. */
std::vector<std::string> listenersOfPort(int port)
{
    std::vector<std::string> inodes;
    char hexPort[8];
    snprintf(hexPort, sizeof hexPort, "%04X", port);
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        const std::string text = readSmallFile(table);
        size_t at = text.find('\n');
        while (at != std::string::npos && at + 1 < text.size()) {
            const size_t next = text.find('\n', at + 1);
            const std::string line = text.substr(at + 1, next == std::string::npos ? std::string::npos : next - at - 1);
            at = next;
            /* sl local_address rem_address st tx:rx tr:when retrnsmt uid timeout inode */
            char local[64], remote[64], state[8];
            unsigned long inode = 0;
            if (sscanf(line.c_str(), "%*s %63s %63s %7s %*s %*s %*s %*s %*s %lu", local, remote, state, &inode) != 4)
                continue;
            const char *colon = strrchr(local, ':');
            if (colon && strcmp(colon + 1, hexPort) == 0 && strcmp(state, "0A") == 0 && inode)
                inodes.push_back("socket:[" + std::to_string(inode) + "]");
        }
    }
    std::vector<std::string> found;
    DIR *proc = inodes.empty() ? nullptr : opendir("/proc");
    while (proc) {
        const dirent *d = readdir(proc);
        if (!d)
            break;
        if (!isdigit(static_cast<unsigned char>(d->d_name[0])))
            continue;
        const std::string fdDir = std::string("/proc/") + d->d_name + "/fd";
        DIR *fds = opendir(fdDir.c_str());
        bool holds = false;
        while (fds && !holds) {
            const dirent *f = readdir(fds);
            if (!f)
                break;
            char target[64];
            const ssize_t n = readlink((fdDir + "/" + f->d_name).c_str(), target, sizeof target - 1);
            if (n <= 0)
                continue;
            target[n] = 0;
            for (const std::string &inode : inodes)
                holds = holds || inode == target;
        }
        if (fds)
            closedir(fds);
        if (!holds)
            continue;
        std::string command = readSmallFile(std::string("/proc/") + d->d_name + "/cmdline");
        for (char &c : command)
            if (c == '\0')
                c = ' ';
        while (!command.empty() && command.back() == ' ')
            command.pop_back();
        found.push_back(std::string("process ") + d->d_name + " (" + command.substr(0, 200) + ")");
    }
    if (proc)
        closedir(proc);
    return found;
}

/* Refuses to start when a listener's address is taken, and says by whom: a
 * web server left over from an earlier run (its parent killed) would
 * otherwise make Apache fail with a bare "Address already in use". */
void checkListenersFree(const std::vector<Listener> &listeners)
{
    for (const Listener &l : listeners) {
        const size_t colon = l.address.rfind(':');
        std::string host = l.address.substr(0, colon);
        if (host.size() > 1 && host.front() == '[')
            host = host.substr(1, host.size() - 2);
        addrinfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
        addrinfo *addresses = nullptr;
        if (getaddrinfo(host == "*" ? nullptr : host.c_str(), std::to_string(l.port).c_str(), &hints,
                        &addresses) != 0)
            continue;   /* Apache says what is wrong with the address */
        int error = 0;
        for (const addrinfo *a = addresses; a && !error; a = a->ai_next) {
            const int fd = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
            if (fd < 0)
                continue;
            const int on = 1;
            setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
            if (bind(fd, a->ai_addr, a->ai_addrlen) != 0 && errno == EADDRINUSE)
                error = EADDRINUSE;
            close(fd);
        }
        freeaddrinfo(addresses);
        if (!error)
            continue;
        std::string holders;
        for (const std::string &holder : listenersOfPort(l.port))
            holders += (holders.empty() ? "" : ", ") + holder;
        fail("quenscd: cannot listen on " + l.address + ": Address already in use, " +
             (holders.empty() ? std::string("by a process this user cannot see")
                              : "by " + holders + "; if that is a web server left from an earlier "
                                "run, stop it (kill PID) and start again"));
    }
}

void replaceAll(std::string &text, const std::string &from, const std::string &to)
{
    for (size_t pos = 0; (pos = text.find(from, pos)) != std::string::npos; pos += to.size())
        text.replace(pos, from.size(), to);
}

/* The web server's configuration. @ROOT@ and @MODULES@ are filled in; the
 * optional parts are appended by httpdConf(). */
const char kHttpdTemplate[] = R"(# Web server of the installation @ROOT@.
# Written by quenscd at every start: changes made here are lost.
ServerRoot "@ROOT@"
DefaultRuntimeDir "@ROOT@/run"
PidFile "@ROOT@/log/quenscd.pid"
ErrorLog "@ROOT@/log/error.log"
LogLevel warn quensc:info
LogFormat "%h %l %u %t \"%r\" %>s %b %D" quensc
CustomLog "@ROOT@/log/access.log" quensc
ServerName localhost
ServerTokens Prod
ServerSignature Off
TraceEnable Off
Timeout 60
KeepAlive On
KeepAliveTimeout 5
MaxKeepAliveRequests 1000
LimitRequestBody @BODY_LIMIT@

# One child process with many threads, so that the server module's
# process-wide locks cover every request. A thread reads a request's headers
# and body, so there are more threads than slow clients are likely to hold at
# once; the memory of large bodies is bounded by mod_quensc itself.
LoadModule mpm_event_module "@MODULES@/mod_mpm_event.so"
ServerLimit 1
StartServers 1
ThreadLimit 256
ThreadsPerChild 256
MaxRequestWorkers 256
MinSpareThreads 1
MaxSpareThreads 257
MaxConnectionsPerChild 0

LoadModule authz_core_module "@MODULES@/mod_authz_core.so"
LoadModule mime_module "@MODULES@/mod_mime.so"
LoadModule dir_module "@MODULES@/mod_dir.so"
LoadModule reqtimeout_module "@MODULES@/mod_reqtimeout.so"
# Slow clients: a TLS handshake within 5 s; request headers within 10 s,
# extended while they arrive at 500 bytes/s or more, 20 s at most; a body
# within 10 s, extended while it arrives at 4000 bytes/s or more. A client
# that trickles is cut off and its thread freed.
RequestReadTimeout handshake=5 header=10-20,MinRate=500 body=10,MinRate=4000
LoadModule quensc_module "@ROOT@/lib/mod_quensc.so"

TypesConfig /dev/null
AddType text/html .html .htm
AddType text/javascript .js
AddType text/css .css
AddType application/json .json
AddType text/plain .txt
AddType image/png .png
AddType image/gif .gif
AddType image/jpeg .jpg .jpeg
AddType image/svg+xml .svg
AddType image/x-icon .ico

# Nothing of the file system is served but DIR/html.
<Directory />
    Options None
    AllowOverride None
    Require all denied
</Directory>
DocumentRoot "@ROOT@/html"
<Directory "@ROOT@/html">
    Options None
    AllowOverride None
    Require all granted
    DirectoryIndex @INDEX@
</Directory>
<Files "quensc-config.conf">
    Require all denied
</Files>
<FilesMatch "^\.|\.new\.">
    Require all denied
</FilesMatch>

# The XML-RPC server.
QuenScModule "@ROOT@/lib/libquensc.so"
QuenScConfigFile "@ROOT@/conf/quensc.conf"
<Location "/RPC2">
    SetHandler quensc-xmlrpc
</Location>
# Health and metrics of the server, for loopback clients unless
# "QuenScStatusOpen On" opens them to every client.
<Location "/healthz">
    SetHandler quensc-health
</Location>
<Location "/metrics">
    SetHandler quensc-metrics
</Location>
)";

std::string httpdConf(const std::string &root, const Options &o, bool withCgi, bool withChain)
{
    std::string conf = kHttpdTemplate;
    replaceAll(conf, "@INDEX@", withCgi ? "configure.cgi" : "disabled");
    replaceAll(conf, "@BODY_LIMIT@", kBodyLimit);

    if (withCgi)
        /* mod_cgi forks each CGI from the worker that serves it. mod_cgid's
         * separate daemon would be left running when the parent is killed,
         * and nothing of an installation may outlive its parent. */
        conf += "\n# The configuration tool, one process per request.\n"
                "LoadModule cgi_module \"@MODULES@/mod_cgi.so\"\n"
                "<Directory \"@ROOT@/html\">\n"
                "    <Files \"configure.cgi\">\n"
                "        Options +ExecCGI\n"
                "        SetHandler cgi-script\n"
                "    </Files>\n"
                "</Directory>\n";

    conf += "\n";
    bool anyHttps = false;
    for (const Listener &l : o.listeners) {
        conf += "Listen " + l.address + (l.https ? " https\n" : "\n");
        anyHttps = anyHttps || l.https;
    }
    if (anyHttps) {
        conf += "\nLoadModule socache_shmcb_module \"@MODULES@/mod_socache_shmcb.so\"\n"
                "LoadModule ssl_module \"@MODULES@/mod_ssl.so\"\n"
                "SSLSessionCache \"shmcb:@ROOT@/run/ssl_scache(512000)\"\n"
                "SSLProtocol all -SSLv3 -TLSv1 -TLSv1.1\n";
        for (const Listener &l : o.listeners) {
            if (!l.https)
                continue;
            conf += "<VirtualHost " + l.address + ">\n"
                    "    SSLEngine on\n"
                    "    SSLCertificateFile \"@ROOT@/ssl/server.crt\"\n"
                    "    SSLCertificateKeyFile \"@ROOT@/ssl/server.key\"\n";
            if (withChain)
                conf += "    SSLCertificateChainFile \"@ROOT@/ssl/chain.crt\"\n";
            conf += "</VirtualHost>\n";
        }
    }
    replaceAll(conf, "@ROOT@", root);
    replaceAll(conf, "@MODULES@", QUENSCD_APACHE_MODULES);
    return conf;
}

/* Reads /proc's lowest port an unprivileged user may bind (1024 when unknown). */
int unprivilegedPortStart()
{
    const std::string text = readSmallFile("/proc/sys/net/ipv4/ip_unprivileged_port_start");
    return text.empty() ? 1024 : atoi(text.c_str());
}

int openSource(const std::string &path, bool required)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && (required || errno != ENOENT))
        fail("quenscd: cannot read " + path + ": " + errnoText(errno) +
                      (errno == ENOENT ? " (build it, or name its folder with --libdir)" : ""));
    return fd;
}

/* The administration pages built beside the tool (name, content), read
 * while we may still be root. Only plain file names of regular files; none
 * when the folder is missing. */
std::vector<std::pair<std::string, std::string>> readPages(const std::string &folder)
{
    std::vector<std::pair<std::string, std::string>> pages;
    DIR *d = opendir(folder.c_str());
    if (!d)
        return pages;
    while (const struct dirent *e = readdir(d)) {
        const std::string name = e->d_name;
        if (name.empty() || name[0] == '.' || name == "quensc-config.conf" || name == "configure.cgi")
            continue;
        if (!fileExists(folder + "/" + name))
            continue;
        pages.emplace_back(name, readSmallFile(folder + "/" + name));
    }
    closedir(d);
    return pages;
}

[[noreturn]] void run(int argc, char **argv)
{
    const Options o = parseArgs(argc, argv);
    const RunAs who = chooseIdentity(o);

    std::string root = absolutePath(o.root);
    checkPathCharacters(root, "--root");
    if (root == "/")
        fail("quenscd: --root / is not an installation directory", 2);

    /* Sources are opened now, while we may still be root: the build folder may
     * be one the unprivileged user cannot read. */
    const std::string libdir = o.libdir.empty() ? selfDirectory() : absolutePath(o.libdir);
    const int modFd = openSource(libdir + "/mod_quensc.so", true);
    const int libFd = openSource(libdir + "/libquensc.so", true);
    const int toolFd = openSource(libdir + "/configure", false);
    const std::vector<std::pair<std::string, std::string>> pages = readPages(libdir + "/html");

    if (who.drop) {
        const std::string blocked = firstBlockedFolder(who, root);
        if (!blocked.empty())
            fail("quenscd: user " + who.name + " cannot reach " + root + " because " + blocked +
                 " does not let it through (a private home folder such as /root?); create the "
                 "installation under a folder every user may traverse, such as /srv or /tmp, "
                 "or name another user with --user");
    }
    makeDirs(root);
    root = realPath(root);   /* a symbolic link such as var -> /srv/... counts by its target */
    checkPathCharacters(root, "--root");
    if (who.drop) {
        const std::string blocked = firstBlockedFolder(who, root);
        if (!blocked.empty())
            fail("quenscd: user " + who.name + " cannot reach " + root + " because " + blocked +
                 " does not let it through; create the installation under a folder every user "
                 "may traverse, such as /srv or /tmp");
    }
    if (root == "/")
        fail("quenscd: --root " + o.root + " is / itself, not an installation directory", 2);
    checkNotRunning(root);
    checkListenersFree(o.listeners);
    if (who.drop) {
        checkLooksLikeInstallation(root, who);
        giveInstallation(root, who);
        if (!dropTo(who))
            fail("quenscd: cannot become user " + who.name + ": " + errnoText(errno));
    }
    umask(027);

    /* From here on we are the user that runs the installation. */
    if (access(root.c_str(), R_OK | W_OK | X_OK) != 0)
        fail("quenscd: user " + who.name + " cannot use " + root + ": " + errnoText(errno));
    for (const char *sub : kSubdirs) {
        const std::string path = root + "/" + sub;
        if (mkdir(path.c_str(), 0750) != 0 && errno != EEXIST)
            fail("quenscd: cannot create " + path + ": " + errnoText(errno));
    }

    bool anyHttps = false;
    for (const Listener &l : o.listeners)
        anyHttps = anyHttps || l.https;
    bool withChain = false;
    if (anyHttps) {
        for (const char *f : {"server.key", "server.crt"}) {
            const std::string path = root + "/ssl/" + f;
            if (access(path.c_str(), R_OK) != 0)
                fail("quenscd: an HTTPS listener needs " + path + ": " + errnoText(errno));
        }
        const std::string chain = readSmallFile(root + "/ssl/chain.crt");
        /* A chain that is the certificate itself adds nothing to the handshake. */
        withChain = !chain.empty() && chain != readSmallFile(root + "/ssl/server.crt");
    }

    writeFileAtomic(root + "/lib/mod_quensc.so", "", 0750, modFd);
    writeFileAtomic(root + "/lib/libquensc.so", "", 0750, libFd);
    close(modFd);
    close(libFd);
    if (toolFd >= 0) {
        writeFileAtomic(root + "/html/configure.cgi", "", 0750, toolFd);
        close(toolFd);
    }
    for (const auto &page : pages)
        writeFileAtomic(root + "/html/" + page.first, page.second, 0640);
    const bool withCgi = fileExists(root + "/html/configure.cgi");

    /* The configuration tool finds the installation through this file in its
     * working folder (DIR/html). */
    writeFileAtomic(root + "/html/quensc-config.conf", "path=" + root + "/\n", 0640);
    /* The tool starts this after a commit: a graceful restart, so that init()
     * reads the new configuration while in-flight requests finish. */
    writeFileAtomic(root + "/bin/apache_restart.sh",
                    "#!/bin/sh\n"
                    "# Restarts the web server of this installation gracefully.\n"
                    "exec '" QUENSCD_APACHE_BIN "' -f '" + root + "/conf/httpd.conf' -k graceful\n",
                    0750);
    const std::string confPath = root + "/conf/httpd.conf";
    writeFileAtomic(confPath, httpdConf(root, o, withCgi, withChain), 0640);

    if (!fileExists(root + "/conf/quensc.conf"))
        fprintf(stderr, "quenscd: note: %s/conf/quensc.conf does not exist yet; /RPC2 answers 503 "
                        "until it is written and the server restarted\n", root.c_str());
    if (getuid() != 0) {
        const int lowest = unprivilegedPortStart();
        for (const Listener &l : o.listeners)
            if (l.port < lowest)
                fprintf(stderr, "quenscd: note: port %d is below %d: user %s can bind it only when "
                                "%s has the capability cap_net_bind_service; otherwise put a proxy "
                                "in front\n", l.port, lowest, who.name.c_str(), QUENSCD_APACHE_BIN);
    }

    /* Debian's apache2 scripts expect these; our configuration names every
     * path itself, so they only point tools at the same folders. */
    setenv("APACHE_RUN_USER", who.name.c_str(), 1);
    setenv("APACHE_RUN_DIR", (root + "/run").c_str(), 1);
    setenv("APACHE_LOCK_DIR", (root + "/run").c_str(), 1);
    setenv("APACHE_LOG_DIR", (root + "/log").c_str(), 1);
    setenv("APACHE_PID_FILE", (root + "/log/quenscd.pid").c_str(), 1);
    setenv("LANG", "C", 1);
    if (chdir(root.c_str()) != 0)
        fail("quenscd: cannot enter " + root + ": " + errnoText(errno));

    fflush(stdout);
    fflush(stderr);
    execl(QUENSCD_APACHE_BIN, "apache2", "-f", confPath.c_str(), "-DFOREGROUND", (char *)nullptr);
    fail(std::string("quenscd: cannot start " QUENSCD_APACHE_BIN ": ") + errnoText(errno));
}

} // namespace

int main(int argc, char **argv)
{
    run(argc, argv);
}
