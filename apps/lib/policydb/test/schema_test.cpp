/* The schema of version 216 as SQLite holds it after initialisation. */
#include "testutil.h"

#include "store/stores.h"

#include <string>

class Schema : public TempDb {
protected:
    void SetUp() override
    {
        TempDb::SetUp();
        ASSERT_TRUE(Init(DB_INIT_CREATE_IF_EMPTY));
    }
};

TEST_F(Schema, TablesMetadataAndEventTypes)
{
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM sqlite_master WHERE type = 'table'"), "12");
    for (int i = 0; i < PolDb_SchemaTableCount; i++)
        EXPECT_EQ(Scalar(std::string("SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND name = '") +
                         PolDb_SchemaTables[i] + "'"),
                  "1")
            << PolDb_SchemaTables[i];
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM PolicyDb_MetaInfo"), "19");
    EXPECT_EQ(Scalar("SELECT value FROM PolicyDb_MetaInfo WHERE name = 'version'"), "216");
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM PolicyDb_MetaInfo WHERE name LIKE 'insCustom_Name' AND value = ''"), "9");
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM PolicyDb_MetaInfo WHERE name LIKE 'insCustom_ReadOnly' AND value = 'FALSE'"),
              "9");
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM PolicyDb_EventType"), "41");
    EXPECT_EQ(Scalar("SELECT group_concat(eventCategoryName, '|') FROM (SELECT DISTINCT eventCategory, "
                     "eventCategoryName FROM PolicyDb_EventType ORDER BY eventCategory)"),
              "N/A|Authentication|QUEN Administration|Package Administration|Instance Administration|"
              "Policy Administration");
    EXPECT_EQ(Scalar("SELECT eventMessage FROM PolicyDb_EventType WHERE eventType = 2030"),
              "Quen \"%s\" Update requested, new name =\"%s\"");
    EXPECT_EQ(Scalar("SELECT eventLogLevel || '/' || eventCategory FROM PolicyDb_EventType WHERE eventType = 4030"),
              "2/4");
    /* Every code is its category times 1000 plus a multiple of ten. */
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM PolicyDb_EventType WHERE eventType / 1000 <> eventCategory "
                     "OR eventType % 10 <> 0"),
              "0");
}

TEST_F(Schema, IndicesWithLowercaseIndicesOnSqlite)
{
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM sqlite_master WHERE type = 'index' AND name LIKE 'PdbIns_%' "
                     "AND tbl_name = 'PolicyDb_Instance' AND name NOT LIKE '%_idxl'"),
              "32");
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM sqlite_master WHERE type = 'index' AND name IN "
                     "('PdbLf_longFieldKey_idx', 'PdbLf_sessionExpires_idx', 'PdbIns_eventCategory_idx', "
                     "'PdbIns_eventType_idx', 'PdbIns_eventTs_idx', 'PdbIns_quenUID_idx', 'PdbIns_custom9_idx')"),
              "7");
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM sqlite_master WHERE name LIKE '%_idxl'"), "15");
    EXPECT_EQ(Scalar("SELECT sql FROM sqlite_master WHERE name = 'PdbIns_custom9_idxl'"),
              "CREATE INDEX PdbIns_custom9_idxl on PolicyDb_Instance(lower(insCustom9))");
    /* 32 instance + 15 lowercase + 2 long-field + 3 event indices, besides
     * SQLite's own. */
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM sqlite_master WHERE type = 'index' AND sql IS NOT NULL"), "52");
}

TEST_F(Schema, ColumnsDefaultsAndConstraints)
{
    Raw("INSERT INTO PolicyDb_Quen (quenUID, quenName, activePolicySetVersion) VALUES ('q', 'n', 1)");
    EXPECT_EQ(Scalar("SELECT deleted || '/' || quenTsCreated || '/' || quenTsLastModified FROM PolicyDb_Quen"),
              "FALSE/0/0");
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM pragma_table_info('PolicyDb_Instance')"), "37");
    EXPECT_EQ(Scalar("SELECT type FROM pragma_table_info('PolicyDb_UserData') WHERE name = 'userDataPK'"),
              "VARCHAR(516)");
    EXPECT_EQ(Scalar("SELECT pk FROM pragma_table_info('PolicyDb_Event') WHERE name = 'eventUID'"), "1");
    /* The UNIQUE prevEventUID keeps two writers from both chaining onto the same predecessor. */
    Raw("INSERT INTO PolicyDb_Event (eventUID, prevEventUID) VALUES (1, NULL);"
        "INSERT INTO PolicyDb_Event (eventUID, prevEventUID) VALUES (2, 1)");
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM pragma_index_list('PolicyDb_Event') WHERE \"unique\" = 1"), "1");
    EXPECT_EQ(Scalar("SELECT group_concat(name) FROM pragma_table_info('PolicyDb_LongField') WHERE pk > 0"),
              "longFieldKey,longFieldIndex");
}

TEST_F(Schema, ReinitialisingDropsEverything)
{
    Raw("INSERT INTO PolicyDb_Quen (quenUID, quenName, activePolicySetVersion) VALUES ('q', 'n', 1);"
        "INSERT INTO PolicyDb_LongField (longFieldKey, longFieldIndex, longFieldValue) VALUES ('k', 0, 'v')");
    Db_ModuleExit();
    ASSERT_TRUE(Init(DB_INIT_FORCE_CREATE));
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM PolicyDb_Quen"), "0");
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM PolicyDb_LongField"), "0");
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM PolicyDb_EventType"), "41");
}

TEST(SchemaScripts, NoSemicolonInsideLiteralsAndLowercaseIndexText)
{
    /* The ODBC store splits scripts on ';': no literal may hold one. */
    std::string script = PolDb_SchemaScript();
    bool inLiteral = false;
    for (char c : script) {
        if (c == '\'')
            inLiteral = !inLiteral;
        ASSERT_FALSE(inLiteral && c == ';');
    }
    EXPECT_FALSE(inLiteral);
    std::string lower = PolDb_LowercaseIndexScript();
    EXPECT_EQ(lower.substr(0, lower.find(';')),
              "CREATE INDEX PdbIns_creatorIdName_idxl on PolicyDb_Instance(lower(creatorIdName))");
    EXPECT_NE(lower.find(";CREATE INDEX PdbIns_custom9_idxl on PolicyDb_Instance(lower(insCustom9))"),
              std::string::npos);
    size_t statements = 1;
    for (char c : lower)
        statements += c == ';';
    EXPECT_EQ(statements, 15u);
}
