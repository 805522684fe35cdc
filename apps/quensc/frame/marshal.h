/* XML-RPC value marshalling: the one place where the module turns XML-RPC
 * values into its records and back.
 *
 * Wire types: int (32-bit signed), string, base64, array and struct. A 64-bit
 * integer (a date in seconds since 1970-01-01 UTC, or a time span) is always
 * written as a base64 value of exactly 8 bytes, the two's-complement value in
 * little-endian order; it is read either in that form or as a string holding
 * a decimal integer.
 *
 * Readers take the fault environment, the container (the parameter array or a
 * struct) and the position or member name, and return QUENSC_OK or
 * QUENSC_INTERNAL. A failed read always leaves a fault in the environment,
 * which is what makes the handler log its "Error reading rpc msg" line; a
 * reader called with a fault already pending does nothing and returns
 * QUENSC_INTERNAL.
 * String readers set their output to null first, struct readers clear their
 * whole record first (and again when they fail), and integer readers leave
 * their output unchanged when they fail. Texts are copied into the given pool
 * (the request pool); the XML-RPC library's own copies are freed at once.
 *
 * Writers never report failure: each uses a fault environment of its own,
 * logs what went wrong and drops its reference to the element it created, so
 * a failed element is simply missing from the result. A null text is written
 * as the empty string. */
#ifndef QUENSC_MARSHAL_H
#define QUENSC_MARSHAL_H

#include <apr_pools.h>
#include <xmlrpc-c/base.h>

#include <cstdint>

/* ---- Records -------------------------------------------------------- */

/* Credential types. */
enum {
    QUENSC_CRED_NULL = 0,     /* no credential */
    QUENSC_CRED_LDAP = 1,     /* directory user */
    QUENSC_CRED_PASSWORD = 2, /* instance password */
    QUENSC_CRED_TOKEN = 3,    /* access token */
};

/* A caller's credential. A type outside QUENSC_CRED_NULL ..
 * QUENSC_CRED_TOKEN is kept as read (with no values) so that the operation
 * using it can refuse it. */
struct QuenScCredential {
    int type;
    const char *value1; /* LDAP: user name; PASSWORD: the password; TOKEN: the token */
    const char *value2; /* LDAP: the password */
    const char *value3; /* LDAP: the domain */
};

/* A Quen ("uuid", "name"); also the generic object id struct. */
struct QuenScQuenRecord {
    const char *uuid;
    const char *name;
};

/* The members of a policy set that the server itself acts on; the two
 * opaque policy texts travel as separate string arguments and results. */
struct QuenScPolicyRecord {
    int instType;                /* QUENSC_INST_ANYBODY, _DIRECTORY (users/groups), _TOKEN */
    int authType;                /* QUENSC_AUTH_NONE, _DIRECTORY (creator), _PASSWORD, _UNCHECKED */
    int useInstanceLimit;        /* boolean */
    int instanceLimit;
    int usePerUserInstanceLimit; /* boolean */
    int perUserInstanceLimit;
    int expType;                 /* QUENSC_EXP_NEVER, _DAYS (after activation), _WINDOW (fixed) */
    int64_t expValue1;           /* wire "expValue_1" */
    int64_t expValue2;           /* wire "expValue_2" */
    int64_t sessionLifetime;     /* seconds; -1 unlimited */
    int copyPolicy;              /* QUENSC_COPY_NOT_ALLOWED, _REPLACE, _ALLOWED */
};

struct QuenScPackageRecord {
    const char *uuid;
    const char *quenUuid; /* wire "quen_uuid" */
    const char *name;
    int useValidDates;    /* boolean */
    int64_t validDateStart;
    int64_t validDateEnd;
    const char *key;      /* protection key: read, never written back out */
    int disabled;         /* boolean */
    int preview;          /* boolean */
};

struct QuenScAccessRecord {
    const char *data; /* DN of the user or group, or the token value */
    const char *name;
    int type;         /* QUENSC_IDENTITY_USER, _GROUP or _TOKEN */
    int useInstanceLimit;
    int instanceLimit;
};

/* MAC addresses travel as "%02X:%02X:%02X:%02X:%02X:%02X" texts. */
struct QuenScMacPoolRecord {
    const char *uuid;
    const char *quenUuid; /* wire "quen_uuid" */
    const char *name;
    const char *description;
    const char *rangeStart;
    const char *rangeEnd;
    const char *lastAssigned;
};

struct QuenScUserDataRecord {
    const char *activator;
    const char *name;
    const char *value;
    int type;
};

/* Host information ("hostname", "ip"). */
struct QuenScHostInfo {
    const char *hostname;
    const char *ip;
};

/* Guest information ("ip", "macAddress", "configMsg", "machineName",
 * "status"); status 1 success, 2 failure, anything else unknown. */
struct QuenScGuestInfo {
    const char *ip;
    const char *macAddress;
    const char *configMsg;
    const char *machineName;
    int status;
};

