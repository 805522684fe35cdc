/* The query handlers of the administration pages: SendData, Commit (with
 * ProcessDatabase), GetDSNList, CheckDSNData, CheckLDAPData, UploadCertFile
 * (with BackupCertFile), CheckCertifData and Restart (with RestartQuenSC).
 * Each replies "SUCCESS:" (with "name::=::value::,::" items where it sends
 * data) or "ERROR:" and a code, and returns whether it succeeded. */
#include "dbSetup.h"
#include "ldapCheck.h"
#include "qcfgCodes.h"
#include "request.h"
#include "tool.h"
#include "toolConfig.h"
#include "toolLock.h"
#include "toolLog.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

extern char **environ;

namespace {

std::string Item(const char *name, const std::string &value) { return std::string(name) + "::=::" + value + "::,::"; }

/* A quoted item, left out when the value is empty. */
std::string Quoted(const char *name, const std::string &value)
{
    return value.empty() ? std::string() : std::string(name) + "::=::\"" + value + "\"::,::";
}

std::string Get(QcfgRun &run, const char *section, const char *key)
{
    return QcfgSess_RetrieveStringValue(run.session, section, key);
}

void Set(QcfgRun &run, const char *section, const char *key, const std::string &value)
{
    QcfgSess_StoreStringValue(run.session, section, key, value.c_str());
}

/* Stores the CGI argument (the empty text when missing). */
void SetFromArg(QcfgRun &run, const char *arg, const char *section, const char *key)
{
    Set(run, section, key, QcfgValue(arg));
}

/* Stores the hash of the password in CGI argument arg as section's
 * password, when the argument was sent; a failed hash is logged (naming
 * who, never the password) and leaves the stored value as it was. The
 * clear text is wiped before returning. */
void SetHashedPassword(QcfgRun &run, const char *arg, const char *section, const char *who)
{
    bool present = false;
    std::string pass = QcfgValue(arg, &present);
    if (present) {
        std::string hash;
        if (QcfgHashPassword(pass, hash))
            Set(run, section, "password", hash);
        else
            QcfgLogWarning(1, "\t\tQueryHandlerCommit Error: Could not hash %s pwd", who);
    }
    explicit_bzero(pass.data(), pass.size());
}

bool ProcessDatabase(QcfgRun &run)
{
    const std::string type = QcfgValue("dbType");
    std::string error;
    if (QcfgIValue("overwrite") == 1) {
        std::string address, user, password;
        if (type == "sqlite") {
            address = Get(run, "sqlite", "db_file");
        } else if (type == "odbc") {
            address = Get(run, "odbc", "dsn");
            user = Get(run, "odbc", "username");
            password = Get(run, "odbc", "password");
        } else {
            QcfgLogWarning(1, "\t\tProcessDatabase Failed: Invalid dbtype: %s", type.c_str());
            QcfgReply_Error(QCFG_ERR_INVALID_DBTYPE);
            return false;
        }
        if (!QcfgDB_InitializeSchema(type.c_str(), address, user, password, error)) {
            QcfgLogWarning(1, "\t\tProcessDatabase Failed: Initialize Schema failed: %s", error.c_str());
            QcfgReply_Error(QCFG_ERR_SCHEMA_FAILED);
            return false;
        }
        Set(run, "odbc", "overwrite", "0");
        return true;
    }
    if (type == "sqlite") {
        if (!QcfgDB_UpgradeSchema("sqlite", Get(run, "sqlite", "db_file"), "", "", error)) {
            QcfgLogWarning(1, "\t\tProcessDatabase Failed: Upgrade Schema failed: %s", error.c_str());
            QcfgReply_Error(QCFG_ERR_SCHEMA_FAILED);
            return false;
        }
    } else if (type != "odbc") {
        QcfgLogWarning(1, "\t\tProcessDatabase Failed: Invalid dbtype: %s", type.c_str());
        QcfgReply_Error(QCFG_ERR_INVALID_DBTYPE);
        return false;
    }
    return true;
}

/* Text for HTML element content. */
std::string Html(const std::string &text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string Row(const std::string &label, const std::string &value, bool bold)
{
    std::string r = "<tr>\n<td nowrap>";
    r += bold ? "<b>" + label + "</b>" : label;
    if (!label.empty() || !value.empty())
        r += ":";
    r += "</td>\n<td nowrap>";
    r += (label.empty() && value.empty()) ? "&nbsp" : value;
    r += "</td>\n</tr>\n";
    return r;
}

/* Writes data to path through a temporary file and a rename, with mode. */
bool SaveFile(const std::string &path, const std::string &data, mode_t mode)
{
    std::string tmp = path + ".new.XXXXXX";
    int fd = mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = fchmod(fd, mode) == 0;
    for (size_t off = 0; ok && off < data.size();) {
        ssize_t w = write(fd, data.data() + off, data.size() - off);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            ok = false;
        else
            off += (size_t)w;
    }
    ok = close(fd) == 0 && ok;
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

/* Copies source to a new file (never over an existing one) with the
 * source's permissions. Sets backup to the name used. */
bool BackupCertFile(const std::string &source, const std::string &suffix, std::string &backup)
{
    int in = open(source.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (in < 0 || fstat(in, &st) != 0) {
        QcfgLogWarning(1, "\t\tBackupCertFile Failed: Failed to copy file (%s)", strerror(errno));
        if (in >= 0)
            close(in);
        return false;
    }
    int out = -1;
    /* two uploads within one second would otherwise overwrite the first
     * backup: number the later ones */
    for (int n = 0; n < 100 && out < 0; ++n) {
        backup = source + "." + suffix + (n ? "-" + std::to_string(n) : "");
        out = open(backup.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 07777);
        if (out < 0 && errno != EEXIST)
            break;
    }
    bool ok = out >= 0;
    char buffer[8192];
    while (ok) {
        ssize_t n = read(in, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        for (ssize_t off = 0; ok && off < n;) {
            ssize_t w = write(out, buffer + off, (size_t)(n - off));
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                ok = false;
            else
                off += w;
        }
    }
    int err = errno;
    close(in);
    if (out >= 0) {
        ok = fchmod(out, st.st_mode & 07777) == 0 && ok;
        ok = close(out) == 0 && ok;
        if (!ok)
            unlink(backup.c_str());
    }
    if (!ok)
        QcfgLogWarning(1, "\t\tBackupCertFile Failed: Failed to copy file (%s)", strerror(err));
    return ok;
}

bool RestartQuenSC(const std::string &path)
{
    const std::string script = path + "bin/apache_restart.sh";
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    /* the reply's pipe must not stay open in the script, or the web server
     * would wait for it; nothing else is handed over either */
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
    char *argv[] = {const_cast<char *>(script.c_str()), nullptr};
    pid_t pid = 0;
    int rc = posix_spawn(&pid, script.c_str(), &actions, &attr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        QcfgLogWarning(1, "RestartQuenSC Failed: Error Creating Process (STOP)");
        return false;
    }
    QcfgLogInfo(1, "\t\tHelper file: %s", script.c_str());
    return true;
}

/* Whether data holds what the web server will load from the file: a PEM
 * private key, or at least one PEM certificate. A file it cannot load would
 * keep the whole web server, these pages included, from starting again. */
bool LoadablePem(const std::string &data, bool privateKey)
{
    BIO *bio = BIO_new_mem_buf(data.data(), (int)data.size());
    if (!bio)
        return false;
    bool ok;
    if (privateKey) {
        EVP_PKEY *key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
        ok = key != nullptr;
        EVP_PKEY_free(key);
    } else {
        X509 *cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
        ok = cert != nullptr;
        X509_free(cert);
    }
    BIO_free(bio);
    return ok;
}

/* Whether the PEM private key belongs to the first PEM certificate. */
bool KeyFitsCertificate(const std::string &keyPem, const std::string &certPem)
{
    BIO *kb = BIO_new_mem_buf(keyPem.data(), (int)keyPem.size());
    BIO *cb = BIO_new_mem_buf(certPem.data(), (int)certPem.size());
    EVP_PKEY *key = kb ? PEM_read_bio_PrivateKey(kb, nullptr, nullptr, nullptr) : nullptr;
    X509 *cert = cb ? PEM_read_bio_X509(cb, nullptr, nullptr, nullptr) : nullptr;
    bool fits = key && cert && X509_check_private_key(cert, key) == 1;
    EVP_PKEY_free(key);
    X509_free(cert);
    BIO_free(kb);
    BIO_free(cb);
    return fits;
}

struct UploadField {
    const char *field;
    const char *file;
    const char *title;
    mode_t mode;
};

const UploadField kUploads[] = {
    {"CrtServerPrivateKey", "server.key", "<span i18nKey=\"upld.hdr.privKey\">Private Key</span>", 0600},
    {"CrtServerPubCert", "server.crt", "<span i18nKey=\"upld.hdr.pubCert\">Public Certificate</span>", 0640},
    {"CrtServerPubChain", "chain.crt", "<span i18nKey=\"upld.hdr.authChain\">Authentication Chain</span>", 0640},
};

const char *const kUploadStatus[] = {
    "<span i18nKey=\"upld.sum.success\">File uploaded. Certificate updated.</span>",
    "<span i18nKey=\"upld.sum.bakfail\">File backup failed. No certificate updated.</span>",
    "<span i18nKey=\"upld.sum.upldfail\">File upload failed. No certificate updated.</span>",
    "<span i18nKey=\"upld.sum.nofile\">No file specified. No certificate updated.</span>",
};

} // namespace

bool QueryHandlerSendData(QcfgRun &run, const std::string &page, bool pagePresent)
{
    if (!pagePresent || page.empty()) {
        QcfgLogWarning(1, "SendData Failed: Invalid argument");
        return false;
    }
    std::string out = "SUCCESS:";
    if (page == "Database") {
        out += Item("dbType", Get(run, "global", "db_type") == "sqlite" ? "-1" : "1");
        out += Quoted("atsDSN", Get(run, "odbc", "dsn"));
        out += Quoted("atsName", Get(run, "odbc", "username"));
        out += Quoted("atsPasswd", Get(run, "odbc", "password"));
        std::string overwrite = Get(run, "odbc", "overwrite");
        out += Item("overwrite", overwrite.empty() ? "0" : overwrite);
    } else if (page == "Security") {
        const bool ldap = QcfgSess_RetrieveIntValue(run.session, "global", "use_ldap") != 0;
        out += Item("enableLDAP", ldap ? "true" : "false");
        out += Quoted("host", Get(run, "ldap", "host"));
        out += Quoted("qUserUPN", Get(run, "krb5", "query_user"));
        out += Quoted("qUserPw", Get(run, "krb5", "query_user_pass"));
        out += Quoted("defDomain", Get(run, "krb5", "default_realm"));
        const bool helpdesk = QcfgSess_RetrieveIntValue(run.session, nullptr, "helpdesk") == 1;
        if (ldap) {
            out += Quoted("adminGroupDN", Get(run, "administrators", "ldap_group_dn"));
            const std::string hdn = Get(run, "helpdesk", "ldap_group_dn");
            if (helpdesk && !hdn.empty())
                out += Item("enableLDAPHelpdesk", "true") + Quoted("helpdeskGroupDN", hdn);
            else
                out += Item("enableLDAPHelpDesk", "false");
        } else {
            out += Item("enablePlainHelpdesk", helpdesk ? "true" : "false");
        }
    } else if (page == "Logging") {
        out += Quoted("quenAdminDetail", Get(run, "logging", "quen_admin"));
        out += Quoted("packageAdminDetail", Get(run, "logging", "package_admin"));
        out += Quoted("policyAdminDetail", Get(run, "logging", "policy_admin"));
        out += Quoted("instAdminDetail", Get(run, "logging", "instance_admin"));
        out += Quoted("authDetail", Get(run, "logging", "authentication"));
        const std::string type = Get(run, "logging", "purge_type");
        std::string value = Get(run, "logging", "purge_value");
        if (value.empty())
            value = "0";
        out += Item("purgeType", type.empty() ? "0" : type);
        if (type == "1")
            out += Item("purgeAgeValue", "\"" + value + "\"") + Item("purgeSizeValue", "\"0\"");
        else if (type == "2")
            out += Item("purgeAgeValue", "\"0\"") + Item("purgeSizeValue", "\"" + value + "\"");
        else
            out += Item("purgeAgeValue", "\"0\"") + Item("purgeSizeValue", "\"0\"");
    } else {
        out = "ERROR:Attempt to download invalid page.";
    }
    QcfgReply_Puts(out);
    return out.rfind("SUCCESS:", 0) == 0;
}

bool QueryHandlerCommit(QcfgRun &run)
{
    if (run.path.empty()) {
        QcfgLogWarning(1, "\t\tQueryHandlerCommit Failed: Invalid argument");
        QcfgReply_Error(QCFG_ERR_HANDLER_NO_PATH);
        return false;
    }
    SetFromArg(run, "dbType", "global", "db_type");
    SetFromArg(run, "atsDSN", "odbc", "dsn");
    SetFromArg(run, "atsName", "odbc", "username");
    SetFromArg(run, "atsPasswd", "odbc", "password");
    SetFromArg(run, "enableLDAP", "global", "use_ldap");
    SetFromArg(run, "host", "ldap", "host");
    SetFromArg(run, "qUserUPN", "krb5", "query_user");
    SetFromArg(run, "qUserPw", "krb5", "query_user_pass");
    SetFromArg(run, "defDomain", "krb5", "default_realm");

    bool helpdeskPresent = false;
    QcfgValue("enableHelpdesk", &helpdeskPresent);
    if (QcfgIValue("enableLDAP") == 1) {
        SetFromArg(run, "adminGroupDN", "administrators", "ldap_group_dn");
        Set(run, "administrators", "ldap_group", "");
        Set(run, "administrators", "password", "");
        if (helpdeskPresent) {
            QcfgSess_StoreIntValue(run.session, nullptr, "helpdesk", 1);
            SetFromArg(run, "helpdeskGroupDN", "helpdesk", "ldap_group_dn");
            Set(run, "helpdesk", "ldap_group", "");
        } else {
            QcfgSess_StoreIntValue(run.session, nullptr, "helpdesk", 0);
            Set(run, "helpdesk", "ldap_group", "");
            Set(run, "helpdesk", "ldap_group_dn", "");
        }
        Set(run, "helpdesk", "password", "");
    } else {
        Set(run, "administrators", "ldap_group", "");
        Set(run, "administrators", "ldap_group_dn", "");
        SetHashedPassword(run, "adminPass", "administrators", "administrator");
        if (helpdeskPresent) {
            QcfgSess_StoreIntValue(run.session, nullptr, "helpdesk", 1);
            Set(run, "helpdesk", "ldap_group", "");
            Set(run, "helpdesk", "ldap_group_dn", "");
            SetHashedPassword(run, "helpdeskPass", "helpdesk", "helpdesk");
        } else {
            QcfgSess_StoreIntValue(run.session, nullptr, "helpdesk", 0);
            Set(run, "helpdesk", "ldap_group", "");
            Set(run, "helpdesk", "ldap_group_dn", "");
            Set(run, "helpdesk", "password", "");
        }
    }

    SetFromArg(run, "quenAdminDetail", "logging", "quen_admin");
    SetFromArg(run, "packageAdminDetail", "logging", "package_admin");
    SetFromArg(run, "policyAdminDetail", "logging", "policy_admin");
    SetFromArg(run, "instAdminDetail", "logging", "instance_admin");
    SetFromArg(run, "authDetail", "logging", "authentication");
    const std::string purgeType = QcfgValue("purgeType");
    Set(run, "logging", "purge_type", purgeType);
    if (purgeType == "1")
        SetFromArg(run, "purgeAgeValue", "logging", "purge_value");
    else if (purgeType == "2")
        SetFromArg(run, "purgeSizeValue", "logging", "purge_value");
    else
        Set(run, "logging", "purge_value", "0");
    if (QcfgSess_RetrieveInt64Value(run.session, "logging", "purge_value") == 0)
        Set(run, "logging", "purge_type", "0");

    if (QcfgIValue("enableLDAP") != 1 && Get(run, "administrators", "password").empty()) {
        /* a password-mode file without an administrator password would shut
         * every administrator out once it is written */
        QcfgLogWarning(1, "\t\tQueryHandlerCommit Failed: no administrator password in password mode");
        QcfgReply_Error(QCFG_ERR_CONFIG_NOT_WRITTEN);
        return false;
    }
    if (!ProcessDatabase(run)) {
        QcfgLogWarning(1, "\t\tQueryHandlerCommit Failed: ProcessDatabase");
        return false;
    }
    if (!WriteConfigFile(run.session, run.path)) {
        QcfgLogWarning(1, "\t\tQueryHandlerCommit Failed: WriteConfigFile");
        QcfgReply_Error(QCFG_ERR_CONFIG_NOT_WRITTEN);
        return false;
    }
    QcfgReply_Puts("SUCCESS:");
    return true;
}

bool QueryHandlerGetDSNList(QcfgRun &)
{
    std::vector<std::string> names, descriptions;
    std::string error;
    std::string out = "SUCCESS:";
    if (!QcfgDB_GetDSNList(names, descriptions, error)) {
        QcfgLogWarning(1, "GetDSNList Failed: %s", error.empty() ? "No Info from API" : error.c_str());
    } else if (names.empty()) {
        QcfgLogWarning(1, "GetDSNList Failed: zero count DSN");
    } else {
        std::vector<size_t> order(names.size());
        for (size_t i = 0; i < order.size(); ++i)
            order[i] = i;
        std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return names[a] < names[b]; });
        for (size_t i : order)
            out += names[i] + "::,::";
    }
    QcfgReply_Puts(out);
    return true;
}

bool QueryHandlerCheckDSNData(QcfgRun &)
{
    const std::string dsn = QcfgValue("atsDSN");
    const std::string user = QcfgValue("atsName");
    std::string password = QcfgValue("atsPasswd");
    const std::string overwrite = QcfgValueDefault("overwrite", "0");
    const std::string confirm = QcfgValueDefault("dbConfirm", "0");
    std::string error;
    if (!QcfgDB_IsUserValid(dsn, user, password, error)) {
        explicit_bzero(password.data(), password.size());
        QcfgReply_Error(QCFG_ERR_DSN_CREDENTIALS);
        return false;
    }
    const bool current = QcfgDB_CheckSchema("odbc", dsn, user, password, error);
    explicit_bzero(password.data(), password.size());
    if (confirm == "0") {
        QcfgReply_Puts(std::string("SUCCESS:checkSchema::=::") + (current ? "true" : "false"));
        return true;
    }
    if (current || (overwrite != "-1" && overwrite != "0")) {
        QcfgReply_Puts("SUCCESS:");
        return true;
    }
    if (overwrite == "-1") {
        QcfgReply_Error(QCFG_ERR_SCHEMA_REFUSED);
        return false;
    }
    QcfgReply_Puts("SUCCESS:checkSchema::=::false");
    return true;
}

bool QueryHandlerCheckLDAPData(QcfgRun &run)
{
    QcfgLdapSettings settings;
    settings.referralUser = QcfgValue("qUserUPN");
    settings.referralPassword = QcfgValue("qUserPw");
    settings.referralRealm = QcfgValue("defDomain");
    settings.secure = QcfgSess_RetrieveIntValue(run.session, "ldap", "secure");
    settings.caFile = Get(run, "ldap", "ca_file");
    int code = QcfgLDAP_ValidateData(settings, QcfgValue("host"), settings.referralUser, settings.referralPassword,
                                     settings.referralRealm, QcfgValue("adminGroupDN"), QcfgValue("helpdeskGroupDN"));
    explicit_bzero(settings.referralPassword.data(), settings.referralPassword.size());
    if (code != QCFG_OK) {
        QcfgReply_Error(code);
        return false;
    }
    QcfgReply_Puts("SUCCESS:");
    return true;
}

bool QueryHandlerUploadCertFile(QcfgRun &run)
{
    if (run.path.empty()) {
        QcfgReply_Error(QCFG_ERR_HANDLER_NO_PATH);
        return false;
    }
    char suffix[32];
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    strftime(suffix, sizeof suffix, "%Y%m%d-%H%M%S", &local);

    QcfgUpload uploads[3];
    for (int i = 0; i < 3; ++i)
        uploads[i] = QcfgUploadedFile(kUploads[i].field);
    /* a key and a certificate sent together must belong to each other, or
     * the web server would not start with them */
    const bool pairRefused = !uploads[0].data.empty() && !uploads[1].data.empty() &&
                             LoadablePem(uploads[0].data, true) && LoadablePem(uploads[1].data, false) &&
                             !KeyFitsCertificate(uploads[0].data, uploads[1].data);
    if (pairRefused)
        QcfgLogWarning(1, "\t\tUploadCertFile: the private key does not belong to the certificate; neither saved");

    std::string rows;
    bool allOk = true;
    for (int i = 0; i < 3; ++i) {
        const UploadField &u = kUploads[i];
        const QcfgUpload &up = uploads[i];
        int status;
        std::string uploaded, location, backup;
        if (up.data.empty()) {
            status = 3;
            uploaded = "<span i18nKey=\"upld.stat.nofile\">No file selected</span>";
            location = backup = "<span i18nKey=\"upld.stat.na\">N/A</span>";
        } else {
            const std::string target = run.path + "ssl/" + u.file;
            location = Html(target);
            bool save = true;
            const bool loadable = LoadablePem(up.data, u.mode == 0600) && !(pairRefused && i < 2);
            if (!loadable) {
                QcfgLogWarning(1, "\t\tUploadCertFile: %s is no PEM %s; not saved", u.field,
                               u.mode == 0600 ? "private key" : "certificate");
                backup = "<span i18nKey=\"upld.stat.na\">N/A</span>";
            } else if (access(target.c_str(), F_OK) != 0) {
                backup = "<span i18nKey=\"upld.stat.nobak\">Existing certificate does not exist. Backup is not "
                         "necessary.</span>";
            } else {
                std::string copy;
                if (BackupCertFile(target, suffix, copy)) {
                    backup = Html(copy);
                } else {
                    backup = "<span i18nKey=\"upld.stat.bakfailed\">Backup process failed</span>";
                    save = false;
                }
            }
            if (!loadable)
                status = 2;
            else if (!save)
                status = 1;
            else
                status = SaveFile(target, up.data, u.mode) ? 0 : 2;
            char size[32];
            snprintf(size, sizeof size, "%zu", up.data.size());
            uploaded = Html(up.filename) + " (" + size + " bytes - " + Html(up.contentType) + ")";
        }
        allOk = allOk && (status == 0 || status == 3);
        rows += Row(u.title, kUploadStatus[status], true);
        rows += Row("<span i18nKey=\"upld.hdr.orig\">Original File</span>", uploaded, false);
        rows += Row("<span i18nKey=\"upld.hdr.upldLoc\">Upload Location</span>", location, false);
        rows += Row("<span i18nKey=\"upld.hdr.bakFile\">Backup File</span>", backup, false);
        rows += Row("", "", false);
    }
    QcfgReply_ContentType("text/html; charset=utf-8");
    QcfgReply_CatFile(run.path + "html/uploadStatus1.html");
    QcfgReply_Puts(rows);
    QcfgReply_CatFile(run.path + "html/uploadStatus2.html");
    return allOk;
}

bool QueryHandlerCheckCertifData(QcfgRun &)
{
    QcfgReply_Puts("SUCCESS:");
    return true;
}

bool QueryHandlerRestart(QcfgRun &run)
{
    if (run.path.empty()) {
        QcfgLogWarning(1, "QueryHandlerRestart Failed: Invalid argument");
        QcfgReply_Error(QCFG_ERR_HANDLER_NO_PATH);
        return false;
    }
    QcfgSess_StoreIntValue(run.session, nullptr, "IsLoggedIn", 0);
    /* the restart may end this run before it gets to its end: the logout
     * is stored first */
    QcfgSession_Save(run.session);
    QcfgReply_Puts("SUCCESS:");
    QcfgReply_Flush();
    if (!RestartQuenSC(run.path)) {
        QcfgReply_Error(QCFG_ERR_RESTART_FAILED);
        return false;
    }
    return true;
}
