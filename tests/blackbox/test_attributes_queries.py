"""Instance attributes and the managers' instance search over the wire: a
client runtime reports its guest and host state and fills custom fields, a
manager names the fields, sets windows and copy-protection ids, and then
searches the instances of several Quens by every kind of clause, page by
page and in three sort orders."""

import time
import unittest

from service_client import ANYBODY, ServerTestCase, i64, package, value64

N_NORTH_1, N_NORTH_2, N_SOUTH = 30, 15, 15
TOTAL = N_NORTH_1 + N_NORTH_2 + N_SOUTH


def clause(kind, val0=None, val1=None):
    c = {"type": kind}
    if val0 is not None:
        c["val0"] = val0
    if val1 is not None:
        c["val1"] = val1
    return c


class InstanceAttributes(ServerTestCase):
    def test_a_client_reports_its_state_and_a_manager_reads_it_back(self):
        s = self.server
        self.create_quen("attr")
        self.create_package("attr-p", "attr")
        client = self.login()
        uid = self.create_instance("attr-p", client)
        hash_before = self.sql("SELECT insPassword, insProtectionKey FROM PolicyDb_Instance WHERE instanceUID = ?",
                               (uid,))

        # A client runtime needs no rights and no instance authentication.
        stranger = self.login()
        guest = {"ip": "10.1.2.3", "macAddress": "02:00:00:00:00:07", "configMsg": "all done",
                 "machineName": "vm-7", "status": 7}
        self.assertEqual(s.InstanceSetGuestInfo(stranger, uid, guest), [0])
        self.assertEqual(s.InstanceSetHostInfo(stranger, uid, {"hostname": "hv-1", "ip": "192.0.2.10"}), [0])
        self.assertEqual(s.InstanceSetAllCustomFields(stranger, uid, *["v%d" % i for i in range(1, 10)]), [0])
        self.assertEqual(s.InstanceSetCustomField(stranger, uid, 8, "ninth"), [0])
        self.assertEqual(s.InstanceSetCustomField(stranger, uid, 9, "tenth"), [5])
        self.assertEqual(s.InstanceSetGuestInfo(stranger, "no-such-instance", guest), [21])

        code, info = s.InstanceInfo(self.admin, uid)
        self.assertEqual(code, 0)
        self.assertEqual((info["guestInfo.ip"], info["guestInfo.macAddress"], info["guestInfo.configMsg"],
                          info["guestInfo.machineName"], info["guestInfo.status"]),
                         ("10.1.2.3", "02:00:00:00:00:07", "all done", "vm-7", 7))
        self.assertEqual((info["hostInfo.hostname"], info["hostInfo.ip"]), ("hv-1", "192.0.2.10"))
        self.assertEqual([info["custom%d" % i] for i in range(1, 10)], ["v%d" % i for i in range(1, 9)] + ["ninth"])
        # Rewriting the record kept the password hash and the protection key.
        self.assertEqual(self.sql("SELECT insPassword, insProtectionKey FROM PolicyDb_Instance "
                                  "WHERE instanceUID = ?", (uid,)), hash_before)
        events = self.sql("SELECT messageParams, quenUID, packageUID, instanceUID FROM PolicyDb_Event "
                          "WHERE eventType = 4110 AND returnCodeText = 'OK'")
        self.assertEqual(events, [("10.1.2.3\t02:00:00:00:00:07\tall done\tvm-7\tUNKNOWN", "attr", "attr-p", uid)])
        self.assertEqual(self.sql("SELECT messageParams FROM PolicyDb_Event WHERE eventType = 4060 "
                                  "AND returnCodeText = 'OK'"), [("9\tninth",)])

        # Field names are the managers' and server-wide.
        self.assertEqual(s.InstanceSetCustomFieldName(self.helpdesk, 0, "Cost centre"), [9])
        self.assertEqual(s.InstanceSetCustomFieldName(self.admin, 0, "Cost centre"), [0])
        self.assertEqual(s.InstanceGetCustomFieldName(self.helpdesk, 0), [0, "Cost centre"])
        names = s.InstanceGetAllCustomFieldNames(self.helpdesk)
        self.assertEqual(names, [0, "Cost centre"] + [""] * 8)
        self.assertEqual(s.InstanceGetAllCustomFieldNames(stranger), [9])

        # An explicit window, sent once as decimal texts.
        past_start, past_end = int(time.time()) - 7200, int(time.time()) - 3600
        self.assertEqual(s.InstanceSetExpiration(stranger, uid, 0, 1, i64(past_start), i64(past_end)), [9])
        self.assertEqual(s.InstanceSetExpiration(self.helpdesk, uid, 0, 1, str(past_end), str(past_start)), [5])
        self.assertEqual(s.InstanceSetExpiration(self.helpdesk, uid, 0, 1, str(past_start), str(past_end)), [0])
        code, info = s.InstanceInfo(self.admin, uid)
        self.assertEqual((info["inheritsExpiration"], info["useValidDates"], value64(info["validDateStart"]),
                          value64(info["validDateEnd"]), value64(info["ttl"])),
                         (0, 1, past_start, past_end, 0))
        self.assertEqual(s.InstanceGetState(self.admin, uid)[1] & 0x2, 0x2)
        # Back to the Quen's window, which never ends.
        self.assertEqual(s.InstanceSetExpiration(self.admin, uid, 1, 0, i64(0), i64(0)), [0])
        code, info = s.InstanceInfo(self.admin, uid)
        self.assertEqual((info["inheritsExpiration"], info["useValidDates"], value64(info["ttl"])), (1, 0, -1))
        self.assertEqual(s.InstanceGetState(self.admin, uid)[1] & 0x2, 0)

        self.assertEqual(s.InstanceSetCopyProtectionId(self.helpdesk, uid, "cp <opaque> & 'quoted'"), [0])
        self.assertEqual(s.InstanceInfo(self.admin, uid)[1]["copyProtectionId"], "cp <opaque> & 'quoted'")

        # Clearing a field empties it on every instance and drops its name.
        other = self.create_instance("attr-p", client)
        self.assertEqual(s.InstanceSetCustomField(stranger, other, 0, "also set"), [0])
        self.assertEqual(s.InstanceClearCustomField(self.admin, 0), [0])
        self.assertEqual(s.InstanceInfo(self.admin, uid)[1]["custom1"], "")
        self.assertEqual(s.InstanceInfo(self.admin, other)[1]["custom1"], "")
        self.assertEqual(s.InstanceInfo(self.admin, uid)[1]["custom2"], "v2")
        self.assertEqual(s.InstanceGetCustomFieldName(self.admin, 0), [0, ""])


