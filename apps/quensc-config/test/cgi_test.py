"""The configuration tool at the CGI level: `configure` run with a CGI
environment and standard input against a scratch installation, as the web
server runs it. Checks the reply grammar, every error code it can reach
without a database server or a directory, the rights of each query before
and after the first commit, SendData's exact replies, the file Commit
writes, uploads with backups, the security rules around the queries, and
that concurrent runs wait for the system-wide lock."""

import fcntl
import hashlib
import base64
import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import time
import unittest

CONFIGURE = os.environ.get("QCFG_CONFIGURE")
PAGES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "html")

ADMIN_PW = "adm<in> & \"pw\""
HELPDESK_PW = "help-desk pw"


def pw_hash(password):
    return base64.b64encode(hashlib.sha1(password.encode()).digest()).decode()


def urlencode(fields):
    from urllib.parse import urlencode as enc
    return enc(fields)


class Installation:
    """A scratch installation folder with the pages and the start-up file."""

    def __init__(self, startup=None):
        self.root = tempfile.mkdtemp(prefix="qcfg-cgi-", dir="/tmp")
        for sub in ("conf", "db", "html", "ssl", "log", "tmp", "bin"):
            os.makedirs(os.path.join(self.root, sub))
        for name in os.listdir(PAGES):
            shutil.copy(os.path.join(PAGES, name), os.path.join(self.root, "html", name))
        with open(self.path("html/quensc-config.conf"), "w") as f:
            f.write(startup if startup is not None else "# the installation\npath=%s/\n" % self.root)
        self.cookie = None

    def path(self, rel):
        return os.path.join(self.root, rel)

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)

    def run(self, fields=None, method="GET", body=None, content_type=None, origin=None, env=None, cookie=True):
        """Runs configure once; returns (headers, body text). Keeps the
        session cookie the tool sets, as a browser does."""
        environment = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "GATEWAY_INTERFACE": "CGI/1.1",
                       "REQUEST_METHOD": method, "SERVER_NAME": "127.0.0.1", "SERVER_PORT": "8080",
                       "HTTP_HOST": "127.0.0.1:8080", "REMOTE_ADDR": "127.0.0.1", "SCRIPT_NAME": "/configure.cgi"}
        data = b""
        if method == "GET":
            environment["QUERY_STRING"] = urlencode(fields or {})
        else:
            environment["QUERY_STRING"] = ""
            data = body if body is not None else urlencode(fields or {}).encode()
            environment["CONTENT_TYPE"] = content_type or "application/x-www-form-urlencoded"
            environment["CONTENT_LENGTH"] = str(len(data))
        if origin:
            environment["HTTP_ORIGIN"] = origin
        if cookie and self.cookie:
            environment["HTTP_COOKIE"] = "QCFGSESSID=" + self.cookie
        environment.update(env or {})
        done = subprocess.run([CONFIGURE], input=data, env=environment, cwd=self.path("html"),
                              capture_output=True, timeout=60)
        self.last_exit = done.returncode
        raw = done.stdout.decode("utf-8", errors="replace")
        head, _, text = raw.partition("\r\n\r\n")
        headers = {}
        for line in head.split("\r\n"):
            if ":" in line:
                name, value = line.split(":", 1)
                headers.setdefault(name.strip().lower(), []).append(value.strip())
        for c in headers.get("set-cookie", []):
            m = re.match(r"QCFGSESSID=([^;]*)", c)
            if m:
                self.cookie = m.group(1) or None
        return headers, text

    def query(self, type_, post=False, **fields):
        fields = dict(fields, type=type_)
        if post:
            return self.run(fields, method="POST", origin="http://127.0.0.1:8080")[1]
        return self.run(fields)[1]

    def commit(self, **fields):
        base = {"dbType": "sqlite", "overwrite": "0", "enableLDAP": "0", "adminPass": ADMIN_PW,
                "quenAdminDetail": "Debug", "packageAdminDetail": "Informative", "policyAdminDetail": "Normal",
                "instAdminDetail": "Critical", "authDetail": "None", "purgeType": "1", "purgeAgeValue": "30",
                "purgeSizeValue": "0"}
        base.update(fields)
        base = {k: v for k, v in base.items() if v is not None}
        return self.query("Commit", post=True, **base)

    def login(self, password=ADMIN_PW):
        return self.query("Login", post=True, loginPlainPasswd=password)

    def config_text(self):
        with open(self.path("conf/quensc.conf")) as f:
            return f.read()

    def log_text(self):
        with open(self.path("log/quensc-config.log"), errors="replace") as f:
            return f.read()


