/* Value marshalling against real xmlrpc-c values: scalar and struct readers,
 * both wire forms of 64-bit values, credentials and their audit text,
 * instance query clauses, the writers' member names, types and order, and
 * round trips through serialized XML. */
#include "frame/marshal.h"
#include "recording_host.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

struct ValueRelease {
    void operator()(xmlrpc_value *v) const { xmlrpc_DECREF(v); }
};
using Value = std::unique_ptr<xmlrpc_value, ValueRelease>;

/* xmlrpc_build_value with a fresh environment; fails the test on a fault. */
template <typename... Args>
Value Build(const char *format, Args... args)
{
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    xmlrpc_value *v = xmlrpc_build_value(&env, format, args...);
    EXPECT_FALSE(env.fault_occurred) << format << ": " << (env.fault_string ? env.fault_string : "");
    xmlrpc_env_clean(&env);
    return Value(env.fault_occurred ? nullptr : v);
}

/* 8-byte little-endian form of v, as the wire carries it. */
std::string Le8(int64_t v)
{
    std::string s(8, '\0');
    for (int i = 0; i < 8; i++)
        s[i] = static_cast<char>(static_cast<uint64_t>(v) >> (8 * i));
    return s;
}

Value Base64(const std::string &bytes)
{
    return Build("6", reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size());
}

/* One letter per wire type: i int, s string, 8 8-byte base64, b other base64,
 * S struct, A array, ? anything else. */
std::string TypeLetter(xmlrpc_value *v)
{
    switch (xmlrpc_value_type(v)) {
    case XMLRPC_TYPE_INT: return "i";
    case XMLRPC_TYPE_STRING: return "s";
    case XMLRPC_TYPE_STRUCT: return "S";
    case XMLRPC_TYPE_ARRAY: return "A";
    case XMLRPC_TYPE_BASE64: {
        xmlrpc_env env;
        xmlrpc_env_init(&env);
        size_t n = 0;
        xmlrpc_read_base64_size(&env, v, &n);
        xmlrpc_env_clean(&env);
        return n == 8 ? "8" : "b";
    }
    default: return "?";
    }
}

/* "name:letter,..." for a struct's members in order. */
std::string Shape(xmlrpc_value *st)
{
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    std::string out;
    int n = xmlrpc_struct_size(&env, st);
    for (int i = 0; i < n && !env.fault_occurred; i++) {
        xmlrpc_value *key = nullptr, *value = nullptr;
        xmlrpc_struct_read_member(&env, st, i, &key, &value);
        const char *name = nullptr;
        xmlrpc_read_string(&env, key, &name);
        out += (out.empty() ? "" : ",") + std::string(name) + ":" + TypeLetter(value);
        free(const_cast<char *>(name));
        xmlrpc_DECREF(key);
        xmlrpc_DECREF(value);
    }
    EXPECT_FALSE(env.fault_occurred);
    xmlrpc_env_clean(&env);
    return out;
}

/* Serializes array as a method response and parses it back, as a client
 * and the next request would see it. */
Value ThroughXml(xmlrpc_value *array)
{
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    xmlrpc_mem_block *xml = xmlrpc_mem_block_new(&env, 0);
    xmlrpc_serialize_response(&env, xml, array);
    EXPECT_FALSE(env.fault_occurred);
    xmlrpc_value *back = xmlrpc_parse_response(&env, static_cast<const char *>(xmlrpc_mem_block_contents(xml)),
                                               xmlrpc_mem_block_size(xml));
    EXPECT_FALSE(env.fault_occurred) << (env.fault_string ? env.fault_string : "");
    xmlrpc_mem_block_free(xml);
    xmlrpc_env_clean(&env);
    return Value(back);
}

class Marshal : public ::testing::Test {
protected:
    void SetUp() override { xmlrpc_env_init(&env_); }
    void TearDown() override { xmlrpc_env_clean(&env_); }
    /* Expects a failed read: code 2 and a fault with the given code. */
    void ExpectFault(int rc, int faultCode)
    {
        EXPECT_EQ(rc, QUENSC_INTERNAL);
        EXPECT_TRUE(env_.fault_occurred);
        EXPECT_EQ(env_.fault_code, faultCode) << (env_.fault_string ? env_.fault_string : "");
        ResetEnv();
    }
    void ResetEnv()
    {
        xmlrpc_env_clean(&env_);
        xmlrpc_env_init(&env_);
    }
    int ReadI64(xmlrpc_value *v, int64_t *out)
    {
        Value params = Build("(V)", v);
        return QuenScReadInt64(&env_, params.get(), 0, out);
    }
    bool Logged(const std::string &text) const { return host_.All().find(text) != std::string::npos; }

    RecordingHost host_; /* keeps the log lines; its pool is the request pool */
    apr_pool_t *pool_ = host_.pool();
    xmlrpc_env env_;
};

/* ---- Scalar readers ------------------------------------------------- */

