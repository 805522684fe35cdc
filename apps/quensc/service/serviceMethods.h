/* The read and work functions of the methods on managed objects (Quens,
 * packages, policy sets, access entries, instances, user data and MAC
 * pools), for the method table in exports.cpp. Read functions fill the
 * zeroed argument record the frame hands them (call->args, request pool)
 * with the arguments after the session id, one reader per argument, and name
 * the objects the call is about in the audit event as soon as the arguments
 * naming them are read, so that a refused call still records what it aimed
 * at; they return QuenScReadStatus: QUENSC_OK, or QUENSC_INTERNAL with a
 * fault in call->env when an argument cannot be read. Work functions
 * return the result code (QUENSC_OK ...) and append the values that follow
 * it. Each method's argument record (QuenScMethodDef::argsSize) is below,
 * with the argument position of every member; methods that share a read
 * function share its record. */
#ifndef QUENSC_METHODS_H
#define QUENSC_METHODS_H

#include "frame/frame.h"

/* Argument 1 as a text: a Quen UID (recorded as the event's Quen) or a
 * package UID (recorded as the event's package). QUENSC_OK, or
 * QUENSC_INTERNAL with a fault in call->env. */
struct QuenScQuenUidArgs {
    const char *quenUID;     /* argument 1 */
};
struct QuenScPackageUidArgs {
    const char *packageUID;  /* argument 1 */
};
int QuenScReadQuenUidArg(QuenScCall *call);
int QuenScReadPackageUidArg(QuenScCall *call);

/* The text at argument index into *uid, named in the event as its Quen,
 * package or instance once it is read. Like the marshal readers they do
 * nothing while a fault is pending in call->env, and leave the fault there
 * when the argument cannot be read. */
void QuenScReadQuenUidAt(QuenScCall *call, int index, const char **uid);
void QuenScReadPackageUidAt(QuenScCall *call, int index, const char **uid);
void QuenScReadInstanceUidAt(QuenScCall *call, int index, const char **uid);

/* Longest texts the object tables hold, in characters. */
#define QUENSC_UID_MAX 128
#define QUENSC_NAME_MAX 128
#define QUENSC_KEY_MAX 1024

/* True when the UTF-8 text (null counts as empty) has at most that many
 * characters. This function can't fail. */
bool QuenScTextFits(const char *text, int maxCharacters);

/* Quens (quenMethods.cpp). */
struct QuenScQuenCreateArgs {
    QuenScQuenRecord quen;   /* argument 1 */
};
struct QuenScQuenUpdateArgs {
    QuenScQuenRecord quen;   /* argument 1 */
};
int QuenScQuenCreateRead(QuenScCall *call);   /* Quen struct */
int QuenScQuenCreateWork(QuenScCall *call);
int QuenScQuenDestroyWork(QuenScCall *call);  /* QuenScReadQuenUidArg */
int QuenScQuenDestroyPreviewWork(QuenScCall *call);
int QuenScQuenInfoWork(QuenScCall *call);
int QuenScQuenUpdateRead(QuenScCall *call);   /* Quen struct */
int QuenScQuenUpdateWork(QuenScCall *call);
int QuenScQuenQueryWork(QuenScCall *call);    /* no arguments */

/* Packages (packageMethods.cpp). */
struct QuenScPackageCreateArgs {
    QuenScPackageRecord package; /* argument 1 */
};
struct QuenScPackageUpdateArgs {
    QuenScPackageRecord package; /* argument 1 */
};
int QuenScPackageCreateRead(QuenScCall *call); /* package struct */
int QuenScPackageCreateWork(QuenScCall *call);
int QuenScPackageUpdateRead(QuenScCall *call); /* package struct */
int QuenScPackageUpdateWork(QuenScCall *call);
int QuenScPackageInfoWork(QuenScCall *call);   /* QuenScReadPackageUidArg */
int QuenScPackageQueryWork(QuenScCall *call);  /* QuenScReadQuenUidArg */

