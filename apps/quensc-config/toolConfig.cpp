/* The configuration file as the tool reads and writes it (toolConfig.h). */
#include "toolConfig.h"

#include "frame/configFile.h"
#include "policydb/dbcrypto.h"
#include "toolLog.h"

#include <apr_pools.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct PathDefault {
    const char *section;
    const char *key;
    const char *value; /* relative to P when isPath */
    bool isPath;
};

/* The tool's defaults, in the order they are set. */
const PathDefault kDefaults[] = {
    {"sqlite", "db_file", "db/quensc.bin", true},    {"global", "lock_file", "db/global.lock", true},
    {"sqlite", "lock_file", "db/quensc.lock", true}, {"odbc", "lock_file", "db/quensc.lock", true},
    {"ssl", "cert", "ssl/server.crt", true},         {"ssl", "cert_chain", "ssl/chain.crt", true},
    {"ldap", "ca_file", "ssl/ldap.crt", true},       {"krb5", "conf_file", "conf/krb5.conf", true},
    {"krb5", "lock_file", "tmp/krb5.lock", true},    {"krb5", "translate_realm", "1", false},
    {"ldap", "secure", "1", false},
};

const char *const kLevelNames[] = {"None", "Critical", "Normal", "Informative", "Debug"};
const char *const kLevelKeys[] = {"quen_admin", "package_admin", "policy_admin", "instance_admin", "authentication"};

const int64_t kDay = 86400;

/* The log's name of a section ("Reading %s config section"). */
const char *SectionLabel(const char *section)
{
    static const char *const names[][2] = {
        {"global", "GLOBAL"}, {"sqlite", "SQLITE"},         {"odbc", "ODBC"},         {"ssl", "SSL"},
        {"krb5", "krb5"},     {"ldap", "LDAP"}, {"administrators", "ADMINISTRATORS"}, {"helpdesk", "HELPDESK"},
        {"logging", "LOGGING"},
    };
    for (const auto &n : names)
        if (strcmp(n[0], section) == 0)
            return n[1];
    return section;
}

bool IsLevelKey(const char *key)
{
    for (const char *k : kLevelKeys)
        if (strcmp(k, key) == 0)
            return true;
    return false;
}

/* Upgrades the values from version to 3, one step at a time. */
bool Upgrade(QcfgSession &s, int version)
{
    if (version < 0 || version > 3) {
        QcfgLogWarning(1, "Config Upgrade: Invalid config version found: %d", version);
        return false;
    }
    if (version == 0) {
        for (const char *role : {"administrators", "helpdesk"}) {
            std::string clear = QcfgSess_RetrieveStringValue(s, role, "password");
            if (clear.empty())
                continue; /* no password set: nothing to hash (a hash of "" would admit an empty one) */
            std::string hash;
            if (!QcfgHashPassword(clear, hash)) {
                QcfgLogWarning(1, strcmp(role, "administrators") == 0 ? "Config Upgrade 0: Failed to hash admin pwd"
                                                                      : "Config Upgrade 0: Failed to hash helpdesk pwd");
                return false;
            }
            QcfgSess_StoreStringValue(s, role, "password", hash.c_str());
        }
        QcfgLogInfo(1, "Upgraded configuration file from version 0 to 1");
        version = 1;
    }
    if (version == 1)
        version = 2;
    if (version == 2) {
        if (QcfgSess_RetrieveIntValue(s, "global", "use_ldap") != 0) {
            QcfgLogWarning(1, "LDAP configuration detected.  The QMS upgrade requires that the server be "
                              "re-configured.  The current configuration file will be ignored");
            return false;
        }
        QcfgLogInfo(1, "Upgraded configuration file from version 2 to 3");
    }
    return true;
}

/* Decrypts (decrypt true) or encrypts one secret value in place; an empty
 * value stays as it is. */
