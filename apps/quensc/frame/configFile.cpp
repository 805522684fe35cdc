/* The configuration file's XML handling and key table, shared by the
 * server's reader and the configuration tool (configFile.h). */
#include "frame/configFile.h"

#include <apr_file_io.h>
#include <apr_strings.h>

#include <cstring>

namespace {

const int S = QUENSC_CONFIG_BY_SERVER;
const int T = QUENSC_CONFIG_BY_TOOL;
const int W = QUENSC_CONFIG_WRITTEN;

} // namespace

const QuenScConfigKey QuenScConfigKeys[] = {
    {"global", "configuration_version", S | T | W},
    {"global", "use_ldap", S | T | W},
    {"global", "db_type", S | T | W},
    {"global", "session_ttl", S | T | W},
    {"global", "session_reap_cycle", S | T | W},
    {"global", "lock_file", S | T}, /* read by both, never written */
    {"sqlite", "db_file", S | T | W},
    {"sqlite", "lock_file", S | T | W},
    {"odbc", "dsn", S | T | W},
    {"odbc", "username", S | T | W},
    {"odbc", "password", S | T | W},
    {"odbc", "lock_file", S | T | W},
    {"ssl", "cert", S | T | W},
    {"ssl", "cert_chain", S | T | W},
    {"ldap", "host", S | T | W},
    {"ldap", "ca_file", T | W},
    {"ldap", "secure", S | T | W},
    {"ldap", "search_dn", S}, /* the tool neither sets nor writes it */
    {"krb5", "default_realm", S | T | W},
    {"krb5", "query_user", S | T | W},
    {"krb5", "query_user_pass", S | T | W},
    {"krb5", "conf_file", S | T | W},
    {"krb5", "lock_file", S | T | W},
    {"krb5", "ticket_lifetime", S | T | W},
    {"krb5", "translate_realm", S | T | W},
    {"administrators", "ldap_group", S | T | W},
    {"administrators", "ldap_group_dn", S | T | W},
    {"administrators", "password", S | T | W},
    {"helpdesk", "ldap_group", S | T | W},
    {"helpdesk", "ldap_group_dn", S | T | W},
    {"helpdesk", "password", S | T | W},
    {"logging", "quen_admin", S | T | W},
    {"logging", "package_admin", S | T | W},
    {"logging", "policy_admin", S | T | W},
    {"logging", "instance_admin", S | T | W},
    {"logging", "authentication", S | T | W},
    {"logging", "purge_type", S | T | W},
    {"logging", "purge_value", S | T | W},
};

const size_t QuenScConfigKeyCount = sizeof QuenScConfigKeys / sizeof QuenScConfigKeys[0];

const QuenScConfigKey *QuenScConfigFindKey(const char *section, const char *key, int reader)
{
    for (const QuenScConfigKey &k : QuenScConfigKeys)
        if ((k.readers & reader) && strcmp(k.section, section) == 0 && strcmp(k.key, key) == 0)
            return &k;
    return nullptr;
}

bool QuenScConfigKnownSection(const char *section, int reader)
{
    for (const QuenScConfigKey &k : QuenScConfigKeys)
        if ((k.readers & reader) && strcmp(k.section, section) == 0)
            return true;
    return false;
}

char *QuenScConfigElementText(apr_pool_t *pool, const apr_xml_elem *elem)
{
    size_t length = 0;
    for (const apr_text *t = elem->first_cdata.first; t; t = t->next)
        length += strlen(t->text);
    if (length == 0)
        return nullptr;
    char *text = (char *)apr_palloc(pool, length + 1);
    char *p = text;
    for (const apr_text *t = elem->first_cdata.first; t; t = t->next) {
        size_t n = strlen(t->text);
        memcpy(p, t->text, n);
        p += n;
    }
    *p = '\0';
    return text;
}

bool QuenScConfigSectionEndsWalk(const apr_xml_elem *section)
{
    return !section->first_child && !section->first_cdata.first;
}

