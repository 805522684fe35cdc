"""What the service's black-box stories share: the wire forms of 64-bit
values, credentials, policies and packages, a test case that runs one real
server for its class, and the steps every story starts with (log in, make
a Quen, a package, instances)."""

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


def policy(form=i64, **members):
    """A policy struct, everything off but for members; the three 64-bit
    members, where they are ints, go out in the given form."""
    p = {"instType": 0, "authType": 0, "useInstanceLimit": 0, "instanceLimit": 0,
         "usePerUserInstanceLimit": 0, "perUserInstanceLimit": 0, "expType": 0,
         "expValue_1": 0, "expValue_2": 0, "sessionLifetime": -1, "copyPolicy": 0}
    p.update(members)
    for member in ("expValue_1", "expValue_2", "sessionLifetime"):
        if isinstance(p[member], int):
            p[member] = form(p[member])
    return p


def package(uuid, quen, name=None, preview=0, form=i64, **members):
    """A package struct; its two dates, where they are ints, go out in the
    given form."""
    p = {"uuid": uuid, "quen_uuid": quen, "name": name or "package " + uuid, "useValidDates": 0,
         "validDateStart": 0, "validDateEnd": 0, "key": "key-of-" + uuid, "disabled": 0, "preview": preview}
    p.update(members)
    for member in ("validDateStart", "validDateEnd"):
        if isinstance(p[member], int):
            p[member] = form(p[member])
    return p


class RunningServer(unittest.TestCase):
    """One installation per class, started before its first test and removed
    after its last, also when preparing it fails."""

    @classmethod
    def setUpClass(cls):
        cls.install = Installation()
        try:
            cls.install.start()
            cls.prepare()
        except Exception:
            cls.install.remove()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.install.remove()

    @classmethod
    def prepare(cls):
        """What the tests of a class share, made once the server answers."""

    @classmethod
    def admin_session(cls):
        """A proxy and a session of its own with administrator rights."""
        server = cls.install.proxy()
        session = server.SessionOpen(10)[1]
        assert server.AuthenticateManager(session, password_credential(ADMIN_PASSWORD)) == [0]
        return server, session

    def setUp(self):
        self.server = self.install.proxy()

    def sql(self, statement, params=()):
        return self.install.store.sql(statement, params)


class ServerTestCase(RunningServer):
    """A running server and, for every test, an administrator session and
    (unless login_helpdesk is false) a helpdesk session."""

    login_helpdesk = True

    def setUp(self):
        super().setUp()
        self.admin = self.login(ADMIN_PASSWORD)
        if self.login_helpdesk:
            self.helpdesk = self.login(HELPDESK_PASSWORD)

    def login(self, password=None):
        code, session, _ = self.server.SessionOpen(10)
        self.assertEqual(code, 0)
        if password is not None:
            self.assertEqual(self.server.AuthenticateManager(session, password_credential(password)), [0])
        return session

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