bool Transform(const QCryptKey *key, std::string &value, bool decrypt)
{
    if (value.empty())
        return true;
    char *out = nullptr;
    bool ok = decrypt ? PolDb_Decrypt(key, value.c_str(), &out) : PolDb_Encrypt(key, value.c_str(), &out);
    if (!ok)
        return false;
    size_t n = strlen(out);
    value.assign(out, n);
    explicit_bzero(out, n);
    free(out);
    return true;
}

void Deobfuscate(QcfgSession &s)
{
    QCryptKey *key = nullptr;
    if (!PolDb_CryptoKeyCreate(PolDb_ConfigObfuscationKey, sizeof PolDb_ConfigObfuscationKey, &key)) {
        QcfgLogWarning(1, "Config Obfuscate: Failed to create key");
        return;
    }
    std::string ldap = QcfgSess_RetrieveStringValue(s, "krb5", "query_user_pass");
    std::string odbc = QcfgSess_RetrieveStringValue(s, "odbc", "password");
    if (!Transform(key, ldap, true))
        QcfgLogWarning(1, "Config: Failed to deobfuscate ldap pwd");
    else if (!Transform(key, odbc, true))
        QcfgLogWarning(1, "Config: Failed to deobfuscate odbc pwd");
    else {
        QcfgSess_StoreStringValue(s, "krb5", "query_user_pass", ldap.c_str());
        QcfgSess_StoreStringValue(s, "odbc", "password", odbc.c_str());
    }
    explicit_bzero(ldap.data(), ldap.size());
    explicit_bzero(odbc.data(), odbc.size());
    PolDb_CryptoKeyDestroy(key);
}

struct Pool {
    apr_pool_t *p = nullptr;
    Pool() { apr_pool_create(&p, nullptr); }
    ~Pool()
    {
        if (p)
            apr_pool_destroy(p);
    }
};

bool WriteAll(int fd, const std::string &text)
{
    for (size_t off = 0; off < text.size();) {
        ssize_t w = write(fd, text.data() + off, text.size() - off);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        off += (size_t)w;
    }
    return true;
}

} // namespace

const char *QcfgLevelName(const std::string &digit)
{
    if (digit.size() == 1 && digit[0] >= '0' && digit[0] <= '4')
        return kLevelNames[digit[0] - '0'];
    return "Normal";
}

const char *QcfgLevelDigit(const std::string &name)
{
    static const char *const digits[] = {"0", "1", "2", "3", "4"};
    for (int i = 0; i < 5; ++i)
        if (name == kLevelNames[i])
            return digits[i];
    return "2";
}

bool QcfgHashPassword(const std::string &password, std::string &hash)
{
    char *digest = nullptr;
    if (!PolDb_HashTwo(nullptr, password.c_str(), &digest))
        return false;
    hash = digest;
    free(digest);
    return true;
}

bool SetDefaultSetting(QcfgSession &s, const std::string &path)
{
    if (path.empty())
        return false;
    if (path.back() != '/') {
        QcfgLogWarning(1, "\t\tSetDefaultSetting Failed: Invalid QUENSCPath");
        return false;
    }
    for (const PathDefault &d : kDefaults) {
        if (!QcfgSess_IsEmpty(s, d.section, d.key))
            continue;
        std::string value = d.isPath ? path + d.value : d.value;
        if (value.size() >= 1024)
            return false;
        QcfgSess_StoreStringValue(s, d.section, d.key, value.c_str());
    }
    return true;
}