TEST_F(Marshal, StringReaderAcceptsOnlyStringsAndCopiesIntoThePool)
{
    Value params = Build("(ssi)", "hello", "", 5);
    const char *s = "stale";
    EXPECT_EQ(QuenScReadString(&env_, params.get(), 0, pool_, &s), QUENSC_OK);
    EXPECT_STREQ(s, "hello");
    EXPECT_EQ(QuenScReadString(&env_, params.get(), 1, pool_, &s), QUENSC_OK);
    EXPECT_STREQ(s, "");

    ExpectFault(QuenScReadString(&env_, params.get(), 2, pool_, &s), XMLRPC_TYPE_ERROR);
    EXPECT_EQ(s, nullptr);
    ExpectFault(QuenScReadString(&env_, params.get(), 3, pool_, &s), XMLRPC_INDEX_ERROR);
    ExpectFault(QuenScReadString(&env_, params.get(), -1, pool_, &s), XMLRPC_INDEX_ERROR);
    ExpectFault(QuenScReadString(&env_, nullptr, 0, pool_, &s), XMLRPC_TYPE_ERROR);
    /* A parameter that is not an array. */
    Value notArray = Build("s", "x");
    ExpectFault(QuenScReadString(&env_, notArray.get(), 0, pool_, &s), XMLRPC_TYPE_ERROR);

    /* Embedded NUL: the library refuses it, so do we. */
    Value nul = Build("(s#)", "a\0b", static_cast<size_t>(3));
    ExpectFault(QuenScReadString(&env_, nul.get(), 0, pool_, &s), XMLRPC_TYPE_ERROR);
    EXPECT_EQ(s, nullptr);

    /* A pending fault from an earlier argument stops every later read and
     * keeps the first fault's text. */
    xmlrpc_env_set_fault(&env_, XMLRPC_INDEX_ERROR, "first");
    EXPECT_EQ(QuenScReadString(&env_, params.get(), 0, pool_, &s), QUENSC_INTERNAL);
    EXPECT_STREQ(env_.fault_string, "first");
}

TEST_F(Marshal, IntReaderKeepsOutputOnFailure)
{
    Value params = Build("(iisIb)", INT_MIN, INT_MAX, "5", static_cast<xmlrpc_int64>(5), static_cast<xmlrpc_bool>(1));
    int v = 0;
    EXPECT_EQ(QuenScReadInt(&env_, params.get(), 0, &v), QUENSC_OK);
    EXPECT_EQ(v, INT_MIN);
    EXPECT_EQ(QuenScReadInt(&env_, params.get(), 1, &v), QUENSC_OK);
    EXPECT_EQ(v, INT_MAX);
    for (int index : {2, 3, 4}) { /* string, i8 and boolean are not ints */
        ExpectFault(QuenScReadInt(&env_, params.get(), index, &v), XMLRPC_TYPE_ERROR);
        EXPECT_EQ(v, INT_MAX);
    }
    ExpectFault(QuenScReadInt(&env_, params.get(), 9, &v), XMLRPC_INDEX_ERROR);
    EXPECT_EQ(v, INT_MAX);
}

TEST_F(Marshal, Int64BothWireFormsReadTheSameValue)
{
    const struct {
        int64_t value;
        const char *decimal;
    } cases[] = {
        {0, "0"},
        {1, "1"},
        {-1, "-1"},
        {1700000000, " 1700000000 "},
        {0x0102030405060708LL, "72623859790382856"},
        {INT64_MAX, "9223372036854775807"},
        {INT64_MIN, "-9223372036854775808"},
        {7, "+7"},
    };
    for (const auto &c : cases) {
        int64_t fromBase64 = 42, fromText = 42;
        Value b = Base64(Le8(c.value));
        Value t = Build("s", c.decimal);
        EXPECT_EQ(ReadI64(b.get(), &fromBase64), QUENSC_OK) << c.decimal;
        EXPECT_EQ(ReadI64(t.get(), &fromText), QUENSC_OK) << c.decimal;
        EXPECT_EQ(fromBase64, c.value) << c.decimal;
        EXPECT_EQ(fromText, c.value) << c.decimal;
    }
    /* An empty text is a date that is not set. */
    int64_t v = 42;
    Value empty = Build("s", "");
    EXPECT_EQ(ReadI64(empty.get(), &v), QUENSC_OK);
    EXPECT_EQ(v, 0);
}

TEST_F(Marshal, Int64RefusesOtherTypesLengthsAndMalformedText)
{
    std::vector<Value> refused;
    for (const char *text : {"9223372036854775808", "-9223372036854775809", "99999999999999999999999", "12abc",
                             "abc", "-", "1 2", "0x10", "1e3", "--1"})
        refused.push_back(Build("s", text));
    for (size_t n : {0, 4, 7, 9, 64})
        refused.push_back(Base64(std::string(n, '\x01')));
    refused.push_back(Build("i", 5));
    refused.push_back(Build("I", static_cast<xmlrpc_int64>(5)));
    refused.push_back(Build("d", 5.0));
    refused.push_back(Build("()"));
    refused.push_back(Build("s#", "1\0002", static_cast<size_t>(3)));
    for (const Value &r : refused) {
        int64_t v = 42;
        ExpectFault(ReadI64(r.get(), &v), XMLRPC_TYPE_ERROR);
        EXPECT_EQ(v, 42);
    }
}

TEST_F(Marshal, Int64FromParsedXmlIsLittleEndian)
{
    auto readWire = [&](const std::string &valueXml, int64_t *out) {
        std::string xml = "<?xml version=\"1.0\"?><methodCall><methodName>m</methodName><params><param><value>" +
                          valueXml + "</value></param></params></methodCall>";
        const char *method = nullptr;
        xmlrpc_value *params = nullptr;
        xmlrpc_parse_call(&env_, xml.data(), xml.size(), &method, &params);
        if (env_.fault_occurred)
            return -1; /* refused already by the XML parser */
        free(const_cast<char *>(method));
        int rc = QuenScReadInt64(&env_, params, 0, out);
        xmlrpc_DECREF(params);
        return rc;
    };
    int64_t v = 0;
    EXPECT_EQ(readWire("<base64>AQAAAAAAAAA=</base64>", &v), QUENSC_OK);
    EXPECT_EQ(v, 1);
    EXPECT_EQ(readWire("<base64>//////////8=</base64>", &v), QUENSC_OK);
    EXPECT_EQ(v, -1);
    EXPECT_EQ(readWire("<string>-5</string>", &v), QUENSC_OK);
    EXPECT_EQ(v, -5);
    v = 42;
    for (const char *bad : {"<base64>AAAA</base64>", "<base64>@@@@</base64>", "<base64>AQAAAAAAAAA</base64>",
                            "<i4>5</i4>"}) {
        EXPECT_NE(readWire(bad, &v), QUENSC_OK) << bad;
        EXPECT_EQ(v, 42) << bad;
        ResetEnv();
    }
}