class ToolTest(unittest.TestCase):
    def setUp(self):
        self.inst = Installation()

    def tearDown(self):
        self.inst.remove()

    def configured(self):
        """Commits a password-mode configuration with the help desk, then
        logs in as the administrator in a fresh session."""
        self.assertEqual(self.inst.commit(enableHelpdesk="1", helpdeskPass=HELPDESK_PW), "SUCCESS:")
        self.inst.cookie = None
        self.assertEqual(self.inst.login(), "SUCCESS:")


class StartupTest(unittest.TestCase):
    def test_startup_failures_reply_their_codes(self):
        cases = [
            ("no start-up file", None, "ERROR:704"),
            ("no path line", "other=1\n", "ERROR:706"),
            ("path without its final slash", "path=/tmp/nowhere\n", "ERROR:802"),
        ]
        for name, startup, expected in cases:
            with self.subTest(name):
                inst = Installation(startup=startup or "")
                try:
                    if startup is None:
                        os.remove(inst.path("html/quensc-config.conf"))
                    self.assertEqual(inst.run({"type": "SendData", "page": "Database"})[1], expected)
                    self.assertEqual(inst.last_exit, 0)
                finally:
                    inst.remove()

    def test_lock_that_cannot_be_created_replies_701(self):
        inst = Installation()
        try:
            os.makedirs(inst.path("tmp/quensc-config.lock"))
            self.assertEqual(inst.query("SendData", page="Database"), "ERROR:701")
        finally:
            inst.remove()

    def test_unopenable_log_replies_707(self):
        inst = Installation()
        try:
            os.rmdir(inst.path("log"))
            with open(inst.path("log"), "w"):
                pass
            self.assertEqual(inst.query("SendData", page="Database"), "ERROR:707")
        finally:
            inst.remove()


class ReplyTest(ToolTest):
    def test_query_types_are_matched_exactly(self):
        for type_ in ("commit", "Bogus", "SENDDATA"):
            with self.subTest(type_):
                self.assertEqual(self.inst.query(type_), "ERROR:803")

    def test_queries_reply_plain_text_without_caching(self):
        headers, _ = self.inst.run({"type": "SendData", "page": "Database"})
        self.assertEqual(headers["content-type"], ["text/plain"])
        self.assertEqual(headers["cache-control"], ["no-store"])

    def test_session_cookie_is_http_only_and_strict(self):
        headers, _ = self.inst.run({"type": "SendData", "page": "Database"})
        cookie = headers["set-cookie"][0]
        self.assertRegex(cookie, r"^QCFGSESSID=[0-9a-f]{32}; Path=/; HttpOnly; SameSite=Strict$")

    def test_session_cookie_is_secure_over_https(self):
        headers, _ = self.inst.run({"type": "SendData", "page": "Database"}, env={"HTTPS": "on"})
        self.assertTrue(headers["set-cookie"][0].endswith("; Secure"))

    def test_session_file_is_private(self):
        self.inst.query("SendData", page="Database")
        name = "qcfg-sess-" + self.inst.cookie
        mode = stat.S_IMODE(os.stat(self.inst.path("tmp/" + name)).st_mode)
        self.assertEqual(mode, 0o600)

    def test_a_malformed_session_id_starts_a_new_session(self):
        self.inst.cookie = "../../conf/quensc.conf"
        headers, _ = self.inst.run({"type": "SendData", "page": "Database"})
        self.assertRegex(headers["set-cookie"][0], r"^QCFGSESSID=[0-9a-f]{32};")


