"""Tests of the installation harness itself: the configuration writer, the
store switch, clean-up when a step fails, stopping every process, and the
development installation of `make run`."""

import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest
from unittest import mock

import quensc_install
from quensc_install import (Build, HarnessError, Installation, configuration_text, merge_sections,
                            password_hash)

HERE = os.path.dirname(os.path.abspath(__file__))


def scratch(test):
    """A private folder for one test, removed after it."""
    parent = tempfile.mkdtemp(prefix="quensc-harness-test-", dir="/tmp")
    os.chmod(parent, 0o755)
    test.addCleanup(shutil.rmtree, parent, True)
    return parent


def read_text(path):
    try:
        with open(path) as f:
            return f.read()
    except FileNotFoundError:
        return ""


def process_gone(pid):
    """True when pid no longer runs (a zombie waiting for its reaper counts as gone)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "Z"
    except FileNotFoundError:
        return True


class ConfigurationWriter(unittest.TestCase):

    BASE = {"global": {"configuration_version": 3, "use_ldap": 0}, "logging": {"quen_admin": 4}}

    def test_overrides_merge_into_the_base(self):
        cases = [
            ("key added", {"global": {"session_ttl": 60}},
             {"global": {"configuration_version": 3, "use_ldap": 0, "session_ttl": 60}, "logging": {"quen_admin": 4}}),
            ("key replaced", {"global": {"use_ldap": 1}},
             {"global": {"configuration_version": 3, "use_ldap": 1}, "logging": {"quen_admin": 4}}),
            ("key dropped", {"global": {"use_ldap": None}},
             {"global": {"configuration_version": 3}, "logging": {"quen_admin": 4}}),
            ("section dropped", {"logging": None}, {"global": {"configuration_version": 3, "use_ldap": 0}}),
            ("section added", {"ldap": {"host": "dc"}},
             {"global": {"configuration_version": 3, "use_ldap": 0}, "logging": {"quen_admin": 4},
              "ldap": {"host": "dc"}}),
            ("text replaces a section", {"logging": "<quen_admin>1</quen_admin>"},
             {"global": {"configuration_version": 3, "use_ldap": 0}, "logging": "<quen_admin>1</quen_admin>"}),
        ]
        for name, override, expected in cases:
            with self.subTest(name):
                self.assertEqual(merge_sections(self.BASE, override), expected)
        self.assertEqual(self.BASE["global"], {"configuration_version": 3, "use_ldap": 0}, "base left as it was")

    def test_values_are_xml_escaped(self):
        text = configuration_text({"administrators": {"ldap_group": "a<b & c>d"}})
        self.assertIn("<ldap_group>a&lt;b &amp; c&gt;d</ldap_group>", text)

    def test_emptied_section_is_not_written(self):
        # The server stops reading at an empty section, losing every later one.
        text = configuration_text(merge_sections({"global": {"use_ldap": 0}, "logging": {"quen_admin": 4}},
                                                 {"global": {"use_ldap": None}}))
        self.assertNotIn("<global>", text)
        self.assertIn("<quen_admin>4</quen_admin>", text)

    def test_sections_follow_the_tool_order_unknown_last(self):
        text = configuration_text({"extra": {"k": 1}, "logging": {"quen_admin": 4}, "global": {"use_ldap": 0},
                                   "sqlite": {"db_file": "x"}})
        names = re.findall(r"^\t<(\w+)>", text, re.M)
        self.assertEqual(names, ["global", "sqlite", "logging", "extra"])


class SetUp(unittest.TestCase):
    """Making an installation, and what is left when a step fails."""

    def test_test_installation_holds_what_the_server_reads(self):
        install = Installation(certificate=False)
        self.addCleanup(install.remove)
        self.assertEqual(oct(os.stat(install.root).st_mode & 0o777), "0o755")
        for sub in quensc_install.SUBFOLDERS:
            self.assertTrue(os.path.isdir(os.path.join(install.root, sub)), sub)
        with open(install.configuration_path) as f:
            text = f.read()
        self.assertIn("<password>%s</password>" % password_hash(quensc_install.ADMIN_PASSWORD), text)
        self.assertIn("<db_type>sqlite</db_type>", text)
        self.assertTrue(os.path.getsize(install.db) > 0)

    def test_unknown_store_is_refused_and_nothing_left(self):
        root = os.path.join(scratch(self), "inst")
        with mock.patch.dict(os.environ, {"QUENSC_TEST_STORE": "no-such-store"}):
            with self.assertRaisesRegex(HarnessError, "QUENSC_TEST_STORE=no-such-store"):
                Installation(root)
        self.assertFalse(os.path.exists(root))

    def test_failed_database_step_removes_the_folder(self):
        root = os.path.join(scratch(self), "inst")
        build = Build.from_dir()
        with self.assertRaisesRegex(HarnessError, "false"):
            Installation(root, build=Build(build.quenscd, build.libdir, shutil.which("false")))
        self.assertFalse(os.path.exists(root))

    def test_folder_with_files_is_refused_untouched(self):
        root = scratch(self)
        with open(os.path.join(root, "notes.txt"), "w") as f:
            f.write("not ours")
        with self.assertRaisesRegex(HarnessError, "not empty"):
            Installation(root)
        self.assertEqual(os.listdir(root), ["notes.txt"])


class Processes(unittest.TestCase):
    """Starting and stopping: no process outlives the harness."""

    def fake_quenscd(self, script):
        path = os.path.join(scratch(self), "quenscd")
        with open(path, "w") as f:
            f.write("#!/bin/sh\n" + script)
        os.chmod(path, 0o755)
        return Build(path, os.path.dirname(path), None)

    def test_quenscd_that_exits_fails_the_start_with_its_output(self):
        install = Installation(build=self.fake_quenscd("echo 'cannot go on' >&2; exit 1\n"), configured=False)
        self.addCleanup(install.remove)
        with self.assertRaisesRegex(HarnessError, "(?s)exited with 1.*cannot go on"):
            install.start()
        self.assertIsNone(install.process)

    def test_stop_ends_children_that_ignore_sigterm(self):
        # $2 is the installation folder (quenscd --root DIR ...).
        build = self.fake_quenscd("trap '' TERM\nsleep 300 &\necho $! > \"$2/tmp/child\"\nwait\n")
        install = Installation(build=build, configured=False)
        self.addCleanup(install.remove)
        install.start(ready=None)
        child = os.path.join(install.root, "tmp", "child")
        deadline = time.monotonic() + 30
        while not read_text(child).strip() and time.monotonic() < deadline:
            time.sleep(0.05)
        leader, child_pid = install.process.pid, int(read_text(child))
        install.stop(timeout=1)
        self.assertIsNone(install.process)
        deadline = time.monotonic() + 30
        while not process_gone(child_pid) and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertTrue(process_gone(leader))
        self.assertTrue(process_gone(child_pid), "a child outlived stop()")

    def test_port_taken_meanwhile_is_chosen_again(self):
        taken = socket.socket()
        self.addCleanup(taken.close)
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        real = quensc_install.free_ports
        answers = [[taken.getsockname()[1], real(1)[0]]]
        with mock.patch.object(quensc_install, "free_ports", lambda n: answers.pop(0) if answers else real(n)):
            install = Installation(certificate=True)
            self.addCleanup(install.remove)
            install.start()
        self.assertNotEqual(install.http_port, taken.getsockname()[1])
        with install.proxy() as proxy:
            self.assertEqual(proxy.SessionOpen(10)[0], 0)


class DevelopmentInstallation(unittest.TestCase):
    """The command line behind `make run`."""

    def test_create_prints_a_password_that_logs_in(self):
        root = os.path.join(scratch(self), "inst")
        done = subprocess.run([sys.executable, os.path.join(HERE, "quensc_install.py"), "create",
                               "--build", quensc_install.BUILD, "--root", root],
                              capture_output=True, text=True, timeout=300)
        self.assertEqual(done.returncode, 0, done.stderr)
        password = done.stdout.strip()
        self.assertRegex(done.stdout, r"^[A-Za-z0-9]{20}\n$")
        with open(os.path.join(root, "conf", "quensc.conf")) as f:
            text = f.read()
        self.assertNotIn(password, text)
        self.assertNotIn("<helpdesk>", text)
        install = Installation.existing(root)
        self.addCleanup(install.stop)
        install.start()
        with install.proxy(https=True) as proxy:
            session = proxy.SessionOpen(10)[1]
            self.assertEqual(proxy.AuthenticateManager(session, {"type": 2, "pwd": {"pwd": password}}), [0])

    def test_create_refuses_a_folder_with_files(self):
        root = scratch(self)
        with open(os.path.join(root, "keep"), "w") as f:
            f.write("x")
        done = subprocess.run([sys.executable, os.path.join(HERE, "quensc_install.py"), "create",
                               "--build", quensc_install.BUILD, "--root", root],
                              capture_output=True, text=True, timeout=60)
        self.assertEqual(done.returncode, 1)
        self.assertEqual(done.stdout, "")
        self.assertIn("not empty", done.stderr)
        self.assertEqual(os.listdir(root), ["keep"])


if __name__ == "__main__":
    unittest.main()
