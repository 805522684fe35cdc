/* The data steps that follow a schema upgrade at start-up: the rows an
 * older version kept in another form are rewritten with the service's own
 * rules (the instance password hash and validity window of version 215). */
#include "service/dataUpgrade.h"

#include "frame/frame.h"
#include "frame/log.h"
#include "frame/managerAuth.h"
#include "policydb/instance.h"
#include "service/instanceState.h"

#include <cstdlib>

namespace {

/* The data upgrade steps, by the schema version that introduced them. */
struct DataUpgradeStep {
    int version;
    int (*step)(i_ctx *ctx);
};

} // namespace

int QuenScDataUpgradeTo215(i_ctx *ctx)
{
    QuenScLogInfo("Performing Data Upgrade to v.215");
    PolDbInstance *instances = nullptr;
    int count = 0;
    if (!PolDb_InstanceEnumerate(ctx->conn, nullptr, &instances, &count)) {
        QuenScLogError("Failed to enumerate all instances from db");
        return QUENSC_INTERNAL;
    }
    int rc = QUENSC_OK;
    for (int i = 0; i < count && rc == QUENSC_OK; i++) {
        PolDbInstance &row = instances[i];
        /* Older schemas kept the password itself: store its salted hash. */
        const char *hash = QuenScPasswordHash(ctx->pool, row.instanceUID, row.password);
        if (!hash) {
            QuenScLogError("Failed to hash password for instance: %s", row.instanceUID);
            rc = QUENSC_INTERNAL;
            break;
        }
        free(row.password);
        row.password = PolDb_Strdup(hash);
        if (QuenScComputeExpiration(ctx, &row, &row.useValidDates, &row.validDateStart, &row.validDateEnd) !=
            QUENSC_OK) {
            QuenScLogError("Failed to calculate expiration dates for instance: %s", row.instanceUID);
            rc = QUENSC_INTERNAL;
            break;
        }
        if (!PolDb_InstanceUpdate(ctx->conn, &row)) {
            QuenScLogError("Failed to write updated instance into db: %s (%s)", row.instanceUID,
                           Db_GetLastErrorText(ctx->conn));
            rc = QUENSC_INTERNAL;
        }
    }
    if (rc == QUENSC_OK)
        QuenScLogInfo("Updated %d instances...", count);
    PolDb_InstanceFreeArray(instances, count);
    return rc;
}

namespace {

const DataUpgradeStep kDataUpgrades[] = {
    {215, QuenScDataUpgradeTo215},
    {0, nullptr},
};

} // namespace

int QuenScRunDataUpgrades(QuenScServer *server, int oldVersion, int newVersion)
{
    if (oldVersion == 0 || oldVersion == newVersion)
        return QUENSC_OK;
    i_ctx *ctx = QuenScContextCreate(server);
    if (!ctx)
        return QUENSC_INTERNAL;
    int rc = QUENSC_OK;
    for (const DataUpgradeStep *s = kDataUpgrades; s->version != 0; s++) {
        if (oldVersion < s->version && s->version <= newVersion) {
            rc = s->step(ctx);
            if (rc != QUENSC_OK) {
                QuenScLogError("Failed during data upgrade");
                break;
            }
        }
    }
    if (rc == QUENSC_OK && !Db_Commit(ctx->conn)) {
        QuenScLogError("Failed to commit database transaction during upgrade");
        rc = QUENSC_INTERNAL;
    }
    QuenScContextDestroy(ctx);
    return rc;
}
