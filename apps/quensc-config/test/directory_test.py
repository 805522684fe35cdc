"""The tool's directory checks through configure, run as the web server runs
it: CheckLDAPData and the directory-mode login against the Samba domain
controller that the directory tests share (tests/peers/samba.sh, started
once per run by the ctest fixture samba), and the directory's failure
answers that no controller gives on demand (busy, unavailable, no answer)
from small LDAP responders (tests/peers/ldap_referral.py) on loopback
addresses of their own, port 389 (root).

Wrong passwords go only to cfgadmin, the peer's account for this test, so
that the server's directory tests running at the same time never see one
of their accounts locked out."""

import os
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
PEERS = os.path.join(HERE, "..", "..", "..", "tests", "peers")
sys.path.insert(0, PEERS)
import cgi_test  # noqa: E402
from ldap_referral import Responder  # noqa: E402


def samba_facts():
    out = subprocess.run(["bash", os.path.join(PEERS, "samba.sh"), "env"], check=True, capture_output=True,
                         text=True).stdout
    return {key: value.strip("'") for key, _, value in (line.partition("=") for line in out.splitlines())}


SAMBA = samba_facts()
REALM = SAMBA["SAMBA_REALM"]
BASE = SAMBA["SAMBA_BASE"]
USER_PASS = SAMBA["SAMBA_USER_PASS"]
QUERY_UPN = SAMBA["SAMBA_QUERY_USER"] + "@" + REALM
ADMINS = "CN=QuenAdmins,CN=Users," + BASE
HELPDESK = "CN=QuenHelpdesk,CN=Users," + BASE
MEMBER = "cfgadmin"
QUERY = {"host": "127.0.0.1", "qUserUPN": QUERY_UPN, "qUserPw": SAMBA["SAMBA_QUERY_PASS"], "defDomain": REALM}


class DirectoryTest(unittest.TestCase):
    """A scratch installation that trusts the peer's certificate."""

    def setUp(self):
        self.inst = cgi_test.Installation()
        with open(SAMBA["SAMBA_CA"], "rb") as src, open(self.inst.path("ssl/ldap.crt"), "wb") as dst:
            dst.write(src.read())
        self.client = 0

    def tearDown(self):
        self.inst.remove()

    def post(self, type_, fresh_session=False, **fields):
        """A POST from the pages' own site; each from a client address of
        its own, so the slow-down of failed logins does not add up."""
        self.client += 1
        if fresh_session:
            self.inst.cookie = None
        return self.inst.run(dict(fields, type=type_), method="POST", origin="http://127.0.0.1:8080",
                             env={"REMOTE_ADDR": "10.0.0.%d" % self.client})[1]

    def commit_directory_mode(self, **fields):
        commit = dict(QUERY, dbType="sqlite", enableLDAP="1", adminGroupDN=ADMINS, purgeType="0")
        commit.update(fields)
        self.assertEqual(self.post("Commit", **commit), "SUCCESS:")

    def login(self, user, domain, password):
        return self.post("Login", fresh_session=True, loginLdapName=user, loginLdapDomain=domain,
                         loginLdapPasswd=password)


class CheckLdapDataTest(DirectoryTest):
    def test_answers(self):
        cases = [
            ("administrators' group found", {"adminGroupDN": ADMINS}, "SUCCESS:"),
            ("both groups found", {"adminGroupDN": ADMINS, "helpdeskGroupDN": HELPDESK}, "SUCCESS:"),
            ("help-desk group missing", {"adminGroupDN": ADMINS, "helpdeskGroupDN": "CN=Nope," + BASE}, "ERROR:408"),
            ("administrators' group missing", {"adminGroupDN": "CN=Nope," + BASE}, "ERROR:407"),
            ("administrators' group empty", {"adminGroupDN": ""}, "ERROR:407"),
            ("wrong query password", {"qUserUPN": MEMBER + "@" + REALM, "qUserPw": "wrong", "adminGroupDN": ADMINS},
             "ERROR:411"),
            ("domain not in the directory", {"defDomain": "other.test", "adminGroupDN": ADMINS}, "ERROR:411"),
        ]
        for name, fields, expected in cases:
            with self.subTest(name):
                self.assertEqual(self.post("CheckLDAPData", **dict(QUERY, **fields)), expected)