TEST_F(Marshal, MemberReadersReportMissingMembersAndWrongTypes)
{
    Value st = Build("{s:s,s:i,s:6}", "text", "t", "num", 3, "date",
                     reinterpret_cast<const unsigned char *>(Le8(-2).data()), static_cast<size_t>(8));
    const char *s = nullptr;
    int i = 0;
    int64_t d = 0;
    EXPECT_EQ(QuenScReadStringMember(&env_, st.get(), "text", pool_, &s), QUENSC_OK);
    EXPECT_EQ(QuenScReadIntMember(&env_, st.get(), "num", &i), QUENSC_OK);
    EXPECT_EQ(QuenScReadInt64Member(&env_, st.get(), "date", &d), QUENSC_OK);
    EXPECT_STREQ(s, "t");
    EXPECT_EQ(i, 3);
    EXPECT_EQ(d, -2);
    ExpectFault(QuenScReadStringMember(&env_, st.get(), "nope", pool_, &s), XMLRPC_INDEX_ERROR);
    ExpectFault(QuenScReadIntMember(&env_, st.get(), "text", &i), XMLRPC_TYPE_ERROR);
    ExpectFault(QuenScReadInt64Member(&env_, st.get(), "num", &d), XMLRPC_TYPE_ERROR);
    ExpectFault(QuenScReadStringMember(&env_, st.get(), nullptr, pool_, &s), XMLRPC_TYPE_ERROR);
    Value notStruct = Build("s", "x");
    ExpectFault(QuenScReadIntMember(&env_, notStruct.get(), "num", &i), XMLRPC_TYPE_ERROR);
    EXPECT_EQ(i, 3);
    EXPECT_EQ(d, -2);
}

/* ---- Struct readers ------------------------------------------------- */

TEST_F(Marshal, PolicyReaderStopsAtABadDateEvenWhenLaterMembersAreValid)
{
    auto policy = [&](Value expValue1) {
        return Build("({s:i,s:i,s:i,s:i,s:i,s:i,s:i,s:V,s:s,s:6,s:i})", "instType", 1, "authType", 2,
                     "useInstanceLimit", 1, "instanceLimit", 10, "usePerUserInstanceLimit", 0,
                     "perUserInstanceLimit", 3, "expType", 2, "expValue_1", expValue1.get(), "expValue_2",
                     "1800000000", "sessionLifetime", reinterpret_cast<const unsigned char *>(Le8(-1).data()),
                     static_cast<size_t>(8), "copyPolicy", 2);
    };
    QuenScPolicyRecord p{};
    Value good = policy(Base64(Le8(1700000000)));
    ASSERT_EQ(QuenScReadPolicy(&env_, good.get(), 0, &p), QUENSC_OK);
    EXPECT_EQ(p.instType, 1);
    EXPECT_EQ(p.authType, 2);
    EXPECT_EQ(p.instanceLimit, 10);
    EXPECT_EQ(p.perUserInstanceLimit, 3);
    EXPECT_EQ(p.expValue1, 1700000000);
    EXPECT_EQ(p.expValue2, 1800000000);
    EXPECT_EQ(p.sessionLifetime, -1);
    EXPECT_EQ(p.copyPolicy, 2);

    std::vector<Value> bad;
    bad.push_back(policy(Build("i", 1700000000)));
    bad.push_back(policy(Base64(std::string(4, '\0'))));
    for (const Value &b : bad) {
        ExpectFault(QuenScReadPolicy(&env_, b.get(), 0, &p), XMLRPC_TYPE_ERROR);
        EXPECT_EQ(p.instType, 0); /* a failed read leaves no half record */
        EXPECT_EQ(p.copyPolicy, 0);
    }
}

TEST_F(Marshal, StructReadersRequireEveryMemberAndAStruct)
{
    QuenScQuenRecord q{};
    Value noName = Build("({s:s})", "uuid", "Q1");
    ExpectFault(QuenScReadQuen(&env_, noName.get(), 0, pool_, &q), XMLRPC_INDEX_ERROR);
    EXPECT_EQ(q.uuid, nullptr);
    Value notStruct = Build("(s)", "Q1");
    ExpectFault(QuenScReadQuen(&env_, notStruct.get(), 0, pool_, &q), XMLRPC_TYPE_ERROR);
    ExpectFault(QuenScReadQuen(&env_, notStruct.get(), 1, pool_, &q), XMLRPC_INDEX_ERROR);

    QuenScHostInfo h{};
    Value host = Build("({s:s,s:s})", "hostname", "pc1", "ip", "10.0.0.1");
    ASSERT_EQ(QuenScReadHostInfo(&env_, host.get(), 0, pool_, &h), QUENSC_OK);
    EXPECT_STREQ(h.hostname, "pc1");
    EXPECT_STREQ(h.ip, "10.0.0.1");

    QuenScGuestInfo g{};
    Value guest = Build("({s:s,s:s,s:s,s:s,s:i})", "ip", "10.0.0.2", "macAddress", "02:00:00:00:00:01",
                        "configMsg", "ok", "machineName", "vm", "status", 7);
    ASSERT_EQ(QuenScReadGuestInfo(&env_, guest.get(), 0, pool_, &g), QUENSC_OK);
    EXPECT_STREQ(g.macAddress, "02:00:00:00:00:01");
    EXPECT_STREQ(g.machineName, "vm");
    EXPECT_EQ(g.status, 7);
    Value guestStatusText = Build("({s:s,s:s,s:s,s:s,s:s})", "ip", "", "macAddress", "", "configMsg", "",
                                  "machineName", "", "status", "1");
    ExpectFault(QuenScReadGuestInfo(&env_, guestStatusText.get(), 0, pool_, &g), XMLRPC_TYPE_ERROR);
}

