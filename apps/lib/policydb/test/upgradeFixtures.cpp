/* Older databases for the upgrade tests: the layouts of versions 202 and 206
 * written out table by table, the changes each later version made, and rows
 * in every table. Kept apart from the library's own upgrade statements so
 * that a fault in those shows up as a difference. */
#include "upgradeFixtures.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

/* ---- layouts ------------------------------------------------------------------ */

const char kLongField[] = "CREATE TABLE PolicyDb_LongField (longFieldKey VARCHAR(128) NOT NULL, "
                          "longFieldIndex INTEGER NOT NULL, longFieldValue VARCHAR(2000), "
                          "PRIMARY KEY (longFieldKey, longFieldIndex));"
                          "CREATE INDEX PdbLf_longFieldKey_idx ON PolicyDb_LongField (longFieldKey)";

const char kMetaInfo[] = "CREATE TABLE PolicyDb_MetaInfo (name VARCHAR(128) NOT NULL, value VARCHAR(1024), "
                         "PRIMARY KEY (name))";

const char kQuen[] = "CREATE TABLE PolicyDb_Quen (quenUID VARCHAR(128) NOT NULL, quenName VARCHAR(128), "
                     "activePolicySetVersion INTEGER NOT NULL, quenTsCreated VARCHAR(21) DEFAULT 0 NOT NULL, "
                     "quenTsLastModified VARCHAR(21) DEFAULT 0 NOT NULL, PRIMARY KEY (quenUID))";

const char kServer[] = "CREATE TABLE PolicyDb_QuenscServer (serverHostname VARCHAR(128) NOT NULL, "
                       "serverPort INTEGER NOT NULL, secure VARCHAR(7) DEFAULT 'FALSE' NOT NULL, "
                       "sslCertificate VARCHAR(2048), otherData VARCHAR(2048), "
                       "PRIMARY KEY (serverHostname, serverPort))";

const char kAccess[] = "CREATE TABLE PolicyDb_Access (quenUID VARCHAR(128) NOT NULL, identityData VARCHAR(128) "
                       "NOT NULL, accVersion INTEGER NOT NULL, identityType INTEGER NOT NULL, identityName "
                       "VARCHAR(128), accUseInstanceLimit VARCHAR(7) DEFAULT 'FALSE' NOT NULL, accInstanceLimit "
                       "INTEGER NOT NULL, accTsCreated VARCHAR(21) DEFAULT 0 NOT NULL, accTsLastModified "
                       "VARCHAR(21) DEFAULT 0 NOT NULL, PRIMARY KEY (quenUID, identityData, accVersion))";

const char kMacPool[] = "CREATE TABLE PolicyDb_MacPool (macPoolUID VARCHAR(128) NOT NULL, quenUID VARCHAR(128) "
                        "NOT NULL, macPoolName VARCHAR(128), description VARCHAR(128), rangeStart VARCHAR(21) NOT "
                        "NULL, rangeEnd VARCHAR(21) NOT NULL, lastAssigned VARCHAR(21) NOT NULL, mplTsCreated "
                        "VARCHAR(21) DEFAULT 0 NOT NULL, mplTsLastModified VARCHAR(21) DEFAULT 0 NOT NULL, "
                        "PRIMARY KEY (macPoolUID))";

/* Package, instance, user data and runtime policy lost columns going back
 * from 206 to 202; `v206` picks the layout. */
std::string Package(bool v206)
{
    return std::string("CREATE TABLE PolicyDb_Package (packageUID VARCHAR(128) NOT NULL, quenUID VARCHAR(128) NOT "
                       "NULL, pkgName VARCHAR(128), pkgUseValidDates VARCHAR(7) DEFAULT 'FALSE' NOT NULL, "
                       "pkgValidDateStart VARCHAR(21) NOT NULL, pkgValidDateEnd VARCHAR(21) NOT NULL, pkgDisabled "
                       "VARCHAR(7) DEFAULT 'FALSE' NOT NULL, pkgProtectionKey VARCHAR(1024), ") +
           (v206 ? "pkgPreview VARCHAR(7) DEFAULT 'FALSE' NOT NULL, " : "") +
           "pkgTsCreated VARCHAR(21) DEFAULT 0 NOT NULL, pkgTsLastModified VARCHAR(21) DEFAULT 0 NOT NULL, "
           "PRIMARY KEY (packageUID))";
}