/* An instance as it is shown to callers, derived members included. Written
 * as one flat struct: the host and guest fields become the members
 * "hostInfo.hostname", "guestInfo.ip" and so on. */
struct QuenScInstanceRecord {
    const char *uuid;
    const char *packageUuid; /* wire "package_uuid" */
    const char *packageName; /* wire "package_name" */
    const char *quenUuid;    /* wire "quen_uuid" */
    const char *quenName;    /* wire "quen_name" */
    const char *creatorName;
    const char *creatorData;
    int creatorType;
    int64_t activationDate;
    int64_t lastPolicyCheck;
    int64_t revocationDate;
    int64_t replacementDate;
    int inheritsExpiration;  /* boolean */
    int useValidDates;       /* boolean */
    int64_t validDateStart;
    int64_t validDateEnd;
    int64_t ttl;
    const char *copyProtectionId;
    int state;               /* bit flags */
    QuenScHostInfo hostInfo;
    QuenScGuestInfo guestInfo;
    int preview;             /* boolean */
    const char *custom[9];   /* "custom1" .. "custom9" */
};

/* What SessionOpen tells a client about the server. */
struct QuenScServerInfo {
    int pwdChangeCapable;
    int enabled;
    int secure;
    const char *baseDn; /* wire "base_dn" */
    int protocol;
};

/* Instance query clauses. "type" is the operation code of the condition;
 * a clause that was not sent is all zero. */
struct QuenScTextListClause {
    int type;
    const char **values; /* null-terminated; null when "val0" was not sent */
};

struct QuenScTextClause {
    int type;
    const char *val0;
    const char *val1;
};

struct QuenScIntClause {
    int type;
    int val0;
    int val1;
};

struct QuenScDateClause {
    int type;
    int64_t val0;
    int64_t val1;
};

struct QuenScBoolClause {
    int type;
    int val0;
};

/* A structured instance query: one clause per searchable attribute (the
 * wire member is the field name followed by "Clause", except where noted),
 * paging and three sort keys. */
struct QuenScInstanceQuery {
    QuenScTextListClause uuid;
    QuenScTextClause packageUuid;
    QuenScTextClause quenUuid;
    QuenScTextClause packageName;
    QuenScTextClause quenName;
    QuenScTextClause creatorName;
    QuenScTextClause creatorData;
    QuenScIntClause creatorType;
    QuenScDateClause activationDate;
    QuenScDateClause lastPolicyCheck;
    QuenScDateClause revocationDate;
    QuenScDateClause replacementDate;
    QuenScBoolClause inheritsExpiration;
    QuenScBoolClause useValidDates;
    QuenScDateClause validDateStart;
    QuenScDateClause validDateEnd;
    QuenScTextClause copyProtectionId;
    QuenScBoolClause preview;
    QuenScTextClause hostName;
    QuenScTextClause hostIp;
    QuenScTextClause guestMacAddress;
    QuenScTextClause guestMachineName;
    QuenScIntClause guestConfigStatus;
    QuenScTextClause guestConfigMsg;
    QuenScTextClause guestIp;        /* wire "guestIPClause" */
    QuenScDateClause tsCreated;
    QuenScDateClause tsLastModified;
    QuenScTextClause custom[9];      /* "custom1Clause" .. "custom9Clause" */
    int limit;
    int offset;
    int sortOrder1;
    int sortDescending1;
    int sortOrder2;
    int sortDescending2;
    int sortOrder3;
    int sortDescending3;
};

/* ---- Scalar readers ------------------------------------------------- */

int QuenScReadString(xmlrpc_env *env, xmlrpc_value *params, int index, apr_pool_t *pool,
                     const char **out);
int QuenScReadInt(xmlrpc_env *env, xmlrpc_value *params, int index, int *out);
/* Accepts the 8-byte base64 form or a decimal string: optional blanks, an
 * optional sign and digits, optional blanks; an empty (or all-blank) text
 * reads as 0. Anything else, a value outside the 64-bit range, another
 * base64 length or another wire type is refused. */
int QuenScReadInt64(xmlrpc_env *env, xmlrpc_value *params, int index, int64_t *out);

int QuenScReadStringMember(xmlrpc_env *env, xmlrpc_value *st, const char *name, apr_pool_t *pool,
                           const char **out);
int QuenScReadIntMember(xmlrpc_env *env, xmlrpc_value *st, const char *name, int *out);
int QuenScReadInt64Member(xmlrpc_env *env, xmlrpc_value *st, const char *name, int64_t *out);

/* ---- Struct readers (the struct at a position of the parameter array) --
 * Every member is required; reading stops at the first failure. */

/* "uuid", "name". */
int QuenScReadQuen(xmlrpc_env *env, xmlrpc_value *params, int index, apr_pool_t *pool,
                   QuenScQuenRecord *out);
/* "instType", "authType", "useInstanceLimit", "instanceLimit",
 * "usePerUserInstanceLimit", "perUserInstanceLimit", "expType" (int),
 * "expValue_1", "expValue_2", "sessionLifetime" (64-bit), "copyPolicy". */