/* ---- Credentials ---------------------------------------------------- */

TEST_F(Marshal, CredentialsOfEachType)
{
    Value params = Build("({s:i}{s:i,s:{s:s,s:s,s:s}}{s:i,s:{s:s}}{s:i,s:{s:s}}{s:i})", "type", 0, "type", 1, "ldap",
                         "name", "alice", "pwd", "secret", "domain", "CORP", "type", 2, "pwd", "pwd", "hunter2",
                         "type", 3, "token", "token", "T-123", "type", 7);
    QuenScCredential c{};
    ASSERT_EQ(QuenScReadCredential(&env_, params.get(), 0, pool_, &c), QUENSC_OK);
    EXPECT_EQ(c.type, QUENSC_CRED_NULL);
    EXPECT_STREQ(QuenScCredentialDescription(pool_, &c), "type = NULL");

    ASSERT_EQ(QuenScReadCredential(&env_, params.get(), 1, pool_, &c), QUENSC_OK);
    EXPECT_EQ(c.type, QUENSC_CRED_LDAP);
    EXPECT_STREQ(c.value1, "alice");
    EXPECT_STREQ(c.value2, "secret");
    EXPECT_STREQ(c.value3, "CORP");
    EXPECT_STREQ(QuenScCredentialDescription(pool_, &c), "type = LDAP, name = \"alice\", domain = \"CORP\"");

    ASSERT_EQ(QuenScReadCredential(&env_, params.get(), 2, pool_, &c), QUENSC_OK);
    EXPECT_EQ(c.type, QUENSC_CRED_PASSWORD);
    EXPECT_STREQ(c.value1, "hunter2");
    EXPECT_STREQ(QuenScCredentialDescription(pool_, &c), "type = PASSWORD, value = \"********\"");

    ASSERT_EQ(QuenScReadCredential(&env_, params.get(), 3, pool_, &c), QUENSC_OK);
    EXPECT_EQ(c.type, QUENSC_CRED_TOKEN);
    EXPECT_STREQ(QuenScCredentialDescription(pool_, &c), "type = TOKEN, value = \"T-123\"");

    ASSERT_EQ(QuenScReadCredential(&env_, params.get(), 4, pool_, &c), QUENSC_OK);
    EXPECT_EQ(c.type, 7);
    EXPECT_EQ(c.value1, nullptr);
    EXPECT_TRUE(Logged("QUENSC: Invalid cred type read from server: 7"));
    EXPECT_STREQ(QuenScCredentialDescription(pool_, &c), "type = UNKNOWN");

    EXPECT_STREQ(QuenScCredentialDescription(pool_, nullptr), "");
    QuenScCredential nulls{QUENSC_CRED_LDAP, nullptr, "pw", nullptr};
    EXPECT_STREQ(QuenScCredentialDescription(pool_, &nulls), "type = LDAP, name = \"\", domain = \"\"");
    QuenScCredential noToken{QUENSC_CRED_TOKEN, nullptr, nullptr, nullptr};
    EXPECT_STREQ(QuenScCredentialDescription(pool_, &noToken), "type = TOKEN, value = \"\"");
    EXPECT_EQ(host_.All().find("secret"), std::string::npos); /* no password ever reaches the log */
}

TEST_F(Marshal, MalformedCredentialsAreRefusedWithoutLeftovers)
{
    Value params = Build("({s:i,s:s}{s:i,s:{s:s,s:s}}{s:i}{s:s}{s:i,s:{s:s}})", "type", 2, "pwd", "plain", "type", 1,
                         "ldap", "name", "alice", "pwd", "secret", "type", 3, "type", "1", "type", 3, "token",
                         "wrong", "T");
    QuenScCredential c{};
    /* "pwd" as a plain string instead of a struct. */
    ExpectFault(QuenScReadCredential(&env_, params.get(), 0, pool_, &c), XMLRPC_TYPE_ERROR);
    /* No domain: the password read before must not stay in the record. */
    ExpectFault(QuenScReadCredential(&env_, params.get(), 1, pool_, &c), XMLRPC_INDEX_ERROR);
    EXPECT_EQ(c.type, 0);
    EXPECT_EQ(c.value2, nullptr);
    ExpectFault(QuenScReadCredential(&env_, params.get(), 2, pool_, &c), XMLRPC_INDEX_ERROR);
    ExpectFault(QuenScReadCredential(&env_, params.get(), 3, pool_, &c), XMLRPC_TYPE_ERROR);
    ExpectFault(QuenScReadCredential(&env_, params.get(), 4, pool_, &c), XMLRPC_INDEX_ERROR);
}

/* ---- Instance query ------------------------------------------------- */

