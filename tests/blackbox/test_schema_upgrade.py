"""A server started on a database of an older schema version upgrades it
before it answers, runs the start-up data step and then serves the rows
the older version kept."""

import os
import sqlite3
import subprocess
import unittest

from quensc_harness import BUILD, Installation, ADMIN_PASSWORD

UPGRADE_FIXTURE = os.path.join(BUILD, "apps", "lib", "policydb", "upgrade_fixture")


class ServerOnAnOlderDatabase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if os.environ.get("QUENSC_TEST_STORE", "sqlite") != "sqlite":
            raise unittest.SkipTest("the upgrade on PostgreSQL is covered by the library's own tests")
        cls.inst = Installation()
        os.remove(cls.inst.db)
        subprocess.run([UPGRADE_FIXTURE, "206", "--sqlite", cls.inst.db], check=True, capture_output=True)
        cls.inst.start()

    @classmethod
    def sql(cls, statement):
        db = sqlite3.connect(cls.inst.db, timeout=60)
        try:
            return db.execute(statement).fetchall()
        finally:
            db.close()

    @classmethod
    def tearDownClass(cls):
        cls.inst.stop()
        cls.inst.remove()

    def test_the_schema_reads_216_and_the_log_names_both_steps(self):
        self.assertEqual(self.sql("SELECT value FROM PolicyDb_MetaInfo WHERE name = 'version'"),
                         [("216",)])
        log = self.inst.error_log()
        self.assertIn("PolicyDb: Database Upgrade from version 206 to version 216 SUCCESFUL", log)
        self.assertIn("Performing Data Upgrade to v.215", log)

    def test_instance_passwords_are_stored_as_salted_hashes(self):
        rows = self.sql("SELECT instanceUID, insPassword FROM PolicyDb_Instance "
                                      "WHERE deleted = 'FALSE' ORDER BY instanceUID")
        self.assertEqual([uid for uid, _ in rows], ["I1", "I2", "I3"])
        for uid, stored in rows:
            self.assertEqual(len(stored), 28, uid)
            self.assertFalse(stored.startswith("hash"), uid)

    def test_the_server_answers_with_the_kept_quens(self):
        proxy = self.inst.proxy()
        code, session, _ = proxy.SessionOpen(10)
        self.assertEqual(code, 0)
        code = proxy.AuthenticateManager(session, {"type": 2, "pwd": {"pwd": ADMIN_PASSWORD}})[0]
        self.assertEqual(code, 0)
        result = proxy.QuenInfo(session, "Q1")
        self.assertEqual(result[0], 0, result)


if __name__ == "__main__":
    unittest.main()