int QuenScReadPolicy(xmlrpc_env *env, xmlrpc_value *params, int index, QuenScPolicyRecord *out);
/* "uuid", "quen_uuid", "name", "useValidDates", "validDateStart",
 * "validDateEnd", "key", "disabled", "preview". */
int QuenScReadPackage(xmlrpc_env *env, xmlrpc_value *params, int index, apr_pool_t *pool,
                      QuenScPackageRecord *out);
/* "data", "name", "type", "useInstanceLimit", "instanceLimit". */
int QuenScReadAccess(xmlrpc_env *env, xmlrpc_value *params, int index, apr_pool_t *pool,
                     QuenScAccessRecord *out);
/* "uuid", "quen_uuid", "name", "description", "rangeStart", "rangeEnd",
 * "lastAssigned", all strings. */
int QuenScReadMacPool(xmlrpc_env *env, xmlrpc_value *params, int index, apr_pool_t *pool,
                      QuenScMacPoolRecord *out);
/* "activator", "name", "value", "type". */
int QuenScReadUserData(xmlrpc_env *env, xmlrpc_value *params, int index, apr_pool_t *pool,
                       QuenScUserDataRecord *out);
/* "hostname", "ip". */
int QuenScReadHostInfo(xmlrpc_env *env, xmlrpc_value *params, int index, apr_pool_t *pool,
                       QuenScHostInfo *out);
/* "ip", "macAddress", "configMsg", "machineName", "status". */
int QuenScReadGuestInfo(xmlrpc_env *env, xmlrpc_value *params, int index, apr_pool_t *pool,
                        QuenScGuestInfo *out);

/* {"type": int, ...}: QUENSC_CRED_NULL (0) carries nothing;
 * QUENSC_CRED_LDAP (1) a struct "ldap" with "name", "pwd", "domain";
 * QUENSC_CRED_PASSWORD (2) a struct "pwd" with the string "pwd";
 * QUENSC_CRED_TOKEN (3) a struct "token" with the string "token". Any other
 * type logs "Invalid cred type read from server: %d" and reads successfully
 * (QUENSC_OK) with no values. */
int QuenScReadCredential(xmlrpc_env *env, xmlrpc_value *params, int index, apr_pool_t *pool,
                         QuenScCredential *out);

/* Every member is optional, and so is every member of a clause struct: a
 * member that is not there leaves its slot zero. A member that is there
 * but of the wrong wire type fails the whole read. */
int QuenScReadInstanceQuery(xmlrpc_env *env, xmlrpc_value *params, int index, apr_pool_t *pool,
                            QuenScInstanceQuery *out);

/* ---- Writers -------------------------------------------------------- */

/* A new empty array (the caller owns its reference and drops it with
 * xmlrpc_DECREF), or null after logging "Error creating rpc array: %s". */
xmlrpc_value *QuenScNewResultArray(void);

void QuenScAppendString(xmlrpc_value *array, const char *text);
void QuenScAppendInt(xmlrpc_value *array, int value);

void QuenScSetStringMember(xmlrpc_value *st, const char *name, const char *text);
void QuenScSetIntMember(xmlrpc_value *st, const char *name, int value);
/* As an 8-byte little-endian base64 value. */
void QuenScSetInt64Member(xmlrpc_value *st, const char *name, int64_t value);

/* Object struct writers: each builds one struct, members in wire order, and
 * appends it to the array. */
void QuenScAppendQuen(xmlrpc_value *array, const QuenScQuenRecord *quen);
void QuenScAppendPolicy(xmlrpc_value *array, const QuenScPolicyRecord *policy);
/* The protection key is never sent back: "key" is always written empty,
 * whatever the record holds. */
void QuenScAppendPackage(xmlrpc_value *array, const QuenScPackageRecord *package);
void QuenScAppendAccess(xmlrpc_value *array, const QuenScAccessRecord *access);
void QuenScAppendMacPool(xmlrpc_value *array, const QuenScMacPoolRecord *macPool);
void QuenScAppendUserData(xmlrpc_value *array, const QuenScUserDataRecord *userData);
void QuenScAppendInstance(xmlrpc_value *array, const QuenScInstanceRecord *instance);
/* {"ldap": {"enabled", "pwdChangeCapable", "secure", "base_dn"}, "protocol"}. */
void QuenScAppendServerInfo(xmlrpc_value *array, const QuenScServerInfo *info);

/* ---- Audit text ----------------------------------------------------- */

/* The credential as the audit log shows it, in pool (or static), never
 * null: "" for a null credential, "type = NULL",
 * "type = LDAP, name = \"..\", domain = \"..\"",
 * "type = PASSWORD, value = \"********\"", "type = TOKEN, value = \"..\"" or
 * "type = UNKNOWN". A password is never shown. */
const char *QuenScCredentialDescription(apr_pool_t *pool, const QuenScCredential *cred);

#endif