class SecurityTest(ToolTest):
    def test_state_changing_queries_refuse_get(self):
        for type_ in ("Login", "Commit", "Restart", "UploadCertFile"):
            with self.subTest(type_):
                self.assertEqual(self.inst.query(type_, adminPass="x", dbType="sqlite"), "ERROR:809")
        self.assertFalse(os.path.exists(self.inst.path("conf/quensc.conf")))

    def test_post_from_another_site_is_refused(self):
        _, text = self.inst.run({"type": "Commit", "dbType": "sqlite", "adminPass": "x"}, method="POST",
                                origin="http://attacker.example")
        self.assertEqual(text, "ERROR:809")
        self.assertFalse(os.path.exists(self.inst.path("conf/quensc.conf")))

    def test_log_holds_no_password_or_secret(self):
        self.inst.commit(dbType="odbc", atsDSN="dsn", atsName="user", atsPasswd="odbc-secret-1",
                         qUserPw="ldap-secret-2")
        self.inst.cookie = None
        self.inst.login("wrong-guess-3")
        log = self.inst.log_text()
        for secret in (ADMIN_PW, "odbc-secret-1", "ldap-secret-2", "wrong-guess-3"):
            self.assertNotIn(secret, log)

    def test_failed_logins_are_counted_per_address_and_cleared_by_success(self):
        self.inst.commit()
        self.inst.cookie = None
        self.assertEqual(self.inst.login("wrong"), "ERROR:602")
        with open(self.inst.path("tmp/qcfg-fail-127.0.0.1")) as f:
            self.assertEqual(f.read().strip(), "1")
        self.assertEqual(self.inst.login(), "SUCCESS:")
        self.assertFalse(os.path.exists(self.inst.path("tmp/qcfg-fail-127.0.0.1")))


class RightsTest(ToolTest):
    def test_unconfigured_server_admits_every_visitor_as_initial_administrator(self):
        self.assertTrue(self.inst.query("SendData", page="Database").startswith("SUCCESS:"))
        _, page = self.inst.run({})
        self.assertIn('data-initial="1"', page)

    def test_after_commit_a_new_visitor_needs_a_login(self):
        self.inst.commit()
        self.inst.cookie = None
        self.assertEqual(self.inst.query("SendData", page="Database"), "ERROR:806")
        _, page = self.inst.run({})
        self.assertIn('name="loginPlainPasswd"', page)

    def test_initial_administrator_may_restart_after_commit(self):
        marker = self.inst.path("tmp/restarted")
        script = self.inst.path("bin/apache_restart.sh")
        with open(script, "w") as f:
            f.write("#!/bin/sh\ntouch '%s'\n" % marker)
        os.chmod(script, 0o755)
        self.inst.commit()
        self.assertEqual(self.inst.query("Restart", post=True), "SUCCESS:")
        for _ in range(100):
            if os.path.exists(marker):
                break
            time.sleep(0.05)
        self.assertTrue(os.path.exists(marker))

    def test_restart_ends_the_login(self):
        self.configured()
        self.inst.query("Restart", post=True)
        self.assertEqual(self.inst.query("SendData", page="Database"), "ERROR:806")

    def test_initial_administrator_may_not_send_data_after_commit(self):
        self.inst.commit()
        _, page = self.inst.run({"type": "SendData", "page": "Database"})
        self.assertIn('name="loginPlainPasswd"', page)
        # and the refusal ended the login
        self.assertEqual(self.inst.query("Restart", post=True), "ERROR:806")

    def test_restart_without_its_script_reports_808(self):
        self.inst.commit()
        self.assertEqual(self.inst.query("Restart", post=True), "SUCCESS:ERROR:808")

    def test_configured_default_page_is_reconfig(self):
        self.configured()
        _, page = self.inst.run({})
        self.assertIn('data-initial="0"', page)


