"""Inputs and clients that must not take the server down, stall it or make
it lose data: deep nesting, document type declarations, slow clients,
system.* calls, repeated failed logins, and the death of the web server's
parent process."""

import http.client
import os
import signal
import socket
import sqlite3
import subprocess
import threading
import time
import unittest
import xmlrpc.client

from quensc_harness import ADMIN_PASSWORD, Installation
import quensc_install
from quensc_install import Build
from service_client import RunningServer, password_credential

ON_SQLITE = quensc_install.store_class().name == "sqlite"


def post(port, body, timeout=60):
    """One POST /RPC2; the HTTP status and the body of the answer."""
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        conn.request("POST", "/RPC2", body=body, headers={"Content-Type": "text/xml"})
        response = conn.getresponse()
        return response.status, response.read()
    finally:
        conn.close()


def call_body(inner):
    return ("<?xml version='1.0'?><methodCall><methodName>Echo</methodName><params><param>%s</param>"
            "</params></methodCall>" % inner).encode()


def nested(open_tag, close_tag, depth, leaf="<value><i4>1</i4></value>"):
    return call_body(open_tag * depth + leaf + close_tag * depth)


ENTITIES = ("<?xml version='1.0'?><!DOCTYPE m [<!ENTITY a0 'xxxxxxxxxx'>" +
            "".join("<!ENTITY a%d '%s'>" % (i, ("&a%d;" % (i - 1)) * 10) for i in range(1, 10)) +
            "]><methodCall><methodName>Echo</methodName><params><param><value><string>&a9;</string>"
            "</value></param></params></methodCall>").encode()


class RefusedBodies(RunningServer):
    """Bodies the host answers with a fault before the XML parser sees them."""

    def assert_fault_and_alive(self, body, what):
        status, answer = post(self.install.http_port, body, timeout=20)
        self.assertEqual(status, 200, what)
        with self.assertRaises(xmlrpc.client.Fault, msg=what):
            xmlrpc.client.loads(answer)
        self.assertEqual(self.server.SessionOpen(10)[0], 0, what)

    def test_deep_nesting_or_too_many_elements_is_a_fault_and_the_server_lives(self):
        cases = [
            ("200,000 elements side by side", call_body("<value><array><data>" + "<value><i4>1</i4></value>" *
                                                        100000 + "</data></array></value>")),
            ("200,000 nested elements", nested("<value><x>", "</x></value>", 100000)),
            ("100,000 nested arrays", nested("<value><array><data>", "</data></array></value>", 100000)),
            ("100,000 nested structs", nested("<value><struct><member><name>m</name>",
                                              "</member></struct></value>", 100000)),
        ]
        for what, body in cases:
            self.assert_fault_and_alive(body, what)

    def test_nesting_that_the_parser_accepts_is_served(self):
        body = nested("<value><array><data>", "</data></array></value>", 30)
        status, answer = post(self.install.http_port, body)
        self.assertEqual(status, 200)
        self.assertEqual(xmlrpc.client.loads(answer)[0][0], [2], "Echo with a non-text argument")

    def test_document_type_declarations_are_refused(self):
        cases = [
            ("nine levels of nested entities", ENTITIES),
            ("an empty declaration", call_body("<value>x</value>").replace(b"?>", b"?><!DOCTYPE m>", 1)),
            ("UTF-16 text that would hide a declaration", ENTITIES.decode().replace(
                "<?xml version='1.0'?>", "").encode("utf-16")),
        ]
        for what, body in cases:
            self.assert_fault_and_alive(body, what)

    def test_comments_cdata_and_attributes_do_not_count_as_nesting(self):
        body = call_body("<!-- <a><b><c> --><value><string><![CDATA[<x><y><z>]]></string></value>")
        body = body.replace(b"<methodName>", b"<methodName a='>'>", 1)
        status, answer = post(self.install.http_port, body)
        self.assertEqual(status, 200)
        self.assertEqual(xmlrpc.client.loads(answer)[0][0], [6], "read as Echo with an unknown session")