bool ReadConfigFile(QcfgSession &s, const std::string &path)
{
    const std::string file = path + "conf/quensc.conf";
    Pool pool;
    const apr_xml_elem *root = nullptr;
    char reason[512];
    switch (QuenScConfigFileParse(pool.p, file.c_str(), &root, reason, sizeof reason)) {
    case QUENSC_CONFIG_PARSED:
        break;
    case QUENSC_CONFIG_OPEN_FAILED:
        QcfgLogWarning(1, "\t\tReadConfigFile Failed: Failed to open config file (%s)", file.c_str());
        QcfgLogInfo(1, "\t\tLEAVE (ReadConfigFile - %s)...", "false");
        return false;
    case QUENSC_CONFIG_PARSE_FAILED:
        QcfgLogWarning(1, "\t\tReadConfigFile Failed: Failed parsing config file (%s)", reason);
        QcfgLogInfo(1, "\t\tLEAVE (ReadConfigFile - %s)...", "false");
        return false;
    case QUENSC_CONFIG_EMPTY_ROOT:
        QcfgLogWarning(1, "\t\tReadConfigFile Failed: Invalid root content");
        QcfgLogInfo(1, "\t\tLEAVE (ReadConfigFile - %s)...", "false");
        return false;
    }

    for (const apr_xml_elem *section = root->first_child; section; section = section->next) {
        if (QuenScConfigSectionEndsWalk(section))
            break;
        if (!QuenScConfigKnownSection(section->name, QUENSC_CONFIG_BY_TOOL)) {
            QcfgLogWarning(1, "\t\tReadConfigFile: Invalid element: %s - ignoring.", section->name);
            continue;
        }
        QcfgLogInfo(1, "\t\tReading %s config section", SectionLabel(section->name));
        const bool logging = strcmp(section->name, "logging") == 0;
        bool sawPurge = false;
        for (const apr_xml_elem *key = section->first_child; key; key = key->next) {
            if (!QuenScConfigFindKey(section->name, key->name, QUENSC_CONFIG_BY_TOOL)) {
                QcfgLogWarning(1, "\t\tReadConfigFile: Invalid element: %s / %s - ignoring.", section->name,
                               key->name);
                continue;
            }
            const char *text = QuenScConfigElementText(pool.p, key);
            if (logging && (strcmp(key->name, "purge_type") == 0 || strcmp(key->name, "purge_value") == 0))
                sawPurge = true;
            if (!text)
                continue; /* an element without text leaves the value as it was */
            if (logging && IsLevelKey(key->name))
                QcfgSess_StoreStringValue(s, section->name, key->name, QcfgLevelName(text));
            else
                QcfgSess_StoreStringValue(s, section->name, key->name, text);
        }
        if (strcmp(section->name, "helpdesk") == 0)
            QcfgSess_StoreIntValue(s, nullptr, "helpdesk", 1);
        if (logging && sawPurge && QcfgSess_RetrieveStringValue(s, "logging", "purge_type") == "1") {
            /* the file holds seconds; the pages show whole days */
            int64_t seconds = QcfgSess_RetrieveInt64Value(s, "logging", "purge_value");
            QcfgSess_StoreInt64Value(s, "logging", "purge_value", seconds / kDay);
        }
    }

    if (QcfgSess_IsEmpty(s, "logging", "purge_type") || QcfgSess_IsEmpty(s, "logging", "purge_value")) {
        QcfgSess_StoreStringValue(s, "logging", "purge_type", "1");
        QcfgSess_StoreStringValue(s, "logging", "purge_value", "14");
    } else if (QcfgSess_RetrieveInt64Value(s, "logging", "purge_value") == 0) {
        QcfgSess_StoreStringValue(s, "logging", "purge_type", "0");
    }

    const int version = QcfgSess_RetrieveIntValue(s, "global", "configuration_version");
    const bool ok = Upgrade(s, version);
    if (ok && version > 1)
        Deobfuscate(s);
    QcfgLogInfo(1, "\t\tLEAVE (ReadConfigFile - %s)...", ok ? "true" : "false");
    return ok;
}

