/* The managers' instance search: InstanceQueryExt hands a structured query
 * to the instance query builder and answers at most 50 instance structs per
 * call (callers page with "offset"); InstanceQueryCount answers how many
 * instances the same conditions match, without that cap. Both see the
 * instances of every Quen. */
#include "service/instanceLifecycle.h"
#include "service/serviceMethods.h"
#include "frame/log.h"

#include "policydb/instanceQuery.h"

#include <apr_strings.h>

namespace {

PolDbQueryText Text(const QuenScTextClause &c) { return PolDbQueryText{c.type, c.val0, c.val1}; }
PolDbQueryInt Int(const QuenScIntClause &c) { return PolDbQueryInt{c.type, c.val0, c.val1}; }
PolDbQueryTime Time(const QuenScDateClause &c) { return PolDbQueryTime{c.type, c.val0, c.val1}; }
PolDbQueryFlag Flag(const QuenScBoolClause &c) { return PolDbQueryFlag{c.type, c.val0}; }

} // namespace

void QuenScInstanceQueryToDb(const QuenScInstanceQuery *in, PolDbInstanceQuery *out)
{
    const QuenScInstanceQuery &q = *in;
    PolDbInstanceQuery &d = *out;
    d = PolDbInstanceQuery{};
    d.uid.op = q.uuid.type;
    d.uid.values = q.uuid.values;
    d.packageUID = Text(q.packageUuid);
    d.quenUID = Text(q.quenUuid);
    d.packageName = Text(q.packageName);
    d.quenName = Text(q.quenName);
    d.creatorIdName = Text(q.creatorName);
    d.creatorIdData = Text(q.creatorData);
    d.creatorAuthType = Int(q.creatorType);
    d.activationDate = Time(q.activationDate);
    d.lastPolicyCheck = Time(q.lastPolicyCheck);
    d.revocationDate = Time(q.revocationDate);
    d.replacementDate = Time(q.replacementDate);
    d.inheritsExpiration = Flag(q.inheritsExpiration);
    d.useValidDates = Flag(q.useValidDates);
    d.validDateStart = Time(q.validDateStart);
    d.validDateEnd = Time(q.validDateEnd);
    d.copyProtectionId = Text(q.copyProtectionId);
    d.preview = Flag(q.preview);
    d.hostName = Text(q.hostName);
    d.hostIp = Text(q.hostIp);
    d.guestIpAddress = Text(q.guestIp);
    d.guestMacAddress = Text(q.guestMacAddress);
    d.guestMachineName = Text(q.guestMachineName);
    d.guestConfigStatus = Int(q.guestConfigStatus);
    d.guestConfigMsg = Text(q.guestConfigMsg);
    d.tsCreated = Time(q.tsCreated);
    d.tsLastModified = Time(q.tsLastModified);
    for (int i = 0; i < POLDB_INSTANCE_CUSTOM_FIELDS; i++)
        d.custom[i] = Text(q.custom[i]);
    d.pageSize = q.limit;
    d.pageStart = q.offset;
    d.sort[0] = PolDbQuerySort{q.sortOrder1, q.sortDescending1};
    d.sort[1] = PolDbQuerySort{q.sortOrder2, q.sortDescending2};
    d.sort[2] = PolDbQuerySort{q.sortOrder3, q.sortDescending3};
}

int QuenSc_InstanceQueryExt(i_ctx *ctx, QuenScSession *, QuenScInstanceQuery *query,
                            QuenScInstanceRecord **records, int *count)
{
    *records = nullptr;
    *count = 0;
    /* Compared as unsigned: a negative limit asks for too many as well. */
    if (query->limit == 0 || static_cast<unsigned>(query->limit) > QUENSC_QUERY_MAX_ROWS) {
        QuenScLogError("Truncated query to 50 responses");
        query->limit = QUENSC_QUERY_MAX_ROWS;
    }
    /* The page start is a row count: a negative one is a wrong argument,
     * not a database failure. */
    if (query->offset < 0) {
        QuenScLogError("Received instance query with invalid offset: %d", query->offset);
        return QUENSC_INVALID_PARAMETER;
    }
    PolDbInstanceQuery dbQuery;
    QuenScInstanceQueryToDb(query, &dbQuery);
    PolDbInstance *rows = nullptr;
    int n = 0;
    if (!PolDb_InstanceQuery(ctx->conn, &dbQuery, &rows, &n)) {
        QuenScLogError("Failed to execute query on db: %s", Db_GetLastErrorText(ctx->conn));
        return QUENSC_INTERNAL;
    }
    int rc = QUENSC_OK;
    QuenScInstanceRecord *out = nullptr;
    if (n > 0) {
        out = static_cast<QuenScInstanceRecord *>(apr_pcalloc(ctx->pool, n * sizeof(QuenScInstanceRecord)));
        if (!out) {
            QuenScLogError("Out of memory in QuenSc_InstanceQueryExt()");
            rc = QUENSC_INTERNAL;
        }
    }
    /* As InstanceInfo shows it: a row whose package or Quen record is gone
     * is still answered, with that name empty, rather than failing the
     * search of every other row. */
    for (int i = 0; i < n && rc == QUENSC_OK; i++)
        QuenScInstanceToRecord(ctx, &rows[i], &out[i]);
    PolDb_InstanceFreeArray(rows, n);
    if (rc == QUENSC_OK) {
        *records = out;
        *count = n;
    }
    return rc;
}

int QuenScInstanceQueryRead(QuenScCall *call)
{
    auto *a = QuenScArgs<QuenScInstanceQueryArgs>(call);
    QuenScReadInstanceQuery(call->env, call->params, 1, call->ctx->pool, &a->query);
    return QuenScReadStatus(call);
}

int QuenScInstanceQueryExtWork(QuenScCall *call)
{
    auto *a = QuenScArgs<QuenScInstanceQueryArgs>(call);
    QuenScInstanceRecord *records = nullptr;
    int count = 0;
    int rc = QuenSc_InstanceQueryExt(call->ctx, call->session, &a->query, &records, &count);
    if (rc != QUENSC_OK)
        return rc;
    QuenScAppendInt(call->values, count);
    for (int i = 0; i < count; i++)
        QuenScAppendInstance(call->values, &records[i]);
    return QUENSC_OK;
}

int QuenScInstanceQueryCountWork(QuenScCall *call)
{
    i_ctx *ctx = call->ctx;
    auto *a = QuenScArgs<QuenScInstanceQueryArgs>(call);
    PolDbInstanceQuery dbQuery;
    QuenScInstanceQueryToDb(&a->query, &dbQuery);
    int count = 0;
    if (!PolDb_InstanceQueryCount(ctx->conn, &dbQuery, &count)) {
        QuenScLogError("Failed to get query count from db: %s", Db_GetLastErrorText(ctx->conn));
        return QUENSC_INTERNAL;
    }
    QuenScAppendInt(call->values, count);
    return QUENSC_OK;
}