/* Policy sets (policySets.cpp). */
struct QuenScPolicyStoreArgs {
    const char *quenUID;        /* argument 1 */
    const char *clientData;     /* argument 2 */
    const char *hostData;       /* argument 3 */
    QuenScPolicyRecord policy;  /* argument 4 */
};
struct QuenScPolicyAdminRetrieveArgs {
    const char *quenUID;        /* argument 1 */
    int working;                /* argument 2 */
};
struct QuenScPolicyRetrieveArgs {
    const char *packageUID;     /* argument 1 */
    const char *instanceUID;    /* argument 2 */
    int noCheckIn;              /* argument 3 */
};
int QuenScPolicyStoreRead(QuenScCall *call);   /* Quen UID, client text, host text, policy struct */
int QuenScPolicyStoreWork(QuenScCall *call);
int QuenScPolicyPublishWork(QuenScCall *call); /* QuenScReadQuenUidArg */
int QuenScPolicyAdminRetrieveRead(QuenScCall *call); /* Quen UID, int working */
int QuenScPolicyAdminRetrieveWork(QuenScCall *call);
int QuenScPolicyRetrieveRead(QuenScCall *call); /* package UID, instance UID, int no-check-in */
int QuenScPolicyRetrieveWork(QuenScCall *call);
int QuenScPolicyRetrieveHostOnlyWork(QuenScCall *call); /* QuenScReadQuenUidArg */

/* Access entries (accessEntries.cpp). */
struct QuenScAccessAddArgs {
    const char *quenUID;        /* argument 1 */
    QuenScAccessRecord access;  /* argument 2 */
};
struct QuenScAccessRemoveArgs {
    const char *quenUID;        /* argument 1 */
    const char *data;           /* argument 2: the identity data */
};
struct QuenScAccessQueryArgs {
    const char *quenUID;        /* argument 1 */
    int working;                /* argument 2 */
};
int QuenScAccessAddRead(QuenScCall *call);       /* Quen UID, access struct */
int QuenScAccessAddWork(QuenScCall *call);
int QuenScAccessRemoveRead(QuenScCall *call);    /* Quen UID, identity data */
int QuenScAccessRemoveWork(QuenScCall *call);
int QuenScAccessQueryRead(QuenScCall *call);     /* Quen UID, int working */
int QuenScAccessQueryWork(QuenScCall *call);

/* Instance lifecycle (instanceLifecycle.cpp). */
struct QuenScInstanceUidArgs {
    const char *instanceUID;      /* argument 1 */
};
struct QuenScInstanceCreateArgs {
    QuenScCredential cred;        /* argument 1: the instantiation credential */
    const char *packageUID;       /* argument 2 */
    const char *protectionKey;    /* argument 3 */
    const char *copyProtectionId; /* argument 4 */
};
struct QuenScInstanceCopyArgs {
    QuenScCredential cred;        /* argument 1: the instantiation credential */
    QuenScCredential owner;       /* argument 2 */
    const char *sourceUID;        /* argument 3 */
    const char *protectionKey;    /* argument 4 */
    const char *copyProtectionId; /* argument 5 */
    int replace;                  /* argument 6 */
};
struct QuenScInstanceGetKeyArgs {
    QuenScCredential cred;        /* argument 1 */
    const char *instanceUID;      /* argument 2 */
};
struct QuenScInstanceEnableArgs {
    QuenScCredential owner;       /* argument 1 */
    QuenScCredential cred;        /* argument 2: the instantiation credential */
    const char *instanceUID;      /* argument 3 */
};
struct QuenScInstanceSetPasswordArgs {
    const char *instanceUID;      /* argument 1 */
    const char *newPassword;      /* argument 2 */
};
struct QuenScInstanceChangePasswordArgs {
    const char *instanceUID;      /* argument 1 */
    const char *oldPassword;      /* argument 2 */
    const char *newPassword;      /* argument 3 */
};
struct QuenScLdapUserChangePasswordArgs {
    const char *instanceUID;      /* argument 1 */
    QuenScCredential cred;        /* argument 2 */
    const char *newPassword;      /* argument 3 */
};
int QuenScReadInstanceUidArg(QuenScCall *call);  /* instance UID, recorded as the event's instance */
int QuenScInstanceCreateRead(QuenScCall *call);  /* credential, package UID, protection key, copy-protection id */
int QuenScInstanceCreateWork(QuenScCall *call);
int QuenScInstanceCopyRead(QuenScCall *call);    /* credential, owner credential, source UID, protection key,
                                                    copy-protection id, int replace */
