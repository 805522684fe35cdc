/* Manager authentication and authorisation: security check, password hash
 * and check. */
#include "frame/managerAuth.h"

#include "policydb/dbcrypto.h"
#include "frame/log.h"

#include "qcrypt.h"

#include <apr_strings.h>

#include <cstdlib>
#include <cstring>

int QuenScSecurityCheck(i_ctx *, const QuenScSession *session, const char *method, int mask)
{
    if ((mask & QUENSC_ACCESS_ANY) || ((mask & QUENSC_ACCESS_ADMIN) && QuenScSessionIsAdministrator(session)) ||
        ((mask & QUENSC_ACCESS_HELPDESK) && QuenScSessionIsHelpdesk(session)))
        return QUENSC_OK;
    QuenScLogInfo("Security check failed for handler: %s", method);
    return QUENSC_INSUFFICIENT_PRIVILEGES;
}

char *QuenScPasswordHash(apr_pool_t *pool, const char *salt, const char *password)
{
    const QCryptHashAlg *alg = nullptr;
    int rc = QCrypt_FindHash("SHA-1", &alg);
    if (rc != 0) {
        QuenScLogError("Error: Could not find sha1 hash object: %s", QCrypt_ErrorText(rc));
        return nullptr;
    }
    QCryptHashState *state = QCrypt_HashCreate(alg);
    if (!state) {
        QuenScLogError("Error: Could not create crypto hash state");
        return nullptr;
    }
    size_t size = QCrypt_HashSize(alg);
    auto *digest = static_cast<unsigned char *>(apr_pcalloc(pool, size + 1));
    if (salt && *salt)
        QCrypt_HashUpdate(state, salt, strlen(salt));
    if (password && *password)
        QCrypt_HashUpdate(state, password, strlen(password));
    rc = QCrypt_HashFinish(state, digest, size);
    if (rc != 0) {
        QuenScLogError("Error: hashing failed: %s", QCrypt_ErrorText(rc));
        return nullptr;
    }
    char *text = PolDb_Base64Encode(digest, size);
    if (!text) {
        QuenScLogError("Error: failed to base64 encode hash");
        return nullptr;
    }
    char *out = apr_pstrdup(pool, text);
    free(text);
    return out;
}

int QuenScCheckPasswordHash(i_ctx *ctx, const char *salt, const char *password, const char *storedHash)
{
    if (!password || !storedHash)
        return QUENSC_AUTHENTICATION_FAILED;
    const char *hash = QuenScPasswordHash(ctx->pool, salt, password);
    if (!hash || apr_strnatcmp(hash, storedHash) != 0)
        return QUENSC_AUTHENTICATION_FAILED;
    return QUENSC_OK;
}