std::string Instance(bool v206)
{
    return std::string("CREATE TABLE PolicyDb_Instance (instanceUID VARCHAR(128) NOT NULL, packageUID "
                       "VARCHAR(128) NOT NULL, quenUID VARCHAR(128) DEFAULT '' NOT NULL, creatorIdName "
                       "VARCHAR(128) NOT NULL, creatorIdData VARCHAR(256), creatorAuthType INTEGER NOT NULL, "
                       "activationDate VARCHAR(21) NOT NULL, lastPolicyCheck VARCHAR(21) NOT NULL, revocationDate "
                       "VARCHAR(21) NOT NULL, ") +
           (v206 ? "replacementDate VARCHAR(21) NOT NULL, " : "") +
           "inheritsExpiration VARCHAR(7) DEFAULT 'FALSE' NOT NULL, insUseValidDates VARCHAR(7) DEFAULT 'FALSE' "
           "NOT NULL, insValidDateStart VARCHAR(21) NOT NULL, insValidDateEnd VARCHAR(21) NOT NULL, insPassword "
           "VARCHAR(128), hostName VARCHAR(128), hostIp VARCHAR(128), insProtectionKey VARCHAR(1024), "
           "copyProtectionId VARCHAR(1024), " +
           (v206 ? "insPreview VARCHAR(7) DEFAULT 'FALSE' NOT NULL, guestIpAddress VARCHAR(128) DEFAULT '', " : "") +
           "guestMacAddress VARCHAR(128) DEFAULT '', guestMachineName VARCHAR(128) DEFAULT '', guestConfigStatus "
           "INTEGER DEFAULT 0, guestConfigMsg VARCHAR(512), insTsCreated VARCHAR(21) DEFAULT 0 NOT NULL, "
           "insTsLastModified VARCHAR(21) DEFAULT 0 NOT NULL, PRIMARY KEY (instanceUID));"
           "CREATE INDEX PdbIns_packageUID_idx ON PolicyDb_Instance (packageUID);"
           "CREATE INDEX PdbIns_quenUID_idx ON PolicyDb_Instance (quenUID)";
}

std::string UserData(bool v206)
{
    return std::string("CREATE TABLE PolicyDb_UserData (") + (v206 ? "userDataPK VARCHAR(516) NOT NULL, " : "") +
           "quenUID VARCHAR(128), packageUID VARCHAR(128), activator VARCHAR(128), udataName VARCHAR(128), "
           "udataType INTEGER NOT NULL, udataValue VARCHAR(2048), udtTsCreated VARCHAR(21) DEFAULT 0 NOT NULL, "
           "udtTsLastModified VARCHAR(21) DEFAULT 0 NOT NULL" +
           (v206 ? ", PRIMARY KEY (userDataPK))" : ")");
}

std::string RuntimePolicy(bool v206)
{
    return std::string("CREATE TABLE PolicyDb_RuntimePolicy (quenUID VARCHAR(128) NOT NULL, policyVersion INTEGER "
                       "NOT NULL, clientPolicyData VARCHAR(2000), ") +
           (v206 ? "clientPolicyDataExtKey VARCHAR(128), " : "") + "hostPolicyData VARCHAR(2000), " +
           (v206 ? "hostPolicyDataExtKey VARCHAR(128), " : "") +
           "expirationType INTEGER NOT NULL, expValue_1 VARCHAR(21) NOT NULL, expValue_2 VARCHAR(21) NOT NULL, " +
           (v206 ? "cacheLifetime VARCHAR(21) NOT NULL, " : "") +
           "rtpInstType INTEGER NOT NULL, rtpAuthType INTEGER NOT NULL, rtpUseInstanceLimit VARCHAR(7) DEFAULT "
           "'FALSE' NOT NULL, rtpInstanceLimit INTEGER NOT NULL, " +
           (v206 ? "rtpUsePerUserInstanceLimit VARCHAR(7) DEFAULT 'FALSE' NOT NULL, rtpPerUserInstanceLimit "
                   "INTEGER NOT NULL, copyPolicy INTEGER DEFAULT 0 NOT NULL, "
                 : "") +
           "published VARCHAR(7) DEFAULT 'FALSE' NOT NULL, rtpTsCreated VARCHAR(21) DEFAULT 0 NOT NULL, "
           "rtpTsLastModified VARCHAR(21) DEFAULT 0 NOT NULL, PRIMARY KEY (quenUID, policyVersion))";
}

