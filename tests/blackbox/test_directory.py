"""Directory services over the wire against a real Active Directory domain
controller (Samba, started once per test run by tests/peers/samba.sh) and
small LDAP referral responders on other loopback addresses: manager login
with every account state, nested groups, the order of the user searches,
NetBIOS names, escaped filter values, the channel and certificate rules,
unreachable directories and referral loops."""

import os
import shutil
import subprocess
import sys
import unittest

import service_client
from quensc_harness import Installation
from quensc_install import Build, password_hash

HERE = os.path.dirname(os.path.abspath(__file__))
PEERS = os.path.join(HERE, "..", "peers")
sys.path.insert(0, PEERS)
from ldap_referral import Responder  # noqa: E402


def samba_facts():
    out = subprocess.run(["bash", os.path.join(PEERS, "samba.sh"), "env"], check=True, capture_output=True,
                         text=True).stdout
    facts = {}
    for line in out.splitlines():
        key, _, value = line.partition("=")
        facts[key] = value.strip("'")
    return facts


SAMBA = samba_facts()
BASE = SAMBA["SAMBA_BASE"]
USER_PASS = SAMBA["SAMBA_USER_PASS"]
CLASH_PASS = SAMBA["SAMBA_CLASH_PASS"]
ADMINS = "CN=QuenAdmins,CN=Users," + BASE
HELPDESK = "CN=QuenHelpdesk,CN=Users," + BASE


def obfuscate(secret):
    return subprocess.run([Build.from_dir().quensc_db, "obfuscate"], input=secret, check=True,
                          capture_output=True, text=True).stdout.strip()


def ldap_credential(name, password, domain=""):
    return {"type": 1, "ldap": {"name": name, "pwd": password, "domain": domain}}


class DirectoryServer:
    """An installation in directory mode, started on entry, removed on exit."""

    def __init__(self, host="127.0.0.1", secure=1, ca=SAMBA["SAMBA_CA"], query_pass=SAMBA["SAMBA_QUERY_PASS"]):
        self.install = Installation(sections={
            "global": {"use_ldap": 1},
            "ldap": {"host": host, "secure": secure, "search_dn": BASE},
            "krb5": {"default_realm": SAMBA["SAMBA_REALM"], "query_user": SAMBA["SAMBA_QUERY_USER"],
                     "query_user_pass": obfuscate(query_pass)},
            "administrators": {"ldap_group_dn": ADMINS, "password": password_hash("unused-a")},
            "helpdesk": {"ldap_group_dn": HELPDESK, "password": password_hash("unused-h")},
        })
        if ca:
            shutil.copy(ca, os.path.join(self.install.root, "ssl", "ldap.crt"))

    def __enter__(self):
        try:
            self.install.start()
        except Exception:
            self.install.remove()
            raise
        self.server = self.install.proxy()
        return self

    def __exit__(self, *exc):
        self.install.remove()

    def login(self, credential):
        """The result code of AuthenticateManager on a fresh session."""
        code, session, _ = self.server.SessionOpen(10)
        assert code == 0
        return self.server.AuthenticateManager(session, credential)[0]

    def log(self):
        return self.install.error_log()