TEST_F(Marshal, InstanceQueryWithoutMembersIsAllZero)
{
    Value params = Build("({})");
    QuenScInstanceQuery q;
    memset(&q, 0xAB, sizeof q);
    ASSERT_EQ(QuenScReadInstanceQuery(&env_, params.get(), 0, pool_, &q), QUENSC_OK);
    EXPECT_FALSE(env_.fault_occurred);
    EXPECT_EQ(q.uuid.type, 0);
    EXPECT_EQ(q.uuid.values, nullptr);
    EXPECT_EQ(q.packageName.val0, nullptr);
    EXPECT_EQ(q.activationDate.val1, 0);
    EXPECT_EQ(q.custom[8].type, 0);
    EXPECT_EQ(q.limit, 0);
    EXPECT_EQ(q.sortDescending3, 0);
}

TEST_F(Marshal, InstanceQueryReadsEveryClauseKind)
{
    QuenScInstanceQuery q{};
    Value params = Build("({s:{s:i,s:(sss)},s:{s:i,s:s,s:s},s:{s:i,s:i,s:i},s:{s:i,s:6,s:s},s:{s:i,s:i},s:{s:i,s:s},"
                   "s:{s:i,s:s},s:i,s:i,s:i,s:i,s:i,s:i,s:i,s:i})",
                   "uuidClause", "type", 9, "val0", "u1", "u2", "u3", "packageNameClause", "type", 7, "val0", "a",
                   "val1", "m", "creatorTypeClause", "type", 8, "val0", 1, "val1", 2, "activationDateClause", "type",
                   7, "val0", reinterpret_cast<const unsigned char *>(Le8(INT64_MIN).data()), static_cast<size_t>(8),
                   "val1", "1700000000", "previewClause", "type", 1, "val0", 1, "custom9Clause", "type", 6, "val0",
                   "%x%", "guestIPClause", "type", 1, "val0", "10.0.0.9", "limit", 10, "offset", 20, "sortOrder1",
                   19, "sortDescending1", 1, "sortOrder2", 9, "sortDescending2", 0, "sortOrder3", 0,
                   "sortDescending3", 1);
    ASSERT_EQ(QuenScReadInstanceQuery(&env_, params.get(), 0, pool_, &q), QUENSC_OK);
    EXPECT_EQ(q.uuid.type, 9);
    ASSERT_NE(q.uuid.values, nullptr);
    EXPECT_STREQ(q.uuid.values[0], "u1");
    EXPECT_STREQ(q.uuid.values[2], "u3");
    EXPECT_EQ(q.uuid.values[3], nullptr);
    EXPECT_STREQ(q.packageName.val0, "a");
    EXPECT_STREQ(q.packageName.val1, "m");
    EXPECT_EQ(q.creatorType.val1, 2);
    EXPECT_EQ(q.activationDate.val0, INT64_MIN);
    EXPECT_EQ(q.activationDate.val1, 1700000000);
    EXPECT_EQ(q.preview.val0, 1);
    EXPECT_STREQ(q.custom[8].val0, "%x%");
    EXPECT_EQ(q.custom[8].val1, nullptr); /* missing val1 keeps what was read before */
    EXPECT_STREQ(q.guestIp.val0, "10.0.0.9");
    EXPECT_EQ(q.hostName.type, 0);
    EXPECT_EQ(q.limit, 10);
    EXPECT_EQ(q.offset, 20);
    EXPECT_EQ(q.sortOrder1, 19);
    EXPECT_EQ(q.sortDescending3, 1);
}

TEST_F(Marshal, InstanceQueryRefusesMembersOfTheWrongType)
{
    std::vector<Value> bad;
    bad.push_back(Build("({s:s})", "limit", "10"));
    bad.push_back(Build("({s:s})", "hostNameClause", "pc1"));
    bad.push_back(Build("({s:{s:i,s:()}})", "hostNameClause", "type", 9, "val0"));
    bad.push_back(Build("({s:{s:i,s:i}})", "validDateEndClause", "type", 1, "val0", 5));
    bad.push_back(Build("({s:{s:i,s:(si)}})", "uuidClause", "type", 9, "val0", "u1", 2));
    bad.push_back(Build("({s:{s:i,s:s}})", "uuidClause", "type", 9, "val0", "u1"));
    bad.push_back(Build("({s:{s:s}})", "previewClause", "type", "1"));
    bad.push_back(Build("({s:{s:i,s:6}})", "tsCreatedClause", "type", 1, "val0",
                        reinterpret_cast<const unsigned char *>("\1\2\3\4"), static_cast<size_t>(4)));
    bad.push_back(Build("(s)", "not a struct"));
    for (const Value &params : bad) {
        QuenScInstanceQuery q{};
        ExpectFault(QuenScReadInstanceQuery(&env_, params.get(), 0, pool_, &q), XMLRPC_TYPE_ERROR);
        EXPECT_EQ(q.limit, 0);
    }
    Value emptyList = Build("({s:{s:i,s:()}})", "uuidClause", "type", 9, "val0");
    QuenScInstanceQuery q{};
    ASSERT_EQ(QuenScReadInstanceQuery(&env_, emptyList.get(), 0, pool_, &q), QUENSC_OK);
    ASSERT_NE(q.uuid.values, nullptr);
    EXPECT_EQ(q.uuid.values[0], nullptr);
}

/* ---- A pending fault ------------------------------------------------ */

/* The frame hands a method a zeroed argument record and reads one argument
 * per line: once one read fails, every later reader must leave its part of
 * the record as it is (zeroed) and keep the first fault. The output starts
 * as a byte pattern rather than zeros so that clearing it shows too. The
 * arguments are all readable, so a reader that ran anyway would fill it. */