const char kSession202[] = "CREATE TABLE PolicyDb_Session (sessionID VARCHAR(128) NOT NULL, sessionData "
                           "VARCHAR(2000), sessionExpires VARCHAR(21), PRIMARY KEY (sessionID))";

/* The event tables of versions 211 to 214 and of 215. */
const char kEventType[] = "CREATE TABLE PolicyDb_EventType (eventType INTEGER NOT NULL, eventMessage "
                          "VARCHAR(1024), eventCategory INTEGER, eventCategoryName VARCHAR(128), eventLogLevel "
                          "INTEGER, PRIMARY KEY (eventType))";

std::string Event(bool numbered)
{
    const char *id = numbered ? "INTEGER" : "VARCHAR(128)";
    return std::string("CREATE TABLE PolicyDb_Event (eventUID ") + id + " NOT NULL, eventTs VARCHAR(21)" +
           (numbered ? "" : " UNIQUE") +
           ", loginName VARCHAR(128), quenUID VARCHAR(128), packageUID VARCHAR(128), instanceUID VARCHAR(128), "
           "policyVersion INTEGER, eventCategory INTEGER, eventType INTEGER, sessionID VARCHAR(128), clientIP "
           "VARCHAR(128), serverIP VARCHAR(128), turnaroundTime VARCHAR(21), handlerName VARCHAR(128), "
           "returnCodeText VARCHAR(128), messageParams VARCHAR(1024), prevEventUID " +
           id + " UNIQUE, eventSignature VARCHAR(128), PRIMARY KEY (eventUID));"
                "CREATE INDEX PdbIns_eventCategory_idx ON PolicyDb_Event (eventCategory);"
                "CREATE INDEX PdbIns_eventType_idx ON PolicyDb_Event (eventType)" +
           (numbered ? ";CREATE INDEX PdbIns_eventTs_idx ON PolicyDb_Event (eventTs)" : "");
}

/* ---- rows ------------------------------------------------------------------------ */

std::string QuenRows()
{
    return "INSERT INTO PolicyDb_Quen VALUES ('Q1', 'First', 1, '1000001', '1000002');"
           "INSERT INTO PolicyDb_Quen VALUES ('Q2', 'Second', 1, '1000003', '1000004');"
           "INSERT INTO PolicyDb_Quen VALUES ('Q3', 'Third', 2, '1000005', '1000006')";
}

std::string PackageRows(bool v206)
{
    std::string preview = v206 ? "'FALSE', " : "";
    return "INSERT INTO PolicyDb_Package VALUES ('P1', 'Q1', 'Pack one', 'TRUE', '100', '200', 'FALSE', 'key1', " +
           preview + "'2000001', '2000002');" +
           "INSERT INTO PolicyDb_Package VALUES ('P2', 'Q2', 'Pack two', 'FALSE', '0', '0', 'TRUE', 'key2', " +
           preview + "'2000003', '2000004');" +
           "INSERT INTO PolicyDb_Package VALUES ('P3', 'Q3', 'Pack three', 'FALSE', '0', '0', 'FALSE', NULL, " +
           preview + "'2000005', '2000006')";
}