class DirectoryLoginTest(DirectoryTest):
    def test_login_answers(self):
        self.commit_directory_mode()
        cases = [
            ("member by name and domain", MEMBER, REALM, USER_PASS, "SUCCESS:"),
            ("member by principal name, page's placeholder", MEMBER + "@" + REALM, "$$DOMAIN$$", USER_PASS,
             "SUCCESS:"),
            ("member with a wrong password", MEMBER, REALM, "wrong", "ERROR:414"),
            ("not a member", "normal", REALM, USER_PASS, "ERROR:413"),
            ("unknown user", "ghost", REALM, "x", "ERROR:410"),
            ("no password", MEMBER, REALM, "", "ERROR:414"),
        ]
        for name, user, domain, password, expected in cases:
            with self.subTest(name):
                self.assertEqual(self.login(user, domain, password), expected)

    def test_security_page_after_a_directory_login(self):
        common = ('SUCCESS:enableLDAP::=::true::,::host::=::"127.0.0.1"::,::qUserUPN::=::"%s"::,::'
                  'qUserPw::=::"%s"::,::defDomain::=::"%s"::,::adminGroupDN::=::"%s"::,::'
                  % (QUERY_UPN, SAMBA["SAMBA_QUERY_PASS"], REALM, ADMINS))
        cases = [
            ("help desk on", {"enableHelpdesk": "1", "helpdeskGroupDN": HELPDESK},
             'enableLDAPHelpdesk::=::true::,::helpdeskGroupDN::=::"%s"::,::' % HELPDESK),
            ("help desk off", {"helpdeskGroupDN": HELPDESK}, "enableLDAPHelpDesk::=::false::,::"),
        ]
        for name, fields, expected in cases:
            with self.subTest(name):
                self.commit_directory_mode(**fields)
                self.assertEqual(self.login(MEMBER, REALM, USER_PASS), "SUCCESS:")
                self.assertEqual(self.post("SendData", page="Security"), common + expected)


class DirectoryFailureTest(DirectoryTest):
    """Answers of a directory that is busy, unavailable or hung. The tool
    only falls back to a plain channel, which the responders speak, when
    the configuration file allows it (ldap/secure 0)."""

    def allow_plain_channel(self):
        self.assertEqual(self.post("Commit", dbType="sqlite", enableLDAP="0", adminPass="pw", purgeType="0"),
                         "SUCCESS:")
        with open(self.inst.path("conf/quensc.conf")) as f:
            text = f.read()
        with open(self.inst.path("conf/quensc.conf"), "w") as f:
            f.write(text.replace("<secure>1</secure>", "<secure>0</secure>"))
        self.assertEqual(self.post("Login", fresh_session=True, loginPlainPasswd="pw"), "SUCCESS:")

    def test_directory_failures_reply_their_codes(self):
        self.allow_plain_channel()
        cases = [
            ("busy", "127.0.0.31", {"bind_result": 51}, "ERROR:402"),
            ("unavailable", "127.0.0.32", {"bind_result": 52}, "ERROR:404"),
            ("no answer", "127.0.0.33", {"silent": True}, "ERROR:401"),
        ]
        for name, address, behaviour, expected in cases:
            with self.subTest(name):
                responder = Responder(address, [], **behaviour).start()
                try:
                    self.assertEqual(self.post("CheckLDAPData", **dict(QUERY, host=address, adminGroupDN=ADMINS)),
                                     expected)
                finally:
                    responder.stop()


if __name__ == "__main__":
    if not cgi_test.CONFIGURE and len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
        cgi_test.CONFIGURE = sys.argv.pop(1)
    unittest.main(verbosity=2)