TEST_F(Marshal, PendingFaultLeavesEveryReadersOutputUntouchedAndTheFaultUnchanged)
{
    /* One struct with the members of every struct reader, plus scalars. */
    Value st = Build("{s:s,s:s,s:s,s:i,s:s,s:s,s:s,s:i,s:i,s:s,s:i,s:i,s:i,s:s,s:s,s:s,s:s,s:s,s:s,s:s,s:s,s:s,s:s,"
                     "s:s,s:i,s:i,s:i,s:i,s:i,s:i,s:s,s:s,s:s,s:i,s:{s:s},s:i}",
                     "uuid", "u", "name", "n", "quen_uuid", "q", "useValidDates", 1, "validDateStart", "5",
                     "validDateEnd", "6", "key", "k", "disabled", 1, "preview", 1, "data", "d", "type", 2,
                     "useInstanceLimit", 1, "instanceLimit", 3, "description", "x", "rangeStart", "00:00:00:00:00:01",
                     "rangeEnd", "00:00:00:00:00:02", "lastAssigned", "", "activator", "a", "value", "v",
                     "hostname", "h", "ip", "1.2.3.4", "macAddress", "m", "configMsg", "c", "machineName", "mn",
                     "status", 1, "instType", 1, "authType", 1, "usePerUserInstanceLimit", 1,
                     "perUserInstanceLimit", 2, "expType", 1, "expValue_1", "7", "expValue_2", "8",
                     "sessionLifetime", "9", "copyPolicy", 1, "pwd", "pwd", "secret", "limit", 5);
    ASSERT_TRUE(st);
    Value params = Build("(Vsis)", st.get(), "text", 7, "9");
    xmlrpc_value *p = params.get();
    xmlrpc_value *s = st.get();

    /* Runs read on a T filled with the pattern; true when it still is. */
    constexpr unsigned char kPattern = 0xA5;
    auto untouched = [](auto read, auto *out) {
        std::memset(static_cast<void *>(out), kPattern, sizeof *out);
        read(out);
        const unsigned char *bytes = reinterpret_cast<const unsigned char *>(out);
        for (size_t i = 0; i < sizeof *out; i++)
            if (bytes[i] != kPattern)
                return false;
        return true;
    };
    xmlrpc_env *env = &env_;
    apr_pool_t *pool = pool_;
    const char *text;
    int number;
    int64_t wide;
    QuenScQuenRecord quen;
    QuenScPolicyRecord policy;
    QuenScPackageRecord package;
    QuenScAccessRecord access;
    QuenScMacPoolRecord macPool;
    QuenScUserDataRecord userData;
    QuenScHostInfo host;
    QuenScGuestInfo guest;
    QuenScCredential cred;
    QuenScInstanceQuery query;
    int rc = QUENSC_OK;
    const struct {
        const char *reader;
        std::function<bool()> run; /* true when the output stayed untouched */
    } cases[] = {
        {"String", [&] { return untouched([&](auto *o) { rc = QuenScReadString(env, p, 1, pool, o); }, &text); }},
        {"Int", [&] { return untouched([&](auto *o) { rc = QuenScReadInt(env, p, 2, o); }, &number); }},
        {"Int64", [&] { return untouched([&](auto *o) { rc = QuenScReadInt64(env, p, 3, o); }, &wide); }},
        {"StringMember", [&] { return untouched([&](auto *o) { rc = QuenScReadStringMember(env, s, "name", pool, o); }, &text); }},
        {"IntMember", [&] { return untouched([&](auto *o) { rc = QuenScReadIntMember(env, s, "status", o); }, &number); }},
        {"Int64Member",
         [&] { return untouched([&](auto *o) { rc = QuenScReadInt64Member(env, s, "validDateStart", o); }, &wide); }},
        {"Quen", [&] { return untouched([&](auto *o) { rc = QuenScReadQuen(env, p, 0, pool, o); }, &quen); }},
        {"Policy", [&] { return untouched([&](auto *o) { rc = QuenScReadPolicy(env, p, 0, o); }, &policy); }},
        {"Package", [&] { return untouched([&](auto *o) { rc = QuenScReadPackage(env, p, 0, pool, o); }, &package); }},
        {"Access", [&] { return untouched([&](auto *o) { rc = QuenScReadAccess(env, p, 0, pool, o); }, &access); }},
        {"MacPool", [&] { return untouched([&](auto *o) { rc = QuenScReadMacPool(env, p, 0, pool, o); }, &macPool); }},
        {"UserData", [&] { return untouched([&](auto *o) { rc = QuenScReadUserData(env, p, 0, pool, o); }, &userData); }},
        {"HostInfo", [&] { return untouched([&](auto *o) { rc = QuenScReadHostInfo(env, p, 0, pool, o); }, &host); }},
        {"GuestInfo", [&] { return untouched([&](auto *o) { rc = QuenScReadGuestInfo(env, p, 0, pool, o); }, &guest); }},
        {"Credential", [&] { return untouched([&](auto *o) { rc = QuenScReadCredential(env, p, 0, pool, o); }, &cred); }},
        {"InstanceQuery",
         [&] { return untouched([&](auto *o) { rc = QuenScReadInstanceQuery(env, p, 0, pool, o); }, &query); }},
    };
    for (const auto &c : cases) {
        /* Without a fault the reader fills its output. */
        ResetEnv();
        EXPECT_FALSE(c.run()) << c.reader << " reads nothing from a readable argument";
        EXPECT_FALSE(env_.fault_occurred) << c.reader << ": " << (env_.fault_string ? env_.fault_string : "");

        ResetEnv();
        xmlrpc_env_set_fault(&env_, XMLRPC_INDEX_ERROR, "first");
        EXPECT_TRUE(c.run()) << c.reader << " wrote its output despite the pending fault";
        EXPECT_EQ(rc, QUENSC_INTERNAL) << c.reader;
        EXPECT_EQ(env_.fault_code, XMLRPC_INDEX_ERROR) << c.reader;
        EXPECT_STREQ(env_.fault_string, "first") << c.reader;
    }
}

