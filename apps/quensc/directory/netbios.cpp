/* The NetBIOS name query that turns a NetBIOS domain name into a domain
 * controller's address (UDP port 137 of ldap/host), and the translation of
 * a NetBIOS domain into the naming context of that controller. */
#include "directory/directory.h"

#include "directory/ldapConn.h"
#include "frame/codes.h"
#include "frame/log.h"

#include <apr_lib.h>
#include <apr_network_io.h>
#include <apr_strings.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr size_t kQuerySize = 50;
constexpr size_t kResponseMinimum = 62;
constexpr size_t kReceiveBuffer = 1024;
constexpr size_t kNameLength = 15;
constexpr unsigned char kDomainControllers = 0x1C;
constexpr int kNameType = 0x0020; /* NB */
constexpr apr_port_t kNameServicePort = 137;
constexpr apr_interval_time_t kReceiveTimeout = 3000000;

void Put16(unsigned char *p, unsigned value)
{
    p[0] = static_cast<unsigned char>(value >> 8);
    p[1] = static_cast<unsigned char>(value & 0xFF);
}

unsigned Get16(const unsigned char *p) { return (static_cast<unsigned>(p[0]) << 8) | p[1]; }

void Notice(const char *operation, apr_status_t status)
{
    char text[256];
    QuenScLogInfo("%s: %s", operation, apr_strerror(status, text, sizeof text));
}

} // namespace

int QuenScNetbiosCreateQuery(i_ctx *ctx, const char *name, unsigned char **packet, size_t *length)
{
    auto *p = static_cast<unsigned char *>(apr_pcalloc(ctx->pool, kQuerySize));
    Put16(p + 2, 0x0100); /* recursion desired, a query, not broadcast */
    Put16(p + 4, 1);      /* one question */
    unsigned char padded[16];
    memset(padded, ' ', sizeof padded);
    for (size_t i = 0; i < kNameLength && name[i]; i++)
        padded[i] = static_cast<unsigned char>(apr_toupper(name[i]));
    padded[15] = kDomainControllers;
    p[12] = 0x20;
    for (int i = 0; i < 16; i++) {
        p[13 + 2 * i] = static_cast<unsigned char>('A' + (padded[i] >> 4));
        p[14 + 2 * i] = static_cast<unsigned char>('A' + (padded[i] & 0x0F));
    }
    p[45] = 0;
    Put16(p + 46, kNameType);
    Put16(p + 48, 0x0001); /* IN */
    *packet = p;
    *length = kQuerySize;
    return QUENSC_OK;
}

bool QuenScNetbiosParseResponse(const unsigned char *buffer, size_t length, char address[16])
{
    if (length < kResponseMinimum) {
        QuenScLogInfo("Buffer received is less than expected size (%d > %d)", static_cast<int>(kResponseMinimum),
                      static_cast<int>(length));
        return false;
    }
    unsigned answers = Get16(buffer + 6);
    if (answers != 1) {
        QuenScLogInfo("Invalid answer count (%d != 1)", static_cast<int>(answers));
        return false;
    }
    unsigned type = Get16(buffer + 46);
    if (type != kNameType) {
        QuenScLogInfo("Invalid answer type (%d != %d)", static_cast<int>(type), kNameType);
        return false;
    }
    unsigned dataLength = Get16(buffer + 54);
    if (dataLength < 6) {
        QuenScLogInfo("Invlaid answer data length (%d < %d)", static_cast<int>(dataLength), 6);
        return false;
    }
    apr_snprintf(address, 16, "%d.%d.%d.%d", buffer[58], buffer[59], buffer[60], buffer[61]);
    return true;
}

char *QuenScNetbiosQuery(i_ctx *ctx, const char *host, const char *name)
{
    apr_socket_t *socket = nullptr;
    apr_status_t status = apr_socket_create(&socket, APR_INET, SOCK_DGRAM, APR_PROTO_UDP, ctx->pool);
    if (status != APR_SUCCESS) {
        Notice("apr_socket_create", status);
        return nullptr;
    }
    char *answer = nullptr;
    unsigned char *packet = nullptr;
    size_t length = 0;
    apr_sockaddr_t *server = nullptr;
    QuenScNetbiosCreateQuery(ctx, name, &packet, &length);
    if ((status = apr_sockaddr_info_get(&server, host, APR_INET, kNameServicePort, 0, ctx->pool)) != APR_SUCCESS) {
        Notice("apr_sockaddr_info_get", status);
    } else if ((status = apr_socket_connect(socket, server)) != APR_SUCCESS) {
        Notice("apr_socket_connect", status);
    } else if (apr_size_t sent = length; (status = apr_socket_send(socket, reinterpret_cast<char *>(packet), &sent)) !=
                                         APR_SUCCESS) {
        Notice("apr_socket_send", status);
    } else if ((status = apr_socket_timeout_set(socket, kReceiveTimeout)) != APR_SUCCESS) {
        Notice("apr_socket_timeout_set", status);
    } else {
        unsigned char buffer[kReceiveBuffer] = {};
        apr_size_t received = sizeof buffer;
        status = apr_socket_recv(socket, reinterpret_cast<char *>(buffer), &received);
        if (APR_STATUS_IS_TIMEUP(status) || APR_STATUS_IS_EAGAIN(status)) {
            QuenScLogInfo("Timedout while waiting for response from Netbios name server");
        } else if (status != APR_SUCCESS) {
            Notice("apr_socket_recv", status);
        } else {
            char address[16];
            if (QuenScNetbiosParseResponse(buffer, received, address))
                answer = apr_pstrdup(ctx->pool, address);
        }
    }
    status = apr_socket_shutdown(socket, APR_SHUTDOWN_READWRITE);
    if (status != APR_SUCCESS && status != APR_FROM_OS_ERROR(ENOTCONN))
        Notice("apr_socket_shutdown", status);
    if ((status = apr_socket_close(socket)) != APR_SUCCESS)
        Notice("apr_socket_close", status);
    return answer;
}

char *QuenScNetbiosDomainToNamingContext(i_ctx *ctx, const char *name)
{
    const QuenScConfig *cfg = ctx->server->configuration;
    if (!cfg->global.use_ldap || QuenScIsEmpty(name) || strlen(name) > kNameLength)
        return nullptr;
    char *address = QuenScNetbiosQuery(ctx, cfg->ldap.host ? cfg->ldap.host : "", name);
    if (!address)
        return nullptr;
    auto *conn = static_cast<QuenScLdapConn *>(apr_pcalloc(ctx->pool, sizeof(QuenScLdapConn)));
    conn->host = address;
    if (QuenScLdapOpen(ctx, conn) != QUENSC_OK) {
        QuenScLogInfo("Error opening ldap connection to host: %s", address);
        return nullptr;
    }
    char **values = QuenScLdapGetValues(ctx, conn->handle, "", "defaultNamingContext");
    char *context = values && values[0] ? values[0] : nullptr;
    if (!context)
        QuenScLogInfo("Error getting attribute 'defaultNamingContext' from host %s", address);
    QuenScLdapClose(ctx, conn);
    return context;
}

char *QuenScNetbiosToDnsDomain(i_ctx *ctx, const char *netbiosDomain)
{
    char *context = QuenScNetbiosDomainToNamingContext(ctx, netbiosDomain);
    return context ? QuenScDnToDomain(ctx->pool, context) : nullptr;
}
