/* The tool's layer over the database library's set-up entry points
 * (dbSetup.h). */
#include "dbSetup.h"

#include "policydb/db.h"
#include "toolLog.h"

#include <cstdlib>
#include <cstring>

namespace {

std::string ErrorText(const char *fallback)
{
    const char *text = Db_ModuleStatusText();
    if (text && *text)
        return text;
    if (fallback && *fallback)
        return fallback;
    return "Unknown DB Error";
}

typedef bool (*SetupFn)(int, const char *, const char *, const char *);

bool RunSetup(SetupFn fn, const char *name, const char *type, const std::string &address, const std::string &user,
              const std::string &password, std::string &error, const char *fallback)
{
    QcfgLogInfo(2, "\tENTER (QcfgDB_%s - %s - %s)", name, type ? type : "", address.c_str());
    if (!type || address.empty()) {
        QcfgLogWarning(1, "\t\t%s Failed: Invalid arguments", name);
        error = fallback;
        return false;
    }
    Db_SetModuleStatus(0, "");
    const int kind = TranslateDbType(type);
    bool ok = fn(kind, address.c_str(), kind == DB_STORE_ODBC ? user.c_str() : nullptr,
                 kind == DB_STORE_ODBC ? password.c_str() : nullptr);
    if (!ok) {
        error = ErrorText(fallback);
        QcfgLogWarning(1, "\t\tError occurred: %s", error.c_str());
    }
    QcfgLogInfo(2, "\t\tLEAVE (QcfgDB_%s - %s - %s - %s)", name, type, address.c_str(), ok ? "true" : "false");
    return ok;
}

} // namespace

int TranslateDbType(const char *type)
{
    if (!type) {
        QcfgLogInfo(2, "\t\tTranslateDbType return default value: Invalid argument");
        return DB_STORE_SQLITE;
    }
    return strcmp(type, "odbc") == 0 ? DB_STORE_ODBC : DB_STORE_SQLITE;
}

bool QcfgDB_GetDSNList(std::vector<std::string> &names, std::vector<std::string> &descriptions, std::string &error)
{
    QcfgLogInfo(2, "\tENTER (QcfgDB_GetDSNList)");
    names.clear();
    descriptions.clear();
    char **n = nullptr;
    char **d = nullptr;
    int count = 0;
    Db_SetModuleStatus(0, "");
    if (!PolDb_SetupListDataSources(&n, &d, &count)) {
        error = ErrorText("Unknown GetDSNList Error");
        QcfgLogWarning(1, "\t\tError occurred: %s", error.c_str());
        QcfgLogInfo(2, "\t\tLEAVE (QcfgDB_GetDSNList - %s - %d)", "false", 0);
        return false;
    }
    for (int i = 0; i < count; ++i) {
        names.emplace_back(n && n[i] ? n[i] : "");
        descriptions.emplace_back(d && d[i] ? d[i] : "");
        if (n)
            free(n[i]);
        if (d)
            free(d[i]);
    }
    free(n);
    free(d);
    QcfgLogInfo(2, "\t\tLEAVE (QcfgDB_GetDSNList - %s - %d)", "true", count);
    return true;
}

bool QcfgDB_IsUserValid(const std::string &dsn, const std::string &user, const std::string &password,
                        std::string &error)
{
    QcfgLogInfo(2, "\tENTER (QcfgDB_IsUserValid - %s - %s)", dsn.c_str(), user.c_str());
    if (dsn.empty() || user.empty() || password.empty()) {
        QcfgLogWarning(1, "\t\tIsUserValid Failed: Invalid arguments");
        error = "Unknown Error Message";
        return false;
    }
    Db_SetModuleStatus(0, "");
    bool ok = PolDb_SetupTestConnection(DB_STORE_ODBC, dsn.c_str(), user.c_str(), password.c_str());
    if (!ok) {
        error = ErrorText("Unknown Error Message");
        QcfgLogWarning(1, "\t\tError occurred: %s", error.c_str());
    }
    QcfgLogInfo(2, "\t\tLEAVE (QcfgDB_IsUserValid - %s)", ok ? "true" : "false");
    return ok;
}

bool QcfgDB_CheckSchema(const char *type, const std::string &address, const std::string &user,
                        const std::string &password, std::string &error)
{
    return RunSetup(PolDb_SetupCheckSchema, "CheckSchema", type, address, user, password, error,
                    "Uknown Error Message");
}

bool QcfgDB_InitializeSchema(const char *type, const std::string &address, const std::string &user,
                             const std::string &password, std::string &error)
{
    return RunSetup(PolDb_SetupInitSchema, "InitializeSchema", type, address, user, password, error,
                    "Unknown Error Message");
}

bool QcfgDB_UpgradeSchema(const char *type, const std::string &address, const std::string &user,
                          const std::string &password, std::string &error)
{
    return RunSetup(PolDb_SetupUpgradeSchema, "UpgradeSchema", type, address, user, password, error,
                    "Unknown Error Message");
}
