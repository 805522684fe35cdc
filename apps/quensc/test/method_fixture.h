/* What the in-process tests of the module share: xmlrpc-c values built and
 * read back as plain C++ values, a temporary installation (a fresh SQLite
 * schema, certificate files, a configuration) that calls the rows of the
 * exported table the way the host does and reads the installation's file
 * with SQL of its own, and on top of it a started server with an
 * administrator session and helpers that create Quens, packages and
 * instances. */
#ifndef QUENSC_TEST_METHOD_FIXTURE_H
#define QUENSC_TEST_METHOD_FIXTURE_H

#include "recording_host.h"

#include "frame/managerAuth.h"
#include "frame/frame.h"
#include "policydb/instance.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <sys/stat.h>
#include <vector>

extern "C" QuenScMethod methods[];
extern "C" QuenScServer *init(void *, const char *, QuenScHostServer *);
extern "C" int QuenSc_XmlRpcRegistryLock(QuenScServer *, int);

namespace quensc_test {

/* ---- values ------------------------------------------------------------------------ */

/* One element of a result array: a scalar as text (an 8-byte base64 value
 * as its 64-bit decimal), or a struct's members the same way with the text
 * "{struct}". */
struct Item {
    std::string text;
    std::map<std::string, std::string> members;
};

inline std::string ValueText(xmlrpc_env *env, xmlrpc_value *v)
{
    switch (xmlrpc_value_type(v)) {
    case XMLRPC_TYPE_INT: {
        int x = 0;
        xmlrpc_read_int(env, v, &x);
        return std::to_string(x);
    }
    case XMLRPC_TYPE_STRING: {
        const char *s = nullptr;
        xmlrpc_read_string(env, v, &s);
        std::string out = s ? s : "";
        free(const_cast<char *>(s));
        return out;
    }
    case XMLRPC_TYPE_BASE64: {
        size_t length = 0;
        const unsigned char *bytes = nullptr;
        xmlrpc_read_base64(env, v, &length, &bytes);
        uint64_t x = 0;
        for (size_t i = 0; i < length && i < 8; i++)
            x |= uint64_t(bytes[i]) << (8 * i);
        free(const_cast<unsigned char *>(bytes));
        return length == 8 ? std::to_string(int64_t(x)) : "<base64 of " + std::to_string(length) + ">";
    }
    default:
        return "<other>";
    }
}

inline std::vector<Item> Items(xmlrpc_value *array)
{
    std::vector<Item> out;
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    int n = xmlrpc_array_size(&env, array);
    for (int i = 0; i < n; i++) {
        xmlrpc_value *v = nullptr;
        xmlrpc_array_read_item(&env, array, i, &v);
        Item item;
        if (xmlrpc_value_type(v) == XMLRPC_TYPE_STRUCT) {
            int members = xmlrpc_struct_size(&env, v);
            for (int m = 0; m < members; m++) {
                xmlrpc_value *key = nullptr, *value = nullptr;
                xmlrpc_struct_read_member(&env, v, m, &key, &value);
                item.members[ValueText(&env, key)] = ValueText(&env, value);
                xmlrpc_DECREF(key);
                xmlrpc_DECREF(value);
            }
            item.text = "{struct}";
        } else {
            item.text = ValueText(&env, v);
        }
        out.push_back(item);
        xmlrpc_DECREF(v);
    }
    xmlrpc_env_clean(&env);
    return out;
}

/* The texts of a reply's elements. */
inline std::vector<std::string> Texts(const std::vector<Item> &items)
{
    std::vector<std::string> out;
    for (const Item &item : items)
        out.push_back(item.text);
    return out;
}

/* Builds a value with xmlrpc_build_value's format. */
template <typename... A>
xmlrpc_value *Build(const char *format, A... args)
{
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    return xmlrpc_build_value(&env, format, args...);
}

inline xmlrpc_value *S(const std::string &s) { return Build("s", s.c_str()); }

inline xmlrpc_value *I(int i) { return Build("i", i); }

/* A 64-bit value in its 8-byte little-endian base64 form. */
inline xmlrpc_value *I64(int64_t value)
{
    unsigned char bytes[8];
    for (int i = 0; i < 8; i++)
        bytes[i] = static_cast<unsigned char>(uint64_t(value) >> (8 * i));
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    return xmlrpc_base64_new(&env, 8, bytes);
}

/* A struct of string members. */
inline xmlrpc_value *Struct(std::initializer_list<std::pair<const char *, std::string>> members)
{
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    xmlrpc_value *st = xmlrpc_struct_new(&env);
    for (const auto &[name, value] : members) {
        xmlrpc_value *v = xmlrpc_string_new(&env, value.c_str());
        xmlrpc_struct_set_value(&env, st, name, v);
        xmlrpc_DECREF(v);
    }
    return st;
}

/* Sets member name of st to v and drops the caller's reference to v. */
inline void Set(xmlrpc_value *st, const char *name, xmlrpc_value *v)
{
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    xmlrpc_struct_set_value(&env, st, name, v);
    xmlrpc_DECREF(v);
}

/* A password credential. */
inline xmlrpc_value *Password(const std::string &p)
{
    return Build("{s:i,s:{s:s}}", "type", 2, "pwd", "pwd", p.c_str());
}

inline std::string Hash(const char *salt, const char *password)
{
    apr_pool_t *pool = nullptr;
    apr_pool_create(&pool, nullptr);
    std::string h = QuenScPasswordHash(pool, salt, password);
    apr_pool_destroy(pool);
    return h;
}

/* An instance row written straight through the database library: by
 * default active, inheriting its window, with no end. */
struct InstanceRow {
    std::string uid, package, creatorData = "creator";
    int64_t activation = 1000, revocation = 0, replacement = 0;
    bool inherits = true, useValidDates = false, preview = false;
    int64_t start = 0, end = INT64_MAX;
    std::string creatorName = "someone";
    int creatorType = 0;
    int64_t lastCheck = 0;
    std::string hostName{}, hostIp{}, guestIp{}, guestMac{}, guestName{}, guestMsg{}, copyProtectionId{};
    int guestStatus = 0;
    std::array<std::string, 9> custom{};
};

/* ---- the installation ------------------------------------------------------------------- */

/* A scratch installation under /tmp: conf, db (a fresh schema) and ssl (a
 * certificate of 1000 "C" and a chain of 2000 "H"). Nothing is configured
 * or started; the folder goes at the end of the test, with the module's
 * database state and any store override. */
class Installation : public ::testing::Test {
protected:
    /* The usual global settings of a configuration. */
    static constexpr const char *kGlobal =
        "<configuration_version>3</configuration_version><db_type>sqlite</db_type><use_ldap>0</use_ldap>";

