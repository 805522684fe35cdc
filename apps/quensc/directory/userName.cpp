/* The user-name parser that the directory's callers share: which part of a
 * typed name is the account and which the domain. */
#include "directory/directory.h"

#include "frame/log.h"

#include <apr_strings.h>

#include <cstring>

int QuenParseUser(i_ctx *ctx, const char *user, bool netbiosAllowed, char **name, char **domain, bool *translated)
{
    *name = nullptr;
    *domain = nullptr;
    if (translated)
        *translated = false;
    if (!user)
        return QUENSC_INTERNAL;
    while (*user == '@')
        user++;
    const char *at = strchr(user, '@');
    if (at && at[1]) {
        *name = apr_pstrndup(ctx->pool, user, at - user);
        *domain = apr_pstrdup(ctx->pool, at + 1);
        return QUENSC_OK;
    }
    const char *backslash = strchr(user, '\\');
    if (backslash) {
        if (!netbiosAllowed) {
            QuenScLogError("QuenParseUser() Found a NETBIOS name in a QUERY user");
            return QUENSC_INTERNAL;
        }
        char *netbios = apr_pstrndup(ctx->pool, user, backslash - user);
        char *dnsDomain = QuenScNetbiosToDnsDomain(ctx, netbios);
        if (dnsDomain) {
            *name = apr_pstrdup(ctx->pool, backslash + 1);
            *domain = dnsDomain;
            if (translated)
                *translated = true;
            return QUENSC_OK;
        }
    }
    *name = apr_pstrdup(ctx->pool, user);
    return QUENSC_OK;
}
