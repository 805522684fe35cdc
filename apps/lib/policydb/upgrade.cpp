/* The schema upgrade: brings a database of version 202 (SQLite only) or 206
 * to 215 up to the current version 216 in place, keeping its rows.
 *
 * The upgrade is a ladder of steps, each from one version to the next known
 * one. A step is a fixed record of optional SQL texts and an optional data
 * hook, run in a fixed order of phases, each committed at once.
 *
 * Resuming. Every phase records its number in a progress row of
 * PolicyDb_LongField (key 'PolicyDb_UpgradeStep', value "FROM TO PHASE"),
 * written in the same transaction as the phase's own work, and the row goes
 * once the step is through. A later attempt that finds the row continues
 * that step after the last committed phase instead of starting it again, so
 * rows that a failed step left only in its temporary tables are copied back,
 * and a phase that added a column or a row is not run a second time. Module
 * init looks for the row also when the version row is missing (a rebuild of
 * 202 drops PolicyDb_MetaInfo with the other old tables). */
#include "policydb/access.h"
#include "policydb/event.h"
#include "policydb/instance.h"
#include "policydb/quen.h"
#include "policydb/runtimePolicy.h"
#include "store/stores.h"

#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

namespace {

typedef bool (*UpgradeHook)(DbConnection *conn);

struct UpgradeStep {
    int from;
    int to;
    int engine;      /* 0: every engine; otherwise only this one */
    int notEngine;   /* 0: none; otherwise every engine but this one */
    std::vector<std::string> oldTables;
    std::vector<std::string> tempTables;
    std::string alter1;
    std::string alter2;
    std::string createTemp;
    std::string extract;
    std::string createNew;
    std::string lowercase;
    std::string copyBack;
    UpgradeHook hook;
    bool commitEach;
};

/* The phases in the order a step runs them; the number is what the progress
 * row records. */
enum Phase {
    PHASE_NONE = 0,
    PHASE_ALTER1 = 1,
    PHASE_HOOK = 2,
    PHASE_DROP_TEMP_BEFORE = 3,
    PHASE_CREATE_TEMP = 4,
    PHASE_EXTRACT = 5,
    PHASE_DROP_OLD = 6,
    PHASE_CREATE_NEW = 7,
    PHASE_LOWERCASE = 8,
    PHASE_COPY_BACK = 9,
    PHASE_DROP_TEMP_AFTER = 10,
    PHASE_ALTER2 = 11,
};

const char kProgressKey[] = "PolicyDb_UpgradeStep";
const char kFailed[] = "Database upgrade failed: %s";
const char kDbError[] = "PolDb_UpgradeDbVersion: %s, Database error: %s\n";

/* ---- helpers -------------------------------------------------------------- */

void Join(std::string &script, const std::string &statement)
{
    if (statement.empty())
        return;
    if (!script.empty())
        script += ';';
    script += statement;
}

std::string Version(int to)
{
    return "UPDATE PolicyDb_MetaInfo SET value = '" + std::to_string(to) + "' WHERE name = 'version'";
}

std::string Replace(std::string text, const std::string &from, const std::string &to)
{
    size_t at = text.find(from);
    if (at != std::string::npos)
        text.replace(at, from.size(), to);
    return text;
}

std::string WithoutForeignKeys(const std::string &create)
{
    static const std::regex fk(R"(, FOREIGN KEY \([^)]*\) REFERENCES \w+ \(\w+\))");
    return std::regex_replace(create, fk, "");
}

std::string AsTemporary(const std::string &create, const std::string &table)
{
    return Replace(WithoutForeignKeys(create), "CREATE TABLE " + table + " (", "CREATE TABLE " + table + "_tmp (");
}

/* The current CREATE TABLE of a table without the statements after it. */
std::string TableOnly(const char *table)
{
    std::string text = PolDb_SchemaTableScript(table);
    size_t end = text.find(';');
    return end == std::string::npos ? text : text.substr(0, end);
}

/* The table of version 206: the current one without the tombstone column,
 * the nine custom fields and the access key. */
std::string Table206(const char *table)
{
    std::string text = TableOnly(table);
    text = Replace(text, "deleted VARCHAR(7) DEFAULT 'FALSE', ", "");
    static const std::regex custom(R"(insCustom\d VARCHAR\(255\), )");
    text = std::regex_replace(text, custom, "");
    if (std::string(table) == "PolicyDb_Access") {
        text = Replace(text, "accessPK VARCHAR(128) NOT NULL, ", "");
        text = Replace(text, "PRIMARY KEY (accessPK)", "PRIMARY KEY (quenUID, identityData, accVersion)");
    }
    return text;
}

const char kServer206[] = "CREATE TABLE PolicyDb_QuenscServer ("
                          "serverHostname VARCHAR(128) NOT NULL, "
                          "serverPort INTEGER NOT NULL, "
                          "secure VARCHAR(7) DEFAULT 'FALSE' NOT NULL, "
                          "sslCertificate VARCHAR(2048), "
                          "otherData VARCHAR(2048), "
                          "PRIMARY KEY (serverHostname, serverPort))";

/* The instance indices of version 206: every current one but the tombstone's
 * and the custom fields'. */
std::string InstanceIndices206()
{
    std::string script;
    std::string all = PolDb_SchemaScript();
    size_t at = 0;
    while ((at = all.find("CREATE INDEX PdbIns_", at)) != std::string::npos) {
        size_t end = all.find(';', at);
        std::string statement = all.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at += 1;
        if (statement.find("ON PolicyDb_Instance (") == std::string::npos ||
            statement.find("PdbIns_deleted_idx") != std::string::npos ||
            statement.find("PdbIns_custom") != std::string::npos)
            continue;
        Join(script, statement);
    }
    return script;
}

const char *const kObjectTables[] = {"PolicyDb_Access",  "PolicyDb_Quen",          "PolicyDb_Instance",
                                     "PolicyDb_MacPool", "PolicyDb_Package",       "PolicyDb_RuntimePolicy",
                                     "PolicyDb_UserData"};

/* ---- the ladder ----------------------------------------------------------- */

bool HookAccessKeys(DbConnection *conn);
bool HookCreatePreviewPolicies(DbConnection *conn);
bool HookReloadEventTypes(DbConnection *conn);
bool HookRefreshInstancesAndEvents(DbConnection *conn);

UpgradeStep Step202To206()
{
    UpgradeStep s{};
    s.from = 202;
    s.to = 206;
    s.engine = DB_ENGINE_SQLITE;
    s.commitEach = true;
    s.tempTables = {"PolicyDb_QuenscServer_tmp", "PolicyDb_Access_tmp",    "PolicyDb_Instance_tmp",
                    "PolicyDb_MacPool_tmp",      "PolicyDb_RuntimePolicy_tmp", "PolicyDb_UserData_tmp",
                    "PolicyDb_Package_tmp",      "PolicyDb_Quen_tmp"};
    s.oldTables = {"PolicyDb_QuenscServer", "PolicyDb_MetaInfo",       "PolicyDb_Session",
                   "PolicyDb_Access",       "PolicyDb_Instance",       "PolicyDb_MacPool",
                   "PolicyDb_RuntimePolicy", "PolicyDb_UserData",      "PolicyDb_Package",
                   "PolicyDb_Quen"};
    const char *const rebuilt[] = {"PolicyDb_Quen",    "PolicyDb_Package",  "PolicyDb_Access",
                                   "PolicyDb_Instance", "PolicyDb_MacPool", "PolicyDb_UserData",
                                   "PolicyDb_RuntimePolicy"};
    Join(s.createTemp, AsTemporary(kServer206, "PolicyDb_QuenscServer"));
    for (const char *t : rebuilt)
        Join(s.createTemp, AsTemporary(Table206(t), t));

    const std::string server = "serverHostname, serverPort, secure, sslCertificate, otherData";
    const std::string quen = "quenUID, quenName, activePolicySetVersion, quenTsCreated, quenTsLastModified";
    const std::string package = "packageUID, quenUID, pkgName, pkgUseValidDates, pkgValidDateStart, "
                                "pkgValidDateEnd, pkgDisabled, pkgProtectionKey, pkgTsCreated, pkgTsLastModified";
    const std::string access = "quenUID, identityData, accVersion, identityType, identityName, "
                               "accUseInstanceLimit, accInstanceLimit, accTsCreated, accTsLastModified";
    const std::string instance =
        "instanceUID, packageUID, quenUID, creatorIdName, creatorIdData, creatorAuthType, activationDate, "
        "lastPolicyCheck, revocationDate, inheritsExpiration, insUseValidDates, insValidDateStart, "
        "insValidDateEnd, insPassword, hostName, hostIp, insProtectionKey, copyProtectionId, guestMacAddress, "
        "guestMachineName, guestConfigStatus, guestConfigMsg, insTsCreated, insTsLastModified";
    const std::string macPool = "macPoolUID, quenUID, macPoolName, description, rangeStart, rangeEnd, "
                                "lastAssigned, mplTsCreated, mplTsLastModified";
    const std::string policy = "quenUID, policyVersion, clientPolicyData, hostPolicyData, expirationType, "
                               "expValue_1, expValue_2, rtpInstType, rtpAuthType, rtpUseInstanceLimit, "
                               "rtpInstanceLimit, published, rtpTsCreated, rtpTsLastModified";
    auto copy = [](const std::string &table, const std::string &columns) {
        return "INSERT INTO " + table + "_tmp (" + columns + ") SELECT " + columns + " FROM " + table;
    };
    Join(s.extract, copy("PolicyDb_QuenscServer", server));
    Join(s.extract, copy("PolicyDb_Quen", quen));
    Join(s.extract, "INSERT INTO PolicyDb_Package_tmp (" + package + ", pkgPreview) SELECT " + package +
                        ", 'FALSE' FROM PolicyDb_Package");
    Join(s.extract, copy("PolicyDb_Access", access));
    Join(s.extract, "INSERT INTO PolicyDb_Instance_tmp (" + instance +
                        ", replacementDate, insPreview, guestIpAddress) SELECT " + instance +
                        ", '0', 'FALSE', '' FROM PolicyDb_Instance");
    Join(s.extract, copy("PolicyDb_MacPool", macPool));
    Join(s.extract, "INSERT INTO PolicyDb_RuntimePolicy_tmp (" + policy +
                        ", clientPolicyDataExtKey, hostPolicyDataExtKey, cacheLifetime, rtpUsePerUserInstanceLimit, "
                        "rtpPerUserInstanceLimit, copyPolicy) SELECT " + policy +
                        ", NULL, NULL, '18446744073709551615', 'FALSE', 0, 0 FROM PolicyDb_RuntimePolicy");
    /* The key takes the Quen from the row's package. A row whose package is
     * gone (or that names none) keeps its own Quen, so it is not lost to
     * the join. */
    Join(s.extract,
         "INSERT INTO PolicyDb_UserData_tmp (userDataPK, quenUID, packageUID, activator, udataName, udataType, "
         "udataValue, udtTsCreated, udtTsLastModified) SELECT COALESCE(p.quenUID, u.quenUID, '') || ':' || "
         "COALESCE(u.packageUID, '') || '::' || COALESCE(u.udataName, ''), u.quenUID, u.packageUID, u.activator, "
         "u.udataName, u.udataType, u.udataValue, u.udtTsCreated, u.udtTsLastModified FROM PolicyDb_UserData u "
         "LEFT JOIN PolicyDb_Package p ON p.packageUID = u.packageUID");

    Join(s.createNew, TableOnly("PolicyDb_MetaInfo"));
    for (const char *t : rebuilt) {
        Join(s.createNew, Table206(t));
        if (std::string(t) == "PolicyDb_Instance")
            Join(s.createNew, InstanceIndices206());
    }
    Join(s.createNew, kServer206);
    Join(s.createNew, "INSERT INTO PolicyDb_MetaInfo (name, value) VALUES ('version', '206')");

    for (const char *t : rebuilt)
        Join(s.copyBack, std::string("INSERT INTO ") + t + " SELECT * FROM " + t + "_tmp");
    Join(s.copyBack, "INSERT INTO PolicyDb_QuenscServer SELECT * FROM PolicyDb_QuenscServer_tmp");
    return s;
}

UpgradeStep Step206To207(bool postgres)
{
    UpgradeStep s{};
    s.from = 206;
    s.to = 207;
    s.commitEach = true;
    if (postgres)
        s.engine = DB_ENGINE_POSTGRES;
    else
        s.notEngine = DB_ENGINE_POSTGRES;
    for (const char *t : kObjectTables) {
        if (postgres) {
            Join(s.alter1, std::string("ALTER TABLE ") + t + " ADD deleted VARCHAR(7)");
            Join(s.alter1, std::string("ALTER TABLE ") + t + " ALTER deleted SET DEFAULT 'FALSE'");
        } else {
            Join(s.alter1, std::string("ALTER TABLE ") + t + " ADD deleted VARCHAR(7) DEFAULT 'FALSE'");
        }
    }
    Join(s.alter1, "CREATE INDEX PdbIns_deleted_idx ON PolicyDb_Instance (deleted)");
    Join(s.alter1, "DROP TABLE PolicyDb_QuenscServer");
    Join(s.alter1, TableOnly("PolicyDb_QuenscServer"));
    for (const char *t : kObjectTables)
        Join(s.alter2, std::string("UPDATE ") + t + " SET deleted = 'FALSE'");
    Join(s.alter2, Version(207));
    return s;
}

UpgradeStep Step207To208()
{
    UpgradeStep s{};
    s.from = 207;
    s.to = 208;
    s.commitEach = true;
    s.alter1 = "ALTER TABLE PolicyDb_Access ADD accessPK VARCHAR(128)";
    s.hook = HookAccessKeys;
    s.tempTables = {"PolicyDb_Access_tmp"};
    s.oldTables = {"PolicyDb_Access"};
    s.createTemp = AsTemporary(TableOnly("PolicyDb_Access"), "PolicyDb_Access");
    const std::string columns = "accessPK, quenUID, identityData, accVersion, identityType, identityName, "
                                "accUseInstanceLimit, accInstanceLimit, accTsCreated, accTsLastModified, deleted";
    s.extract = "INSERT INTO PolicyDb_Access_tmp (" + columns + ") SELECT " + columns + " FROM PolicyDb_Access";
    s.createNew = TableOnly("PolicyDb_Access");
    s.copyBack = "INSERT INTO PolicyDb_Access SELECT * FROM PolicyDb_Access_tmp;";
    s.alter2 = Version(208);
    return s;
}

UpgradeStep Step208To209()
{
    UpgradeStep s{};
    s.from = 208;
    s.to = 209;
    s.commitEach = true;
    for (int i = 1; i <= 9; i++)
        Join(s.alter1, "ALTER TABLE PolicyDb_Instance ADD insCustom" + std::to_string(i) + " VARCHAR(255)");
    for (int i = 1; i <= 9; i++)
        Join(s.alter1, "CREATE INDEX PdbIns_custom" + std::to_string(i) + "_idx ON PolicyDb_Instance (insCustom" +
                           std::to_string(i) + ")");
    for (int i = 1; i <= 9; i++)
        Join(s.alter1, "INSERT INTO PolicyDb_MetaInfo (name, value) VALUES ('insCustom" + std::to_string(i) +
                           "Name', 'Custom User Field " + std::to_string(i) + "')");
    for (int i = 1; i <= 9; i++)
        Join(s.alter1, "INSERT INTO PolicyDb_MetaInfo (name, value) VALUES ('insCustom" + std::to_string(i) +
                           "ReadOnly', 'FALSE')");
    for (int i = 1; i <= 9; i++)
        Join(s.lowercase, "CREATE INDEX PdbIns_custom" + std::to_string(i) +
                              "_idxl on PolicyDb_Instance(lower(insCustom" + std::to_string(i) + "))");
    s.alter2 = Version(209);
    return s;
}

UpgradeStep Step209To210()
{
    UpgradeStep s{};
    s.from = 209;
    s.to = 210;
    s.commitEach = true;
    s.alter1 = "ALTER TABLE PolicyDb_LongField ADD sessionExpires VARCHAR(21);"
               "CREATE INDEX PdbLf_sessionExpires_idx ON PolicyDb_LongField (sessionExpires)";
    s.hook = HookCreatePreviewPolicies;
    s.alter2 = Version(210);
    return s;
}

/* The event types each version of the event log knew. */
bool Types211(int type) { return type == 0 || type == 10 || type == 1000; }
bool Types212(int type) { return type < 4000; }
bool Types213(int type) { return type < 4160; }
bool Types214(int type) { return type != 4170 && type < 5050; }
bool Types215(int type) { return type != 4170; }

UpgradeStep Step210To211()
{
    UpgradeStep s{};
    s.from = 210;
    s.to = 211;
    s.commitEach = true;
    Join(s.alter1, TableOnly("PolicyDb_EventType"));
    std::string event = TableOnly("PolicyDb_Event");
    event = Replace(event, "eventUID INTEGER NOT NULL", "eventUID VARCHAR(128) NOT NULL");
    event = Replace(event, "eventTs VARCHAR(21), ", "eventTs VARCHAR(21) UNIQUE, ");
    event = Replace(event, "prevEventUID INTEGER UNIQUE", "prevEventUID VARCHAR(128) UNIQUE");
    Join(s.alter1, event);
    Join(s.alter1, "CREATE INDEX PdbIns_eventCategory_idx ON PolicyDb_Event (eventCategory)");
    Join(s.alter1, "CREATE INDEX PdbIns_eventType_idx ON PolicyDb_Event (eventType)");
    Join(s.alter1, PolDb_EventTypeInserts(Types211));
    Join(s.alter1, "UPDATE PolicyDb_MetaInfo SET value = '' WHERE value LIKE 'Custom User Field _'");
    s.alter2 = Version(211);
    return s;
}

UpgradeStep StepEventTypes(int from, bool (*types)(int))
{
    UpgradeStep s{};
    s.from = from;
    s.to = from + 1;
    s.commitEach = true;
    s.alter1 = "DELETE FROM PolicyDb_Event;DELETE FROM PolicyDb_EventType;";
    s.alter1 += PolDb_EventTypeInserts(types);
    s.hook = HookReloadEventTypes;
    s.alter2 = Version(from + 1);
    return s;
}

UpgradeStep Step214To215()
{
    UpgradeStep s{};
    s.from = 214;
    s.to = 215;
    s.commitEach = true;
    s.alter1 = "DELETE FROM PolicyDb_Event;DELETE FROM PolicyDb_EventType;DROP TABLE PolicyDb_Event;";
    s.alter1 += PolDb_SchemaTableScript("PolicyDb_Event");
    s.alter1 += ';';
    s.alter1 += PolDb_EventTypeInserts(Types215);
    s.hook = HookReloadEventTypes;
    s.alter2 = Version(215);
    return s;
}

UpgradeStep Step215To216()
{
    UpgradeStep s{};
    s.from = 215;
    s.to = 216;
    s.commitEach = true;
    s.alter1 = "INSERT INTO PolicyDb_EventType VALUES(4170, 'Instance Delete requested', 4, "
               "'Instance Administration', 2)";
    s.hook = HookRefreshInstancesAndEvents;
    s.alter2 = Version(216);
    return s;
}

const std::vector<UpgradeStep> &Ladder()
{
    static const std::vector<UpgradeStep> steps = {
        Step202To206(),         Step206To207(true),  Step206To207(false),
        Step207To208(),         Step208To209(),      Step209To210(),
        Step210To211(),         StepEventTypes(211, Types212), StepEventTypes(212, Types213),
        StepEventTypes(213, Types214), Step214To215(), Step215To216(),
    };
    return steps;
}

const UpgradeStep *FindStep(int from, int engine)
{
    for (const UpgradeStep &s : Ladder()) {
        if (s.from != from)
            continue;
        if (s.engine && s.engine != engine)
            continue;
        if (s.notEngine && s.notEngine == engine)
            continue;
        return &s;
    }
    return nullptr;
}

/* ---- progress row ---------------------------------------------------------- */

/* Records that the step's phase is done, inside the open transaction. */
bool MarkProgress(DbConnection *conn, const UpgradeStep &s, int phase)
{
    const char *key = PolDb_EscapeString(conn, false, false, kProgressKey);
    const char *value = PolDb_EscapeString(conn, false, false, PolDbPsprintf(conn, "%d %d %d", s.from, s.to, phase));
    char *sql = PolDbPsprintf(conn,
                              "DELETE FROM PolicyDb_LongField WHERE longFieldKey = %s;"
                              "INSERT INTO PolicyDb_LongField (longFieldKey, longFieldIndex, longFieldValue) "
                              "VALUES (%s, 0, %s)",
                              key, key, value);
    return Db_Exec(conn, sql);
}

bool ClearProgress(DbConnection *conn)
{
    char *sql = PolDbPsprintf(conn, "DELETE FROM PolicyDb_LongField WHERE longFieldKey = %s",
                              PolDb_EscapeString(conn, false, false, kProgressKey));
    return Db_Exec(conn, sql) && Db_Commit(conn);
}

/* What ReadProgress found. */
enum Progress { PROGRESS_NONE, PROGRESS_FOUND, PROGRESS_UNREADABLE };

/* The recorded step and phase. A read that fails is not taken for "none":
 * starting a half-done step afresh could strand its saved rows. */
Progress ReadProgress(DbConnection *conn, int *from, int *to, int *phase)
{
    char *sql =
        PolDbPsprintf(conn, "SELECT longFieldValue FROM PolicyDb_LongField WHERE longFieldKey = %s",
                      PolDb_EscapeString(conn, false, false, kProgressKey));
    DbResultSet *rs = nullptr;
    if (!Db_Query(conn, sql, &rs))
        return PROGRESS_UNREADABLE;
    Progress result = PROGRESS_NONE;
    if (rs->ops->next(rs)) {
        char *value = rs->ops->getString(rs, 0);
        result = sscanf(value, "%d %d %d", from, to, phase) == 3 ? PROGRESS_FOUND : PROGRESS_UNREADABLE;
        free(value);
    }
    Db_FreeResult(conn, rs);
    Db_Commit(conn);
    return result;
}

/* ---- running the phases ---------------------------------------------------- */

void Fail(DbConnection *conn, const std::string &what)
{
    std::string message = PolDbPsprintf(conn, kFailed, what.c_str());
    PolDb_Log(kDbError, message.c_str(), Db_GetLastErrorText(conn) ? Db_GetLastErrorText(conn) : "");
    Db_SetModuleStatus(Db_GetLastError(conn), message.c_str());
}

bool RunSql(DbConnection *conn, const UpgradeStep &s, int phase, const std::string &sql, const char *what)
{
    if (sql.empty())
        return true;
    bool ok = Db_Exec(conn, sql.c_str());
    if (ok && s.commitEach)
        ok = MarkProgress(conn, s, phase) && Db_Commit(conn);
    if (!ok) {
        Fail(conn, what);
        return false;
    }
    Db_SetModuleStatus(0, "OK");
    return true;
}

bool RunHook(DbConnection *conn, const UpgradeStep &s)
{
    if (!s.hook)
        return true;
    bool ok = s.hook(conn);
    if (ok && s.commitEach)
        ok = MarkProgress(conn, s, PHASE_HOOK) && Db_Commit(conn);
    if (!ok) {
        /* A hook that stopped without a failed statement (which rolls back
         * at once) leaves its transaction open: undo its part-done work. */
        if (conn->inTransaction)
            Db_Rollback(conn);
        Fail(conn, "Cannot Execute Runtime Upgrade");
        return false;
    }
    return true;
}

/* Drops the tables before the step's work: anything they hold is a left-over
 * of an attempt that never finished its extract. */
void DropIgnoringErrors(DbConnection *conn, const std::vector<std::string> &tables)
{
    for (const std::string &t : tables) {
        Db_Commit(conn);
        PolDb_SuppressLog(true);
        Db_Exec(conn, PolDbPsprintf(conn, "DROP TABLE %s", t.c_str()));
        PolDb_SuppressLog(false);
    }
    Db_Commit(conn);
}

/* Drops each table and commits. A resumed drop (missingOk) passes over the
 * tables an earlier attempt dropped already. */
bool DropTables(DbConnection *conn, const UpgradeStep &s, int phase, const std::vector<std::string> &tables,
                bool missingOk)
{
    if (tables.empty())
        return true;
    for (const std::string &t : tables) {
        if (missingOk)
            PolDb_SuppressLog(true);
        bool ok = Db_Exec(conn, PolDbPsprintf(conn, "DROP TABLE %s", t.c_str())) && Db_Commit(conn);
        if (missingOk)
            PolDb_SuppressLog(false);
        if (!ok && !missingOk) {
            Fail(conn, "Cannot drop table " + t);
            return false;
        }
    }
    if (!MarkProgress(conn, s, phase) || !Db_Commit(conn)) {
        Fail(conn, "Error committing drop tables transaction");
        return false;
    }
    return true;
}

/* Runs the step's phases after `done`, the last one an earlier attempt
 * committed (PHASE_NONE for a fresh start). */
bool RunStep(DbConnection *conn, const UpgradeStep &s, int done)
{
    bool lowercase = conn->engine == DB_ENGINE_ORACLE || conn->engine == DB_ENGINE_POSTGRES;
    if (done < PHASE_ALTER1 && !RunSql(conn, s, PHASE_ALTER1, s.alter1, "Cannot alter existing tables (1)"))
        return false;
    if (done < PHASE_HOOK && !RunHook(conn, s))
        return false;
    if (done < PHASE_DROP_TEMP_BEFORE)
        DropIgnoringErrors(conn, s.tempTables);
    if (done < PHASE_CREATE_TEMP &&
        !RunSql(conn, s, PHASE_CREATE_TEMP, s.createTemp, "Cannot create temporary DB tables"))
        return false;
    if (done < PHASE_EXTRACT &&
        !RunSql(conn, s, PHASE_EXTRACT, s.extract, "Cannot extract data from old DB tables"))
        return false;
    if (done < PHASE_DROP_OLD && !DropTables(conn, s, PHASE_DROP_OLD, s.oldTables, done == PHASE_EXTRACT))
        return false;
    if (done < PHASE_CREATE_NEW) {
        /* Tables of a create new that was committed without its progress
         * row cannot exist: the two share one transaction. */
        if (!RunSql(conn, s, PHASE_CREATE_NEW, s.createNew, "Cannot create new DB tables"))
            return false;
    }
    if (done < PHASE_LOWERCASE && lowercase &&
        !RunSql(conn, s, PHASE_LOWERCASE, s.lowercase, "Cannot create lowercase indices for new DB tables"))
        return false;
    if (done < PHASE_COPY_BACK &&
        !RunSql(conn, s, PHASE_COPY_BACK, s.copyBack, "Cannot copy data from temporary tables to new DB tables"))
        return false;
    if (done < PHASE_DROP_TEMP_AFTER &&
        !DropTables(conn, s, PHASE_DROP_TEMP_AFTER, s.tempTables, done == PHASE_COPY_BACK))
        return false;
    if (done < PHASE_ALTER2 && !RunSql(conn, s, PHASE_ALTER2, s.alter2, "Cannot alter existing tables (2)"))
        return false;
    if (!s.commitEach && !Db_Commit(conn)) {
        Fail(conn, "Error committing upgrade transaction");
        return false;
    }
    if (!ClearProgress(conn)) {
        Fail(conn, "Error committing upgrade transaction");
        return false;
    }
    return true;
}

/* ---- data hooks ---------------------------------------------------------------- */

struct AccessKey {
    char *quenUID;
    char *identityData;
    int accVersion;
};

void ReadAccessKey(DbResultSet *rs, void *record)
{
    auto *k = static_cast<AccessKey *>(record);
    k->quenUID = rs->ops->getString(rs, 0);
    k->identityData = rs->ops->getString(rs, 1);
    k->accVersion = rs->ops->getInt(rs, 2);
}

void ReleaseAccessKey(void *record)
{
    auto *k = static_cast<AccessKey *>(record);
    free(k->quenUID);
    free(k->identityData);
}

/* Gives every access row, live or deleted, a new unique key registered in
 * the long-field table. */
bool HookAccessKeys(DbConnection *conn)
{
    void *array = nullptr;
    int count = PolDb_SelectArray(conn,
                                  "SELECT quenUID, identityData, accVersion FROM PolicyDb_Access "
                                  "WHERE deleted = 'FALSE' OR deleted = 'TRUE' OR deleted IS NULL",
                                  ReadAccessKey, &array, sizeof(AccessKey), "PolDb_UpgradeDbVersion");
    bool ok = count >= 0;
    auto *keys = static_cast<AccessKey *>(array);
    for (int i = 0; ok && i < count; i++) {
        char uid[POLDB_UID_SIZE];
        PolDb_CreateUniqueUID(conn, uid);
        const char *key = PolDb_EscapeString(conn, false, false, uid);
        char *sql = PolDbPsprintf(
            conn,
            "INSERT INTO PolicyDb_LongField (longFieldKey, longFieldIndex, longFieldValue) VALUES (%s, 0, "
            "'Access');UPDATE PolicyDb_Access SET accessPK = %s WHERE quenUID %s AND identityData %s AND "
            "accVersion = %d",
            key, key, PolDb_EscapeString(conn, false, true, keys[i].quenUID),
            PolDb_EscapeString(conn, false, true, keys[i].identityData), keys[i].accVersion);
        ok = Db_Exec(conn, sql);
    }
    PolDb_FreeArray(array, count > 0 ? count : 0, sizeof(AccessKey), ReleaseAccessKey);
    if (!ok) {
        std::string message = PolDbPsprintf(conn, kFailed, "Cannot set unique primary key for Access object");
        PolDb_Log(kDbError, message.c_str(), Db_GetLastErrorText(conn) ? Db_GetLastErrorText(conn) : "");
        Db_SetModuleStatus(Db_GetLastError(conn), message.c_str());
    }
    return ok;
}

/* Gives every Quen the preview policy version (active + 1) it lacks. */
bool HookCreatePreviewPolicies(DbConnection *conn)
{
    PolDbQuen *quens = nullptr;
    int count = 0;
    if (!PolDb_QuenEnumerate(conn, nullptr, &quens, &count))
        return false;
    bool ok = true;
    for (int i = 0; ok && i < count; i++) {
        const char *uid = quens[i].quenUID;
        int preview = quens[i].activePolicySetVersion + 1;
        PolDbRuntimePolicy *existing = nullptr;
        if (!PolDb_RuntimePolicyGetByPK(conn, uid, preview, false, &existing)) {
            ok = false;
            break;
        }
        if (existing) {
            PolDb_RuntimePolicyFree(existing);
            continue;
        }
        PolDbRuntimePolicy *created = PolDb_RuntimePolicyCreate(conn, uid);
        if (!created) {
            PolDb_Log("[ERROR] DB Upgrade CreatePreviewPolicies: Cannot create preview policy for quen uid %s\n", uid);
            ok = false;
            break;
        }
        int version = created->policyVersion;
        PolDb_RuntimePolicyFree(created);
        if (version != preview) {
            PolDb_Log("[ERROR] DB Upgrade CreatePreviewPolicies: Inconsistent current policy version for quen uid "
                      "%s\n",
                      uid);
            ok = false;
            break;
        }
        PolDb_Log("[INFO] DB Upgrade CreatePreviewPolicies: Created preview policy set for quen uid = %s\n", uid);
    }
    PolDb_QuenFreeArray(quens, count);
    return ok;
}

bool HookReloadEventTypes(DbConnection *conn)
{
    FreeEventTypes();
    return LoadEventTypes(conn);
}

struct InstanceTimes {
    char *instanceUID;
    int64_t values[8];
};

const char kInstanceTimeColumns[] = "activationDate, lastPolicyCheck, revocationDate, replacementDate, "
                                    "insValidDateStart, insValidDateEnd, insTsCreated, insTsLastModified";

void ReadInstanceTimes(DbResultSet *rs, void *record)
{
    auto *t = static_cast<InstanceTimes *>(record);
    t->instanceUID = rs->ops->getString(rs, 0);
    for (int i = 0; i < 8; i++)
        t->values[i] = rs->ops->getInt64(rs, i + 1);
}

void ReleaseInstanceTimes(void *record) { free(static_cast<InstanceTimes *>(record)->instanceUID); }

/* Rewrites every instance's dates and timestamps in the 20-digit form the
 * instance table compares as text, deleted rows too, then re-signs every
 * event under the current signature. */
bool HookRefreshInstancesAndEvents(DbConnection *conn)
{
    if (!HookReloadEventTypes(conn))
        return false;
    void *array = nullptr;
    int count = PolDb_SelectArray(conn,
                                  PolDbPsprintf(conn, "SELECT instanceUID, %s FROM PolicyDb_Instance",
                                                kInstanceTimeColumns),
                                  ReadInstanceTimes, &array, sizeof(InstanceTimes), "PolDb_UpgradeDbVersion");
    if (count < 0)
        return false;
    auto *rows = static_cast<InstanceTimes *>(array);
    bool ok = true;
    for (int i = 0; ok && i < count; i++) {
        const int64_t *v = rows[i].values;
        char *sql = PolDbPsprintf(
            conn,
            "UPDATE PolicyDb_Instance SET activationDate = '%020" PRId64 "', lastPolicyCheck = '%020" PRId64
            "', revocationDate = '%020" PRId64 "', replacementDate = '%020" PRId64 "', insValidDateStart = '%020" PRId64
            "', insValidDateEnd = '%020" PRId64 "', insTsCreated = '%020" PRId64 "', insTsLastModified = '%020" PRId64
            "' WHERE instanceUID = %s",
            v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], PolDb_EscapeString(conn, false, false, rows[i].instanceUID));
        ok = PolDb_Exec(conn, sql, "UpgradeDbVersion");
    }
    PolDb_FreeArray(array, count, sizeof(InstanceTimes), ReleaseInstanceTimes);
    if (!ok)
        return false;