std::string AccessRows()
{
    return "INSERT INTO PolicyDb_Access VALUES ('Q1', 'S-1-5-21-1', 1, 1, 'alice', 'TRUE', 3, '3000001', '3000002');"
           "INSERT INTO PolicyDb_Access VALUES ('Q1', 'S-1-5-21-2', 1, 2, 'staff', 'FALSE', 0, '3000003', '3000004');"
           "INSERT INTO PolicyDb_Access VALUES ('Q2', 'token-xyz', 1, 3, 'token', 'FALSE', 0, '3000005', '3000006');"
           "INSERT INTO PolicyDb_Access VALUES ('Q3', 'S-1-5-21-1', 2, 1, 'alice', 'FALSE', 0, '3000007', '3000008')";
}

/* Instances with unpadded dates and timestamps, as versions before 216 kept
 * some of them. */
std::string InstanceRows(bool v206)
{
    std::string rows;
    const char *const uids[] = {"I1", "I2", "I3"};
    const char *const packages[] = {"P1", "P2", "P1"};
    const char *const quens[] = {"Q1", "Q2", "Q1"};
    for (int i = 0; i < 3; i++) {
        std::string n = std::to_string(i + 1);
        std::string values = std::string("'") + uids[i] + "', '" + packages[i] + "', '" + quens[i] + "', 'user" + n +
                             "', 'DOM\\user" + n + "', 1, '" + std::to_string(1700000000 + i) + "', '" +
                             std::to_string(1700000100 + i) + "', '0', ";
        if (v206)
            values += "'0', ";
        values += "'FALSE', 'TRUE', '1600000000', '9223372036854775807', 'hash" + n + "', 'host" + n +
                  "', '10.0.0." + n + "', 'ikey" + n + "', 'copy" + n + "', ";
        if (v206)
            values += "'FALSE', '192.168.0." + n + "', ";
        values += "'00:50:56:00:00:0" + n + "', 'guest" + n + "', 0, 'msg" + n + "', '" +
                  std::to_string(1700000000000000 + i) + "', '" + std::to_string(1700000000500000 + i) + "'";
        rows += "INSERT INTO PolicyDb_Instance VALUES (" + values + ");";
    }
    rows.pop_back();
    return rows;
}

std::string MacPoolRows()
{
    return "INSERT INTO PolicyDb_MacPool VALUES ('M1', 'Q1', 'Pool', 'desc', '345052807168', '345052807423', "
           "'345052807170', '4000001', '4000002')";
}

std::string UserDataRows(bool v206)
{
    if (v206)
        return "INSERT INTO PolicyDb_UserData VALUES ('Q1:P1::color', 'Q1', 'P1', NULL, 'color', 1, 'blue', "
               "'5000001', '5000002');"
               "INSERT INTO PolicyDb_UserData VALUES ('Q2:::motd', 'Q2', NULL, NULL, 'motd', 2, 'hello', '5000003', "
               "'5000004')";
    /* The third row's package is gone: the upgrade must keep it anyway. */
    return "INSERT INTO PolicyDb_UserData VALUES ('Q1', 'P1', NULL, 'color', 1, 'blue', '5000001', '5000002');"
           "INSERT INTO PolicyDb_UserData VALUES ('Q2', NULL, NULL, 'motd', 2, 'hello', '5000003', '5000004');"
           "INSERT INTO PolicyDb_UserData VALUES ('Q3', 'P-GONE', NULL, 'orphan', 1, 'kept', '5000005', '5000006')";
}

std::string RuntimePolicyRows(bool v206)
{
    std::string rows;
    struct Version {
        const char *quen;
        int version;
        const char *published;
    };
    const Version versions[] = {{"Q1", 1, "TRUE"}, {"Q1", 2, "FALSE"}, {"Q2", 1, "TRUE"},
                                {"Q3", 1, "TRUE"}, {"Q3", 2, "TRUE"}};
    for (const Version &v : versions) {
        std::string n = std::to_string(v.version);
        rows += std::string("INSERT INTO PolicyDb_RuntimePolicy VALUES ('") + v.quen + "', " + n + ", '<client " +
                v.quen + n + "/>', " + (v206 ? "NULL, " : "") + "'<host/>', " + (v206 ? "NULL, " : "") +
                "1, '10', '20', " + (v206 ? "'3600', " : "") + "1, 2, 'FALSE', 0, " +
                (v206 ? "'FALSE', 0, 0, " : "") + "'" + v.published + "', '6000001', '6000002');";
    }
    rows.pop_back();
    return rows;
}