class LoginTest(ToolTest):
    def test_login_outcomes(self):
        self.inst.commit(enableHelpdesk="1", helpdeskPass=HELPDESK_PW)
        cases = [
            ("wrong password", {"loginPlainPasswd": "nope"}, "ERROR:602"),
            ("help-desk password", {"loginPlainPasswd": HELPDESK_PW}, "ERROR:603"),
            ("directory form in password mode", {"loginLdapName": "a", "loginLdapPasswd": "b"}, "ERROR:601"),
            ("empty password", {"loginPlainPasswd": ""}, "ERROR:602"),
            ("administrator password", {"loginPlainPasswd": ADMIN_PW}, "SUCCESS:"),
        ]
        for name, fields, expected in cases:
            with self.subTest(name):
                self.inst.cookie = None
                self.assertEqual(self.inst.query("Login", post=True, **fields), expected)

    def test_login_gives_the_session_a_new_id(self):
        self.inst.commit()
        self.inst.cookie = None
        self.inst.query("SendData", page="Database")
        before = self.inst.cookie
        self.assertEqual(self.inst.login(), "SUCCESS:")
        self.assertNotEqual(self.inst.cookie, before)
        self.assertFalse(os.path.exists(self.inst.path("tmp/qcfg-sess-" + before)))
        self.assertTrue(self.inst.query("SendData", page="Database").startswith("SUCCESS:"))

    def test_plain_password_in_directory_mode_is_601(self):
        self.inst.commit(enableLDAP="1", host="127.0.0.1", defDomain="example.test",
                         adminGroupDN="CN=Admins,DC=example,DC=test", adminPass=None)
        self.inst.cookie = None
        self.assertEqual(self.inst.login("x"), "ERROR:601")

    def test_directory_login_page_carries_the_domain_escaped(self):
        self.inst.commit(enableLDAP="1", host="127.0.0.1", defDomain='ex"ample.test',
                         adminGroupDN="CN=Admins", adminPass=None)
        self.inst.cookie = None
        _, page = self.inst.run({})
        self.assertIn('value="ex&quot;ample.test"', page)
        self.assertNotIn("$$DOMAIN$$", page)

    def test_logout_ends_the_session_and_redirects(self):
        self.configured()
        old = self.inst.cookie
        headers, _ = self.inst.run({"type": "Logout"})
        self.assertEqual(headers["status"], ["302 Found"])
        self.assertEqual(headers["location"], ["configure.cgi"])
        self.assertFalse(os.path.exists(self.inst.path("tmp/qcfg-sess-" + old)))


class SendDataTest(ToolTest):
    def test_replies_of_each_page(self):
        self.configured()
        cases = [
            ("Database", "SUCCESS:dbType::=::-1::,::overwrite::=::0::,::"),
            ("Security", "SUCCESS:enableLDAP::=::false::,::enablePlainHelpdesk::=::true::,::"),
            ("Logging", 'SUCCESS:quenAdminDetail::=::"Debug"::,::packageAdminDetail::=::"Informative"::,::'
                        'policyAdminDetail::=::"Normal"::,::instAdminDetail::=::"Critical"::,::'
                        'authDetail::=::"None"::,::purgeType::=::1::,::purgeAgeValue::=::"30"::,::'
                        'purgeSizeValue::=::"0"::,::'),
            ("Other", "ERROR:Attempt to download invalid page."),
        ]
        for page, expected in cases:
            with self.subTest(page):
                self.assertEqual(self.inst.query("SendData", page=page), expected)

    def test_without_a_page_nothing_is_sent(self):
        self.assertEqual(self.inst.query("SendData"), "")

    def test_secrets_come_back_in_clear_after_a_commit(self):
        self.inst.commit(dbType="odbc", atsDSN="pg", atsName="quensc", atsPasswd="db \"pw\" <&>",
                         enableHelpdesk="1", helpdeskPass=HELPDESK_PW)
        self.inst.cookie = None
        self.inst.login()
        self.assertEqual(self.inst.query("SendData", page="Database"),
                         'SUCCESS:dbType::=::1::,::atsDSN::=::"pg"::,::atsName::=::"quensc"::,::'
                         'atsPasswd::=::"db "pw" <&>"::,::overwrite::=::0::,::')
        self.assertNotIn("db &quot;pw", self.inst.config_text())

    def test_directory_mode_commit_keeps_the_group_dns(self):
        self.inst.commit(enableLDAP="1", host="dc.example.test", qUserUPN="q@example.test", qUserPw="qpw",
                         defDomain="example.test", adminGroupDN="CN=A", enableHelpdesk="1",
                         helpdeskGroupDN="CN=H", adminPass=None)
        text = self.inst.config_text()
        self.assertIn("<ldap_group_dn>CN=A</ldap_group_dn>", text)
        self.assertIn("<ldap_group_dn>CN=H</ldap_group_dn>", text)
        self.assertNotIn("qpw", text)