    void SetUp() override
    {
        char tmpl[] = "/tmp/quensc-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        for (const char *sub : {"/conf", "/db", "/ssl"})
            mkdir((dir_ + sub).c_str(), 0755);
        Write("/ssl/server.crt", std::string(1000, 'C'));
        Write("/ssl/chain.crt", std::string(2000, 'H'));
        ASSERT_TRUE(PolDb_SetupInitSchema(DB_STORE_SQLITE, (dir_ + "/db/quensc.bin").c_str(), nullptr, nullptr));
    }
    void TearDown() override
    {
        DropContext();
        Db_SetStoreOpsOverride(nullptr);
        Db_ModuleExit();
        (void)system(("rm -rf '" + dir_ + "'").c_str());
    }
    void Write(const std::string &rel, const std::string &text)
    {
        std::ofstream(dir_ + rel, std::ios::binary) << text;
    }
    /* Writes a configuration with these global settings and extra sections,
     * the manager passwords hashed, every log area at level (0: no audit
     * events). */
    void Configure(const std::string &global = kGlobal, const std::string &extra = "", int level = 4)
    {
        const std::string l = std::to_string(level);
        Write("/conf/quensc.conf",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<quensc_configuration>\n<global>" + global +
                  "</global>\n"
                  "<sqlite><db_file>../db/quensc.bin</db_file></sqlite>\n"
                  "<administrators><password>" + Hash(nullptr, adminPassword_) + "</password></administrators>\n"
                  "<helpdesk><password>" + Hash(nullptr, deskPassword_) + "</password></helpdesk>\n"
                  "<logging><authentication>" + l + "</authentication><quen_admin>" + l + "</quen_admin>"
                  "<package_admin>" + l + "</package_admin><instance_admin>" + l + "</instance_admin>"
                  "<policy_admin>" + l + "</policy_admin></logging>\n" + extra + "</quensc_configuration>\n");
    }
    /* Starts the module on the installation's configuration. */
    QuenScServer *Start()
    {
        server_ = init(nullptr, (dir_ + "/conf/quensc.conf").c_str(), host_.server());
        return server_;
    }
    /* Calls the row name of the exported table as the host does. Owns the
     * arguments. A context of the test is destroyed first: its open
     * transaction would hold the database lock. */
    std::vector<Item> Call(const char *name, std::initializer_list<xmlrpc_value *> args)
    {
        DropContext();
        xmlrpc_env env;
        xmlrpc_env_init(&env);
        xmlrpc_value *params = xmlrpc_array_new(&env);
        for (xmlrpc_value *a : args) {
            xmlrpc_array_append_item(&env, params, a);
            xmlrpc_DECREF(a);
        }
        const QuenScMethod *row = methods;
        while (row->name && strcmp(row->name, name) != 0)
            row++;
        EXPECT_NE(row->name, nullptr) << name;
        if (!row->name) {
            xmlrpc_DECREF(params);
            xmlrpc_env_clean(&env);
            return {Item{"<no such method>", {}}};
        }
        QuenSc_XmlRpcRegistryLock(server_, 1);
        xmlrpc_value *result = row->handler(&env, params, server_);
        QuenSc_XmlRpcRegistryLock(server_, 0);
        EXPECT_FALSE(env.fault_occurred) << name << ": a reader's fault would replace the result array";
        std::vector<Item> out = result ? Items(result) : std::vector<Item>{Item{"<null>", {}}};
        if (result)
            xmlrpc_DECREF(result);
        xmlrpc_DECREF(params);
        xmlrpc_env_clean(&env);
        return out;
    }
    /* Just the result code. */
    int Code(const char *name, std::initializer_list<xmlrpc_value *> args)
    {
        return std::stoi(Call(name, args)[0].text);
    }
    /* A new session's id. */
    std::string Open()
    {
        auto opened = Call("SessionOpen", {I(10)});
        EXPECT_EQ(opened.size(), 3u);
        return opened.size() > 1 ? opened[1].text : "";
    }
    /* A new session, given manager rights by password (null: none). */
    std::string Login(const char *password)
    {
        std::string id = Open();
        if (password) {
            EXPECT_EQ(Code("AuthenticateManager", {S(id), Password(password)}), 0);
        }
        return id;
    }
    /* A request context of the test's own, destroyed at the end. */
    i_ctx *Context()
    {
        DropContext();
        ctx_ = QuenScContextCreate(server_);
        return ctx_;
    }
    void DropContext()
    {
        if (ctx_)
            QuenScContextDestroy(ctx_);
        ctx_ = nullptr;
    }
    /* Column 0 of every row of a statement run on a connection of its own,
     * joined by "|". A context of the test is destroyed first. */
    std::string Sql(const std::string &sql) { return RunSql(sql, false); }
    /* Column 0 of the first row only. */
    std::string Scalar(const std::string &sql) { return RunSql(sql, true); }
    bool Logged(const std::string &text) const { return host_.All().find(text) != std::string::npos; }

