"""A real server for black-box tests: a scratch installation under /tmp,
started through quenscd on free loopback ports, ready when SessionOpen
answers, and always stopped again."""

import base64
import hashlib
import os
import shutil
import signal
import socket
import ssl
import subprocess
import tempfile
import time
import xmlrpc.client

BUILD = os.environ.get("QUENSC_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
BUILD = os.path.abspath(BUILD)
SERVER_DIR = os.path.join(BUILD, "server")
QUENSC_DB = os.path.join(BUILD, "apps", "quensc-db", "quensc-db")
QUENSCD = os.path.join(SERVER_DIR, "quenscd")

ADMIN_PASSWORD = "admin pw ' with <xml> & quotes"
HELPDESK_PASSWORD = "helpdesk-pw"


def password_hash(password):
    """Base64 of SHA-1 of the password: how the configuration stores it."""
    return base64.b64encode(hashlib.sha1(password.encode()).digest()).decode()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def xml_escape(text):
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


class Installation:
    """One installation directory with its own Apache, on loopback only."""

    def __init__(self, logging_level=4, extra_global=""):
        self.root = tempfile.mkdtemp(prefix="quensc-bb-", dir="/tmp")
        os.chmod(self.root, 0o755)
        for sub in ("conf", "db", "ssl", "log"):
            os.makedirs(os.path.join(self.root, sub), exist_ok=True)
        self.db = os.path.join(self.root, "db", "quensc.bin")
        subprocess.run([QUENSC_DB, "init", "--sqlite", self.db], check=True, capture_output=True)
        levels = "".join("<%s>%d</%s>" % (k, logging_level, k) for k in
                         ("authentication", "quen_admin", "package_admin", "instance_admin", "policy_admin"))
        config = ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<quensc_configuration>\n"
                  "<global><configuration_version>3</configuration_version><db_type>sqlite</db_type>"
                  "<use_ldap>0</use_ldap>%s</global>\n"
                  "<sqlite><db_file>../db/quensc.bin</db_file></sqlite>\n"
                  "<administrators><password>%s</password></administrators>\n"
                  "<helpdesk><password>%s</password></helpdesk>\n"
                  "<logging>%s</logging>\n</quensc_configuration>\n") % (
                      extra_global, xml_escape(password_hash(ADMIN_PASSWORD)),
                      xml_escape(password_hash(HELPDESK_PASSWORD)), levels)
        with open(os.path.join(self.root, "conf", "quensc.conf"), "w") as f:
            f.write(config)
        key = os.path.join(self.root, "ssl", "server.key")
        crt = os.path.join(self.root, "ssl", "server.crt")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=127.0.0.1", "-keyout", key, "-out", crt],
                       check=True, capture_output=True)
        shutil.copy(crt, os.path.join(self.root, "ssl", "chain.crt"))
        self.http_port = free_port()
        self.https_port = free_port()
        self.process = None

    @property
    def url(self):
        return "http://127.0.0.1:%d/RPC2" % self.http_port

    @property
    def https_url(self):
        return "https://127.0.0.1:%d/RPC2" % self.https_port

    def proxy(self, https=False):
        if https:
            context = ssl._create_unverified_context()
            return xmlrpc.client.ServerProxy(self.https_url, context=context)
        return xmlrpc.client.ServerProxy(self.url)

    def start(self, timeout=60):
        listen = "127.0.0.1:%d,127.0.0.1:%ds" % (self.http_port, self.https_port)
        self.process = subprocess.Popen([QUENSCD, "--root", self.root, "--listen", listen, "--libdir", SERVER_DIR],
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                        start_new_session=True)
        deadline = time.monotonic() + timeout
        last = None
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                out = self.process.stdout.read().decode(errors="replace")
                raise RuntimeError("quenscd exited (%s): %s\n%s" % (self.process.returncode, out, self.error_log()))
            try:
                answer = self.proxy().SessionOpen(10)
                if answer[0] == 0:
                    self.proxy().SessionClose(answer[1])
                    return
                last = answer
            except (OSError, xmlrpc.client.Error) as e:
                last = e
            time.sleep(0.1)
        self.stop()
        raise RuntimeError("server did not answer SessionOpen: %r\n%s" % (last, self.error_log()))

    def error_log(self):
        try:
            with open(os.path.join(self.root, "log", "error.log"), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def stop(self):
        if self.process and self.process.poll() is None:
            try:
                os.killpg(self.process.pid, signal.SIGTERM)
                self.process.wait(timeout=30)
            except (ProcessLookupError, subprocess.TimeoutExpired):
                try:
                    os.killpg(self.process.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                self.process.wait(timeout=10)
        if self.process and self.process.stdout:
            self.process.stdout.close()
        self.process = None

    def remove(self):
        self.stop()
        shutil.rmtree(self.root, ignore_errors=True)