class SystemMethodsAndLogins(RunningServer):
    def test_system_methods_answer_a_fault(self):
        calls = [
            ("system.multicall", ([{"methodName": "AuthenticateManager",
                                    "params": ["s", password_credential("guess")]}] * 50,)),
            ("system.capabilities", ()),
            ("system.listMethods", ()),
            ("system.methodHelp", ("Echo",)),
            ("system.shutdown", ("now",)),
        ]
        for name, args in calls:
            with self.assertRaises(xmlrpc.client.Fault, msg=name) as caught:
                getattr(self.server, name)(*args)
            self.assertNotIn("xmlrpc-c", caught.exception.faultString.lower(), name)

    def test_repeated_failed_logins_are_slowed_down_with_the_same_answer(self):
        session = self.server.SessionOpen(10)[1]
        taken = []
        for _ in range(7):
            start = time.monotonic()
            self.assertEqual(self.server.AuthenticateManager(session, password_credential("guess")), [10])
            taken.append(time.monotonic() - start)
        self.assertGreaterEqual(taken[-1], 0.4, "the seventh failure waits at least 400 ms: %r" % taken)
        self.assertEqual(self.server.AuthenticateManager(session, password_credential(ADMIN_PASSWORD)), [0])
        start = time.monotonic()
        self.assertEqual(self.server.AuthenticateManager(session, password_credential("guess")), [10])
        self.assertLess(time.monotonic() - start, 5, "a success forgets the earlier failures")


class SlowClients(RunningServer):
    SLOW = 200

    def test_a_normal_client_is_served_while_200_slow_clients_trickle_headers_or_bodies(self):
        stop = threading.Event()
        sockets = []
        try:
            for i in range(self.SLOW):
                s = socket.create_connection(("127.0.0.1", self.install.http_port), timeout=5)
                if i % 2:   # half trickle a body, half never finish their headers
                    s.sendall(b"POST /RPC2 HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/xml\r\n"
                              b"Content-Length: 100000\r\n\r\n")
                else:
                    s.sendall(b"POST /RPC2 HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Padding: ")
                sockets.append(s)

            def trickle():
                # 600 bytes a second on every connection, in tenths of a second.
                while not stop.is_set():
                    for s in sockets:
                        try:
                            s.send(b"x" * 60)
                        except OSError:
                            pass
                    stop.wait(0.1)

            feeder = threading.Thread(target=trickle, daemon=True)
            feeder.start()
            time.sleep(1)
            # Python's XML-RPC transport has no time-out: a raw POST has one.
            status, answer = post(self.install.http_port, xmlrpc.client.dumps((10,), "SessionOpen").encode(),
                                  timeout=20)
            self.assertEqual(status, 200)
            self.assertEqual(xmlrpc.client.loads(answer)[0][0][0], 0)
            # The trickling clients are cut off in the end.
            deadline = time.monotonic() + 60
            closed = 0
            while time.monotonic() < deadline and closed < self.SLOW:
                closed = 0
                for s in sockets:
                    s.settimeout(0)
                    try:
                        data = s.recv(4096)
                        closed += 1 if data or data == b"" else 0
                    except BlockingIOError:
                        pass
                    except OSError:
                        closed += 1
                time.sleep(1)
            self.assertEqual(closed, self.SLOW, "every trickling client got an answer or was closed")
        finally:
            stop.set()
            for s in sockets:
                s.close()


def running(pid):
    """Whether any thread of the process still runs (a zombie waiting for
    its reaper does not; its leader turns zombie before its last thread
    has let go of the process's files)."""
    try:
        tasks = os.listdir("/proc/%d/task" % pid)
    except OSError:
        return False
    for task in tasks:
        try:
            with open("/proc/%d/task/%s/stat" % (pid, task)) as f:
                if f.read().rsplit(")", 1)[1].split()[0] != "Z":
                    return True
        except OSError:
            pass
    return False


class ParentDeath(unittest.TestCase):
    def setUp(self):
        self.install = Installation()
        self.addCleanup(self.install.remove)

    def children_of(self, pid):
        try:
            with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
                return [int(p) for p in f.read().split()]
        except OSError:
            return []

    def test_the_child_ends_with_its_parent_and_a_new_start_works(self):
        self.install.start()
        parent = self.install.process.pid
        children = self.children_of(parent)
        self.assertTrue(children)
        os.kill(parent, signal.SIGKILL)
        self.install.process.wait(timeout=30)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and any(running(c) for c in children):
            time.sleep(0.1)
        alive = [c for c in children if running(c)]
        self.assertEqual(alive, [], "children left serving after the parent died")
        self.install.stop()
        self.install.start()
        self.assertEqual(self.install.proxy().SessionOpen(10)[0], 0)

    def test_an_address_in_use_is_reported_with_the_process_that_holds_it(self):
        holder = socket.socket()
        holder.bind(("127.0.0.1", self.install.http_port))
        holder.listen(1)
        self.addCleanup(holder.close)
        listen = "127.0.0.1:%d" % self.install.http_port
        p = subprocess.run([PROGRAMS.quenscd, "--root", self.install.root, "--listen", listen,
                            "--libdir", PROGRAMS.libdir],
                           capture_output=True, text=True, timeout=60, start_new_session=True)
        self.assertNotEqual(p.returncode, 0)
        self.assertIn("cannot listen on %s: Address already in use, by process %d" % (listen, os.getpid()),
                      p.stderr)


