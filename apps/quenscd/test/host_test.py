#!/usr/bin/env python3
"""Black-box tests of the host: quenscd starts a real Apache httpd with
mod_quensc for a temporary installation under /tmp on free loopback ports,
and Python's own XML-RPC client talks to it. Works with the real
libquensc.so (then --quensc-db initialises the database) or any module that
exports the four entry points and an Echo method.

Every server a test starts runs in a process group of its own, and the
group is killed at clean-up whatever happened, so no process outlives the
test.

    host_test.py --quenscd PATH --libdir DIR [--quensc-db PATH] [unittest args]
"""

import argparse
import http.client
import os
import pwd
import shutil
import signal
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import xmlrpc.client

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "tests", "harness"))
from quensc_install import Build, Installation, free_port, generated_password  # noqa: E402

ARGS = None
BODY_LIMIT = 16 * 1024 * 1024      # LimitRequestBody in the generated httpd.conf
WAIT = 120                         # seconds a server may take to come up or go down


def run_quenscd(*args):
    """quenscd for a case that must not start a server: its exit status and output."""
    p = subprocess.run([ARGS.quenscd, *args], capture_output=True, text=True, timeout=WAIT,
                       start_new_session=True)
    return p.returncode, p.stdout + p.stderr


class Server:
    """One installation and the web server quenscd runs for it: a version 3
    configuration with SQLite and a random administrator password, a
    certificate (init() reads it for SslCertsRetrieve) and, when --quensc-db
    is given, a database; ready when /RPC2 answers a POST with any HTTP
    status (the child has then run the module's init())."""

    def __init__(self, add_cleanup, configured=True, https=False, libdir=None):
        """add_cleanup: the test's (or class's) cleanup registration.
        https needs configured (the certificate comes with it)."""
        build = Build(ARGS.quenscd, libdir or ARGS.libdir, ARGS.quensc_db)
        self.install = Installation(build=build, configured=configured, database=bool(ARGS.quensc_db),
                                    admin_password=generated_password(), helpdesk_password=None,
                                    logging_level=None)
        add_cleanup(self.install.remove)
        self.install.start(https=https, ready="http", timeout=WAIT)
        self.root = self.install.root
        self.port = self.install.http_port
        self.https_port = self.install.https_port
        self.url = self.install.url

    @property
    def proc(self):
        return self.install.process

    def log(self):
        return self.install.error_log()

    def describe(self):
        return self.install.describe()

    def post(self, body, headers=None, port=None):
        c = http.client.HTTPConnection("127.0.0.1", port or self.port, timeout=WAIT)
        try:
            headers = headers or {"Content-Type": "text/xml"}
            c.request("POST", "/RPC2", body=body, headers=headers,
                      encode_chunked=headers.get("Transfer-Encoding") == "chunked")
            r = c.getresponse()
            return r.status, r.getheader("Content-Type"), r.read()
        finally:
            c.close()

    def call(self, method, *args):
        """One XML-RPC call with Python's own client; its result or Fault."""
        with xmlrpc.client.ServerProxy(self.url) as proxy:
            return getattr(proxy, method)(*args)

    def init_count(self):
        return self.log().count("mod_quensc: process ")

    def wait_for_init_count(self, count):
        deadline = time.monotonic() + WAIT
        while self.init_count() < count:
            if time.monotonic() > deadline:
                raise AssertionError(f"no new child ran init()\n{self.describe()}")
            time.sleep(0.1)

    def group_alive(self):
        return self.install.group_alive()


def assert_well_formed(test, result):
    """A method result: an array whose element 0 is the integer result code."""
    test.assertIsInstance(result, list)
    test.assertGreaterEqual(len(result), 1)
    test.assertIsInstance(result[0], int)


def echo_body(text):
    return xmlrpc.client.dumps(("no-such-session", text), "Echo").encode()