EXPECTED_FILE = """<?xml version="1.0" encoding="UTF-8"?>
<quensc_configuration>
\t<global>
\t\t<configuration_version>3</configuration_version>
\t\t<use_ldap>0</use_ldap>
\t\t<db_type>sqlite</db_type>
\t\t<session_ttl></session_ttl>
\t\t<session_reap_cycle></session_reap_cycle>
\t</global>
\t<sqlite>
\t\t<db_file>ROOT/db/quensc.bin</db_file>
\t\t<lock_file>ROOT/db/quensc.lock</lock_file>
\t</sqlite>
\t<odbc>
\t\t<dsn></dsn>
\t\t<username></username>
\t\t<password></password>
\t\t<lock_file>ROOT/db/quensc.lock</lock_file>
\t</odbc>
\t<ssl>
\t\t<cert>ROOT/ssl/server.crt</cert>
\t\t<cert_chain>ROOT/ssl/chain.crt</cert_chain>
\t</ssl>
\t<ldap>
\t\t<host></host>
\t\t<ca_file>ROOT/ssl/ldap.crt</ca_file>
\t\t<secure>1</secure>
\t</ldap>
\t<krb5>
\t\t<default_realm></default_realm>
\t\t<query_user></query_user>
\t\t<query_user_pass></query_user_pass>
\t\t<conf_file>ROOT/conf/krb5.conf</conf_file>
\t\t<lock_file>ROOT/tmp/krb5.lock</lock_file>
\t\t<ticket_lifetime></ticket_lifetime>
\t\t<translate_realm>1</translate_realm>
\t</krb5>
\t<administrators>
\t\t<ldap_group></ldap_group>
\t\t<ldap_group_dn></ldap_group_dn>
\t\t<password>ADMINHASH</password>
\t</administrators>
\t<helpdesk>
\t\t<ldap_group></ldap_group>
\t\t<ldap_group_dn></ldap_group_dn>
\t\t<password>HELPHASH</password>
\t</helpdesk>
\t<logging>
\t\t<quen_admin>4</quen_admin>
\t\t<package_admin>3</package_admin>
\t\t<policy_admin>2</policy_admin>
\t\t<instance_admin>1</instance_admin>
\t\t<authentication>0</authentication>
\t\t<purge_type>1</purge_type>
\t\t<purge_value>2592000</purge_value>
\t</logging>
</quensc_configuration>
"""


