"""Quens, policy sets and packages over the wire, told the way a manager
works with them: create a Quen, edit and publish its policies, hand out
packages, let a client check in, and finally destroy the Quen. Every class
runs against a real server started through quenscd."""

import base64
import hashlib
import time
import unittest

import service_client
from quensc_harness import HELPDESK_PASSWORD
from service_client import Binary, ServerTestCase, policy, value64

SESSION_TTL = 86400  # the built-in default of the test installation


def plain_policy(wire):
    """A policy struct as received, with its 64-bit members as ints."""
    out = dict(wire)
    for name in ("expValue_1", "expValue_2", "sessionLifetime"):
        out[name] = value64(out[name])
    return out


def package(uuid, quen, **members):
    """A package whose key says it is secret, for the trail to be searched."""
    return service_client.package(uuid, quen, **{"key": "secret-key-of-" + uuid, **members})


class QuenTestCase(ServerTestCase):
    login_helpdesk = False

    def events(self, event_type, quen):
        return self.sql("SELECT messageParams, policyVersion, packageUID, returnCodeText FROM PolicyDb_Event "
                        "WHERE eventType = ? AND quenUID = ? ORDER BY CAST(eventUID AS INTEGER)",
                        (event_type, quen))

    def add_instance(self, uid, package_uid, quen, revoked=0, preview=False):
        pad = lambda v: "%020d" % v  # noqa: E731 - the instance table's date form
        self.sql("INSERT INTO PolicyDb_Instance (instanceUID, packageUID, quenUID, creatorIdName, creatorIdData, "
                 "creatorAuthType, activationDate, lastPolicyCheck, revocationDate, replacementDate, "
                 "inheritsExpiration, insUseValidDates, insValidDateStart, insValidDateEnd, insPassword, "
                 "insPreview) VALUES (?, ?, ?, 'N/A', '', 0, ?, ?, ?, ?, 'TRUE', 'FALSE', ?, ?, 'kept', ?)",
                 (uid, package_uid, quen, pad(1000), pad(0), pad(revoked), pad(0), pad(0),
                  "%020d" % (2 ** 63 - 1), "TRUE" if preview else "FALSE"))