    RecordingHost host_;
    std::string dir_;
    QuenScServer *server_ = nullptr;
    i_ctx *ctx_ = nullptr;
    const char *adminPassword_ = "admin";
    const char *deskPassword_ = "desk";

private:
    std::string RunSql(const std::string &sql, bool firstRowOnly)
    {
        DropContext();
        sqlite3 *db = nullptr;
        sqlite3_open((dir_ + "/db/quensc.bin").c_str(), &db);
        sqlite3_busy_timeout(db, 10000);
        sqlite3_stmt *st = nullptr;
        std::string out;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK) {
            int rc;
            bool first = true;
            while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
                if (!first)
                    out += "|";
                first = false;
                if (sqlite3_column_text(st, 0))
                    out += reinterpret_cast<const char *>(sqlite3_column_text(st, 0));
                if (firstRowOnly) {
                    rc = SQLITE_DONE;
                    break;
                }
            }
            if (rc != SQLITE_DONE)
                ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db);
        } else {
            ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db);
        }
        sqlite3_finalize(st);
        sqlite3_close(db);
        return out;
    }
};

/* ---- a started server ----------------------------------------------------------------- */

/* The installation configured (session time-to-live 600) and started, with
 * an administrator session in admin_. */
class MethodFixture : public Installation {
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(Installation::SetUp());
        Configure(std::string(kGlobal) + "<session_ttl>600</session_ttl>");
        ASSERT_NE(Start(), nullptr) << host_.All();
        admin_ = Open();
        ASSERT_EQ(Code("AuthenticateManager", {S(admin_), Password("admin")}), 0) << host_.All();
    }
    void CreateQuen(const std::string &uid, const std::string &name = "a quen")
    {
        ASSERT_EQ(Code("QuenCreate", {S(admin_), Struct({{"uuid", uid}, {"name", name}})}), 0) << host_.All();
    }
    void CreatePackage(const std::string &uid, const std::string &quen, const std::string &name = "package")
    {
        xmlrpc_value *p = Struct({{"uuid", uid}, {"quen_uuid", quen}, {"name", name}, {"key", "the key"}});
        Set(p, "useValidDates", I(0));
        Set(p, "validDateStart", I64(0));
        Set(p, "validDateEnd", I64(0));
        Set(p, "disabled", I(0));
        Set(p, "preview", I(0));
        ASSERT_EQ(Code("PackageCreate", {S(admin_), p}), 0) << host_.All();
    }
    /* An instance made by InstanceCreate (anybody may create under the
     * default policy set); its UID. */
    std::string CreateInstance(const std::string &package, const std::string &copyProtectionId = "")
    {
        auto answer = Call("InstanceCreate", {S(admin_), Build("{s:i}", "type", 0), S(package), S("client key"),
                                              S(copyProtectionId)});
        EXPECT_EQ(answer[0].text, "0") << host_.All();
        return answer.size() > 1 ? answer[1].text : "";
    }
    void AddInstance(const InstanceRow &row)
    {
        DbConnection *conn = Db_Open();
        PolDbInstance r{};
        auto text = [](const std::string &s) { return const_cast<char *>(s.c_str()); };
        r.instanceUID = text(row.uid);
        r.packageUID = text(row.package);
        r.creatorIdName = text(row.creatorName);
        r.creatorIdData = text(row.creatorData);
        r.creatorAuthType = row.creatorType;
        r.activationDate = row.activation;
        r.lastPolicyCheck = row.lastCheck;
        r.revocationDate = row.revocation;
        r.replacementDate = row.replacement;
        r.inheritsExpiration = row.inherits;
        r.useValidDates = row.useValidDates;
        r.validDateStart = row.start;
        r.validDateEnd = row.end;
        r.password = const_cast<char *>("stored hash");
        r.protectionKey = const_cast<char *>("stored key");
        r.hostName = text(row.hostName);
        r.hostIp = text(row.hostIp);
        r.guestIpAddress = text(row.guestIp);
        r.guestMacAddress = text(row.guestMac);
        r.guestMachineName = text(row.guestName);
        r.guestConfigMsg = text(row.guestMsg);
        r.guestConfigStatus = row.guestStatus;
        r.copyProtectionId = text(row.copyProtectionId);
        r.preview = row.preview;
        for (int i = 0; i < 9; i++)
            r.custom[i] = text(row.custom[i]);
        ASSERT_TRUE(PolDb_InstanceAdd(conn, &r)) << host_.All();
        ASSERT_TRUE(Db_Commit(conn));
        Db_Close(conn);
    }
    /* One column (or expression) of an instance's row. */
    std::string Column(const std::string &uid, const std::string &column)
    {
        return Scalar("SELECT " + column + " FROM PolicyDb_Instance WHERE instanceUID = '" + uid + "'");
    }
    /* The stored parameters (tab-joined) of the events of one type, in
     * order, joined by "|". */
    std::string Events(int type)
    {
        return Sql("SELECT messageParams FROM PolicyDb_Event WHERE eventType = " + std::to_string(type) +
                   " ORDER BY CAST(eventUID AS INTEGER)");
    }

    std::string admin_;
};

} // namespace quensc_test

#endif
