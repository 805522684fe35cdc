#!/usr/bin/env python3
"""Test and development installations of the server: one folder with the
standard sub-folders, a version 3 configuration file, an initialised
database, a self-signed certificate when asked, and the installation's own
Apache started through quenscd on loopback listeners. Every process started
here is stopped again, also when starting fails or the caller forgets.

Used by the black-box tests, the host test, the benchmarks and, through the
command line below, by `make run` (scripts/run.sh):

    quensc_install.py create --build BUILD --root DIR

writes the development installation into the empty folder DIR and prints
its generated administrator password (the configuration keeps only the
hash) as the only line on standard output.

The database store is a small switch: QUENSC_TEST_STORE (default "sqlite")
names an entry of STORES, whose object adds its configuration sections and
makes the empty database. A store that needs a peer (a database server)
keeps that peer's life outside the installation."""

import argparse
import atexit
import base64
import hashlib
import http.client
import os
import secrets
import shutil
import signal
import socket
import ssl
import string
import subprocess
import sys
import tempfile
import time
import xmlrpc.client
from dataclasses import dataclass, replace

REPO = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
BUILD = os.path.abspath(os.environ.get("QUENSC_BUILD_DIR", os.path.join(REPO, "build")))

# The fixed manager passwords of test installations.
ADMIN_PASSWORD = "admin pw ' with <xml> & quotes"
HELPDESK_PASSWORD = "helpdesk-pw"

# The folders quenscd accepts in an installation (and creates when missing).
SUBFOLDERS = ("conf", "db", "html", "ssl", "log", "tmp", "bin", "lib", "run")

# The audit categories of the logging section, each given a level.
CATEGORIES = ("quen_admin", "package_admin", "policy_admin", "instance_admin", "authentication")

# The order in which the configuration tool writes its sections; sections
# not named here follow in the order they were given.
SECTION_ORDER = ("global", "sqlite", "odbc", "ssl", "ldap", "krb5", "administrators", "helpdesk", "logging")

WAIT = 120   # seconds a server may take to come up or to go down


PROBE_WAIT = 10   # seconds one readiness probe may wait for its answer


class _BoundedTransport(xmlrpc.client.Transport):
    """An HTTP transport whose connections give up after PROBE_WAIT seconds."""

    def make_connection(self, host):
        connection = super().make_connection(host)
        connection.timeout = PROBE_WAIT
        return connection


class HarnessError(RuntimeError):
    """An installation could not be made, started or stopped; the text says
    why, with the server's own output where there is any."""


@dataclass(frozen=True)
class Build:
    """Where the built programs are: quenscd, the folder of mod_quensc.so and
    libquensc.so it loads, and quensc-db (None: no database can be made)."""
    quenscd: str
    libdir: str
    quensc_db: str = None

    @classmethod
    def from_dir(cls, build_dir=None):
        """The programs of a CMake build folder (default: QUENSC_BUILD_DIR or
        the checkout's build/)."""
        build_dir = os.path.abspath(build_dir or BUILD)
        server = os.path.join(build_dir, "server")
        return cls(os.path.join(server, "quenscd"), server,
                   os.path.join(build_dir, "apps", "quensc-db", "quensc-db"))

    def with_libdir(self, libdir):
        return replace(self, libdir=libdir)


def password_hash(password):
    """Base64 of SHA-1 of the password: how the configuration stores it."""
    return base64.b64encode(hashlib.sha1(password.encode()).digest()).decode()


def generated_password(length=20):
    """A fresh password of letters and digits."""
    alphabet = string.ascii_letters + string.digits
    return "".join(secrets.choice(alphabet) for _ in range(length))


def free_ports(count):
    """count distinct loopback ports that were free a moment ago. The sockets
    stay bound until all are chosen, so no port is handed out twice."""
    sockets = []
    try:
        for _ in range(count):
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            sockets.append(s)
            s.bind(("127.0.0.1", 0))
        return [s.getsockname()[1] for s in sockets]
    finally:
        for s in sockets:
            s.close()


def free_port():
    return free_ports(1)[0]


def xml_text(value):
    return str(value).replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


# ---------------------------------------------------------------- configuration