    PolDbEvent *events = nullptr;
    int eventCount = 0;
    if (!PolDb_EventEnumerate(conn, nullptr, &events, &eventCount))
        return false;
    for (int i = 0; ok && i < eventCount; i++) {
        const char *signature = SignEvent(conn, &events[i]);
        if (!signature) {
            ok = false;
            break;
        }
        char *sql = PolDbPsprintf(conn, "UPDATE PolicyDb_Event SET eventSignature = %s WHERE eventUID = %s",
                                  PolDb_EscapeString(conn, false, false, signature), PolDb_EscapeString(conn, false, false, events[i].eventUID));
        if (!Db_Exec(conn, sql)) {
            PolDb_Log("RefreshInstancesAndEvents: Failed to update event signature\nDB Error Message: %s\nSQL "
                      "Statement: %s\n",
                      Db_GetLastErrorText(conn) ? Db_GetLastErrorText(conn) : "", sql);
            ok = false;
        }
    }
    PolDb_EventFreeArray(events, eventCount);
    return ok;
}

} // namespace

bool PolDb_UpgradePending(DbConnection *conn, int *fromVersion)
{
    int from = 0, to = 0, phase = 0;
    if (!conn)
        return false;
    PolDb_SuppressLog(true);   /* a database without tables fails the read */
    Progress progress = ReadProgress(conn, &from, &to, &phase);
    PolDb_SuppressLog(false);
    if (progress != PROGRESS_FOUND)
        return false;
    if (fromVersion)
        *fromVersion = from;
    return true;
}