bool WriteConfigFile(QcfgSession &s, const std::string &path)
{
    QcfgSess_StoreIntValue(s, "global", "configuration_version", 3);

    QCryptKey *key = nullptr;
    if (!PolDb_CryptoKeyCreate(PolDb_ConfigObfuscationKey, sizeof PolDb_ConfigObfuscationKey, &key)) {
        QcfgLogWarning(1, "Config Obfuscate: Failed to create key");
        return false;
    }
    std::string ldapSecret = QcfgSess_RetrieveStringValue(s, "krb5", "query_user_pass");
    std::string odbcSecret = QcfgSess_RetrieveStringValue(s, "odbc", "password");
    const bool scrambled = Transform(key, ldapSecret, false) && Transform(key, odbcSecret, false);
    PolDb_CryptoKeyDestroy(key);
    if (!scrambled) {
        QcfgLogWarning(1, "\t\tWriteConfigFile: Failed to obfuscate a stored secret");
        return false;
    }

    const bool helpdesk = QcfgSess_RetrieveIntValue(s, nullptr, "helpdesk") == 1;
    Pool pool;
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<quensc_configuration>\n";
    const char *open = nullptr;
    for (size_t i = 0; i < QuenScConfigKeyCount; ++i) {
        const QuenScConfigKey &k = QuenScConfigKeys[i];
        if (!(k.readers & QUENSC_CONFIG_WRITTEN))
            continue;
        if (strcmp(k.section, "helpdesk") == 0 && !helpdesk)
            continue;
        if (!open || strcmp(open, k.section) != 0) {
            if (open)
                out += std::string("\t</") + open + ">\n";
            out += std::string("\t<") + k.section + ">\n";
            open = k.section;
        }
        std::string value;
        if (strcmp(k.section, "odbc") == 0 && strcmp(k.key, "password") == 0)
            value = odbcSecret;
        else if (strcmp(k.section, "krb5") == 0 && strcmp(k.key, "query_user_pass") == 0)
            value = ldapSecret;
        else
            value = QcfgSess_RetrieveStringValue(s, k.section, k.key);
        if (strcmp(k.section, "logging") == 0) {
            const std::string type = QcfgSess_RetrieveStringValue(s, "logging", "purge_type");
            if (IsLevelKey(k.key)) {
                value = QcfgLevelDigit(value);
            } else if (strcmp(k.key, "purge_type") == 0) {
                if (value.empty())
                    value = "1";
            } else if (strcmp(k.key, "purge_value") == 0) {
                int64_t n = QcfgSess_RetrieveInt64Value(s, "logging", "purge_value");
                if (type == "1") {
                    if (n > INT64_MAX / kDay || n < INT64_MIN / kDay) {
                        QcfgLogWarning(1, "\t\tWriteConfigFile: purge age of %s days is out of range", value.c_str());
                        return false;
                    }
                    n *= kDay;
                }
                value = std::to_string(n);
            }
        }
        const char *text = QuenScConfigEscapeText(pool.p, value.c_str());
        if (!text) {
            QcfgLogWarning(1, "\t\tWriteConfigFile: value of %s/%s holds a character XML cannot carry", k.section,
                           k.key);
            return false;
        }
        out += std::string("\t\t<") + k.key + ">" + text + "</" + k.key + ">\n";
    }
    if (open)
        out += std::string("\t</") + open + ">\n";
    out += "</quensc_configuration>\n";
    explicit_bzero(ldapSecret.data(), ldapSecret.size());
    explicit_bzero(odbcSecret.data(), odbcSecret.size());

    const std::string file = path + "conf/quensc.conf";
    std::string tmp = file + ".new.XXXXXX";
    int fd = mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) {
        QcfgLogWarning(1, "\t\tWriteConfigFile: Failed to open %s for output", file.c_str());
        return false;
    }
    bool ok = fchmod(fd, 0640) == 0 && WriteAll(fd, out) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (!ok || rename(tmp.c_str(), file.c_str()) != 0) {
        unlink(tmp.c_str());
        QcfgLogWarning(1, "\t\tWriteConfigFile: Failed to open %s for output", file.c_str());
        return false;
    }
    QcfgLogInfo(1, "\t\tLEAVE (WriteConfigFile - %s)", "true");
    return true;
}