class QuenLife(QuenTestCase):
    def test_a_quen_from_creation_to_destruction(self):
        s, admin = self.server, self.admin
        self.assertEqual(s.QuenCreate(admin, {"uuid": "story", "name": "Sales laptops"}), [0])
        self.assertEqual(s.QuenInfo(admin, "story"), [0, {"uuid": "story", "name": "Sales laptops"}])
        listed = s.QuenQuery(admin)
        self.assertEqual(listed[0], 0)
        self.assertEqual(listed[1], len(listed) - 2)
        self.assertIn({"uuid": "story", "name": "Sales laptops"}, listed[2:])
        self.assertEqual(s.QuenCreate(admin, {"uuid": "story", "name": "again"}), [25])
        self.assertEqual(s.QuenCreate(admin, {"uuid": "", "name": "no id"}), [5])
        self.assertEqual(s.QuenCreate(admin, {"uuid": "x" * 129, "name": "too long an id"}), [5])

        # A new Quen: version 1 published and current, version 2 its working copy.
        code, client, host, current = s.PolicyAdminRetrieve(admin, "story", 0)
        self.assertEqual((code, client, host), (0, "", ""))
        self.assertEqual(plain_policy(current)["sessionLifetime"], 0)
        self.assertEqual(s.PolicyAdminRetrieve(admin, "story", 1), [0, "", "", current])
        self.assertEqual(self.sql("SELECT policyVersion, published FROM PolicyDb_RuntimePolicy WHERE quenUID = "
                                  "'story' ORDER BY policyVersion"), [(1, "TRUE"), (2, "FALSE")])

        self.assertEqual(s.QuenUpdate(admin, {"uuid": "story", "name": "Sales desktops"}), [0])
        self.assertEqual(s.QuenInfo(admin, "story")[1]["name"], "Sales desktops")
        self.assertEqual(s.QuenUpdate(admin, {"uuid": "no-such", "name": "x"}), [18])

        # Policy edits: a lifetime under the session time-to-live is raised to
        # it, -1 (unlimited) is kept; both 64-bit wire forms are accepted.
        self.assertEqual(s.PolicyStore(admin, "story", "c1", "h1", policy(sessionLifetime=60)), [0])
        self.assertEqual(plain_policy(s.PolicyAdminRetrieve(admin, "story", 1)[3])["sessionLifetime"], SESSION_TTL)
        edited = policy(form=str, instType=2, authType=2, useInstanceLimit=1, instanceLimit=50, expType=2,
                        expValue_1=1700000000, expValue_2=4102444800, sessionLifetime=-1, copyPolicy=1)
        self.assertEqual(s.PolicyStore(admin, "story", "client policy <&>", "host policy", edited), [0])
        code, client, host, working = s.PolicyAdminRetrieve(admin, "story", 1)
        self.assertEqual((code, client, host), (0, "client policy <&>", "host policy"))
        expected = {"instType": 2, "authType": 2, "useInstanceLimit": 1, "instanceLimit": 50,
                    "usePerUserInstanceLimit": 0, "perUserInstanceLimit": 0, "expType": 2,
                    "expValue_1": 1700000000, "expValue_2": 4102444800, "sessionLifetime": -1, "copyPolicy": 1}
        self.assertEqual(plain_policy(working), expected)
        self.assertEqual(self.sql("SELECT COUNT(*) FROM PolicyDb_RuntimePolicy WHERE quenUID = 'story'"), [(2,)],
                         "storing twice keeps one working version")
        self.assertEqual(s.PolicyAdminRetrieve(admin, "story", 0)[3], current, "the current set is untouched")

        # Publishing: the edits become current and the new working copy equals them.
        self.assertEqual(s.PolicyPublish(admin, "story"), [0])
        published = s.PolicyAdminRetrieve(admin, "story", 0)
        self.assertEqual(published, [0, "client policy <&>", "host policy", working])
        self.assertEqual(s.PolicyAdminRetrieve(admin, "story", 1), published)
        self.assertEqual(self.sql("SELECT activePolicySetVersion FROM PolicyDb_Quen WHERE quenUID = 'story'"),
                         [(2,)])

        self.assertEqual(s.QuenDestroy(admin, "story"), [0])
        self.assertEqual(s.QuenInfo(admin, "story"), [18])
        self.assertEqual(s.QuenDestroy(admin, "story"), [18])
        self.assertEqual(s.PolicyAdminRetrieve(admin, "story", 0), [18])
        self.assertEqual(s.PolicyStore(admin, "story", "c", "h", policy()), [18])
        self.assertNotIn("story", [q["uuid"] for q in s.QuenQuery(admin)[2:]])

        # The audit trail of the story.
        self.assertEqual(self.events(2010, "story")[0][:2], ("Sales laptops\t1", 0))
        self.assertEqual([e[3] for e in self.events(2010, "story")], ["OK", "OBJECT EXISTS"])
        self.assertEqual(self.events(2030, "story")[0][0], "Sales laptops\tSales desktops")
        self.assertEqual([e[:2] for e in self.events(5030, "story")][:2], [("2", 2), ("2", 2)])
        self.assertEqual(self.events(5040, "story")[0][:2], ("2", 2))
        self.assertEqual(self.events(2020, "story")[0][0], "Sales desktops")
        self.assertEqual(self.events(2020, "story")[1][0], "", "an unknown Quen has no name")

    def test_rights_of_helpdesk_and_plain_sessions(self):
        self.create_quen("rights")
        desk, anyone = self.login(HELPDESK_PASSWORD), self.login()
        s = self.server
        self.assertEqual(s.QuenInfo(desk, "rights")[0], 0)
        self.assertEqual(s.QuenQuery(desk)[0], 0)
        self.assertEqual(s.PolicyAdminRetrieve(desk, "rights", 1)[0], 0)
        self.assertEqual(s.PackageQuery(desk, "")[0], 0)
        for call in (lambda who: s.QuenCreate(who, {"uuid": "r2", "name": "r2"}),
                     lambda who: s.QuenUpdate(who, {"uuid": "rights", "name": "x"}),
                     lambda who: s.QuenDestroy(who, "rights"),
                     lambda who: s.QuenDestroyPreview(who, "rights"),
                     lambda who: s.PolicyStore(who, "rights", "c", "h", policy()),
                     lambda who: s.PolicyPublish(who, "rights"),
                     lambda who: s.PackageCreate(who, package("r-p", "rights")),
                     lambda who: s.PackageUpdate(who, package("r-p", "rights"))):
            self.assertEqual(call(desk), [9])
            self.assertEqual(call(anyone), [9])
        self.assertEqual(s.QuenInfo(anyone, "rights"), [9])
        self.assertEqual(s.PolicyRetrieveHostOnly(anyone, "rights"), [0, ""], "client runtimes need no rights")
        self.assertEqual(s.QuenInfo("no-such-session", "rights"), [6])

    def test_policy_values_on_the_wire(self):
        self.create_quen("wire")
        s, admin = self.server, self.admin
        before = s.PolicyAdminRetrieve(admin, "wire", 1)
        big = 2 ** 62 + 12345
        self.assertEqual(s.PolicyStore(admin, "wire", "", "", policy(expType=1, expValue_1=big,
                                                                       expValue_2=-big, sessionLifetime=big)), [0])
        self.assertEqual(plain_policy(s.PolicyAdminRetrieve(admin, "wire", 1)[3])["expValue_1"], big)
        self.assertEqual(plain_policy(s.PolicyAdminRetrieve(admin, "wire", 1)[3])["expValue_2"], -big)
        self.assertEqual(s.PolicyStore(admin, "wire", "", "", policy(form=str, sessionLifetime=-7)), [0])
        self.assertEqual(plain_policy(s.PolicyAdminRetrieve(admin, "wire", 1)[3])["sessionLifetime"], SESSION_TTL)
        stored = s.PolicyAdminRetrieve(admin, "wire", 1)

        # Wrong forms of a 64-bit member, unknown values: refused, nothing stored.
        four_bytes = policy(sessionLifetime=Binary(b"\x01\x00\x00\x00"))
        self.assertEqual(s.PolicyStore(admin, "wire", "x", "x", four_bytes), [2])
        self.assertEqual(s.PolicyStore(admin, "wire", "x", "x", policy(expValue_1=5) | {"expValue_1": 5}), [2])
        for member, value in (("authType", 4), ("instType", 3), ("expType", 3), ("copyPolicy", -1)):
            self.assertEqual(s.PolicyStore(admin, "wire", "x", "x", policy(**{member: value})), [5], member)
        self.assertEqual(s.PolicyAdminRetrieve(admin, "wire", 1), stored)
        self.assertNotEqual(stored, before)
        self.assertEqual(s.PolicyAdminRetrieve(admin, "wire", 7), s.PolicyAdminRetrieve(admin, "wire", 1),
                         "any non-zero flag means the working set")

    def test_destroy_waits_for_valid_instances_and_preview_cleanup(self):
        self.create_quen("busy")
        s, admin = self.server, self.admin
        self.assertEqual(s.PackageCreate(admin, package("busy-p", "busy")), [0])
        self.assertEqual(s.PackageCreate(admin, package("busy-pv", "busy", preview=1)), [0])
        self.add_instance("busy-i1", "busy-p", "busy")
        self.add_instance("busy-i2", "busy-pv", "busy", preview=True)
        self.assertEqual(s.QuenDestroy(admin, "busy"), [35])

        self.assertEqual(s.QuenDestroyPreview(admin, "busy"), [0])
        self.assertEqual(s.PackageInfo(admin, "busy-pv"), [19])
        self.assertEqual(s.PackageInfo(admin, "busy-p")[0], 0, "ordinary packages stay")
        self.assertEqual(self.sql("SELECT instanceUID FROM PolicyDb_Instance WHERE quenUID = 'busy'"),
                         [("busy-i1",)])
        self.assertEqual(s.QuenDestroyPreview(admin, "busy"), [0], "nothing left to remove is fine")
        self.assertEqual(s.QuenDestroyPreview(admin, "no-such"), [18])

        self.sql("UPDATE PolicyDb_Instance SET revocationDate = ? WHERE instanceUID = 'busy-i1'", ("%020d" % 1000,))
        self.assertEqual(s.QuenDestroy(admin, "busy"), [0])
        self.assertEqual(s.PackageInfo(admin, "busy-p"), [19])