class CommitTest(ToolTest):
    def test_file_layout_order_hashes_and_purge_seconds(self):
        self.assertEqual(self.inst.commit(enableHelpdesk="1", helpdeskPass=HELPDESK_PW), "SUCCESS:")
        expected = (EXPECTED_FILE.replace("ROOT", self.inst.root).replace("ADMINHASH", pw_hash(ADMIN_PW))
                    .replace("HELPHASH", pw_hash(HELPDESK_PW)))
        self.assertEqual(self.inst.config_text(), expected)

    def test_file_is_not_readable_by_others(self):
        self.inst.commit()
        self.assertEqual(stat.S_IMODE(os.stat(self.inst.path("conf/quensc.conf")).st_mode), 0o640)

    def test_helpdesk_section_only_when_enabled(self):
        cases = [
            ("password mode, help desk off", {}, False),
            ("password mode, help desk on", {"enableHelpdesk": "1", "helpdeskPass": "h"}, True),
            ("directory mode, help desk off", {"enableLDAP": "1", "adminGroupDN": "CN=A", "adminPass": None}, False),
            ("directory mode, help desk on", {"enableLDAP": "1", "adminGroupDN": "CN=A", "adminPass": None,
                                              "enableHelpdesk": "1", "helpdeskGroupDN": "CN=H"}, True),
        ]
        for name, fields, present in cases:
            with self.subTest(name):
                inst = Installation()
                try:
                    self.assertEqual(inst.commit(**fields), "SUCCESS:")
                    self.assertEqual("<helpdesk>" in inst.config_text(), present)
                finally:
                    inst.remove()

    def test_purge_settings_written(self):
        cases = [
            ("age in days becomes seconds", {"purgeType": "1", "purgeAgeValue": "2"}, "1", "172800"),
            ("age of zero keeps everything", {"purgeType": "1", "purgeAgeValue": "0"}, "0", "0"),
            ("count of events", {"purgeType": "2", "purgeSizeValue": "5000"}, "2", "5000"),
            ("keep all", {"purgeType": "0"}, "0", "0"),
        ]
        self.configured()
        for name, fields, ptype, pvalue in cases:
            with self.subTest(name):
                self.assertEqual(self.inst.commit(**fields), "SUCCESS:")
                text = self.inst.config_text()
                self.assertIn("<purge_type>%s</purge_type>" % ptype, text)
                self.assertIn("<purge_value>%s</purge_value>" % pvalue, text)

    def test_commit_without_admin_password_keeps_the_stored_hash(self):
        self.configured()
        self.assertEqual(self.inst.commit(adminPass=None), "SUCCESS:")
        self.assertIn("<password>%s</password>" % pw_hash(ADMIN_PW), self.inst.config_text())

    def test_password_mode_without_an_administrator_password_is_refused(self):
        self.assertEqual(self.inst.commit(adminPass=None), "ERROR:807")
        self.assertFalse(os.path.exists(self.inst.path("conf/quensc.conf")))

    def test_unknown_store_type_is_101_and_writes_nothing(self):
        self.assertEqual(self.inst.commit(dbType="oracle"), "ERROR:101")
        self.assertFalse(os.path.exists(self.inst.path("conf/quensc.conf")))

    def test_overwrite_with_unknown_store_type_is_101(self):
        self.assertEqual(self.inst.commit(dbType="oracle", overwrite="1"), "ERROR:101")

    def test_failed_schema_upgrade_is_203_and_keeps_the_old_file(self):
        self.configured()
        before = self.inst.config_text()
        with open(self.inst.path("db/quensc.bin"), "wb") as f:
            f.write(b"this is no database file" * 100)
        self.assertEqual(self.inst.commit(quenAdminDetail="None"), "ERROR:203")
        self.assertEqual(self.inst.config_text(), before)

    def test_value_xml_cannot_carry_is_807_and_keeps_the_old_file(self):
        self.configured()
        before = self.inst.config_text()
        self.assertEqual(self.inst.commit(host="bad\x01host"), "ERROR:807")
        self.assertEqual(self.inst.config_text(), before)

    def test_overwrite_creates_a_fresh_sqlite_schema(self):
        self.assertEqual(self.inst.commit(overwrite="1"), "SUCCESS:")
        self.assertGreater(os.path.getsize(self.inst.path("db/quensc.bin")), 0)


def multipart(fields, files):
    boundary = "----qcfgBoundary7d3"
    out = b""
    for name, value in fields.items():
        out += ("--%s\r\nContent-Disposition: form-data; name=\"%s\"\r\n\r\n%s\r\n" % (boundary, name, value)).encode()
    for name, (filename, data) in files.items():
        out += ("--%s\r\nContent-Disposition: form-data; name=\"%s\"; filename=\"%s\"\r\n"
                "Content-Type: application/x-pem-file\r\n\r\n" % (boundary, name, filename)).encode()
        out += data + b"\r\n"
    out += ("--%s--\r\n" % boundary).encode()
    return out, "multipart/form-data; boundary=" + boundary


PEM = {}


def setUpModule():
    """Two certificates and a key, as an administrator would upload them."""
    folder = tempfile.mkdtemp(prefix="qcfg-pem-", dir="/tmp")
    try:
        for name in ("a", "b"):
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                            "/CN=" + name, "-keyout", folder + "/key", "-out", folder + "/crt"],
                           check=True, capture_output=True)
            with open(folder + "/crt", "rb") as f:
                PEM["cert-" + name] = f.read()
            with open(folder + "/key", "rb") as f:
                PEM["key-" + name] = f.read()
    finally:
        shutil.rmtree(folder)


