/* The named codes of the server module: result codes (element 0 of every
 * answer), method access masks, the policy set's instantiation,
 * authentication, expiration and copy types, audit categories and audit
 * event types. The numbers are part of the wire protocol, the stored
 * policy sets or the event log; never renumber them. */
#ifndef QUENSC_FRAME_CODES_H
#define QUENSC_FRAME_CODES_H

/* Result codes: element 0 of every method's result array. The numbers are
 * part of the wire protocol. */
enum QuenScResult {
    QUENSC_OK = 0,
    QUENSC_SERVER_DID_NOT_START = 1,
    QUENSC_INTERNAL = 2,
    QUENSC_INVALID_CONFIG_FILE = 3,
    QUENSC_UNSUPPORTED_PROTOCOL = 4,
    QUENSC_INVALID_PARAMETER = 5,
    QUENSC_INVALID_SESSION = 6,
    QUENSC_SESSION_ALREADY_OPEN = 7,
    QUENSC_NO_USER_DIRECTORY = 8,
    QUENSC_INSUFFICIENT_PRIVILEGES = 9,
    QUENSC_AUTHENTICATION_FAILED = 10,
    QUENSC_USER_ACCOUNT_DISABLED = 11,
    QUENSC_USER_ACCOUNT_LOCKOUT = 12,
    QUENSC_USER_ACCOUNT_EXPIRED = 13,
    QUENSC_PASSWORD_MUST_CHANGE = 14,
    QUENSC_PASSWORD_EXPIRED = 15,
    QUENSC_PASSWORD_CANT_CHANGE = 16,
    QUENSC_PASSWORD_CHANGE_FAILED = 17,
    QUENSC_QUEN_DOES_NOT_EXIST = 18,
    QUENSC_PACKAGE_DOES_NOT_EXIST = 19,
    QUENSC_ACCESS_DOES_NOT_EXIST = 20,
    QUENSC_INSTANCE_DOES_NOT_EXIST = 21,
    QUENSC_POLICY_DOES_NOT_EXIST = 22,
    QUENSC_USER_DATA_DOES_NOT_EXIST = 23,
    QUENSC_MAC_POOL_DOES_NOT_EXIST = 24,
    QUENSC_OBJECT_EXISTS = 25,
    QUENSC_QUEN_INSTANCE_LIMIT_EXCEEDED = 26,
    QUENSC_QUEN_EXPIRED = 27,
    QUENSC_PACKAGE_DISABLED = 28,
    QUENSC_PACKAGE_EXPIRED = 29,
    QUENSC_INSTANCE_CANNOT_RUN = 30,
    QUENSC_INSTANCE_CANNOT_COPY = 31,
    QUENSC_ACCESS_DENIED = 32,
    QUENSC_ACCESS_EXPIRED = 33,
    QUENSC_ACCESS_INSTANCE_LIMIT_EXCEEDED = 34,
    QUENSC_HAS_VALID_INSTANCES = 35,
    QUENSC_INVALID_MAC_ADDRESS_FORMAT = 36,
    QUENSC_MAC_POOL_EXHAUSTED = 37,
    QUENSC_FAILED_TO_CONNECT = 38,
    QUENSC_CERT_HASH_CHECK_FAILED = 39,
    QUENSC_LDAP_CONNECT_FAILED = 40,
    QUENSC_CERT_DID_NOT_VERIFY = 41,
    QUENSC_REPLY_TOO_LARGE = 42,
    QUENSC_LDAP_OBJECT_NOT_FOUND = 43,
    QUENSC_INSTANCE_IS_VALID = 45,
};

/* The code's text ("OK" ... "INSTANCE IS VALID"), "UNKNOWN ERROR" for any
 * other value. Static; never freed. */
const char *QuenScResultText(int code);

/* Access mask bits of the methods: who may call one. */
enum QuenScAccessMask {
    QUENSC_ACCESS_ADMIN = 1,    /* a session logged in as administrator */
    QUENSC_ACCESS_HELPDESK = 2, /* a session logged in as help-desk */
    QUENSC_ACCESS_ANY = 4,      /* any session */
};

/* instType of a policy set: who may create instances. */
enum QuenScInstType {
    QUENSC_INST_ANYBODY = 0,   /* no access entry needed */
    QUENSC_INST_DIRECTORY = 1, /* directory users and groups of the access entries */
    QUENSC_INST_TOKEN = 2,     /* holders of a token of the access entries */
};

/* authType of a policy set: how an instance proves itself later. */
enum QuenScAuthType {
    QUENSC_AUTH_NONE = 0,        /* no check */
    QUENSC_AUTH_DIRECTORY = 1,   /* the directory user must be the instance's creator */
    QUENSC_AUTH_PASSWORD = 2,    /* the instance password */
    QUENSC_AUTH_UNCHECKED = 3,   /* no check either */
    QUENSC_AUTH_LAST = 3,        /* values above are invalid */
};

