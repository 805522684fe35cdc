/* The exported method table and the methods of the server frame: sessions,
 * manager login, certificates, Echo. Every row runs through the request
 * frame; the other methods' read and work functions live with their
 * objects (quens, packages, policy, instances, ...; see methods.h). */
#include "auth.h"
#include "directory.h"
#include "frame.h"
#include "instances.h"
#include "methods.h"
#include "quensc_util.h"

#include <apr_strings.h>

#include <cstring>
#include <utility>

namespace {

/* ---- SessionOpen / SessionClose ------------------------------------------- */

struct SessionOpenArgs {
    int version;
};

int ReadSessionOpen(QuenScCall *call)
{
    auto *a = static_cast<SessionOpenArgs *>(apr_pcalloc(call->ctx->pool, sizeof(SessionOpenArgs)));
    call->args = a;
    return QuenScReadInt(call->env, call->params, 0, &a->version);
}

int SessionOpen(QuenScCall *call)
{
    auto *a = static_cast<SessionOpenArgs *>(call->args);
    if (a->version != QUENSC_PROTOCOL_VERSION) {
        QuenScLogError("SessionOpen() requested unsupported protocol version: %d. (%d - %d", a->version,
                       QUENSC_PROTOCOL_VERSION, QUENSC_PROTOCOL_VERSION);
        QuenScAppendInt(call->values, QUENSC_PROTOCOL_VERSION);
        call->valuesOnError = true;
        return QUENSC_UNSUPPORTED_PROTOCOL;
    }
    QuenScSession *session = QuenScSessionNew(call->ctx, a->version);
    int rc = QuenScSessionStore(call->ctx, session, true);
    if (rc != QUENSC_OK)
        return rc;
    const QuenScConfig *cfg = call->ctx->server->configuration;
    QuenScServerInfo info{};
    info.enabled = cfg->global.use_ldap;
    info.secure = cfg->global.use_ldap;
    info.pwdChangeCapable = (info.enabled && info.secure) ? 1 : 0;
    info.baseDn = cfg->ldap.search_dn;
    info.protocol = a->version;
    QuenScAppendString(call->values, session->id);
    QuenScAppendServerInfo(call->values, &info);
    return QUENSC_OK;
}

struct SessionCloseArgs {
    const char *id;
};

int ReadSessionClose(QuenScCall *call)
{
    auto *a = static_cast<SessionCloseArgs *>(apr_pcalloc(call->ctx->pool, sizeof(SessionCloseArgs)));
    call->args = a;
    return QuenScReadString(call->env, call->params, 0, call->ctx->pool, &a->id);
}

int SessionClose(QuenScCall *call)
{
    return QuenScSessionRemove(call->ctx, static_cast<SessionCloseArgs *>(call->args)->id);
}

/* ---- Echo --------------------------------------------------------------------- */

int ReadEcho(QuenScCall *call)
{
    const char **text = static_cast<const char **>(apr_pcalloc(call->ctx->pool, sizeof(char *)));
    call->args = text;
    return QuenScReadString(call->env, call->params, 1, call->ctx->pool, text);
}

int Echo(QuenScCall *call)
{
    QuenScAppendString(call->values, *static_cast<const char **>(call->args));
    return QUENSC_OK;
}

/* ---- AuthenticateManager -------------------------------------------------------- */

int ReadCredentialAt1(QuenScCall *call)
{
    auto *cred = static_cast<QuenScCredential *>(apr_pcalloc(call->ctx->pool, sizeof(QuenScCredential)));
    call->args = cred;
    return QuenScReadCredential(call->env, call->params, 1, call->ctx->pool, cred);
}

/* Directory mode: authenticate the user, then test both groups. */
int AuthenticateByDirectory(QuenScCall *call, const QuenScCredential *cred)
{
    if (cred->type != QUENSC_CRED_LDAP)
        return QUENSC_INVALID_PARAMETER;
    i_ctx *ctx = call->ctx;
    const QuenScConfig *cfg = ctx->server->configuration;
    char *userDn = nullptr;
    int rc = QuenScLdapAuthenticateUser(ctx, cred->value1, cred->value2, cred->value3, &userDn, nullptr);
    if (rc != QUENSC_OK) {
        QuenScLogError("User '%s' failed LDAP authentication", cred->value1 ? cred->value1 : "");
        return rc;
    }
    rc = QUENSC_AUTHENTICATION_FAILED;
    if (!QuenScIsEmpty(cfg->administrators.ldap_group_dn) &&
        QuenScLdapIsMember(ctx, userDn, cfg->administrators.ldap_group_dn) == QUENSC_OK) {
        QuenScSessionSetAdministrator(call->session, cred->value1);
        rc = QUENSC_OK;
    }
    if (!QuenScIsEmpty(cfg->helpdesk.ldap_group_dn) &&
        QuenScLdapIsMember(ctx, userDn, cfg->helpdesk.ldap_group_dn) == QUENSC_OK) {
        QuenScSessionSetHelpdesk(call->session, cred->value1);
        rc = QUENSC_OK;
    }
    return rc;
}

/* Password mode: the password against both configured hashes. */
int AuthenticateByPassword(QuenScCall *call, const QuenScCredential *cred)
{
    if (cred->type != QUENSC_CRED_PASSWORD || !cred->value1)
        return QUENSC_INVALID_PARAMETER;
    QuenScEventParam(call, 0, "password");
    const QuenScConfig *cfg = call->ctx->server->configuration;
    int rc = QUENSC_AUTHENTICATION_FAILED;
    if (QuenScCheckPasswordHash(call->ctx, nullptr, cred->value1, cfg->administrators.password) == QUENSC_OK) {
        QuenScSessionSetAdministrator(call->session, "Administrator");
        rc = QUENSC_OK;
    }
    if (QuenScCheckPasswordHash(call->ctx, nullptr, cred->value1, cfg->helpdesk.password) == QUENSC_OK) {
        QuenScSessionSetHelpdesk(call->session, "Helpdesk");
        rc = QUENSC_OK;
    }
    return rc;
}

int AuthenticateManager(QuenScCall *call)
{
    auto *cred = static_cast<QuenScCredential *>(call->args);
    QuenScEventParam(call, 0, "UNSET");
    QuenScSessionClearAdministrator(call->session);
    QuenScSessionClearHelpdesk(call->session);
    int rc = call->ctx->server->configuration->global.use_ldap ? AuthenticateByDirectory(call, cred)
                                                                 : AuthenticateByPassword(call, cred);
    QuenScEventParam(call, 1, QuenScSessionIsAdministrator(call->session) ? "TRUE" : "FALSE");
    QuenScEventParam(call, 2, QuenScSessionIsHelpdesk(call->session) ? "TRUE" : "FALSE");
    /* The recorded event shows the credential's type, never a password. */
    QuenScEventParam(call, 0, QuenScCredentialDescription(call->ctx->pool, cred));
    return rc;
}

/* ---- SslCertsRetrieve ------------------------------------------------------------- */

int SslCertsRetrieve(QuenScCall *call)
{
    const QuenScServer *s = call->ctx->server;
    const char *text = "";
    if (s->serverCertificate)
        text = apr_pstrcat(call->ctx->pool, s->serverCertificate, s->certificateChain ? s->certificateChain : "",
                           nullptr);
    QuenScAppendString(call->values, text);
    return QUENSC_OK;
}

/* ---- LdapUserChangePassword --------------------------------------------------------- */

struct ChangePasswordArgs {
    const char *instanceUID;
    QuenScCredential cred;
    const char *newPassword;
};

int ReadLdapUserChangePassword(QuenScCall *call)
{
    auto *a = static_cast<ChangePasswordArgs *>(apr_pcalloc(call->ctx->pool, sizeof(ChangePasswordArgs)));
    call->args = a;
    int rc = QuenScReadString(call->env, call->params, 1, call->ctx->pool, &a->instanceUID);
    if (rc == QUENSC_OK)
        rc = QuenScReadCredential(call->env, call->params, 2, call->ctx->pool, &a->cred);
    if (rc == QUENSC_OK)
        rc = QuenScReadString(call->env, call->params, 3, call->ctx->pool, &a->newPassword);
    return rc;
}

int LdapUserChangePassword(QuenScCall *call)
{
    auto *a = static_cast<ChangePasswordArgs *>(call->args);
    return QuenScInstanceLdapChangePassword(call->ctx, a->instanceUID, &a->cred, a->newPassword);
}

constexpr int kAny = QUENSC_ACCESS_ANY;
constexpr int kAdmin = QUENSC_ACCESS_ADMIN;
constexpr int kStaff = QUENSC_ACCESS_ADMIN | QUENSC_ACCESS_HELPDESK;

constexpr int kOpenClose = QUENSC_FRAME_NO_SESSION | QUENSC_FRAME_NO_STORE;

/* In the order of the exported table. */
const QuenScMethodDef kDefs[] = {
    {"SessionOpen", kAny, 1000, kOpenClose | QUENSC_FRAME_QUIET_READ, ReadSessionOpen, SessionOpen},
    {"SessionClose", kAny, 1000, kOpenClose, ReadSessionClose, SessionClose},
    {"SslCertsRetrieve", kAny, 1000, 0, nullptr, SslCertsRetrieve},
    {"AuthenticateManager", kAny, 1010, 0, ReadCredentialAt1, AuthenticateManager},
    {"LdapUserChangePassword", kAny, 1020, 0, ReadLdapUserChangePassword, LdapUserChangePassword},
    {"QuenCreate", kAdmin, 2010, 0, QuenScQuenCreateRead, QuenScQuenCreateWork},
    {"QuenDestroy", kAdmin, 2020, 0, QuenScReadQuenUidArg, QuenScQuenDestroyWork},
    {"QuenDestroyPreview", kAdmin, 2000, 0, QuenScReadQuenUidArg, QuenScQuenDestroyPreviewWork},
    {"QuenInfo", kStaff, 2000, 0, QuenScReadQuenUidArg, QuenScQuenInfoWork},
    {"QuenUpdate", kAdmin, 2030, 0, QuenScQuenUpdateRead, QuenScQuenUpdateWork},
    {"QuenQuery", kStaff, 2000, 0, nullptr, QuenScQuenQueryWork},
    {"PackageCreate", kAdmin, 3010, 0, QuenScPackageCreateRead, QuenScPackageCreateWork},
    {"PackageUpdate", kAdmin, 3020, 0, QuenScPackageUpdateRead, QuenScPackageUpdateWork},
    {"PackageInfo", kStaff, 3000, 0, QuenScReadPackageUidArg, QuenScPackageInfoWork},
    {"PackageQuery", kStaff, 3000, 0, QuenScReadQuenUidArg, QuenScPackageQueryWork},
    {"AccessAdd", kAdmin, 5010, 0, QuenScAccessAddRead, QuenScAccessAddWork},
    {"AccessRemove", kAdmin, 5020, 0, QuenScAccessRemoveRead, QuenScAccessRemoveWork},
    {"AccessQuery", kStaff, 5000, 0, QuenScAccessQueryRead, QuenScAccessQueryWork},
    {"InstanceCreate", kAny, 4020, 0, QuenScInstanceCreateRead, QuenScInstanceCreateWork},
    {"InstanceCopy", kAny, 4030, 0, QuenScInstanceCopyRead, QuenScInstanceCopyWork},
    {"InstanceInfo", kAny, 4000, 0, QuenScReadInstanceUidArg, QuenScInstanceInfoWork},
    {"InstanceRevoke", kStaff, 4040, 0, QuenScReadInstanceUidArg, QuenScInstanceRevokeWork},
    {"InstanceDelete", kAdmin, 4170, 0, QuenScReadInstanceUidArg, QuenScInstanceDeleteWork},
    {"InstanceEnable", kAny, 4050, 0, QuenScInstanceEnableRead, QuenScInstanceEnableWork},
    {"InstanceGetState", kAny, 4000, 0, QuenScReadInstanceUidArg, QuenScInstanceGetStateWork},
    {"InstanceSetPassword", kStaff, 4090, 0, QuenScInstanceSetPasswordRead, QuenScInstanceSetPasswordWork},
    {"InstanceChangePassword", kAny, 4100, 0, QuenScInstanceChangePasswordRead, QuenScInstanceChangePasswordWork},
    {"InstanceSetGuestInfo", kAny, 4110, 0, QuenScInstanceSetGuestInfoRead, QuenScInstanceSetGuestInfoWork},
    {"InstanceSetHostInfo", kAny, 4120, 0, QuenScInstanceSetHostInfoRead, QuenScInstanceSetHostInfoWork},
    {"InstanceVerify", kAny, 4000, 0, QuenScReadInstanceUidArg, QuenScInstanceVerifyWork},
    {"InstanceGetKey", kAny, 1030, 0, QuenScInstanceGetKeyRead, QuenScInstanceGetKeyWork},
    {"InstanceSetExpiration", kStaff, 4130, 0, QuenScInstanceSetExpirationRead, QuenScInstanceSetExpirationWork},
    {"InstanceSetCopyProtectionId", kStaff, 4140, 0, QuenScInstanceSetCopyProtectionIdRead, QuenScInstanceSetCopyProtectionIdWork},
    {"InstanceQueryExt", kStaff, 4000, 0, QuenScInstanceQueryRead, QuenScInstanceQueryExtWork},
    {"InstanceQueryCount", kStaff, 4000, 0, QuenScInstanceQueryRead, QuenScInstanceQueryCountWork},
    {"InstanceSetCustomField", kAny, 4060, 0, QuenScInstanceSetCustomFieldRead, QuenScInstanceSetCustomFieldWork},
    {"InstanceSetAllCustomFields", kAny, 4070, 0, QuenScInstanceSetAllCustomFieldsRead, QuenScInstanceSetAllCustomFieldsWork},
    {"InstanceSetCustomFieldName", kAdmin, 4080, 0, QuenScInstanceSetCustomFieldNameRead, QuenScInstanceSetCustomFieldNameWork},
    {"InstanceGetCustomFieldName", kStaff, 4000, 0, QuenScCustomFieldNumberRead, QuenScInstanceGetCustomFieldNameWork},
    {"InstanceGetAllCustomFieldNames", kStaff, 4000, 0, nullptr, QuenScInstanceGetAllCustomFieldNamesWork},
    {"InstanceClearCustomField", kAdmin, 4160, 0, QuenScInstanceClearCustomFieldRead, QuenScInstanceClearCustomFieldWork},
    {"PolicyStore", kAdmin, 5030, 0, QuenScPolicyStoreRead, QuenScPolicyStoreWork},
    {"PolicyRetrieve", kAny, 5000, 0, QuenScPolicyRetrieveRead, QuenScPolicyRetrieveWork},
    {"PolicyRetrieveHostOnly", kAny, 5000, 0, QuenScReadQuenUidArg, QuenScPolicyRetrieveHostOnlyWork},
    {"PolicyAdminRetrieve", kStaff, 5000, 0, QuenScPolicyAdminRetrieveRead, QuenScPolicyAdminRetrieveWork},
    {"PolicyPublish", kAdmin, 5040, 0, QuenScReadQuenUidArg, QuenScPolicyPublishWork},
    {"UserDataAddToQuen", kAdmin, 5050, 0, QuenScUserDataAddToQuenRead, QuenScUserDataAddWork},
    {"UserDataAddToPackage", kAdmin, 5060, 0, QuenScUserDataAddToPackageRead, QuenScUserDataAddWork},
    {"UserDataRemoveFromQuen", kAdmin, 5070, 0, QuenScUserDataRemoveFromQuenRead, QuenScUserDataRemoveWork},
    {"UserDataRemoveFromPackage", kAdmin, 5080, 0, QuenScUserDataRemoveFromPackageRead, QuenScUserDataRemoveWork},
    {"UserDataListByQuen", kAdmin, 5000, 0, QuenScUserDataQuenArgRead, QuenScUserDataListByQuenWork},
    {"UserDataListByPackage", kAdmin, 5000, 0, QuenScUserDataPackageArgRead, QuenScUserDataListByPackageWork},
    {"UserDataQuery", kAny, 5000, 0, QuenScUserDataPackageArgRead, QuenScUserDataQueryWork},
    {"MacPoolAdd", kAdmin, 5090, 0, QuenScMacPoolAddRead, QuenScMacPoolAddWork},
    {"MacPoolRemove", kAdmin, 5100, 0, QuenScMacPoolRemoveRead, QuenScMacPoolRemoveWork},
    {"MacPoolQuery", kAdmin, 5000, 0, QuenScMacPoolQueryRead, QuenScMacPoolQueryWork},
    {"MacAddressRequest", kAny, 4150, 0, QuenScMacAddressRequestRead, QuenScMacAddressRequestWork},
    {"Echo", kAny, 10, QUENSC_FRAME_NO_STORE | QUENSC_FRAME_NO_EVENT, ReadEcho, Echo},
};

constexpr int kMethodCount = sizeof kDefs / sizeof kDefs[0];
static_assert(kMethodCount == 58, "the exported table has 58 methods");

/* The host calls a handler without saying which row it came from: one
 * trampoline per row. */
template <int N>
xmlrpc_value *Handler(xmlrpc_env *env, xmlrpc_value *params, void *server)
{
    return QuenScRunFrame(&kDefs[N], env, params, server);
}

template <int... N>
constexpr auto MakeTable(std::integer_sequence<int, N...>)
{
    struct Table {
        QuenScMethod rows[sizeof...(N) + 1];
    };
    return Table{{{Handler<N>, kDefs[N].name, "", ""}..., {nullptr, nullptr, nullptr, nullptr}}};
}

} // namespace

extern "C" {
__attribute__((visibility("default"))) QuenScMethod methods[kMethodCount + 1] = {};
}

namespace {
/* Fills the exported table at load time from the definitions above. */
struct TableFiller {
    TableFiller()
    {
        static const auto table = MakeTable(std::make_integer_sequence<int, kMethodCount>{});
        for (int i = 0; i <= kMethodCount; i++)
            methods[i] = table.rows[i];
    }
} g_fillTable;
} // namespace