class Dispatch(unittest.TestCase):
    """Calls, faults and HTTP-level refusals against one running server."""

    @classmethod
    def setUpClass(cls):
        cls.server = Server(cls.addClassCleanup, https=True)

    def test_call_answers_result_array_as_text_xml(self):
        status, ctype, body = self.server.post(echo_body("hello"))
        self.assertEqual(status, 200)
        self.assertTrue(ctype.startswith("text/xml"), ctype)
        (result,), method = xmlrpc.client.loads(body)
        assert_well_formed(self, result)
        assert_well_formed(self, self.server.call("Echo", "no-such-session", "hello"))

    def test_wrongly_typed_argument_still_answers_array(self):
        assert_well_formed(self, self.server.call("Echo", "no-such-session", 5))

    def test_unparsable_xml_is_fault(self):
        for body in (b"<methodCall><methodName>Echo</methodName", b"not xml at all", b""):
            status, _, answer = self.server.post(body)
            self.assertEqual(status, 200)
            with self.assertRaises(xmlrpc.client.Fault, msg=body):
                xmlrpc.client.loads(answer)

    def test_unknown_method_is_fault(self):
        with self.assertRaises(xmlrpc.client.Fault) as caught:
            self.server.call("NoSuchMethod", "x")
        self.assertIn("NoSuchMethod", caught.exception.faultString)

    def test_introspection_is_disabled(self):
        with self.assertRaises(xmlrpc.client.Fault):
            self.server.call("system.listMethods")

    def test_bodies_up_to_the_limit_are_served(self):
        # 1 MiB is beyond xmlrpc-c's own default limit of 512 KiB.
        assert_well_formed(self, self.server.call("Echo", "no-such-session", "a" * (1 << 20)))
        base = len(echo_body(""))
        exact = echo_body("b" * (BODY_LIMIT - base))
        self.assertEqual(len(exact), BODY_LIMIT)
        status, _, answer = self.server.post(exact)
        self.assertEqual(status, 200)
        assert_well_formed(self, xmlrpc.client.loads(answer)[0][0])
        status, _, answer = self.server.post(iter([exact[:1000], exact[1000:]]),
                                             headers={"Transfer-Encoding": "chunked"})
        self.assertEqual(status, 200, "chunked body of exactly the limit")

    def test_body_over_the_limit_is_413(self):
        c = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=WAIT)
        c.putrequest("POST", "/RPC2")
        c.putheader("Content-Length", str(BODY_LIMIT + 1))
        c.endheaders()     # refused on the declared length, before any body
        self.assertEqual(c.getresponse().status, 413)
        c.close()

        def chunks():
            for _ in range(BODY_LIMIT // (1 << 20)):
                yield b"c" * (1 << 20)
            yield b"c"
        status, _, _ = self.server.post(chunks(), headers={"Transfer-Encoding": "chunked"})
        self.assertEqual(status, 413)
        assert_well_formed(self, self.server.call("Echo", "no-such-session", "after 413"))

    def test_other_methods_are_405(self):
        for method in ("GET", "PUT", "HEAD"):
            c = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=WAIT)
            c.request(method, "/RPC2")
            r = c.getresponse()
            r.read()
            c.close()
            self.assertEqual(r.status, 405, method)
            self.assertEqual(r.getheader("Allow"), "POST", method)

    def test_only_the_pages_folder_is_served(self):
        os.makedirs(os.path.join(self.server.root, "html", "sub"), exist_ok=True)
        with open(os.path.join(self.server.root, "html", "sub", "page.html"), "w") as f:
            f.write("<p>page</p>")
        if os.geteuid() == 0:
            shutil.chown(os.path.join(self.server.root, "html", "sub"), "www-data", "www-data")
            shutil.chown(os.path.join(self.server.root, "html", "sub", "page.html"), "www-data", "www-data")

        def get(path):
            c = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=WAIT)
            c.request("GET", path)
            r = c.getresponse()
            body = r.read()
            c.close()
            return r.status, r.getheader("Content-Type"), body
        status, ctype, body = get("/sub/page.html")
        self.assertEqual((status, body), (200, b"<p>page</p>"))
        self.assertTrue(ctype.startswith("text/html"), ctype)
        self.assertIn(get("/sub/")[0], (403, 404), "no directory listing")
        self.assertEqual(get("/quensc-config.conf")[0], 403)
        for path in ("/conf/quensc.conf", "/conf/httpd.conf", "/ssl/server.key", "/lib/libquensc.so",
                     "/../conf/quensc.conf", "/%2e%2e/ssl/server.key"):
            self.assertIn(get(path)[0], (400, 403, 404), path)

    def test_https_listener_serves_the_installation_certificate(self):
        context = ssl.create_default_context(cafile=os.path.join(self.server.root, "ssl", "server.crt"))
        with xmlrpc.client.ServerProxy(f"https://127.0.0.1:{self.server.https_port}/RPC2",
                                       context=context) as proxy:
            assert_well_formed(self, proxy.Echo("no-such-session", "over TLS"))

    def test_parallel_calls_all_answer(self):
        results, errors = [], []

        def worker():
            try:
                with xmlrpc.client.ServerProxy(self.server.url) as proxy:
                    for i in range(20):
                        results.append(proxy.Echo("no-such-session", f"call {i}"))
            except Exception as e:   # reported below, on the test's own thread
                errors.append(e)
        threads = [threading.Thread(target=worker) for _ in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(errors, [])
        self.assertEqual(len(results), 160)
        for r in results:
            assert_well_formed(self, r)

    def test_installation_belongs_to_the_unprivileged_user(self):
        if os.geteuid() != 0:
            self.skipTest("only a root start changes owners")
        owner = pwd.getpwnam("www-data").pw_uid
        for sub in ("", "conf", "conf/quensc.conf", "db", "log", "lib/libquensc.so", "html", "run"):
            self.assertEqual(os.stat(os.path.join(self.server.root, sub)).st_uid, owner, sub)
        with open(os.path.join(self.server.root, "html", "quensc-config.conf")) as f:
            self.assertEqual(f.read(), f"path={os.path.realpath(self.server.root)}/\n")

    def test_second_start_for_the_same_installation_is_refused(self):
        code, out = run_quenscd("--root", self.server.root, "--listen", f"127.0.0.1:{free_port()}",
                                "--libdir", ARGS.libdir)
        self.assertEqual(code, 1, out)
        self.assertIn("already running", out)
        assert_well_formed(self, self.server.call("Echo", "no-such-session", "still serving"))


class Lifecycle(unittest.TestCase):
    """Restarts, stopping, and a module whose init() fails."""

    def test_graceful_restart_runs_init_again_and_keeps_serving(self):
        server = Server(self.addCleanup)
        assert_well_formed(self, server.call("Echo", "no-such-session", "before"))
        inits = server.init_count()
        self.assertGreaterEqual(inits, 1, server.describe())

        server.proc.send_signal(signal.SIGUSR1)
        server.wait_for_init_count(inits + 1)
        assert_well_formed(self, server.call("Echo", "no-such-session", "after SIGUSR1"))

        # The restart script that the configuration tool starts.
        script = os.path.join(server.root, "bin", "apache_restart.sh")
        done = subprocess.run([script], capture_output=True, text=True, timeout=WAIT)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        server.wait_for_init_count(inits + 2)
        assert_well_formed(self, server.call("Echo", "no-such-session", "after the script"))
        self.assertIsNone(server.proc.poll())

    def test_sigterm_stops_every_process(self):
        server = Server(self.addCleanup)
        pid_file = os.path.join(server.root, "log", "quenscd.pid")
        with open(pid_file) as f:
            self.assertEqual(int(f.read()), server.proc.pid, "quenscd becomes the web server")
        server.proc.send_signal(signal.SIGTERM)
        self.assertEqual(server.proc.wait(WAIT), 0)
        deadline = time.monotonic() + WAIT
        while server.group_alive() and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertFalse(server.group_alive(), "a child outlived the server")
        self.assertFalse(os.path.exists(pid_file))
        with self.assertRaises(OSError):
            server.post(echo_body("gone"))

    def test_failed_init_answers_503_and_says_why(self):
        server = Server(self.addCleanup, configured=False)
        status, _, _ = server.post(echo_body("x"))
        self.assertEqual(status, 503)
        self.assertIn("mod_quensc: init() of", server.log())
        self.assertIn("conf/quensc.conf", server.log())
        c = http.client.HTTPConnection("127.0.0.1", server.port, timeout=WAIT)
        c.request("GET", "/RPC2")
        self.assertEqual(c.getresponse().status, 405, "the method check comes first")
        c.close()


class ConfigurationTool(unittest.TestCase):
    """configure.cgi through mod_cgi, with a stand-in for the tool."""

    def test_tool_runs_in_the_pages_folder_as_the_installation_user(self):
        libdir = tempfile.mkdtemp(prefix="quenscd-test-lib-", dir="/tmp")
        self.addCleanup(shutil.rmtree, libdir, True)
        for name in ("mod_quensc.so", "libquensc.so"):
            shutil.copy(os.path.join(ARGS.libdir, name), libdir)
        with open(os.path.join(libdir, "configure"), "w") as f:
            f.write("#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n'\n"
                    "id -un\ncat quensc-config.conf\necho \"$QUERY_STRING\"\n")
        os.chmod(os.path.join(libdir, "configure"), 0o755)
        server = Server(self.addCleanup, libdir=libdir)

        def get(path):
            c = http.client.HTTPConnection("127.0.0.1", server.port, timeout=WAIT)
            c.request("GET", path)
            r = c.getresponse()
            body = r.read().decode()
            c.close()
            return r.status, body
        user = "www-data" if os.geteuid() == 0 else pwd.getpwuid(os.geteuid()).pw_name
        root = os.path.realpath(server.root)
        expected = f"{user}\npath={root}/\ntype=x\n"
        self.assertEqual(get("/configure.cgi?type=x"), (200, expected), server.describe())
        self.assertEqual(get("/?type=x"), (200, expected), "the tool is the index page")


class Launcher(unittest.TestCase):
    """quenscd refusals that happen before any web server starts."""

    def test_usage_errors(self):
        for args in ([], ["--root"], ["--root", "/tmp/x", "--listen", "127.0.0.1"],
                     ["--root", "/tmp/x", "--listen", "127.0.0.1:0"],
                     ["--root", "/tmp/x", "--listen", "127.0.0.1:8080,"],
                     ["--root", "/tmp/x", "--listen", "::1:8080"],
                     ["--root", "/tmp/x", "--bogus"]):
            code, out = run_quenscd(*args)
            self.assertEqual(code, 2, f"{args}: {out}")
            self.assertIn("quenscd:", out)

    def test_path_that_would_break_the_configuration_is_refused(self):
        parent = tempfile.mkdtemp(prefix="quenscd-test-", dir="/tmp")
        self.addCleanup(shutil.rmtree, parent, True)
        root = os.path.join(parent, "a${HOME}b")
        code, out = run_quenscd("--root", root, "--libdir", ARGS.libdir)
        self.assertEqual(code, 1, out)
        self.assertFalse(os.path.exists(root))

    def test_unreachable_installation_is_refused_untouched(self):
        if os.geteuid() != 0:
            self.skipTest("needs root, which hands the installation to www-data")
        private = tempfile.mkdtemp(prefix="quenscd-test-", dir="/tmp")   # mode 0700, root's
        self.addCleanup(shutil.rmtree, private, True)
        root = os.path.join(private, "inst")
        code, out = run_quenscd("--root", root, "--libdir", ARGS.libdir)
        self.assertEqual(code, 1, out)
        self.assertIn("cannot reach", out)
        self.assertIn(private, out)
        self.assertFalse(os.path.exists(root))
        self.assertEqual(os.stat(private).st_uid, 0)

    def test_folder_that_is_no_installation_is_not_given_away(self):
        if os.geteuid() != 0:
            self.skipTest("needs root, which hands the installation to www-data")
        root = tempfile.mkdtemp(prefix="quenscd-test-", dir="/tmp")
        self.addCleanup(shutil.rmtree, root, True)
        with open(os.path.join(root, "notes.txt"), "w") as f:
            f.write("not ours")
        code, out = run_quenscd("--root", root, "--libdir", ARGS.libdir)
        self.assertEqual(code, 1, out)
        self.assertIn("notes.txt", out)
        self.assertEqual(os.stat(root).st_uid, 0)
        self.assertEqual(sorted(os.listdir(root)), ["notes.txt"])

    def test_https_without_key_is_refused(self):
        root = tempfile.mkdtemp(prefix="quenscd-test-", dir="/tmp")
        self.addCleanup(shutil.rmtree, root, True)
        code, out = run_quenscd("--root", root, "--listen", f"127.0.0.1:{free_port()}s",
                                "--libdir", ARGS.libdir)
        self.assertEqual(code, 1, out)
        self.assertIn("ssl/server.key", out)

    def test_missing_module_is_refused(self):
        empty = tempfile.mkdtemp(prefix="quenscd-test-", dir="/tmp")
        self.addCleanup(shutil.rmtree, empty, True)
        code, out = run_quenscd("--root", os.path.join(empty, "inst"), "--libdir", empty)
        self.assertEqual(code, 1, out)
        self.assertIn("mod_quensc.so", out)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--quenscd", required=True)
    parser.add_argument("--libdir", required=True)
    parser.add_argument("--quensc-db")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
