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
import uuid
import xmlrpc.client

BUILD = os.environ.get("QUENSC_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
BUILD = os.path.abspath(BUILD)
SERVER_DIR = os.path.join(BUILD, "server")
QUENSC_DB = os.path.join(BUILD, "apps", "quensc-db", "quensc-db")
QUENSCD = os.path.join(SERVER_DIR, "quenscd")
PG_PEER_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "peers", "postgres.sh")

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


def test_store():
    """The store the black-box tests run on: QUENSC_TEST_STORE=postgres puts
    every installation on its own database of the PostgreSQL peer named by
    QUENSC_PG_PEER; anything else (the default) on an SQLite file."""
    return "postgres" if os.environ.get("QUENSC_TEST_STORE") == "postgres" else "sqlite"


def read_pg_peer():
    """The state file of tests/peers/postgres.sh as a dict."""
    with open(os.environ["QUENSC_PG_PEER"]) as f:
        return dict(line.strip().split("=", 1) for line in f if "=" in line)


class Database:
    """An installation's policy database, initialised, on the configured
    store; shared=another Database puts a second server on the same one."""

    def __init__(self, root, shared=None):
        self.store = test_store()
        self.root = root
        self.env = {}
        self.owner = shared is None
        if self.store == "sqlite":
            self.path = shared.path if shared else os.path.join(root, "db", "quensc.bin")
            if self.owner:
                subprocess.run([QUENSC_DB, "init", "--sqlite", self.path], check=True, capture_output=True)
            # The owner names its file relative to the configuration's folder.
            db_file = "../db/quensc.bin" if self.owner else self.path
            self.config = ("<db_type>sqlite</db_type>", "<sqlite><db_file>%s</db_file></sqlite>\n" % db_file)
            return
        self.peer = read_pg_peer()
        self.name = shared.name if shared else "quensc_bb_" + uuid.uuid4().hex[:12]
        odbc = os.path.join(root, "conf", "odbc")
        subprocess.run([PG_PEER_SCRIPT, "database" if self.owner else "odbc", os.environ["QUENSC_PG_PEER"],
                        self.name, odbc], check=True, capture_output=True)
        self.env = {"ODBCSYSINI": odbc, "ODBCINI": os.path.join(odbc, "odbc.ini")}
        if self.owner:
            subprocess.run([QUENSC_DB, "init", "--odbc", self.name, "--user", self.peer["PG_USER"]],
                           check=True, capture_output=True, env=self.tool_env())
        secret = subprocess.run([QUENSC_DB, "obfuscate"], input=self.peer["PG_PASSWORD"].encode(), check=True,
                                capture_output=True).stdout.decode().strip()
        self.config = ("<db_type>odbc</db_type>",
                       "<odbc><dsn>%s</dsn><username>%s</username><password>%s</password></odbc>\n" % (
                           self.name, self.peer["PG_USER"], secret))

    def tool_env(self):
        """The environment for quensc-db and psql on this database."""
        env = dict(os.environ, **self.env)
        if self.store == "postgres":
            env["QUENSC_DB_PASSWORD"] = env["PGPASSWORD"] = self.peer["PG_PASSWORD"]
        return env

    def sql(self, statement, params=()):
        """Runs one statement with ? placeholders; the rows as tuples (ints
        stay ints). Works the same on both stores."""
        if self.store == "sqlite":
            import sqlite3
            db = sqlite3.connect(self.path, timeout=60)
            try:
                with db:
                    return db.execute(statement, params).fetchall()
            finally:
                db.close()
        import json
        parts = statement.split("?")
        assert len(parts) == len(params) + 1, "one parameter per ?"
        text = parts[0]
        for value, rest in zip(params, parts[1:]):
            text += (str(value) if isinstance(value, int) else "'" + str(value).replace("'", "''") + "'") + rest
        is_query = text.lstrip().upper().startswith("SELECT")
        if is_query:
            text = "SELECT COALESCE(json_agg(q), '[]') FROM (%s) q" % text
        out = subprocess.run([self.peer["PG_BIN"] + "/psql", "-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1",
                              "-h", "127.0.0.1", "-p", self.peer["PG_PORT"], "-U", self.peer["PG_USER"],
                              "-d", self.name, "-c", text], capture_output=True, env=self.tool_env())
        if out.returncode != 0:
            raise RuntimeError("psql: %s" % out.stderr.decode(errors="replace"))
        if not is_query:
            return []
        # Rows come as objects with the columns in order (names may repeat).
        return json.loads(out.stdout.decode(), object_pairs_hook=lambda pairs: tuple(v for _, v in pairs))

    def remove(self):
        if self.store == "postgres" and self.owner:
            subprocess.run([PG_PEER_SCRIPT, "dropdb", os.environ["QUENSC_PG_PEER"], self.name],
                           capture_output=True)


class Installation:
    """One installation directory with its own Apache, on loopback only."""

    def __init__(self, logging_level=4, extra_global="", share_database_of=None):
        self.root = tempfile.mkdtemp(prefix="quensc-bb-", dir="/tmp")
        os.chmod(self.root, 0o755)
        for sub in ("conf", "db", "ssl", "log"):
            os.makedirs(os.path.join(self.root, sub), exist_ok=True)
        self.database = Database(self.root, share_database_of.database if share_database_of else None)
        self.db = getattr(self.database, "path", None)
        levels = "".join("<%s>%d</%s>" % (k, logging_level, k) for k in
                         ("authentication", "quen_admin", "package_admin", "instance_admin", "policy_admin"))
        config = ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<quensc_configuration>\n"
                  "<global><configuration_version>3</configuration_version>%s"
                  "<use_ldap>0</use_ldap>%s</global>\n%s"
                  "<administrators><password>%s</password></administrators>\n"
                  "<helpdesk><password>%s</password></helpdesk>\n"
                  "<logging>%s</logging>\n</quensc_configuration>\n") % (
                      self.database.config[0], extra_global, self.database.config[1], xml_escape(password_hash(ADMIN_PASSWORD)),
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
                                        start_new_session=True, env=dict(os.environ, **self.database.env))
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
        self.database.remove()
        shutil.rmtree(self.root, ignore_errors=True)
