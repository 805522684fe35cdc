/* The growing delay after failed logins, per client address (tool.h). */
#include "tool.h"

#include "toolLock.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const time_t kQuiet = 900;    /* failures older than this are forgotten */
const int kMaxDelay = 16;     /* seconds */

/* The address as a file name: letters, digits and '.', others as '_'. */
std::string FileOf(const std::string &folder, const std::string &address)
{
    std::string name;
    for (char c : address.substr(0, 64))
        name += (isalnum((unsigned char)c) || c == '.') ? c : '_';
    return folder + "/qcfg-fail-" + (name.empty() ? "unknown" : name);
}

} // namespace

int QcfgThrottle_Failures(const std::string &tmpFolder, const std::string &address)
{
    const std::string path = FileOf(tmpFolder, address);
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || time(nullptr) - st.st_mtime > kQuiet)
        return 0;
    FILE *f = fopen(path.c_str(), "re");
    if (!f)
        return 0;
    int n = 0;
    if (fscanf(f, "%d", &n) != 1)
        n = 0;
    fclose(f);
    return n < 0 ? 0 : n;
}

void QcfgThrottle_Wait(const std::string &tmpFolder, const std::string &address)
{
    int failures = QcfgThrottle_Failures(tmpFolder, address);
    if (failures <= 0)
        return;
    int delay = 1;
    for (int i = 1; i < failures && delay < kMaxDelay; ++i)
        delay *= 2;
    if (delay > kMaxDelay)
        delay = kMaxDelay;
    sleep((unsigned)delay);
}

void QcfgThrottle_Record(const std::string &tmpFolder, const std::string &address, bool failed)
{
    QcfgLockedCall lock("FOpen");
    if (!lock.ok())
        return;
    const std::string path = FileOf(tmpFolder, address);
    if (!failed) {
        unlink(path.c_str());
        return;
    }
    int n = QcfgThrottle_Failures(tmpFolder, address) + 1;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return;
    std::string text = std::to_string(n) + "\n";
    if (write(fd, text.data(), text.size()) < 0) {
        /* nothing more to do: the next failure tries again */
    }
    close(fd);
}
