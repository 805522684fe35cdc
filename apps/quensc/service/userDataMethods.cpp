/* The user data methods: named values that administrators attach to a Quen
 * as a whole or to one of its packages, optionally for one user (the
 * activator), and that client runtimes fetch for their package.
 *
 * Values are opaque and never reach the audit log: the events carry the
 * entry's name and type only (their message texts show "********" in place
 * of the value). */
#include "frame/lookupCache.h"
#include "service/serviceMethods.h"
#include "frame/log.h"

#include "policydb/userData.h"

#include <apr_strings.h>

#include <cstdlib>
#include <memory>

namespace {

constexpr int kValueMax = 2048;

struct UserDataFree {
    void operator()(PolDbUserData *entry) const
    {
        PolDb_UserDataRelease(entry);
        free(entry);
    }
};
using UserDataPtr = std::unique_ptr<PolDbUserData, UserDataFree>;

const char *OrEmpty(const char *text) { return text ? text : ""; }

QuenScUserDataArgs *Args(QuenScCall *call) { return QuenScArgs<QuenScUserDataArgs>(call); }

/* Argument 1 as the Quen (forPackage false) or package UID, recorded in the
 * event. */
void ReadOwner(QuenScCall *call, bool forPackage)
{
    QuenScUserDataArgs *a = Args(call);
    if (forPackage)
        QuenScReadPackageUidAt(call, 1, &a->packageUID);
    else
        QuenScReadQuenUidAt(call, 1, &a->quenUID);
}

/* The package's Quen goes into the event beside the package as given. */
void RecordPackageQuen(i_ctx *ctx, const PolDbPackage *package)
{
    if (package)
        ctx->event->quenUID = apr_pstrdup(ctx->pool, package->quenUID);
}

int ReadAdd(QuenScCall *call, bool forPackage)
{
    QuenScUserDataArgs *a = Args(call);
    ReadOwner(call, forPackage);
    QuenScReadUserData(call->env, call->params, 2, call->ctx->pool, &a->entry);
    if (QuenScReadStatus(call) == QUENSC_OK) {
        QuenScEventParam(call, 0, a->entry.name);
        QuenScEventParam(call, 1, apr_itoa(call->ctx->pool, a->entry.type));
    }
    return QuenScReadStatus(call);
}

/* Adds the entry, or replaces value and type of the one stored under the
 * same (Quen, package, activator, name). */
int AddWork(QuenScCall *call)
{
    i_ctx *ctx = call->ctx;
    QuenScUserDataArgs *a = Args(call);
    const QuenScUserDataRecord &e = a->entry;
    if (a->quenUID && !QuenScLookupQuen(ctx, a->quenUID)) {
        QuenScLogError("Faield to find quen (%s) while attempting to add a UserDataobject.", a->quenUID);
        return QUENSC_QUEN_DOES_NOT_EXIST;
    }
    if (a->packageUID) {
        const PolDbPackage *package = QuenScLookupPackage(ctx, a->packageUID);
        if (!package) {
            QuenScLogError("Failed to find package (%s) while attempting to add a UserData object",
                           a->packageUID);
            return QUENSC_PACKAGE_DOES_NOT_EXIST;
        }
        RecordPackageQuen(ctx, package);
    }
    /* The name is the entry's key: without one it could not be told apart
     * from the others or removed again. */
    if (QuenScIsEmpty(e.name) || !QuenScTextFits(e.name, QUENSC_NAME_MAX) ||
        !QuenScTextFits(e.activator, QUENSC_NAME_MAX) || !QuenScTextFits(e.value, kValueMax))
        return QUENSC_INVALID_PARAMETER;

    PolDbUserData record{};
    record.quenUID = const_cast<char *>(a->quenUID);
    record.packageUID = const_cast<char *>(a->packageUID);
    record.activator = const_cast<char *>(e.activator);
    record.name = const_cast<char *>(e.name);
    record.value = const_cast<char *>(OrEmpty(e.value));
    record.type = e.type;
    PolDbUserData *stored = nullptr;
    if (!PolDb_UserDataGetByPK(ctx->conn, a->quenUID, a->packageUID, e.activator, e.name, &stored)) {
        QuenScLogError("Error reading user data from db: %s", Db_GetLastErrorText(ctx->conn));
        return QUENSC_INTERNAL;
    }
    UserDataPtr existing(stored);
    if (existing) {
        if (!PolDb_UserDataUpdate(ctx->conn, &record)) {
            QuenScLogError("Error updating user data object to db: %s", Db_GetLastErrorText(ctx->conn));
            return QUENSC_INTERNAL;
        }
    } else if (!PolDb_UserDataAdd(ctx->conn, &record)) {
        QuenScLogError("Error adding user data object to db: %s", Db_GetLastErrorText(ctx->conn));
        return QUENSC_INTERNAL;
    }
    return QUENSC_OK;
}

int ReadRemove(QuenScCall *call, bool forPackage)
{
    QuenScUserDataArgs *a = Args(call);
    ReadOwner(call, forPackage);
    QuenScReadString(call->env, call->params, 2, call->ctx->pool, &a->entry.activator);
    QuenScReadString(call->env, call->params, 3, call->ctx->pool, &a->entry.name);
    if (QuenScReadStatus(call) == QUENSC_OK)
        QuenScEventParam(call, 0, a->entry.name);
    return QuenScReadStatus(call);
}

int RemoveWork(QuenScCall *call)
{
    i_ctx *ctx = call->ctx;
    QuenScUserDataArgs *a = Args(call);
    const char *activator = a->entry.activator;
    const char *name = a->entry.name;
    bool known = true;
    if (a->packageUID) {
        const PolDbPackage *package = QuenScLookupPackage(ctx, a->packageUID);
        RecordPackageQuen(ctx, package);
        known = package != nullptr;
    } else {
        known = QuenScLookupQuen(ctx, a->quenUID) != nullptr;
    }
    /* An owner that does not exist holds no entries. */
    PolDbUserData *stored = nullptr;
    if (known && !PolDb_UserDataGetByPK(ctx->conn, a->quenUID, a->packageUID, activator, name, &stored)) {
        QuenScLogError("Error reading user data from db: %s", Db_GetLastErrorText(ctx->conn));
        return QUENSC_INTERNAL;
    }
    UserDataPtr existing(stored);
    if (!existing) {
        QuenScLogError("Failed to find user data to remove (%s - %s - %s)", OrEmpty(a->packageUID),
                       OrEmpty(activator), OrEmpty(name));
        return QUENSC_USER_DATA_DOES_NOT_EXIST;
    }
    if (!PolDb_UserDataDelete(ctx->conn, a->quenUID, a->packageUID, activator, name)) {
        QuenScLogError("Error removing user data from db (%s - %s - %s - %s): %s", OrEmpty(existing->quenUID),
                       OrEmpty(a->packageUID), OrEmpty(activator), OrEmpty(name), Db_GetLastErrorText(ctx->conn));
        return QUENSC_INTERNAL;
    }
    return QUENSC_OK;
}

/* Appends the count and the entries, and releases them. */
void AppendEntries(QuenScCall *call, PolDbUserData *entries, int count)
{
    QuenScAppendInt(call->values, count);
    for (int i = 0; i < count; i++) {
        QuenScUserDataRecord out{entries[i].activator, entries[i].name, entries[i].value, entries[i].type};
        QuenScAppendUserData(call->values, &out);
    }
    PolDb_UserDataFreeArray(entries, count);
}

/* Lists the entries stored at exactly one level: the Quen's own (no
 * package) or the package's own, for every activator. */
int ListWork(QuenScCall *call, bool forPackage)
{
    i_ctx *ctx = call->ctx;
    QuenScUserDataArgs *a = Args(call);
    const char *quenUID = a->quenUID;
    const char *packageUID = nullptr;
    if (forPackage) {
        const PolDbPackage *package = QuenScLookupPackage(ctx, a->packageUID);
        if (!package) {
            QuenScLogError("Failed to find package (%s) while listing user data", OrEmpty(a->packageUID));
            return QUENSC_PACKAGE_DOES_NOT_EXIST;
        }
        RecordPackageQuen(ctx, package);
        /* An entry of a package is always stored under the package's Quen. */
        quenUID = package->quenUID;
        packageUID = package->packageUID;
    } else if (!QuenScLookupQuen(ctx, a->quenUID)) {
        QuenScLogError("Failed to find quen (%s) while listing user data", OrEmpty(a->quenUID));
        return QUENSC_QUEN_DOES_NOT_EXIST;
    }
    PolDbUserData *entries = nullptr;
    int count = 0;
    if (!PolDb_UserDataEnumerateAtLevel(ctx->conn, quenUID, packageUID, &entries, &count)) {
        QuenScLogError("Error enumerating user data in db: %s", Db_GetLastErrorText(ctx->conn));
        return QUENSC_INTERNAL;
    }
    AppendEntries(call, entries, count);
    return QUENSC_OK;
}

} // namespace

