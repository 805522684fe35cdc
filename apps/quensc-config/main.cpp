/* configure: the configuration tool, one run per HTTP request of the
 * administration pages. This file owns the run (start-up under the
 * system-wide lock, the log, the session), login and roles, the pages it
 * serves, and the dispatch table with the rights of every query.
 *
 * The process exit status is always 0; what counts is the reply: "SUCCESS:"
 * or "ERROR:" and a code (qcfgCodes.h), or a page. */
#include "dbSetup.h"
#include "ldapCheck.h"
#include "policydb/db.h"
#include "qcfgCodes.h"
#include "request.h"
#include "tool.h"
#include "toolConfig.h"
#include "toolLock.h"
#include "toolLog.h"

#include <apr_general.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

void WriteLockError(int code) { QcfgReply_Error(code); }

/* Reads the installation path from quensc-config.conf in the working
 * folder: the rest of the first "path=" line (lines up to 1024 bytes).
 * Returns QCFG_OK or QCFG_ERR_STARTUP_OPEN / QCFG_ERR_STARTUP_NO_PATH. */
int ReadStartupFile(std::string &path)
{
    FILE *f = fopen("quensc-config.conf", "re");
    if (!f)
        return QCFG_ERR_STARTUP_OPEN;
    char line[1024];
    int code = QCFG_ERR_STARTUP_NO_PATH;
    while (fgets(line, sizeof line, f)) {
        char *eq = strchr(line, '=');
        if (!eq)
            continue;
        std::string key(line, (size_t)(eq - line));
        if (key != "path")
            continue;
        std::string value = eq + 1;
        while (!value.empty() && (value.back() == '\n' || value.back() == '\r'))
            value.pop_back();
        path = value;
        code = QCFG_OK;
        break;
    }
    fclose(f);
    return code;
}

/* ---- roles and login --------------------------------------------------- */

int CurrentRole(QcfgRun &run)
{
    const std::string role = QcfgSess_RetrieveStringValue(run.session, nullptr, "UserRole");
    if (role == "administrator_initial")
        return QCFG_ROLE_ADMIN_INITIAL;
    if (role == "administrator")
        return QCFG_ROLE_ADMIN;
    if (role == "helpdesk")
        return QCFG_ROLE_HELPDESK;
    return 0;
}

const char *RoleName(int role)
{
    switch (role) {
    case QCFG_ROLE_ADMIN_INITIAL: return "administrator_initial";
    case QCFG_ROLE_ADMIN: return "administrator";
    case QCFG_ROLE_HELPDESK: return "helpdesk";
    default: return "";
    }
}

/* Sends the login page of the login mode; the directory page with
 * "$$DOMAIN$$" replaced by the default domain. */
bool DisplayLoginPage(QcfgRun &run)
{
    if (run.path.empty()) {
        QcfgLogWarning(1, "\t\tDisplayLoginPage Failed: Invalid argument");
        return false;
    }
    if (QcfgSess_RetrieveIntValue(run.session, "global", "use_ldap") != 0) {
        std::string page;
        FILE *f = fopen((run.path + "html/loginLDAP.html").c_str(), "rbe");
        if (!f)
            return false;
        char buffer[8192];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, f)) > 0)
            page.append(buffer, n);
        fclose(f);
        const std::string realm = QcfgSess_RetrieveStringValue(run.session, "krb5", "default_realm");
        /* the realm lands inside the page: escape what HTML would read */
        std::string safe;
        for (char c : realm) {
            switch (c) {
            case '&': safe += "&amp;"; break;
            case '<': safe += "&lt;"; break;
            case '>': safe += "&gt;"; break;
            case '"': safe += "&quot;"; break;
            case '\'': safe += "&#39;"; break;
            default: safe += c;
            }
        }
        size_t at = page.find("$$DOMAIN$$");
        if (at != std::string::npos)
            page.replace(at, 10, safe);
        QcfgReply_ContentType("text/html; charset=utf-8");
        QcfgReply_Puts(page);
        return true;
    }
    QcfgReply_ContentType("text/html; charset=utf-8");
    return QcfgReply_CatFile(run.path + "html/loginPlain.html");
}

/* replyKind 1: a query (error 806 when a login is needed); 2: a page (the
 * login page). */