def merge_sections(base, *overrides):
    """A new section table: base with each override applied in turn. A
    section given as a dict is merged key by key into a dict section (a key
    set to None is dropped); a section given as text (raw inner XML) replaces
    the section; a section set to None is dropped."""
    merged = {name: dict(value) if isinstance(value, dict) else value for name, value in base.items()}
    for override in overrides:
        for name, value in (override or {}).items():
            if value is None:
                merged.pop(name, None)
            elif isinstance(value, dict) and isinstance(merged.get(name), dict):
                for key, v in value.items():
                    if v is None:
                        merged[name].pop(key, None)
                    else:
                        merged[name][key] = v
            elif isinstance(value, dict):
                merged[name] = {k: v for k, v in value.items() if v is not None}
            else:
                merged[name] = value
    return merged


def configuration_text(sections):
    """The configuration file for a section table ({section: {key: value}}
    or {section: raw inner XML}), values XML-escaped, sections in the tool's
    order. A dict section left without keys is not written: the server stops
    reading the file at an empty section."""
    order = [n for n in SECTION_ORDER if n in sections] + [n for n in sections if n not in SECTION_ORDER]
    lines = ['<?xml version="1.0" encoding="UTF-8"?>', "<quensc_configuration>"]
    for name in order:
        value = sections[name]
        if isinstance(value, dict):
            if not value:
                continue
            lines.append("\t<%s>" % name)
            lines += ["\t\t<%s>%s</%s>" % (key, xml_text(v), key) for key, v in value.items()]
            lines.append("\t</%s>" % name)
        else:
            lines.append("\t<%s>%s</%s>" % (name, value, name))
    lines.append("</quensc_configuration>")
    return "\n".join(lines) + "\n"


def test_sections(admin_password=ADMIN_PASSWORD, helpdesk_password=HELPDESK_PASSWORD, logging_level=4):
    """The sections of a test installation, before the store's: version 3
    without a directory, the manager passwords hashed (None: no such
    section), every audit category at logging_level (None: no logging
    section)."""
    sections = {"global": {"configuration_version": 3, "use_ldap": 0}}
    if admin_password is not None:
        sections["administrators"] = {"password": password_hash(admin_password)}
    if helpdesk_password is not None:
        sections["helpdesk"] = {"password": password_hash(helpdesk_password)}
    if logging_level is not None:
        sections["logging"] = {c: logging_level for c in CATEGORIES}
    return sections


def development_sections(admin_password):
    """What `make run` writes on top of the test sections: the layout the
    configuration tool writes, less the tool-only ldap/ca_file (the server
    would warn about it at every start). Relative paths count from conf/;
    events are purged by age after 14 days (the tool's default); the
    help-desk role stays disabled until an administrator enables it."""
    return merge_sections(test_sections(admin_password, None, 4), {"administrators": None}, {
        "global": {"session_ttl": 86400, "session_reap_cycle": 21600},
        "odbc": {"dsn": "", "username": "", "password": "", "lock_file": "../db/quensc.lock"},
        "ssl": {"cert": "../ssl/server.crt", "cert_chain": "../ssl/chain.crt"},
        "ldap": {"host": "", "secure": 1},
        "krb5": {"default_realm": "", "query_user": "", "query_user_pass": "",
                 "conf_file": "../conf/krb5.conf", "lock_file": "../tmp/krb5.lock",
                 "ticket_lifetime": 86400, "translate_realm": 1},
        "administrators": {"ldap_group": "", "ldap_group_dn": "", "password": password_hash(admin_password)},
        "logging": {"purge_type": 1, "purge_value": 1209600},
    })


# ---------------------------------------------------------------- stores

