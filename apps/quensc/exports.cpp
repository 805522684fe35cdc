/* The exports of libquensc.so (init, methods, postReqHandler,
 * QuenSc_XmlRpcRegistryLock, and QuenSc_Status for the host's health and
 * metrics pages; see host.h) and the method table behind
 * methods: one row per XML-RPC method with its access mask, audit event
 * type, frame flags and argument record size, run through the request
 * frame. The read and work functions and the argument records live in
 * their rooms: frame/frameMethods.h for the frame's own methods,
 * service/serviceMethods.h for the managed objects. */
#include "frame/codes.h"
#include "frame/frame.h"
#include "frame/frameMethods.h"
#include "frame/managerAuth.h"
#include "service/serviceMethods.h"
#include "startup.h"

#include <utility>

namespace {

constexpr int kAny = QUENSC_ACCESS_ANY;
constexpr int kAdmin = QUENSC_ACCESS_ADMIN;
constexpr int kStaff = QUENSC_ACCESS_ADMIN | QUENSC_ACCESS_HELPDESK;

constexpr int kOpenClose = QUENSC_FRAME_NO_SESSION | QUENSC_FRAME_NO_STORE;

/* Methods that write nothing of their own (read through their code: no
 * table writes, no change to the caller's session); every other row is a
 * writer. */
constexpr int kRead = QUENSC_FRAME_READ_ONLY;

/* In the order of the exported table. */
const QuenScMethodDef kDefs[] = {
    {"SessionOpen", kAny, QUENSC_EVT_AUTHENTICATION, kOpenClose | QUENSC_FRAME_QUIET_READ, sizeof(QuenScSessionOpenArgs), QuenScSessionOpenRead, QuenScSessionOpenWork},
    {"SessionClose", kAny, QUENSC_EVT_AUTHENTICATION, kOpenClose, sizeof(QuenScSessionCloseArgs), QuenScSessionCloseRead, QuenScSessionCloseWork},
    {"SslCertsRetrieve", kAny, QUENSC_EVT_AUTHENTICATION, kRead, 0, nullptr, QuenScSslCertsRetrieveWork},
    {"AuthenticateManager", kAny, QUENSC_EVT_MANAGER_AUTHENTICATE, 0, sizeof(QuenScAuthenticateManagerArgs), QuenScCredentialAt1Read, QuenScAuthenticateManagerWork},
    {"LdapUserChangePassword", kAny, QUENSC_EVT_LDAP_CHANGE_PASSWORD, 0, sizeof(QuenScLdapUserChangePasswordArgs), QuenScLdapUserChangePasswordRead, QuenScLdapUserChangePasswordWork},
    {"QuenCreate", kAdmin, QUENSC_EVT_QUEN_CREATE, 0, sizeof(QuenScQuenCreateArgs), QuenScQuenCreateRead, QuenScQuenCreateWork},
    {"QuenDestroy", kAdmin, QUENSC_EVT_QUEN_DESTROY, 0, sizeof(QuenScQuenUidArgs), QuenScReadQuenUidArg, QuenScQuenDestroyWork},
    {"QuenDestroyPreview", kAdmin, QUENSC_EVT_QUEN_ADMIN, 0, sizeof(QuenScQuenUidArgs), QuenScReadQuenUidArg, QuenScQuenDestroyPreviewWork},
    {"QuenInfo", kStaff, QUENSC_EVT_QUEN_ADMIN, kRead, sizeof(QuenScQuenUidArgs), QuenScReadQuenUidArg, QuenScQuenInfoWork},
    {"QuenUpdate", kAdmin, QUENSC_EVT_QUEN_UPDATE, 0, sizeof(QuenScQuenUpdateArgs), QuenScQuenUpdateRead, QuenScQuenUpdateWork},
    {"QuenQuery", kStaff, QUENSC_EVT_QUEN_ADMIN, kRead, 0, nullptr, QuenScQuenQueryWork},
    {"PackageCreate", kAdmin, QUENSC_EVT_PACKAGE_CREATE, 0, sizeof(QuenScPackageCreateArgs), QuenScPackageCreateRead, QuenScPackageCreateWork},
    {"PackageUpdate", kAdmin, QUENSC_EVT_PACKAGE_UPDATE, 0, sizeof(QuenScPackageUpdateArgs), QuenScPackageUpdateRead, QuenScPackageUpdateWork},
    {"PackageInfo", kStaff, QUENSC_EVT_PACKAGE_ADMIN, kRead, sizeof(QuenScPackageUidArgs), QuenScReadPackageUidArg, QuenScPackageInfoWork},
    {"PackageQuery", kStaff, QUENSC_EVT_PACKAGE_ADMIN, kRead, sizeof(QuenScQuenUidArgs), QuenScReadQuenUidArg, QuenScPackageQueryWork},
    {"AccessAdd", kAdmin, QUENSC_EVT_ACCESS_ADD, 0, sizeof(QuenScAccessAddArgs), QuenScAccessAddRead, QuenScAccessAddWork},
    {"AccessRemove", kAdmin, QUENSC_EVT_ACCESS_REMOVE, 0, sizeof(QuenScAccessRemoveArgs), QuenScAccessRemoveRead, QuenScAccessRemoveWork},
    {"AccessQuery", kStaff, QUENSC_EVT_POLICY_ADMIN, kRead, sizeof(QuenScAccessQueryArgs), QuenScAccessQueryRead, QuenScAccessQueryWork},
    {"InstanceCreate", kAny, QUENSC_EVT_INSTANCE_CREATE, 0, sizeof(QuenScInstanceCreateArgs), QuenScInstanceCreateRead, QuenScInstanceCreateWork},
    {"InstanceCopy", kAny, QUENSC_EVT_INSTANCE_COPY, 0, sizeof(QuenScInstanceCopyArgs), QuenScInstanceCopyRead, QuenScInstanceCopyWork},
    {"InstanceInfo", kAny, QUENSC_EVT_INSTANCE_ADMIN, kRead, sizeof(QuenScInstanceUidArgs), QuenScReadInstanceUidArg, QuenScInstanceInfoWork},
    {"InstanceRevoke", kStaff, QUENSC_EVT_INSTANCE_REVOKE, 0, sizeof(QuenScInstanceUidArgs), QuenScReadInstanceUidArg, QuenScInstanceRevokeWork},
    {"InstanceDelete", kAdmin, QUENSC_EVT_INSTANCE_DELETE, 0, sizeof(QuenScInstanceUidArgs), QuenScReadInstanceUidArg, QuenScInstanceDeleteWork},
    {"InstanceEnable", kAny, QUENSC_EVT_INSTANCE_ENABLE, 0, sizeof(QuenScInstanceEnableArgs), QuenScInstanceEnableRead, QuenScInstanceEnableWork},
    {"InstanceGetState", kAny, QUENSC_EVT_INSTANCE_ADMIN, kRead, sizeof(QuenScInstanceUidArgs), QuenScReadInstanceUidArg, QuenScInstanceGetStateWork},
    {"InstanceSetPassword", kStaff, QUENSC_EVT_INSTANCE_SET_PASSWORD, 0, sizeof(QuenScInstanceSetPasswordArgs), QuenScInstanceSetPasswordRead, QuenScInstanceSetPasswordWork},
    {"InstanceChangePassword", kAny, QUENSC_EVT_INSTANCE_CHANGE_PASSWORD, 0, sizeof(QuenScInstanceChangePasswordArgs), QuenScInstanceChangePasswordRead, QuenScInstanceChangePasswordWork},
    {"InstanceSetGuestInfo", kAny, QUENSC_EVT_INSTANCE_SET_GUEST_INFO, 0, sizeof(QuenScInstanceSetGuestInfoArgs), QuenScInstanceSetGuestInfoRead, QuenScInstanceSetGuestInfoWork},
    {"InstanceSetHostInfo", kAny, QUENSC_EVT_INSTANCE_SET_HOST_INFO, 0, sizeof(QuenScInstanceSetHostInfoArgs), QuenScInstanceSetHostInfoRead, QuenScInstanceSetHostInfoWork},
    {"InstanceVerify", kAny, QUENSC_EVT_INSTANCE_ADMIN, 0, sizeof(QuenScInstanceUidArgs), QuenScReadInstanceUidArg, QuenScInstanceVerifyWork},
    {"InstanceGetKey", kAny, QUENSC_EVT_INSTANCE_GET_KEY, 0, sizeof(QuenScInstanceGetKeyArgs), QuenScInstanceGetKeyRead, QuenScInstanceGetKeyWork},
    {"InstanceSetExpiration", kStaff, QUENSC_EVT_INSTANCE_SET_EXPIRATION, 0, sizeof(QuenScInstanceSetExpirationArgs), QuenScInstanceSetExpirationRead, QuenScInstanceSetExpirationWork},
    {"InstanceSetCopyProtectionId", kStaff, QUENSC_EVT_INSTANCE_SET_COPY_PROTECTION_ID, 0, sizeof(QuenScInstanceSetCopyProtectionIdArgs), QuenScInstanceSetCopyProtectionIdRead, QuenScInstanceSetCopyProtectionIdWork},
    {"InstanceQueryExt", kStaff, QUENSC_EVT_INSTANCE_ADMIN, kRead, sizeof(QuenScInstanceQueryArgs), QuenScInstanceQueryRead, QuenScInstanceQueryExtWork},
    {"InstanceQueryCount", kStaff, QUENSC_EVT_INSTANCE_ADMIN, kRead, sizeof(QuenScInstanceQueryArgs), QuenScInstanceQueryRead, QuenScInstanceQueryCountWork},
    {"InstanceSetCustomField", kAny, QUENSC_EVT_INSTANCE_SET_CUSTOM_FIELD, 0, sizeof(QuenScInstanceSetCustomFieldArgs), QuenScInstanceSetCustomFieldRead, QuenScInstanceSetCustomFieldWork},
    {"InstanceSetAllCustomFields", kAny, QUENSC_EVT_INSTANCE_SET_ALL_CUSTOM_FIELDS, 0, sizeof(QuenScInstanceSetAllCustomFieldsArgs), QuenScInstanceSetAllCustomFieldsRead, QuenScInstanceSetAllCustomFieldsWork},
    {"InstanceSetCustomFieldName", kAdmin, QUENSC_EVT_INSTANCE_SET_CUSTOM_FIELD_NAME, 0, sizeof(QuenScInstanceSetCustomFieldNameArgs), QuenScInstanceSetCustomFieldNameRead, QuenScInstanceSetCustomFieldNameWork},
    {"InstanceGetCustomFieldName", kStaff, QUENSC_EVT_INSTANCE_ADMIN, kRead, sizeof(QuenScCustomFieldNumberArgs), QuenScCustomFieldNumberRead, QuenScInstanceGetCustomFieldNameWork},
    {"InstanceGetAllCustomFieldNames", kStaff, QUENSC_EVT_INSTANCE_ADMIN, kRead, 0, nullptr, QuenScInstanceGetAllCustomFieldNamesWork},
    {"InstanceClearCustomField", kAdmin, QUENSC_EVT_INSTANCE_CLEAR_CUSTOM_FIELD, 0, sizeof(QuenScCustomFieldNumberArgs), QuenScInstanceClearCustomFieldRead, QuenScInstanceClearCustomFieldWork},
    {"PolicyStore", kAdmin, QUENSC_EVT_POLICY_STORE, 0, sizeof(QuenScPolicyStoreArgs), QuenScPolicyStoreRead, QuenScPolicyStoreWork},
    {"PolicyRetrieve", kAny, QUENSC_EVT_POLICY_ADMIN, 0, sizeof(QuenScPolicyRetrieveArgs), QuenScPolicyRetrieveRead, QuenScPolicyRetrieveWork},
    {"PolicyRetrieveHostOnly", kAny, QUENSC_EVT_POLICY_ADMIN, kRead, sizeof(QuenScQuenUidArgs), QuenScReadQuenUidArg, QuenScPolicyRetrieveHostOnlyWork},
    {"PolicyAdminRetrieve", kStaff, QUENSC_EVT_POLICY_ADMIN, kRead, sizeof(QuenScPolicyAdminRetrieveArgs), QuenScPolicyAdminRetrieveRead, QuenScPolicyAdminRetrieveWork},
    {"PolicyPublish", kAdmin, QUENSC_EVT_POLICY_PUBLISH, 0, sizeof(QuenScQuenUidArgs), QuenScReadQuenUidArg, QuenScPolicyPublishWork},
    {"UserDataAddToQuen", kAdmin, QUENSC_EVT_USER_DATA_ADD_TO_QUEN, 0, sizeof(QuenScUserDataArgs), QuenScUserDataAddToQuenRead, QuenScUserDataAddWork},
    {"UserDataAddToPackage", kAdmin, QUENSC_EVT_USER_DATA_ADD_TO_PACKAGE, 0, sizeof(QuenScUserDataArgs), QuenScUserDataAddToPackageRead, QuenScUserDataAddWork},
    {"UserDataRemoveFromQuen", kAdmin, QUENSC_EVT_USER_DATA_REMOVE_FROM_QUEN, 0, sizeof(QuenScUserDataArgs), QuenScUserDataRemoveFromQuenRead, QuenScUserDataRemoveWork},
    {"UserDataRemoveFromPackage", kAdmin, QUENSC_EVT_USER_DATA_REMOVE_FROM_PACKAGE, 0, sizeof(QuenScUserDataArgs), QuenScUserDataRemoveFromPackageRead, QuenScUserDataRemoveWork},
    {"UserDataListByQuen", kAdmin, QUENSC_EVT_POLICY_ADMIN, kRead, sizeof(QuenScUserDataArgs), QuenScUserDataQuenArgRead, QuenScUserDataListByQuenWork},
    {"UserDataListByPackage", kAdmin, QUENSC_EVT_POLICY_ADMIN, kRead, sizeof(QuenScUserDataArgs), QuenScUserDataPackageArgRead, QuenScUserDataListByPackageWork},
    {"UserDataQuery", kAny, QUENSC_EVT_POLICY_ADMIN, kRead, sizeof(QuenScUserDataArgs), QuenScUserDataPackageArgRead, QuenScUserDataQueryWork},
    {"MacPoolAdd", kAdmin, QUENSC_EVT_MAC_POOL_ADD, 0, sizeof(QuenScMacPoolAddArgs), QuenScMacPoolAddRead, QuenScMacPoolAddWork},
    {"MacPoolRemove", kAdmin, QUENSC_EVT_MAC_POOL_REMOVE, 0, sizeof(QuenScMacPoolRemoveArgs), QuenScMacPoolRemoveRead, QuenScMacPoolRemoveWork},
    {"MacPoolQuery", kAdmin, QUENSC_EVT_POLICY_ADMIN, kRead, sizeof(QuenScMacPoolQueryArgs), QuenScMacPoolQueryRead, QuenScMacPoolQueryWork},
    {"MacAddressRequest", kAny, QUENSC_EVT_MAC_ADDRESS_REQUEST, 0, sizeof(QuenScMacAddressRequestArgs), QuenScMacAddressRequestRead, QuenScMacAddressRequestWork},
    {"Echo", kAny, QUENSC_EVT_HANDLER, QUENSC_FRAME_NO_STORE | QUENSC_FRAME_NO_EVENT | kRead, sizeof(QuenScEchoArgs), QuenScEchoRead, QuenScEchoWork},
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

extern "C" {

__attribute__((visibility("default"))) QuenScServer *init(void *, const char *configPath, QuenScHostServer *host)
{
    return QuenScStartup(configPath, host);
}

__attribute__((visibility("default"))) void postReqHandler(QuenScServer *server) { QuenScAfterRequest(server); }

__attribute__((visibility("default"))) int QuenSc_XmlRpcRegistryLock(QuenScServer *server, int lock)
{
    return QuenScRegistryLock(server, lock);
}

__attribute__((visibility("default"))) void QuenSc_Status(QuenScServer *server, int probeDatabase,
                                                         QuenScStatus *out)
{
    QuenScStatusRead(server, probeDatabase, out);
}

} // extern "C"