bool AuthenticateUsers(QcfgRun &run, int replyKind)
{
    if (QcfgSess_RetrieveIntValue(run.session, nullptr, "IsLoggedIn") == 1 && CurrentRole(run) != 0)
        return true;
    if (run.configured) {
        if (replyKind == 1) {
            QcfgLogInfo(1, "\t\tServer is configured - Sending error message.");
            QcfgReply_Error(QCFG_ERR_NOT_LOGGED_IN);
        } else {
            QcfgLogInfo(1, "\t\tServer is configured - Sending login request.");
            DisplayLoginPage(run);
        }
        return false;
    }
    QcfgLogInfo(1, "\t\tServer is not configured - use ''initial administrator''");
    QcfgSess_StoreIntValue(run.session, nullptr, "IsLoggedIn", 1);
    QcfgSess_StoreStringValue(run.session, nullptr, "UserRole", "administrator_initial");
    return true;
}

bool AuthorizeUser(int role, int required)
{
    if ((role & required) != 0)
        return true;
    QcfgLogWarning(1, "\t\tAuthorizeUser Failed: Current: %d, Required: %d", role, required);
    return false;
}

bool AuthenticateAndAuthorized(QcfgRun &run, int requiredConfigured, int requiredNotConfigured, int replyKind)
{
    if (!AuthenticateUsers(run, replyKind))
        return false;
    if (AuthorizeUser(CurrentRole(run), run.configured ? requiredConfigured : requiredNotConfigured))
        return true;
    QcfgLogInfo(1, "\t\tNot Authorized - Sending login request.");
    QcfgSess_StoreIntValue(run.session, nullptr, "IsLoggedIn", 0);
    QcfgSess_StoreStringValue(run.session, nullptr, "UserRole", "");
    DisplayLoginPage(run);
    return false;
}

bool CheckCredential(QcfgRun &run, const std::string &password, int *role)
{
    std::string hash;
    if (!QcfgHashPassword(password, hash)) {
        QcfgLogWarning(1, "\t\tCheckCredentials Failed: Could not hash pwd");
        return false;
    }
    /* an empty stored hash never matches: no password set admits nobody */
    const std::string admin = QcfgSess_RetrieveStringValue(run.session, "administrators", "password");
    if (!admin.empty() && admin == hash) {
        *role = QCFG_ROLE_ADMIN;
        QcfgLogInfo(2, "\t\tLEAVE (CheckCredential - true: ADMIN)");
        return true;
    }
    const std::string helpdesk = QcfgSess_RetrieveStringValue(run.session, "helpdesk", "password");
    if (!helpdesk.empty() && helpdesk == hash) {
        *role = QCFG_ROLE_HELPDESK;
        return true;
    }
    QcfgLogWarning(1, "\t\tCheckCredentials Failed");
    return false;
}

QcfgLdapSettings LdapSettings(QcfgRun &run)
{
    QcfgLdapSettings s;
    bool present = false;
    s.referralUser = QcfgValue("qUserUPN", &present);
    if (!present)
        s.referralUser = QcfgSess_RetrieveStringValue(run.session, "krb5", "query_user");
    s.referralPassword = QcfgValue("qUserPw", &present);
    if (!present)
        s.referralPassword = QcfgSess_RetrieveStringValue(run.session, "krb5", "query_user_pass");
    s.referralRealm = QcfgValue("defDomain", &present);
    if (!present)
        s.referralRealm = QcfgSess_RetrieveStringValue(run.session, "krb5", "default_realm");
    s.secure = QcfgSess_RetrieveIntValue(run.session, "ldap", "secure");
    s.caFile = QcfgSess_RetrieveStringValue(run.session, "ldap", "ca_file");
    return s;
}