/* ---- Writers -------------------------------------------------------- */

TEST_F(Marshal, ObjectWritersUseWireNamesTypesAndOrder)
{
    Value result(QuenScNewResultArray());
    ASSERT_TRUE(result);
    QuenScAppendInt(result.get(), 0);
    QuenScAppendString(result.get(), nullptr);
    QuenScQuenRecord quen{"Q1", nullptr};
    QuenScAppendQuen(result.get(), &quen);
    QuenScPolicyRecord policy{};
    QuenScAppendPolicy(result.get(), &policy);
    QuenScPackageRecord package{"P1", "Q1", "pkg", 1, 10, 20, "SECRET-KEY", 0, 1};
    QuenScAppendPackage(result.get(), &package);
    QuenScAccessRecord access{};
    QuenScAppendAccess(result.get(), &access);
    QuenScMacPoolRecord mac{};
    QuenScAppendMacPool(result.get(), &mac);
    QuenScUserDataRecord userData{};
    QuenScAppendUserData(result.get(), &userData);
    QuenScInstanceRecord instance{}; /* every text null: an instance without host information */
    QuenScAppendInstance(result.get(), &instance);
    QuenScServerInfo info{1, 1, 1, "dc=example,dc=com", 10};
    QuenScAppendServerInfo(result.get(), &info);
    EXPECT_EQ(host_.All(), "");

    Value back = ThroughXml(result.get());
    ASSERT_TRUE(back);
    std::vector<std::string> shapes;
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    ASSERT_EQ(xmlrpc_array_size(&env, back.get()), 10);
    for (int i = 0; i < 10; i++) {
        xmlrpc_value *item = nullptr;
        xmlrpc_array_read_item(&env, back.get(), i, &item);
        shapes.push_back(TypeLetter(item) == "S" ? Shape(item) : TypeLetter(item));
        xmlrpc_DECREF(item);
    }
    xmlrpc_env_clean(&env);
    EXPECT_EQ(shapes[0], "i");
    EXPECT_EQ(shapes[1], "s");
    EXPECT_EQ(shapes[2], "uuid:s,name:s");
    EXPECT_EQ(shapes[3], "instType:i,authType:i,useInstanceLimit:i,instanceLimit:i,usePerUserInstanceLimit:i,"
                         "perUserInstanceLimit:i,expType:i,expValue_1:8,expValue_2:8,sessionLifetime:8,copyPolicy:i");
    EXPECT_EQ(shapes[4], "uuid:s,quen_uuid:s,name:s,useValidDates:i,validDateStart:8,validDateEnd:8,key:s,"
                         "disabled:i,preview:i");
    EXPECT_EQ(shapes[5], "data:s,name:s,type:i,useInstanceLimit:i,instanceLimit:i");
    EXPECT_EQ(shapes[6], "uuid:s,quen_uuid:s,name:s,description:s,rangeStart:s,rangeEnd:s,lastAssigned:s");
    EXPECT_EQ(shapes[7], "activator:s,name:s,value:s,type:i");
    EXPECT_EQ(shapes[8], "uuid:s,package_uuid:s,package_name:s,quen_uuid:s,quen_name:s,creatorName:s,"
                         "creatorData:s,creatorType:i,activationDate:8,lastPolicyCheck:8,revocationDate:8,"
                         "replacementDate:8,inheritsExpiration:i,useValidDates:i,validDateStart:8,validDateEnd:8,"
                         "ttl:8,copyProtectionId:s,state:i,hostInfo.hostname:s,hostInfo.ip:s,guestInfo.ip:s,"
                         "guestInfo.macAddress:s,guestInfo.configMsg:s,guestInfo.machineName:s,guestInfo.status:i,"
                         "preview:i,custom1:s,custom2:s,custom3:s,custom4:s,custom5:s,custom6:s,custom7:s,"
                         "custom8:s,custom9:s");
    EXPECT_EQ(shapes[9], "ldap:S,protocol:i");

    /* The nested directory struct, and texts written in place of nulls. */
    const char *s = "x";
    xmlrpc_value *st = nullptr, *ldap = nullptr;
    xmlrpc_array_read_item(&env_, back.get(), 9, &st);
    xmlrpc_struct_read_value(&env_, st, "ldap", &ldap);
    EXPECT_EQ(Shape(ldap), "enabled:i,pwdChangeCapable:i,secure:i,base_dn:s");
    EXPECT_EQ(QuenScReadStringMember(&env_, ldap, "base_dn", pool_, &s), QUENSC_OK);
    EXPECT_STREQ(s, "dc=example,dc=com");
    xmlrpc_DECREF(ldap);
    xmlrpc_DECREF(st);
    xmlrpc_array_read_item(&env_, back.get(), 8, &st);
    EXPECT_EQ(QuenScReadStringMember(&env_, st, "hostInfo.hostname", pool_, &s), QUENSC_OK);
    EXPECT_STREQ(s, "");
    xmlrpc_DECREF(st);
    /* The package's protection key is never sent back. */
    QuenScPackageRecord p{};
    EXPECT_EQ(QuenScReadPackage(&env_, back.get(), 4, pool_, &p), QUENSC_OK);
    EXPECT_STREQ(p.key, "");
    EXPECT_EQ(p.validDateEnd, 20);
}