std::string CommonRows(bool v206)
{
    return QuenRows() + ";" + PackageRows(v206) + ";" + AccessRows() + ";" + InstanceRows(v206) + ";" +
           MacPoolRows() + ";" + UserDataRows(v206) + ";" + RuntimePolicyRows(v206) + ";" +
           "INSERT INTO PolicyDb_QuenscServer VALUES ('server1', 443, 'TRUE', 'CERT', 'OTHER');"
           "INSERT INTO PolicyDb_LongField VALUES ('lf-1', 0, 'a long value')";
}

std::string EventTypeRows(int count)
{
    const int types[] = {0, 10, 1000, 2000, 2010, 4000, 4020};
    std::string rows;
    for (int i = 0; i < count && i < 7; i++)
        rows += "INSERT INTO PolicyDb_EventType VALUES (" + std::to_string(types[i]) + ", 'type " +
                std::to_string(types[i]) + "', " + std::to_string(types[i] / 1000) + ", 'cat', 2);";
    if (!rows.empty())
        rows.pop_back();
    return rows;
}

/* Three chained events whose signatures an older build made differently. */
std::string EventRows()
{
    std::string rows;
    for (int i = 1; i <= 3; i++) {
        std::string n = std::to_string(i);
        std::string prev = i == 1 ? "NULL" : std::to_string(i - 1);
        rows += "INSERT INTO PolicyDb_Event VALUES (" + n + ", '" + std::to_string(1700000000000000 + i) +
                "', 'admin', 'Q1', 'P1', 'I1', 1, 4, 4020, 'sess', '127.0.0.1', '127.0.0.2', '15', "
                "'InstanceCreate', 'OK', 'param" + n + "', " + prev + ", 'OLDSIGNATURE" + n + "');";
    }
    rows.pop_back();
    return rows;
}

std::string Version(int v)
{
    return "UPDATE PolicyDb_MetaInfo SET value = '" + std::to_string(v) + "' WHERE name = 'version'";
}

const char *const kTombstoned[] = {"PolicyDb_Access", "PolicyDb_Quen", "PolicyDb_Instance", "PolicyDb_MacPool",
                                   "PolicyDb_Package", "PolicyDb_RuntimePolicy", "PolicyDb_UserData"};

/* What version `v` changed over the one before it (206 < v <= 215), with
 * rows for what it added. */