int QuenScInstanceCopyWork(QuenScCall *call);
int QuenScInstanceInfoWork(QuenScCall *call);    /* QuenScReadInstanceUidArg */
int QuenScInstanceGetStateWork(QuenScCall *call); /* QuenScReadInstanceUidArg */
int QuenScInstanceVerifyWork(QuenScCall *call);  /* QuenScReadInstanceUidArg */
int QuenScInstanceGetKeyRead(QuenScCall *call);  /* credential, instance UID */
int QuenScInstanceGetKeyWork(QuenScCall *call);
int QuenScInstanceRevokeWork(QuenScCall *call);  /* QuenScReadInstanceUidArg */
int QuenScInstanceDeleteWork(QuenScCall *call);  /* QuenScReadInstanceUidArg */
int QuenScInstanceEnableRead(QuenScCall *call);  /* owner credential, credential, instance UID */
int QuenScInstanceEnableWork(QuenScCall *call);
int QuenScInstanceSetPasswordRead(QuenScCall *call);    /* instance UID, new password */
int QuenScInstanceSetPasswordWork(QuenScCall *call);
int QuenScInstanceChangePasswordRead(QuenScCall *call); /* instance UID, old password, new password */
int QuenScInstanceChangePasswordWork(QuenScCall *call);
int QuenScLdapUserChangePasswordRead(QuenScCall *call); /* instance UID, credential, new password */
int QuenScLdapUserChangePasswordWork(QuenScCall *call);

/* Instance attributes (instanceAttributes.cpp). Custom field numbers are
 * 0-based (0 .. 8 for custom1 .. custom9). */
struct QuenScInstanceSetCustomFieldArgs {
    const char *instanceUID;      /* argument 1 */
    int field;                    /* argument 2 */
    const char *value;            /* argument 3 */
};
struct QuenScInstanceSetAllCustomFieldsArgs {
    const char *instanceUID;      /* argument 1 */
    const char *values[9];        /* arguments 2 .. 10: custom1 .. custom9 */
};
struct QuenScInstanceSetCustomFieldNameArgs {
    int field;                    /* argument 1 */
    const char *name;             /* argument 2 */
};
struct QuenScCustomFieldNumberArgs {
    int field;                    /* argument 1 */
};
struct QuenScInstanceSetGuestInfoArgs {
    const char *instanceUID;      /* argument 1 */
    QuenScGuestInfo guest;        /* argument 2 */
};
struct QuenScInstanceSetHostInfoArgs {
    const char *instanceUID;      /* argument 1 */
    QuenScHostInfo host;          /* argument 2 */
};
struct QuenScInstanceSetExpirationArgs {
    const char *instanceUID;      /* argument 1 */
    int inherit;                  /* argument 2 */
    int enable;                   /* argument 3 */
    int64_t start;                /* argument 4 */
    int64_t end;                  /* argument 5 */
};
struct QuenScInstanceSetCopyProtectionIdArgs {
    const char *instanceUID;      /* argument 1 */
    const char *copyProtectionId; /* argument 2 */
};
int QuenScInstanceSetCustomFieldRead(QuenScCall *call);      /* instance UID, int field, value */
int QuenScInstanceSetCustomFieldWork(QuenScCall *call);
int QuenScInstanceSetAllCustomFieldsRead(QuenScCall *call);  /* instance UID, nine values */
int QuenScInstanceSetAllCustomFieldsWork(QuenScCall *call);
int QuenScInstanceSetCustomFieldNameRead(QuenScCall *call);  /* int field, name */
int QuenScInstanceSetCustomFieldNameWork(QuenScCall *call);
int QuenScCustomFieldNumberRead(QuenScCall *call);           /* int field */
int QuenScInstanceGetCustomFieldNameWork(QuenScCall *call);  /* QuenScCustomFieldNumberRead */
int QuenScInstanceGetAllCustomFieldNamesWork(QuenScCall *call); /* no arguments */
int QuenScInstanceClearCustomFieldRead(QuenScCall *call);    /* int field */
int QuenScInstanceClearCustomFieldWork(QuenScCall *call);
int QuenScInstanceSetGuestInfoRead(QuenScCall *call);        /* instance UID, guest info struct */
int QuenScInstanceSetGuestInfoWork(QuenScCall *call);
int QuenScInstanceSetHostInfoRead(QuenScCall *call);         /* instance UID, host info struct */
int QuenScInstanceSetHostInfoWork(QuenScCall *call);
int QuenScInstanceSetExpirationRead(QuenScCall *call);       /* instance UID, int inherit, int enable, start, end */
int QuenScInstanceSetExpirationWork(QuenScCall *call);
int QuenScInstanceSetCopyProtectionIdRead(QuenScCall *call); /* instance UID, copy-protection id */
int QuenScInstanceSetCopyProtectionIdWork(QuenScCall *call);