bool QueryHandlerLogin(QcfgRun &run, int required)
{
    bool hasName = false, hasDomain = false, hasLdapPw = false, hasPlain = false;
    const std::string name = QcfgValue("loginLdapName", &hasName);
    std::string domain = QcfgValue("loginLdapDomain", &hasDomain);
    const std::string ldapPw = QcfgValue("loginLdapPasswd", &hasLdapPw);
    const std::string plainPw = QcfgValue("loginPlainPasswd", &hasPlain);
    const std::string tmp = run.path + "tmp";
    const std::string address = QcfgRequest_RemoteAddr();

    int role = 0;
    if (QcfgSess_RetrieveIntValue(run.session, "global", "use_ldap") != 0) {
        if (hasPlain) {
            QcfgReply_Error(QCFG_ERR_LOGIN_FORM);
            return false;
        }
        if (domain == "$$DOMAIN$$")
            domain.clear();
        QcfgThrottle_Wait(tmp, address);
        QcfgSession &s = run.session;
        int code = QcfgLDAP_VerifyUserCredentials(
            LdapSettings(run), QcfgSess_RetrieveStringValue(s, "ldap", "host"),
            QcfgSess_RetrieveStringValue(s, "krb5", "query_user"),
            QcfgSess_RetrieveStringValue(s, "krb5", "query_user_pass"),
            QcfgSess_RetrieveStringValue(s, "krb5", "default_realm"),
            QcfgSess_RetrieveStringValue(s, "administrators", "ldap_group_dn"), name, domain, ldapPw, &role);
        if (code != QCFG_OK) {
            QcfgThrottle_Record(tmp, address, true);
            QcfgReply_Error(code);
            return false;
        }
    } else {
        if (hasName || hasDomain || hasLdapPw) {
            QcfgReply_Error(QCFG_ERR_LOGIN_FORM);
            return false;
        }
        QcfgThrottle_Wait(tmp, address);
        if (!CheckCredential(run, plainPw, &role)) {
            QcfgThrottle_Record(tmp, address, true);
            QcfgReply_Error(QCFG_ERR_WRONG_PASSWORD);
            return false;
        }
    }
    QcfgThrottle_Record(tmp, address, false);
    if ((role & required) == 0) {
        QcfgLogWarning(1, "\t\tAuthorizeUser Failed: Current: %d, Required: %d", role, required);
        QcfgReply_Error(QCFG_ERR_ROLE_REFUSED);
        return false;
    }
    if (QcfgSession_Renew(run.session))
        QcfgReply_SetSessionCookie(run.session.id);
    QcfgSess_StoreIntValue(run.session, nullptr, "IsLoggedIn", 1);
    QcfgSess_StoreStringValue(run.session, nullptr, "UserRole", RoleName(role));
    QcfgReply_Puts("SUCCESS:");
    return true;
}

bool QueryHandlerLogout(QcfgRun &run)
{
    QcfgSession_Destroy(run.session);
    QcfgReply_SetSessionCookie("");
    QcfgReply_Redirect("configure.cgi");
    return true;
}

bool QueryHandlerDefault(QcfgRun &run)
{
    if (run.path.empty()) {
        QcfgLogWarning(1, "\t\tQueryHandlerDefault Failed: Invalid argument");
        QcfgReply_Error(QCFG_ERR_NO_INSTALL_PATH);
        return false;
    }
    QcfgReply_ContentType("text/html; charset=utf-8");
    return QcfgReply_CatFile(run.path + (run.configured ? "html/reconfig.html" : "html/initConfig.html"));
}

/* ---- dispatch ------------------------------------------------------------ */

enum Kind { QUERY, PAGE, OPEN };

struct Route {
    const char *type;        /* "" for the default page */
    int rightsConfigured;
    int rightsNotConfigured;
    Kind kind;               /* QUERY: error 806 without login; PAGE: login page; OPEN: no rights */
    bool postOnly;           /* changes state: POST from this site only */
};

const Route kRoutes[] = {
    {"", 2, 3, PAGE, false},
    {"GetDSNList", 2, 3, QUERY, false},
    {"CheckDSNData", 2, 3, QUERY, false},
    {"CheckLDAPData", 2, 3, QUERY, false},
    {"Commit", 2, 3, QUERY, true},
    {"Restart", 3, 3, QUERY, true},
    {"Login", 0, 0, OPEN, true},
    {"SendData", 2, 3, QUERY, false},
    {"Logout", 0, 0, OPEN, false},
    {"UploadCertFile", 2, 3, QUERY, true},
    {"CheckCertifData", 2, 3, QUERY, false},
};

bool Handle(QcfgRun &run, const Route &r)
{
    const std::string type = r.type;
    if (type.empty())
        return QueryHandlerDefault(run);
    if (type == "GetDSNList")
        return QueryHandlerGetDSNList(run);
    if (type == "CheckDSNData")
        return QueryHandlerCheckDSNData(run);
    if (type == "CheckLDAPData")
        return QueryHandlerCheckLDAPData(run);
    if (type == "Commit")
        return QueryHandlerCommit(run);
    if (type == "Restart")
        return QueryHandlerRestart(run);
    if (type == "Login")
        return QueryHandlerLogin(run, QCFG_ROLE_ADMIN);
    if (type == "SendData") {
        bool present = false;
        std::string page = QcfgValue("page", &present);
        return QueryHandlerSendData(run, page, present);
    }
    if (type == "Logout")
        return QueryHandlerLogout(run);
    if (type == "UploadCertFile")
        return QueryHandlerUploadCertFile(run);
    return QueryHandlerCheckCertifData(run);
}