class LoginAgainstDomainController(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dc = DirectoryServer().__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.dc.__exit__(None, None, None)

    def test_server_information_announces_the_directory(self):
        code, _, info = self.dc.server.SessionOpen(10)
        self.assertEqual(code, 0)
        self.assertEqual(info["ldap"], {"enabled": 1, "pwdChangeCapable": 1, "secure": 1, "base_dn": BASE})

    def test_group_members_log_in_directly_and_through_nested_groups(self):
        for user in ("admin1", "helper1", "nested1"):
            with self.subTest(user=user):
                self.assertEqual(self.dc.login(ldap_credential(user, USER_PASS)), 0)

    def test_user_in_no_manager_group_is_refused(self):
        self.assertEqual(self.dc.login(ldap_credential("normal", USER_PASS)), 10)
        self.assertIn("is not a member of group: " + HELPDESK, self.dc.log())

    def test_failed_bind_answers_the_account_state(self):
        cases = [("normal", "wrong password", 10), ("disabled", USER_PASS, 11), ("lockedout", USER_PASS, 12),
                 ("acctexpired", USER_PASS, 13), ("mustchange", USER_PASS, 14), ("pwexpired", USER_PASS, 15),
                 ("noexpiry", "wrong password", 10)]
        for user, password, expected in cases:
            with self.subTest(user=user):
                self.assertEqual(self.dc.login(ldap_credential(user, password)), expected)

    def test_user_is_searched_by_principal_then_account_then_common_name(self):
        cases = [("carla", USER_PASS, 0),          # principal name carla@quen.test (account ccommon)
                 ("ccommon", USER_PASS, 0),        # account name
                 ("Carla Common", USER_PASS, 0),   # common name
                 ("clash", CLASH_PASS, 0),         # account "clash" wins over the common name clash
                 ("clash", USER_PASS, 10)]         # ... so the other account's password fails
        for user, password, expected in cases:
            with self.subTest(user=user, password=password):
                self.assertEqual(self.dc.login(ldap_credential(user, password)), expected)

    def test_principal_and_netbios_forms_name_the_same_user(self):
        cases = [ldap_credential("admin1@quen.test", USER_PASS), ldap_credential("QUEN\\admin1", USER_PASS),
                 ldap_credential("quen\\admin1", USER_PASS), ldap_credential("admin1", USER_PASS, "QUEN")]
        for credential in cases:
            with self.subTest(credential=credential["ldap"]):
                self.assertEqual(self.dc.login(credential), 0)

    def test_unknown_netbios_domain_leaves_the_whole_text_as_the_name(self):
        self.assertEqual(self.dc.login(ldap_credential("NOPE\\admin1", USER_PASS)), 10)
        # The error log writes a backslash doubled.
        self.assertIn("user: NOPE\\\\admin1 does not exist in domain: ", self.dc.log())

    def test_filter_characters_in_a_name_find_nobody(self):
        for name in ("*", "a)(cn=*", "*)(objectClass=*", "admin*"):
            with self.subTest(name=name):
                self.assertEqual(self.dc.login(ldap_credential(name, USER_PASS)), 10)
                self.assertIn("user: %s does not exist in domain: " % name, self.dc.log())

    def test_starttls_is_used_and_no_password_is_logged(self):
        self.assertEqual(self.dc.login(ldap_credential("admin1", "a wrong secret")), 10)
        log = self.dc.log()
        self.assertNotIn("Encrypted Channel over LDAP not available", log)
        for secret in ("a wrong secret", USER_PASS, SAMBA["SAMBA_QUERY_PASS"]):
            self.assertNotIn(secret, log)

    def test_empty_password_never_logs_in(self):
        self.assertEqual(self.dc.login(ldap_credential("admin1", "")), 10)

    def test_password_credential_is_refused_in_directory_mode(self):
        self.assertEqual(self.dc.login({"type": 2, "pwd": {"pwd": "unused-a"}}), 5)


def binds(user, password):
    """True when the domain controller accepts user@quen.test with password."""
    env = dict(os.environ, LDAPTLS_CACERT=SAMBA["SAMBA_CA"])
    done = subprocess.run(["ldapsearch", "-x", "-ZZ", "-H", "ldap://127.0.0.1", "-D", user + "@quen.test",
                           "-w", password, "-s", "base", "-b", "", "(objectClass=*)", "dn"],
                          env=env, capture_output=True)
    return done.returncode == 0


def access(dn, name, kind):
    return {"data": dn, "name": name, "type": kind, "useInstanceLimit": 0, "instanceLimit": 0}


class InstancesOwnedByDirectoryUsers(unittest.TestCase):
    """A Quen whose access entries name a directory user and a group, whose
    instances authenticate their owner against the directory."""

    NEW_PASS = "N3w-Pass.2026"

    @classmethod
    def setUpClass(cls):
        cls.dc = DirectoryServer().__enter__()
        try:
            s = cls.dc.server
            cls.admin = s.SessionOpen(10)[1]
            assert s.AuthenticateManager(cls.admin, ldap_credential("admin1", USER_PASS)) == [0]
            assert s.QuenCreate(cls.admin, {"uuid": "dq", "name": "Directory Quen"}) == [0]
            assert s.PolicyStore(cls.admin, "dq", "client", "host",
                                 service_client.policy(instType=1, authType=1, copyPolicy=2)) == [0]
            cls.entries = [s.AccessAdd(cls.admin, "dq", access("CN=changer,CN=Users," + BASE, "Changer", 0)),
                           s.AccessAdd(cls.admin, "dq", access("CN=QuenInner,CN=Users," + BASE, "Inner", 1)),
                           s.AccessAdd(cls.admin, "dq", access("CN=nobody,CN=Users," + BASE, "Nobody", 0))]
            assert s.PolicyPublish(cls.admin, "dq") == [0]
            assert s.PackageCreate(cls.admin, service_client.package("dq-p", "dq")) == [0]
        except Exception:
            cls.dc.__exit__(None, None, None)
            raise

    @classmethod
    def tearDownClass(cls):
        cls.dc.__exit__(None, None, None)

    def create(self, user, password=USER_PASS):
        s = self.dc.server
        return s.InstanceCreate(s.SessionOpen(10)[1], ldap_credential(user, password), "dq-p", "dq key", "cp")

    def test_access_entries_must_name_directory_objects(self):
        self.assertEqual(self.entries, [[0], [0], [43]])
        self.assertIn("LDAP object 'CN=nobody,CN=Users,%s' could not be found on ldap server" % BASE, self.dc.log())

    def test_named_user_and_nested_group_member_create_instances_others_are_denied(self):
        cases = [("changer", 0), ("nested1", 0), ("other", 32)]
        for user, expected in cases:
            with self.subTest(user=user):
                self.assertEqual(self.create(user)[0], expected)
        self.assertEqual(self.create("changer", "wrong password"), [10])

    def test_instance_key_needs_its_owner(self):
        uid = self.create("nested1")[1]
        s = self.dc.server
        self.assertEqual(s.InstanceGetKey(s.SessionOpen(10)[1], ldap_credential("nested1", USER_PASS), uid),
                         [0, "dq key"])
        self.assertEqual(s.InstanceGetKey(s.SessionOpen(10)[1], ldap_credential("changer", USER_PASS), uid),
                         [10])

    def test_owner_changes_directory_password_others_cannot(self):
        code, uid, _ = self.create("changer")
        self.assertEqual(code, 0)
        s = self.dc.server
        client = s.SessionOpen(10)[1]
        self.assertEqual(s.LdapUserChangePassword(client, uid, ldap_credential("other", USER_PASS), self.NEW_PASS),
                         [17])
        self.assertIn("is not owner of instance (CN=changer,CN=Users,%s)" % BASE, self.dc.log())
        self.assertTrue(binds("changer", USER_PASS), "nothing changed for a non-owner")
        self.assertEqual(s.LdapUserChangePassword(client, uid, ldap_credential("changer", "wrong old"),
                                                  self.NEW_PASS), [17])
        self.assertEqual(s.LdapUserChangePassword(client, uid, ldap_credential("changer", USER_PASS),
                                                  self.NEW_PASS), [0])
        self.assertFalse(binds("changer", USER_PASS))
        self.assertTrue(binds("changer", self.NEW_PASS))
        self.assertNotIn(self.NEW_PASS, self.dc.log())


class ChannelRules(unittest.TestCase):
    def test_untrusted_certificate_fails_the_connection(self):
        with DirectoryServer(ca=SAMBA["SAMBA_OTHER_CA"]) as dc:
            self.assertEqual(dc.login(ldap_credential("admin1", USER_PASS)), 40)
            self.assertIn("the directory's certificate was not verified against %s: unable to get local issuer "
                          "certificate" % os.path.join(dc.install.root, "conf", "..", "ssl", "ldap.crt"), dc.log())

    def test_unreachable_directory_answers_40(self):
        with DirectoryServer(host="127.0.0.9") as dc:
            self.assertEqual(dc.login(ldap_credential("admin1", USER_PASS)), 40)
            self.assertIn("Failed to open ldap connection to host: 127.0.0.9", dc.log())

    def test_wrong_query_account_password_answers_40(self):
        with DirectoryServer(query_pass="not the query password") as dc:
            self.assertEqual(dc.login(ldap_credential("admin1", USER_PASS)), 40)
            self.assertIn("QuenScLdapOpen(): Error during bind: Invalid credentials", dc.log())

    def test_refused_starttls_without_ssl_fallback_binds_plain_and_is_refused(self):
        responder = Responder("127.0.0.4", [], refuse_bind=True).start()
        try:
            with DirectoryServer(host="127.0.0.4", secure=0) as dc:
                self.assertEqual(dc.login(ldap_credential("admin1", USER_PASS)), 40)
                log = dc.log()
                self.assertIn("Encrypted Channel over LDAP not available\n", log)
                self.assertIn("Error during bind: Confidentiality required", log)
            with DirectoryServer(host="127.0.0.4", secure=1) as dc:
                self.assertEqual(dc.login(ldap_credential("admin1", USER_PASS)), 40)
                self.assertIn("Encrypted Channel over LDAP not available, using SSL", dc.log())
        finally:
            responder.stop()


class Referrals(unittest.TestCase):
    def test_referral_loop_is_skipped_and_finds_nobody(self):
        a = Responder("127.0.0.2", ["ldap://127.0.0.3/" + BASE]).start()
        b = Responder("127.0.0.3", ["ldap://127.0.0.2/" + BASE]).start()
        try:
            with DirectoryServer(host="127.0.0.2", secure=0) as dc:
                self.assertEqual(dc.login(ldap_credential("admin1", USER_PASS)), 10)
                self.assertIn("Detected a loop (127.0.0.3) in search: '(&(objectClass=user)(userPrincipalName="
                              "admin1@quen.test))', skipping ldap search.", dc.log())
        finally:
            a.stop()
            b.stop()

    def test_dead_referral_stops_the_search(self):
        a = Responder("127.0.0.5", ["ldap://127.0.0.6/" + BASE]).start()
        try:
            with DirectoryServer(host="127.0.0.5", secure=0) as dc:
                self.assertEqual(dc.login(ldap_credential("admin1", USER_PASS)), 10)
                self.assertIn("QuenScLdapSearchS() failed to open LDAP connection to: 127.0.0.6", dc.log())
        finally:
            a.stop()

    def test_user_found_through_a_referral_proves_the_password_to_the_referred_server(self):
        a = Responder("127.0.0.7", ["ldap://127.0.0.1/"]).start()
        try:
            with DirectoryServer(host="127.0.0.7", secure=0) as dc:
                self.assertEqual(dc.login(ldap_credential("admin1", "wrong password")), 10)
                self.assertEqual(dc.login(ldap_credential("admin1", USER_PASS)), 0)
        finally:
            a.stop()


if __name__ == "__main__":
    unittest.main()