class SqliteStore:
    """The default store: one SQLite file, db/quensc.bin, given a fresh
    schema by quensc-db."""
    name = "sqlite"
    environment = {}   # what quenscd needs in its environment for the store

    def __init__(self, root):
        self.db = os.path.join(root, "db", "quensc.bin")
        self.owner = True

    def sections(self):
        # A second server on the same file names it by its full path.
        return {"global": {"db_type": "sqlite"},
                "sqlite": {"db_file": "../db/quensc.bin" if self.owner else self.db,
                           "lock_file": "../db/quensc.lock"}}

    def create(self, build):
        """Makes the empty database; HarnessError when quensc-db fails."""
        if not self.owner:
            return
        if not build.quensc_db:
            raise HarnessError("no quensc-db to initialise the database with")
        run([build.quensc_db, "init", "--sqlite", self.db])

    def remove(self):
        """Nothing lives outside the installation folder."""

    def tool_env(self):
        return dict(os.environ)

    def shared(self, root):
        """The same database for a second installation in root (which
        neither creates nor removes it)."""
        other = replace_store(self)
        other.owner = False
        return other

    def sql(self, statement, params=()):
        """Runs one statement with ? placeholders; the rows as tuples."""
        import sqlite3
        db = sqlite3.connect(self.db, timeout=60)
        try:
            with db:
                return db.execute(statement, params).fetchall()
        finally:
            db.close()


def replace_store(store):
    other = store.__class__.__new__(store.__class__)
    other.__dict__.update(store.__dict__)
    return other


PG_PEER_SCRIPT = os.path.join(REPO, "tests", "peers", "postgres.sh")


class PostgresStore:
    """A database of its own on the PostgreSQL peer that tests/peers/
    postgres.sh started (its state file named by QUENSC_PG_PEER), reached
    through ODBC: a system data source of the database's name in
    conf/odbc/, which quenscd's environment (ODBCSYSINI) points the server
    at. The password is stored obfuscated by quensc-db."""
    name = "postgres"

    def __init__(self, root):
        state = os.environ.get("QUENSC_PG_PEER")
        if not state:
            raise HarnessError("QUENSC_TEST_STORE=postgres needs QUENSC_PG_PEER (tests/peers/postgres.sh start)")
        self.state = state
        with open(state) as f:
            self.peer = dict(line.strip().split("=", 1) for line in f if "=" in line)
        self.dbname = "quensc_bb_" + secrets.token_hex(6)
        self.odbc = os.path.join(root, "conf", "odbc")
        self.environment = {"ODBCSYSINI": self.odbc, "ODBCINI": os.path.join(self.odbc, "odbc.ini")}
        self.owner = True
        self.secret = None

    def tool_env(self):
        """The environment of quensc-db, fill_instances and psql on it."""
        return dict(os.environ, **self.environment, QUENSC_DB_PASSWORD=self.peer["PG_PASSWORD"],
                    PGPASSWORD=self.peer["PG_PASSWORD"])

    def _run(self, command, **kwargs):
        done = subprocess.run(command, capture_output=True, text=True, timeout=WAIT, env=self.tool_env(), **kwargs)
        if done.returncode != 0:
            raise HarnessError("%s failed (%d): %s" % (" ".join(command), done.returncode, done.stdout + done.stderr))
        return done.stdout

    def sections(self):
        if self.secret is None:
            quensc_db = Build.from_dir().quensc_db
            self.secret = self._run([quensc_db, "obfuscate"], input=self.peer["PG_PASSWORD"] + "\n").strip()
        return {"global": {"db_type": "odbc"},
                "odbc": {"dsn": self.dbname, "username": self.peer["PG_USER"], "password": self.secret}}

    def create(self, build):
        """Makes the database (the owner only) and the data source files."""
        self._run([PG_PEER_SCRIPT, "database" if self.owner else "odbc", self.state, self.dbname, self.odbc])
        if self.owner:
            self._run([build.quensc_db, "init", "--odbc", self.dbname, "--user", self.peer["PG_USER"]])

    def remove(self):
        if self.owner:
            subprocess.run([PG_PEER_SCRIPT, "dropdb", self.state, self.dbname], capture_output=True)

    def shared(self, root):
        other = replace_store(self)
        other.owner = False
        other.odbc = os.path.join(root, "conf", "odbc")
        other.environment = {"ODBCSYSINI": other.odbc, "ODBCINI": os.path.join(other.odbc, "odbc.ini")}
        return other

    def sql(self, statement, params=()):
        """Runs one statement with ? placeholders through psql; the rows as
        tuples, integers as integers (as the SQLite store's helper)."""
        import json
        parts = statement.split("?")
        if len(parts) != len(params) + 1:
            raise HarnessError("one parameter per ? in %r" % statement)
        text = parts[0]
        for value, rest in zip(params, parts[1:]):
            text += (str(value) if isinstance(value, int) else "'" + str(value).replace("'", "''") + "'") + rest
        is_query = text.lstrip().upper().startswith("SELECT")
        if is_query:
            text = "SELECT COALESCE(json_agg(q), '[]') FROM (%s) q" % text
        out = self._run([self.peer["PG_BIN"] + "/psql", "-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1",
                         "-h", "127.0.0.1", "-p", self.peer["PG_PORT"], "-U", self.peer["PG_USER"],
                         "-d", self.dbname, "-c", text])
        if not is_query:
            return []
        # Rows come as objects with the columns in order (names may repeat).
        return json.loads(out, object_pairs_hook=lambda pairs: tuple(v for _, v in pairs))