QuenScConfigParseResult QuenScConfigFileParse(apr_pool_t *pool, const char *path, const apr_xml_elem **root,
                                              char *reason, size_t reasonSize)
{
    *root = nullptr;
    if (reasonSize)
        reason[0] = '\0';
    apr_file_t *file = nullptr;
    apr_status_t status = apr_file_open(&file, path, APR_FOPEN_READ, APR_FPROT_OS_DEFAULT, pool);
    if (status != APR_SUCCESS) {
        if (reasonSize)
            apr_strerror(status, reason, reasonSize);
        return QUENSC_CONFIG_OPEN_FAILED;
    }
    apr_xml_parser *parser = apr_xml_parser_create(pool);
    apr_xml_doc *doc = nullptr;
    for (;;) {
        char buffer[8192];
        apr_size_t got = sizeof buffer;
        status = apr_file_read(file, buffer, &got);
        if (APR_STATUS_IS_EOF(status))
            break;
        if (status != APR_SUCCESS) {
            /* it opened but cannot be read through (a folder, an I/O
             * error): as good as not opened */
            apr_file_close(file);
            if (reasonSize)
                apr_strerror(status, reason, reasonSize);
            return QUENSC_CONFIG_OPEN_FAILED;
        }
        if (apr_xml_parser_feed(parser, buffer, got) != APR_SUCCESS) {
            apr_file_close(file);
            apr_xml_parser_geterror(parser, reason, reasonSize);
            return QUENSC_CONFIG_PARSE_FAILED;
        }
    }
    apr_file_close(file);
    if (apr_xml_parser_done(parser, &doc) != APR_SUCCESS) {
        apr_xml_parser_geterror(parser, reason, reasonSize);
        return QUENSC_CONFIG_PARSE_FAILED;
    }
    const apr_xml_elem *top = doc ? doc->root : nullptr;
    if (!top || QuenScConfigSectionEndsWalk(top))
        return QUENSC_CONFIG_EMPTY_ROOT;
    *root = top;
    return QUENSC_CONFIG_PARSED;
}

namespace {

/* Length of the well-formed UTF-8 sequence at p that XML 1.0 allows as a
 * character, or 0. */
size_t XmlCharLength(const unsigned char *p)
{
    unsigned c = p[0];
    if (c < 0x80)
        return (c >= 0x20 || c == '\t' || c == '\n' || c == '\r') ? 1 : 0;
    size_t n;
    unsigned cp;
    if ((c & 0xE0) == 0xC0) {
        n = 2;
        cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        n = 3;
        cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        n = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    for (size_t i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    static const unsigned kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF) || cp == 0xFFFE || cp == 0xFFFF)
        return 0;
    return n;
}

} // namespace

char *QuenScConfigEscapeText(apr_pool_t *pool, const char *value)
{
    if (!value)
        return apr_pstrdup(pool, "");
    size_t length = 0;
    for (const unsigned char *p = (const unsigned char *)value; *p;) {
        size_t n = XmlCharLength(p);
        if (n == 0)
            return nullptr;
        length += n == 1 ? 6 : n; /* no entity is longer than 6 */
        p += n;
    }
    char *out = (char *)apr_palloc(pool, length + 1);
    char *o = out;
    for (const unsigned char *p = (const unsigned char *)value; *p;) {
        size_t n = XmlCharLength(p);
        const char *entity = nullptr;
        switch (*p) {
        case '&': entity = "&amp;"; break;
        case '<': entity = "&lt;"; break;
        case '>': entity = "&gt;"; break;
        case '"': entity = "&quot;"; break;
        case '\'': entity = "&apos;"; break;
        case '\t': entity = "&#9;"; break;
        case '\n': entity = "&#10;"; break;
        case '\r': entity = "&#13;"; break;
        default: break;
        }
        if (entity) {
            size_t e = strlen(entity);
            memcpy(o, entity, e);
            o += e;
        } else {
            memcpy(o, p, n);
            o += n;
        }
        p += n;
    }
    *o = '\0';
    return out;
}
