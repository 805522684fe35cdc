/* The exports of libquensc.so (init, methods, postReqHandler,
 * QuenSc_XmlRpcRegistryLock, and QuenSc_Status for the host's health and
 * metrics pages; see host.h) and the method table behind
 * methods: one row per XML-RPC method with its access mask, audit event
 * type and frame flags, run through the request frame. The read and work
 * functions live in their rooms: frame/frameMethods.h for the frame's own
 * methods, service/serviceMethods.h for the managed objects. */
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

/* In the order of the exported table. */
const QuenScMethodDef kDefs[] = {
    {"SessionOpen", kAny, 1000, kOpenClose | QUENSC_FRAME_QUIET_READ, QuenScSessionOpenRead, QuenScSessionOpenWork},
    {"SessionClose", kAny, 1000, kOpenClose, QuenScSessionCloseRead, QuenScSessionCloseWork},
    {"SslCertsRetrieve", kAny, 1000, 0, nullptr, QuenScSslCertsRetrieveWork},
    {"AuthenticateManager", kAny, 1010, 0, QuenScCredentialAt1Read, QuenScAuthenticateManagerWork},
    {"LdapUserChangePassword", kAny, 1020, 0, QuenScLdapUserChangePasswordRead, QuenScLdapUserChangePasswordWork},
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
    {"Echo", kAny, 10, QUENSC_FRAME_NO_STORE | QUENSC_FRAME_NO_EVENT, QuenScEchoRead, QuenScEchoWork},
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