STORES = {"sqlite": SqliteStore, "postgres": PostgresStore}


def store_class(name=None):
    """The store named (default: QUENSC_TEST_STORE, else sqlite);
    HarnessError for a name this harness does not know."""
    name = name or os.environ.get("QUENSC_TEST_STORE") or "sqlite"
    if name not in STORES:
        raise HarnessError("QUENSC_TEST_STORE=%s: no such store (known: %s)" % (name, ", ".join(sorted(STORES))))
    return STORES[name]


# ---------------------------------------------------------------- set-up steps

def run(command):
    """Runs a set-up command; HarnessError with its output when it fails."""
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=WAIT)
    except (OSError, subprocess.TimeoutExpired) as e:
        raise HarnessError("%s: %s" % (command[0], e)) from None
    if done.returncode != 0:
        raise HarnessError("%s failed (%d): %s" % (" ".join(command), done.returncode, done.stdout + done.stderr))


def make_certificate(ssl_dir, days=2):
    """A self-signed certificate for localhost and 127.0.0.1 in ssl_dir:
    server.key (mode 0600), server.crt, and chain.crt (the same certificate)."""
    key, crt = os.path.join(ssl_dir, "server.key"), os.path.join(ssl_dir, "server.crt")
    run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", str(days), "-subj", "/CN=localhost",
         "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1",
         "-addext", "basicConstraints=critical,CA:FALSE", "-keyout", key, "-out", crt])
    os.chmod(key, 0o600)
    shutil.copy(crt, os.path.join(ssl_dir, "chain.crt"))


# Every installation whose server is running, stopped at exit at the latest.
_running = set()


def _stop_all_at_exit():
    for install in list(_running):
        install.stop()


atexit.register(_stop_all_at_exit)