def get(port, path, host="127.0.0.1"):
    conn = http.client.HTTPConnection(host, port, timeout=30)
    try:
        conn.request("GET", path)
        response = conn.getresponse()
        return response.status, response.getheader("Content-Type"), response.read().decode()
    finally:
        conn.close()


class HealthAndMetrics(RunningServer):
    def test_healthz_answers_ok_while_the_database_answers(self):
        status, kind, text = get(self.install.http_port, "/healthz")
        self.assertEqual((status, text), (200, "ok\n"))
        self.assertTrue(kind.startswith("text/plain"))

    def test_metrics_count_calls_by_method_and_code_with_a_histogram(self):
        session = self.server.SessionOpen(10)[1]
        self.server.Echo(session, "x")
        self.server.Echo("no-such-session", "x")
        with self.assertRaises(xmlrpc.client.Fault):
            self.server.NoSuchMethod()
        post(self.install.http_port, call_body("<value>x</value>").replace(b"?>", b"?><!DOCTYPE m>", 1))
        status, kind, text = get(self.install.http_port, "/metrics")
        self.assertEqual(status, 200)
        self.assertTrue(kind.startswith("text/plain; version=0.0.4"))
        lines = dict(line.rsplit(" ", 1) for line in text.splitlines() if not line.startswith("#"))
        self.assertGreaterEqual(int(lines['quensc_requests_total{method="Echo",code="0"}']), 1)
        self.assertGreaterEqual(int(lines['quensc_requests_total{method="Echo",code="6"}']), 1)
        self.assertGreaterEqual(int(lines['quensc_requests_total{method="(unknown)",code="fault"}']), 1)
        self.assertGreaterEqual(
            int(lines['quensc_refused_requests_total{reason="document type declarations are not accepted"}']), 1)
        self.assertEqual(lines['quensc_request_duration_seconds_bucket{le="+Inf"}'],
                         lines["quensc_request_duration_seconds_count"])
        for name in ("quensc_database_errors_total", "quensc_session_reaps_total", "quensc_event_purges_total",
                     "quensc_login_delays_total"):
            self.assertIn(name, lines)

    def test_status_pages_take_get_only(self):
        for path in ("/healthz", "/metrics"):
            self.assertEqual(post_to(self.install.http_port, path), 405, path)


@unittest.skipUnless(ON_SQLITE, "reads, copies or moves the SQLite file")
class HealthWithoutDatabase(unittest.TestCase):
    def test_healthz_is_503_with_the_reason_when_the_database_is_gone(self):
        install = Installation()
        self.addCleanup(install.remove)
        install.start()
        os.rename(install.db, install.db + ".away")
        status, _, text = get(install.http_port, "/healthz")
        self.assertEqual(status, 503)
        self.assertIn("database", text)
        os.rename(install.db + ".away", install.db)
        self.assertEqual(get(install.http_port, "/healthz")[0], 200)


def post_to(port, path):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        conn.request("POST", path, body=b"x")
        return conn.getresponse().status
    finally:
        conn.close()


def children_of(pid):
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
            return [int(p) for p in f.read().split()]
    except OSError:
        return []


PROGRAMS = Build.from_dir()


def verify_events(db):
    """quensc-db verify-events on an SQLite file: exit status and output."""
    p = subprocess.run([PROGRAMS.quensc_db, "verify-events", "--sqlite", db], capture_output=True, text=True, timeout=120)
    return p.returncode, p.stdout + p.stderr


def integrity(db):
    """PRAGMA integrity_check, waiting while the running server writes."""
    conn = sqlite3.connect(db, timeout=120)
    try:
        return "\n".join(row[0] for row in conn.execute("PRAGMA integrity_check"))
    finally:
        conn.close()