/* expType of a policy set: how an instance's validity window is made. */
enum QuenScExpType {
    QUENSC_EXP_NEVER = 0,      /* never expires */
    QUENSC_EXP_DAYS = 1,       /* expValue_1 days after activation */
    QUENSC_EXP_WINDOW = 2,     /* the fixed window [expValue_1, expValue_2] */
};

/* copyPolicy of a policy set: what InstanceCopy may do. */
enum QuenScCopyPolicy {
    QUENSC_COPY_NOT_ALLOWED = 0,
    QUENSC_COPY_REPLACE = 1,   /* the copy replaces its source */
    QUENSC_COPY_ALLOWED = 2,   /* the caller chooses */
};

/* identityType of an access entry. */
enum QuenScIdentityType {
    QUENSC_IDENTITY_USER = 0,  /* a directory user, by DN */
    QUENSC_IDENTITY_GROUP = 1, /* a directory group, by DN */
    QUENSC_IDENTITY_TOKEN = 2, /* a token */
};

/* Audit categories, each with its configured level in the logging section. */
enum QuenScCategory {
    QUENSC_CATEGORY_NONE = 0,
    QUENSC_CATEGORY_AUTHENTICATION = 1, /* logging/authentication */
    QUENSC_CATEGORY_QUEN_ADMIN = 2,     /* logging/quen_admin */
    QUENSC_CATEGORY_PACKAGE_ADMIN = 3,  /* logging/package_admin */
    QUENSC_CATEGORY_INSTANCE_ADMIN = 4, /* logging/instance_admin */
    QUENSC_CATEGORY_POLICY_ADMIN = 5,   /* logging/policy_admin */
};

/* Audit event types (category x 1000 + a multiple of 10; x000 is the
 * category's generic "handler invoked" type). Messages and levels live in
 * the database's event type table. */
enum QuenScEventType {
    QUENSC_EVT_NONE = 0,
    QUENSC_EVT_HANDLER = 10,
    QUENSC_EVT_AUTHENTICATION = 1000,
    QUENSC_EVT_MANAGER_AUTHENTICATE = 1010,
    QUENSC_EVT_LDAP_CHANGE_PASSWORD = 1020,
    QUENSC_EVT_INSTANCE_GET_KEY = 1030,
    QUENSC_EVT_QUEN_ADMIN = 2000,
    QUENSC_EVT_QUEN_CREATE = 2010,
    QUENSC_EVT_QUEN_DESTROY = 2020,
    QUENSC_EVT_QUEN_UPDATE = 2030,
    QUENSC_EVT_PACKAGE_ADMIN = 3000,
    QUENSC_EVT_PACKAGE_CREATE = 3010,
    QUENSC_EVT_PACKAGE_UPDATE = 3020,
    QUENSC_EVT_INSTANCE_ADMIN = 4000,
    QUENSC_EVT_INSTANCE_CREATE = 4020,
    QUENSC_EVT_INSTANCE_COPY = 4030,
    QUENSC_EVT_INSTANCE_REVOKE = 4040,
    QUENSC_EVT_INSTANCE_ENABLE = 4050,
    QUENSC_EVT_INSTANCE_SET_CUSTOM_FIELD = 4060,
    QUENSC_EVT_INSTANCE_SET_ALL_CUSTOM_FIELDS = 4070,
    QUENSC_EVT_INSTANCE_SET_CUSTOM_FIELD_NAME = 4080,
    QUENSC_EVT_INSTANCE_SET_PASSWORD = 4090,
    QUENSC_EVT_INSTANCE_CHANGE_PASSWORD = 4100,
    QUENSC_EVT_INSTANCE_SET_GUEST_INFO = 4110,
    QUENSC_EVT_INSTANCE_SET_HOST_INFO = 4120,
    QUENSC_EVT_INSTANCE_SET_EXPIRATION = 4130,
    QUENSC_EVT_INSTANCE_SET_COPY_PROTECTION_ID = 4140,
    QUENSC_EVT_MAC_ADDRESS_REQUEST = 4150,
    QUENSC_EVT_INSTANCE_CLEAR_CUSTOM_FIELD = 4160,
    QUENSC_EVT_INSTANCE_DELETE = 4170,
    QUENSC_EVT_POLICY_ADMIN = 5000,
    QUENSC_EVT_ACCESS_ADD = 5010,
    QUENSC_EVT_ACCESS_REMOVE = 5020,
    QUENSC_EVT_POLICY_STORE = 5030,
    QUENSC_EVT_POLICY_PUBLISH = 5040,
    QUENSC_EVT_USER_DATA_ADD_TO_QUEN = 5050,
    QUENSC_EVT_USER_DATA_ADD_TO_PACKAGE = 5060,
    QUENSC_EVT_USER_DATA_REMOVE_FROM_QUEN = 5070,
    QUENSC_EVT_USER_DATA_REMOVE_FROM_PACKAGE = 5080,
    QUENSC_EVT_MAC_POOL_ADD = 5090,
    QUENSC_EVT_MAC_POOL_REMOVE = 5100,
};

#endif