TEST_F(Marshal, Int64MembersAreEightLittleEndianBytes)
{
    Value st = Build("{}");
    for (int64_t v : {INT64_MIN, INT64_MAX, int64_t{-1}, int64_t{0x0102030405060708}}) {
        QuenScSetInt64Member(st.get(), "d", v);
        xmlrpc_value *m = nullptr;
        xmlrpc_struct_read_value(&env_, st.get(), "d", &m);
        size_t n = 0;
        const unsigned char *bytes = nullptr;
        xmlrpc_read_base64(&env_, m, &n, &bytes);
        ASSERT_FALSE(env_.fault_occurred);
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(bytes), n), Le8(v));
        free(const_cast<unsigned char *>(bytes));
        xmlrpc_DECREF(m);
    }
}

TEST_F(Marshal, FailedWritesAreLoggedAndLeaveTheElementOut)
{
    Value result(QuenScNewResultArray());
    QuenScAppendString(result.get(), "\xff\xfe not UTF-8");
    EXPECT_TRUE(Logged("QUENSC: Error putting string into result rpc msg: "));
    QuenScUserDataRecord ud{"", "n", "\xff", 1};
    QuenScAppendUserData(result.get(), &ud);
    EXPECT_TRUE(Logged("QUENSC: Error putting string into struct rpc msg: "));
    QuenScAppendInt(nullptr, 1);
    QuenScAppendQuen(result.get(), nullptr);
    EXPECT_TRUE(Logged("QUENSC: Error an quen string result rpc msg: "));
    /* Appending to something that is not an array: the library's fault. */
    host_.Clear();
    Value notArray = Build("s", "x");
    QuenScAppendInt(notArray.get(), 1);
    EXPECT_TRUE(Logged("QUENSC: Error putting int into rpc array msg: "));

    EXPECT_EQ(xmlrpc_array_size(&env_, result.get()), 1);
    xmlrpc_value *st = nullptr;
    xmlrpc_array_read_item(&env_, result.get(), 0, &st);
    EXPECT_EQ(Shape(st), "activator:s,name:s,type:i");
    xmlrpc_DECREF(st);
}

/* ---- Round trips: what a writer produces, the matching reader reads ---- */

TEST_F(Marshal, WrittenStructsReadBackThroughXml)
{
    Value result(QuenScNewResultArray());
    QuenScQuenRecord quen{"Q-1", "Quen \"one\" & <two>"};
    QuenScPolicyRecord policy{2, 3, 1, -5, 1, 7, 1, 30, INT64_MAX, -1, 1};
    QuenScPackageRecord package{"P-1", "Q-1", "pkg", 1, INT64_MIN, INT64_MAX, nullptr, 1, 0};
    QuenScAccessRecord access{"cn=x,dc=y", "X", 1, 1, -3};
    QuenScMacPoolRecord mac{"M-1", "Q-1", "pool", "desc", "02:00:00:00:00:00", "02:00:00:00:00:02",
                            "01:FF:FF:FF:FF:FF"};
    QuenScUserDataRecord userData{"bob", "color", "line1\nline2", 4};
    QuenScAppendQuen(result.get(), &quen);
    QuenScAppendPolicy(result.get(), &policy);
    QuenScAppendPackage(result.get(), &package);
    QuenScAppendAccess(result.get(), &access);
    QuenScAppendMacPool(result.get(), &mac);
    QuenScAppendUserData(result.get(), &userData);
    Value params = ThroughXml(result.get());
    ASSERT_TRUE(params);

    QuenScQuenRecord q;
    ASSERT_EQ(QuenScReadQuen(&env_, params.get(), 0, pool_, &q), QUENSC_OK);
    EXPECT_STREQ(q.name, quen.name);
    QuenScPolicyRecord p;
    ASSERT_EQ(QuenScReadPolicy(&env_, params.get(), 1, &p), QUENSC_OK);
    EXPECT_EQ(p.instType, 2);
    EXPECT_EQ(p.authType, 3);
    EXPECT_EQ(p.instanceLimit, -5);
    EXPECT_EQ(p.perUserInstanceLimit, 7);
    EXPECT_EQ(p.expValue1, 30);
    EXPECT_EQ(p.expValue2, INT64_MAX);
    EXPECT_EQ(p.sessionLifetime, -1);
    EXPECT_EQ(p.copyPolicy, 1);
    QuenScPackageRecord k;
    ASSERT_EQ(QuenScReadPackage(&env_, params.get(), 2, pool_, &k), QUENSC_OK);
    EXPECT_STREQ(k.quenUuid, "Q-1");
    EXPECT_EQ(k.validDateStart, INT64_MIN);
    EXPECT_EQ(k.validDateEnd, INT64_MAX);
    EXPECT_EQ(k.disabled, 1);
    QuenScAccessRecord a;
    ASSERT_EQ(QuenScReadAccess(&env_, params.get(), 3, pool_, &a), QUENSC_OK);
    EXPECT_STREQ(a.data, "cn=x,dc=y");
    EXPECT_EQ(a.instanceLimit, -3);
    QuenScMacPoolRecord m;
    ASSERT_EQ(QuenScReadMacPool(&env_, params.get(), 4, pool_, &m), QUENSC_OK);
    EXPECT_STREQ(m.rangeEnd, "02:00:00:00:00:02");
    EXPECT_STREQ(m.lastAssigned, "01:FF:FF:FF:FF:FF");
    QuenScUserDataRecord u;
    ASSERT_EQ(QuenScReadUserData(&env_, params.get(), 5, pool_, &u), QUENSC_OK);
    EXPECT_STREQ(u.value, "line1\nline2");
    EXPECT_EQ(u.type, 4);
}

} // namespace