class UploadTest(ToolTest):
    def upload(self, files):
        body, ctype = multipart({"type": "UploadCertFile"}, files)
        return self.inst.run(method="POST", body=body, content_type=ctype, origin="http://127.0.0.1:8080")

    def test_only_a_chain_reports_the_other_fields_as_not_sent(self):
        headers, page = self.upload({"CrtServerPubChain": ("chain.pem", PEM["cert-a"])})
        self.assertEqual(headers["content-type"], ["text/html; charset=utf-8"])
        self.assertEqual(page.count("No file specified. No certificate updated."), 2)
        self.assertEqual(page.count("File uploaded. Certificate updated."), 1)
        with open(self.inst.path("ssl/chain.crt"), "rb") as f:
            self.assertEqual(f.read(), PEM["cert-a"])

    def test_existing_certificate_is_backed_up_first(self):
        with open(self.inst.path("ssl/server.crt"), "w") as f:
            f.write("OLD\n")
        os.chmod(self.inst.path("ssl/server.crt"), 0o644)
        _, page = self.upload({"CrtServerPubCert": ("new.pem", PEM["cert-a"])})
        backups = [n for n in os.listdir(self.inst.path("ssl")) if n.startswith("server.crt.")]
        self.assertEqual(len(backups), 1)
        self.assertRegex(backups[0], r"^server\.crt\.\d{8}-\d{6}$")
        with open(self.inst.path("ssl/" + backups[0])) as f:
            self.assertEqual(f.read(), "OLD\n")
        self.assertEqual(stat.S_IMODE(os.stat(self.inst.path("ssl/" + backups[0])).st_mode), 0o644)
        self.assertIn(self.inst.path("ssl/" + backups[0]), page)

    def test_two_uploads_in_one_second_keep_both_backups(self):
        with open(self.inst.path("ssl/server.crt"), "w") as f:
            f.write("FIRST\n")
        self.upload({"CrtServerPubCert": ("a.pem", PEM["cert-a"])})
        self.upload({"CrtServerPubCert": ("b.pem", PEM["cert-b"])})
        contents = set()
        for n in os.listdir(self.inst.path("ssl")):
            if n.startswith("server.crt."):
                with open(self.inst.path("ssl/" + n), "rb") as f:
                    contents.add(f.read())
        self.assertEqual(contents, {b"FIRST\n", PEM["cert-a"]})

    def test_key_and_certificate_of_different_pairs_are_refused_together(self):
        _, page = self.upload({"CrtServerPrivateKey": ("key.pem", PEM["key-a"]),
                               "CrtServerPubCert": ("crt.pem", PEM["cert-b"])})
        self.assertEqual(page.count("File upload failed. No certificate updated."), 2)
        self.assertEqual(os.listdir(self.inst.path("ssl")), [])

    def test_key_and_certificate_of_one_pair_are_saved(self):
        _, page = self.upload({"CrtServerPrivateKey": ("key.pem", PEM["key-a"]),
                               "CrtServerPubCert": ("crt.pem", PEM["cert-a"])})
        self.assertEqual(page.count("File uploaded. Certificate updated."), 2)

    def test_private_key_is_written_private(self):
        self.upload({"CrtServerPrivateKey": ("key.pem", PEM["key-a"])})
        self.assertEqual(stat.S_IMODE(os.stat(self.inst.path("ssl/server.key")).st_mode), 0o600)

    def test_uploaded_file_name_is_escaped_in_the_page(self):
        _, page = self.upload({"CrtServerPubCert": ("<script>x</script>.pem", PEM["cert-a"])})
        self.assertNotIn("<script>x", page)
        self.assertIn("&lt;script&gt;x&lt;/script&gt;.pem (%d bytes - application/x-pem-file)" % len(PEM["cert-a"]),
                      page)

    def test_a_file_the_web_server_cannot_load_is_not_saved(self):
        with open(self.inst.path("ssl/server.crt"), "wb") as f:
            f.write(PEM["cert-b"])
        cases = [("certificate", "CrtServerPubCert", "server.crt"), ("private key", "CrtServerPrivateKey", "server.key"),
                 ("key as a certificate", "CrtServerPubChain", "chain.crt")]
        for name, field, target in cases:
            with self.subTest(name):
                data = PEM["key-a"] if name == "key as a certificate" else b"not a PEM file\n"
                _, page = self.upload({field: ("bad.pem", data)})
                self.assertIn("File upload failed. No certificate updated.", page)
        with open(self.inst.path("ssl/server.crt"), "rb") as f:
            self.assertEqual(f.read(), PEM["cert-b"])
        self.assertEqual(sorted(os.listdir(self.inst.path("ssl"))), ["server.crt"])


