"""The tool's directory checks against a real Active Directory domain
controller (Samba), started for this run in a private network namespace
(run this file under `unshare -n`, as root) so that it can take the
directory ports on its own loopback address without meeting any other
directory on the machine. The provisioned domain is kept in a template
folder and copied for each run. Checks CheckLDAPData and the directory
login through configure, run as the web server runs it."""

import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest
from urllib.parse import urlencode

CONFIGURE = os.environ.get("QCFG_CONFIGURE")
TEMPLATE = os.environ.get("QCFG_DC_TEMPLATE", "/tmp/qcfg-dc-template")
PAGES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "html")

ADDRESS = "127.0.0.23"
REALM = "qcfg.test"
BASE = "DC=qcfg,DC=test"
ADMIN_PW = "Adm1nPass!x"
MEMBER_PW = "Qadm1nPass!x"
OTHER_PW = "Qus3rPass!x"
ADMINS = "CN=Domain Admins,CN=Users," + BASE
HELPDESK = "CN=QcfgHelp,CN=Users," + BASE


def sh(*args, **kw):
    return subprocess.run(list(args), check=True, capture_output=True, **kw)


def provision(template):
    """Provisions the domain with its accounts and a certificate for the
    controller's address, once; later runs reuse it."""
    if os.path.exists(os.path.join(template, "ready")):
        return
    shutil.rmtree(template, ignore_errors=True)
    os.makedirs(template)
    conf = os.path.join(template, "etc", "smb.conf")
    sh("samba-tool", "domain", "provision", "--realm=" + REALM.upper(), "--domain=QCFG", "--server-role=dc",
       "--dns-backend=NONE", "--adminpass=" + ADMIN_PW, "--targetdir=" + template,
       "--option=interfaces=" + ADDRESS, "--option=bind interfaces only=yes", "--option=netbios name=QCFGDC")
    sh("samba-tool", "user", "create", "qadmin", MEMBER_PW, "-s", conf)
    sh("samba-tool", "user", "create", "quser", OTHER_PW, "-s", conf)
    sh("samba-tool", "group", "addmembers", "Domain Admins", "qadmin", "-s", conf)
    sh("samba-tool", "group", "add", "QcfgHelp", "-s", conf)
    tls = os.path.join(template, "qcfg-tls")
    os.makedirs(tls)
    sh("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "3650", "-subj", "/CN=QcfgTestCA",
       "-keyout", tls + "/ca.key", "-out", tls + "/ca.pem")
    sh("openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=" + ADDRESS, "-keyout", tls + "/dc.key",
       "-out", tls + "/dc.csr")
    with open(tls + "/ext.cnf", "w") as f:
        f.write("subjectAltName=IP:%s\n" % ADDRESS)
    sh("openssl", "x509", "-req", "-in", tls + "/dc.csr", "-CA", tls + "/ca.pem", "-CAkey", tls + "/ca.key",
       "-CAcreateserial", "-days", "3650", "-extfile", tls + "/ext.cnf", "-out", tls + "/dc.pem")
    os.chmod(tls + "/dc.key", 0o600)
    open(os.path.join(template, "ready"), "w").close()


class DirectoryTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        provision(TEMPLATE)
        sh("ip", "link", "set", "lo", "up")
        sh("ip", "addr", "add", ADDRESS + "/8", "dev", "lo")
        cls.dc = tempfile.mkdtemp(prefix="qcfg-dc-", dir="/tmp")
        shutil.rmtree(cls.dc)
        shutil.copytree(TEMPLATE, cls.dc, symlinks=True)
        conf = os.path.join(cls.dc, "etc", "smb.conf")
        with open(conf) as f:
            text = f.read().replace(TEMPLATE, cls.dc)
        tls = os.path.join(cls.dc, "qcfg-tls")
        text = text.replace("[global]\n", "[global]\n\ttls enabled = yes\n\ttls keyfile = %s/dc.key\n"
                            "\ttls certfile = %s/dc.pem\n\ttls cafile = %s/ca.pem\n" % (tls, tls, tls), 1)
        with open(conf, "w") as f:
            f.write(text)
        cls.samba = subprocess.Popen(["samba", "-M", "single", "-i", "-s", conf],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        cls.inst = tempfile.mkdtemp(prefix="qcfg-dir-", dir="/tmp")
        for sub in ("conf", "db", "html", "ssl", "log", "tmp", "bin"):
            os.makedirs(os.path.join(cls.inst, sub))
        for name in os.listdir(PAGES):
            shutil.copy(os.path.join(PAGES, name), os.path.join(cls.inst, "html", name))
        with open(os.path.join(cls.inst, "html", "quensc-config.conf"), "w") as f:
            f.write("path=%s/\n" % cls.inst)
        shutil.copy(os.path.join(tls, "ca.pem"), os.path.join(cls.inst, "ssl", "ldap.crt"))
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline:
            try:
                socket.create_connection((ADDRESS, 636), timeout=1).close()
                socket.create_connection((ADDRESS, 389), timeout=1).close()
                break
            except OSError:
                pass
            if cls.samba.poll() is not None:
                raise RuntimeError("samba ended")
            time.sleep(0.5)
        cls.cookie = None
        cls.address = 0

    @classmethod
    def tearDownClass(cls):
        cls.samba.terminate()
        try:
            cls.samba.wait(timeout=30)
        except subprocess.TimeoutExpired:
            cls.samba.kill()
            cls.samba.wait()
        shutil.rmtree(cls.dc, ignore_errors=True)
        shutil.rmtree(cls.inst, ignore_errors=True)

    def run_tool(self, fields, keep_session=True):
        """A POST to configure; each call comes from its own client address
        so the slow-down of failed logins does not add up."""
        DirectoryTest.address += 1
        body = urlencode(fields).encode()
        env = {"PATH": os.environ.get("PATH", ""), "REQUEST_METHOD": "POST", "HTTP_HOST": "x",
               "REMOTE_ADDR": "10.0.0.%d" % DirectoryTest.address,
               "CONTENT_TYPE": "application/x-www-form-urlencoded", "CONTENT_LENGTH": str(len(body))}
        if keep_session and DirectoryTest.cookie:
            env["HTTP_COOKIE"] = "QCFGSESSID=" + DirectoryTest.cookie
        out = subprocess.run([CONFIGURE], input=body, env=env, cwd=os.path.join(self.inst, "html"),
                             capture_output=True, timeout=120).stdout.decode()
        head, _, text = out.partition("\r\n\r\n")
        for line in head.split("\r\n"):
            if line.startswith("Set-Cookie: QCFGSESSID=") and keep_session:
                DirectoryTest.cookie = line.split("=", 1)[1].split(";")[0]
        return text

    def query_account(self):
        return {"host": ADDRESS, "qUserUPN": "Administrator@" + REALM, "qUserPw": ADMIN_PW, "defDomain": REALM}

    def test_1_check_ldap_data(self):
        cases = [
            ("administrators' group found", {"adminGroupDN": ADMINS}, "SUCCESS:"),
            ("both groups found", {"adminGroupDN": ADMINS, "helpdeskGroupDN": HELPDESK}, "SUCCESS:"),
            ("help-desk group missing", {"adminGroupDN": ADMINS, "helpdeskGroupDN": "CN=Nope," + BASE}, "ERROR:408"),
            ("administrators' group missing", {"adminGroupDN": "CN=Nope," + BASE}, "ERROR:407"),
            ("administrators' group empty", {"adminGroupDN": ""}, "ERROR:407"),
            ("wrong query password", {"qUserPw": "wrong", "adminGroupDN": ADMINS}, "ERROR:411"),
            ("domain not in the directory", {"defDomain": "other.test", "adminGroupDN": ADMINS}, "ERROR:411"),
        ]
        for name, fields, expected in cases:
            with self.subTest(name):
                query = dict(self.query_account(), type="CheckLDAPData")
                query.update(fields)
                self.assertEqual(self.run_tool(query, keep_session=False), expected)

    def test_2_directory_login(self):
        commit = dict(self.query_account(), type="Commit", dbType="sqlite", enableLDAP="1", adminGroupDN=ADMINS,
                      purgeType="0")
        self.assertEqual(self.run_tool(commit), "SUCCESS:")
        cases = [
            ("member by name and domain", "qadmin", REALM, MEMBER_PW, "SUCCESS:"),
            ("member by principal name, page's placeholder", "qadmin@" + REALM, "$$DOMAIN$$", MEMBER_PW, "SUCCESS:"),
            ("member with a wrong password", "qadmin", REALM, "wrong", "ERROR:414"),
            ("not a member", "quser", REALM, OTHER_PW, "ERROR:413"),
            ("unknown user", "ghost", REALM, "x", "ERROR:410"),
            ("no password", "qadmin", REALM, "", "ERROR:414"),
        ]
        for name, user, domain, password, expected in cases:
            with self.subTest(name):
                self.assertEqual(self.run_tool({"type": "Login", "loginLdapName": user, "loginLdapDomain": domain,
                                                "loginLdapPasswd": password}, keep_session=False), expected)


if __name__ == "__main__":
    if len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
        CONFIGURE = sys.argv.pop(1)
    if len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
        TEMPLATE = sys.argv.pop(1)
    unittest.main(verbosity=2)