class Installation:
    """One installation folder and the server quenscd runs for it, on
    loopback only. store: a name of STORES, or another installation's store
    to share its database (which that installation owns and removes).

    root: the folder (None: a fresh one under /tmp, mode 0755, so that
    www-data can reach it when quenscd runs as root); an existing root must
    be empty. configured: write the configuration file (test_sections, then
    the store's sections, then the sections overrides, see merge_sections),
    make the database (database) and the certificate (certificate). Ports
    left None are chosen free. When any step fails the folder is removed
    again and HarnessError raised."""

    def __init__(self, root=None, *, build=None, store=None, admin_password=ADMIN_PASSWORD,
                 helpdesk_password=HELPDESK_PASSWORD, logging_level=4, sections=None,
                 configured=True, database=True, certificate=True, certificate_days=2,
                 http_port=None, https_port=None):
        self._attach(build, http_port, https_port)
        self.sections = {}
        if root is None:
            self.root = tempfile.mkdtemp(prefix="quensc-install-", dir="/tmp")
        else:
            self.root = os.path.abspath(root)
            os.makedirs(self.root, exist_ok=True)
            if os.listdir(self.root):
                raise HarnessError("%s is not empty; an installation is made only in an empty folder" % self.root)
        try:
            os.chmod(self.root, 0o755)
            for sub in SUBFOLDERS:
                os.makedirs(os.path.join(self.root, sub), exist_ok=True)
            # Another installation's store puts this server on that database.
            self.store = store.shared(self.root) if hasattr(store, "shared") else store_class(store)(self.root)
            if configured:
                self.sections = merge_sections(test_sections(admin_password, helpdesk_password, logging_level),
                                               self.store.sections(), sections)
                self.write_configuration()
                if database:
                    self.store.create(self.build)
                if certificate:
                    make_certificate(os.path.join(self.root, "ssl"), certificate_days)
        except BaseException:
            shutil.rmtree(self.root, ignore_errors=True)
            raise

    @classmethod
    def existing(cls, root, *, build=None, store=None, http_port=None, https_port=None):
        """An installation made earlier (by create_development, say), to
        start and stop; nothing in it is written. remove() deletes it."""
        self = cls.__new__(cls)
        self._attach(build, http_port, https_port)
        self.root = os.path.abspath(root)
        self.store = store_class(store)(self.root)
        self.sections = {}
        return self

    def _attach(self, build, http_port, https_port):
        self.build = build or Build.from_dir()
        self.process = None
        self.output = None
        self._log_offset = 0
        self._chosen_ports = http_port is None and https_port is None
        if self._chosen_ports:
            http_port, https_port = free_ports(2)
        self.http_port, self.https_port = http_port, https_port

    @property
    def db(self):
        return self.store.db

    @property
    def configuration_path(self):
        return os.path.join(self.root, "conf", "quensc.conf")

    def write_configuration(self, sections=None):
        """(Re)writes conf/quensc.conf from self.sections merged with
        sections; a running server reads it at its next restart."""
        self.sections = merge_sections(self.sections, sections)
        with open(self.configuration_path, "w") as f:
            f.write(configuration_text(self.sections))

    # ------------------------------------------------------------ addresses

    @property
    def url(self):
        return "http://127.0.0.1:%d/RPC2" % self.http_port

    @property
    def https_url(self):
        return "https://127.0.0.1:%d/RPC2" % self.https_port

    def proxy(self, https=False):
        if https:
            return xmlrpc.client.ServerProxy(self.https_url, context=ssl._create_unverified_context())
        return xmlrpc.client.ServerProxy(self.url)

    # ------------------------------------------------------------ the server

    def start(self, https=True, ready="session", timeout=WAIT):
        """Starts quenscd for the installation on 127.0.0.1:http_port (and
        https_port with TLS when https) and waits until it is ready: "session"
        when SessionOpen answers code 0, "http" when /RPC2 answers a POST with
        any HTTP status (the module's init() has then run), None not at all.
        Ports this object chose itself are chosen again when another process
        took one meanwhile. On failure every process is stopped and
        HarnessError raised with the server's output and error log."""
        for attempt in range(3):
            try:
                self._launch(https)
                self.wait_ready(ready, timeout)
                return
            except HarnessError as e:
                self.stop()
                if attempt == 2 or not self._chosen_ports or "Address already in use" not in str(e):
                    raise
                self.http_port, self.https_port = free_ports(2)
            except BaseException:
                self.stop()
                raise

    def _launch(self, https):
        if self.process is not None:
            raise HarnessError("the server of %s is already running" % self.root)
        listen = "127.0.0.1:%d" % self.http_port
        if https:
            listen += ",127.0.0.1:%ds" % self.https_port
        self._log_offset = len(self.error_log())
        self.output = open(os.path.join(self.root, "log", "quenscd.out"), "w+")
        try:
            self.process = subprocess.Popen(
                [self.build.quenscd, "--root", self.root, "--listen", listen, "--libdir", self.build.libdir],
                stdout=self.output, stderr=subprocess.STDOUT, start_new_session=True,
                env=dict(os.environ, **self.store.environment))
        except OSError as e:
            self.output.close()
            self.output = None
            raise HarnessError("cannot start %s: %s" % (self.build.quenscd, e)) from None
        _running.add(self)

    def wait_ready(self, ready="session", timeout=WAIT):
        """Waits as start() describes; HarnessError when quenscd exits or
        the time runs out (the server is then left to the caller to stop)."""
        if ready is None:
            return
        probes = {"session": self._session_opens, "http": self._http_answers}
        if ready not in probes:
            raise HarnessError("no readiness probe %r (known: session, http, None)" % (ready,))
        probe = probes[ready]
        deadline = time.monotonic() + timeout
        last = None
        while True:
            if self.process.poll() is not None:
                raise HarnessError("quenscd exited with %s\n%s" % (self.process.returncode, self.describe()))
            try:
                if probe():
                    return
                last = "not ready"
            except (OSError, xmlrpc.client.Error) as e:
                last = e
            if time.monotonic() > deadline:
                raise HarnessError("server did not become ready (%s): %r\n%s" % (ready, last, self.describe()))
            time.sleep(0.1)

    def _session_opens(self):
        # A bounded wait: a port taken by a process that never answers must
        # not hold the start up.
        with xmlrpc.client.ServerProxy(self.url, transport=_BoundedTransport()) as proxy:
            answer = proxy.SessionOpen(10)
            if answer[0] != 0:
                return False
            proxy.SessionClose(answer[1])
            return True

    def _http_answers(self):
        c = http.client.HTTPConnection("127.0.0.1", self.http_port, timeout=PROBE_WAIT)
        try:
            # A name no module defines: the answer never involves the module.
            c.request("POST", "/RPC2", body=b"<?xml version='1.0'?><methodCall><methodName>quenscd.ready"
                                             b"</methodName><params/></methodCall>",
                      headers={"Content-Type": "text/xml"})
            c.getresponse().read()
            return True
        finally:
            c.close()

    def error_log(self):
        """The text of log/error.log ("" while there is none)."""
        try:
            with open(os.path.join(self.root, "log", "error.log"), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def quenscd_output(self):
        """What quenscd and Apache wrote to standard output and error."""
        if not self.output:
            try:
                with open(os.path.join(self.root, "log", "quenscd.out"), errors="replace") as f:
                    return f.read()
            except OSError:
                return ""
        self.output.flush()
        self.output.seek(0)
        return self.output.read()

    def describe(self):
        """The server's output and the error log of its latest start."""
        return "quenscd output:\n%s\nerror.log:\n%s" % (self.quenscd_output(),
                                                         self.error_log()[self._log_offset:])

    def group_alive(self):
        """Whether any process of the server's process group is left."""
        if self.process is None:
            return False
        try:
            os.killpg(self.process.pid, 0)
            return True
        except ProcessLookupError:
            return False
        except PermissionError:
            return True

    def stop(self, timeout=WAIT):
        """Stops the server: SIGTERM to quenscd (Apache's parent, which stops
        its children), then SIGKILL to whatever of its process group is left.
        Does nothing when no server runs. Never raises for a process that is
        already gone."""
        p = self.process
        if p is None:
            return
        try:
            if p.poll() is None:
                try:
                    p.send_signal(signal.SIGTERM)
                    p.wait(timeout)
                except subprocess.TimeoutExpired:
                    pass
            if self.group_alive():
                try:
                    os.killpg(p.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            if p.poll() is None:
                p.wait()
        finally:
            if self.output:
                self.output.close()
            self.output = None
            self.process = None
            _running.discard(self)

    def remove(self):
        """Stops the server and deletes the folder and the store's data."""
        self.stop()
        try:
            self.store.remove()
        finally:
            shutil.rmtree(self.root, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.remove()


# ---------------------------------------------------------------- command line

def create_development(root, build, store="sqlite"):
    """The installation of `make run` in the empty folder root: every
    standard folder, the development configuration with a generated
    administrator password, a certificate for 825 days, a fresh database.
    Returns the password; only its hash is written."""
    password = generated_password()
    Installation(root, build=build, store=store, sections=development_sections(password),
                 admin_password=None, helpdesk_password=None, certificate_days=825)
    return password


def main(argv=None):
    parser = argparse.ArgumentParser(description="Test and development installations of the server.")
    commands = parser.add_subparsers(dest="command", required=True)
    create = commands.add_parser("create", help="write the development installation into an empty folder and "
                                                "print its administrator password")
    create.add_argument("--root", required=True)
    create.add_argument("--build", default=BUILD)
    create.add_argument("--store", default="sqlite", choices=sorted(STORES))
    args = parser.parse_args(argv)
    os.umask(0o027)   # nothing of the installation readable by other users
    try:
        password = create_development(args.root, Build.from_dir(args.build), args.store)
    except HarnessError as e:
        print("quensc_install: %s" % e, file=sys.stderr)
        return 1
    print(password)
    return 0


if __name__ == "__main__":
    sys.exit(main())