class InstanceSearch(ServerTestCase):
    """60 instances over two Quens and three packages, each with its own
    attributes; expectations are computed from what the story set."""

    @classmethod
    def prepare(cls):
        s, admin = cls.admin_session()
        for quen, name in (("north", "North office"), ("south", "South office")):
            assert s.QuenCreate(admin, {"uuid": quen, "name": name}) == [0]
        for uid, quen, name in (("n1", "north", "Laptops"), ("n2", "north", "Desktops"), ("s1", "south", "Kiosks")):
            assert s.PackageCreate(admin, package(uid, quen, name)) == [0]
        client = s.SessionOpen(10)[1]
        cls.t0 = int(time.time())
        cls.rows = {}
        plan = [("n1", "north", "Laptops")] * N_NORTH_1 + [("n2", "north", "Desktops")] * N_NORTH_2 + \
            [("s1", "south", "Kiosks")] * N_SOUTH
        for i, (pkg, quen, pkg_name) in enumerate(plan):
            answer = s.InstanceCreate(client, ANYBODY, pkg, "key", "cp-%02d" % i)
            assert answer[0] == 0, answer
            uid = answer[1]
            row = {"uuid": uid, "i": i, "package": pkg, "quen": quen, "package_name": pkg_name,
                   "host": "host-%d" % (i % 4), "hostIp": "192.0.2.%d" % i, "custom1": "cc-%d" % (i % 3),
                   "custom9": "Tag %s" % ("even" if i % 2 == 0 else "odd"), "guestIp": "10.0.0.%d" % i,
                   "mac": "02:00:00:00:00:%02X" % i, "machine": "vm-%02d" % i, "status": i % 3,
                   "msg": "message %02d" % i, "cp": "cp-%02d" % i, "revoked": i % 10 == 0,
                   "own_window": i % 6 == 1}
            assert s.InstanceSetHostInfo(client, uid, {"hostname": row["host"], "ip": row["hostIp"]}) == [0]
            assert s.InstanceSetGuestInfo(client, uid, {"ip": row["guestIp"], "macAddress": row["mac"],
                                                        "configMsg": row["msg"], "machineName": row["machine"],
                                                        "status": row["status"]}) == [0]
            assert s.InstanceSetCustomField(client, uid, 0, row["custom1"]) == [0]
            assert s.InstanceSetCustomField(client, uid, 8, row["custom9"]) == [0]
            if row["revoked"]:
                assert s.InstanceRevoke(admin, uid) == [0]
            if row["own_window"]:
                assert s.InstanceSetExpiration(admin, uid, 0, 1, i64(1000 + i), i64(4000000000 + i)) == [0]
            cls.rows[uid] = row
        cls.t1 = int(time.time())

    def query(self, session=None, **members):
        answer = self.server.InstanceQueryExt(session or self.admin, members)
        self.assertEqual(answer[0], 0, answer)
        self.assertEqual(answer[1], len(answer) - 2)
        return answer[2:]

    def count(self, **members):
        answer = self.server.InstanceQueryCount(self.admin, members)
        self.assertEqual(answer[0], 0, answer)
        return answer[1]

    def matching(self, predicate):
        return {uid for uid, row in self.rows.items() if predicate(row)}

    def check(self, name, expected, **members):
        """The count and, where they fit in one page, the instances."""
        self.assertEqual(self.count(**members), len(expected), name)
        if len(expected) <= 50:
            found = {r["uuid"] for r in self.query(limit=50, **members)}
            self.assertEqual(found, expected, name)

    def test_every_clause_kind_through_the_wire(self):
        rows, everyone = self.rows, set(self.rows)
        some = sorted(everyone)[:3]
        now_window = [self.t0, self.t1 + 1]
        us = 1000000
        cases = [
            # text list
            ("uuid IN", set(some), {"uuidClause": clause(9, some)}),
            # texts: equality, LIKE (case-insensitive), order and ranges
            ("quen uid", self.matching(lambda r: r["quen"] == "south"), {"quenUuidClause": clause(1, "south")}),
            ("package uid", self.matching(lambda r: r["package"] == "n2"), {"packageUuidClause": clause(1, "n2")}),
            ("package name LIKE", self.matching(lambda r: r["package_name"] == "Laptops"),
             {"packageNameClause": clause(6, "lap%")}),
            ("quen name LIKE", self.matching(lambda r: r["quen"] == "north"), {"quenNameClause": clause(6, "NORTH%")}),
            ("creator name", everyone, {"creatorNameClause": clause(1, "N/A")}),
            ("creator data", set(), {"creatorDataClause": clause(1, "somebody")}),
            ("copy-protection id range", self.matching(lambda r: 10 <= r["i"] <= 19),
             {"copyProtectionIdClause": clause(8, "cp-10", "cp-19")}),
            ("host name", self.matching(lambda r: r["host"] == "host-1"), {"hostNameClause": clause(1, "host-1")}),
            ("host ip LIKE with escaped _", set(), {"hostIpClause": clause(6, "192\\_0%")}),
            ("host ip LIKE", everyone, {"hostIpClause": clause(6, "192._.2.%")}),
            ("guest ip", self.matching(lambda r: r["i"] == 5), {"guestIPClause": clause(1, "10.0.0.5")}),
            ("guest MAC range", self.matching(lambda r: 0x10 <= r["i"] < 0x20),
             {"guestMacAddressClause": clause(7, "02:00:00:00:00:10", "02:00:00:00:00:20")}),
            ("machine name <=", self.matching(lambda r: r["i"] <= 9), {"guestMachineNameClause": clause(3, "vm-09")}),
            ("config message >", self.matching(lambda r: r["i"] > 49),
             {"guestConfigMsgClause": clause(4, "message 49")}),
            ("custom1", self.matching(lambda r: r["custom1"] == "cc-1"), {"custom1Clause": clause(1, "cc-1")}),
            ("custom9 LIKE", self.matching(lambda r: r["i"] % 2 == 1), {"custom9Clause": clause(6, "%ODD")}),
            ("custom5 empty", everyone, {"custom5Clause": clause(1, "")}),
            # integer pairs
            ("creator type range", everyone, {"creatorTypeClause": clause(8, 0, 0)}),
            ("creator type 1", set(), {"creatorTypeClause": clause(1, 1, 0)}),
            ("guest status", self.matching(lambda r: r["status"] == 2), {"guestConfigStatusClause": clause(1, 2, 0)}),
            ("guest status >=", self.matching(lambda r: r["status"] >= 1),
             {"guestConfigStatusClause": clause(5, 1, 0)}),
            # dates, in both wire forms
            ("activation in window", everyone, {"activationDateClause": clause(7, *map(i64, now_window))}),
            ("activation as text", everyone, {"activationDateClause": clause(7, *map(str, now_window))}),
            ("activation later", set(), {"activationDateClause": clause(4, i64(self.t1 + 60))}),
            ("last check", everyone, {"lastPolicyCheckClause": clause(8, i64(self.t0), i64(self.t1))}),
            ("revoked", self.matching(lambda r: r["revoked"]), {"revocationDateClause": clause(4, i64(0))}),
            ("not replaced", everyone, {"replacementDateClause": clause(1, i64(0))}),
            ("window start", self.matching(lambda r: r["own_window"] and r["i"] >= 13),
             {"validDateStartClause": clause(8, i64(1013), i64(2000))}),
            ("window end", self.matching(lambda r: r["own_window"]),
             {"validDateEndClause": clause(2, str(2 ** 63 - 1))}),
            # row times are microseconds
            ("created", everyone, {"tsCreatedClause": clause(7, i64(self.t0 * us), i64((self.t1 + 1) * us))}),
            ("modified", everyone, {"tsLastModifiedClause": clause(5, i64(self.t0 * us))}),
            # booleans
            ("own window", self.matching(lambda r: r["own_window"]), {"inheritsExpirationClause": clause(1, 0)}),
            ("uses dates", self.matching(lambda r: r["own_window"]), {"useValidDatesClause": clause(1, 1)}),
            ("not preview", everyone, {"previewClause": clause(1, 0)}),
            ("preview", set(), {"previewClause": clause(1, 1)}),
            # a LIKE on a date is not a condition: ignored, the rest applies
            ("wrong clause ignored", self.matching(lambda r: r["quen"] == "south"),
             {"activationDateClause": clause(6, i64(0)), "quenUuidClause": clause(1, "south")}),
            # several clauses together
            ("combined", self.matching(lambda r: r["quen"] == "north" and r["custom1"] == "cc-0" and r["status"] == 0),
             {"quenUuidClause": clause(1, "north"), "custom1Clause": clause(1, "cc-0"),
              "guestConfigStatusClause": clause(1, 0, 0)}),
        ]
        for name, expected, members in cases:
            with self.subTest(name):
                self.check(name, expected, **members)

        # What a row carries: names through the lookups, attributes as set.
        uid = sorted(everyone)[7]
        row = self.rows[uid]
        [found] = self.query(uuidClause=clause(9, [uid]))
        self.assertEqual((found["quen_uuid"], found["quen_name"], found["package_uuid"], found["package_name"]),
                         (row["quen"], {"north": "North office", "south": "South office"}[row["quen"]],
                          row["package"], row["package_name"]))
        self.assertEqual((found["hostInfo.hostname"], found["guestInfo.machineName"], found["copyProtectionId"],
                          found["custom1"]), (row["host"], row["machine"], row["cp"], row["custom1"]))
        self.assertEqual(found, self.server.InstanceInfo(self.admin, uid)[1])

    def test_paging_with_offset_visits_every_instance_once(self):
        # Newest activation first when no sort key is given.
        dates = [value64(r["activationDate"]) for r in self.query(limit=50)]
        self.assertEqual(dates, sorted(dates, reverse=True))
        # Instances made in the same second tie on their activation date:
        # pages are cut from a total order (UID breaks the ties).
        order = {"sortOrder1": 9, "sortDescending1": 1, "sortOrder2": 1, "sortDescending2": 0}
        pages = [self.query(limit=20, offset=offset, **order) for offset in (0, 20, 40, 60)]
        self.assertEqual([len(p) for p in pages], [20, 20, 20, 0])
        seen = [r["uuid"] for page in pages for r in page]
        self.assertEqual(len(seen), TOTAL)
        self.assertEqual(set(seen), set(self.rows))
        paged_dates = [value64(r["activationDate"]) for page in pages for r in page]
        self.assertEqual(paged_dates, sorted(paged_dates, reverse=True))
        # An odd page size and offset line up with the full order.
        self.assertEqual([r["uuid"] for r in self.query(limit=50, offset=5, **order)], seen[5:55])
        self.assertEqual([r["uuid"] for r in self.query(limit=7, offset=13, **order)], seen[13:20])

    def test_three_sort_keys(self):
        # host name ascending, custom1 descending, instance UID ascending
        rows = self.query(limit=50, quenUuidClause=clause(1, "north"), sortOrder1=19, sortDescending1=0,
                          sortOrder2=28, sortDescending2=1, sortOrder3=1, sortDescending3=0)
        expected = sorted((r for r in self.rows.values() if r["quen"] == "north"), key=lambda r: r["uuid"])
        expected = sorted(expected, key=lambda r: r["custom1"], reverse=True)
        expected = sorted(expected, key=lambda r: r["host"])
        self.assertEqual([r["uuid"] for r in rows], [r["uuid"] for r in expected])

        # Quen name descending, then machine name ascending; a 0 key ends the list.
        rows = self.query(limit=50, offset=10, sortOrder1=5, sortDescending1=1, sortOrder2=22, sortOrder3=0)
        expected = sorted(self.rows.values(), key=lambda r: (r["quen"] != "south", r["machine"]))
        self.assertEqual([r["uuid"] for r in rows], [r["uuid"] for r in expected][10:60])

        # Activation ascending as the only key: the default key is not added.
        rows = self.query(limit=50, sortOrder1=9, sortDescending1=0, sortOrder2=0)
        dates = [value64(r["activationDate"]) for r in rows]
        self.assertEqual(dates, sorted(dates))

    def test_counts_go_beyond_fifty_and_pages_do_not(self):
        self.assertEqual(self.count(), TOTAL)
        self.assertEqual(self.count(limit=5, offset=50), TOTAL)
        self.assertEqual(len(self.query()), 50)
        self.assertEqual(len(self.query(limit=100)), 50)
        self.assertEqual(len(self.query(limit=-1)), 50)
        self.assertEqual(len(self.query(limit=10)), 10)
        self.assertEqual(len(self.query(self.helpdesk, limit=0, offset=55)), TOTAL - 55)
        self.assertIn("Truncated query to 50 responses", self.install.error_log())
        self.assertEqual(self.server.InstanceQueryExt(self.admin, {"offset": -1}), [5])
        # A member of the wrong type is refused, a missing one is not needed.
        self.assertEqual(self.server.InstanceQueryExt(self.admin, {"limit": "10"}), [2])
        client = self.login()
        self.assertEqual(self.server.InstanceQueryExt(client, {}), [9])
        self.assertEqual(self.server.InstanceQueryCount(client, {}), [9])


if __name__ == "__main__":
    unittest.main()