class PeersTest(ToolTest):
    """The data source and directory checks where no peer answers; their
    paths against PostgreSQL and the domain controller are in dsn_test.py
    and directory_test.py."""

    def test_no_data_sources_is_an_empty_success(self):
        odbc = tempfile.mkdtemp(prefix="qcfg-odbc-", dir="/tmp")
        try:
            _, text = self.inst.run({"type": "GetDSNList"}, env={"ODBCSYSINI": odbc, "ODBCINI": odbc + "/odbc.ini"})
            self.assertEqual(text, "SUCCESS:")
        finally:
            shutil.rmtree(odbc)

    def test_unknown_data_source_refuses_the_credentials(self):
        self.assertEqual(self.inst.query("CheckDSNData", atsDSN="no-such-source", atsName="u", atsPasswd="p"),
                         "ERROR:201")

    def test_unreachable_directory_is_server_down(self):
        self.assertEqual(self.inst.query("CheckLDAPData", host="127.0.0.9", qUserUPN="q@example.test",
                                         qUserPw="p", defDomain="example.test", adminGroupDN="CN=A"), "ERROR:403")

    def test_directory_login_with_unreachable_directory_is_server_down(self):
        self.inst.commit(enableLDAP="1", host="127.0.0.9", defDomain="example.test", qUserUPN="q@example.test",
                         qUserPw="p", adminGroupDN="CN=A", adminPass=None)
        self.inst.cookie = None
        self.assertEqual(self.inst.query("Login", post=True, loginLdapName="admin", loginLdapDomain="$$DOMAIN$$",
                                         loginLdapPasswd="pw"), "ERROR:403")


class LockTest(ToolTest):
    def test_a_run_waits_five_times_for_a_held_lock_and_changes_nothing(self):
        with open(self.inst.path("tmp/quensc-config.lock"), "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            _, text = self.inst.run({"type": "SendData", "page": "Database"})
        self.assertEqual(text, "ERROR:702" * 5)
        self.assertIn("\tCannot get a lock while initializing", self.inst.log_text())
        self.assertEqual([n for n in os.listdir(self.inst.path("tmp")) if n.startswith("qcfg-sess-")], [])

    def test_concurrent_commits_each_leave_a_whole_file(self):
        self.configured()
        procs = []
        for i in range(4):
            inst = self.inst
            env = {"HTTP_COOKIE": "QCFGSESSID=" + inst.cookie, "PATH": os.environ.get("PATH", ""), "REQUEST_METHOD": "POST", "HTTP_HOST": "127.0.0.1:8080",
                   "REMOTE_ADDR": "127.0.0.1", "CONTENT_TYPE": "application/x-www-form-urlencoded"}
            body = urlencode({"type": "Commit", "dbType": "sqlite", "adminPass": "p%d" % i, "purgeType": "0",
                              "host": "host-%d" % i}).encode()
            env["CONTENT_LENGTH"] = str(len(body))
            p = subprocess.Popen([CONFIGURE], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env,
                                 cwd=inst.path("html"))
            procs.append((p, body))
        for p, body in procs:
            out, _ = p.communicate(body, timeout=60)
            p.stdout.close()
            p.stdin.close()
            self.assertTrue(out.decode().endswith("SUCCESS:"), out)
        text = self.inst.config_text()
        self.assertEqual(len(re.findall(r"<host>host-\d</host>", text)), 1)
        self.assertTrue(text.endswith("</quensc_configuration>\n"))


if __name__ == "__main__":
    if not CONFIGURE and len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
        CONFIGURE = sys.argv.pop(1)
    unittest.main(verbosity=2)
