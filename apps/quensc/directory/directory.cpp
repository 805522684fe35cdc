/* Directory services. The directory client is not part of this build yet:
 * every operation fails the way an unreachable directory fails, so callers
 * take their error paths and nothing is reported as success. */
#include "directory/directory.h"

#include "frame/log.h"

namespace {
int Unreachable(const char *operation)
{
    QuenScLogError("%s() cannot connect: the directory client is not available in this build", operation);
    return QUENSC_LDAP_CONNECT_FAILED;
}
} // namespace

int QuenScLdapAuthenticateUser(i_ctx *, const char *, const char *, const char *, char **userDn,
                               char **userPrincipalName)
{
    if (userDn)
        *userDn = nullptr;
    if (userPrincipalName)
        *userPrincipalName = nullptr;
    return Unreachable("QuenScLdapAuthenticateUser");
}

int QuenScLdapIsMember(i_ctx *, const char *, const char *) { return Unreachable("QuenScLdapIsMember"); }

int QuenScLdapCheckObject(i_ctx *, const char *) { return Unreachable("QuenScLdapCheckObject"); }

int QuenScLdapChangePassword(i_ctx *, const char *, const char *, const char *, const char *, const char *)
{
    return Unreachable("QuenScLdapChangePassword");
}

char *QuenScNetbiosToDnsDomain(i_ctx *, const char *)
{
    Unreachable("QuenScNetbiosToDnsDomain");
    return nullptr;
}
