"""A database server that goes away while the server runs (PostgreSQL
only: an SQLite file does not go away): requests answer 2 with a log line
that says why, nothing half-written stays behind, and the server answers
again as soon as the database is back. Uses a cluster of its own, so the
other tests' database never stops."""

import os
import subprocess
import tempfile
import unittest

import quensc_harness  # noqa: F401 - puts the harness on the path
import quensc_install
from quensc_harness import ADMIN_PASSWORD, Installation
from quensc_install import PG_PEER_SCRIPT
from service_client import password_credential


@unittest.skipUnless(quensc_install.store_class().name == "postgres",
                     "a database server outage needs PostgreSQL")
class DatabaseOutage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.state = tempfile.mktemp(prefix="quensc-pg-outage-", suffix=".env")
        subprocess.run([PG_PEER_SCRIPT, "start", cls.state], check=True, capture_output=True)
        cls.shared_peer = os.environ["QUENSC_PG_PEER"]
        os.environ["QUENSC_PG_PEER"] = cls.state
        try:
            cls.install = Installation()
            cls.install.start()
        except Exception:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        if getattr(cls, "install", None):
            cls.install.remove()
        os.environ["QUENSC_PG_PEER"] = cls.shared_peer
        subprocess.run([PG_PEER_SCRIPT, "stop", cls.state], capture_output=True)

    def peer(self, command):
        subprocess.run([PG_PEER_SCRIPT, command, self.state], check=True, capture_output=True)

    def test_requests_fail_with_2_while_down_and_succeed_once_back(self):
        server = self.install.proxy()
        self.addCleanup(server("close"))
        session = server.SessionOpen(10)[1]
        self.assertEqual(server.AuthenticateManager(session, password_credential(ADMIN_PASSWORD)), [0])
        self.peer("pause")
        try:
            self.assertEqual(server.SessionOpen(10), [2])
            self.assertEqual(server.QuenCreate(session, {"uuid": "while-down", "name": "x"}), [2])
            self.assertIn("Db_Open: Cannot open a DB Connection: ", self.install.error_log())
        finally:
            self.peer("resume")
        self.assertEqual(server.SessionOpen(10)[0], 0)
        self.assertEqual(server.QuenCreate(session, {"uuid": "after", "name": "after"}), [0])
        self.assertEqual(self.install.store.sql("SELECT quenUID FROM PolicyDb_Quen ORDER BY quenUID"),
                         [("after",)])
        self.assertNotIn(self.install.store.peer["PG_PASSWORD"], self.install.error_log())


if __name__ == "__main__":
    unittest.main()