bool PolDb_UpgradeDbVersion(DbConnection *conn, int fromVersion)
{
    PolDb_Log("PolicyDb: Beginning Database Upgrade from version %d to version %d\n", fromVersion,
              POLDB_SCHEMA_VERSION);
    bool ok = conn != nullptr;
    int current = fromVersion;

    /* An interrupted step is finished first, whatever the version row says. */
    int from = 0, to = 0, done = PHASE_NONE;
    Progress progress = ok ? ReadProgress(conn, &from, &to, &done) : PROGRESS_UNREADABLE;
    bool resume = progress == PROGRESS_FOUND;
    if (resume)
        current = from;
    if (ok && progress == PROGRESS_UNREADABLE) {
        Fail(conn, "Cannot read the progress of an earlier upgrade");
        ok = false;
    }

    while (ok && current != POLDB_SCHEMA_VERSION) {
        Db_SetModuleStatus(0, "OK");
        const UpgradeStep *step = FindStep(current, conn->engine);
        if (!step || (resume && step->to != to)) {
            std::string message = PolDbPsprintf(
                conn, "Database upgrade failed: Don't know an upgrade path from version %d", current);
            PolDb_Log("PolDb_UpgradeDbVersion: %s\n", message.c_str());
            Db_SetModuleStatus(-1, message.c_str());
            ok = false;
            break;
        }
        PolDb_Log("PolicyDb: Upgrading to version %d\n", step->to);
        ok = RunStep(conn, *step, resume ? done : PHASE_NONE);
        resume = false;
        if (ok)
            current = step->to;
    }
    if (ok)
        PolDb_Log("PolicyDb: Database Upgrade from version %d to version %d SUCCESFUL\n", fromVersion,
                  POLDB_SCHEMA_VERSION);
    else
        PolDb_Log("PolicyDb: Database Upgrade from version %d to version %d FAILED\n", fromVersion,
                  POLDB_SCHEMA_VERSION);
    return ok;
}

bool PolDb_UpgradeOneStep(DbConnection *conn, int fromVersion)
{
    const UpgradeStep *step = conn ? FindStep(fromVersion, conn->engine) : nullptr;
    if (!step) {
        std::string message = "Database upgrade failed: Don't know an upgrade path from version " +
                              std::to_string(fromVersion);
        PolDb_Log("PolDb_UpgradeDbVersion: %s\n", message.c_str());
        Db_SetModuleStatus(-1, message.c_str());
        return false;
    }
    PolDb_Log("PolicyDb: Upgrading to version %d\n", step->to);
    return RunStep(conn, *step, PHASE_NONE);
}