std::string Changes(int v, int engine)
{
    std::string sql;
    switch (v) {
    case 207:
        for (const char *t : kTombstoned)
            sql += std::string("ALTER TABLE ") + t + " ADD deleted VARCHAR(7) DEFAULT 'FALSE';UPDATE " + t +
                   " SET deleted = 'FALSE';";
        sql += "CREATE INDEX PdbIns_deleted_idx ON PolicyDb_Instance (deleted);"
               "DROP TABLE PolicyDb_QuenscServer;"
               "CREATE TABLE PolicyDb_QuenscServer (serverHostname VARCHAR(128) NOT NULL, serverPort INTEGER NOT "
               "NULL, secure VARCHAR(7) DEFAULT 'FALSE' NOT NULL, sslCertificateExtKey VARCHAR(128), "
               "sslCertificateChainExtKey VARCHAR(128), PRIMARY KEY (serverHostname, serverPort));"
               "INSERT INTO PolicyDb_QuenscServer VALUES ('server1', 443, 'TRUE', NULL, NULL);"
               "UPDATE PolicyDb_Access SET deleted = 'TRUE' WHERE identityData = 'S-1-5-21-2';"
               "UPDATE PolicyDb_Instance SET deleted = 'TRUE' WHERE instanceUID = 'I3';"
               "UPDATE PolicyDb_UserData SET deleted = 'TRUE' WHERE udataName = 'motd'";
        break;
    case 208:
        sql = "CREATE TABLE PolicyDb_Access_old AS SELECT * FROM PolicyDb_Access;DROP TABLE PolicyDb_Access;"
              "CREATE TABLE PolicyDb_Access (accessPK VARCHAR(128) NOT NULL, quenUID VARCHAR(128), identityData "
              "VARCHAR(128), accVersion INTEGER NOT NULL, identityType INTEGER NOT NULL, identityName "
              "VARCHAR(128), accUseInstanceLimit VARCHAR(7) DEFAULT 'FALSE' NOT NULL, accInstanceLimit INTEGER NOT "
              "NULL, accTsCreated VARCHAR(21) DEFAULT 0 NOT NULL, accTsLastModified VARCHAR(21) DEFAULT 0 NOT "
              "NULL, deleted VARCHAR(7) DEFAULT 'FALSE', PRIMARY KEY (accessPK));"
              "INSERT INTO PolicyDb_Access SELECT 'acc-' || quenUID || '-' || identityData || '-' || "
              "CAST(accVersion AS VARCHAR(10)), quenUID, identityData, accVersion, identityType, identityName, "
              "accUseInstanceLimit, accInstanceLimit, accTsCreated, accTsLastModified, deleted FROM "
              "PolicyDb_Access_old;"
              "INSERT INTO PolicyDb_LongField SELECT accessPK, 0, 'Access' FROM PolicyDb_Access;"
              "DROP TABLE PolicyDb_Access_old";
        break;
    case 209:
        for (int i = 1; i <= 9; i++) {
            std::string n = std::to_string(i);
            sql += "ALTER TABLE PolicyDb_Instance ADD insCustom" + n + " VARCHAR(255);" +
                   "INSERT INTO PolicyDb_MetaInfo VALUES ('insCustom" + n + "Name', 'Custom User Field " + n +
                   "');INSERT INTO PolicyDb_MetaInfo VALUES ('insCustom" + n + "ReadOnly', 'FALSE');";
        }
        sql += "UPDATE PolicyDb_Instance SET insCustom1 = 'custom value' WHERE instanceUID = 'I1'";
        if (engine == DB_ENGINE_POSTGRES)
            for (int i = 1; i <= 9; i++)
                sql += ";CREATE INDEX PdbIns_custom" + std::to_string(i) + "_idxl on PolicyDb_Instance(lower(insCustom" +
                       std::to_string(i) + "))";
        break;
    case 210:
        /* Every Quen has its preview version at 210. */
        sql = "ALTER TABLE PolicyDb_LongField ADD sessionExpires VARCHAR(21);"
              "INSERT INTO PolicyDb_RuntimePolicy (quenUID, policyVersion, clientPolicyData, hostPolicyData, "
              "expirationType, expValue_1, expValue_2, cacheLifetime, rtpInstType, rtpAuthType, "
              "rtpUseInstanceLimit, rtpInstanceLimit, rtpUsePerUserInstanceLimit, rtpPerUserInstanceLimit, "
              "copyPolicy, published, rtpTsCreated, rtpTsLastModified, deleted) SELECT quenUID, "
              "policyVersion + 1, clientPolicyData, hostPolicyData, expirationType, expValue_1, expValue_2, "
              "cacheLifetime, rtpInstType, rtpAuthType, rtpUseInstanceLimit, rtpInstanceLimit, "
              "rtpUsePerUserInstanceLimit, rtpPerUserInstanceLimit, copyPolicy, 'FALSE', rtpTsCreated, "
              "rtpTsLastModified, deleted FROM PolicyDb_RuntimePolicy WHERE (quenUID = 'Q2' AND policyVersion = "
              "1) OR (quenUID = 'Q3' AND policyVersion = 2)";
        break;
    case 211:
        sql = std::string(kEventType) + ";" + Event(false) + ";" + EventTypeRows(3) +
              ";UPDATE PolicyDb_MetaInfo SET value = '' WHERE value LIKE 'Custom User Field _'";
        break;
    case 212:
    case 213:
    case 214:
        sql = "DELETE FROM PolicyDb_EventType;" + EventTypeRows(v - 207) + ";" +
              "INSERT INTO PolicyDb_Event (eventUID, eventTs, eventType, prevEventUID) VALUES ('ev-" +
              std::to_string(v) + "', '" + std::to_string(v) + "', 0, NULL)";
        if (v > 212)
            sql = "DELETE FROM PolicyDb_Event;" + sql;
        break;
    case 215:
        sql = "DELETE FROM PolicyDb_Event;DROP TABLE PolicyDb_Event;" + Event(true) +
              ";DELETE FROM PolicyDb_EventType;" + EventTypeRows(7) + ";" + EventRows();
        break;
    }
    return sql + (sql.empty() ? "" : ";") + Version(v);
}

