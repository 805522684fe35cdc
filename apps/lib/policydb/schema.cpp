/* The database schema of version 216: the twelve tables with their keys and
 * indices, the metadata rows, the event type rows, the lowercase index
 * script, and the search indices that serve the instance list pages of
 * SQLite and PostgreSQL. One script serves every engine, so it
 * uses only VARCHAR and INTEGER columns, and no literal holds a ';' (the ODBC
 * store splits scripts on ';'). */
#include "store/stores.h"

#include <string>

const char *const PolDb_SchemaTables[] = {
    "PolicyDb_Event",   "PolicyDb_EventType", "PolicyDb_QuenscServer", "PolicyDb_MetaInfo",
    "PolicyDb_Access",  "PolicyDb_Instance",  "PolicyDb_MacPool",      "PolicyDb_RuntimePolicy",
    "PolicyDb_UserData", "PolicyDb_Package",  "PolicyDb_Quen",         "PolicyDb_LongField",
};
const int PolDb_SchemaTableCount = sizeof PolDb_SchemaTables / sizeof PolDb_SchemaTables[0];

namespace {

const char *const kTables[] = {
    "CREATE TABLE PolicyDb_MetaInfo ("
    "name VARCHAR(128) NOT NULL, "
    "value VARCHAR(1024), "
    "PRIMARY KEY (name))",

    "CREATE TABLE PolicyDb_LongField ("
    "longFieldKey VARCHAR(128) NOT NULL, "
    "longFieldIndex INTEGER NOT NULL, "
    "longFieldValue VARCHAR(2000), "
    "sessionExpires VARCHAR(21), "
    "PRIMARY KEY (longFieldKey, longFieldIndex));"
    "CREATE INDEX PdbLf_longFieldKey_idx ON PolicyDb_LongField (longFieldKey);"
    "CREATE INDEX PdbLf_sessionExpires_idx ON PolicyDb_LongField (sessionExpires)",

    "CREATE TABLE PolicyDb_Quen ("
    "quenUID VARCHAR(128) NOT NULL, "
    "quenName VARCHAR(128), "
    "activePolicySetVersion INTEGER NOT NULL, "
    "quenTsCreated VARCHAR(21) DEFAULT 0 NOT NULL, "
    "quenTsLastModified VARCHAR(21) DEFAULT 0 NOT NULL, "
    "deleted VARCHAR(7) DEFAULT 'FALSE', "
    "PRIMARY KEY (quenUID))",

    "CREATE TABLE PolicyDb_Package ("
    "packageUID VARCHAR(128) NOT NULL, "
    "quenUID VARCHAR(128) NOT NULL, "
    "pkgName VARCHAR(128), "
    "pkgUseValidDates VARCHAR(7) DEFAULT 'FALSE' NOT NULL, "
    "pkgValidDateStart VARCHAR(21) NOT NULL, "
    "pkgValidDateEnd VARCHAR(21) NOT NULL, "
    "pkgDisabled VARCHAR(7) DEFAULT 'FALSE' NOT NULL, "
    "pkgProtectionKey VARCHAR(1024), "
    "pkgPreview VARCHAR(7) DEFAULT 'FALSE' NOT NULL, "
    "pkgTsCreated VARCHAR(21) DEFAULT 0 NOT NULL, "
    "pkgTsLastModified VARCHAR(21) DEFAULT 0 NOT NULL, "
    "deleted VARCHAR(7) DEFAULT 'FALSE', "
    "PRIMARY KEY (packageUID), "
    "FOREIGN KEY (quenUID) REFERENCES PolicyDb_Quen (quenUID))",

    "CREATE TABLE PolicyDb_Access ("
    "accessPK VARCHAR(128) NOT NULL, "
    "quenUID VARCHAR(128), "
    "identityData VARCHAR(128), "
    "accVersion INTEGER NOT NULL, "
    "identityType INTEGER NOT NULL, "
    "identityName VARCHAR(128), "
    "accUseInstanceLimit VARCHAR(7) DEFAULT 'FALSE' NOT NULL, "
    "accInstanceLimit INTEGER NOT NULL, "
    "accTsCreated VARCHAR(21) DEFAULT 0 NOT NULL, "
    "accTsLastModified VARCHAR(21) DEFAULT 0 NOT NULL, "
    "deleted VARCHAR(7) DEFAULT 'FALSE', "
    "PRIMARY KEY (accessPK), "
    "FOREIGN KEY (quenUID) REFERENCES PolicyDb_Quen (quenUID))",

    "CREATE TABLE PolicyDb_Instance ("
    "instanceUID VARCHAR(128) NOT NULL, "
    "packageUID VARCHAR(128) NOT NULL, "
    "quenUID VARCHAR(128) DEFAULT '' NOT NULL, "
    "creatorIdName VARCHAR(128) NOT NULL, "
    "creatorIdData VARCHAR(256), "
    "creatorAuthType INTEGER NOT NULL, "
    "activationDate VARCHAR(21) NOT NULL, "
    "lastPolicyCheck VARCHAR(21) NOT NULL, "
    "revocationDate VARCHAR(21) NOT NULL, "
    "replacementDate VARCHAR(21) NOT NULL, "
    "inheritsExpiration VARCHAR(7) DEFAULT 'FALSE' NOT NULL, "
    "insUseValidDates VARCHAR(7) DEFAULT 'FALSE' NOT NULL, "
    "insValidDateStart VARCHAR(21) NOT NULL, "
    "insValidDateEnd VARCHAR(21) NOT NULL, "
    "insPassword VARCHAR(128), "
    "hostName VARCHAR(128), "
    "hostIp VARCHAR(128), "
    "insProtectionKey VARCHAR(1024), "
    "copyProtectionId VARCHAR(1024), "
    "insPreview VARCHAR(7) DEFAULT 'FALSE' NOT NULL, "
    "guestIpAddress VARCHAR(128) DEFAULT '', "
    "guestMacAddress VARCHAR(128) DEFAULT '', "
    "guestMachineName VARCHAR(128) DEFAULT '', "
    "guestConfigStatus INTEGER DEFAULT 0, "
    "guestConfigMsg VARCHAR(512), "
    "insTsCreated VARCHAR(21) DEFAULT 0 NOT NULL, "
    "insTsLastModified VARCHAR(21) DEFAULT 0 NOT NULL, "
    "deleted VARCHAR(7) DEFAULT 'FALSE', "
    "insCustom1 VARCHAR(255), insCustom2 VARCHAR(255), insCustom3 VARCHAR(255), "
    "insCustom4 VARCHAR(255), insCustom5 VARCHAR(255), insCustom6 VARCHAR(255), "
    "insCustom7 VARCHAR(255), insCustom8 VARCHAR(255), insCustom9 VARCHAR(255), "
    "PRIMARY KEY (instanceUID), "
    "FOREIGN KEY (packageUID) REFERENCES PolicyDb_Package (packageUID), "
    "FOREIGN KEY (quenUID) REFERENCES PolicyDb_Quen (quenUID))",

    "CREATE TABLE PolicyDb_MacPool ("
    "macPoolUID VARCHAR(128) NOT NULL, "
    "quenUID VARCHAR(128) NOT NULL, "
    "macPoolName VARCHAR(128), "
    "description VARCHAR(128), "
    "rangeStart VARCHAR(21) NOT NULL, "
    "rangeEnd VARCHAR(21) NOT NULL, "
    "lastAssigned VARCHAR(21) NOT NULL, "
    "mplTsCreated VARCHAR(21) DEFAULT 0 NOT NULL, "
    "mplTsLastModified VARCHAR(21) DEFAULT 0 NOT NULL, "
    "deleted VARCHAR(7) DEFAULT 'FALSE', "
    "PRIMARY KEY (macPoolUID), "
    "FOREIGN KEY (quenUID) REFERENCES PolicyDb_Quen (quenUID))",

    "CREATE TABLE PolicyDb_UserData ("
    "userDataPK VARCHAR(516) NOT NULL, "
    "quenUID VARCHAR(128), "
    "packageUID VARCHAR(128), "
    "activator VARCHAR(128), "
    "udataName VARCHAR(128), "
    "udataType INTEGER NOT NULL, "
    "udataValue VARCHAR(2048), "
    "udtTsCreated VARCHAR(21) DEFAULT 0 NOT NULL, "
    "udtTsLastModified VARCHAR(21) DEFAULT 0 NOT NULL, "
    "deleted VARCHAR(7) DEFAULT 'FALSE', "
    "PRIMARY KEY (userDataPK), "
    "FOREIGN KEY (quenUID) REFERENCES PolicyDb_Quen (quenUID), "
    "FOREIGN KEY (packageUID) REFERENCES PolicyDb_Package (packageUID))",

    "CREATE TABLE PolicyDb_RuntimePolicy ("
    "quenUID VARCHAR(128) NOT NULL, "
    "policyVersion INTEGER NOT NULL, "
    "clientPolicyData VARCHAR(2000), "
    "clientPolicyDataExtKey VARCHAR(128), "
    "hostPolicyData VARCHAR(2000), "
    "hostPolicyDataExtKey VARCHAR(128), "
    "expirationType INTEGER NOT NULL, "
    "expValue_1 VARCHAR(21) NOT NULL, "
    "expValue_2 VARCHAR(21) NOT NULL, "
    "cacheLifetime VARCHAR(21) NOT NULL, "
    "rtpInstType INTEGER NOT NULL, "
    "rtpAuthType INTEGER NOT NULL, "
    "rtpUseInstanceLimit VARCHAR(7) DEFAULT 'FALSE' NOT NULL, "
    "rtpInstanceLimit INTEGER NOT NULL, "
    "rtpUsePerUserInstanceLimit VARCHAR(7) DEFAULT 'FALSE' NOT NULL, "
    "rtpPerUserInstanceLimit INTEGER NOT NULL, "
    "copyPolicy INTEGER DEFAULT 0 NOT NULL, "
    "published VARCHAR(7) DEFAULT 'FALSE' NOT NULL, "
    "rtpTsCreated VARCHAR(21) DEFAULT 0 NOT NULL, "
    "rtpTsLastModified VARCHAR(21) DEFAULT 0 NOT NULL, "
    "deleted VARCHAR(7) DEFAULT 'FALSE', "
    "PRIMARY KEY (quenUID, policyVersion), "
    "FOREIGN KEY (quenUID) REFERENCES PolicyDb_Quen (quenUID))",

    "CREATE TABLE PolicyDb_QuenscServer ("
    "serverHostname VARCHAR(128) NOT NULL, "
    "serverPort INTEGER NOT NULL, "
    "secure VARCHAR(7) DEFAULT 'FALSE' NOT NULL, "
    "sslCertificateExtKey VARCHAR(128), "
    "sslCertificateChainExtKey VARCHAR(128), "
    "PRIMARY KEY (serverHostname, serverPort))",

    "CREATE TABLE PolicyDb_EventType ("
    "eventType INTEGER NOT NULL, "
    "eventMessage VARCHAR(1024), "
    "eventCategory INTEGER, "
    "eventCategoryName VARCHAR(128), "
    "eventLogLevel INTEGER, "
    "PRIMARY KEY (eventType))",

    "CREATE TABLE PolicyDb_Event ("
    "eventUID INTEGER NOT NULL, "
    "eventTs VARCHAR(21), "
    "loginName VARCHAR(128), "
    "quenUID VARCHAR(128), "
    "packageUID VARCHAR(128), "
    "instanceUID VARCHAR(128), "
    "policyVersion INTEGER, "
    "eventCategory INTEGER, "
    "eventType INTEGER, "
    "sessionID VARCHAR(128), "
    "clientIP VARCHAR(128), "
    "serverIP VARCHAR(128), "
    "turnaroundTime VARCHAR(21), "
    "handlerName VARCHAR(128), "
    "returnCodeText VARCHAR(128), "
    "messageParams VARCHAR(1024), "
    "prevEventUID INTEGER UNIQUE, "
    "eventSignature VARCHAR(128), "
    "PRIMARY KEY (eventUID), "
    "FOREIGN KEY (eventType) REFERENCES PolicyDb_EventType (eventType), "
    "FOREIGN KEY (prevEventUID) REFERENCES PolicyDb_Event (eventUID));"
    "CREATE INDEX PdbIns_eventCategory_idx ON PolicyDb_Event (eventCategory);"
    "CREATE INDEX PdbIns_eventType_idx ON PolicyDb_Event (eventType);"
    "CREATE INDEX PdbIns_eventTs_idx ON PolicyDb_Event (eventTs)",
};

/* One index per listed instance column, in this order. */
const char *const kInstanceIndexColumns[] = {
    "packageUID",       "quenUID",          "creatorIdName",   "creatorIdData",     "creatorAuthType",
    "activationDate",   "lastPolicyCheck",  "revocationDate",  "replacementDate",   "inheritsExpiration",
    "insUseValidDates", "insValidDateStart", "insValidDateEnd", "hostName",         "hostIp",
    "insPreview",       "guestMacAddress",  "guestMachineName", "guestConfigStatus", "guestConfigMsg",
    "insTsCreated",     "insTsLastModified", "deleted",
};

struct EventTypeRow {
    int type;
    const char *message;
    int category;
    int level;
};

const char *const kCategoryNames[] = {"N/A", "Authentication", "QUEN Administration", "Package Administration",
                                      "Instance Administration", "Policy Administration"};

const EventTypeRow kEventTypes[] = {
    {0, "No event", 0, 5},
    {10, "Handler invoked", 0, 4},
    {1000, "Authentication-related handler invoked", 1, 4},
    {1010, "Manager Authenticate: type = %s, administrator = %s, helpdesk = %s", 1, 2},
    {1020, "LDAP user remote change password requested", 1, 2},
    {1030, "Instance Authenticate and Get Key requested, supplied credentials: %s", 1, 3},
    {2000, "Quen administration-related handler invoked", 2, 4},
    {2010, "Quen \"%s\" Create requested, active policy set version %s", 2, 2},
    {2020, "Quen \"%s\" Destroy requested", 2, 1},
    {2030, "Quen \"%s\" Update requested, new name =\"%s\"", 2, 2},
    {3000, "Package administration-related handler invoked", 3, 4},
    {3010, "Package \"%s\" Create requested, %sdisabled = %s, preview = %s", 3, 2},
    {3020, "Package \"%s\" Update requested, new name = \"%s\", %sdisabled = %s, preview = %s", 3, 2},
    {4000, "Instance administration-related handler invoked", 4, 4},
    {4020, "Instance Create requested, supplied instantiation credentials: %s", 4, 2},
    {4030, "Instance Copy requested, supplied instantiation credentials: %s, replace = \"%s\", copy policy = \"%s\", "
           "new instance UID = \"%s\"", 4, 2},
    {4040, "Instance Revoke requested", 4, 2},
    {4050, "Instance Enable requested, supplied instantiation credentials: %s", 4, 2},
    {4060, "Instance Set Custom Field requested for field # %s, new value \"%s\"", 4, 3},
    {4070, "Instance Set All Custom Fields requested, values \"%s\", \"%s\", \"%s\", \"%s\", \"%s\", \"%s\", "
           "\"%s\", \"%s\", \"%s\", \"%s\"", 4, 3},
    {4080, "Set Custom Instance Field Name requested for field # %s, new value \"%s\"", 4, 2},
    {4090, "Instance Set Password requested, value = \"********\"", 4, 2},
    {4100, "Instance Change Password requested, new value = \"********\"", 4, 2},
    {4110, "Instance Set Guest Info requested, IP address = %s, MAC address %s, configuration message \"%s\", "
           "machine name \"%s\", configuration status %s", 4, 3},
    {4120, "Instance Set Host Info requested, IP address = %s, machine name \"%s\"", 4, 3},
    {4130, "Instance Set Expiration requested, inherit from QUEN = %s, enable expiration = %s, start date = %s, "
           "end date = %s", 4, 2},
    {4140, "Instance Set Copy Protection ID requested", 4, 3},
    {4150, "MAC Address For a New Instance requested, returned address %s", 4, 3},
    {4160, "Instance Clear Custom Field # %s for all instances requested", 4, 2},
    {4170, "Instance Delete requested", 4, 2},
    {5000, "Policy administration-related handler invoked", 5, 4},
    {5010, "Access Control add requested, identity type = %s, name = \"%s\", details = \"%s\"", 5, 2},
    {5020, "Access Control remove requested, found Access Control object with identity type = %s, name = \"%s\", "
           "details = \"%s\"", 5, 2},
    {5030, "Update Working Policy version %s requested", 5, 3},
    {5040, "Publish Working Policy version %s requested", 5, 2},
    {5050, "Add User Data For Quen requested, name = \"%s\", value = \"********\", type = %s", 5, 3},
    {5060, "Add User Data For Package requested, name = \"%s\", value = \"********\", type = %s", 5, 3},
    {5070, "Remove User Data For Quen requested, name = \"%s\"", 5, 3},
    {5080, "Remove User Data For Package requested, name = \"%s\"", 5, 3},
    {5090, "MAC Address Pool Add requested, UID = \"%s\", name = \"%s\", description = \"%s\", range start %s, "
           "range end %s", 5, 2},
    {5100, "MAC Address Pool Remove requested, UID = \"%s\", name = \"%s\", description = \"%s\", range start %s, "
           "range end %s, last assigned MAC Address %s", 5, 2},
};

/* Joins statements with ';'. */
void Add(std::string &script, const std::string &statement)
{
    if (!script.empty())
        script += ';';
    script += statement;
}

std::string BuildSchemaScript()
{
    std::string script;
    for (const char *table : kTables) {
        Add(script, table);
        if (std::string(table).starts_with("CREATE TABLE PolicyDb_Instance ")) {
            for (const char *column : kInstanceIndexColumns)
                Add(script,
                    std::string("CREATE INDEX PdbIns_") + column + "_idx ON PolicyDb_Instance (" + column + ")");
            for (int i = 1; i <= 9; i++)
                Add(script, "CREATE INDEX PdbIns_custom" + std::to_string(i) + "_idx ON PolicyDb_Instance (insCustom" +
                                std::to_string(i) + ")");
        }
    }
    Add(script, "INSERT INTO PolicyDb_MetaInfo (name, value) VALUES ('version', '216')");
    for (int i = 1; i <= 9; i++)
        Add(script,
            "INSERT INTO PolicyDb_MetaInfo (name, value) VALUES ('insCustom" + std::to_string(i) + "Name', '')");
    for (int i = 1; i <= 9; i++)
        Add(script, "INSERT INTO PolicyDb_MetaInfo (name, value) VALUES ('insCustom" + std::to_string(i) +
                        "ReadOnly', 'FALSE')");
    script += ';';
    script += PolDb_EventTypeInserts(nullptr);
    return script;
}

std::string EventTypeInserts(bool (*keep)(int type))
{
    std::string script;
    for (const EventTypeRow &row : kEventTypes)
        if (!keep || keep(row.type))
            Add(script, "INSERT INTO PolicyDb_EventType (eventType, eventMessage, eventCategory, eventCategoryName, "
                        "eventLogLevel) VALUES (" + std::to_string(row.type) + ", '" + row.message + "', " +
                            std::to_string(row.category) + ", '" + kCategoryNames[row.category] + "', " +
                            std::to_string(row.level) + ")");
    return script;
}

/* The combined indices of the instance list of one package or one Quen: the
 * clause, the live-row condition every instance query carries, and the
 * default order (activationDate descending), so that the first page and the
 * count read only the rows they answer. Read forwards, instances activated
 * in the same second come oldest row first, as the sort of the clause's
 * matches gave them before; the ORDER BY itself does not fix that order. */
struct SearchIndex {
    const char *name;
    const char *columns;
};
const SearchIndex kSearchIndexes[] = {
    {"PdbIns_pkgActivation_idx", "packageUID, deleted, activationDate DESC"},
    {"PdbIns_quenActivation_idx", "quenUID, deleted, activationDate DESC"},
};

std::string BuildSearchIndexScript()
{
    std::string script;
    for (const SearchIndex &index : kSearchIndexes)
        Add(script, std::string("CREATE INDEX IF NOT EXISTS ") + index.name + " ON PolicyDb_Instance (" +
                        index.columns + ")");
    return script;
}

std::string BuildLowercaseIndexScript(bool ifMissing)
{
    struct Pair {
        const char *name;
        const char *column;
    };
    static const Pair kColumns[] = {
        {"creatorIdName", "creatorIdName"},       {"creatorIdData", "creatorIdData"},
        {"hostName", "hostName"},                 {"guestMacAddress", "guestMacAddress"},
        {"guestMachineName", "guestMachineName"}, {"guestConfigMsg", "guestConfigMsg"},
        {"custom1", "insCustom1"}, {"custom2", "insCustom2"}, {"custom3", "insCustom3"},
        {"custom4", "insCustom4"}, {"custom5", "insCustom5"}, {"custom6", "insCustom6"},
        {"custom7", "insCustom7"}, {"custom8", "insCustom8"}, {"custom9", "insCustom9"},
    };
    std::string script;
    for (const Pair &p : kColumns)
        Add(script,
            std::string(ifMissing ? "CREATE INDEX IF NOT EXISTS PdbIns_" : "CREATE INDEX PdbIns_") + p.name +
                "_idxl on PolicyDb_Instance(lower(" + p.column + "))");
    return script;
}

} // namespace

std::string PolDb_EventTypeInserts(bool (*keep)(int type)) { return EventTypeInserts(keep); }

std::string PolDb_SchemaTableScript(const char *table)
{
    std::string prefix = std::string("CREATE TABLE ") + table + " (";
    for (const char *text : kTables)
        if (std::string(text).starts_with(prefix))
            return text;
    return std::string();
}

const char *PolDb_SchemaScript(void)
{
    static const std::string script = BuildSchemaScript();
    return script.c_str();
}

const char *PolDb_LowercaseIndexScript(void)
{
    static const std::string script = BuildLowercaseIndexScript(false);
    return script.c_str();
}

const char *PolDb_SearchIndexScript(void)
{
    static const std::string script = BuildSearchIndexScript();
    return script.c_str();
}

const char *PolDb_MissingSearchIndexScript(void)
{
    static const std::string script = BuildLowercaseIndexScript(true) + ";" + BuildSearchIndexScript();
    return script.c_str();
}