class Packages(QuenTestCase):
    @classmethod
    def prepare(cls):
        server, session = cls.admin_session()
        for uid in ("shop", "lab"):
            assert server.QuenCreate(session, {"uuid": uid, "name": uid}) == [0]

    def test_validity_window_and_what_comes_back(self):
        s, admin = self.server, self.admin
        self.assertEqual(s.PackageCreate(admin, package("win-bad", "shop", useValidDates=1,
                                                        validDateStart=2000, validDateEnd=1999)), [5])
        self.assertEqual(s.PackageCreate(admin, package("win-eq", "shop", form=str, useValidDates=1,
                                                        validDateStart=1700000000, validDateEnd=1700000000)), [0])
        self.assertEqual(s.PackageCreate(admin, package("win-off", "shop", validDateStart=5, validDateEnd=1)), [0],
                         "the window is only checked when it is used")
        code, info = s.PackageInfo(admin, "win-eq")
        self.assertEqual(code, 0)
        self.assertEqual(info["key"], "", "the key is never returned")
        self.assertEqual(value64(info["validDateStart"]), 1700000000)
        self.assertEqual(value64(info["validDateEnd"]), 1700000000)
        self.assertEqual((info["quen_uuid"], info["name"], info["useValidDates"], info["disabled"],
                          info["preview"]), ("shop", "package win-eq", 1, 0, 0))
        self.assertEqual(s.PackageInfo(admin, "win-bad"), [19])

        # Dates far beyond 2038 and before 1970 travel in both forms.
        far = 2 ** 40
        self.assertEqual(s.PackageCreate(admin, package("far", "shop", useValidDates=1, validDateStart=-far,
                                                        validDateEnd=str(far))), [0])
        code, info = s.PackageInfo(admin, "far")
        self.assertEqual((value64(info["validDateStart"]), value64(info["validDateEnd"])), (-far, far))
        self.assertEqual(s.PackageCreate(admin, package("bad-date", "shop", validDateEnd=Binary(b"1234"))), [2])
        self.assertEqual(s.PackageCreate(admin, package("bad-date", "shop") | {"validDateEnd": 7}), [2])
        self.assertEqual(s.PackageInfo(admin, "bad-date"), [19])

        events = self.sql("SELECT messageParams, quenUID FROM PolicyDb_Event WHERE eventType = 3010 AND "
                          "packageUID = 'win-eq'")
        shown = time.asctime(time.localtime(1700000000))
        self.assertEqual(events, [("package win-eq\tvalid from %s\n to %s\n, \tFALSE\tFALSE" % (shown, shown),
                                   "shop")])
        self.assertEqual(self.sql("SELECT COUNT(*) FROM PolicyDb_Event WHERE messageParams LIKE '%secret-key%'"),
                         [(0,)])

    def test_create_refusals_and_a_package_never_moves(self):
        s, admin = self.server, self.admin
        self.assertEqual(s.PackageCreate(admin, package("", "shop")), [5])
        self.assertEqual(s.PackageCreate(admin, package("orphan", "no-such-quen")), [18])
        self.assertEqual(s.PackageCreate(admin, package("mover", "shop", preview=1)), [0])
        self.assertEqual(s.PackageCreate(admin, package("mover", "lab")), [25])
        self.assertEqual(s.PackageCreate(admin, package("long-key", "shop", key="k" * 1025)), [5])

        update = package("mover", "lab", name="renamed", key="new key", disabled=1, preview=0)
        self.assertEqual(s.PackageUpdate(admin, update), [0])
        code, info = s.PackageInfo(admin, "mover")
        self.assertEqual((info["quen_uuid"], info["name"], info["disabled"], info["preview"], info["key"]),
                         ("shop", "renamed", 1, 0, ""))
        self.assertEqual(s.PackageUpdate(admin, package("mover", "shop", useValidDates=1, validDateStart=9,
                                                        validDateEnd=8)), [5])
        self.assertEqual(s.PackageInfo(admin, "mover")[1]["name"], "renamed", "a refused update changes nothing")
        self.assertEqual(s.PackageUpdate(admin, package("no-such-package", "shop")), [19])
        self.assertEqual(self.sql("SELECT messageParams, quenUID FROM PolicyDb_Event WHERE eventType = 3020 AND "
                                  "packageUID = 'mover' ORDER BY CAST(eventUID AS INTEGER) LIMIT 1"),
                         [("package mover\trenamed\t\tTRUE\tFALSE", "shop")])

    def test_queries_by_quen(self):
        s, admin = self.server, self.admin
        self.assertEqual(s.PackageCreate(admin, package("q-shop", "shop")), [0])
        self.assertEqual(s.PackageCreate(admin, package("q-lab", "lab")), [0])
        shop = s.PackageQuery(admin, "shop")
        self.assertEqual(shop[1], len(shop) - 2)
        self.assertEqual({p["quen_uuid"] for p in shop[2:]}, {"shop"})
        everything = s.PackageQuery(admin, "")
        self.assertTrue({"q-shop", "q-lab"} <= {p["uuid"] for p in everything[2:]})
        self.assertEqual({p["key"] for p in everything[2:]}, {""})
        self.assertEqual(s.PackageQuery(admin, "no-such-quen"), [18])

    def test_clients_check_in(self):
        s, admin = self.server, self.admin
        self.assertEqual(s.PolicyStore(admin, "lab", "current client", "current host", policy(authType=2)), [0])
        self.assertEqual(s.PolicyPublish(admin, "lab"), [0])
        self.assertEqual(s.PolicyStore(admin, "lab", "draft client", "draft host", policy(authType=0)), [0])
        self.assertEqual(s.PackageCreate(admin, package("ci", "lab")), [0])
        self.assertEqual(s.PackageCreate(admin, package("ci-preview", "lab", preview=1)), [0])
        self.add_instance("ci-instance", "ci", "lab")
        client = self.login()

        code, text, host, rules = s.PolicyRetrieve(client, "ci", "", 0)
        self.assertEqual((code, text, host, rules["authType"]), (0, "current client", "current host", 2))
        self.assertEqual(s.PolicyRetrieve(client, "ci-preview", "", 0)[1:3], ["draft client", "draft host"])
        self.assertEqual(s.PolicyRetrieveHostOnly(client, "lab"), [0, "current host"])

        def last_check():
            return int(self.sql("SELECT lastPolicyCheck FROM PolicyDb_Instance WHERE instanceUID = "
                                "'ci-instance'")[0][0])

        self.assertEqual(s.PolicyRetrieve(client, "ci", "ci-instance", 1)[0], 0)
        self.assertEqual(last_check(), 0, "no check-in requested")
        before = int(time.time())
        self.assertEqual(s.PolicyRetrieve(client, "ci", "ci-instance", 0)[0], 0)
        self.assertGreaterEqual(last_check(), before)
        self.assertEqual(self.sql("SELECT quenUID, packageUID, instanceUID, policyVersion FROM PolicyDb_Event "
                                  "WHERE handlerName = 'PolicyRetrieve' AND instanceUID = 'ci-instance'")[-1],
                         ("lab", "ci", "ci-instance", 2))

        def password():
            return self.sql("SELECT insPassword FROM PolicyDb_Instance WHERE instanceUID = 'ci-instance'")[0][0]

        self.assertEqual(password(), "kept", "authType 2 keeps the instance password")
        self.assertEqual(s.PolicyRetrieve(client, "no-such", "", 0), [19])
        self.assertEqual(s.PolicyRetrieve(client, "ci", "no-such", 0), [21])
        self.assertEqual(s.PolicyRetrieve(client, "ci-preview", "ci-instance", 0), [5],
                         "an instance checks in only with its own package")
        self.assertEqual(s.PolicyRetrieveHostOnly(client, "no-such"), [18])
        self.assertEqual(password(), "kept")

        # Once a set with authType 0 is current, a check-in clears the password.
        self.assertEqual(s.PolicyPublish(admin, "lab"), [0])
        self.assertEqual(s.PolicyRetrieve(client, "ci", "ci-instance", 1)[1], "draft client")
        self.assertEqual(password(), "kept", "not without a check-in")
        self.assertEqual(s.PolicyRetrieve(client, "ci", "ci-instance", 0)[1], "draft client")
        self.assertEqual(password(), base64.b64encode(hashlib.sha1(b"ci-instance").digest()).decode())

if __name__ == "__main__":
    unittest.main()
