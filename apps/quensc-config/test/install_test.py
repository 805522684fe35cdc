"""The configuration tool behind a real web server: a fresh installation
started with quenscd on a free loopback port, configured through
configure.cgi as the pages do it (certificates, commit, restart), after
which the server module starts on the file the tool wrote and the
administrator logs in; nothing of the installation but the pages is
served. The server is always stopped."""

import http.cookiejar
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.parse
import urllib.request
import xmlrpc.client

SERVER_DIR = os.environ.get("QCFG_SERVER_DIR", "")
ADMIN_PW = "first <admin> & \"pw\""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Browser:
    """A cookie-keeping HTTP client that sends Origin like a browser."""

    def __init__(self, base):
        self.base = base
        self.opener = urllib.request.build_opener(urllib.request.HTTPCookieProcessor(http.cookiejar.CookieJar()))

    def get(self, path):
        try:
            with self.opener.open(self.base + path, timeout=30) as r:
                return r.status, r.read().decode(errors="replace")
        except urllib.error.HTTPError as e:
            return e.code, ""

    def post(self, fields=None, body=None, content_type="application/x-www-form-urlencoded"):
        data = body if body is not None else urllib.parse.urlencode(fields).encode()
        request = urllib.request.Request(self.base + "configure.cgi", data=data, method="POST",
                                         headers={"Content-Type": content_type, "Origin": self.base.rstrip("/")})
        with self.opener.open(request, timeout=60) as r:
            return r.read().decode(errors="replace")


class InstallTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="qcfg-install-", dir="/tmp")
        os.chmod(cls.root, 0o755)
        cls.port = free_port()
        cls.base = "http://127.0.0.1:%d/" % cls.port
        cls.process = subprocess.Popen([os.path.join(SERVER_DIR, "quenscd"), "--root", cls.root,
                                        "--listen", "127.0.0.1:%d" % cls.port, "--libdir", SERVER_DIR],
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            try:
                with urllib.request.urlopen(cls.base, timeout=5) as r:
                    if r.status == 200:
                        return
            except OSError:
                time.sleep(0.1)
        cls.tearDownClass()
        raise RuntimeError("the web server did not come up")

    @classmethod
    def tearDownClass(cls):
        if cls.process.poll() is None:
            os.killpg(cls.process.pid, signal.SIGTERM)
            try:
                cls.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                os.killpg(cls.process.pid, signal.SIGKILL)
                cls.process.wait(timeout=10)
        shutil.rmtree(cls.root, ignore_errors=True)

    def test_1_nothing_of_the_installation_but_the_pages_is_served(self):
        browser = Browser(self.base)
        for path in ("conf/quensc.conf", "conf/httpd.conf", "db/quensc.bin", "log/error.log", "tmp/",
                     "bin/apache_restart.sh", "ssl/server.key", "lib/libquensc.so", "quensc-config.conf",
                     "../conf/httpd.conf", "html/"):
            with self.subTest(path):
                self.assertIn(browser.get(path)[0], (400, 403, 404))
        self.assertEqual(browser.get("qcfg.js")[0], 200)

    def test_2_first_run_configures_and_the_server_starts_on_it(self):
        browser = Browser(self.base)
        status, page = browser.get("")
        self.assertEqual(status, 200)
        self.assertIn('data-initial="1"', page)

        key = os.path.join(self.root, "tmp", "k.pem")
        crt = os.path.join(self.root, "tmp", "c.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                        "/CN=127.0.0.1", "-keyout", key, "-out", crt], check=True, capture_output=True)
        boundary = "qcfgInstallBoundary"
        body = b""
        for field, path in (("CrtServerPrivateKey", key), ("CrtServerPubCert", crt), ("CrtServerPubChain", crt)):
            with open(path, "rb") as f:
                body += ("--%s\r\nContent-Disposition: form-data; name=\"%s\"; filename=\"%s\"\r\n"
                         "Content-Type: application/x-pem-file\r\n\r\n" % (boundary, field, field)).encode()
                body += f.read() + b"\r\n"
        body += ("--%s\r\nContent-Disposition: form-data; name=\"type\"\r\n\r\nUploadCertFile\r\n--%s--\r\n"
                 % (boundary, boundary)).encode()
        page = browser.post(body=body, content_type="multipart/form-data; boundary=" + boundary)
        self.assertEqual(page.count("File uploaded. Certificate updated."), 3)

        reply = browser.post({"type": "Commit", "dbType": "sqlite", "overwrite": "0", "enableLDAP": "0",
                              "adminPass": ADMIN_PW, "atsPasswd": "odbc <pw>", "qUserPw": "ldap & pw",
                              "quenAdminDetail": "Debug", "packageAdminDetail": "Normal",
                              "policyAdminDetail": "Normal", "instAdminDetail": "Normal", "authDetail": "Debug",
                              "purgeType": "1", "purgeAgeValue": "14"})
        self.assertEqual(reply, "SUCCESS:")
        self.assertEqual(browser.post({"type": "Restart"}), "SUCCESS:")

        proxy = xmlrpc.client.ServerProxy(self.base + "RPC2")
        deadline = time.monotonic() + 60
        answer = None
        while time.monotonic() < deadline:
            try:
                answer = proxy.SessionOpen(10)
                if answer[0] == 0:
                    break
            except (OSError, xmlrpc.client.Error) as e:
                answer = e
            time.sleep(0.2)
        self.assertEqual(answer[0], 0, answer)
        self.assertEqual(proxy.AuthenticateManager(answer[1], {"type": 2, "pwd": {"pwd": ADMIN_PW}})[0], 0)

        # From now on the pages ask for the password.
        visitor = Browser(self.base)
        status, page = visitor.get("")
        self.assertIn('name="loginPlainPasswd"', page)
        self.assertEqual(visitor.post({"type": "Login", "loginPlainPasswd": ADMIN_PW}), "SUCCESS:")
        status, page = visitor.get("")
        self.assertIn('data-initial="0"', page)


if __name__ == "__main__":
    if len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
        SERVER_DIR = sys.argv.pop(1)
    unittest.main(verbosity=2)
