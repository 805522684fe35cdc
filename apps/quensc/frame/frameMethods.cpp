/* The methods of the server frame itself: SessionOpen, SessionClose, Echo,
 * AuthenticateManager and SslCertsRetrieve. Their rows are in the method
 * table (exports.cpp); they run through the request frame like every other
 * method. */
#include "frame/frameMethods.h"

#include "directory/directory.h"
#include "frame/log.h"
#include "frame/managerAuth.h"

#include <apr_strings.h>

/* ---- SessionOpen / SessionClose ------------------------------------------- */

int QuenScSessionOpenRead(QuenScCall *call)
{
    auto *a = QuenScArgs<QuenScSessionOpenArgs>(call);
    QuenScReadInt(call->env, call->params, 0, &a->version);
    return QuenScReadStatus(call);
}

int QuenScSessionOpenWork(QuenScCall *call)
{
    auto *a = QuenScArgs<QuenScSessionOpenArgs>(call);
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

int QuenScSessionCloseRead(QuenScCall *call)
{
    auto *a = QuenScArgs<QuenScSessionCloseArgs>(call);
    QuenScReadString(call->env, call->params, 0, call->ctx->pool, &a->id);
    return QuenScReadStatus(call);
}

int QuenScSessionCloseWork(QuenScCall *call)
{
    return QuenScSessionRemove(call->ctx, QuenScArgs<QuenScSessionCloseArgs>(call)->id);
}

/* ---- Echo --------------------------------------------------------------------- */

int QuenScEchoRead(QuenScCall *call)
{
    auto *a = QuenScArgs<QuenScEchoArgs>(call);
    QuenScReadString(call->env, call->params, 1, call->ctx->pool, &a->text);
    return QuenScReadStatus(call);
}

int QuenScEchoWork(QuenScCall *call)
{
    QuenScAppendString(call->values, QuenScArgs<QuenScEchoArgs>(call)->text);
    return QUENSC_OK;
}

/* ---- AuthenticateManager -------------------------------------------------------- */

int QuenScCredentialAt1Read(QuenScCall *call)
{
    auto *a = QuenScArgs<QuenScAuthenticateManagerArgs>(call);
    QuenScReadCredential(call->env, call->params, 1, call->ctx->pool, &a->cred);
    return QuenScReadStatus(call);
}

namespace {

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

} // namespace

int QuenScAuthenticateManagerWork(QuenScCall *call)
{
    const QuenScCredential *cred = &QuenScArgs<QuenScAuthenticateManagerArgs>(call)->cred;
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

int QuenScSslCertsRetrieveWork(QuenScCall *call)
{
    const QuenScServer *s = call->ctx->server;
    const char *text = "";
    if (s->serverCertificate)
        text = apr_pstrcat(call->ctx->pool, s->serverCertificate, s->certificateChain ? s->certificateChain : "",
                           nullptr);
    QuenScAppendString(call->values, text);
    return QUENSC_OK;
}