bool Run(DbConnection *conn, const std::string &sql) { return Db_Exec(conn, sql.c_str()) && Db_Commit(conn); }

std::string Normalised(const char *value)
{
    const char *p = value;
    if (*p == '-')
        p++;
    bool number = *p != '\0' && strspn(p, "0123456789") == strlen(p);
    if (!number)
        return value;
    return std::to_string(strtoll(value, nullptr, 10));
}

} // namespace

bool UpgradeFixture_Build(DbConnection *conn, int version)
{
    if (version == 202)
        return Run(conn, std::string(kMetaInfo) + ";" + kLongField + ";" + kQuen + ";" + Package(false) + ";" +
                             kAccess + ";" + Instance(false) + ";" + kMacPool + ";" + UserData(false) + ";" +
                             RuntimePolicy(false) + ";" + kServer + ";" + kSession202 + ";" + CommonRows(false) +
                             ";INSERT INTO PolicyDb_Session VALUES ('s1', 'data', '0');"
                             "INSERT INTO PolicyDb_MetaInfo VALUES ('version', '202')");
    if (version < 206 || version > 215)
        return false;
    if (!Run(conn, std::string(kMetaInfo) + ";" + kLongField + ";" + kQuen + ";" + Package(true) + ";" + kAccess +
                       ";" + Instance(true) + ";" + kMacPool + ";" + UserData(true) + ";" + RuntimePolicy(true) +
                       ";" + kServer + ";" + CommonRows(true) +
                       ";INSERT INTO PolicyDb_MetaInfo VALUES ('version', '206')"))
        return false;
    /* PostgreSQL databases had the case-insensitive search indices. */
    if (conn->engine == DB_ENGINE_POSTGRES) {
        std::string lower;
        for (const char *column :
             {"creatorIdName", "creatorIdData", "hostName", "guestMacAddress", "guestMachineName", "guestConfigMsg"})
            lower += std::string(lower.empty() ? "" : ";") + "CREATE INDEX PdbIns_" + column +
                     "_idxl on PolicyDb_Instance(lower(" + column + "))";
        if (!Run(conn, lower))
            return false;
    }
    for (int v = 207; v <= version; v++)
        if (!Run(conn, Changes(v, conn->engine)))
            return false;
    return true;
}

bool UpgradeFixture_AddVolume(DbConnection *conn, int version, long instances, long events)
{
    bool v206 = version >= 206;
    std::string custom = version >= 209 ? ", insCustom1" : "";
    std::string batch;
    for (long i = 0; i < instances; i++) {
        std::string n = std::to_string(i);
        batch += "INSERT INTO PolicyDb_Instance (instanceUID, packageUID, quenUID, creatorIdName, creatorIdData, "
                 "creatorAuthType, activationDate, lastPolicyCheck, revocationDate, " +
                 std::string(v206 ? "replacementDate, insPreview, " : "") +
                 "insValidDateStart, insValidDateEnd, hostName, insTsCreated, insTsLastModified" + custom +
                 ") VALUES ('bulk-" + n + "', 'P1', 'Q1', 'bulk user', 'DOM\\bulk', 1, '" +
                 std::to_string(1700000000 + i) + "', '1700000000', '0', " + (v206 ? "'0', 'FALSE', " : "") +
                 "'0', '9223372036854775807', 'host', '" + std::to_string(1700000000000000 + i) +
                 "', '1700000000000000'" + (version >= 209 ? ", 'c'" : "") + ");";
        if (batch.size() > 1000000 || i + 1 == instances) {
            if (!Run(conn, batch))
                return false;
            batch.clear();
        }
    }
    if (version < 215)
        return true;
    for (long i = 0; i < events; i++) {
        std::string n = std::to_string(1000 + i);
        std::string prev = i == 0 ? "3" : std::to_string(999 + i);
        batch += "INSERT INTO PolicyDb_Event VALUES (" + n + ", '" + std::to_string(1700000001000000 + i) +
                 "', 'admin', 'Q1', 'P1', 'bulk', 1, 4, 4020, 'sess', '127.0.0.1', '127.0.0.2', '15', "
                 "'InstanceCreate', 'OK', 'p', " + prev + ", 'OLD');";
        if (batch.size() > 1000000 || i + 1 == events) {
            if (!Run(conn, batch))
                return false;
            batch.clear();
        }
    }
    return true;
}

