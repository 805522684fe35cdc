/* Tests of the directory checks' pure parts: the naming context of a
 * domain and the translation of LDAP results into the tool's codes. */
#include "ldapCheck.h"

#include "qcfgCodes.h"

#include <gtest/gtest.h>

namespace {

TEST(LdapCheck, DomainToDn)
{
    const struct {
        const char *domain;
        const char *dn;
    } cases[] = {
        {"example", "dc=example"},
        {"example.test", "dc=example,dc=test"},
        {"a.b.c", "dc=a,dc=b,dc=c"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(QcfgLDAP_DomainToDn(c.domain), c.dn) << c.domain;
    EXPECT_EQ(QcfgLDAP_DomainToDn(std::string(2000, 'x')), "");
}

TEST(LdapCheck, TranslateCode)
{
    const struct {
        int ldap;
        int expected;
    } cases[] = {
        {0, QCFG_OK},
        {51, QCFG_ERR_LDAP_BUSY},
        {52, QCFG_ERR_LDAP_UNAVAILABLE},
        {81, QCFG_ERR_LDAP_SERVER_DOWN},
        {85, QCFG_ERR_LDAP_TIMEOUT},
        {90, QCFG_ERR_LDAP_NO_MEMORY},
        {49, QCFG_ERR_LDAP_USER_BIND},
    };
    for (const auto &c : cases)
        EXPECT_EQ(QcfgLDAP_TranslateCode(c.ldap, QCFG_ERR_LDAP_USER_BIND), c.expected) << c.ldap;
}

} // namespace