int QuenScUserDataAddToQuenRead(QuenScCall *call) { return ReadAdd(call, false); }
int QuenScUserDataAddToPackageRead(QuenScCall *call) { return ReadAdd(call, true); }
int QuenScUserDataAddWork(QuenScCall *call) { return AddWork(call); }

int QuenScUserDataRemoveFromQuenRead(QuenScCall *call) { return ReadRemove(call, false); }
int QuenScUserDataRemoveFromPackageRead(QuenScCall *call) { return ReadRemove(call, true); }
int QuenScUserDataRemoveWork(QuenScCall *call) { return RemoveWork(call); }

int QuenScUserDataQuenArgRead(QuenScCall *call)
{
    ReadOwner(call, false);
    return QuenScReadStatus(call);
}

int QuenScUserDataPackageArgRead(QuenScCall *call)
{
    ReadOwner(call, true);
    return QuenScReadStatus(call);
}

int QuenScUserDataListByQuenWork(QuenScCall *call) { return ListWork(call, false); }
int QuenScUserDataListByPackageWork(QuenScCall *call) { return ListWork(call, true); }

int QuenScUserDataQueryWork(QuenScCall *call)
{
    i_ctx *ctx = call->ctx;
    QuenScUserDataArgs *a = Args(call);
    const PolDbPackage *package = QuenScLookupPackage(ctx, a->packageUID);
    if (!package) {
        QuenScLogError("Failed to find package (%s) while querying for user data", OrEmpty(a->packageUID));
        return QUENSC_PACKAGE_DOES_NOT_EXIST;
    }
    RecordPackageQuen(ctx, package);
    PolDbUserData *entries = nullptr;
    int count = 0;
    if (!PolDb_UserDataEnumerateFilter(ctx->conn, false, package->quenUID, package->packageUID, nullptr, &entries,
                                       &count)) {
        QuenScLogError("Error enumerating user data in db: %s", Db_GetLastErrorText(ctx->conn));
        return QUENSC_INTERNAL;
    }
    AppendEntries(call, entries, count);
    return QUENSC_OK;
}
