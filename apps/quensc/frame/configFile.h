/* The configuration file's XML, shared by the server's reader (config.cpp)
 * and the configuration tool: opening and parsing the file, the rules of the
 * walk that both readers keep (the text of an element, the section that ends
 * the walk), the table of sections and keys with the reader each belongs to
 * and the order the tool writes them, and the escaping of written values so
 * that both readers get back exactly what was written.
 *
 * Needs only APR and APR-util; logs nothing (each reader words its own
 * lines from the outcome). Thread-safe: no state of its own. */
#ifndef QUENSC_FRAME_CONFIGFILE_H
#define QUENSC_FRAME_CONFIGFILE_H

#include <apr_pools.h>
#include <apr_xml.h>

#include <cstddef>

enum QuenScConfigParseResult {
    QUENSC_CONFIG_PARSED = 0,      /* *root is set and has child elements or text */
    QUENSC_CONFIG_OPEN_FAILED = 1, /* the file cannot be opened or read through */
    QUENSC_CONFIG_PARSE_FAILED = 2,/* not well-formed XML; reason holds the parser's text */
    QUENSC_CONFIG_EMPTY_ROOT = 3,  /* the root has neither child elements nor text */
};

/* Parses the file at path into a document in pool and sets *root to its
 * root element (only on QUENSC_CONFIG_PARSED). On QUENSC_CONFIG_PARSE_FAILED
 * the parser's error text is written to reason (reasonSize bytes, always
 * terminated); on QUENSC_CONFIG_OPEN_FAILED the system's error text is.
 * Everything allocated lives in pool. */
QuenScConfigParseResult QuenScConfigFileParse(apr_pool_t *pool, const char *path, const apr_xml_elem **root,
                                              char *reason, size_t reasonSize);

/* The element's own text with its pieces joined, in pool; null when it has
 * none (an empty element, or one with only child elements). XML's entities
 * and character references are already decoded by the parser. */
char *QuenScConfigElementText(apr_pool_t *pool, const apr_xml_elem *elem);

/* True for a section element with neither child elements nor text: both
 * readers stop their walk there, and read no later section. */
bool QuenScConfigSectionEndsWalk(const apr_xml_elem *section);

/* Which reader knows a key. */
enum {
    QUENSC_CONFIG_BY_SERVER = 1,
    QUENSC_CONFIG_BY_TOOL = 2,
    QUENSC_CONFIG_WRITTEN = 4, /* the tool writes it (in table order) */
};

struct QuenScConfigKey {
    const char *section;
    const char *key;
    int readers; /* QUENSC_CONFIG_BY_SERVER | QUENSC_CONFIG_BY_TOOL | QUENSC_CONFIG_WRITTEN */
};

/* Every key of the file, grouped by section in the order the tool writes
 * them (the sections global, sqlite, odbc, ssl, ldap, krb5, administrators,
 * helpdesk, logging); QuenScConfigKeyCount rows. */
extern const QuenScConfigKey QuenScConfigKeys[];
extern const size_t QuenScConfigKeyCount;

/* The row of section/key known to the given reader, or null. */
const QuenScConfigKey *QuenScConfigFindKey(const char *section, const char *key, int reader);

/* True when some key of the section is known to the reader. */
bool QuenScConfigKnownSection(const char *section, int reader);

/* value as XML element text, in pool: "&" "<" ">" "\"" "'" as entities, tab,
 * line feed and carriage return as character references (so the parser's
 * line-end folding cannot change them). Null when value holds a character
 * that XML 1.0 cannot carry (other control characters, invalid UTF-8): such
 * a value cannot come back unchanged and must not be written. Null value
 * gives "". */
char *QuenScConfigEscapeText(apr_pool_t *pool, const char *value);

#endif
