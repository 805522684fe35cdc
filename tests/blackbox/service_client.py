"""What the service's black-box stories share: the wire forms of 64-bit
values and credentials, a test case that runs one real server for its
class, and the steps every story starts with (log in, make a Quen, a
package, instances)."""

import sqlite3
import struct
import unittest
import xmlrpc.client

from quensc_harness import ADMIN_PASSWORD, HELPDESK_PASSWORD, Installation

Binary = xmlrpc.client.Binary
ANYBODY = {"type": 0}  # the instantiation credential when the Quen admits anybody


def password_credential(password):
    return {"type": 2, "pwd": {"pwd": password}}


def i64(value):
    """A 64-bit value in its 8-byte little-endian base64 form."""
    return Binary(struct.pack("<q", value))


def value64(wire):
    """What the server sends for a 64-bit value: always 8 bytes of base64."""
    assert isinstance(wire, Binary), "64-bit values come back as base64, got %r" % (wire,)
    assert len(wire.data) == 8, "64-bit values are 8 bytes, got %d" % len(wire.data)
    return struct.unpack("<q", wire.data)[0]


def package(uuid, quen, name=None, preview=0):
    return {"uuid": uuid, "quen_uuid": quen, "name": name or "package " + uuid, "useValidDates": 0,
            "validDateStart": i64(0), "validDateEnd": i64(0), "key": "key-of-" + uuid, "disabled": 0,
            "preview": preview}


class ServerTestCase(unittest.TestCase):
    """One installation per class, started before its first test and removed
    after its last."""

    @classmethod
    def setUpClass(cls):
        cls.install = Installation()
        try:
            cls.install.start()
        except Exception:
            cls.install.remove()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.install.remove()

    def setUp(self):
        self.server = self.install.proxy()
        self.admin = self.login(ADMIN_PASSWORD)
        self.helpdesk = self.login(HELPDESK_PASSWORD)

    def login(self, password=None):
        code, session, _ = self.server.SessionOpen(10)
        self.assertEqual(code, 0)
        if password is not None:
            self.assertEqual(self.server.AuthenticateManager(session, password_credential(password)), [0])
        return session

    def sql(self, statement, params=()):
        db = sqlite3.connect(self.install.db, timeout=60)
        try:
            with db:
                return db.execute(statement, params).fetchall()
        finally:
            db.close()

    def create_quen(self, uid, name=None):
        self.assertEqual(self.server.QuenCreate(self.admin, {"uuid": uid, "name": name or "Quen " + uid}), [0])

    def create_package(self, uid, quen, name=None):
        self.assertEqual(self.server.PackageCreate(self.admin, package(uid, quen, name)), [0])

    def create_instance(self, package_uid, session=None, copy_protection_id=""):
        """A new instance of the package (its Quen admits anybody); its UID."""
        answer = self.server.InstanceCreate(session or self.login(), ANYBODY, package_uid, "client key",
                                            copy_protection_id)
        self.assertEqual(answer[0], 0, "InstanceCreate answered %r\n%s" % (answer, self.install.error_log()[-2000:]))
        return answer[1]
