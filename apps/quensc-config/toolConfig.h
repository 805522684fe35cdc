/* The configuration file, the tool's side: its defaults, its reader (with
 * the tool's own walk rules and version upgrades) and its writer. All three
 * work on the session values (session.h), named section/key.
 *
 * The file is P + "conf/quensc.conf" for the installation path P (which
 * ends in "/"). The two stored secrets (odbc/password, krb5/query_user_pass)
 * are held in clear in the session and obfuscated in the file; the manager
 * passwords are held and written as their 28-character hashes. */
#ifndef QUENSC_CONFIG_TOOLCONFIG_H
#define QUENSC_CONFIG_TOOLCONFIG_H

#include "session.h"

#include <string>

/* Stores the tool's defaults (paths under P, translate_realm "1", secure
 * "1") where the value is missing or empty. False for an empty path, and
 * ("\t\tSetDefaultSetting Failed: Invalid QUENSCPath") for one that does not
 * end in "/". */
bool SetDefaultSetting(QcfgSession &s, const std::string &path);

/* Reads P/conf/quensc.conf into the session: stops at the first empty
 * section, skips unknown sections and keys, keeps a value where its element
 * has no text, marks the help-desk role enabled when the section is read,
 * turns the five logging levels into names and purge seconds into days,
 * fills the purge defaults, upgrades the content to version 3 and
 * de-obfuscates the two secrets. True only when the file was read and the
 * upgrade succeeded: the server counts as configured. */
bool ReadConfigFile(QcfgSession &s, const std::string &path);

/* Writes the whole file from the session values as version 3, in the fixed
 * layout and key order, the secrets obfuscated, values escaped so that both
 * readers get them back unchanged. The file is replaced at once (a
 * temporary file and a rename, mode 0640), so a failure leaves the old one.
 * False when the key cannot be created, a value cannot be carried by XML,
 * or the file cannot be written (each logged). */
bool WriteConfigFile(QcfgSession &s, const std::string &path);

/* The level name of a digit ("0" None ... "4" Debug); "Normal" for
 * anything else. */
const char *QcfgLevelName(const std::string &digit);
/* The digit of a level name; "2" for anything else. */
const char *QcfgLevelDigit(const std::string &name);

/* The data hash (Base64 SHA-1, no salt) of password into *hash; false when
 * hashing failed. */
bool QcfgHashPassword(const std::string &password, std::string &hash);

#endif