@unittest.skipUnless(ON_SQLITE, "reads, copies or moves the SQLite file")
class CrashUnderLoad(unittest.TestCase):
    """kill -9 of the child and then of the parent while several clients
    create Quens: after a restart every creation that was answered OK is
    there, the database is intact and the event chain whole."""

    CLIENTS = 4

    def setUp(self):
        self.install = Installation()
        self.addCleanup(self.install.remove)
        self.install.start()

    def load(self, client, stop, created):
        n = 0
        while not stop.is_set():
            try:
                server = xmlrpc.client.ServerProxy(self.install.url)
                session = server.SessionOpen(10)[1]
                if server.AuthenticateManager(session, password_credential(ADMIN_PASSWORD)) != [0]:
                    continue
                while not stop.is_set():
                    n += 1
                    uid = "crash-%d-%d" % (client, n)
                    if server.QuenCreate(session, {"uuid": uid, "name": "Q " + uid}) == [0]:
                        created.append(uid)
                    server.Echo(session, "load")
            except (OSError, xmlrpc.client.Error, http.client.HTTPException):
                time.sleep(0.05)

    def test_answered_creations_survive_kill_9_of_child_and_parent(self):
        stop = threading.Event()
        created = []
        threads = [threading.Thread(target=self.load, args=(c, stop, created), daemon=True)
                   for c in range(self.CLIENTS)]
        for t in threads:
            t.start()
        try:
            time.sleep(2)
            parent = self.install.process.pid
            for child in children_of(parent):
                os.kill(child, signal.SIGKILL)
            time.sleep(3)   # the parent starts a new child; the load goes on
            os.kill(parent, signal.SIGKILL)
            self.install.process.wait(timeout=30)
            time.sleep(0.5)
        finally:
            stop.set()
            for t in threads:
                t.join(timeout=60)
        self.assertGreater(len(created), 0)
        self.install.stop()
        self.install.start()

        self.assertEqual(integrity(self.install.db), "ok")
        status, output = verify_events(self.install.db)
        self.assertEqual(status, 0, output)
        server = self.install.proxy()
        session = server.SessionOpen(10)[1]
        self.assertEqual(server.AuthenticateManager(session, password_credential(ADMIN_PASSWORD)), [0])
        missing = [uid for uid in created if server.QuenInfo(session, uid)[0] != 0]
        self.assertEqual(missing, [], "answered-OK creations lost")


@unittest.skipUnless(ON_SQLITE, "reads, copies or moves the SQLite file")
class AuditChainProof(RunningServer):
    """quensc-db verify-events on copies of a live database."""

    @classmethod
    def prepare(cls):
        server = cls.install.proxy()
        session = server.SessionOpen(10)[1]
        for password in ("wrong", ADMIN_PASSWORD, "wrong again", ADMIN_PASSWORD):
            server.AuthenticateManager(session, password_credential(password))
        for i in range(3):
            server.QuenCreate(session, {"uuid": "chain-%d" % i, "name": "Q"})

    def tampered_copy(self, statement):
        copy = os.path.join(self.install.root, "db", "copy-%s.bin" % self.id().rsplit(".", 1)[-1])
        # The backup API copies what the write-ahead log holds too.
        source, target = sqlite3.connect(self.install.db, timeout=120), sqlite3.connect(copy)
        try:
            source.backup(target)
        finally:
            source.close()
            target.close()
        if statement:
            subprocess.run(["sqlite3", copy, statement], check=True, timeout=60)
        return copy

    def test_a_whole_chain_passes(self):
        status, output = verify_events(self.tampered_copy(""))
        self.assertEqual(status, 0, output)
        self.assertRegex(output, r"event chain whole: \d+ events checked")

    def test_tampered_copies_fail_at_the_first_bad_event(self):
        cases = [
            ("an altered parameter", "UPDATE PolicyDb_Event SET messageParams = 'forged' WHERE eventUID = 3",
             "event 3: bad signature"),
            ("an altered result", "UPDATE PolicyDb_Event SET returnCodeText = 'FORGED' WHERE eventUID = 2",
             "event 2: bad signature"),
            ("a removed event", "DELETE FROM PolicyDb_Event WHERE eventUID = 4", "event 5: broken link"),
        ]
        for what, statement, expected in cases:
            status, output = verify_events(self.tampered_copy(statement))
            self.assertEqual(status, 1, what)
            self.assertIn(expected, output, what)


if __name__ == "__main__":
    unittest.main()