/* Instance queries (instanceSearch.cpp). */
#define QUENSC_QUERY_MAX_ROWS 50 /* instances one InstanceQueryExt answers at most */
struct PolDbInstanceQuery;
/* The query record as the instance query builder takes it: every clause's
 * type becomes the condition's operation, val0/val1 its values, "limit" the
 * page size, "offset" the page start and the sort keys keep their order.
 * Texts are shared with in, not copied. This function can't fail. */
void QuenScInstanceQueryToDb(const QuenScInstanceQuery *in, PolDbInstanceQuery *out);
/* Runs the query with "limit" cut to 1 .. 50 (0 and anything larger, a
 * negative limit included, become 50, logged as "Truncated query to 50
 * responses") and converts every row as InstanceInfo shows it. QUENSC_OK
 * with *records (request pool) and *count; QUENSC_INVALID_PARAMETER for a
 * negative offset; QUENSC_INTERNAL after "Failed to execute query on db:
 * %s". *records is null and *count 0 on failure. */
int QuenSc_InstanceQueryExt(i_ctx *ctx, QuenScSession *session, QuenScInstanceQuery *query,
                            QuenScInstanceRecord **records, int *count);
struct QuenScInstanceQueryArgs {
    QuenScInstanceQuery query;    /* argument 1 */
};
int QuenScInstanceQueryRead(QuenScCall *call);               /* instance query struct */
int QuenScInstanceQueryExtWork(QuenScCall *call);
int QuenScInstanceQueryCountWork(QuenScCall *call);

/* User data (userDataMethods.cpp). One record for all of them: a
 * Quen-level entry names a Quen and no package, a package-level entry a
 * package and no Quen. */
struct QuenScUserDataArgs {
    const char *quenUID;          /* argument 1 of the Quen methods; null for the package ones */
    const char *packageUID;       /* argument 1 of the package methods; null for the Quen ones */
    QuenScUserDataRecord entry;   /* add: argument 2; remove: activator argument 2, name argument 3 */
};
int QuenScUserDataAddToQuenRead(QuenScCall *call);           /* Quen UID, user data struct */
int QuenScUserDataAddToPackageRead(QuenScCall *call);        /* package UID, user data struct */
int QuenScUserDataAddWork(QuenScCall *call);
int QuenScUserDataRemoveFromQuenRead(QuenScCall *call);      /* Quen UID, activator, name */
int QuenScUserDataRemoveFromPackageRead(QuenScCall *call);   /* package UID, activator, name */
int QuenScUserDataRemoveWork(QuenScCall *call);
int QuenScUserDataQuenArgRead(QuenScCall *call);             /* Quen UID */
int QuenScUserDataPackageArgRead(QuenScCall *call);          /* package UID */
int QuenScUserDataListByQuenWork(QuenScCall *call);
int QuenScUserDataListByPackageWork(QuenScCall *call);
int QuenScUserDataQueryWork(QuenScCall *call);               /* QuenScUserDataPackageArgRead */

/* MAC pools (macPoolMethods.cpp). */
/* "%02X:%02X:%02X:%02X:%02X:%02X" of the low 48 bits, in pool. This
 * function can't fail. */
const char *QuenScMacText(apr_pool_t *pool, int64_t address);
struct QuenScMacPoolAddArgs {
    QuenScMacPoolRecord pool;     /* argument 1 */
};
struct QuenScMacPoolRemoveArgs {
    const char *poolUID;          /* argument 1 */
};
struct QuenScMacPoolQueryArgs {
    const char *quenUID;          /* argument 1 */
};
struct QuenScMacAddressRequestArgs {
    const char *instanceUID;      /* argument 1 */
};
int QuenScMacPoolAddRead(QuenScCall *call);                  /* MAC pool struct */
int QuenScMacPoolAddWork(QuenScCall *call);
int QuenScMacPoolRemoveRead(QuenScCall *call);               /* pool UID */
int QuenScMacPoolRemoveWork(QuenScCall *call);
int QuenScMacPoolQueryRead(QuenScCall *call);                /* Quen UID */
int QuenScMacPoolQueryWork(QuenScCall *call);
int QuenScMacAddressRequestRead(QuenScCall *call);           /* instance UID */
int QuenScMacAddressRequestWork(QuenScCall *call);

#endif