const std::vector<FixtureTable> &UpgradeFixture_Tables(void)
{
    static const std::vector<FixtureTable> tables = {
        {"PolicyDb_Quen", "quenUID, quenName, activePolicySetVersion, quenTsCreated, quenTsLastModified"},
        {"PolicyDb_Package", "packageUID, quenUID, pkgName, pkgUseValidDates, pkgValidDateStart, pkgValidDateEnd, "
                             "pkgDisabled, pkgProtectionKey, pkgTsCreated, pkgTsLastModified"},
        {"PolicyDb_Access", "quenUID, identityData, accVersion, identityType, identityName, accUseInstanceLimit, "
                            "accInstanceLimit, accTsCreated, accTsLastModified"},
        {"PolicyDb_Instance",
         "instanceUID, packageUID, quenUID, creatorIdName, creatorIdData, creatorAuthType, activationDate, "
         "lastPolicyCheck, revocationDate, inheritsExpiration, insUseValidDates, insValidDateStart, "
         "insValidDateEnd, insPassword, hostName, hostIp, insProtectionKey, copyProtectionId, guestMacAddress, "
         "guestMachineName, guestConfigStatus, guestConfigMsg, insTsCreated, insTsLastModified"},
        {"PolicyDb_MacPool", "macPoolUID, quenUID, macPoolName, description, rangeStart, rangeEnd, lastAssigned, "
                             "mplTsCreated, mplTsLastModified"},
        {"PolicyDb_UserData", "udataName, quenUID, packageUID, activator, udataType, udataValue, udtTsCreated, "
                              "udtTsLastModified"},
        {"PolicyDb_RuntimePolicy", "quenUID, policyVersion, clientPolicyData, hostPolicyData, expirationType, "
                                   "expValue_1, expValue_2, rtpInstType, rtpAuthType, rtpUseInstanceLimit, "
                                   "rtpInstanceLimit, published, rtpTsCreated, rtpTsLastModified"},
        {"PolicyDb_LongField", "longFieldKey, longFieldIndex, longFieldValue"},
    };
    return tables;
}

std::vector<std::string> UpgradeFixture_Rows(DbConnection *conn, const FixtureTable &table)
{
    std::vector<std::string> rows;
    int columns = 1;
    for (const char *p = table.columns; *p; p++)
        columns += *p == ',';
    std::string sql = std::string("SELECT ") + table.columns + " FROM " + table.name;
    DbResultSet *rs = nullptr;
    if (!Db_Query(conn, sql.c_str(), &rs))
        return rows;
    while (rs->ops->next(rs)) {
        std::string row;
        for (int c = 0; c < columns; c++) {
            char *value = rs->ops->getString(rs, c);
            row += Normalised(value) + "|";
            free(value);
        }
        rows.push_back(row);
    }
    Db_FreeResult(conn, rs);
    Db_Commit(conn);
    std::sort(rows.begin(), rows.end());
    return rows;
}

std::vector<std::vector<std::string>> UpgradeFixture_Snapshot(DbConnection *conn)
{
    std::vector<std::vector<std::string>> all;
    for (const FixtureTable &t : UpgradeFixture_Tables())
        all.push_back(UpgradeFixture_Rows(conn, t));
    return all;
}