int Dispatch(QcfgRun &run, const std::string &type)
{
    for (const Route &r : kRoutes) {
        if (type != r.type)
            continue;
        if (r.postOnly && !QcfgRequest_SameSitePost()) {
            const char *origin = getenv("HTTP_ORIGIN");
            QcfgLogWarning(1, "\tRefused %s: by %s, Origin %s", type.c_str(), QcfgRequest_Method().c_str(),
                           origin ? origin : "(none)");
            QcfgReply_Error(QCFG_ERR_REQUEST_REFUSED);
            return 0;
        }
        if (r.kind != OPEN &&
            !AuthenticateAndAuthorized(run, r.rightsConfigured, r.rightsNotConfigured, r.kind == QUERY ? 1 : 2))
            return 0;
        return Handle(run, r) ? 1 : 0;
    }
    QcfgLogWarning(1, "Main Failed: Unhandled query type: %s", type.c_str());
    QcfgReply_Error(QCFG_ERR_UNKNOWN_QUERY);
    return 0;
}

void Run()
{
    QcfgLock_SetFailedWaitHook(WriteLockError);
    QcfgRun run;

    /* The start-up file names the installation, and with it the lock and the
     * log: read it first (it is only read, never written by the tool). */
    int code = ReadStartupFile(run.path);
    if (code != QCFG_OK) {
        QcfgReply_Error(code);
        return;
    }
    if (run.path.empty() || run.path.back() != '/') {
        /* every file of the run lies under this path: nothing can be done */
        QcfgReply_Error(QCFG_ERR_DEFAULTS);
        return;
    }
    if (!QcfgLog_Open(run.path + "log/quensc-config.log")) {
        QcfgReply_Error(QCFG_ERR_LOG_OPEN);
        return;
    }
    PolDb_SetLogFunctions(QcfgLog_LibraryLine, QcfgLog_LibraryWarning, nullptr);
    /* The request body is read before the lock is taken: a slow client must
     * not hold up every other run of the tool. */
    if (!QcfgRequest_Init())
        QcfgLogWarning(1, "\tThe request could not be read; it counts as one without arguments");
    if (!QcfgLock_Create(run.path + "tmp/quensc-config.lock")) {
        QcfgReply_Error(QCFG_ERR_LOCK_CREATE);
        return;
    }
    if (!QcfgLock_Acquire()) {
        QcfgLogWarning(1, "\tCannot get a lock while initializing");
        return;
    }
    QcfgLogInfo(1, "**** Starting main... ****");

    const std::string sessionFolder = run.path + "tmp";
    if (!QcfgSession_Open(run.session, sessionFolder, QcfgRequest_Cookie(QcfgSession_CookieName))) {
        QcfgLogWarning(1, "\tSession Tracking module failed: no session id could be drawn");
        QcfgReply_Error(QCFG_ERR_LOCK_FAILED);
        QcfgLock_Release();
        return;
    }
    if (run.session.isNew)
        QcfgReply_SetSessionCookie(run.session.id);
    QcfgLogInfo(1, "\tQUENSC PATH    : %s", run.path.c_str());
    QcfgLogInfo(1, "\tSESSION PATH  : %s", sessionFolder.c_str());
    QcfgLogInfo(1, "\tSession Tracking module started (isNewSession = %d).", run.session.isNew ? 1 : 0);

    if (!SetDefaultSetting(run.session, run.path)) {
        QcfgReply_Error(QCFG_ERR_DEFAULTS);
        QcfgLogWarning(1, "\tMain Failed: Failed to setup Default Settings");
        QcfgLock_Release();
        return;
    }
    const bool read = ReadConfigFile(run.session, run.path);
    run.configured = read;
    QcfgLogInfo(1, "\tReadConfigFile: %d", read ? 1 : 0);
    QcfgLogInfo(1, "\tServer is Configured: %d", run.configured ? 1 : 0);

    const std::string type = QcfgValue("type");
    QcfgLogInfo(1, "\tHandling query type: %s...", type.c_str());
    QcfgLock_Release();

    int result = Dispatch(run, type);
    QcfgLogInfo(1, "\tHandling by QueryHandler() %d.", result);
    if (!QcfgSession_Save(run.session))
        QcfgLogWarning(1, "\tSession values could not be saved");
    QcfgReply_Flush();
}

} // namespace

int main()
{
    if (apr_initialize() != APR_SUCCESS) {
        fprintf(stderr, "\tFailed to initialize apr pools - exiting... %d\n", 1);
        return 0;
    }
    Run();
    QcfgLog_Close();
    QcfgLock_Close();
    apr_terminate();
    return 0;
}
