/* The instance query: a structured search of the live instances (one
 * optional condition per searchable column, three sort keys, a page) turned
 * into one SQL text per database engine, with the engine's own paging, and
 * a matching count query.
 *
 * Conditions are joined with AND. Every text value goes into the SQL as a
 * PolDb_EscapeString literal; time values are written as quoted 20-digit
 * zero-padded texts, the form in which the instance table stores them.
 * A condition whose operation is not allowed for its column kind is logged
 * ("Wrong search clause for <column> ...") and left out; the rest of the
 * query still runs. */
#ifndef QUENSC_POLICYDB_INSTANCEQUERY_H
#define QUENSC_POLICYDB_INSTANCEQUERY_H

#include "policydb/db.h"
#include "policydb/instance.h"

/* Operation codes of a condition (column c, values v1 and v2). */
enum PolDbQueryOp {
    POLDB_QUERY_NONE = 0,        /* no condition */
    POLDB_QUERY_EQ = 1,          /* c = v1              (every kind) */
    POLDB_QUERY_LT = 2,          /* c < v1              (text, int, time) */
    POLDB_QUERY_LE = 3,          /* c <= v1             (text, int, time) */
    POLDB_QUERY_GT = 4,          /* c > v1              (text, int, time) */
    POLDB_QUERY_GE = 5,          /* c >= v1             (text, int, time) */
    POLDB_QUERY_LIKE = 6,        /* case-insensitive LIKE v1, escape '\' (text only) */
    POLDB_QUERY_RANGE = 7,       /* v1 <= c < v2        (text, int, time) */
    POLDB_QUERY_RANGE_INCL = 8,  /* v1 <= c <= v2       (text, int, time) */
    POLDB_QUERY_IN = 9,          /* c IN (list)         (the UID list only) */
};

/* Conditions by column kind. A text value that is null is the SQL NULL,
 * which no comparison matches. */
struct PolDbQueryTextList {
    int op;                      /* 0 or 9 */
    const char *const *values;   /* null-terminated; null for an empty list */
};
struct PolDbQueryText {
    int op;
    const char *value1;
    const char *value2;
};
struct PolDbQueryInt {
    int op;
    int value1;
    int value2;
};
struct PolDbQueryTime {
    int op;
    int64_t value1;
    int64_t value2;
};
struct PolDbQueryFlag {
    int op;                      /* 0 or 1 */
    int value;                   /* non-zero: TRUE */
};

/* A sort key: a column code of the table below (1 to 36) and the direction. */
struct PolDbQuerySort {
    int column;
    int descending;              /* non-zero: DESC */
};

/* Column codes for sorting:
 *  1 instanceUID        13 inheritsExpiration  25 guestIpAddress
 *  2 i.packageUID       14 insUseValidDates    26 insTsCreated
 *  3 i.quenUID          15 insValidDateStart   27 insTsLastModified
 *  4 p.pkgName          16 insValidDateEnd     28..36 insCustom1..insCustom9
 *  5 a.quenName         17 copyProtectionId
 *  6 creatorIdName      18 insPreview
 *  7 creatorIdData      19 hostName
 *  8 creatorAuthType    20 hostIp
 *  9 activationDate     21 guestMacAddress
 * 10 lastPolicyCheck    22 guestMachineName
 * 11 revocationDate     23 guestConfigStatus
 * 12 replacementDate    24 guestConfigMsg */
#define POLDB_QUERY_SORT_ACTIVATION_DATE 9
#define POLDB_QUERY_SORT_COLUMNS 36

/* One query. Zero-initialised it matches every live instance, newest
 * activation first, without paging. */
struct PolDbInstanceQuery {
    PolDbQueryTextList uid;               /* instanceUID */
    PolDbQueryText packageUID;            /* i.packageUID */
    PolDbQueryText quenUID;               /* i.quenUID */
    PolDbQueryText packageName;           /* p.pkgName */
    PolDbQueryText quenName;              /* a.quenName */
    PolDbQueryText creatorIdName;
    PolDbQueryText creatorIdData;
    PolDbQueryInt creatorAuthType;
    PolDbQueryTime activationDate;
    PolDbQueryTime lastPolicyCheck;
    PolDbQueryTime revocationDate;
    PolDbQueryTime replacementDate;
    PolDbQueryFlag inheritsExpiration;
    PolDbQueryFlag useValidDates;         /* insUseValidDates */
    PolDbQueryTime validDateStart;        /* insValidDateStart */
    PolDbQueryTime validDateEnd;          /* insValidDateEnd */
    PolDbQueryText copyProtectionId;
    PolDbQueryFlag preview;               /* insPreview */
    PolDbQueryText hostName;
    PolDbQueryText hostIp;
    PolDbQueryText guestIpAddress;
    PolDbQueryText guestMacAddress;
    PolDbQueryText guestMachineName;
    PolDbQueryInt guestConfigStatus;
    PolDbQueryText guestConfigMsg;
    PolDbQueryTime tsCreated;             /* insTsCreated */
    PolDbQueryTime tsLastModified;        /* insTsLastModified */
    PolDbQueryText custom[POLDB_INSTANCE_CUSTOM_FIELDS]; /* insCustom1..9 */
    int pageSize;                         /* 0: no paging; negative: refused */
    int pageStart;                        /* rows skipped; negative: refused */
    PolDbQuerySort sort[3];
};

/* The statements of one query, texts in the connection's pool. Only SQL
 * Server paging has a prepare statement (filling the temporary table #t)
 * and a cleanup statement (dropping it); the others leave them null. */
struct PolDbInstanceQuerySql {
    const char *prepare;
    const char *select;
    const char *cleanup;
};

/* Builds the statements of the query for conn->engine. False, after
 * logging, only for a negative page size or page start. */
bool PolDb_InstanceQueryBuild(DbConnection *conn, const PolDbInstanceQuery *query, PolDbInstanceQuerySql *sql);

/* The count statement of the query's conditions (sorting and paging do not
 * apply), in the connection's pool. */
char *PolDb_InstanceQueryCountSql(DbConnection *conn, const PolDbInstanceQuery *query);

/* Runs the query. On success *instances is a newly allocated array (null
 * for none; PolDb_InstanceFreeArray) of *count records. On failure the
 * result is false, *instances null and *count -1. */
bool PolDb_InstanceQuery(DbConnection *conn, const PolDbInstanceQuery *query, PolDbInstance **instances,
                         int *count);

/* The number of live instances matching the query's conditions. False, with
 * *count 0, when no value could be read. */
bool PolDb_InstanceQueryCount(DbConnection *conn, const PolDbInstanceQuery *query, int *count);

#endif
